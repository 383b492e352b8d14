// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/shortcut/KeyGrabber.h"
#include "platform/shortcut/Shortcut.h"

#include <QMap>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace wl {

class Settings;

// Binds actions to the shortcuts stored in the settings store. A key that holds no value uses
// its registered default; a key that holds "" has no shortcut. Values are written through
// storeShortcut (the recorder does), which rebinds at once. Main thread only.
class ShortcutBinder : public QObject
{
    Q_OBJECT
public:
    using Action = std::function<void()>;
    using GrabResult = KeyGrabber::GrabResult;

    // The program's binder, on the standard settings store and the session's key grabber.
    // First use must come after the application object exists.
    static ShortcutBinder& sharedBinder();
    // The grabber that can bind shortcuts in this session: the desktop portal on Wayland (Qt on
    // XWayland included), X11 elsewhere.
    static std::unique_ptr<KeyGrabber> sessionKeyGrabber();

    // The grabber must outlive the binder.
    ShortcutBinder(Settings& settings, KeyGrabber& grabber, QObject* parent = nullptr);
    ~ShortcutBinder() override;

    // Defaults live in memory only.
    void registerDefaultShortcuts(const QMap<QString, Shortcut>& defaults);

    // Runs action on every press of the shortcut stored under key, rebinding whenever that
    // value changes. Binding a key again replaces its action.
    void bindShortcutWithDefaultsKey(const QString& key, Action action);
    void unbindShortcutWithDefaultsKey(const QString& key);

    // The shortcut in effect for key: the stored one, else the default; no value when cleared.
    std::optional<Shortcut> shortcutForKey(const QString& key) const;

    // Stores a new value for key (no value clears it) and rebinds. A chord another program holds
    // is neither stored nor bound: the previous shortcut stays in effect.
    GrabResult storeShortcut(const QString& key, const std::optional<Shortcut>& shortcut);

    // For writers that bypass storeShortcut.
    void defaultsValueChanged(const QString& key);

    // Outcome of the last grab for key; Ok while nothing is bound.
    GrabResult bindingStatus(const QString& key) const;
    // False while no chord at all can work in this session (see KeyGrabber).
    bool sessionHasGlobalShortcuts() const;

Q_SIGNALS:
    void shortcutChanged(const QString& key);
    void bindingStatusChanged(const QString& key, wl::KeyGrabber::GrabResult result);

private:
    struct Binding
    {
        Action action;
        std::optional<Shortcut> bound;
        GrabResult status = GrabResult::Ok;
    };

    GrabResult rebind(const QString& key, const std::optional<Shortcut>& wanted);
    void release(const Shortcut& shortcut, const QString& exceptKey);
    bool heldByOtherKey(const Shortcut& shortcut, const QString& exceptKey) const;
    void setStatus(const QString& key, Binding& binding, GrabResult status);
    void grabOutcome(const Shortcut& shortcut, GrabResult result);
    void pressed(const Shortcut& shortcut);

    Settings& m_settings;
    KeyGrabber& m_grabber;
    QMap<QString, Shortcut> m_defaults;
    QMap<QString, Binding> m_bindings;
};

} // namespace wl
