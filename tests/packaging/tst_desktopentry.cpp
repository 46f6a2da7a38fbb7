// The menu entry's MimeType list decides which files a file manager offers to open with the
// player. Each generated clip is typed the way file managers type files (shared-mime-info:
// name and content), and that type, or one it inherits from, must be in the list.

#include "testsupport.h"

#include <QFile>
#include <QMimeDatabase>
#include <QtTest>

namespace {

QStringList desktopMimeTypes()
{
    QFile file(QStringLiteral(ORVEL_DESKTOP_FILE));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1String("MimeType=")))
            return line.mid(9).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    }
    return {};
}

// The first listed type that 'type' is, is an alias of, or inherits from.
QString acceptingEntry(const QMimeType &type, const QStringList &listed)
{
    for (const QString &name : listed)
        if (type.inherits(name))
            return name;
    return {};
}

} // namespace

class TestDesktopEntry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        listed = desktopMimeTypes();
        QVERIFY2(!listed.isEmpty(), "no MimeType line in " ORVEL_DESKTOP_FILE);
    }

    // An alias or a misspelt name matches nothing in a file manager.
    void everyListedTypeIsCanonical()
    {
        QMimeDatabase db;
        for (const QString &name : std::as_const(listed)) {
            const QMimeType type = db.mimeTypeForName(name);
            QVERIFY2(type.isValid(), qPrintable(name + QStringLiteral(" is unknown to the MIME database")));
            QCOMPARE(type.name(), name);
        }
    }

    void generatedClipsAreOffered_data()
    {
        QTest::addColumn<QString>("clip");
        const char *clips[] = {
            "h264_1080p25.mov", "prores.mxf",  "uhd_h264.mp4", "h264.mkv",      "vp9.webm",
            "bgra.avi",         "bwf_tc.wav",  "audio.flac",   "audio.m4a",     "audio.opus",
            "container.ts",     "container.mpg", "audio.mp3",  "audio.aac",     "audio.ogg",
        };
        for (const char *clip : clips)
            QTest::newRow(clip) << QString::fromLatin1(clip);
    }

    void generatedClipsAreOffered()
    {
        QFETCH(QString, clip);
        const QString path = testsupport::mediaPath(clip);
        QVERIFY(QFile::exists(path));
        const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
        QVERIFY2(!acceptingEntry(type, listed).isEmpty(),
                 qPrintable(clip + QStringLiteral(" is ") + type.name() + QStringLiteral(" (parents: ")
                            + type.allAncestors().join(QLatin1Char(' ')) + QStringLiteral("), not in the list")));
    }

    // A type every file or every text has would put the player on all of them.
    void claimsNoGeneralType_data()
    {
        QTest::addColumn<QString>("type");
        for (const char *type : {"application/octet-stream", "text/plain", "inode/directory", "image/png",
                                 "application/zip"})
            QTest::newRow(type) << QString::fromLatin1(type);
    }

    void claimsNoGeneralType()
    {
        QFETCH(QString, type);
        QVERIFY(!listed.contains(type));
    }

private:
    QStringList listed;
};

QTEST_MAIN(TestDesktopEntry)
#include "tst_desktopentry.moc"
