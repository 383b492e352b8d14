// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/shortcut/X11KeyGrabber.h"

#include "platform/log/Log.h"
#include "platform/shortcut/KeyNames.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <memory>

namespace wl {

namespace {
constexpr std::uint16_t kNumLockMask = XCB_MOD_MASK_2;
constexpr std::uint16_t kIgnoredMasks[] = {0, XCB_MOD_MASK_LOCK, kNumLockMask,
                                           XCB_MOD_MASK_LOCK | kNumLockMask};
constexpr std::uint16_t kChordMask =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
constexpr std::uint8_t kBadAccess = 10;
// Longer than any autorepeat delay a desktop offers.
constexpr std::uint32_t kRepeatWindowMs = 1500;

xcb_connection_t* applicationConnection()
{
    auto* app = qGuiApp;
    if (!app)
        return nullptr;
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

struct FreeDeleter
{
    void operator()(void* p) const { std::free(p); }
};
} // namespace

X11KeyGrabber::X11KeyGrabber() : m_connection(applicationConnection())
{
    if (m_connection && waylandSession()) {
        // XWayland: a grab is granted, but only keys typed into X11 windows ever reach it, so
        // the chord would look bound and not lock. No grab is better than that.
        log(QStringLiteral("running on XWayland: an X11 key grab sees only keys typed into X11 "
                           "windows"),
            LogCategory::Shortcut);
        m_connection = nullptr;
    } else if (!m_connection) {
        log(QStringLiteral("no X11 connection"), LogCategory::Shortcut);
    }
    if (!m_connection) {
        setNoGlobalShortcuts(true);
        return;
    }
    m_keySymbols = xcb_key_symbols_alloc(m_connection);
    m_roots = queryRoots();
    qGuiApp->installNativeEventFilter(this);
}

bool X11KeyGrabber::applicationHasConnection()
{
    return applicationConnection() != nullptr;
}

bool X11KeyGrabber::waylandSession()
{
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

X11KeyGrabber::~X11KeyGrabber()
{
    // At process exit the application, and with it the connection, may already be gone; the
    // server drops a client's grabs when it disconnects.
    if (m_connection && connectionStillOurs()) {
        for (const Grab& g : std::as_const(m_grabs))
            ungrabKeycode(g.keycode, g.modifiers, false);
        xcb_flush(m_connection);
    }
    if (m_keySymbols)
        xcb_key_symbols_free(m_keySymbols);
}

bool X11KeyGrabber::connectionStillOurs() const
{
    return applicationConnection() == m_connection;
}

QList<std::uint32_t> X11KeyGrabber::queryRoots() const
{
    QList<std::uint32_t> result;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(m_connection)); it.rem;
         xcb_screen_next(&it))
        result << it.data->root;
    return result;
}

std::uint32_t X11KeyGrabber::keysymForKey(Qt::Key key)
{
    return keys::keysym(key);
}

std::uint16_t X11KeyGrabber::modifierMaskFor(Qt::KeyboardModifiers modifiers)
{
    std::uint16_t mask = 0;
    if (modifiers & Qt::ShiftModifier)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & Qt::ControlModifier)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & Qt::AltModifier)
        mask |= XCB_MOD_MASK_1;
    if (modifiers & Qt::MetaModifier)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

