#pragma once

// orvel-cli: the player's media engine driven from the command line. main() only builds
// the application object and calls run(); everything here is testable in-process.

#include "core/conversionprofile.h"
#include "core/enums.h"
#include "core/mediainfo.h"

#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>

class QTextStream;

namespace cli {

struct Io {
    QTextStream &out; // results (JSON, files written)
    QTextStream &err; // errors and usage
    bool errIsTerminal = false; // progress bars only go to a terminal
};

// One subcommand: "orvel-cli <name> <arguments>". A new command is one more row in the
// table of cli.cpp and one handler; the dispatcher checks the argument count.
struct Command {
    const char *name;
    const char *arguments;   // synopsis of the positional arguments, e.g. "FILE"
    const char *description;
    int minArguments;
    int maxArguments;
    int (*run)(const QStringList &arguments, Io &io);
};

const QList<Command> &commands();

// True when "--verbose" comes before the command. Read from argv because the quiet mode
// must be in place before the application object exists (its warnings come first).
bool verboseRequested(int argc, char **argv);
// Without verbose: only critical Qt messages and no FFmpeg log reach stderr, so errors
// are the command's own lines. With verbose: everything, debug lines included.
void configureLogging(bool verbose);
// True when the command on the line draws text (the scope's graticule): fonts need a
// QGuiApplication with a platform plugin, which the other commands start without.
bool needsGuiApplication(int argc, char **argv);

// arguments as QCoreApplication::arguments() gives them (program name first). Returns the
// process exit code. Needs a QCoreApplication; commands run a local event loop.
int run(const QStringList &arguments, Io &io);
// The rate --fps gave for image sequences (0 when not given).
double sequenceFpsOption();

struct OpenResult {
    bool success = false;
    MediaInfo info;
    QString error;
};

// Opens path exactly as the player does (an OpenMedia: the engine on a QThread of its own)
// and waits for the answer. Blocks the caller meanwhile (it spins a local event loop); the
// engine and its thread are gone on return.
OpenResult openMedia(const QString &path);

struct FrameExport {
    bool opened = false;
    QString error;       // the engine's opening error when !opened
    QImage image;        // null when no frame could be decoded
    qint64 frameNumber = -1; // number of the frame delivered (the last one past the end)
    struct Timings {
        qint64 openMs = 0;       // engine thread start and openFile
        qint64 decodeMs = 0;     // exact decode of the frame
        qint64 conversionMs = 0; // to the exported picture
        qint64 framesDecoded = 0; // pictures the decoder returned for it
    } timings;
};

// Opens path like openMedia, sets the conversion profile and takes frame n the way
// VideoEngine::getFrameAsImage does (the path picture export uses), without sound, without
// the frame cache and the picture timecode look, decoding one-shot (nothing past the
// target). exposureStops: the view transform of scene-linear (float) pictures. Blocks the
// caller.
FrameExport exportFrame(const QString &path, qint64 frameNumber, ConversionProfile profile,
                        double exposureStops = 0.0);

struct PixelQuery {
    bool opened = false;
    QString error;   // the engine's opening error when !opened
    QString text;    // the engine's two lines; empty off the picture or without a frame
};

// Opens path like openMedia and asks VideoEngine::pixelInspectorSourceConvertText, as the
// player's inspector does, for canvas point (x, y). An empty canvas means the picture as
// shown at that rotation: the frame's size, sides swapped for a quarter turn.
PixelQuery inspectPixel(const QString &path, qint64 frameNumber, int x, int y, int rotationDegrees,
                        QSize canvas);

struct LoudnessResult {
    bool measured = false;
    QString error;          // the worker's message when !measured
    double truePeakDb = 0.0;    // minus infinity for digital silence
    double integratedLufs = 0.0;
};

// Runs LoudnessMeasureWorker on a QThread of its own, as the player's loudness dialog does,
// and waits for its outcome. progress (optional) gets 0..100 on the caller's thread.
LoudnessResult measureLoudness(const QString &path, double startSec, double endSec, int left, int right,
                               const std::function<void(int)> &progress = {});

struct ScopeExport {
    bool opened = false;
    QString error;           // the engine's opening error when !opened
    QImage image;            // the 1920 x 1024 image scopeImageReady carried
    qint64 frameNumber = -1; // number of the frame analysed (the last one past the end)
};

// Opens path like openMedia and asks the engine for the scope of frame n exactly as the
// scope page does (requestScopeImage, answered by scopeImageReady). Blocks the caller.
ScopeExport exportScope(const QString &path, qint64 frameNumber, ScopeRange range, DisplayChannel channel,
                        int rotationDegrees, ScopeKind kind = ScopeWaveform);

} // namespace cli
