#include "ui/safetyareadialog.h"

#include "ui/dialogparts.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

namespace {

const QString kLabelStyle = QStringLiteral("font-size: 18px; color: white;");

} // namespace

SafetyAreaDialog::SafetyAreaDialog(const viewerpath::SafetyArea &initial, QWidget *parent, ModifierQuery modifiers)
    : QDialog(parent)
    , m_modifiers(modifiers ? std::move(modifiers) : ModifierQuery(&QGuiApplication::keyboardModifiers))
{
    dialogparts::removeContextHelp(this);
    setWindowTitle(QString());
    setWindowModality(Qt::ApplicationModal);
    setFixedSize(520, 248);

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    auto *content = new QWidget(this);
    content->setFixedWidth(410);
    outer->addStretch();
    outer->addWidget(content, 0, Qt::AlignHCenter);
    outer->addStretch();

    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto *grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(18);
    grid->setVerticalSpacing(22);

    struct RowSpec { const char *name; int minimum; int value; };
    const viewerpath::SafetyArea start = viewerpath::SafetyArea::clamped(initial.h, initial.v, initial.l);
    const RowSpec rows[3] = {{"H", 2, start.h}, {"V", 2, start.v}, {"L", 0, start.l}};
    for (int row = 0; row < 3; ++row) {
        auto *name = new QLabel(QString::fromLatin1(rows[row].name), content);
        name->setAlignment(Qt::AlignCenter);
        name->setFixedWidth(24);
        name->setStyleSheet(kLabelStyle);
        grid->addWidget(name, row, 0, Qt::AlignCenter);

        auto *slider = new QSlider(Qt::Horizontal, content);
        slider->setObjectName(QString::fromLatin1(rows[row].name));
        slider->setFixedWidth(310);
        slider->setFocusPolicy(Qt::NoFocus);
        slider->setRange(rows[row].minimum, 100);
        slider->setValue(rows[row].value);
        grid->addWidget(slider, row, 1, Qt::AlignVCenter);

        auto *value = new QLabel(QString::number(slider->value()), content);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        value->setFixedWidth(40);
        value->setStyleSheet(kLabelStyle);
        grid->addWidget(value, row, 2, Qt::AlignVCenter);

        m_sliders[row] = slider;
        m_values[row] = value;
    }
    column->addLayout(grid);
    column->addSpacing(32);
    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addStretch();
    buttons->addWidget(dialogparts::okButton(this, 96, true));
    column->addLayout(buttons);

    // Connected after the initial values so that building the dialog reports nothing.
    connect(m_sliders[H], &QSlider::valueChanged, this, [this](int v) { onExtentChanged(H, v); });
    connect(m_sliders[V], &QSlider::valueChanged, this, [this](int v) { onExtentChanged(V, v); });
    connect(m_sliders[L], &QSlider::valueChanged, this, &SafetyAreaDialog::onLevelChanged);
}

viewerpath::SafetyArea SafetyAreaDialog::area() const
{
    return viewerpath::SafetyArea{m_sliders[H]->value(), m_sliders[V]->value(), m_sliders[L]->value()};
}

void SafetyAreaDialog::onExtentChanged(Row moved, int value)
{
    m_values[moved]->setText(QString::number(value));
    if (!m_linking && m_modifiers().testFlag(Qt::AltModifier)) {
        m_linking = true;
        m_sliders[moved == H ? V : H]->setValue(value);
        m_linking = false;
    }
    const viewerpath::SafetyArea now = area();
    emit areaChanged(now.h, now.v, now.l);
}

void SafetyAreaDialog::onLevelChanged(int value)
{
    m_values[L]->setText(QString::number(value));
    const viewerpath::SafetyArea now = area();
    emit areaChanged(now.h, now.v, now.l);
}
