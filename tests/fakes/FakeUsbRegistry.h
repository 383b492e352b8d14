// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/usb/UsbRegistrations.h"
#include "platform/usb/UsbRegistry.h"

#include <QObject>

#include <algorithm>
#include <functional>

namespace wl::test {

// In-memory USB registry. Devices are listed in the order of `attached`; unplugging delivers
// to matching registrations from the event loop, as the real registry does.
class FakeUsbRegistry : public QObject, public UsbRegistry
{
public:
    QList<UsbDevice> attached;
    bool queryFails = false;
    AddResult addResult = AddResult::Added; // what the next registrations get

    std::optional<QList<UsbDevice>> attachedDevices() override
    {
        return queryFails ? std::nullopt : std::optional(attached);
    }
    AddResult addMatchingNotification(const char*, const UsbMatch& match, Callback callback,
                                      void* context, Handle* handle) override
    {
        *handle = 0;
        if (addResult != AddResult::Added)
            return addResult;
        *handle = m_registrations.add(match, callback, context);
        return AddResult::Added;
    }
    std::optional<UsbDevice> iteratorNext(Handle iterator) override
    {
        return m_registrations.next(iterator);
    }
    bool iteratorIsValid(Handle iterator) const override
    {
        return m_registrations.isValid(iterator);
    }
    void release(Handle handle) override { m_registrations.release(handle); }
    size_t registrationCount() const { return m_registrations.size(); }
    std::optional<int> attachedMatching(Handle handle) const override
    {
        const std::optional<UsbMatch> match = m_registrations.match(handle);
        if (!match)
            return std::nullopt;
        return int(std::count_if(attached.cbegin(), attached.cend(), [&](const UsbDevice& d) {
            return match->matches(d.vendorId, d.productId);
        }));
    }
    void setPresenceObserver(std::function<void()> observer) override
    {
        m_presenceObserver = std::move(observer);
    }

    void plug(const UsbDevice& device)
    {
        attached.append(device);
        terminate({});
    }
    // Removes the devices at path and reports them.
    void unplug(const QString& path)
    {
        QList<UsbDevice> removed;
        attached.removeIf(
            [&](const UsbDevice& d) { return d.path == path && (removed << d, true); });
        terminate(removed);
    }
    // One delivery per matching registration, carrying every matching device of the batch;
    // then the presence observer hears of it.
    void terminate(const QList<UsbDevice>& devices)
    {
        QMetaObject::invokeMethod(
            this,
            [this, devices] {
                for (const auto& [handle, match] : m_registrations.all()) {
                    QList<UsbDevice> matching;
                    std::copy_if(
                        devices.cbegin(), devices.cend(), std::back_inserter(matching),
                        [&](const UsbDevice& d) { return match.matches(d.vendorId, d.productId); });
                    m_registrations.deliver(handle, matching);
                }
                if (m_presenceObserver)
                    m_presenceObserver();
            },
            Qt::QueuedConnection);
    }

private:
    UsbRegistrations m_registrations;
    std::function<void()> m_presenceObserver;
};

} // namespace wl::test
