// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/shortcut/KeyNames.h"

namespace wl::keys {

namespace {
struct KeyName
{
    Qt::Key key;
    std::uint32_t keysym; // 0: the X11 grabber does not take it
    const char* xkbName;  // null: the portal is not asked for it
};

// Keys beyond the letters, digits and function keys, which follow from their codes.
constexpr KeyName kKeys[] = {
    {Qt::Key_Space, 0x0020, "space"},
    {Qt::Key_Minus, 0x002d, "minus"},
    {Qt::Key_Equal, 0x003d, "equal"},
    {Qt::Key_Comma, 0x002c, "comma"},
    {Qt::Key_Period, 0x002e, "period"},
    {Qt::Key_Slash, 0x002f, "slash"},
    {Qt::Key_Semicolon, 0x003b, "semicolon"},
    {Qt::Key_Apostrophe, 0x0027, "apostrophe"},
    {Qt::Key_BracketLeft, 0x005b, "bracketleft"},
    {Qt::Key_BracketRight, 0x005d, "bracketright"},
    {Qt::Key_Backslash, 0x005c, "backslash"},
    {Qt::Key_QuoteLeft, 0x0060, "grave"},
    {Qt::Key_Return, 0xff0d, "Return"},
    {Qt::Key_Enter, 0xff8d, "KP_Enter"},
    {Qt::Key_Tab, 0xff09, "Tab"},
    {Qt::Key_Backspace, 0xff08, "BackSpace"},
    {Qt::Key_Delete, 0xffff, "Delete"},
    {Qt::Key_Insert, 0xff63, "Insert"},
    {Qt::Key_Home, 0xff50, "Home"},
    {Qt::Key_End, 0xff57, "End"},
    {Qt::Key_PageUp, 0xff55, "Page_Up"},
    {Qt::Key_PageDown, 0xff56, "Page_Down"},
    {Qt::Key_Left, 0xff51, "Left"},
    {Qt::Key_Right, 0xff53, "Right"},
    {Qt::Key_Up, 0xff52, "Up"},
    {Qt::Key_Down, 0xff54, "Down"},
    {Qt::Key_Escape, 0xff1b, "Escape"},
    {Qt::Key_Print, 0xff61, "Print"},
    {Qt::Key_Pause, 0xff13, "Pause"},
    {Qt::Key_ScrollLock, 0, "Scroll_Lock"},
    {Qt::Key_Menu, 0, "Menu"},
    {Qt::Key_Help, 0xff6a, nullptr},
    {Qt::Key_Clear, 0xff0b, nullptr},
};

const KeyName* find(Qt::Key key)
{
    for (const KeyName& k : kKeys) {
        if (k.key == key)
            return &k;
    }
    return nullptr;
}
} // namespace

std::uint32_t keysym(Qt::Key key)
{
    const int k = int(key);
    if (k >= Qt::Key_A && k <= Qt::Key_Z)
        return std::uint32_t(k - Qt::Key_A + 'a');
    if (k >= Qt::Key_F1 && k <= Qt::Key_F35)
        return std::uint32_t(0xffbe + (k - Qt::Key_F1));
    if (const KeyName* named = find(key))
        return named->keysym;
    if (k >= 0x20 && k <= 0x7e)
        return std::uint32_t(k); // Latin-1 keysyms are their character codes
    return 0;
}

QString xkbName(Qt::Key key)
{
    const int k = int(key);
    if (k >= Qt::Key_A && k <= Qt::Key_Z)
        return QString(QChar(u'a' + (k - Qt::Key_A)));
    if (k >= Qt::Key_0 && k <= Qt::Key_9)
        return QString(QChar(u'0' + (k - Qt::Key_0)));
    if (k >= Qt::Key_F1 && k <= Qt::Key_F35)
        return QStringLiteral("F%1").arg(k - Qt::Key_F1 + 1);
    const KeyName* named = find(key);
    return named && named->xkbName ? QString::fromLatin1(named->xkbName) : QString();
}

} // namespace wl::keys
