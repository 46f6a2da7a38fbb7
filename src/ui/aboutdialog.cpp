#include "ui/aboutdialog.h"

#include "av/ffmpegversion.h"
#include "ui/dialogparts.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

AboutDialog::AboutDialog(const QIcon &icon, const QString &appVersion, QWidget *parent)
    : QDialog(parent)
{
    dialogparts::removeContextHelp(this);
    setWindowTitle(QString());
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(20);

    auto *row = new QHBoxLayout;
    row->setSpacing(20);
    QLabel *iconLabel = dialogparts::iconLabel(icon, this);
    iconLabel->setAlignment(Qt::AlignTop);
    row->addWidget(iconLabel);
    auto *textLabel = new QLabel(this);
    textLabel->setObjectName(QStringLiteral("AboutText"));
    textLabel->setTextFormat(Qt::RichText);
    textLabel->setOpenExternalLinks(true);
    textLabel->setText(text(appVersion, QString::fromLatin1(qVersion()), ffmpegVersion()));
    row->addWidget(textLabel);
    layout->addLayout(row);

    layout->addWidget(dialogparts::okButton(this, 80, false), 0, Qt::AlignRight);

    adjustSize();
    setFixedSize(size());
}

QString AboutDialog::text(const QString &appVersion, const QString &qtVersion, const QString &ffmpegVersion)
{
    return QStringLiteral(
               "<h3 style='margin:0;'>Orvel - Media File Viewer</h3>"
               "<p style='margin-top:5px;'>バージョン %1</p>"
               "<p>このソフトウェアは、<b>Qt</b> フレームワークと<br><b>FFmpeg</b>を使用して開発されています。</p>"
               "<hr>"
               "<p style='font-size: small; color: #aaa;'>"
               "<b>Qt バージョン:</b> %2<br><b>FFmpeg バージョン:</b> %3<br>"
               "Qt is a registered trademark of The Qt Company Ltd. and its subsidiaries.<br>"
               "FFmpeg is a trademark of Fabrice Bellard, originator of the FFmpeg project.<br>"
               "This software uses <a style='color: #4282da;' href='https://www.qt.io/'>Qt</a> and "
               "<a style='color: #4282da;' href='https://ffmpeg.org/'>FFmpeg</a> under the "
               "<a style='color: #4282da;' href='https://www.gnu.org/licenses/lgpl-3.0.html'><b>LGPL v3</b></a>."
               "</p>")
        .arg(appVersion.toHtmlEscaped(), qtVersion.toHtmlEscaped(), ffmpegVersion.toHtmlEscaped());
}
