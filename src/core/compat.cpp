#include "core/compat.h"

#include <QGuiApplication>
#include <QPalette>
#include <QStyleHints>
#include <cstring>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace compat {

namespace {

// Fusion's own dark palette, as Qt 6.8 derives it for Qt::ColorScheme::Dark.
QPalette fusionDarkPalette()
{
    QPalette p;
    const QColor window(0x32, 0x32, 0x32);
    const QColor base(0x1e, 0x1e, 0x1e);
    const QColor text(0xf0, 0xf0, 0xf0);
    const QColor disabledText(0x7f, 0x7f, 0x7f);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x2d, 0x2d, 0x2d));
    p.setColor(QPalette::ToolTipBase, QColor(0x3c, 0x3c, 0x3c));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, disabledText);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x3c, 0x3c, 0x3c));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::red);
    p.setColor(QPalette::Light, QColor(0x50, 0x50, 0x50));
    p.setColor(QPalette::Midlight, QColor(0x46, 0x46, 0x46));
    p.setColor(QPalette::Mid, QColor(0x28, 0x28, 0x28));
    p.setColor(QPalette::Dark, QColor(0x1e, 0x1e, 0x1e));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Highlight, QColor(0x30, 0x8c, 0xc6));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x30, 0x8c, 0xc6));
    p.setColor(QPalette::Disabled, QPalette::WindowText, disabledText);
    p.setColor(QPalette::Disabled, QPalette::Text, disabledText);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, disabledText);
    return p;
}

// Translucent pictures go in premultiplied on every Qt: both 6.4's hand-made frames and
// 6.8's QVideoFrame(QImage) read straight-alpha BGRA back wrongly (toImage() and the
// widget's CPU path), and premultiplied is what drawing wants anyway.
QImage withPremultipliedAlpha(const QImage &image)
{
    if (!image.hasAlphaChannel() || image.format() == QImage::Format_ARGB32_Premultiplied)
        return image;
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

QVideoFrame videoFrameFromImage(const QImage &image)
{
    if (image.isNull())
        return {};
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    return QVideoFrame(withPremultipliedAlpha(image));
#else
    // 32-bit BGRA bytes: ARGB32 on little-endian machines.
    QImage source = withPremultipliedAlpha(image);
    QVideoFrameFormat::PixelFormat pixelFormat = QVideoFrameFormat::Format_BGRA8888_Premultiplied;
    if (!source.hasAlphaChannel()) {
        pixelFormat = QVideoFrameFormat::Format_BGRX8888;
        if (source.format() != QImage::Format_RGB32)
            source = source.convertToFormat(QImage::Format_RGB32);
    }
    QVideoFrame frame(QVideoFrameFormat(source.size(), pixelFormat));
    if (!frame.map(MapWriteOnly))
        return {};
    const int rowBytes = source.width() * 4;
    for (int y = 0; y < source.height(); ++y)
        std::memcpy(frame.bits(0) + y * frame.bytesPerLine(0), source.constScanLine(y), rowBytes);
    frame.unmap();
    return frame;
#endif
}

// Under a sanitizer its own allocator serves every malloc: glibc's arenas are then unused
// and uninitialised, and trimming them from two threads at once corrupts glibc's state.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORVEL_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ORVEL_SANITIZER_ALLOCATOR 1
#endif
#endif

void configureAllocator()
{
#if defined(__GLIBC__) && !defined(ORVEL_SANITIZER_ALLOCATOR)
    static const bool configured = [] {
        mallopt(M_ARENA_MAX, 4);
        mallopt(M_MMAP_THRESHOLD, 16 * 1024 * 1024);
        mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);
        return true;
    }();
    (void)configured;
#endif
}

void releaseFreedMemory()
{
#if defined(__GLIBC__) && !defined(ORVEL_SANITIZER_ALLOCATOR)
    malloc_trim(0);
#endif
}

void selectMediaBackend()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
    if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
#endif
}

void applyDarkColorScheme()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    // Asking is enough where the platform theme follows (and native dialogs then match); a
    // bare X server or the offscreen platform ignores the request and keeps a light palette.
    QGuiApplication::styleHints()->setColorScheme(Qt::ColorScheme::Dark);
    if (QGuiApplication::palette().color(QPalette::Window).lightness() < 128)
        return;
#endif
    QGuiApplication::setPalette(fusionDarkPalette());
}

} // namespace compat
