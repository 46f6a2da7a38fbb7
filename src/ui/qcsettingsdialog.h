#pragma once

#include "analysis/qctypes.h"

#include <QDialog>
#include <QList>

#include <array>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;

// The QC preset and thresholds: choosing a preset fills in its thresholds, which can then
// be changed one by one; each check can be turned off; and whether a file is analysed as
// it opens. Accepting hands the result back; the caller re-runs the analysis.
class QcSettingsDialog : public QDialog
{
    Q_OBJECT

public:
    QcSettingsDialog(qc::Preset preset, const qc::Settings &settings, bool analyseOnOpen, QWidget *parent = nullptr);

    qc::Preset preset() const;
    qc::Settings settings() const;
    bool analyseOnOpen() const;

    // For the tests and the preset switch: the editor of one threshold by its label.
    QDoubleSpinBox *editor(const QString &label) const;
    QComboBox *presetBox() const { return m_preset; }

private:
    void showThresholds(const qc::Thresholds &thresholds);

    qc::Settings m_base; // what the dialog does not show (the measured pair)
    QComboBox *m_preset;
    QList<QDoubleSpinBox *> m_editors;
    std::array<QCheckBox *, qc::CheckCount> m_checks{};
    QCheckBox *m_onOpen;
};
