#include "testsupport.h"

#include "core/metatypes.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>

namespace testsupport {

QString mediaDir()
{
    const QByteArray env = qgetenv("ORVEL_TEST_MEDIA_DIR");
    return env.isEmpty() ? QStringLiteral(ORVEL_TEST_MEDIA_DIR) : QString::fromLocal8Bit(env);
}

QString mediaPath(const QString &fileName)
{
    const QString path = QDir(mediaDir()).filePath(fileName);
    if (!QFileInfo::exists(path))
        qWarning("missing generated test media: %s (run the generate_media test first)", qPrintable(path));
    return path;
}

void registerMetaTypes()
{
    ::registerMetaTypes();
}

} // namespace testsupport
