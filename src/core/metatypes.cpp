#include "core/metatypes.h"

#include "core/conversionprofile.h"
#include "core/enums.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QVariantMap>
#include <QVideoFrame>

#include <cstdint>

void registerMetaTypes()
{
    // Slots are declared with these exact spellings; queued invocation by slot name
    // looks the argument types up by name, so the aliases must exist.
    static const bool registered = [] {
        qRegisterMetaType<int64_t>("int64_t");
        qRegisterMetaType<PlayState>("PlayState");
        qRegisterMetaType<AppMode>("AppMode");
        qRegisterMetaType<ScopeRange>("ScopeRange");
        qRegisterMetaType<DisplayChannel>("DisplayChannel");
        qRegisterMetaType<ConversionProfile>("ConversionProfile");
        qRegisterMetaType<QList<float>>("QList<float>");
        qRegisterMetaType<QVideoFrame>("QVideoFrame");
        qRegisterMetaType<QImage>("QImage");
        qRegisterMetaType<QVariantMap>("QVariantMap");
        qRegisterMetaType<QByteArray>("QByteArray");
        return true;
    }();
    Q_UNUSED(registered);
}
