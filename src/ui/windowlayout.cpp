#include "ui/windowlayout.h"

#include "ui/audiometerwidget.h"
#include "ui/scopewidget.h"
#include "ui/seekbar.h"
#include "ui/uicontroller.h"

#include <QComboBox>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QVideoWidget>

namespace {

constexpr int kWidgetSizeMax = 16777215; // QWIDGETSIZE_MAX
constexpr QMargins kCentralMargins(50, 15, 50, 25);

const QString kDropHintText = QStringLiteral(
    "<div align='center'><img src=':/Orvel.png' width='100' height='100'><br><br>"
    "<div style='color: rgba(255, 255, 255, 128); font-size: 22px; letter-spacing: 2px; line-height: 120%;'>"
    "Drag and drop media here.<br>To display help, press Ctrl+/.</div></div>");
const QString kViewerPageStyle = QStringLiteral("background-color: #000000; border: 1px solid #111;");
const QString kFullScreenPageStyle = QStringLiteral("background-color: #000000; border: none;");
const QString kInfoLabelStyle = QStringLiteral("color: #888888; line-height: 1.2;");

QFont courier(int pointSize)
{
    return QFont(QStringLiteral("Courier New"), pointSize);
}

QComboBox *routingCombo(QWidget *parent)
{
    auto *combo = new QComboBox(parent);
    combo->setFixedSize(50, 24);
    combo->setFocusPolicy(Qt::NoFocus);
    return combo;
}

} // namespace

namespace windowlayout {

void placeWindow(QMainWindow *window)
{
    window->setFixedSize(kWindowSize);
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        window->move((available.width() - window->width()) / 2, (available.height() - window->height()) / 2);
    }
}

