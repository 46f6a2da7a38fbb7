#include "ui/comparesession.h"

#include "core/compat.h"
#include "core/imagehelpers.h"
#include "core/playersettings.h"
#include "core/timecode.h"
#include "state/applicationstate.h"
#include "state/openmedia.h"
#include "state/pairedframesource.h"

#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QSettings>
#include <QWidget>

#include <algorithm>

namespace {

// A's pictures kept for B's late answers: a few frames of playback.
constexpr size_t kRecentPictures = 4;
// How far ahead B steps frame by frame rather than jumping.
constexpr int64_t kWalkFrames = 8;

QString prefixLines(const QString &prefix, const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines)
        line.prepend(prefix);
    return lines.join(QLatin1Char('\n'));
}

} // namespace

CompareSession::CompareSession(Sources sources, QObject *parent)
    : QObject(parent)
    , m(std::move(sources))
{
    if (m.mouseArea)
        m.mouseArea->installEventFilter(this);
    if (m.timecodeLabel)
        m.timecodeLabel->clear();
}

CompareSession::~CompareSession()
{
    // B's engine thread ends here, while this object can still take its last answers.
    delete m_b.data();
}

bool CompareSession::hasFrameB(int64_t frameA) const
{
    const int64_t n = frameB(frameA);
    return m_active && n >= 0 && n < m_infoB.totalFrames;
}

void CompareSession::openB(const QString &path)
{
    OpenMedia *a = m.mediaA ? m.mediaA() : nullptr;
    if (!a || a->status() != OpenMedia::Status::Open || m.state->totalFrames() == 0) {
        if (m.showMessage)
            m.showMessage(QStringLiteral("Compare"), QStringLiteral("Open a file first, then the one to compare it with."));
        return;
    }
    close();
    m_b = new OpenMedia(path, OpenMedia::Options(), this);
    connect(m_b, &OpenMedia::fileOpened, this, &CompareSession::onOpened);
    connect(m_b, &FrameSource::frameReady, this,
            [this](const QVideoFrame &frame, int64_t frameNumber, const QList<float> &, const QList<float> &,
                   const QByteArray &, int requestId) { onFrameB(frame, frameNumber, requestId); });
}

void CompareSession::onOpened(bool success, const MediaInfo &info, const QString &error)
{
    OpenMedia *a = m.mediaA ? m.mediaA() : nullptr;
    QString reason;
    if (!success) {
        reason = QStringLiteral("%1 could not be opened.\n%2").arg(info.filePath.isEmpty() ? m_b->path() : info.filePath, error);
    } else if (!a || a->status() != OpenMedia::Status::Open) {
        reason = QStringLiteral("The open file went away while %1 was opening.").arg(info.filePath);
    } else {
        cmp::Options options;
        options.scale = true; // the viewer scales B to A's size
        const cmp::Alignment alignment = cmp::align(m.state->mediaInfo(), info, options);
        if (!alignment.ok)
            reason = QStringLiteral("%1 cannot be compared with the open file.\n%2").arg(info.filePath, alignment.error);
        else
            m_offset = alignment.offset;
    }
    if (!reason.isEmpty()) {
        dropB();
        if (m.showMessage)
            m.showMessage(QStringLiteral("Compare"), reason);
        return;
    }
    m_infoB = info;
    m_active = true;
    m_b->setAudioRouting(m_routeLeft, m_routeRight);
    // The settings file the sequence rate is read from too: ~/.config/Orvel/Orvel.ini.
    const QSettings settings = playerSettings();
    if (settings.value(QLatin1String(kSoundFromBKey), false).toBool() && info.audioChannelCount > 0
        && info.audioSampleRate == m.state->mediaInfo().audioSampleRate) {
        m_paired = new PairedFrameSource(a, m_b, m_offset, info.totalFrames, this);
        emit playbackSourceChanged();
    }
    m_view = compareview::View::SideBySide;
    m_gain = 1;
    m_wipe = 0.5;
    if (m.timecodeLabel)
        m.timecodeLabel->show();
    updateLabel();
    const int64_t current = m.state->currentFrameNumber();
    if (hasFrameB(current))
        requestB(frameB(current));
    show();
    emit changed();
}

