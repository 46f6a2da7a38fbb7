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

void KeyCommandTable::add(int key, ModifierClass modifiers, Handler handler)
{
    m_rows.push_back(Row{key, false, modifiers, std::move(handler)});
}

void KeyCommandTable::add(std::initializer_list<int> keys, ModifierClass modifiers, const Handler &handler)
{
    for (int key : keys)
        m_rows.push_back(Row{key, false, modifiers, handler});
}

void KeyCommandTable::addAnyModifiers(std::initializer_list<int> keys, const Handler &handler)
{
    for (int key : keys)
        m_rows.push_back(Row{key, true, ModifierClass::None, handler});
}

const KeyCommandTable::Row *KeyCommandTable::find(int key, ModifierClass modifiers) const
{
    for (const Row &row : m_rows) {
        if (row.key == key && (row.anyModifiers || row.modifiers == modifiers))
            return &row;
    }
    return nullptr;
}

bool KeyCommandTable::binds(int key, ModifierClass modifiers) const
{
    return find(key, modifiers) != nullptr;
}

bool KeyCommandTable::dispatch(int key, ModifierClass modifiers) const
{
    const Row *row = find(key, modifiers);
    if (!row)
        return false;
    row->handler(key, modifiers);
    return true;
}
