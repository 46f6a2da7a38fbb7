#include "core/metatypes.h"

#include "core/conversionprofile.h"
#include "core/enums.h"
#include "core/mediainfo.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QVariantMap>
#include <QVideoFrame>

#include <cstdint>

void registerMetaTypes()
{
    // Queued signals look their argument types up by these exact spellings, so the
    // aliases must exist before the first one crosses a thread.
    static const bool registered = [] {
        qRegisterMetaType<int64_t>("int64_t");
        qRegisterMetaType<PlayState>("PlayState");
        qRegisterMetaType<AppMode>("AppMode");
        qRegisterMetaType<ScopeRange>("ScopeRange");
        qRegisterMetaType<ScopeKind>("ScopeKind");
        qRegisterMetaType<DisplayChannel>("DisplayChannel");
        qRegisterMetaType<ConversionProfile>("ConversionProfile");
        qRegisterMetaType<QList<float>>("QList<float>");
        qRegisterMetaType<QVideoFrame>("QVideoFrame");
        qRegisterMetaType<QImage>("QImage");
        qRegisterMetaType<QVariantMap>("QVariantMap");
        qRegisterMetaType<QByteArray>("QByteArray");
        qRegisterMetaType<MediaInfo>("MediaInfo");
        return true;
    }();
    Q_UNUSED(registered);
}
