#include "ui/sequenceratedialog.h"

#include "core/playersettings.h"
#include "ui/dialogparts.h"

#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QSettings>
#include <QVBoxLayout>

namespace {

const char *const kKey = "sequences/fps";
constexpr double kHighestFps = 1000.0;

} // namespace

SequenceRateDialog::SequenceRateDialog(double fps, QWidget *parent)
    : QDialog(parent)
    , m_rate(new QDoubleSpinBox)
{
    setWindowTitle(QStringLiteral("Image sequence rate"));
    dialogparts::removeContextHelp(this);
    m_rate->setRange(0.0, kHighestFps);
    m_rate->setDecimals(3);
    m_rate->setSingleStep(1.0);
    m_rate->setSuffix(QStringLiteral(" fps"));
    // The lowest value stands for "no rate of our own".
    m_rate->setSpecialValueText(QStringLiteral("From the files (else 24 fps)"));
    m_rate->setValue(fps > 0.0 ? fps : 0.0);

    auto *note = new QLabel(QStringLiteral("Numbered DPX, EXR, TIFF and PNG files play at this rate, whatever their "
                                           "headers say. An open sequence opens again at the new rate."));
    note->setWordWrap(true);
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Rate"), m_rate);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *column = new QVBoxLayout(this);
    column->addWidget(note);
    column->addLayout(form);
    column->addWidget(buttons);
    setMinimumWidth(380);
}

double SequenceRateDialog::fps() const
{
    return m_rate->value();
}

double SequenceRateDialog::stored()
{
    const double fps = playerSettings().value(QLatin1String(kKey), 0.0).toDouble();
    return fps > 0.0 && fps <= kHighestFps ? fps : 0.0;
}

void SequenceRateDialog::store(double fps)
{
    QSettings settings = playerSettings();
    if (fps > 0.0)
        settings.setValue(QLatin1String(kKey), fps);
    else
        settings.remove(QLatin1String(kKey));
}
