#pragma once

#include "analysis/qctypes.h"
#include "core/channelrouting.h"

#include <QWidget>

#include <cstdint>
#include <optional>

class QcEventLane;
class QcSession;
class SeekBar;

// The thin strip of graphs above the seek bar, on the seek bar's frame scale: the
// short-term loudness of the routed pair against the preset's target line, and each
// picture's luma minimum, average and maximum, drawn as the analysis goes. Shown exactly
// while the QC lane is; hovering shows the values at the frame. GUI thread.
class QcGraphStrip : public QWidget
{
    Q_OBJECT

public:
    QcGraphStrip(QcSession *session, QcEventLane *lane, SeekBar *seekBar, QWidget *parent = nullptr);

    static constexpr int BandHeight = 18;

    // The pair the loudness is drawn for; every channel was measured, so this only redraws.
    void setRouting(const ChannelRouting &routing);
    ChannelRouting routing() const { return m_routing; }
    double targetLufs() const;

    // What the strip shows at a frame: empty where nothing is measured (yet). Loudness is
    // the 3 s ending with the frame; minus infinity for silence.
    std::optional<qc::LumaPoint> lumaAt(int64_t frame) const;
    std::optional<double> shortTermAt(int64_t frame) const;
    QString textAt(int64_t frame) const;

    // Rows where a value is drawn, in the loudness band (top) and the luma band (bottom).
    int yOfLufs(double lufs) const;
    int yOfLuma(double fraction) const;

    QSize sizeHint() const override;

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    double frameRate() const;

    QcSession *m_session;
    SeekBar *m_seekBar;
    ChannelRouting m_routing{0, 1};
};
