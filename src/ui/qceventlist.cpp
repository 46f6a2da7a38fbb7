#include "ui/qceventlist.h"

#include "analysis/qcreport.h"
#include "ui/qcsession.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

enum Column { CheckColumn, StartColumn, EndColumn, DurationColumn, ValueColumn, SeverityColumn, ColumnCount };

QString valueText(const qc::Event &event)
{
    switch (event.check) {
    case qc::Check::Black:
    case qc::Check::Levels:
        return QStringLiteral("%1 %").arg(event.value * 100.0, 0, 'f', 1);
    case qc::Check::Freeze:
    case qc::Check::Silence:
    case qc::Check::TruePeak:
        return QStringLiteral("%1 dB").arg(event.value, 0, 'f', 1);
    case qc::Check::Loudness:
        return QStringLiteral("%1 LUFS").arg(event.value, 0, 'f', 1);
    case qc::Check::TimestampGap:
    case qc::Check::TimecodeBreak:
    case qc::Check::MissingFrame:
        return QString::number(event.value, 'g', 6);
    }
    return QString();
}

} // namespace

QcEventList::QcEventList(QcSession *session, QWidget *keyTarget, QWidget *parent)
    : QDockWidget(QStringLiteral("QC events"), parent)
    , m_session(session)
    , m_keyTarget(keyTarget)
    , m_table(new QTableWidget(0, ColumnCount))
    , m_state(new QLabel)
{
    setObjectName(QStringLiteral("QcEventList"));
    m_table->setObjectName(QStringLiteral("QcEventTable"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("Check"), QStringLiteral("Start"), QStringLiteral("End"),
                                        QStringLiteral("Duration"), QStringLiteral("Value"),
                                        QStringLiteral("Severity")});
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setFocusPolicy(Qt::ClickFocus);
    m_table->installEventFilter(this);
    connect(m_table, &QTableWidget::cellClicked, this, [this](int row, int) { emit jumpRequested(row); });

    auto *settings = new QPushButton(QStringLiteral("Preset and thresholds..."));
    settings->setObjectName(QStringLiteral("QcSettingsButton"));
    settings->setFocusPolicy(Qt::NoFocus);
    connect(settings, &QPushButton::clicked, this, &QcEventList::settingsRequested);
    auto *report = new QPushButton(QStringLiteral("Export report..."));
    report->setFocusPolicy(Qt::NoFocus);
    connect(report, &QPushButton::clicked, this, &QcEventList::exportRequested);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_state, 1);
    buttons->addWidget(settings);
    buttons->addWidget(report);
    auto *content = new QWidget;
    auto *layout = new QVBoxLayout(content);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(m_table);
    layout->addLayout(buttons);
    setWidget(content);
    setFocusPolicy(Qt::NoFocus);

    connect(session, &QcSession::cleared, this, &QcEventList::rebuild);
    connect(session, &QcSession::eventAdded, this, &QcEventList::insertRow);
    connect(session, &QcSession::progressChanged, this, &QcEventList::showState);
    connect(session, &QcSession::stateChanged, this, &QcEventList::showState);
    rebuild();
}

void QcEventList::rebuild()
{
    m_table->setRowCount(0);
    for (int i = 0; i < m_session->events().size(); ++i)
        insertRow(i);
    showState();
}

void QcEventList::insertRow(int index)
{
    const qc::Event &event = m_session->events().at(index);
    const qc::EventTimecodes timecodes = qc::eventTimecodes(event, m_session->info());
    const int64_t frames = event.endFrame - event.startFrame + 1;
    QString check = qc::checkName(event.check);
    if (event.channel)
        check += QStringLiteral(" ch%1").arg(*event.channel);
    const QString cells[ColumnCount] = {
        check,
        timecodes.start.isEmpty() ? QString::number(event.startSec, 'f', 3) : timecodes.start,
        timecodes.end.isEmpty() ? QString::number(event.endSec, 'f', 3) : timecodes.end,
        QStringLiteral("%1 (%2 s)").arg(frames).arg(event.endSec - event.startSec, 0, 'f', 2),
        valueText(event),
        qc::severityName(event.severity),
    };
    m_table->insertRow(index);
    for (int column = 0; column < ColumnCount; ++column) {
        auto *item = new QTableWidgetItem(cells[column]);
        item->setToolTip(event.message);
        m_table->setItem(index, column, item);
    }
    followFrame(m_frame, m_landed >= index && m_landed >= 0 ? m_landed + 1 : m_landed);
}

void QcEventList::showState()
{
    switch (m_session->state()) {
    case QcSession::State::Idle:
        m_state->setText(QStringLiteral("No analysis"));
        break;
    case QcSession::State::Running:
        m_state->setText(QStringLiteral("Analysing... %1 %").arg(m_session->progress()));
        break;
    case QcSession::State::Analysed:
        m_state->setText(QStringLiteral("%1 events (%2)")
                             .arg(m_session->events().size())
                             .arg(qc::presetName(m_session->preset())));
        break;
    case QcSession::State::Failed:
        m_state->setText(QStringLiteral("Analysis failed: ") + m_session->error().section(QLatin1Char('\n'), 0, 0));
        break;
    }
}

void QcEventList::followFrame(int64_t frame, int landed)
{
    m_frame = frame;
    m_landed = landed;
    const QList<qc::Event> &events = m_session->events();
    int row = landed < events.size() ? landed : -1;
    if (row < 0) {
        for (int i = 0; i < events.size() && events[i].startFrame <= frame; ++i)
            row = i;
        // An event the frame lies in before a later-starting one that has ended.
        for (int i = row; i >= 0; --i) {
            if (events[i].endFrame >= frame) {
                row = i;
                break;
            }
        }
    }
    if (row < 0) {
        m_table->clearSelection();
        return;
    }
    const QSignalBlocker block(m_table);
    m_table->selectRow(row);
    m_table->scrollToItem(m_table->item(row, 0));
}

bool QcEventList::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_table && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (m_table->currentRow() >= 0)
                emit jumpRequested(m_table->currentRow());
            return true;
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            return false;
        default:
            // The player's keys reach the window.
            if (m_keyTarget)
                QApplication::sendEvent(m_keyTarget, event);
            return true;
        }
    }
    return QDockWidget::eventFilter(watched, event);
}
