// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/shortcut/PortalKeyGrabber.h"

#include "platform/log/Log.h"
#include "platform/portal/PortalRequest.h"
#include "platform/shortcut/KeyNames.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QTimer>

#include <algorithm>

namespace wl::portal {
// One entry of the portal's a(sa{sv}) shortcut lists.
struct ShortcutEntry
{
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const ShortcutEntry& entry)
{
    argument.beginStructure();
    argument << entry.id << entry.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, ShortcutEntry& entry)
{
    argument.beginStructure();
    argument >> entry.id >> entry.properties;
    argument.endStructure();
    return argument;
}
} // namespace wl::portal

Q_DECLARE_METATYPE(wl::portal::ShortcutEntry)

namespace wl {

namespace {
using portal::handleText;
using portal::kPath;
using portal::kService;
using portal::unwrap;

const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kSessionInterface = QStringLiteral("org.freedesktop.portal.Session");
constexpr uint kResponseSuccess = 0;
// The first call may start the portal (bus activation), which takes a while at login.
constexpr int kStartTimeoutMs = 15000;
} // namespace

PortalKeyGrabber::PortalKeyGrabber(QDBusConnection bus, int timeoutMs, QObject* parent)
    : QObject(parent), m_bus(bus), m_timeoutMs(timeoutMs),
      m_requests(new portal::Requests(std::move(bus), this))
{
    qDBusRegisterMetaType<portal::ShortcutEntry>();
    qDBusRegisterMetaType<QList<portal::ShortcutEntry>>();
    if (!m_bus.isConnected()) {
        becomeUnavailable(QStringLiteral("no session bus"));
        return;
    }
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                  SLOT(onActivated(QDBusMessage)));
    // A portal that restarts has forgotten our session: bind again when it is back.
    auto* watcher = new QDBusServiceWatcher(kService, m_bus,
                                            QDBusServiceWatcher::WatchForRegistration |
                                                QDBusServiceWatcher::WatchForUnregistration,
                                            this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { portalGone(); });
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        if (m_availability != Availability::Available)
            registerAndCheck();
    });
    registerAndCheck();
}

void PortalKeyGrabber::registerAndCheck()
{
    // A program outside a sandbox names its desktop entry first, so the desktop can show who
    // asks; portals without the registry answer with an error, which changes nothing.
    const QString appId = QGuiApplication::desktopFileName();
    if (appId.isEmpty()) {
        checkVersion();
        return;
    }
    QDBusMessage registration = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.host.portal.Registry"),
        QStringLiteral("Register"));
    registration << appId << QVariantMap{};
    call(registration, std::max(m_timeoutMs, kStartTimeoutMs),
         [this](const QDBusMessage&) { checkVersion(); });
}

PortalKeyGrabber::~PortalKeyGrabber()
{
    // The portal closes a client's sessions when it leaves the bus; at exit nothing is sent.
    if (QCoreApplication::instance() && m_bus.isConnected())
        closeSession();
}

QString PortalKeyGrabber::triggerFor(const Shortcut& shortcut)
{
    const QString key = keys::xkbName(shortcut.key());
    if (key.isEmpty() || !shortcut.isValid())
        return {};
    QStringList parts;
    const Qt::KeyboardModifiers mods = shortcut.modifiers();
    if (mods & Qt::ControlModifier)
        parts << QStringLiteral("CTRL");
    if (mods & Qt::AltModifier)
        parts << QStringLiteral("ALT");
    if (mods & Qt::ShiftModifier)
        parts << QStringLiteral("SHIFT");
    if (mods & Qt::MetaModifier)
        parts << QStringLiteral("LOGO");
    parts << key;
    return parts.join(u'+');
}

QString PortalKeyGrabber::shortcutId(const Shortcut& shortcut)
{
    return QStringLiteral("wardlatch-") + shortcut.toString();
}

KeyGrabber::GrabResult PortalKeyGrabber::grab(const Shortcut& shortcut)
{
    if (m_availability == Availability::Unavailable || triggerFor(shortcut).isEmpty())
        return GrabResult::Unavailable;
    if (!wanted(shortcut)) {
        m_wanted << shortcut;
        scheduleSync();
    }
    return GrabResult::Ok;
}