KeyGrabber::GrabResult X11KeyGrabber::grab(const Shortcut& shortcut)
{
    if (!m_connection || !shortcut.isValid())
        return GrabResult::Unavailable;
    for (const Grab& g : std::as_const(m_grabs)) {
        if (g.shortcut == shortcut)
            return GrabResult::Ok;
    }
    const std::uint32_t keysym = keysymForKey(shortcut.key());
    std::unique_ptr<xcb_keycode_t, FreeDeleter> keycodes(
        keysym ? xcb_key_symbols_get_keycode(m_keySymbols, keysym) : nullptr);
    if (!keycodes || keycodes.get()[0] == XCB_NO_SYMBOL)
        return GrabResult::Unavailable;
    const std::uint8_t keycode = keycodes.get()[0];
    const std::uint16_t modifiers = modifierMaskFor(shortcut.modifiers());

    struct Request
    {
        std::uint32_t root;
        std::uint16_t modifiers;
        xcb_void_cookie_t cookie;
    };
    QList<Request> requests;
    for (std::uint32_t root : std::as_const(m_roots)) {
        for (std::uint16_t extra : kIgnoredMasks) {
            requests << Request{root, std::uint16_t(modifiers | extra),
                                // Not owner events: presses always come to the root window,
                                // even while one of our windows has the focus.
                                xcb_grab_key_checked(m_connection, 0, root, modifiers | extra,
                                                     keycode, XCB_GRAB_MODE_ASYNC,
                                                     XCB_GRAB_MODE_ASYNC)};
        }
    }
    bool taken = false;
    bool failed = false;
    QList<Request> granted;
    for (const Request& r : std::as_const(requests)) {
        std::unique_ptr<xcb_generic_error_t, FreeDeleter> error(
            xcb_request_check(m_connection, r.cookie));
        if (!error)
            granted << r;
        else if (error->error_code == kBadAccess)
            taken = true;
        else
            failed = true;
    }
    if (taken || failed) {
        // Half a chord would work only with some lock keys on: give back what was granted.
        QList<xcb_void_cookie_t> ungrabs;
        for (const Request& r : std::as_const(granted))
            ungrabs << xcb_ungrab_key_checked(m_connection, keycode, r.root, r.modifiers);
        for (xcb_void_cookie_t c : std::as_const(ungrabs))
            std::free(xcb_request_check(m_connection, c));
        return taken ? GrabResult::Taken : GrabResult::Unavailable;
    }
    m_grabs << Grab{shortcut, keycode, modifiers};
    return GrabResult::Ok;
}

void X11KeyGrabber::ungrabKeycode(std::uint8_t keycode, std::uint16_t modifiers, bool waitForServer)
{
    QList<xcb_void_cookie_t> cookies;
    for (std::uint32_t root : std::as_const(m_roots)) {
        for (std::uint16_t extra : kIgnoredMasks)
            cookies << xcb_ungrab_key_checked(m_connection, keycode, root, modifiers | extra);
    }
    for (xcb_void_cookie_t c : std::as_const(cookies)) {
        if (waitForServer)
            std::free(xcb_request_check(m_connection, c));
        else
            xcb_discard_reply(m_connection, c.sequence);
    }
}

void X11KeyGrabber::ungrab(const Shortcut& shortcut)
{
    for (qsizetype i = 0; i < m_grabs.size(); ++i) {
        if (m_grabs[i].shortcut == shortcut) {
            if (connectionStillOurs())
                ungrabKeycode(m_grabs[i].keycode, m_grabs[i].modifiers, true);
            m_grabs.removeAt(i);
            return;
        }
    }
}

bool X11KeyGrabber::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t" || m_grabs.isEmpty())
        return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    const std::uint8_t type = event->response_type & ~0x80;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
        return false;
    // Press and release events share one layout.
    auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
    // Only the passive grab reports on a root window; while one of our windows holds the
    // keyboard (the recorder), the chord is plain typing for that window. A release is noted
    // wherever it arrives, so a chord released into our own window is not thought held.
    const bool onRoot = m_roots.contains(key->event);
    for (Grab& g : m_grabs) {
        if (g.keycode != key->detail)
            continue;
        if (type == XCB_KEY_RELEASE) {
            if (!g.held)
                continue;
            g.held = false;
            g.releaseTime = key->time;
            return onRoot;
        }
        if (!onRoot || (key->state & kChordMask) != g.modifiers)
            continue;
        ++m_rawPresses;
        // Autorepeat is either a press while held, or a release and a press with one timestamp.
        // A release that went to another program's grab is never seen, so "held" only holds
        // for as long as presses keep coming at autorepeat pace.
        const bool heldRepeat = g.held && std::uint32_t(key->time - g.pressTime) < kRepeatWindowMs;
        const bool pairedRepeat = g.releaseTime != 0 && g.releaseTime == key->time;
        g.held = true;
        g.pressTime = key->time;
        if (!heldRepeat && !pairedRepeat) {
            const Shortcut pressed = g.shortcut; // the handler may ungrab and reshape m_grabs
            notifyPressed(pressed);
        }
        return true;
    }
    return false;
}

} // namespace wl
