// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QKeyCombination>
#include <QString>

#include <optional>

namespace wl {

// One key chord: a key and its modifiers. Stored as text ("Meta+Ctrl+Alt+L"); Meta is the
// Super key.
class Shortcut
{
public:
    // Modifier flags of the platform-neutral pair the launch sequence uses.
    static constexpr quint32 kShiftFlag = 1u << 17;
    static constexpr quint32 kControlFlag = 1u << 18;
    static constexpr quint32 kOptionFlag = 1u << 19;
    static constexpr quint32 kCommandFlag = 1u << 20;

    Shortcut() = default;
    Shortcut(Qt::Key key, Qt::KeyboardModifiers modifiers);
    Shortcut(Qt::Key key, Qt::KeyboardModifier modifier)
        : Shortcut(key, Qt::KeyboardModifiers(modifier))
    {
    }
    explicit Shortcut(QKeyCombination combination);
    // From a virtual key code and modifier flags (37 with Control|Option|Command is
    // Ctrl+Alt+Meta+L). Unknown key codes give an invalid shortcut; other flag bits are ignored.
    Shortcut(quint32 keyCode, quint32 modifierFlags);

    // A key that is not itself a modifier, with at least one of Ctrl, Alt or Meta: a chord that
    // does not take over ordinary typing.
    bool isValid() const;

    Qt::Key key() const { return m_combination.key(); }
    Qt::KeyboardModifiers modifiers() const { return m_combination.keyboardModifiers(); }
    QKeyCombination combination() const { return m_combination; }

    // The storage form, stable across locales.
    QString toString() const;
    // The form shown to the user: Meta is called Super ("Ctrl+Alt+Super+L").
    QString displayText() const;
    // Reads exactly one chord; anything else gives no value.
    static std::optional<Shortcut> fromString(const QString& text);

    // The key for a virtual key code, Qt::Key_unknown when it has none.
    static Qt::Key keyForKeyCode(quint32 keyCode);

    friend bool operator==(const Shortcut& a, const Shortcut& b)
    {
        return a.m_combination == b.m_combination;
    }

private:
    QKeyCombination m_combination{Qt::NoModifier, Qt::Key_unknown};
};

} // namespace wl
