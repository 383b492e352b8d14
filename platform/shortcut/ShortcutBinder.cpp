// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/shortcut/ShortcutBinder.h"

#include "platform/log/Log.h"
#include "platform/settings/Settings.h"
#include "platform/shortcut/PortalKeyGrabber.h"
#include "platform/shortcut/X11KeyGrabber.h"

#include <QDBusConnection>
#include <QGuiApplication>

namespace wl {

std::unique_ptr<KeyGrabber> ShortcutBinder::sessionKeyGrabber()
{
    // On Wayland only the desktop portal can bind a global shortcut, XWayland included: an X11
    // grab there sees only keys typed into X11 windows. Without the portal it says so. Elsewhere
    // the X11 grabber either works or says it cannot.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")) ||
        X11KeyGrabber::waylandSession())
        return std::make_unique<PortalKeyGrabber>(QDBusConnection::sessionBus());
    return std::make_unique<X11KeyGrabber>();
}

ShortcutBinder& ShortcutBinder::sharedBinder()
{
    static const std::unique_ptr<KeyGrabber> grabber = sessionKeyGrabber();
    static ShortcutBinder binder(Settings::standardUserDefaults(), *grabber);
    return binder;
}

ShortcutBinder::ShortcutBinder(Settings& settings, KeyGrabber& grabber, QObject* parent)
    : QObject(parent), m_settings(settings), m_grabber(grabber)
{
    m_grabber.setPressedHandler([this](const Shortcut& shortcut) { pressed(shortcut); });
    m_grabber.setStatusHandler(
        [this](const Shortcut& shortcut, GrabResult result) { grabOutcome(shortcut, result); });
}

ShortcutBinder::~ShortcutBinder()
{
    m_grabber.setPressedHandler({});
    m_grabber.setStatusHandler({});
    for (const Binding& b : std::as_const(m_bindings)) {
        if (b.bound)
            m_grabber.ungrab(*b.bound);
    }
}

void ShortcutBinder::registerDefaultShortcuts(const QMap<QString, Shortcut>& defaults)
{
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it) {
        m_defaults.insert(it.key(), it.value());
        // Rebinds a bound key, and lets a recorder show the new default.
        defaultsValueChanged(it.key());
    }
}

std::optional<Shortcut> ShortcutBinder::shortcutForKey(const QString& key) const
{
    const std::optional<QString> stored = m_settings.stringForKey(key);
    if (stored) {
        if (stored->isEmpty())
            return std::nullopt; // cleared by the user
        if (std::optional<Shortcut> shortcut = Shortcut::fromString(*stored))
            return shortcut;
        log(QStringLiteral("unreadable shortcut \"%1\" under %2, using the default")
                .arg(*stored, key),
            LogCategory::Shortcut);
    }
    auto it = m_defaults.constFind(key);
    if (it == m_defaults.cend() || !it->isValid())
        return std::nullopt;
    return *it;
}

void ShortcutBinder::bindShortcutWithDefaultsKey(const QString& key, Action action)
{
    Binding& binding = m_bindings[key];
    binding.action = std::move(action);
    rebind(key, shortcutForKey(key));
}

void ShortcutBinder::unbindShortcutWithDefaultsKey(const QString& key)
{
    auto it = m_bindings.find(key);
    if (it == m_bindings.end())
        return;
    const std::optional<Shortcut> bound = it->bound;
    m_bindings.erase(it);
    if (bound)
        release(*bound, key);
}

KeyGrabber::GrabResult ShortcutBinder::storeShortcut(const QString& key,
                                                     const std::optional<Shortcut>& shortcut)
{
    GrabResult result = GrabResult::Ok;
    if (m_bindings.contains(key))
        result = rebind(key, shortcut);
    if (result == GrabResult::Taken)
        return result;
    m_settings.setObject(key, shortcut ? shortcut->toString() : QString(""));
    Q_EMIT shortcutChanged(key);
    return result;
}

void ShortcutBinder::defaultsValueChanged(const QString& key)
{
    if (m_bindings.contains(key))
        rebind(key, shortcutForKey(key));
    Q_EMIT shortcutChanged(key);
}

bool ShortcutBinder::sessionHasGlobalShortcuts() const
{
    return m_grabber.sessionHasGlobalShortcuts();
}

KeyGrabber::GrabResult ShortcutBinder::bindingStatus(const QString& key) const
{
    auto it = m_bindings.constFind(key);
    return it == m_bindings.cend() ? GrabResult::Ok : it->status;
}

bool ShortcutBinder::heldByOtherKey(const Shortcut& shortcut, const QString& exceptKey) const
{
    for (auto it = m_bindings.cbegin(); it != m_bindings.cend(); ++it) {
        if (it.key() != exceptKey && it->bound == shortcut)
            return true;
    }
    return false;
}

void ShortcutBinder::release(const Shortcut& shortcut, const QString& exceptKey)
{
    if (!heldByOtherKey(shortcut, exceptKey))
        m_grabber.ungrab(shortcut);
}

void ShortcutBinder::setStatus(const QString& key, Binding& binding, GrabResult status)
{
    if (binding.status == status)
        return;
    binding.status = status;
    Q_EMIT bindingStatusChanged(key, status);
}

KeyGrabber::GrabResult ShortcutBinder::rebind(const QString& key,
                                              const std::optional<Shortcut>& wanted)
{
    Binding& binding = m_bindings[key];
    if (binding.bound == wanted && wanted) {
        // The chord in effect again: a refused other chord no longer matters, but a grab the
        // desktop turned down later still stands.
        if (binding.status == GrabResult::Taken)
            setStatus(key, binding, GrabResult::Ok);
        return binding.status;
    }
    const std::optional<Shortcut> previous = binding.bound;

    GrabResult result = GrabResult::Ok;
    if (wanted && !heldByOtherKey(*wanted, key))
        result = m_grabber.grab(*wanted);

    if (result == GrabResult::Taken) {
        // Keep whatever works now rather than leave the program without its shortcut.
        log(QStringLiteral("shortcut %1 is taken by another program").arg(wanted->toString()),
            LogCategory::Shortcut);
        setStatus(key, binding, result);
        return result;
    }
    binding.bound = result == GrabResult::Ok ? wanted : std::nullopt;
    if (previous && previous != binding.bound)
        release(*previous, key);
    setStatus(key, binding, result);
    return result;
}

void ShortcutBinder::grabOutcome(const Shortcut& shortcut, GrabResult result)
{
    for (auto it = m_bindings.begin(); it != m_bindings.end(); ++it) {
        if (it->bound == shortcut)
            setStatus(it.key(), *it, result);
    }
}

void ShortcutBinder::pressed(const Shortcut& shortcut)
{
    QList<Action> actions;
    for (const Binding& b : std::as_const(m_bindings)) {
        if (b.bound == shortcut && b.action)
            actions << b.action;
    }
    // Copies: an action may rebind and so change m_bindings.
    for (const Action& action : std::as_const(actions))
        action();
}

} // namespace wl
