#include "analysis/qcworker.h"

#include <QMutexLocker>

QcWorker::QcWorker(const QStringList &paths, const qc::Settings &settings, QObject *parent)
    : QObject(parent)
    , m_paths(paths)
    , m_settings(settings)
{
    qRegisterMetaType<qc::Event>("qc::Event");
    qRegisterMetaType<qc::Summary>("qc::Summary");
    qRegisterMetaType<qc::Series>("qc::Series");
    qRegisterMetaType<MediaInfo>("MediaInfo");
}

void QcWorker::abort()
{
    m_abort.store(true, std::memory_order_relaxed);
    QMutexLocker lock(&m_lock);
    if (m_current)
        m_current->abort();
}

void QcWorker::setPaused(bool paused)
{
    QMutexLocker lock(&m_lock);
    m_paused = paused;
    if (m_current)
        m_current->setPaused(paused);
}

void QcWorker::run()
{
    for (int index = 0; index < m_paths.size(); ++index) {
        if (m_abort.load(std::memory_order_relaxed))
            break;
        emit fileStarted(index, m_paths.at(index));
        int lastPercent = -1;
        qc::Analyzer analyzer(
            m_settings, [this, index](const qc::Event &event) { emit eventFound(index, event); },
            [this, index, &lastPercent](int percent) {
                if (percent == lastPercent)
                    return;
                lastPercent = percent;
                emit progressChanged(index, percent);
            },
            [this, index](const qc::Series &series) { emit seriesFound(index, series); });
        {
            QMutexLocker lock(&m_lock);
            m_current = &analyzer;
            analyzer.setPaused(m_paused);
            if (m_abort.load(std::memory_order_relaxed))
                analyzer.abort();
        }
        const qc::Analyzer::Outcome outcome = analyzer.run(m_paths.at(index));
        {
            QMutexLocker lock(&m_lock);
            m_current = nullptr;
        }
        if (outcome.kind == qc::Analyzer::Outcome::Aborted)
            break;
        if (outcome.kind == qc::Analyzer::Outcome::Failed)
            emit fileFailed(index, outcome.error);
        else
            emit fileAnalysed(index, outcome.info, outcome.summary);
    }
    if (m_abort.load(std::memory_order_relaxed))
        emit aborted();
    emit finished();
}
