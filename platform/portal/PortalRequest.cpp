// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/portal/PortalRequest.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

namespace wl::portal {

namespace {
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");
} // namespace

QVariant unwrap(QVariant value)
{
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

QString handleText(const QVariant& value)
{
    const QVariant plain = unwrap(value);
    if (plain.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return qvariant_cast<QDBusObjectPath>(plain).path();
    return plain.toString();
}

void callAsync(const QDBusConnection& bus, const QDBusMessage& message, int timeoutMs,
               QObject* context, ReplyHandler onReply)
{
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, timeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [onReply = std::move(onReply)](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         onReply(finished->reply());
                     });
}

Requests::Requests(QDBusConnection bus, QObject* parent) : QObject(parent), m_bus(std::move(bus)) {}

QString Requests::nextToken(const char* prefix)
{
    return QStringLiteral("wardlatch_%1%2").arg(QLatin1String(prefix)).arg(++m_tokens);
}

QString Requests::senderElement() const
{
    QString sender = m_bus.baseService();
    sender.remove(0, sender.startsWith(u':') ? 1 : 0);
    sender.replace(u'.', u'_');
    return sender;
}

QString Requests::objectPath(const QString& kind, const QString& token) const
{
    return QStringLiteral("%1/%2/%3/%4").arg(kPath, kind, senderElement(), token);
}

void Requests::send(QDBusMessage message, const QString& token, int timeoutMs,
                    ResponseHandler onResponse, FailureHandler onFailure)
{
    const QString predicted = objectPath(QStringLiteral("request"), token);
    // Subscribed before the call: the answer may come before the reply does.
    expectResponse(predicted, onResponse);
    callAsync(
        m_bus, message, timeoutMs, this,
        [this, predicted, onResponse, onFailure = std::move(onFailure)](const QDBusMessage& reply) {
            if (reply.type() != QDBusMessage::ReplyMessage) {
                onFailure(reply.errorMessage());
                return;
            }
            // Older portals put the request elsewhere than predicted.
            const QString actual = handleText(reply.arguments().value(0));
            if (!actual.isEmpty() && actual != predicted && m_responses.contains(predicted)) {
                forgetResponse(predicted);
                expectResponse(actual, onResponse);
            }
        });
}

void Requests::forgetAll()
{
    const QStringList stale = m_responses.keys();
    for (const QString& path : stale)
        forgetResponse(path);
}

void Requests::expectResponse(const QString& path, ResponseHandler handler)
{
    m_responses.insert(path, std::move(handler));
    m_bus.connect(kService, path, kRequestInterface, QStringLiteral("Response"), this,
                  SLOT(onResponse(QDBusMessage)));
}

void Requests::forgetResponse(const QString& path)
{
    if (m_responses.remove(path) > 0)
        m_bus.disconnect(kService, path, kRequestInterface, QStringLiteral("Response"), this,
                         SLOT(onResponse(QDBusMessage)));
}

void Requests::onResponse(const QDBusMessage& signal)
{
    const QString path = signal.path();
    auto it = m_responses.find(path);
    if (it == m_responses.end())
        return;
    const ResponseHandler handler = std::move(*it);
    forgetResponse(path);
    const QVariantList args = signal.arguments();
    const QVariantMap results = qdbus_cast<QVariantMap>(args.value(1));
    handler(args.value(0).toUInt(), results);
}

} // namespace wl::portal
