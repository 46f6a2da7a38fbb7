#include "app/logger.h"
#include "app/orvelapplication.h"
#include "app/platform.h"
#include "app/singleinstanceguard.h"
#include "core/compat.h"
#include "engine/enginestop.h"
#include "ui/mainwindow.h"

#include <QCommandLineParser>
#include <QFile>
#include <QIcon>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>

namespace {

// Qt aborts when it cannot open the display (no X server yet, a wrong DISPLAY): a start-up
// failure of the environment, not a crash, so it ends the run with its message and status 1
// instead of SIGABRT and a core dump.
void exitOnStartupFatal(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "Orvel could not start.\n");
        std::fflush(stderr);
        std::_Exit(EXIT_FAILURE);
    }
}

// --help and --version answer on the console and end the run before the hand-over, so
// that they never reach a running instance as a "path". Anything else, unknown options
// included, is left alone: the first argument is the media path.
bool answeredInformationRequest()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Media review player."));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("Media file to open."), QStringLiteral("[file]"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2)
        return false;
    parser.parse(arguments);
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return true;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                    qPrintable(QCoreApplication::applicationVersion()));
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    compat::selectMediaBackend();
    const QtMessageHandler previousHandler = qInstallMessageHandler(exitOnStartupFatal);
    OrvelApplication app(argc, argv);
    qInstallMessageHandler(previousHandler);
    QCoreApplication::setApplicationName(QStringLiteral("Orvel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVEL_VERSION));
    // Lets the desktop match the window to its menu entry (the Wayland app id).
    QGuiApplication::setDesktopFileName(QStringLiteral(ORVEL_APP_ID));

    // Checked once: holding Shift at start is the only way to get a log file.
    if (QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ShiftModifier))
        enableLogging();

    if (answeredInformationRequest())
        return 0;

    SingleInstanceGuard guard(QStringLiteral("Orvel_SingleInstance_App"));
    if (guard.handOffToRunningInstance())
        return 0;
    guard.startServer();

    QApplication::setStyle(QStringLiteral("Fusion"));
    compat::applyDarkColorScheme();
    QFile styleSheet(QStringLiteral(":/Style.qss"));
    if (styleSheet.open(QIODevice::ReadOnly | QIODevice::Text))
        app.setStyleSheet(QTextStream(&styleSheet).readAll());

    int status = 0;
    {
        MainWindow window;
        app.mainWindow = &window;
        window.setFileRevealer([](const QString &path) { platform::revealInFileManager(path); });
        QObject::connect(&guard, &SingleInstanceGuard::fileRequested, &window, &MainWindow::openMediaFile);
        window.setWindowIcon(QIcon(QStringLiteral(":/Orvel.ico")));
        window.show();
        app.openInitialFile();
        status = app.exec();
        app.mainWindow = nullptr;
    }
    // The window left its engine thread inside a read nothing interrupts: Qt stays up for it.
    if (enginestop::threadsLeftBehind() > 0) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
