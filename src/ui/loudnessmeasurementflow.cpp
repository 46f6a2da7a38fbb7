#include "ui/loudnessmeasurementflow.h"

#include "ui/loudnessmeasuredialog.h"

#include "core/workerthread.h"

#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

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

    WorkerThread<LoudnessMeasureWorker> job(new LoudnessMeasureWorker(request), QStringLiteral("loudness"));
    LoudnessMeasureWorker *worker = job.worker();
    bool running = true; // until the worker reports an outcome
    Outcome outcome = Outcome::Aborted;

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
    QObject::connect(dialog.button(), &QPushButton::clicked, &dialog, [&] {
        if (!running) {
            dialog.accept();
            return;
        }
        job.abort();
        dialog.showAborting();
    });

    job.start();
    dialog.exec();
    if (running)
        job.abort();
    job.wait();
    return outcome;
}
