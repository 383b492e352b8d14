// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/events/NotificationCenter.h"

#include <algorithm>

namespace wl {

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const QString& name, Observer observer)
{
    QMutexLocker lock(&m_mutex);
    const Token token = m_nextToken++;
    m_entries.push_back({token, name, std::make_shared<const Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(Token token)
{
    QMutexLocker lock(&m_mutex);
    std::erase_if(m_entries, [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::postNotificationName(const QString& name, const void* object,
                                              const QVariantMap& userInfo)
{
    // Deliver outside the lock, so observers can post, observe or stop observing.
    std::vector<std::shared_ptr<const Observer>> targets;
    {
        QMutexLocker lock(&m_mutex);
        for (const Entry& e : m_entries) {
            if (e.name == name)
                targets.push_back(e.observer);
        }
    }
    const Notification notification{name, object, userInfo};
    for (const auto& observer : targets)
        (*observer)(notification);
}

ObserverRegistration::ObserverRegistration(NotificationCenter& center, const QString& name,
                                           NotificationCenter::Observer observer)
    : m_center(&center), m_token(center.addObserver(name, std::move(observer)))
{
}

ObserverRegistration::~ObserverRegistration()
{
    if (m_center)
        m_center->removeObserver(m_token);
}

ObserverRegistration::ObserverRegistration(ObserverRegistration&& other) noexcept
    : m_center(std::exchange(other.m_center, nullptr)), m_token(other.m_token)
{
}

ObserverRegistration& ObserverRegistration::operator=(ObserverRegistration&& other) noexcept
{
    if (this != &other) {
        if (m_center)
            m_center->removeObserver(m_token);
        m_center = std::exchange(other.m_center, nullptr);
        m_token = other.m_token;
    }
    return *this;
}

} // namespace wl
