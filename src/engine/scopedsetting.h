#pragma once

// Sets one of the engine's decode settings for the life of the guard and puts the previous
// value back after, however the scope is left.

template <typename T>
class ScopedSetting
{
public:
    ScopedSetting(T &setting, T value)
        : m_setting(setting)
        , m_previous(setting)
    {
        m_setting = value;
    }
    ~ScopedSetting() { m_setting = m_previous; }
    ScopedSetting(const ScopedSetting &) = delete;
    ScopedSetting &operator=(const ScopedSetting &) = delete;

private:
    T &m_setting;
    T m_previous;
};
