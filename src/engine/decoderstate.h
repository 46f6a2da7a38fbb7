#pragma once

// Where the video decoder stands relative to the picture last answered, as one named mode,
// and the phase of the read-back that fills the frame cache between requests. Every change
// is a named transition; no FFmpeg here, so the rules can be checked one by one.
//
//   InStep --answeredWithoutSeek--> SoundGone
//   InStep, SoundGone --answeredFromCache(decoder elsewhere), lostTheWay, readBackSeeked--> Detached
//   any --drainedAfterTarget--> Drained
//   any --seeked--> InStep (a read-back in progress ends with it)

class DecoderState
{
public:
    enum class Mode {
        // The decoder's next output follows the picture answered, and the sound decoded
        // with it is still queued: playback goes on from here.
        InStep,
        // The next output still follows the picture, but it was answered without a seek, and
        // the sound read with the pictures before it went out with their answers: playback
        // must seek first to start with the right sound.
        SoundGone,
        // The picture came from the frame cache, or the read-back moved the decoder: decoder,
        // queue and sound belong elsewhere. Nothing decodes for a request without a seek.
        Detached,
        // One answer only: the decoder was drained after its target. Nothing more decodes
        // until a seek.
        Drained,
    };

    // The read-back: scheduled between requests, running once it has moved the decoder.
    enum class ReadBack { Idle, Scheduled, Running };

    Mode mode() const { return m_mode; }
    ReadBack readBack() const { return m_readBack; }

    // --- transitions ---
    // Demuxer and decoder start afresh at a seek target; a read-back in progress ends.
    void seeked()
    {
        m_mode = Mode::InStep;
        m_readBack = ReadBack::Idle;
    }
    // A picture decoded on from where the decoder stood, without a seek.
    void answeredWithoutSeek()
    {
        if (m_mode == Mode::InStep)
            m_mode = Mode::SoundGone;
    }
    // A picture taken from the cache; decoderFollows: the decoder's next output is the frame
    // after it anyway (it was in the queue or is the next to come).
    void answeredFromCache(bool decoderFollows)
    {
        answeredWithoutSeek();
        if (!decoderFollows)
            m_mode = Mode::Detached;
    }
    // A run that went on without a seek found nothing: the decoder was at the end.
    void lostTheWay() { m_mode = Mode::Detached; }
    void drainedAfterTarget() { m_mode = Mode::Drained; }
    void readBackScheduled() { m_readBack = ReadBack::Scheduled; }
    // The read-back has sought for its stretch: the decoder works for the cache now.
    void readBackSeeked()
    {
        m_mode = Mode::Detached;
        m_readBack = ReadBack::Running;
    }
    void readBackDone() { m_readBack = ReadBack::Idle; }

    // --- questions ---
    // A request may decode on without a seek.
    bool mayContinue() const { return m_mode == Mode::InStep || m_mode == Mode::SoundGone; }
    // The decoder may read and decode at all before the next seek.
    bool decodes() const { return m_mode != Mode::Drained; }
    // Playback must seek to the frame on screen before it goes on. withSound: the file has
    // sound to play (without it a picture answered on the way loses nothing).
    bool playbackMustSeek(bool withSound) const
    {
        return m_mode == Mode::Detached || (withSound && m_mode == Mode::SoundGone);
    }
    // The sound decoded so far does not start at the picture answered: it is dropped rather
    // than aligned to it.
    bool soundIsElsewhere(bool withSound) const
    {
        return withSound && (m_mode == Mode::SoundGone || m_mode == Mode::Detached);
    }

private:
    Mode m_mode = Mode::InStep;
    ReadBack m_readBack = ReadBack::Idle;
};
