#pragma once

#include <QImage>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QVideoFrame>

#include <cstdint>
#include <functional>
#include <optional>

class QLabel;
class QTimer;
class QWidget;

// The pixel inspector as the window shows it: while Z is held, every 50 ms and on each
// refresh, the pixel under the mouse is located in the displayed picture, the engine is
// asked for its stored and converted values, and the label beside the help button shows
// them with the displayed RGB ("Display: r,g,b"). GUI thread only.
class PixelInspectorOverlay : public QObject
{
    Q_OBJECT

public:
    // What the window knows at the moment of a refresh.
    struct View {
        bool allowed = false;     // picture page, windowed, help hidden, stopped, colour, frames, video
        QVideoFrame frame;        // the video sink's current frame
        int64_t frameNumber = -1; // the state's current frame
        QSize widgetSize;         // the video widget's size
        QPoint cursor;            // the mouse in video-widget coordinates
        int rotationDegrees = 0;
    };
    using ViewSource = std::function<View()>;
    // The engine's "pixelInspectorSourceConvertText"; the window makes it a blocking call.
    using EngineQuery = std::function<QString(int64_t frameNumber, int x, int y, int width, int height,
                                              int rotationDegrees)>;

    // label: placed by hand next to anchor (both children of the same panel).
    PixelInspectorOverlay(QLabel *label, QWidget *anchor, ViewSource view, EngineQuery query,
                          QObject *parent = nullptr);

    bool isActive() const { return m_active; }
    // Z pressed: on, refreshing every 50 ms until release().
    void press();
    // Z released (and window closing): off, cache dropped, label hidden.
    void release();
    // The displayed picture changed: convert it again on the next refresh.
    void dropCache();
    void refresh();

    // Pixel of an image of imageSize under cursor when the image is fitted centred into
    // widgetSize keeping its aspect ratio; empty outside the shown picture.
    static std::optional<QPoint> imagePixelUnderCursor(QSize imageSize, QSize widgetSize, QPoint cursor);

private:
    void hide();

    QLabel *m_label;
    QWidget *m_anchor;
    ViewSource m_view;
    EngineQuery m_query;
    QTimer *m_timer;
    bool m_active = false;
    QImage m_image;             // the displayed frame converted, for "Display:"
    int64_t m_imageFrame = -1;  // frame number of m_image
};
