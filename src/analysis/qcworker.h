#pragma once

// The QC analysis as a worker on a thread of its own: one file after another, events
// reported as they are found, progress per file, and an abort that ends a blocked read.
// Meant to be moved to a QThread whose started signal runs run(); abort() is a direct call
// from any thread.

#include "analysis/qcanalyzer.h"
#include "analysis/qctypes.h"
#include "core/mediainfo.h"

#include <QMutex>
#include <QObject>
#include <QStringList>

#include <atomic>

class QcWorker : public QObject
{
    Q_OBJECT

public:
    QcWorker(const QStringList &paths, const qc::Settings &settings, QObject *parent = nullptr);

signals:
    void fileStarted(int index, QString path);
    // 0..100 for the file being analysed; sent only on a change.
    void progressChanged(int index, int percent);
    void eventFound(int index, qc::Event event);
    // Measurements for the graphs, in file order.
    void seriesFound(int index, qc::Series series);
    void fileAnalysed(int index, MediaInfo info, qc::Summary summary);
    void fileFailed(int index, QString error);
    // The run ended early; files not reached get no signal.
    void aborted();
    void finished();

public slots:
    void run();
    void abort();
    // Any thread, like abort: holds the analysis before its next picture, or lets it go on.
    void setPaused(bool paused);

private:
    const QStringList m_paths;
    const qc::Settings m_settings;
    std::atomic<bool> m_abort{false};
    QMutex m_lock;
    bool m_paused = false;             // guarded by m_lock
    qc::Analyzer *m_current = nullptr; // guarded by m_lock
};

Q_DECLARE_METATYPE(qc::Event)
Q_DECLARE_METATYPE(qc::Summary)
Q_DECLARE_METATYPE(qc::Series)
Q_DECLARE_METATYPE(MediaInfo)