void PortalKeyGrabber::ungrab(const Shortcut& shortcut)
{
    if (m_wanted.removeAll(shortcut) > 0)
        scheduleSync();
}

bool PortalKeyGrabber::wanted(const Shortcut& shortcut) const
{
    return m_wanted.contains(shortcut);
}

void PortalKeyGrabber::checkVersion()
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kInterface << QStringLiteral("version");
    const quint64 generation = ++m_generation;
    call(get, std::max(m_timeoutMs, kStartTimeoutMs),
         [this, generation](const QDBusMessage& reply) {
             if (generation != m_generation)
                 return;
             if (reply.type() != QDBusMessage::ReplyMessage) {
                 becomeUnavailable(reply.errorMessage());
                 return;
             }
             bool ok = false;
             const uint version = unwrap(reply.arguments().value(0)).toUInt(&ok);
             if (!ok || version < 1) {
                 becomeUnavailable(QStringLiteral("version %1").arg(version));
                 return;
             }
             m_availability = Availability::Available;
             setNoGlobalShortcuts(false);
             scheduleSync();
         });
}

void PortalKeyGrabber::portalGone()
{
    ++m_generation;
    forgetSession();
    m_requested.clear();
    m_availability = Availability::Checking;
    reportUnavailable(QStringLiteral("the desktop portal left the session bus"));
}

void PortalKeyGrabber::reportUnavailable(const QString& why)
{
    if (m_wanted.isEmpty())
        return;
    log(QStringLiteral("%1: the lock shortcut does not work for now").arg(why),
        LogCategory::Shortcut);
    notifyWanted(GrabResult::Unavailable);
}

void PortalKeyGrabber::notifyWanted(GrabResult result)
{
    const QList<Shortcut> affected = m_wanted; // a handler may rebind
    for (const Shortcut& s : affected)
        notifyStatus(s, result);
}

void PortalKeyGrabber::becomeUnavailable(const QString& why)
{
    m_availability = Availability::Unavailable;
    log(QStringLiteral("the desktop portal offers no global shortcuts (%1)").arg(why),
        LogCategory::Shortcut);
    setNoGlobalShortcuts(true);
    notifyWanted(GrabResult::Unavailable);
}

void PortalKeyGrabber::scheduleSync()
{
    // A rebind is a grab and an ungrab in a row: one new session covers both.
    if (m_syncQueued || !QCoreApplication::instance())
        return;
    m_syncQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_syncQueued = false;
        sync();
    });
}

void PortalKeyGrabber::sync()
{
    if (m_availability != Availability::Available)
        return;
    // Unchanged: bound, on its way, or turned down already.
    if (m_wanted == m_requested)
        return;
    ++m_generation;
    closeSession();
    m_requested = m_wanted;
    if (!m_requested.isEmpty())
        createSession(m_generation);
}

void PortalKeyGrabber::forgetSession()
{
    m_requests->forgetAll();
    m_bound.clear();
    if (!m_session.isEmpty())
        m_bus.disconnect(kService, m_session, kSessionInterface, QStringLiteral("Closed"), this,
                         SLOT(onSessionClosed(QDBusMessage)));
    m_session.clear();
}

void PortalKeyGrabber::closeSession()
{
    const QString session = m_session;
    forgetSession();
    m_requested.clear();
    if (session.isEmpty())
        return;
    call(QDBusMessage::createMethodCall(kService, session, kSessionInterface,
                                        QStringLiteral("Close")),
         m_timeoutMs, [](const QDBusMessage&) {});
}

void PortalKeyGrabber::onSessionClosed(const QDBusMessage& signal)
{
    if (m_session.isEmpty() || signal.path() != m_session)
        return;
    ++m_generation;
    forgetSession(); // m_requested stays: the same set is not asked for again at once
    reportUnavailable(QStringLiteral("the desktop closed the shortcut session"));
}

void PortalKeyGrabber::call(QDBusMessage message, int timeoutMs, ReplyHandler onReply)
{
    portal::callAsync(m_bus, message, timeoutMs, this, std::move(onReply));
}