void CompareSession::close()
{
    if (!m_b)
        return;
    dropB();
    m_view = compareview::View::SideBySide;
    if (!m_recentA.empty() && m.present) {
        m_shownA = m_recentA.back().frame;
        m.present(m_recentA.back().picture);
    }
    emit changed();
}

void CompareSession::dropB()
{
    m_active = false;
    m_inFlight = false;
    m_wantedB = -1;
    m_haveB = false;
    m_frameB = -1;
    m_imageB = QImage();
    m_infoB = MediaInfo();
    m_offset = 0;
    if (m_paired) {
        PairedFrameSource *paired = m_paired;
        m_paired = nullptr;
        emit playbackSourceChanged();
        paired->deleteLater();
    }
    if (m_b) {
        OpenMedia *b = m_b;
        m_b = nullptr;
        disconnect(b, nullptr, this, nullptr);
        // Not at once: this may run inside B's own signal.
        b->deleteLater();
    }
    updateLabel();
}

FrameSource *CompareSession::playbackSource() const
{
    return m_paired;
}

void CompareSession::setAudioRouting(int left, int right)
{
    m_routeLeft = left;
    m_routeRight = right;
    if (m_b)
        m_b->setAudioRouting(left, right);
}

void CompareSession::cycleView()
{
    if (!m_active)
        return;
    m_view = compareview::next(m_view);
    show();
    emit changed();
}

void CompareSession::cycleGain()
{
    if (!m_active)
        return;
    m_gain = compareview::nextGain(m_gain);
    if (m_view == compareview::View::Difference)
        show();
    emit changed();
}

void CompareSession::setWipe(double share)
{
    share = std::clamp(share, 0.0, 1.0);
    if (share == m_wipe)
        return;
    m_wipe = share;
    if (m_active && m_view == compareview::View::Wipe)
        show();
}

QString CompareSession::timecodeB(int64_t frameA) const
{
    if (!hasFrameB(frameA))
        return QString();
    const int64_t n = frameB(frameA);
    if (!m_infoB.startTimecode.isEmpty()) {
        std::optional<Timecode> tc = Timecode::forVideo(m_infoB.fps, m_infoB.startTimecode.toStdString());
        if (tc) {
            tc->addFrames(n);
            return QString::fromStdString(tc->toString());
        }
    }
    return QStringLiteral("#%1").arg(n);
}

QImage CompareSession::compose(const QImage &a, const QImage &b) const
{
    return compareview::compose(a, b, m_view, m_wipe, m_gain);
}

QImage CompareSession::fullPicture(int64_t frameA)
{
    OpenMedia *a = m.mediaA ? m.mediaA() : nullptr;
    if (!a)
        return QImage();
    const QImage pictureA = a->frameAsImage(frameA);
    if (!m_active || m_view == compareview::View::A || pictureA.isNull())
        return pictureA;
    const QImage pictureB = hasFrameB(frameA) ? m_b->frameAsImage(frameB(frameA)) : QImage();
    return compose(pictureA, pictureB);
}

QString CompareSession::inspectorText(int64_t frameA, int x, int y, int width, int height, int rotationDegrees)
{
    OpenMedia *a = m.mediaA ? m.mediaA() : nullptr;
    if (!a)
        return QString();
    if (!m_active)
        return a->pixelInspectorSourceConvertText(frameA, x, y, width, height, rotationDegrees);
    if (m_view == compareview::View::SideBySide) {
        // Both halves show the same point of their own picture.
        if (rotationDegrees % 180 == 0) {
            width = std::max(width / 2, 1);
            x %= width;
        } else {
            height = std::max(height / 2, 1);
            y %= height;
        }
    }
    const QString textA = a->pixelInspectorSourceConvertText(frameA, x, y, width, height, rotationDegrees);
    const QString textB = hasFrameB(frameA)
        ? m_b->pixelInspectorSourceConvertText(frameB(frameA), x, y, width, height, rotationDegrees)
        : QStringLiteral("no frame here");
    if (textA.isEmpty())
        return QString();
    return prefixLines(QStringLiteral("A "), textA) + QLatin1Char('\n') + prefixLines(QStringLiteral("B "), textB);
}

