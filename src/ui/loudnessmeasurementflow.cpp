#include "ui/loudnessmeasurementflow.h"

#include "ui/loudnessmeasuredialog.h"

#include <QIcon>
#include <QLabel>
#include <QMutex>
#include <QMutexLocker>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

std::optional<LoudnessMeasureRequest> loudnessRequestFor(const LoudnessStartFacts &facts)
{
    if (facts.totalFrames == 0 || facts.media.audioChannelCount <= 0 || !facts.stopped || !facts.viewerMode || facts.fullScreen
        || facts.helpVisible || facts.seekBarDragging)
        return std::nullopt;
    const QString &path = facts.media.filePath;
    if (path.isEmpty() || !(facts.fps > 0.0))
        return std::nullopt;
    double duration = facts.media.videoDurationSec;
    if (!(duration > 0.0))
        duration = double(facts.totalFrames) / facts.fps;
    const double start = double(facts.currentFrame) / facts.fps;
    if (!(start < duration))
        return std::nullopt;
    return LoudnessMeasureRequest{path, start, duration, facts.leftChannel, facts.rightChannel};
}

LoudnessMeasurementFlow::Outcome LoudnessMeasurementFlow::run(const LoudnessMeasureRequest &request,
                                                              const QIcon &icon,
                                                              const std::function<void(QDialog *)> &centre)
{
    LoudnessMeasureDialog dialog(icon);
    if (centre)
        centre(&dialog);

    QThread thread;
    thread.setObjectName(QStringLiteral("loudness"));
    auto *worker = new LoudnessMeasureWorker(request);
    worker->moveToThread(&thread);
    bool running = true; // until the worker reports an outcome
    // The worker deletes itself on its own thread once that ends, possibly before this one
    // has seen its outcome; the late abort below must not reach a deleted worker.
    QMutex workerLock;
    LoudnessMeasureWorker *liveWorker = worker;
    QObject::connect(worker, &QObject::destroyed, [&] {
        QMutexLocker lock(&workerLock);
        liveWorker = nullptr;
    });
    Outcome outcome = Outcome::Aborted;

    QObject::connect(&thread, &QThread::started, worker, &LoudnessMeasureWorker::run);
    QObject::connect(worker, &LoudnessMeasureWorker::progressChanged, dialog.progressBar(), &QProgressBar::setValue);
    QObject::connect(worker, &LoudnessMeasureWorker::measurementReady, &dialog,
                     [&](double truePeakDb, double integratedLufs) {
                         running = false;
                         outcome = Outcome::Measured;
                         dialog.showOutcome(LoudnessMeasureDialog::resultText(truePeakDb, integratedLufs));
                     });
    QObject::connect(worker, &LoudnessMeasureWorker::failed, &dialog, [&](const QString &message) {
        running = false;
        outcome = Outcome::Failed;
        dialog.showOutcome(message);
    });
    QObject::connect(worker, &LoudnessMeasureWorker::aborted, &dialog, [&] {
        running = false;
        outcome = Outcome::Aborted;
        dialog.closeAborted();
    });
    // Direct: after exec() this thread blocks in wait(), where a queued quit would never run.
    QObject::connect(worker, &LoudnessMeasureWorker::finished, &thread, &QThread::quit, Qt::DirectConnection);
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    QObject::connect(dialog.button(), &QPushButton::clicked, &dialog, [&] {
        if (!running) {
            dialog.accept();
            return;
        }
        worker->abort(); // thread-safe: only sets the worker's flag
        dialog.showAborting();
    });

    thread.start(QThread::InheritPriority);
    dialog.exec();
    if (running) {
        QMutexLocker lock(&workerLock);
        if (liveWorker)
            liveWorker->abort();
    }
    thread.wait();
    return outcome;
}
