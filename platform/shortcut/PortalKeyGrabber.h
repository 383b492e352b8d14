// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/shortcut/KeyGrabber.h"

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QVariantMap>

#include <functional>

class QDBusMessage;

namespace wl {
namespace portal {
class Requests;
}

// Binds chords through the desktop portal's global shortcuts, where the compositor (Wayland)
// lets no client grab keys. All chords wanted live in one portal session; any change opens a
// new session and binds the whole set again, the recorded chord as the preferred trigger. The
// desktop may ask the user or pick another trigger, so a grab answers Ok at once and the
// outcome follows through the status handler. No call waits: each has a short timeout, and
// the portal's answers come as Response signals on request objects.
class PortalKeyGrabber : public QObject, public KeyGrabber
{
    Q_OBJECT
public:
    explicit PortalKeyGrabber(QDBusConnection bus, int timeoutMs = 2000, QObject* parent = nullptr);
    ~PortalKeyGrabber() override;

    GrabResult grab(const Shortcut& shortcut) override;
    void ungrab(const Shortcut& shortcut) override;

    // The portal's trigger text of a chord ("CTRL+ALT+LOGO+l"), empty when it has none.
    static QString triggerFor(const Shortcut& shortcut);
    // The id a chord is bound under in the portal session.
    static QString shortcutId(const Shortcut& shortcut);

    // The session holding the bound chords; empty while none is bound.
    QString sessionHandle() const { return m_session; }
    QList<Shortcut> boundShortcuts() const { return m_bound; }

private Q_SLOTS:
    void onActivated(const QDBusMessage& signal);
    void onSessionClosed(const QDBusMessage& signal);

private:
    enum class Availability
    {
        Checking,
        Available,
        Unavailable,
    };
    using ReplyHandler = std::function<void(const QDBusMessage& reply)>;
    using ResultsHandler = std::function<void(const QVariantMap& results)>;

    void registerAndCheck();
    void checkVersion();
    void becomeUnavailable(const QString& why);
    void portalGone();
    void reportUnavailable(const QString& why);
    void notifyWanted(GrabResult result);
    void forgetSession();
    void scheduleSync();
    void sync();
    void closeSession();
    void createSession(quint64 generation);
    void bindShortcuts(quint64 generation);
    void failed(quint64 generation, const QString& why);
    // A portal request: answered by a Response on the request object named by token.
    void request(QDBusMessage message, const QString& token, quint64 generation,
                 const QString& what, ResultsHandler onSuccess);
    void call(QDBusMessage message, int timeoutMs, ReplyHandler onReply);
    bool wanted(const Shortcut& shortcut) const;

    QDBusConnection m_bus;
    int m_timeoutMs;
    Availability m_availability = Availability::Checking;
    QList<Shortcut> m_wanted;
    QList<Shortcut> m_requested; // the set the current session is binding
    QList<Shortcut> m_bound;
    QString m_session;
    quint64 m_generation = 0; // answers for an older generation are stale
    bool m_syncQueued = false;
    portal::Requests* m_requests; // ours, as a child
};

} // namespace wl