WindowWidgets build(QMainWindow *window, ApplicationState *state, QObject *filter)
{
    WindowWidgets w;
    auto *central = new QWidget(window);
    window->setCentralWidget(central);
    auto *centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(kCentralMargins);
    centralLayout->setSpacing(0);

    w.topPanel = new QWidget(central);
    auto *topLayout = new QVBoxLayout(w.topPanel);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->setSpacing(0);
    w.pathLabel = new QLabel(w.topPanel);
    w.pathLabel->setObjectName(QStringLiteral("PathLabel"));
    w.pathLabel->setProperty("hasPath", false);
    w.pathLabel->setFont(courier(12));
    w.pathLabel->installEventFilter(filter);
    topLayout->addWidget(w.pathLabel, 0, Qt::AlignLeft);
    topLayout->addSpacing(5);
    centralLayout->addWidget(w.topPanel, 0);

    w.viewerStack = new QStackedWidget(central);
    w.viewerStack->setFixedSize(kViewerSize);
    w.viewerStack->setAttribute(Qt::WA_MouseTracking);
    w.viewerStack->installEventFilter(filter);
    centralLayout->addWidget(w.viewerStack, 0, Qt::AlignCenter);

    w.dropHintLabel = new QLabel(w.viewerStack);
    w.dropHintLabel->setStyleSheet(kViewerPageStyle);
    w.dropHintLabel->setAlignment(Qt::AlignCenter);
    w.dropHintLabel->setAttribute(Qt::WA_MouseTracking);
    w.dropHintLabel->installEventFilter(filter);
    w.dropHintLabel->setText(kDropHintText);
    w.viewerStack->addWidget(w.dropHintLabel);

    w.videoWidget = new QVideoWidget(w.viewerStack);
    w.videoWidget->setStyleSheet(kViewerPageStyle);
    w.videoWidget->setAttribute(Qt::WA_TransparentForMouseEvents);
    w.videoWidget->setAttribute(Qt::WA_MouseTracking);
    w.videoWidget->installEventFilter(filter);
    w.viewerStack->addWidget(w.videoWidget);

    w.helpLabel = new QLabel(w.viewerStack);
    w.helpLabel->setStyleSheet(QStringLiteral("background-color: #000000;"));
    w.helpLabel->setAlignment(Qt::AlignCenter);
    const QPixmap help(QStringLiteral(":/Help_Win.png"));
    if (!help.isNull())
        w.helpLabel->setPixmap(help.scaled(kViewerSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    w.viewerStack->addWidget(w.helpLabel);

    w.scopeWidget = new ScopeWidget(state, w.viewerStack);
    w.scopeWidget->setObjectName(QStringLiteral("ScopePage"));
    w.viewerStack->addWidget(w.scopeWidget);
    w.viewerStack->setCurrentIndex(UiController::DropHintPage);

    w.bottomPanel = new QWidget(central);
    auto *bottomLayout = new QVBoxLayout(w.bottomPanel);
    bottomLayout->setContentsMargins(0, 0, 0, 0);
    bottomLayout->setSpacing(0);
    bottomLayout->addSpacing(10);

    w.seekBar = new SeekBar(w.bottomPanel);
    w.seekBar->setRange(0, 1000);
    w.seekBar->setValue(0);
    w.seekBar->setObjectName(QStringLiteral("SeekBar"));
    w.seekBar->setFocusPolicy(Qt::NoFocus);
    w.seekBar->installEventFilter(filter);
    w.seekBarOpacity = new QGraphicsOpacityEffect(window);
    w.seekBar->setGraphicsEffect(w.seekBarOpacity);
    bottomLayout->addWidget(w.seekBar);
    bottomLayout->addStretch(0);

    auto *bottomRow = new QHBoxLayout;
    bottomRow->setAlignment(Qt::AlignBottom);

    auto *leftColumn = new QVBoxLayout;
    leftColumn->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    w.helpButton = new QPushButton(QStringLiteral("i"), w.bottomPanel);
    w.helpButton->setObjectName(QStringLiteral("HelpButton"));
    w.helpButton->setFixedSize(30, 30);
    w.helpButton->setFocusPolicy(Qt::NoFocus);
    leftColumn->addWidget(w.helpButton);

    auto *centreColumn = new QVBoxLayout;
    centreColumn->setAlignment(Qt::AlignCenter);
    centreColumn->setSpacing(10);
    auto *timecodeRow = new QHBoxLayout;
    timecodeRow->setContentsMargins(0, 0, 0, 0);
    timecodeRow->setSpacing(0);
    w.playbackInfoLabel = new QLabel(w.bottomPanel);
    w.playbackInfoLabel->setObjectName(QStringLiteral("PlaybackInfoLabel"));
    w.playbackInfoLabel->setFont(courier(18));
    w.playbackInfoLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    timecodeRow->addWidget(w.playbackInfoLabel, 1);
    timecodeRow->addSpacing(15);
    w.timecodeLabel = new QLabel(QStringLiteral("00:00:00;00"), w.bottomPanel);
    w.timecodeLabel->setFont(courier(30));
    w.timecodeLabel->setAlignment(Qt::AlignCenter);
    w.timecodeLabel->setStyleSheet(QStringLiteral("color: #ffffff; letter-spacing: 2px;"));
    w.timecodeLabel->installEventFilter(filter);
    timecodeRow->addWidget(w.timecodeLabel, 0);
    timecodeRow->addSpacing(15);
    // Balances the row; shows a compared file's timecode.
    w.compareTimecodeLabel = new QLabel(w.bottomPanel);
    w.compareTimecodeLabel->setObjectName(QStringLiteral("CompareTimecodeLabel"));
    w.compareTimecodeLabel->setFont(courier(14));
    w.compareTimecodeLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    w.compareTimecodeLabel->setStyleSheet(kInfoLabelStyle);
    timecodeRow->addWidget(w.compareTimecodeLabel, 1);
    centreColumn->addLayout(timecodeRow);

    auto *audioRow = new QHBoxLayout;
    audioRow->setSpacing(20);
    audioRow->addStretch(1);
    w.leftChannelCombo = routingCombo(w.bottomPanel);
    w.audioMeter = new AudioMeterWidget(w.bottomPanel);
    w.audioMeter->setFixedSize(280, 44);
    w.audioMeter->installEventFilter(filter);
    w.rightChannelCombo = routingCombo(w.bottomPanel);
    audioRow->addWidget(w.leftChannelCombo, 0, Qt::AlignBottom);
    audioRow->addWidget(w.audioMeter, 0, Qt::AlignBottom);
    audioRow->addWidget(w.rightChannelCombo, 0, Qt::AlignBottom);
    audioRow->addStretch(1);
    centreColumn->addLayout(audioRow);

    auto *rightColumn = new QVBoxLayout;
    rightColumn->setAlignment(Qt::AlignRight | Qt::AlignBottom);
    w.metadataLabel = new QLabel(w.bottomPanel);
    w.metadataLabel->setFont(courier(12));
    w.metadataLabel->setAlignment(Qt::AlignRight | Qt::AlignBottom);
    w.metadataLabel->setStyleSheet(kInfoLabelStyle);
    w.metadataLabel->installEventFilter(filter);
    rightColumn->addWidget(w.metadataLabel);

    bottomRow->addLayout(leftColumn, 1);
    bottomRow->addLayout(centreColumn, 2);
    bottomRow->addLayout(rightColumn, 1);
    bottomLayout->addLayout(bottomRow);

    w.inspectorLabel = new QLabel(w.bottomPanel);
    w.inspectorLabel->setFont(courier(12));
    w.inspectorLabel->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    w.inspectorLabel->setStyleSheet(kInfoLabelStyle);
    w.inspectorLabel->hide();

    centralLayout->addWidget(w.bottomPanel, 0);

    w.timecodeLabel->setText(QString());
    w.leftChannelCombo->hide();
    w.rightChannelCombo->hide();
    w.seekBar->setEnabled(false);
    w.seekBarOpacity->setOpacity(0.3);
    return w;
}

void setFullScreen(QMainWindow *window, const WindowWidgets &w, bool fullScreen)
{
    auto *centralLayout = qobject_cast<QVBoxLayout *>(window->centralWidget()->layout());
    if (fullScreen) {
        w.topPanel->hide();
        w.bottomPanel->hide();
        w.viewerStack->setMinimumSize(0, 0);
        w.viewerStack->setMaximumSize(kWidgetSizeMax, kWidgetSizeMax);
        w.videoWidget->setStyleSheet(kFullScreenPageStyle);
        if (centralLayout) {
            centralLayout->setContentsMargins(0, 0, 0, 0);
            centralLayout->setAlignment(w.viewerStack, Qt::Alignment());
        }
        window->setMinimumSize(0, 0);
        window->setMaximumSize(kWidgetSizeMax, kWidgetSizeMax);
        window->showFullScreen();
    } else {
        w.topPanel->show();
        w.bottomPanel->show();
        if (centralLayout) {
            centralLayout->setContentsMargins(kCentralMargins);
            centralLayout->setAlignment(w.viewerStack, Qt::AlignCenter);
        }
        w.viewerStack->setFixedSize(kViewerSize);
        w.videoWidget->setStyleSheet(kViewerPageStyle);
        window->showNormal();
        window->setFixedSize(kWindowSize);
    }
}

} // namespace windowlayout
