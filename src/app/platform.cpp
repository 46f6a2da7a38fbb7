#include "app/platform.h"

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

} // namespace platform
