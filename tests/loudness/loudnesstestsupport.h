#pragma once

// Shared by the loudness tests: running the worker as the player does (on a thread of its
// own) and the reference figures of the ffmpeg CLI's own meter on the same file.

#include "core/workerthread.h"
#include "loudness/loudnessmeasureworker.h"

#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <functional>
#include <limits>

namespace loudnesstest {

struct WorkerRun {
    QStringList signalOrder; // "progress", "ready", "failed", "aborted", "finished"
    QList<int> progress;
    int progressAtReady = -1;
    double truePeakDb = std::numeric_limits<double>::quiet_NaN();
    double integratedLufs = std::numeric_limits<double>::quiet_NaN();
    QString failure;
    bool timedOut = false;

    bool measured() const { return signalOrder.contains(QStringLiteral("ready")); }
    // Exactly one outcome, then finished as the very last signal.
    bool wellFormed() const
    {
        const int outcomes = signalOrder.count(QStringLiteral("ready")) + signalOrder.count(QStringLiteral("failed"))
                             + signalOrder.count(QStringLiteral("aborted"));
        return outcomes == 1 && signalOrder.count(QStringLiteral("finished")) == 1
               && signalOrder.constLast() == QLatin1String("finished");
    }
};

// Runs the worker on a QThread; onWorkerThreadProgress (optional) is called on the worker's
// thread with each progress value, so a test can abort in the middle of decoding.
inline WorkerRun runWorker(const LoudnessMeasureRequest &request,
                           const std::function<void(LoudnessMeasureWorker *, int)> &onWorkerThreadProgress = {},
                           bool abortBeforeStart = false)
{
    WorkerRun run;
    WorkerThread<LoudnessMeasureWorker> job(new LoudnessMeasureWorker(request));
    LoudnessMeasureWorker *worker = job.worker();
    if (abortBeforeStart)
        job.abort();
    QEventLoop loop;
    QObject::connect(worker, &LoudnessMeasureWorker::progressChanged, &loop, [&run](int value) {
        run.signalOrder.append(QStringLiteral("progress"));
        run.progress.append(value);
    });
    if (onWorkerThreadProgress) {
        QObject::connect(worker, &LoudnessMeasureWorker::progressChanged, worker,
                         [worker, onWorkerThreadProgress](int value) { onWorkerThreadProgress(worker, value); },
                         Qt::DirectConnection);
    }
    QObject::connect(worker, &LoudnessMeasureWorker::measurementReady, &loop, [&run](double peak, double lufs) {
        run.signalOrder.append(QStringLiteral("ready"));
        run.truePeakDb = peak;
        run.integratedLufs = lufs;
        run.progressAtReady = run.progress.isEmpty() ? -1 : run.progress.constLast();
    });
    QObject::connect(worker, &LoudnessMeasureWorker::failed, &loop, [&run](const QString &message) {
        run.signalOrder.append(QStringLiteral("failed"));
        run.failure = message;
    });
    QObject::connect(worker, &LoudnessMeasureWorker::aborted, &loop,
                     [&run] { run.signalOrder.append(QStringLiteral("aborted")); });
    QObject::connect(worker, &LoudnessMeasureWorker::finished, &loop, [&run, &loop] {
        run.signalOrder.append(QStringLiteral("finished"));
        loop.quit();
    });
    QTimer::singleShot(120000, &loop, [&run, &loop] {
        run.timedOut = true;
        loop.quit();
    });
    job.start();
    loop.exec();
    job.abort(); // only after a time-out is it still running
    job.wait();
    return run;
}

struct Reference {
    bool ok = false;
    double integratedLufs = 0.0;
    double truePeakDb = 0.0;
    QString log;
};

// The summary of "ffmpeg ... -af ebur128=peak=true" on input, after the given filter chain
// (e.g. "pan=stereo|c0=c2|c1=c5,"). map picks the audio stream (e.g. "0:a:1").
inline Reference ffmpegMeter(const QString &input, const QString &map = QStringLiteral("0:a:0"),
                             const QString &before = QString())
{
    Reference reference;
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-nostdin"), QStringLiteral("-hide_banner"), QStringLiteral("-i"), input,
                  QStringLiteral("-filter_complex"),
                  QStringLiteral("[%1]%2ebur128=peak=true:framelog=verbose").arg(map, before),
                  QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
    if (!ffmpeg.waitForFinished(120000))
        return reference;
    reference.log = QString::fromUtf8(ffmpeg.readAllStandardError());
    // The CLI may set its graph up twice; the last summary is the one that saw the signal.
    const auto lastMatch = [&reference](const QString &pattern) {
        QRegularExpressionMatch last;
        QRegularExpressionMatchIterator it = QRegularExpression(pattern).globalMatch(reference.log);
        while (it.hasNext())
            last = it.next();
        return last;
    };
    const QRegularExpressionMatch integrated =
        lastMatch(QStringLiteral(R"(Integrated loudness:\s*\n\s*I:\s*(-?[0-9.]+|-inf) LUFS)"));
    const QRegularExpressionMatch peak = lastMatch(QStringLiteral(R"(True peak:\s*\n\s*Peak:\s*(-?[0-9.]+|-inf) dBFS)"));
    if (!integrated.hasMatch() || !peak.hasMatch())
        return reference;
    const auto number = [](const QString &text) {
        return text == QLatin1String("-inf") ? -std::numeric_limits<double>::infinity() : text.toDouble();
    };
    reference.integratedLufs = number(integrated.captured(1));
    reference.truePeakDb = number(peak.captured(1));
    reference.ok = true;
    return reference;
}

// Integrated loudness of a steady 1 kHz sine pair with these peak levels (dBFS; minus
// infinity for a silent side): K-weighting is neutral at 1 kHz, so it is the mean power.
inline double sineLoudness(double leftDb, double rightDb)
{
    const auto power = [](double db) { return std::isinf(db) ? 0.0 : std::pow(10.0, db / 10.0); };
    return 10.0 * std::log10((power(leftDb) + power(rightDb)) / 2.0);
}

} // namespace loudnesstest
