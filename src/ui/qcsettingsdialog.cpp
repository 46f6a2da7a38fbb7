#include "ui/qcsettingsdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

// One threshold: where it lives and what it may be. Fractions are shown as they are stored.
struct ThresholdField {
    const char *label;
    double qc::Thresholds::*real;
    int qc::Thresholds::*whole;
    double lowest;
    double highest;
    int decimals;
};

const ThresholdField kFields[] = {
    {"Black: luma below (fraction of range)", &qc::Thresholds::blackLumaFraction, nullptr, 0.0, 1.0, 3},
    {"Black: share of the picture", &qc::Thresholds::blackPictureFraction, nullptr, 0.0, 1.0, 3},
    {"Black: at least frames", nullptr, &qc::Thresholds::blackMinFrames, 1, 100000, 0},
    {"Freeze: difference below (dB)", &qc::Thresholds::freezeNoiseDb, nullptr, -200.0, 0.0, 1},
    {"Freeze: at least seconds", &qc::Thresholds::freezeMinSec, nullptr, 0.0, 3600.0, 2},
    {"Levels: lowest (fraction of range)", &qc::Thresholds::levelsLow, nullptr, -1.0, 1.0, 3},
    {"Levels: highest (fraction of range)", &qc::Thresholds::levelsHigh, nullptr, 0.0, 2.0, 3},
    {"Levels: share of the picture", &qc::Thresholds::levelsPictureFraction, nullptr, 0.0, 1.0, 3},
    {"Levels: at least frames", nullptr, &qc::Thresholds::levelsMinFrames, 1, 100000, 0},
    {"Silence: below (dBFS)", &qc::Thresholds::silenceDb, nullptr, -200.0, 0.0, 1},
    {"Silence: at least seconds", &qc::Thresholds::silenceMinSec, nullptr, 0.0, 3600.0, 2},
    {"True peak: above (dBTP)", &qc::Thresholds::truePeakDb, nullptr, -100.0, 20.0, 1},
    {"Loudness: target (LUFS)", &qc::Thresholds::loudnessTarget, nullptr, -100.0, 0.0, 1},
    {"Loudness: tolerance (LU)", &qc::Thresholds::loudnessTolerance, nullptr, 0.0, 100.0, 1},
    {"Timestamp gap: frame durations", &qc::Thresholds::gapFactor, nullptr, 1.0, 1000.0, 2},
};

constexpr qc::Preset kPresets[] = {qc::Preset::Ebu, qc::Preset::Atsc, qc::Preset::Streaming};

} // namespace

QcSettingsDialog::QcSettingsDialog(qc::Preset preset, const qc::Settings &settings, bool analyseOnOpen,
                                   QWidget *parent)
    : QDialog(parent)
    , m_base(settings)
    , m_preset(new QComboBox)
    , m_onOpen(new QCheckBox(QStringLiteral("Analyse every file as it opens")))
{
    setWindowTitle(QStringLiteral("QC preset and thresholds"));
    for (qc::Preset known : kPresets)
        m_preset->addItem(qc::presetName(known));
    m_preset->setCurrentIndex(int(std::find(std::begin(kPresets), std::end(kPresets), preset) - std::begin(kPresets)));

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Preset"), m_preset);
    for (const ThresholdField &field : kFields) {
        auto *editor = new QDoubleSpinBox;
        editor->setRange(field.lowest, field.highest);
        editor->setDecimals(field.decimals);
        editor->setSingleStep(field.decimals == 0 ? 1.0 : std::pow(10.0, -std::min(field.decimals, 2)));
        form->addRow(QLatin1String(field.label), editor);
        m_editors.append(editor);
    }
    showThresholds(settings.thresholds);

    auto *checks = new QGroupBox(QStringLiteral("Checks"));
    auto *grid = new QGridLayout(checks);
    for (qc::Check check : qc::AllChecks) {
        auto *box = new QCheckBox(qc::checkName(check));
        box->setChecked(settings.isEnabled(check));
        m_checks[size_t(check)] = box;
        grid->addWidget(box, int(check) / 4, int(check) % 4);
    }
    m_onOpen->setChecked(analyseOnOpen);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // A preset chosen starts from its own thresholds.
    connect(m_preset, &QComboBox::currentIndexChanged, this,
            [this](int index) { showThresholds(qc::presetThresholds(kPresets[std::clamp(index, 0, 2)])); });

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(checks);
    layout->addWidget(m_onOpen);
    layout->addWidget(buttons);
}

void QcSettingsDialog::showThresholds(const qc::Thresholds &thresholds)
{
    for (qsizetype i = 0; i < m_editors.size(); ++i) {
        const ThresholdField &field = kFields[i];
        m_editors[i]->setValue(field.real ? thresholds.*field.real : double(thresholds.*field.whole));
    }
}

qc::Preset QcSettingsDialog::preset() const
{
    return kPresets[std::clamp(m_preset->currentIndex(), 0, 2)];
}

qc::Settings QcSettingsDialog::settings() const
{
    qc::Settings settings = m_base;
    for (qsizetype i = 0; i < m_editors.size(); ++i) {
        const ThresholdField &field = kFields[i];
        if (field.real)
            settings.thresholds.*field.real = m_editors[i]->value();
        else
            settings.thresholds.*field.whole = int(std::lround(m_editors[i]->value()));
    }
    for (qc::Check check : qc::AllChecks)
        settings.enabled[size_t(check)] = m_checks[size_t(check)]->isChecked();
    return settings;
}

bool QcSettingsDialog::analyseOnOpen() const
{
    return m_onOpen->isChecked();
}

QDoubleSpinBox *QcSettingsDialog::editor(const QString &label) const
{
    for (qsizetype i = 0; i < m_editors.size(); ++i)
        if (label == QLatin1String(kFields[i].label))
            return m_editors[i];
    return nullptr;
}
