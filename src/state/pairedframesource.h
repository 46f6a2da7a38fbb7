#pragma once

// The pictures of one file with the sound of another: the playback controller's source while
// a compared file's sound is chosen. Every request goes to the picture source as it is and,
// when it wants sound, to the sound source at the frame 'offset' earlier (B's numbering); one
// frameReady per request comes back once both have answered, with the picture's frame and
// the sound's audio and levels. Where the sound source has no frame the answer is silent.
//
// GUI thread (the thread of both sources). Not owned: either source may go first, after
// which its part is left out.

#include "state/framesource.h"

#include <QPointer>

#include <cstdint>
#include <optional>

class PairedFrameSource : public FrameSource
{
    Q_OBJECT

public:
    // soundFrames: the number of frames of the sound source (its requests stay inside them).
    PairedFrameSource(FrameSource *pictures, FrameSource *sound, int64_t offset, int64_t soundFrames,
                      QObject *parent = nullptr);

    void abortCurrentTask(int latestId) override;
    void requestFrame(int64_t frameNumber, int requestId) override;
    void requestFrameSilently(int64_t frameNumber, int requestId) override;
    void requestNextFrameAtOrAfter(int64_t targetFrame, int requestId) override;
    void requestPlaybackStart(int64_t frameNumber, double soundSeconds, int requestId) override;
    [[nodiscard]] bool primePlaybackQueue(int64_t frameNumber, int requestId) override;
    void clearAudioQueue() override;

private:
    struct Answer {
        QVideoFrame frame;
        int64_t frameNumber = 0;
        QList<float> levels;
        QList<float> peaks;
        QByteArray audio;
    };
    // Starts waiting for request 'requestId'; true when the sound source is asked too.
    bool begin(int64_t frameNumber, int requestId, bool withSound);
    void onPicture(const Answer &answer, int requestId);
    void onSound(const Answer &answer, int requestId);
    void finish();

    QPointer<FrameSource> m_pictures;
    QPointer<FrameSource> m_sound;
    int64_t m_offset = 0;
    int64_t m_soundFrames = 0;

    int m_requestId = -1;
    bool m_wantSound = false;
    std::optional<Answer> m_picture;
    std::optional<Answer> m_soundAnswer;
};
