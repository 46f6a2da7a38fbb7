#include "app/logger.h"

#include "app/platform.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QRecursiveMutex>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTextStream>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>

extern "C" {
#include <libavutil/log.h>
}

namespace {

constexpr auto kProgramVersion = "3.4.4";

// Set once the logger has been destroyed at exit; handlers that still fire afterwards
// (other static destructors, stray threads) must not touch the dead object.
std::atomic<bool> loggerGone{false};

void qtMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
void ffmpegLogCallback(void *avClass, int level, const char *format, va_list arguments);

struct Logger
{
    // All members are guarded by 'mutex'; any thread may log.
    bool enabled = false;
    QString filePath;
    QFile file;
    QTextStream stream;
    // Recursive: a message raised while a line is being written (Qt warning from the
    // stream, say) re-enters on the same thread instead of deadlocking.
    QRecursiveMutex mutex;

    static Logger &instance()
    {
        static Logger logger;
        return logger;
    }

    ~Logger()
    {
        QMutexLocker lock(&mutex);
        if (file.isOpen()) {
            writeLocked(QStringLiteral("System"), QStringLiteral("Log session ended."));
            stream.flush();
            file.close();
        }
        enabled = false;
        loggerGone.store(true);
        // The handlers point into this object; hand the outputs back to their defaults.
        qInstallMessageHandler(nullptr);
        av_log_set_callback(av_log_default_callback);
    }

    bool enableIn(const QString &folder)
    {
        QMutexLocker lock(&mutex);
        if (enabled)
            return true;
        if (folder.isEmpty())
            return false;
        const QString name = QStringLiteral("%1_OrvelLog.log")
                                 .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss")));
        filePath = QDir(folder).filePath(name);
        file.setFileName(filePath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
            filePath.clear();
            return false;
        }
        stream.setDevice(&file);
        stream.setEncoding(QStringConverter::Utf8);
        enabled = true;

        const QString system = QStringLiteral("System");
        writeLocked(system, QStringLiteral("=== Orvel Log Session Started ==="));
        writeLocked(system, QStringLiteral("Orvel Version: %1").arg(QLatin1String(kProgramVersion)));
        writeLocked(system, QStringLiteral("OS: %1").arg(QSysInfo::prettyProductName()));
        writeLocked(system, QStringLiteral("CPU Architecture: %1").arg(QSysInfo::currentCpuArchitecture()));
        writeLocked(system, QString(32, QLatin1Char('-')));

        qInstallMessageHandler(qtMessageHandler);
        av_log_set_callback(ffmpegLogCallback);
        return true;
    }

    void write(const QString &level, const QString &message)
    {
        QMutexLocker lock(&mutex);
        if (enabled)
            writeLocked(level, message);
    }

    void writeLocked(const QString &level, const QString &message)
    {
        stream << QStringLiteral("[%1] [%2] %3\n").arg(timeStamp(), level, message);
        // Flushed per line so the file is complete up to the last line after a crash.
        stream.flush();
    }

    static QString timeStamp()
    {
        QString text = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
        if (!text.isEmpty())
            return text;
        // Qt could not format the time (no usable time zone data): ask the C runtime.
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        std::tm local{};
        char buffer[32] = {};
        if (platform::localTime(seconds, &local))
            std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
        return QStringLiteral("%1.%2").arg(QString::fromLatin1(buffer)).arg(millis, 3, 10, QLatin1Char('0'));
    }
};

QString levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return QStringLiteral("Debug");
    case QtInfoMsg: return QStringLiteral("Info");
    case QtWarningMsg: return QStringLiteral("Warning");
    case QtCriticalMsg: return QStringLiteral("Critical");
    case QtFatalMsg: return QStringLiteral("Fatal");
    }
    return {};
}

void qtMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (loggerGone.load())
        return;
    Logger::instance().write(levelName(type), message);
}

void ffmpegLogCallback(void *, int level, const char *format, va_list arguments)
{
    if (level > av_log_get_level() || loggerGone.load())
        return;
    char buffer[1024];
    // vsnprintf truncates silently and always terminates the buffer.
    if (std::vsnprintf(buffer, sizeof buffer, format, arguments) < 0)
        return;
    const QString text = QString::fromUtf8(buffer).trimmed();
    if (text.isEmpty())
        return;
    Logger::instance().write(QStringLiteral("FFmpeg"), text);
}

} // namespace

bool enableLogging()
{
    return logging::enableLoggingIn(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
}

void writeLogLine(const QString &level, const QString &message)
{
    if (loggerGone.load())
        return;
    Logger::instance().write(level, message);
}

namespace logging {

bool enableLoggingIn(const QString &folder)
{
    if (loggerGone.load())
        return false;
    return Logger::instance().enableIn(folder);
}

QString logFilePath()
{
    if (loggerGone.load())
        return {};
    Logger &logger = Logger::instance();
    QMutexLocker lock(&logger.mutex);
    return logger.enabled ? logger.filePath : QString();
}

} // namespace logging
