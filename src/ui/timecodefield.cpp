#include "ui/timecodefield.h"

#include "state/applicationstate.h"

#include <QClipboard>
#include <QDebug>
#include <QGuiApplication>
#include <QLabel>
#include <QWidget>

TimecodeField::TimecodeField(ApplicationState *state, QLabel *label, QWidget *panel,
                             std::function<void(int64_t)> seek, QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_label(label)
    , m_panel(panel)
    , m_seek(std::move(seek))
{
}

void TimecodeField::rebuild()
{
    if (m_state->mediaInfo().isAudioOnly) {
        m_timecode.reset();
        m_startOffset = 0;
        return;
    }
    const QString rateText = QString::fromStdString(Timecode::nominalRateText(m_state->fps()));
    const QString startText = m_state->startTimecode().isEmpty() ? QStringLiteral("00:00:00:00")
                                                                : m_state->startTimecode();
    const bool dropFrame = startText.contains(QLatin1Char(';'));
    m_timecode = Timecode::forVideo(m_state->fps(), m_state->startTimecode().toStdString());
    if (m_timecode) {
        m_startOffset = int64_t(m_timecode->frames());
        qDebug() << "Timecode Init - FPS:" << rateText << "DF:" << dropFrame << "Start TC:" << startText
                 << "Offset:" << m_startOffset;
    } else {
        m_startOffset = 0;
        qWarning() << "Failed to initialize Timecode with fps:" << rateText << "df:" << dropFrame << "tc:" << startText;
    }
}

void TimecodeField::enter()
{
    if (!TimecodeEntry::canEnter(m_state->totalFrames(), m_state->mediaInfo().isAudioOnly))
        return;
    m_state->setGotoMode(true);
    m_entry.clear();
    m_label->setText(QString());
    // Full screen hides the panel; the typed digits must be visible.
    if (m_state->isFullScreen())
        m_panel->show();
}

void TimecodeField::leave(bool apply)
{
    if (apply) {
        const std::optional<int64_t> target = m_entry.target(m_timecode, m_startOffset, m_state->totalFrames());
        if (target)
            m_seek(*target);
    }
    m_state->setGotoMode(false);
    m_entry.clear();
    if (m_state->isFullScreen())
        m_panel->hide();
    // The label shows the frame on screen until the sought frame arrives.
    if (m_timecode) {
        m_timecode->setFrames(m_startOffset + m_state->currentFrameNumber());
        m_label->setText(QString::fromStdString(m_timecode->toString()));
    }
}

void TimecodeField::key(int key, const QString &text)
{
    switch (m_entry.key(key, text, m_state->fps())) {
    case TimecodeEntry::Action::Cancel:
        leave(false);
        break;
    case TimecodeEntry::Action::Apply:
        leave(true);
        break;
    case TimecodeEntry::Action::Show:
        m_label->setText(m_entry.input());
        break;
    case TimecodeEntry::Action::None:
        break;
    }
}

void TimecodeField::copyToClipboard() const
{
    const QString text = m_label->text();
    if (text.isEmpty())
        return;
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
    qDebug() << "Timecode copied to clipboard:" << text;
}
