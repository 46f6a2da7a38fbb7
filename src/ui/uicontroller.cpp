#include "ui/uicontroller.h"

#include "state/applicationstate.h"

#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QSlider>
#include <QStackedWidget>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kDimmedOpacity = 0.3;
constexpr double kScopeOpacity = 0.8;
constexpr double kFullOpacity = 1.0;

} // namespace

UiController::UiController(ApplicationState *state, QLabel *metadataLabel, QLabel *timecodeLabel,
                           QSlider *seekBar, QStackedWidget *viewerStack,
                           QGraphicsOpacityEffect *seekBarOpacity, std::optional<Timecode> *timecode,
                           const int64_t *startTimecodeOffset, QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_metadataLabel(metadataLabel)
    , m_timecodeLabel(timecodeLabel)
    , m_seekBar(seekBar)
    , m_viewerStack(viewerStack)
    , m_seekBarOpacity(seekBarOpacity)
    , m_timecode(timecode)
    , m_startTimecodeOffset(startTimecodeOffset)
{
    Q_ASSERT(m_state);
    connect(m_state, &ApplicationState::currentModeChanged, this, &UiController::onAppModeChanged);
    connect(m_state, &ApplicationState::playStateChanged, this, &UiController::onPlayStateChanged);
    connect(m_state, &ApplicationState::gotoModeChanged, this, &UiController::onGotoModeChanged);
    connect(m_state, &ApplicationState::helpVisibleChanged, this, &UiController::onHelpVisibleChanged);
}

QString UiController::formatTimeText(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0.0)
        seconds = 0.0;
    // Beyond this the millisecond count would not fit; a day count of that size is
    // meaningless anyway.
    constexpr double maxSeconds = double(std::numeric_limits<int64_t>::max() / 1000 / 2);
    seconds = std::min(seconds, maxSeconds);
    const int64_t ms = std::llround(seconds * 1000.0);
    const int64_t hours = ms / 3600000;
    const int64_t minutes = ms / 60000 - 60 * hours;
    const int64_t secs = ms / 1000 - 60 * (ms / 60000);
    const int64_t millis = ms % 1000;
    return QStringLiteral("%1:%2:%3.%4")
        .arg(hours, 2, 10, QLatin1Char('0'))
        .arg(minutes, 2, 10, QLatin1Char('0'))
        .arg(secs, 2, 10, QLatin1Char('0'))
        .arg(millis, 3, 10, QLatin1Char('0'));
}

void UiController::setSeekBarOpacity(double opacity)
{
    if (m_seekBarOpacity)
        m_seekBarOpacity->setOpacity(opacity);
}

void UiController::setTimecodeStyle(const char *styleSheet)
{
    if (!m_timecodeLabel)
        return;
    const QString style = QString::fromLatin1(styleSheet);
    // Re-applying an identical style sheet still re-polishes the label.
    if (m_timecodeLabel->styleSheet() != style)
        m_timecodeLabel->setStyleSheet(style);
}

void UiController::updateMetadata()
{
    if (!m_state->hasMedia()) {
        if (m_metadataLabel)
            m_metadataLabel->clear();
        if (m_seekBar)
            m_seekBar->setEnabled(false);
        setSeekBarOpacity(kDimmedOpacity);
        if (m_viewerStack)
            m_viewerStack->setCurrentIndex(DropHintPage);
        return;
    }

    const MediaInfo &media = m_state->mediaInfo();
    const bool playable = media.totalFrames > 1;
    if (m_seekBar)
        m_seekBar->setEnabled(playable);

    int page = PicturePage;
    if (m_state->isHelpVisible()) {
        page = HelpPage;
    } else if (m_state->currentMode() == Scope) {
        page = ScopePage;
        setSeekBarOpacity(playable ? kScopeOpacity : kDimmedOpacity);
    } else {
        setSeekBarOpacity(playable ? kFullOpacity : kDimmedOpacity);
    }
    if (m_viewerStack)
        m_viewerStack->setCurrentIndex(page);

    QString info;
    if (media.isAudioOnly) {
        info = QStringLiteral("Audio Only\n%1\n---\n%2").arg(media.codecDisplayName, media.audioInfo);
    } else {
        // Multi-argument arg(): a '%1' inside a codec or colour description stays literal.
        info = QStringLiteral("%1x%2@%3%4\n%5\n%6\n%7")
                   .arg(QString::number(media.width), QString::number(media.height),
                        QString::number(media.fps, 'f', 2), media.scanType, media.codecDisplayName,
                        media.colorSpaceInfo, media.audioInfo);
        // A sequence has no sound; its line names the file the picture comes from.
        if (media.sequence)
            info = info.left(info.lastIndexOf(QLatin1Char('\n')) + 1)
                + QStringLiteral("file %1").arg(media.sequence->fileNumber(std::max<int64_t>(m_state->currentFrameNumber(), 0)));
        // Float pictures are shown through the view transform at this exposure.
        if (media.sceneLinear)
            info += QStringLiteral("\nexposure %1%2 stops")
                        .arg(m_state->exposureStops() > 0 ? QStringLiteral("+") : QString())
                        .arg(m_state->exposureStops(), 0, 'f', 1);
    }
    if (m_metadataLabel)
        m_metadataLabel->setText(info);
    refreshTimecodeStyle();
}

