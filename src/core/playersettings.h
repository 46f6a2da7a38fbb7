#pragma once

#include <QSettings>

// The player's own settings file (~/.config/Orvel/Orvel.ini on Linux), named in one place.
inline QSettings playerSettings()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Orvel"), QStringLiteral("Orvel"));
}
