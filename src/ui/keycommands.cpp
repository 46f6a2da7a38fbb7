#include "ui/keycommands.h"

ModifierClass modifierClass(Qt::KeyboardModifiers modifiers)
{
    const Qt::KeyboardModifiers held =
        modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (held == Qt::NoModifier)
        return ModifierClass::None;
    if (held == Qt::ShiftModifier)
        return ModifierClass::Shift;
    if (held == Qt::ControlModifier || held == Qt::MetaModifier)
        return ModifierClass::Command;
    if (held == (Qt::ControlModifier | Qt::ShiftModifier) || held == (Qt::MetaModifier | Qt::ShiftModifier))
        return ModifierClass::CommandShift;
    if (held == (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier)
        || held == (Qt::MetaModifier | Qt::ShiftModifier | Qt::AltModifier))
        return ModifierClass::LoudnessChord;
    return ModifierClass::Other;
}

bool isFilteredKey(int key)
{
    if (key >= Qt::Key_0 && key <= Qt::Key_8)
        return true;
    if (key >= Qt::Key_A && key <= Qt::Key_G)
        return true;
    switch (key) {
    case Qt::Key_Tab:
    case Qt::Key_Space:
    case Qt::Key_J:
    case Qt::Key_K:
    case Qt::Key_L:
    case Qt::Key_M:
    case Qt::Key_P:
    case Qt::Key_R:
    case Qt::Key_V:
    case Qt::Key_W:
    case Qt::Key_Y:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_Left:
    case Qt::Key_Up:
    case Qt::Key_Right:
    case Qt::Key_Down:
        return true;
    default:
        return false;
    }
}

KeyCommandTable::Rule KeyCommandTable::accepting(Handler handler)
{
    return [handler = std::move(handler)](const KeyStroke &stroke) {
        handler(stroke.key, stroke.modifiers);
        return KeyOutcome::Accepted;
    };
}

void KeyCommandTable::add(int key, ModifierClass modifiers, Handler handler)
{
    m_rows.push_back(Row{key, false, false, modifiers, accepting(std::move(handler))});
}

void KeyCommandTable::add(std::initializer_list<int> keys, ModifierClass modifiers, const Handler &handler)
{
    addRule(keys, modifiers, accepting(handler));
}

void KeyCommandTable::addAnyModifiers(std::initializer_list<int> keys, const Handler &handler)
{
    addRule(keys, accepting(handler));
}

void KeyCommandTable::addRule(std::initializer_list<int> keys, ModifierClass modifiers, const Rule &rule)
{
    for (int key : keys)
        m_rows.push_back(Row{key, false, false, modifiers, rule});
}

void KeyCommandTable::addRule(std::initializer_list<int> keys, const Rule &rule)
{
    for (int key : keys)
        m_rows.push_back(Row{key, false, true, ModifierClass::None, rule});
}

void KeyCommandTable::addCatchAll(Rule rule)
{
    m_rows.push_back(Row{0, true, true, ModifierClass::None, std::move(rule)});
}

void KeyCommandTable::addRelease(std::initializer_list<int> keys, const Rule &rule)
{
    for (int key : keys)
        m_releaseRows.push_back(Row{key, false, true, ModifierClass::None, rule});
}

KeyOutcome KeyCommandTable::run(const std::vector<Row> &rows, const KeyStroke &stroke)
{
    for (const Row &row : rows) {
        if (!row.anyKey && row.key != stroke.key)
            continue;
        if (!row.anyModifiers && row.modifiers != stroke.modifiers)
            continue;
        if (const KeyOutcome outcome = row.rule(stroke); outcome != KeyOutcome::NotMine)
            return outcome;
    }
    return KeyOutcome::NotMine;
}

KeyOutcome KeyCommandTable::dispatch(const KeyStroke &stroke) const
{
    return run(m_rows, stroke);
}

KeyOutcome KeyCommandTable::dispatchRelease(const KeyStroke &stroke) const
{
    return run(m_releaseRows, stroke);
}
