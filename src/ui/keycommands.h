#pragma once

#include <Qt>

#include <functional>
#include <vector>

// Which modifiers a key came with; the keypad flag does not count.
enum class ModifierClass { None, Shift, Command, LoudnessChord, Other };

ModifierClass modifierClass(Qt::KeyboardModifiers modifiers);

// The player's own single-key commands: with a modifier they do nothing, so that a
// chord the window does not know never triggers the plain key's command.
bool isFilteredKey(int key);

// The window's keyboard commands as a table: each row binds a key, with exactly one
// modifier class or with any, to a handler. Rows are tried in the order they were added,
// so exact bindings that must win go first. The gates in front of the table (help page,
// timecode entry, filtered chords) stay with the window.
class KeyCommandTable
{
public:
    using Handler = std::function<void(int key, ModifierClass modifiers)>;

    // Binds key with exactly 'modifiers'.
    void add(int key, ModifierClass modifiers, Handler handler);
    // Binds every key in 'keys' with exactly 'modifiers' to one handler.
    void add(std::initializer_list<int> keys, ModifierClass modifiers, const Handler &handler);
    // Binds key whatever the modifiers.
    void addAnyModifiers(std::initializer_list<int> keys, const Handler &handler);

    // Runs the first matching row; false when none matches.
    bool dispatch(int key, ModifierClass modifiers) const;
    bool binds(int key, ModifierClass modifiers) const;

private:
    struct Row
    {
        int key;
        bool anyModifiers;
        ModifierClass modifiers;
        Handler handler;
    };
    const Row *find(int key, ModifierClass modifiers) const;

    std::vector<Row> m_rows;
};
