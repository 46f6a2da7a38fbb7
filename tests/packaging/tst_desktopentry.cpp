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

// Types shared-mime-info renamed, {old name, new name}: the entry lists both, since a system
// matches files only against its own canonical name. shared-mime-info 2.2 (Debian 12) knows
// only the old name; 2.4 (Debian 13) has the new one and keeps the old as its alias.
struct Rename {
    const char *oldName;
    const char *newName;
};
constexpr Rename kRenames[] = {
    {"video/x-msvideo", "video/vnd.avi"},
    {"audio/x-wav", "audio/vnd.wave"},
};

// The first listed type that 'type' is, is an alias of, or inherits from.
QString acceptingEntry(const QMimeType &type, const QStringList &listed)
{
    for (const QString &name : listed)
        if (type.inherits(name))
            return name;
    return {};
}

const Rename *renameOf(const QString &name)
{
    for (const Rename &rename : kRenames)
        if (name == QLatin1String(rename.oldName) || name == QLatin1String(rename.newName))
            return &rename;
    return nullptr;
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

    // An alias or a misspelt name matches nothing in a file manager. The names of a renamed
    // type are the exception: one of them is this database's canonical name, the other is
    // its alias (newer database) or unknown to it (older database).
    void everyListedTypeIsCanonical()
    {
        QMimeDatabase db;
        for (const QString &name : std::as_const(listed)) {
            const Rename *rename = renameOf(name);
            const QMimeType type = db.mimeTypeForName(name);
            if (rename) {
                const QMimeType renamed = db.mimeTypeForName(QString::fromLatin1(rename->newName));
                const QString canonical = renamed.isValid() ? renamed.name() : QString::fromLatin1(rename->oldName);
                QVERIFY2(db.mimeTypeForName(canonical).name() == canonical,
                         qPrintable(canonical + QStringLiteral(" is not canonical in this MIME database")));
                QVERIFY2(listed.contains(canonical), qPrintable(canonical + QStringLiteral(" is not listed")));
                if (type.isValid())
                    QCOMPARE(type.name(), canonical);
                else
                    QCOMPARE(name, QString::fromLatin1(rename->newName));
                continue;
            }
            QVERIFY2(type.isValid(), qPrintable(name + QStringLiteral(" is unknown to the MIME database")));
            QCOMPARE(type.name(), name);
        }
    }

    void renamedTypesListBothNames()
    {
        for (const Rename &rename : kRenames) {
            QVERIFY2(listed.contains(QString::fromLatin1(rename.oldName)), rename.oldName);
            QVERIFY2(listed.contains(QString::fromLatin1(rename.newName)), rename.newName);
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
