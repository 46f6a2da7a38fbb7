#pragma once

#include <QString>

// Process-wide diagnostic log. Off unless enableLogging() is called (start-up does that
// only while Shift is held); once on it stays on until the process exits, and every Qt
// message and every FFmpeg message at or below FFmpeg's log level becomes one line
// "[time] [level] message" in a new file on the desktop.

// Opens "<desktop>/<yyyyMMddhhmmss>_OrvelLog.log" and installs the Qt message handler and
// the FFmpeg log callback. True when logging is (already or now) on; false when the file
// cannot be created, in which case nothing is installed. Thread-safe.
bool enableLogging();

// Appends one line and flushes it; does nothing while logging is off. Callable from any
// thread, FFmpeg's own threads included.
void writeLogLine(const QString &level, const QString &message);

namespace logging {

// enableLogging() with the log folder given explicitly (enableLogging passes the desktop).
bool enableLoggingIn(const QString &folder);

// Full path of the log file; empty while logging is off.
QString logFilePath();

} // namespace logging
