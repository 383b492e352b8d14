// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMutex>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <vector>

namespace wl {

struct Notification
{
    QString name;
    const void* object = nullptr; // the poster; observers never filter on it
    QVariantMap userInfo;
};

// Process-wide, synchronous notification center: a post delivers on the posting thread, to
// every observer of that name, before it returns. Observers may post or register from inside
// a delivery. An observer must be removed before what it captures goes away.
class NotificationCenter
{
public:
    using Observer = std::function<void(const Notification&)>;
    using Token = quint64;

    static NotificationCenter& defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // Observes name from any sender.
    Token addObserver(const QString& name, Observer observer);
    void removeObserver(Token token);

    void postNotificationName(const QString& name, const void* object,
                              const QVariantMap& userInfo = {});

private:
    struct Entry
    {
        Token token;
        QString name;
        std::shared_ptr<const Observer> observer;
    };
    QMutex m_mutex;
    std::vector<Entry> m_entries;
    Token m_nextToken = 1;
};

// Removes its observer when it goes: the usual way for an object to observe.
class ObserverRegistration
{
public:
    ObserverRegistration() = default;
    ObserverRegistration(NotificationCenter& center, const QString& name,
                         NotificationCenter::Observer observer);
    ~ObserverRegistration();
    ObserverRegistration(ObserverRegistration&& other) noexcept;
    ObserverRegistration& operator=(ObserverRegistration&& other) noexcept;
    ObserverRegistration(const ObserverRegistration&) = delete;
    ObserverRegistration& operator=(const ObserverRegistration&) = delete;

private:
    NotificationCenter* m_center = nullptr;
    NotificationCenter::Token m_token = 0;
};

} // namespace wl
