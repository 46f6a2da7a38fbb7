#include "app/platform.h"

#include <QDBusReply>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QtGlobal>
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace platform {

void allowOtherProcessToTakeForeground()
{
#ifdef Q_OS_WIN
    AllowSetForegroundWindow(ASFW_ANY);
#endif
}

bool localTime(std::time_t seconds, std::tm *out)
{
#ifdef Q_OS_WIN
    return localtime_s(out, &seconds) == 0;
#else
    return localtime_r(&seconds, out) != nullptr;
#endif
}

namespace {

const QString kFileManagerService = QStringLiteral("org.freedesktop.FileManager1");

// Running, or started by the bus on the first call.
bool fileManagerOffered(const QDBusConnection &bus)
{
    QDBusConnectionInterface *daemon = bus.interface();
    if (!daemon)
        return false;
    if (daemon->isServiceRegistered(kFileManagerService))
        return true;
    const QDBusMessage request =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListActivatableNames"));
    const QDBusReply<QStringList> names = bus.call(request, QDBus::Block, 2000);
    return names.isValid() && names.value().contains(kFileManagerService);
}

} // namespace

RevealMethod revealWithFileManagerService(const QString &filePath, const QDBusConnection &bus,
                                          const std::function<bool(const QUrl &)> &openFolder)
{
    const QFileInfo file(filePath);
    if (!file.exists())
        return RevealMethod::Nothing;
    const QUrl folder = QUrl::fromLocalFile(file.absolutePath());
    if (!bus.isConnected() || !fileManagerOffered(bus)) {
        openFolder(folder);
        return RevealMethod::ContainingFolder;
    }
    QDBusMessage showItems = QDBusMessage::createMethodCall(kFileManagerService,
                                                            QStringLiteral("/org/freedesktop/FileManager1"),
                                                            kFileManagerService, QStringLiteral("ShowItems"));
    // A URI proper: spaces and "#" percent-encoded, not the readable form toString() gives.
    showItems << QStringList{QUrl::fromLocalFile(file.absoluteFilePath()).toString(QUrl::FullyEncoded)} << QString();
    // Asynchronous: an activated file manager may take seconds to answer, and the window
    // must not freeze meanwhile.
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(showItems));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [watcher, folder, openFolder] {
                         if (watcher->isError()) {
                             qWarning() << "File manager did not show the file:" << watcher->error().message();
                             openFolder(folder);
                         }
                         watcher->deleteLater();
                     });
    return RevealMethod::FileManager;
}

RevealMethod revealInFileManager(const QString &filePath)
{
#ifdef Q_OS_WIN
    if (!QFileInfo::exists(filePath))
        return RevealMethod::Nothing;
    QProcess::startDetached(QStringLiteral("explorer.exe"),
                            {QStringLiteral("/select,") + QDir::toNativeSeparators(filePath)}, QString());
    return RevealMethod::FileManager;
#else
    return revealWithFileManagerService(filePath, QDBusConnection::sessionBus(),
                                        [](const QUrl &folder) { return QDesktopServices::openUrl(folder); });
#endif
}

} // namespace platform
