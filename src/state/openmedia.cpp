#include "state/openmedia.h"

#include "core/metatypes.h"
#include "engine/enginestop.h"

#include <QDebug>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

OpenMedia::OpenMedia(const QString &path, const Options &options, QObject *parent)
    : FrameSource(parent)
    , m_path(path)
{
    registerMetaTypes();
    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("engine"));
    m_engine = new VideoEngine;
    if (options.scopeRenderer)
        m_engine->setScopeRenderer(options.scopeRenderer);
    if (options.oneFrame) {
        m_engine->setFrameCacheBound(0);
        m_engine->setPictureTimecodeLookup(false);
        m_engine->setOneShot(true);
    }
    m_engine->setFpsOverride(options.sequenceFps);
    if (options.frameCacheBytes >= 0)
        m_engine->setFrameCacheBound(options.frameCacheBytes);
    m_engine->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_engine, &QObject::deleteLater);

    // Answers cross to this object's thread here, once; receivers connect to this object.
    connect(m_engine, &VideoEngine::mediaOpened, this, [this](const MediaInfo &info) { m_info = info; });
    connect(m_engine, &VideoEngine::fileOpened, this, [this](bool success, const QVariantMap &, const QString &error) {
        m_status = success ? Status::Open : Status::Failed;
        if (!success) {
            m_info = MediaInfo();
            m_error = error;
        }
        emit fileOpened(success, m_info, m_error);
    });
    connect(m_engine, &VideoEngine::frameReady, this,
            [this](const QVideoFrame &frame, int64_t frameNumber, const QList<float> &audioLevels,
                   const QList<float> &peakLevels, const QByteArray &audioBuffer, int requestId) {
                if (frame.isValid())
                    m_currentFrame = frameNumber;
                emit frameReady(frame, frameNumber, audioLevels, peakLevels, audioBuffer, requestId);
            });
    connect(m_engine, &VideoEngine::scopeImageReady, this, &OpenMedia::scopeImageReady);

    m_thread->start();
    post([path](VideoEngine &engine) {
        engine.init();
        engine.openFile(path);
    });
}

OpenMedia::~OpenMedia()
{
    enginestop::stopEngineThread(m_thread, m_engine);
}

bool OpenMedia::waitUntilOpened(int msec)
{
    if (m_status == Status::Opening) {
        QEventLoop loop;
        connect(this, &OpenMedia::fileOpened, &loop, &QEventLoop::quit);
        if (msec >= 0)
            QTimer::singleShot(msec, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return m_status == Status::Open;
}

void OpenMedia::post(std::function<void(VideoEngine &)> work)
{
    VideoEngine *engine = m_engine;
    if (!QMetaObject::invokeMethod(engine, [engine, work = std::move(work)] { work(*engine); }, Qt::QueuedConnection))
        qWarning().noquote() << "Could not queue a call to the engine of" << m_path;
}

bool OpenMedia::waitFor(const std::function<void(VideoEngine &)> &work)
{
    VideoEngine *engine = m_engine;
    // A finished thread would never run it, and waiting for it would never end.
    if (!m_thread->isRunning())
        return false;
    return QMetaObject::invokeMethod(engine, [engine, &work] { work(*engine); }, Qt::BlockingQueuedConnection);
}

void OpenMedia::abortCurrentTask(int latestId)
{
    // Direct on purpose: the engine may be busy with a long seek on its own thread, and
    // only stores the id (atomically) so that the seek can give up.
    m_engine->abortCurrentTask(latestId);
}

void OpenMedia::requestFrame(int64_t frameNumber, int requestId)
{
    post([frameNumber, requestId](VideoEngine &engine) { engine.requestFrame(frameNumber, requestId); });
}

void OpenMedia::requestFrameSilently(int64_t frameNumber, int requestId)
{
    post([frameNumber, requestId](VideoEngine &engine) { engine.requestFrameSilently(frameNumber, requestId); });
}

void OpenMedia::requestNextFrameAtOrAfter(int64_t targetFrame, int requestId)
{
    post([targetFrame, requestId](VideoEngine &engine) { engine.requestNextFrameAtOrAfter(targetFrame, requestId); });
}

void OpenMedia::requestPlaybackStart(int64_t frameNumber, double soundSeconds, int requestId)
{
    post([frameNumber, soundSeconds, requestId](VideoEngine &engine) {
        engine.requestPlaybackStart(frameNumber, soundSeconds, requestId);
    });
}

bool OpenMedia::primePlaybackQueue(int64_t frameNumber, int requestId)
{
    return waitFor([frameNumber, requestId](VideoEngine &engine) { engine.primePlaybackQueue(frameNumber, requestId); });
}

void OpenMedia::clearAudioQueue()
{
    post([](VideoEngine &engine) { engine.clearAudioQueue(); });
}

void OpenMedia::requestScopeImage(int64_t frameNumber, ScopeRange range, DisplayChannel channel, int rotationDegrees,
                                  ScopeKind kind, bool live)
{
    post([=](VideoEngine &engine) {
        engine.requestScopeImage(frameNumber, range, channel, rotationDegrees, kind, live);
    });
}

void OpenMedia::setConversionProfile(ConversionProfile profile)
{
    post([profile](VideoEngine &engine) { engine.setConversionProfile(profile); });
}

void OpenMedia::setExposure(double stops)
{
    post([stops](VideoEngine &engine) { engine.setExposure(stops); });
}

void OpenMedia::setAudioRouting(int left, int right)
{
    post([left, right](VideoEngine &engine) { engine.setAudioRouting(left, right); });
}

QImage OpenMedia::frameAsImage(int64_t frameNumber)
{
    QImage image;
    if (!waitFor([&image, frameNumber](VideoEngine &engine) { image = engine.getFrameAsImage(frameNumber); }))
        return {};
    return image;
}

QString OpenMedia::pixelInspectorSourceConvertText(int64_t frameNumber, int canvasX, int canvasY, int canvasW,
                                                   int canvasH, int rotationDegrees)
{
    QString text;
    if (!waitFor([&](VideoEngine &engine) {
            text = engine.pixelInspectorSourceConvertText(frameNumber, canvasX, canvasY, canvasW, canvasH,
                                                          rotationDegrees);
        }))
        return {};
    return text;
}

bool OpenMedia::runOnEngine(const std::function<void(VideoEngine &)> &work)
{
    return waitFor(work);
}
