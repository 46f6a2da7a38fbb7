#pragma once

#include "state/viewerpath.h"

#include <QDialog>

#include <functional>

class QLabel;
class QSlider;

// Ctrl+E: three sliders for the safety area's horizontal and vertical extent (H, V) and
// the lines' grey (L). Every move is reported at once so the overlay follows while the
// dialog is open. With Alt held, moving H moves V along and the other way round.
class SafetyAreaDialog : public QDialog
{
    Q_OBJECT

public:
    using ModifierQuery = std::function<Qt::KeyboardModifiers()>;

    // 'modifiers' tells whether Alt is held; the keyboard's state unless a test gives one.
    explicit SafetyAreaDialog(const viewerpath::SafetyArea &initial, QWidget *parent = nullptr,
                              ModifierQuery modifiers = {});

    QSlider *slider(int row) const { return m_sliders[row]; }
    viewerpath::SafetyArea area() const;

signals:
    // The sliders' values, already inside their ranges.
    void areaChanged(int h, int v, int l);

private:
    enum Row { H = 0, V = 1, L = 2 };
    void onExtentChanged(Row moved, int value);
    void onLevelChanged(int value);

    QSlider *m_sliders[3] = {};
    QLabel *m_values[3] = {};
    ModifierQuery m_modifiers;
    bool m_linking = false;
};
