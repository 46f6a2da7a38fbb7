#pragma once

#include "analysis/comparetypes.h"
#include "core/mediainfo.h"
#include "state/compareview.h"
#include "state/openmedia.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVideoFrame>

#include <cstdint>
#include <deque>
#include <functional>

class ApplicationState;
class PairedFrameSource;
class QLabel;
class QWidget;

// A second file, B, beside the open file A. The playback controller keeps driving A alone;
// every picture of A passes through here on its way to the viewer's picture path, and B is
// asked for its partner (A's frame number less the alignment's offset). The pair goes on
// composed as the chosen view: A, B, a wipe whose divider follows the mouse, both side by
// side, or their difference. Isolation, rotation and the overlays apply after, so they work
// on what is shown. B opens on a thread of its own (an OpenMedia); a B whose rate differs is
// refused with the reason and A is left as it was.
//
// Sound plays from A. With the setting compare/soundFromB on (and B's sample rate A's), it
// plays from B: the playback controller is then given playbackSource(), A's pictures with
// B's sound.
//
// GUI thread only. A closed B is disconnected at once, so nothing of it is shown.
class CompareSession : public QObject
{
    Q_OBJECT

public:
    struct Sources {
        QWidget *window = nullptr;         // parent of the message dialog
        ApplicationState *state = nullptr; // A's facts and frame number
        QWidget *mouseArea = nullptr;      // gets the mouse over the picture (the viewer stack)
        QWidget *pictureArea = nullptr;    // where the picture is fitted (the video widget)
        QLabel *timecodeLabel = nullptr;   // B's source timecode, small, beside A's
        std::function<OpenMedia *()> mediaA;
        // The viewer's picture path (isolation, rotation, overlays).
        std::function<void(const QVideoFrame &)> present;
        std::function<void(const QString &title, const QString &message)> showMessage;
    };

    explicit CompareSession(Sources sources, QObject *parent = nullptr);
    ~CompareSession() override;

    // Opens 'path' as B in place of any B before; the alignment is decided once it is open.
    // Without an open A only the message comes.
    void openB(const QString &path);
    // Drops B and shows A alone again.
    void close();

    bool isActive() const { return m_active; }
    bool isOpening() const { return m_b && !m_active; }
    OpenMedia *mediaB() const { return m_b; }
    const MediaInfo &infoB() const { return m_infoB; }
    // B's frame number = A's frame number - offset.
    int64_t offset() const { return m_offset; }
    int64_t frameB(int64_t frameA) const { return frameA - m_offset; }
    bool hasFrameB(int64_t frameA) const;

    compareview::View view() const { return m_view; }
    int gain() const { return m_gain; }
    double wipe() const { return m_wipe; }
    // X and Shift+X; nothing without B.
    void cycleView();
    void cycleGain();
    void setWipe(double share);

    // The settings key that plays B's sound instead of A's.
    static constexpr const char *kSoundFromBKey = "compare/soundFromB";
    // The playback controller's source while B's sound plays (null: A's own).
    FrameSource *playbackSource() const;
    // The routed source channels, for B's sound too (-1: silence).
    void setAudioRouting(int left, int right);

    // B's source timecode at A's frame (B's frame number when it has none; empty past its ends).
    QString timecodeB(int64_t frameA) const;

    // What is shown, composed from full pictures of A and B (null B: black).
    QImage compose(const QImage &a, const QImage &b) const;
    // The full-resolution picture shown at A's frame, for the export: blocks on both engines.
    QImage fullPicture(int64_t frameA);
    // The inspector's text for a point of the shown canvas: A's and B's stored values at the
    // same point of their pictures.
    QString inspectorText(int64_t frameA, int x, int y, int width, int height, int rotationDegrees);

public slots:
    // A's picture of the state's current frame, from the playback controller.
    void present(const QVideoFrame &frameA);

signals:
    // B opened, was closed or the view changed.
    void changed();
    // playbackSource() changed.
    void playbackSourceChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onOpened(bool success, const MediaInfo &info, const QString &error);
    void onFrameB(const QVideoFrame &frame, int64_t frameNumber, int requestId);
    void requestB(int64_t frameNumber);
    // Composes the newest A picture whose partner is here and hands it on.
    void show();
    void updateLabel();
    void dropB();

    Sources m;
    QPointer<OpenMedia> m_b;
    PairedFrameSource *m_paired = nullptr; // child; while B's sound plays
    int m_routeLeft = -1;
    int m_routeRight = -1;
    MediaInfo m_infoB;
    bool m_active = false;
    int64_t m_offset = 0;
    compareview::View m_view = compareview::View::SideBySide;
    int m_gain = 1;
    double m_wipe = 0.5;

    // A's last pictures, newest last: B may answer for one A has already left.
    struct PictureA {
        int64_t frame = -1;
        QVideoFrame picture;
    };
    std::deque<PictureA> m_recentA;
    int64_t m_shownA = -1;   // A's frame of the picture last handed on
    QImage m_imageB;         // B's picture of m_frameB (null: none there)
    int64_t m_frameB = -1;
    bool m_haveB = false;
    bool m_inFlight = false;
    int64_t m_wantedB = -1;  // asked for when the answer in flight is in
};
