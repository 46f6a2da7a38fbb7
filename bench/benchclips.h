#pragma once

// Clips the benchmarks make for themselves with the ffmpeg CLI, cached in one folder.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace benchclips {

// ORVEL_BENCH_MEDIA_DIR, or bench-media beside the build's bench folder.
inline QString mediaDir()
{
    const QByteArray env = qgetenv("ORVEL_BENCH_MEDIA_DIR");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    return QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/../bench-media")).absolutePath();
}

// Makes 'path' (unless it exists) from the lavfi 'source' encoded with 'encode'; the file
// appears under its name only once it is complete.
inline bool ensureClip(const char *name, const char *source, const QStringList &encode, const QString &path)
{
    if (QFileInfo(path).size() > 0)
        return true;
    std::printf("generating %s ...\n", name);
    std::fflush(stdout);
    QStringList arguments = {"-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                             QString::fromLatin1(source), "-an"};
    arguments += encode;
    const QString partial = path + QStringLiteral(".part") + QFileInfo(path).suffix().prepend('.');
    arguments.append(partial);
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("ffmpeg"), arguments);
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        return false;
    return QFile::rename(partial, path);
}

} // namespace benchclips