void CompareSession::present(const QVideoFrame &frameA)
{
    const int64_t n = m.state->currentFrameNumber();
    m_recentA.push_back({n, frameA});
    while (m_recentA.size() > kRecentPictures)
        m_recentA.pop_front();
    if (!m_active) {
        m_shownA = n;
        if (m.present)
            m.present(frameA);
        return;
    }
    updateLabel();
    if (m_view == compareview::View::A) {
        // B follows without holding A up.
        m_shownA = n;
        if (m.present)
            m.present(frameA);
    }
    if (hasFrameB(n) && !(m_haveB && m_frameB == frameB(n)))
        requestB(frameB(n));
    if (m_view != compareview::View::A)
        show();
}

void CompareSession::requestB(int64_t frameNumber)
{
    if (!m_b)
        return;
    if (m_inFlight) {
        m_wantedB = frameNumber;
        return;
    }
    // A few frames ahead, B walks there frame by frame: its decoder goes on from where it
    // is, where a jump would seek and decode a whole GOP again.
    int64_t ask = frameNumber;
    if (m_frameB >= 0 && frameNumber > m_frameB + 1 && frameNumber - m_frameB <= kWalkFrames)
        ask = m_frameB + 1;
    m_inFlight = true;
    m_wantedB = ask == frameNumber ? -1 : frameNumber;
    m_frameB = ask;
    m_haveB = false;
    // Id 0: never abandoned for a newer id, which B's engine also gets from the playback
    // controller while B's sound plays.
    m_b->requestFrameSilently(ask, 0);
}

void CompareSession::onFrameB(const QVideoFrame &frame, int64_t, int requestId)
{
    // Answers with other ids are the playback controller's (B's sound).
    if (requestId != 0 || !m_inFlight)
        return;
    m_inFlight = false;
    m_imageB = frame.isValid() ? imageFromVideoFrame(frame) : QImage();
    m_haveB = true;
    if (m_wantedB >= 0 && m_wantedB != m_frameB) {
        // Show what has come, then ask for the frame A has moved on to.
        const int64_t wanted = m_wantedB;
        if (m_view != compareview::View::A)
            show();
        requestB(wanted);
        return;
    }
    m_wantedB = -1;
    if (m_view != compareview::View::A)
        show();
}

void CompareSession::show()
{
    if (m_recentA.empty() || !m.present)
        return;
    if (!m_active || m_view == compareview::View::A) {
        m_shownA = m_recentA.back().frame;
        m.present(m_recentA.back().picture);
        return;
    }
    // The newest picture of A whose partner is here (or has none).
    for (auto it = m_recentA.rbegin(); it != m_recentA.rend(); ++it) {
        const bool partnerHere = m_haveB && frameB(it->frame) == m_frameB;
        if (hasFrameB(it->frame) && !partnerHere)
            continue;
        const QImage b = partnerHere ? m_imageB : QImage();
        m_shownA = it->frame;
        m.present(compat::videoFrameFromImage(compose(imageFromVideoFrame(it->picture), b)));
        return;
    }
}

void CompareSession::updateLabel()
{
    if (!m.timecodeLabel)
        return;
    if (!m_active) {
        m.timecodeLabel->clear();
        return;
    }
    const QString tc = timecodeB(m.state->currentFrameNumber());
    m.timecodeLabel->setText(QStringLiteral("B ") + (tc.isEmpty() ? QStringLiteral("--") : tc));
}

bool CompareSession::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m.mouseArea || !m_active || m_view != compareview::View::Wipe || !m.pictureArea)
        return false;
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseMove && type != QEvent::MouseButtonPress)
        return false;
    if (m_recentA.empty())
        return false;
    const QPoint pos = m.pictureArea->mapFrom(m.mouseArea, static_cast<QMouseEvent *>(event)->position().toPoint());
    const int rotation = m.state->viewerRotationDegrees();
    const bool quarter = rotation % 180 != 0;
    QSize picture = m_recentA.back().picture.size();
    if (quarter)
        picture.transpose();
    const QSize area = m.pictureArea->size();
    const QSize shown = picture.scaled(area, Qt::KeepAspectRatio);
    if (shown.isEmpty())
        return false;
    const double left = (area.width() - shown.width()) / 2.0;
    const double top = (area.height() - shown.height()) / 2.0;
    // The divider is upright in the picture; a quarter turn lays it on its side.
    double share = quarter ? (pos.y() - top) / shown.height() : (pos.x() - left) / shown.width();
    if (rotation == 180 || rotation == 270)
        share = 1.0 - share;
    setWipe(share);
    return false;
}
