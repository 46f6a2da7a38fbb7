#include "ui/qcsession.h"

#include "analysis/qcworker.h"
#include "core/workerthread.h"

#include <QSettings>

#include <algorithm>

namespace {

const char *const kPresetKey = "qc/preset";
const char *const kOnOpenKey = "qc/analyseOnOpen";

} // namespace

QcSession::QcSession(QObject *parent)
    : QObject(parent)
{
    const QSettings stored;
    m_analyseOnOpen = stored.value(QLatin1String(kOnOpenKey), true).toBool();
    m_preset = qc::presetFromName(stored.value(QLatin1String(kPresetKey)).toString()).value_or(qc::Preset::Ebu);
    m_settings.thresholds = qc::presetThresholds(m_preset);
}

QcSession::~QcSession()
{
    stop();
}

void QcSession::setAnalyseOnOpen(bool on)
{
    m_analyseOnOpen = on;
    QSettings().setValue(QLatin1String(kOnOpenKey), on);
}

void QcSession::setSettings(qc::Preset preset, const qc::Settings &settings)
{
    m_preset = preset;
    m_settings = settings;
    QSettings().setValue(QLatin1String(kPresetKey), qc::presetName(preset));
    if (!m_path.isEmpty())
        rerun();
}

void QcSession::setPauseDuringPlayback(bool pause)
{
    m_pauseDuringPlayback = pause;
    applyPause();
}

void QcSession::setPlaying(bool playing)
{
    m_playing = playing;
    applyPause();
}

void QcSession::applyPause()
{
    if (m_job) {
        const bool paused = isPaused();
        m_job->callLive([paused](QcWorker *worker) { worker->setPaused(paused); });
    }
}

void QcSession::fileOpened(const QString &path, const MediaInfo &info)
{
    clear();
    m_path = path;
    m_info = info;
    if (m_analyseOnOpen)
        start();
}

void QcSession::clear()
{
    stop();
    m_path.clear();
    m_info = MediaInfo();
    m_events.clear();
    m_luma.clear();
    m_loudness.clear();
    m_progress = 0;
    m_error.clear();
    setState(State::Idle);
    emit cleared();
}

void QcSession::rerun()
{
    if (m_path.isEmpty())
        return;
    stop();
    m_events.clear();
    m_luma.clear();
    m_loudness.clear();
    m_progress = 0;
    m_error.clear();
    emit cleared();
    start();
}

void QcSession::stop()
{
    ++m_generation;
    // The destructor aborts (a blocked read gives up too) and waits for the thread.
    m_job.reset();
}

void QcSession::start()
{
    const quint64 generation = ++m_generation;
    m_job = std::make_unique<WorkerThread<QcWorker>>(new QcWorker({m_path}, m_settings), QStringLiteral("qc"));
    QcWorker *worker = m_job->worker();
    const auto current = [this, generation] { return generation == m_generation; };
    connect(worker, &QcWorker::eventFound, this, [this, current](int, const qc::Event &event) {
        if (!current())
            return;
        const auto at = std::upper_bound(m_events.begin(), m_events.end(), event, qc::eventBefore);
        const int index = int(at - m_events.begin());
        m_events.insert(index, event);
        emit eventAdded(index);
    });
    connect(worker, &QcWorker::seriesFound, this, [this, current](int, const qc::Series &series) {
        if (!current())
            return;
        m_luma.append(series.luma);
        for (const loudness::PowerBlock &block : series.power)
            m_loudness.append(block);
        emit seriesAdded();
    });
    connect(worker, &QcWorker::progressChanged, this, [this, current](int, int percent) {
        if (!current())
            return;
        m_progress = percent;
        emit progressChanged(percent);
    });
    connect(worker, &QcWorker::fileAnalysed, this,
            [this, current](int, const MediaInfo &info, const qc::Summary &summary) {
                if (!current())
                    return;
                m_summary = summary;
                m_info = info; // the facts the analysis itself opened, as the command reports them
                m_progress = 100;
                emit progressChanged(100);
                setState(State::Analysed);
            });
    connect(worker, &QcWorker::fileFailed, this, [this, current](int, const QString &error) {
        if (!current())
            return;
        m_error = error;
        setState(State::Failed);
    });
    worker->setPaused(isPaused());
    setState(State::Running);
    m_job->start(m_priority);
}

void QcSession::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(state);
}

std::optional<qc::Report> QcSession::report() const
{
    if (m_state != State::Analysed)
        return std::nullopt;
    return qc::Report{m_path, m_info, m_summary, m_events};
}
