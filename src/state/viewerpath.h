#pragma once

#include <QByteArray>
#include <QImage>
#include <QPainterPath>
#include <QSize>

// Drawing of the viewer's overlays into a picture: the Lissajous figure of the playing
// audio, the stereo trace of audio-only media and the safety-area lines. Pure functions
// over a QImage and 16-bit stereo blocks (4 bytes per sample frame; right channel is the
// horizontal deflection, left the vertical one, up positive). GUI thread only, because
// they run where the picture is composed, but nothing here is shared.

namespace viewerpath {

// A figure drawn on an earlier frame: kept for a few frames without new audio.
struct AudioTrace
{
    QPainterPath path;
    bool visible = false;
    int hold = 0;

    void clear() { *this = AudioTrace(); }
};

// Safety-area set-up: H and V in percent of the content (2…100, anything below 3 reads
// as 2), the lines' grey L in percent (0…100).
struct SafetyArea
{
    int h = 95;
    int v = 95;
    int l = 75;

    static SafetyArea clamped(int h, int v, int l);
};

// Bytes of audio drawn per picture: a frame's worth, between 1/90 s and 1/15 s, at
// least 8 bytes.
int chunkBytes(int sampleRate, double fps);

// Limits the figure's backlog to max(4 chunks, half a second of audio), then removes and
// returns its first chunk.
QByteArray takeOverlayChunk(QByteArray &overlayAudio, int sampleRate, double fps);

// The last chunk of the audio-only backlog; the backlog is emptied.
QByteArray takeTraceChunk(QByteArray &audioOnlyAudio, int sampleRate, double fps);

// Formats the drawings work on (ARGB32 or RGBA8888); others are converted to ARGB32.
QImage paintable(const QImage &image);

// Lissajous panel in the lower left corner of a video picture; the figure is drawn
// from 'block' (at most 1600 points) or held from 'trace'.
void drawLissajous(QImage &image, const QByteArray &block, AudioTrace &trace);

// Stereo trace over the audio-only picture, in a centred square (at most 2400 points).
void drawAudioOnlyTrace(QImage &image, const QByteArray &block, AudioTrace &trace);

// Safety-area rectangle: lines h % / v % of the content's width / height apart, running
// across the whole content; 'contentSize' is the picture's size before rotation (invalid:
// the image's own size). grey is the line brightness in percent.
void drawSafetyArea(QImage &image, QSize contentSize, int rotationDegrees, int h, int v, int grey);

} // namespace viewerpath
