#pragma once

#include "analysis/qcreport.h"
#include "analysis/qctypes.h"
#include "core/mediainfo.h"
#include "loudness/blockpower.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QThread>

#include <memory>
#include <optional>

class QcWorker;
template <typename Worker>
class WorkerThread;

// The open file's QC analysis: runs the analysis worker on a thread of its own, held while
// the player plays, and keeps what it found in time order as it arrives. Opening
// another file (start or clear) aborts the run at once; answers of an aborted run are
// dropped. The preset and the on-open switch are remembered between sessions. GUI thread.
class QcSession : public QObject
{
    Q_OBJECT

public:
    enum class State { Idle, Running, Analysed, Failed };

    explicit QcSession(QObject *parent = nullptr);
    ~QcSession() override;

    // Whether a file is analysed as it opens (on unless turned off).
    bool analyseOnOpen() const { return m_analyseOnOpen; }
    void setAnalyseOnOpen(bool on);
    qc::Preset preset() const { return m_preset; }
    const qc::Settings &settings() const { return m_settings; }
    // Remembers the preset; the thresholds last for this session. Re-runs the open file.
    void setSettings(qc::Preset preset, const qc::Settings &settings);
    // How the analysis yields to playback: it waits while the player plays (on by default),
    // and its thread's priority (normal by default; idle runs it only on spare time, which
    // on a busy machine can hold up its end when another file opens).
    void setPauseDuringPlayback(bool pause);
    void setPriority(QThread::Priority priority) { m_priority = priority; }
    // The player started or stopped playing.
    void setPlaying(bool playing);
    bool isPaused() const { return m_pauseDuringPlayback && m_playing; }

    // A file just opened: drops the last file's results and, when analysing on open,
    // starts on this one.
    void fileOpened(const QString &path, const MediaInfo &info);
    // Aborts a run and drops every result (another file is opening).
    void clear();
    // Analyses the file again with the current settings.
    void rerun();

    State state() const { return m_state; }
    int progress() const { return m_progress; }
    QString error() const { return m_error; }
    const QList<qc::Event> &events() const { return m_events; }
    // The graphs' measurements so far: each analysed picture's luma in frame order, and
    // every channel's 100 ms loudness blocks from the start of the picture stream.
    const QList<qc::LumaPoint> &luma() const { return m_luma; }
    const loudness::ShortTermSeries &loudness() const { return m_loudness; }
    const MediaInfo &info() const { return m_info; }
    const QString &path() const { return m_path; }
    // The report of a finished analysis.
    std::optional<qc::Report> report() const;

signals:
    void cleared();
    // 'index' is where the event went in events().
    void eventAdded(int index);
    void progressChanged(int percent);
    // More of luma() or loudness() arrived.
    void seriesAdded();
    void stateChanged(QcSession::State state);

private:
    void start();
    void stop();
    void setState(State state);
    void applyPause();

    std::unique_ptr<WorkerThread<QcWorker>> m_job;
    quint64 m_generation = 0; // answers of older runs are dropped
    QThread::Priority m_priority = QThread::NormalPriority;
    bool m_pauseDuringPlayback = true;
    bool m_playing = false;
    bool m_analyseOnOpen = true;
    qc::Preset m_preset = qc::Preset::Ebu;
    qc::Settings m_settings;
    State m_state = State::Idle;
    int m_progress = 0;
    QString m_error;
    QString m_path;
    MediaInfo m_info;
    qc::Summary m_summary;
    QList<qc::Event> m_events;
    QList<qc::LumaPoint> m_luma;
    loudness::ShortTermSeries m_loudness;
};
