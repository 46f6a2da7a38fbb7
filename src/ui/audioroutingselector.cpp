#include "ui/audioroutingselector.h"

#include <QComboBox>
#include <QSignalBlocker>

#include <algorithm>

namespace {

// Item 0 is "M": combo index i is source channel i - 1. An empty combo routes nothing.
int channelOf(const QComboBox *combo)
{
    return std::max(combo->currentIndex() - 1, -1);
}

} // namespace

AudioRoutingSelector::AudioRoutingSelector(QComboBox *left, QComboBox *right, QObject *parent)
    : QObject(parent)
    , m_left(left)
    , m_right(right)
{
    // Direct: code that sets both combos relies on the report having run on return.
    for (QComboBox *combo : {m_left, m_right})
        connect(combo, &QComboBox::currentIndexChanged, combo, [this] {
            if (!m_fromMute)
                forgetMute();
            emit changed();
        }, Qt::DirectConnection);
}

ChannelRouting AudioRoutingSelector::routing() const
{
    return {channelOf(m_left), channelOf(m_right)};
}

bool AudioRoutingSelector::hasChannels() const
{
    return m_left->count() > 1;
}

void AudioRoutingSelector::setVisible(bool visible)
{
    m_left->setVisible(visible);
    m_right->setVisible(visible);
}

void AudioRoutingSelector::fill(int channels)
{
    m_left->clear();
    m_right->clear();
    m_left->addItem(QStringLiteral("M"));
    m_right->addItem(QStringLiteral("M"));
    for (int i = 1; i <= std::min(channels, kMaxChannels); ++i) {
        m_left->addItem(QStringLiteral("ch%1").arg(i));
        m_right->addItem(QStringLiteral("ch%1").arg(i));
    }
    m_left->setCurrentIndex(1);
    m_right->setCurrentIndex(channels == 1 ? 1 : 2);
}

void AudioRoutingSelector::applyDefault()
{
    // The combos keep the items of the last file with audio; the caller checks that the
    // open file has channels.
    if (m_left->count() <= 1)
        return;
    const int rightCount = m_right->count();
    const int right = rightCount > 2 ? 2 : (rightCount > 1 ? 1 : m_right->currentIndex());
    setIndices(1, right);
}

void AudioRoutingSelector::gang(int channel)
{
    if (channel >= m_left->count())
        return;
    setIndices(channel, channel);
}

void AudioRoutingSelector::toggleMute()
{
    const int leftCount = m_left->count();
    const int rightCount = m_right->count();
    if (leftCount == 0 || rightCount == 0)
        return;
    const int left = m_left->currentIndex();
    const int right = m_right->currentIndex();
    // Both sides already silent and nothing to restore.
    if (!m_muted && left == 0 && right == 0)
        return;
    m_fromMute = true;
    if (m_muted) {
        // The saved routing may name channels the current file lacks.
        const int restoredLeft = std::max(std::min(leftCount - 1, m_savedLeft), 0);
        const int restoredRight = std::max(std::min(rightCount - 1, m_savedRight), 0);
        forgetMute();
        setIndices(restoredLeft, restoredRight);
    } else {
        m_savedLeft = left;
        m_savedRight = right;
        m_muted = true;
        setIndices(0, 0);
    }
    m_fromMute = false;
}

void AudioRoutingSelector::forgetMute()
{
    m_muted = false;
    m_savedLeft = -1;
    m_savedRight = -1;
}

void AudioRoutingSelector::setIndices(int left, int right)
{
    {
        const QSignalBlocker blockLeft(m_left);
        const QSignalBlocker blockRight(m_right);
        m_left->setCurrentIndex(left);
        m_right->setCurrentIndex(right);
    }
    // One routing change for both sides, not one per combo.
    emit m_left->currentIndexChanged(m_left->currentIndex());
}
