// Each scenario runs in a child process: a process can switch logging on only once, and
// the closing line is written only when the process exits.

#include "app/logger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

namespace {

constexpr int kThreads = 6;
constexpr int kLinesPerThread = 400;

int runScenario(const QString &scenario, const QString &folder)
{
    if (scenario == QLatin1String("messages")) {
        if (!logging::enableLoggingIn(folder))
            return 2;
        qDebug("plain debug x");
        qInfo("an info line");
        qWarning("a warning with unicode \u00e9\u65e5");
        qCritical("critical text");
        av_log(nullptr, AV_LOG_WARNING, "ffmpeg warning %d\n", 42);
        av_log(nullptr, AV_LOG_ERROR, "  padded error  \n");
        av_log(nullptr, AV_LOG_DEBUG, "ffmpeg debug should not appear\n");
        av_log(nullptr, AV_LOG_VERBOSE, "ffmpeg verbose should not appear\n");
        av_log(nullptr, AV_LOG_INFO, " \t \n");
        // Longer than the formatting buffer: truncated, never overrun.
        av_log(nullptr, AV_LOG_INFO, "%s\n", QByteArray(3000, 'z').constData());
        writeLogLine(QStringLiteral("Custom"), QStringLiteral("direct line"));
        // A second switch-on neither fails nor repeats the header.
        if (!logging::enableLoggingIn(folder) || !enableLogging())
            return 3;
        qDebug("after second enable");
        return 0;
    }
    if (scenario == QLatin1String("threads")) {
        if (!logging::enableLoggingIn(folder))
            return 2;
        std::vector<QThread *> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.push_back(QThread::create([t] {
                const QString filler(200, QLatin1Char('a' + t));
                for (int i = 0; i < kLinesPerThread; ++i) {
                    switch (i % 3) {
                    case 0: qDebug("t%d i%d %s", t, i, qPrintable(filler)); break;
                    case 1: writeLogLine(QStringLiteral("Info"), QStringLiteral("t%1 i%2 %3").arg(t).arg(i).arg(filler)); break;
                    default: av_log(nullptr, AV_LOG_WARNING, "t%d i%d %s\n", t, i, qPrintable(filler)); break;
                    }
                }
            }));
            threads.back()->start();
        }
        for (QThread *thread : threads) {
            thread->wait();
            delete thread;
        }
        return 0;
    }
    if (scenario == QLatin1String("unwritable")) {
        const QString missing = QDir(folder).filePath(QStringLiteral("no/such/folder"));
        if (logging::enableLoggingIn(missing))
            return 2;
        if (!logging::logFilePath().isEmpty())
            return 3;
        // Nothing installed: Qt's default handler still prints to stderr.
        qWarning("still on stderr");
        writeLogLine(QStringLiteral("Info"), QStringLiteral("dropped"));
        return 0;
    }
    if (scenario == QLatin1String("off")) {
        writeLogLine(QStringLiteral("Info"), QStringLiteral("dropped"));
        qWarning("default output");
        return 0;
    }
    return 99;
}

struct LogLine
{
    QString stamp;
    QString level;
    QString message;
};

