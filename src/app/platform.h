#pragma once

#include <QString>
#include <QUrl>

#include <ctime>
#include <functional>

class QDBusConnection;

// The few calls that differ between operating systems (not between library versions;
// those live in compat.h).
namespace platform {

// Lets another process (the running instance we just handed a path to) bring its window
// to the front. Windows only; a no-op elsewhere.
void allowOtherProcessToTakeForeground();

// Thread-safe localtime. False when the time cannot be represented.
bool localTime(std::time_t seconds, std::tm *out);

// How a file was shown in the file manager.
enum class RevealMethod {
    Nothing,          // the file does not exist
    FileManager,      // Windows Explorer with /select, or the freedesktop FileManager1 service
    ContainingFolder, // no file manager service: the folder opened with the desktop's handler
};

// Shows the file selected in the system's file manager. Windows: "explorer.exe /select,"
// with the native path, started detached. Elsewhere: ShowItems of
// org.freedesktop.FileManager1 on the session bus with the file's URI when a file manager
// offers it (running or activatable); otherwise, or when the call comes back with an error,
// the containing folder is opened with QDesktopServices. Does not wait for the file manager.
RevealMethod revealInFileManager(const QString &filePath);

// The D-Bus half of the above on a given bus, with the folder opener replaceable: what
// tests drive with a private bus. The fallback after an error reply runs from the event
// loop.
RevealMethod revealWithFileManagerService(const QString &filePath, const QDBusConnection &bus,
                                          const std::function<bool(const QUrl &)> &openFolder);

} // namespace platform