void PortalKeyGrabber::request(QDBusMessage message, const QString& token, quint64 generation,
                               const QString& what, ResultsHandler onSuccess)
{
    m_requests->send(
        std::move(message), token, m_timeoutMs,
        [this, generation, what, onSuccess = std::move(onSuccess)](uint code,
                                                                   const QVariantMap& results) {
            if (generation != m_generation)
                return;
            if (code != kResponseSuccess)
                failed(generation, QStringLiteral("%1 (response %2)").arg(what).arg(code));
            else
                onSuccess(results);
        },
        [this, generation](const QString& error) { failed(generation, error); });
}

void PortalKeyGrabber::createSession(quint64 generation)
{
    const QString token = m_requests->nextToken("r");
    const QString sessionToken = m_requests->nextToken("s");
    const QString predictedSession =
        m_requests->objectPath(QStringLiteral("session"), sessionToken);
    QDBusMessage create = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                         QStringLiteral("CreateSession"));
    create << QVariantMap{{QStringLiteral("handle_token"), token},
                          {QStringLiteral("session_handle_token"), sessionToken}};
    request(create, token, generation, QStringLiteral("no session"),
            [this, generation, predictedSession](const QVariantMap& results) {
                m_session = handleText(results.value(QStringLiteral("session_handle")));
                if (m_session.isEmpty())
                    m_session = predictedSession;
                m_bus.connect(kService, m_session, kSessionInterface, QStringLiteral("Closed"),
                              this, SLOT(onSessionClosed(QDBusMessage)));
                bindShortcuts(generation);
            });
}

void PortalKeyGrabber::bindShortcuts(quint64 generation)
{
    QList<portal::ShortcutEntry> entries;
    for (const Shortcut& s : std::as_const(m_requested)) {
        entries << portal::ShortcutEntry{
            shortcutId(s),
            {{QStringLiteral("description"), tr("Lock the screen (%1)").arg(s.displayText())},
             {QStringLiteral("preferred_trigger"), triggerFor(s)}}};
    }
    const QString token = m_requests->nextToken("r");
    QDBusMessage bind = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                       QStringLiteral("BindShortcuts"));
    bind << QVariant::fromValue(QDBusObjectPath(m_session)) << QVariant::fromValue(entries)
         << QString() << QVariantMap{{QStringLiteral("handle_token"), token}};
    request(
        bind, token, generation, QStringLiteral("the desktop did not bind it"),
        [this](const QVariantMap& results) {
            const auto bound = qdbus_cast<QList<portal::ShortcutEntry>>(
                results.value(QStringLiteral("shortcuts")));
            for (const portal::ShortcutEntry& entry : bound) {
                log(QStringLiteral("shortcut %1 bound by the desktop as \"%2\"")
                        .arg(entry.id, entry.properties.value(QStringLiteral("trigger_description"))
                                           .toString()),
                    LogCategory::Shortcut);
            }
            m_bound = m_requested;
            const QList<Shortcut> done = m_bound; // a handler may rebind
            for (const Shortcut& s : done)
                notifyStatus(s, GrabResult::Ok);
        });
}

void PortalKeyGrabber::failed(quint64 generation, const QString& why)
{
    if (generation != m_generation)
        return;
    log(QStringLiteral("the desktop portal could not bind the lock shortcut: %1").arg(why),
        LogCategory::Shortcut);
    const QList<Shortcut> affected = m_requested;
    closeSession();
    // Keep them requested so that an unchanged set is not asked for again and again.
    m_requested = affected;
    for (const Shortcut& s : affected)
        notifyStatus(s, GrabResult::Unavailable);
}

void PortalKeyGrabber::onActivated(const QDBusMessage& signal)
{
    const QVariantList args = signal.arguments();
    if (args.size() < 2 || m_session.isEmpty() || handleText(args[0]) != m_session)
        return;
    const QString id = args[1].toString();
    for (const Shortcut& s : std::as_const(m_bound)) {
        if (shortcutId(s) == id) {
            notifyPressed(s);
            return;
        }
    }
}

} // namespace wl
