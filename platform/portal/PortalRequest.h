// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>

class QDBusMessage;

namespace wl::portal {

inline const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");

// A value with any D-Bus variants around it taken off (some answers nest one in another).
QVariant unwrap(QVariant value);

// An object path handed back by the portal; some portals send it as a string.
QString handleText(const QVariant& value);

using ReplyHandler = std::function<void(const QDBusMessage& reply)>;

// Sends a call without waiting: its reply, or its error once timeoutMs have passed, goes to
// onReply, unless context is gone by then.
void callAsync(const QDBusConnection& bus, const QDBusMessage& message, int timeoutMs,
               QObject* context, ReplyHandler onReply);

// The portal's requests of one client. A request call only starts the work; the outcome comes
// later as a Response signal on a request object whose path follows from our bus name and the
// handle_token we chose.
class Requests : public QObject
{
    Q_OBJECT
public:
    using ResponseHandler = std::function<void(uint code, const QVariantMap& results)>;
    using FailureHandler = std::function<void(const QString& error)>;

    explicit Requests(QDBusConnection bus, QObject* parent = nullptr);

    // A token for a handle_token or session_handle_token option, new on each call.
    QString nextToken(const char* prefix);
    // Where the portal puts its object of a kind ("request", "session") named by token.
    QString objectPath(const QString& kind, const QString& token) const;

    // Sends message, whose options name token as the handle_token. The Response goes to
    // onResponse; a call that fails goes to onFailure.
    void send(QDBusMessage message, const QString& token, int timeoutMs, ResponseHandler onResponse,
              FailureHandler onFailure);
    // Stops waiting for every Response still to come.
    void forgetAll();

private Q_SLOTS:
    void onResponse(const QDBusMessage& signal);

private:
    QString senderElement() const;
    void expectResponse(const QString& path, ResponseHandler handler);
    void forgetResponse(const QString& path);

    QDBusConnection m_bus;
    quint64 m_tokens = 0;
    QHash<QString, ResponseHandler> m_responses; // by request object path
};

} // namespace wl::portal
