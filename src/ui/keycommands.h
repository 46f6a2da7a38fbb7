#pragma once

#include <QString>
#include <Qt>

#include <functional>
#include <initializer_list>
#include <vector>

// Which modifiers a key came with; the keypad flag does not count.
enum class ModifierClass { None, Shift, Command, LoudnessChord, Other };

ModifierClass modifierClass(Qt::KeyboardModifiers modifiers);

// The player's own single-key commands: with a modifier they do nothing, so that a
// chord the window does not know never triggers the plain key's command.
bool isFilteredKey(int key);

// One key press or release as the table sees it.
struct KeyStroke {
    int key = 0;
    ModifierClass modifiers = ModifierClass::None;
    QString text; // what the key types, for text entry
};

// What became of a key: used (accepted), refused (ignored, so it travels on as unhandled),
// or not this row's business, when the next rows are tried.
enum class KeyOutcome { Accepted, Ignored, NotMine };

// The window's keyboard commands as a table. Each row binds keys (with exactly one modifier
// class, or with any; or every key at all) to a handler. Rows are tried in the order they
// were added: gates that must win (a mode that takes every key, a chord filter) go first,
// and a row whose handler answers NotMine lets the later rows try. Releases have rows of
// their own.
class KeyCommandTable
{
public:
    // A plain command: always Accepted.
    using Handler = std::function<void(int key, ModifierClass modifiers)>;
    using Rule = std::function<KeyOutcome(const KeyStroke &stroke)>;

    // Binds key with exactly 'modifiers'.
    void add(int key, ModifierClass modifiers, Handler handler);
    // Binds every key in 'keys' with exactly 'modifiers' to one handler.
    void add(std::initializer_list<int> keys, ModifierClass modifiers, const Handler &handler);
    // Binds keys whatever the modifiers.
    void addAnyModifiers(std::initializer_list<int> keys, const Handler &handler);

    // Rows whose handler decides the outcome.
    void addRule(std::initializer_list<int> keys, ModifierClass modifiers, const Rule &rule);
    void addRule(std::initializer_list<int> keys, const Rule &rule); // any modifiers
    void addCatchAll(Rule rule);                                     // every key, any modifiers
    void addRelease(std::initializer_list<int> keys, const Rule &rule); // any modifiers

    // Runs the matching rows in order until one answers other than NotMine; NotMine when
    // none does.
    KeyOutcome dispatch(const KeyStroke &stroke) const;
    KeyOutcome dispatchRelease(const KeyStroke &stroke) const;

private:
    struct Row
    {
        int key;
        bool anyKey;
        bool anyModifiers;
        ModifierClass modifiers;
        Rule rule;
    };
    static KeyOutcome run(const std::vector<Row> &rows, const KeyStroke &stroke);
    static Rule accepting(Handler handler);

    std::vector<Row> m_rows;
    std::vector<Row> m_releaseRows;
};