void UiController::updateTimecode(int64_t frameNumber)
{
    if (m_seekBar) {
        const bool wasBlocked = m_seekBar->blockSignals(true);
        const int64_t clamped = std::clamp<int64_t>(frameNumber, std::numeric_limits<int>::min(),
                                                    std::numeric_limits<int>::max());
        m_seekBar->setValue(int(clamped));
        m_seekBar->blockSignals(wasBlocked);
    }

    if (m_state->mediaInfo().sequence)
        updateMetadata();

    if (m_state->isGotoMode() || !m_timecodeLabel)
        return;

    const MediaInfo &media = m_state->mediaInfo();
    if (media.isAudioOnly) {
        const double rate = media.fps > 0.0 ? media.fps : 30.0;
        double seconds = double(frameNumber) / rate;
        if (media.videoDurationSec > 0.0)
            seconds = std::min(seconds, media.videoDurationSec);
        if (media.hasAudioTimeReference.value_or(false))
            seconds += media.audioTimeReferenceSec.value_or(0.0);
        m_timecodeLabel->setText(formatTimeText(seconds));
        return;
    }

    if (m_timecode && m_timecode->has_value()) {
        const int64_t offset = m_startTimecodeOffset ? *m_startTimecodeOffset : 0;
        Timecode &timecode = **m_timecode;
        timecode.setFrames(frameNumber + offset);
        m_timecodeLabel->setText(QString::fromStdString(timecode.toString()));
    }
}

void UiController::onAppModeChanged(AppMode mode)
{
    Q_UNUSED(mode); // read from the state, which is already up to date
    updateMetadata();
}

void UiController::onPlayStateChanged(PlayState state)
{
    Q_UNUSED(state);
}

void UiController::refreshTimecodeStyle()
{
    // The entry's digits are always white, whatever the media.
    if (m_state->isGotoMode()) {
        setTimecodeStyle(whiteStyle);
        return;
    }
    const MediaInfo &media = m_state->mediaInfo();
    // A sequence's timecode counted from its file numbers is no reference either.
    const bool hasReference = media.isAudioOnly ? media.hasAudioTimeReference.value_or(false)
        : media.sequence                        ? media.sequence->timecodeFromHeader
                                                : !media.startTimecode.isEmpty();
    setTimecodeStyle(hasReference ? whiteStyle : amberStyle);
}

void UiController::onGotoModeChanged(bool isGoto)
{
    if (isGoto) {
        setTimecodeStyle(whiteStyle);
        if (m_timecodeLabel)
            m_timecodeLabel->clear();
        return;
    }
    refreshTimecodeStyle();
    updateTimecode(m_state->currentFrameNumber());
}

void UiController::onHelpVisibleChanged(bool visible)
{
    if (!m_viewerStack)
        return;
    if (visible) {
        m_viewerStack->setCurrentIndex(HelpPage);
        return;
    }
    if (m_state->totalFrames() <= 0)
        m_viewerStack->setCurrentIndex(DropHintPage);
    else
        m_viewerStack->setCurrentIndex(m_state->currentMode() == Scope ? ScopePage : PicturePage);
}
