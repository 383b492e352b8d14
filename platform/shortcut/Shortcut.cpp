// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/shortcut/Shortcut.h"

#include <QCoreApplication>
#include <QKeySequence>

#include <utility>

namespace wl {

namespace {
constexpr Qt::KeyboardModifiers kChordModifiers =
    Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
constexpr Qt::KeyboardModifiers kAllModifiers = kChordModifiers | Qt::ShiftModifier;

// Virtual key codes of the ANSI layout (letters, digits, punctuation) and the named keys.
constexpr std::pair<quint32, Qt::Key> kKeyCodes[] = {
    {0x00, Qt::Key_A},        {0x01, Qt::Key_S},         {0x02, Qt::Key_D},
    {0x03, Qt::Key_F},        {0x04, Qt::Key_H},         {0x05, Qt::Key_G},
    {0x06, Qt::Key_Z},        {0x07, Qt::Key_X},         {0x08, Qt::Key_C},
    {0x09, Qt::Key_V},        {0x0B, Qt::Key_B},         {0x0C, Qt::Key_Q},
    {0x0D, Qt::Key_W},        {0x0E, Qt::Key_E},         {0x0F, Qt::Key_R},
    {0x10, Qt::Key_Y},        {0x11, Qt::Key_T},         {0x12, Qt::Key_1},
    {0x13, Qt::Key_2},        {0x14, Qt::Key_3},         {0x15, Qt::Key_4},
    {0x16, Qt::Key_6},        {0x17, Qt::Key_5},         {0x18, Qt::Key_Equal},
    {0x19, Qt::Key_9},        {0x1A, Qt::Key_7},         {0x1B, Qt::Key_Minus},
    {0x1C, Qt::Key_8},        {0x1D, Qt::Key_0},         {0x1E, Qt::Key_BracketRight},
    {0x1F, Qt::Key_O},        {0x20, Qt::Key_U},         {0x21, Qt::Key_BracketLeft},
    {0x22, Qt::Key_I},        {0x23, Qt::Key_P},         {0x24, Qt::Key_Return},
    {0x25, Qt::Key_L},        {0x26, Qt::Key_J},         {0x27, Qt::Key_Apostrophe},
    {0x28, Qt::Key_K},        {0x29, Qt::Key_Semicolon}, {0x2A, Qt::Key_Backslash},
    {0x2B, Qt::Key_Comma},    {0x2C, Qt::Key_Slash},     {0x2D, Qt::Key_N},
    {0x2E, Qt::Key_M},        {0x2F, Qt::Key_Period},    {0x30, Qt::Key_Tab},
    {0x31, Qt::Key_Space},    {0x32, Qt::Key_QuoteLeft}, {0x33, Qt::Key_Backspace},
    {0x35, Qt::Key_Escape},   {0x41, Qt::Key_Period},    {0x43, Qt::Key_Asterisk},
    {0x45, Qt::Key_Plus},     {0x4B, Qt::Key_Slash},     {0x4C, Qt::Key_Enter},
    {0x4E, Qt::Key_Minus},    {0x60, Qt::Key_F5},        {0x61, Qt::Key_F6},
    {0x62, Qt::Key_F7},       {0x63, Qt::Key_F3},        {0x64, Qt::Key_F8},
    {0x65, Qt::Key_F9},       {0x67, Qt::Key_F11},       {0x69, Qt::Key_F13},
    {0x6A, Qt::Key_F16},      {0x6B, Qt::Key_F14},       {0x6D, Qt::Key_F10},
    {0x6F, Qt::Key_F12},      {0x71, Qt::Key_F15},       {0x72, Qt::Key_Help},
    {0x73, Qt::Key_Home},     {0x74, Qt::Key_PageUp},    {0x75, Qt::Key_Delete},
    {0x76, Qt::Key_F4},       {0x77, Qt::Key_End},       {0x78, Qt::Key_F2},
    {0x79, Qt::Key_PageDown}, {0x7A, Qt::Key_F1},        {0x7B, Qt::Key_Left},
    {0x7C, Qt::Key_Right},    {0x7D, Qt::Key_Down},      {0x7E, Qt::Key_Up},
    {0x40, Qt::Key_F17},      {0x4F, Qt::Key_F18},       {0x50, Qt::Key_F19},
    {0x5A, Qt::Key_F20},      {0x47, Qt::Key_Clear},
};

bool isModifierKey(Qt::Key key)
{
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
        return true;
    default:
        return false;
    }
}
} // namespace

Shortcut::Shortcut(Qt::Key key, Qt::KeyboardModifiers modifiers)
    : m_combination(modifiers & kAllModifiers, key)
{
}

Shortcut::Shortcut(QKeyCombination combination)
    : Shortcut(combination.key(), combination.keyboardModifiers())
{
}

Shortcut::Shortcut(quint32 keyCode, quint32 modifierFlags)
{
    Qt::KeyboardModifiers modifiers;
    if (modifierFlags & kShiftFlag)
        modifiers |= Qt::ShiftModifier;
    if (modifierFlags & kControlFlag)
        modifiers |= Qt::ControlModifier;
    if (modifierFlags & kOptionFlag)
        modifiers |= Qt::AltModifier;
    if (modifierFlags & kCommandFlag)
        modifiers |= Qt::MetaModifier;
    m_combination = QKeyCombination(modifiers, keyForKeyCode(keyCode));
}

Qt::Key Shortcut::keyForKeyCode(quint32 keyCode)
{
    for (const auto& [code, key] : kKeyCodes) {
        if (code == keyCode)
            return key;
    }
    return Qt::Key_unknown;
}

bool Shortcut::isValid() const
{
    const Qt::Key k = key();
    return k != Qt::Key_unknown && k != 0 && !isModifierKey(k) && (modifiers() & kChordModifiers);
}

QString Shortcut::toString() const
{
    if (!isValid())
        return {};
    return QKeySequence(m_combination).toString(QKeySequence::PortableText);
}

QString Shortcut::displayText() const
{
    if (!isValid())
        return {};
    // Qt's Meta is the key the desktop, the README and the man page call Super; it goes last
    // among the modifiers, as in "Ctrl+Alt+Super+L".
    const QKeyCombination others(modifiers() & ~Qt::MetaModifier, key());
    QString text = QKeySequence(others).toString(QKeySequence::NativeText);
    if (modifiers().testFlag(Qt::MetaModifier)) {
        const qsizetype keyLength =
            QKeySequence(QKeyCombination(key())).toString(QKeySequence::NativeText).size();
        text.insert(text.size() - keyLength,
                    QCoreApplication::translate("wl::Shortcut", "Super") + QLatin1Char('+'));
    }
    return text;
}

std::optional<Shortcut> Shortcut::fromString(const QString& text)
{
    const QKeySequence sequence =
        QKeySequence::fromString(text.trimmed(), QKeySequence::PortableText);
    if (sequence.count() != 1)
        return std::nullopt;
    Shortcut shortcut(sequence[0]);
    if (!shortcut.isValid())
        return std::nullopt;
    return shortcut;
}

} // namespace wl