const QRegularExpression &linePattern()
{
    static const QRegularExpression re(
        QStringLiteral(R"(^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})\] \[([^\]]*)\] (.*)$)"));
    return re;
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

    struct Run
    {
        int exitCode = -1;
        QByteArray stdErr;
        QStringList logFiles;
        QString rawText;
        QList<LogLine> lines;
        int malformed = 0;
    };

    QTemporaryDir m_root;
    int m_runCounter = 0;

    Run runChild(const QString &scenario)
    {
        Run run;
        const QString folder = m_root.filePath(QStringLiteral("run%1").arg(++m_runCounter));
        QDir().mkpath(folder);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--scenario"), scenario, folder});
        if (!child.waitForFinished(60000) || child.exitStatus() != QProcess::NormalExit)
            return run;
        run.exitCode = child.exitCode();
        run.stdErr = child.readAllStandardError();
        run.logFiles = QDir(folder).entryList(QDir::Files);
        if (run.logFiles.size() == 1) {
            QFile file(QDir(folder).filePath(run.logFiles.first()));
            if (file.open(QIODevice::ReadOnly))
                run.rawText = QString::fromUtf8(file.readAll());
            const QStringList rows = run.rawText.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            for (const QString &row : rows) {
                const auto m = linePattern().match(row);
                if (!m.hasMatch()) {
                    ++run.malformed;
                    continue;
                }
                run.lines.append({m.captured(1), m.captured(2), m.captured(3)});
            }
        }
        return run;
    }

    Run m_messages;

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        m_messages = runChild(QStringLiteral("messages"));
        QCOMPARE(m_messages.exitCode, 0);
        QCOMPARE(m_messages.logFiles.size(), 1);
        QCOMPARE(m_messages.malformed, 0);

        // The file is named after the start time.
        const QString name = m_messages.logFiles.first();
        QVERIFY2(QRegularExpression(QStringLiteral(R"(^\d{14}_OrvelLog\.log$)")).match(name).hasMatch(), qPrintable(name));
        const QDateTime stamp = QDateTime::fromString(name.left(14), QStringLiteral("yyyyMMddhhmmss"));
        QVERIFY(stamp.isValid());
        QVERIFY(stamp >= before.addSecs(-1) && stamp <= QDateTime::currentDateTime());
    }

    void headerOpensTheFile()
    {
        const QStringList expected = {
            QStringLiteral("=== Orvel Log Session Started ==="),
            QStringLiteral("Orvel Version: 3.4.4"),
            QStringLiteral("OS: %1").arg(QSysInfo::prettyProductName()),
            QStringLiteral("CPU Architecture: %1").arg(QSysInfo::currentCpuArchitecture()),
            QString(32, QLatin1Char('-')),
        };
        QVERIFY(m_messages.lines.size() > expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            QCOMPARE(m_messages.lines[i].level, QStringLiteral("System"));
            QCOMPARE(m_messages.lines[i].message, expected[i]);
        }
        // Exactly one header, even though logging was switched on three times.
        QCOMPARE(m_messages.rawText.count(expected.first()), 1);
    }

    void sessionEndIsTheLastLine()
    {
        QVERIFY(!m_messages.lines.isEmpty());
        QCOMPARE(m_messages.lines.last().level, QStringLiteral("System"));
        QCOMPARE(m_messages.lines.last().message, QStringLiteral("Log session ended."));
        QVERIFY(m_messages.rawText.endsWith(QLatin1String("Log session ended.\n")));
    }

    void messageLines_data()
    {
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("message");
        QTest::newRow("qDebug") << "Debug" << "plain debug x";
        QTest::newRow("qInfo") << "Info" << "an info line";
        QTest::newRow("qWarning, UTF-8") << "Warning" << QStringLiteral("a warning with unicode \u00e9\u65e5");
        QTest::newRow("qCritical") << "Critical" << "critical text";
        QTest::newRow("ffmpeg warning, newline trimmed") << "FFmpeg" << "ffmpeg warning 42";
        QTest::newRow("ffmpeg error, padding trimmed") << "FFmpeg" << "padded error";
        QTest::newRow("writeLogLine") << "Custom" << "direct line";
        QTest::newRow("after second enable") << "Debug" << "after second enable";
    }

    void messageLines()
    {
        QFETCH(QString, level);
        QFETCH(QString, message);
        int found = 0;
        for (const LogLine &line : std::as_const(m_messages.lines))
            if (line.level == level && line.message == message)
                ++found;
        QCOMPARE(found, 1);
    }

    void droppedFfmpegMessages()
    {
        // Debug and verbose are above FFmpeg's default level; white space alone says nothing.
        QVERIFY(!m_messages.rawText.contains(QLatin1String("should not appear")));
        int ffmpegLines = 0;
        for (const LogLine &line : std::as_const(m_messages.lines)) {
            if (line.level == QLatin1String("FFmpeg")) {
                ++ffmpegLines;
                QVERIFY(!line.message.isEmpty());
            }
        }
        // warning, error and the truncated long line
        QCOMPARE(ffmpegLines, 3);
    }

    void longFfmpegMessageIsTruncated()
    {
        for (const LogLine &line : std::as_const(m_messages.lines)) {
            if (line.level == QLatin1String("FFmpeg") && line.message.startsWith(QLatin1Char('z'))) {
                QCOMPARE(line.message, QString(1023, QLatin1Char('z')));
                return;
            }
        }
        QFAIL("long FFmpeg message missing");
    }

    void linesFromManyThreadsStayWhole()
    {
        const Run run = runChild(QStringLiteral("threads"));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.malformed, 0);
        QHash<QString, int> perThread;
        const QRegularExpression body(QStringLiteral(R"(^t(\d) i(\d+) ([a-z]+)$)"));
        for (const LogLine &line : run.lines) {
            if (line.level == QLatin1String("System"))
                continue;
            const auto m = body.match(line.message);
            QVERIFY2(m.hasMatch(), qPrintable(line.message));
            const int t = m.captured(1).toInt();
            QCOMPARE(m.captured(3), QString(200, QLatin1Char('a' + t)));
            ++perThread[m.captured(1)];
        }
        QCOMPARE(perThread.size(), kThreads);
        for (auto it = perThread.cbegin(); it != perThread.cend(); ++it)
            QCOMPARE(it.value(), kLinesPerThread);
    }

    void noFileWhenLoggingCannotStart_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QByteArray>("stderrText");
        QTest::newRow("folder missing") << "unwritable" << QByteArray("still on stderr");
        QTest::newRow("never enabled") << "off" << QByteArray("default output");
    }

    void noFileWhenLoggingCannotStart()
    {
        QFETCH(QString, scenario);
        QFETCH(QByteArray, stderrText);
        const Run run = runChild(scenario);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.logFiles.isEmpty());
        QVERIFY2(run.stdErr.contains(stderrText), run.stdErr.constData());
        QVERIFY(!run.stdErr.contains("dropped"));
    }
};

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--scenario") == 0) {
        QCoreApplication app(argc, argv);
        return runScenario(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    }
    QCoreApplication app(argc, argv);
    TestLogger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logger.moc"
