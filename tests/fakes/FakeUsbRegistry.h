// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/usb/UsbRegistrations.h"
#include "platform/usb/UsbRegistry.h"

#include <QObject>

#include <algorithm>
#include <cstring>
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
    int addCalls = 0;
    int releases = 0;
    std::optional<UsbMatch> lastMatch;

    std::optional<QList<UsbDevice>> attachedDevices() override
    {
        if (queryFails)
            return std::nullopt;
        return attached;
    }

    AddResult addMatchingNotification(const char* type, const UsbMatch& match, Callback callback,
                                      void* context, Handle* handle) override
    {
        ++addCalls;
        lastMatch = match;
        *handle = 0;
        if (addResult != AddResult::Added)
            return addResult;
        if (std::strcmp(type, kUsbTerminateNotification) != 0)
            return AddResult::Refused;
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
    void release(Handle handle) override
    {
        if (m_registrations.isValid(handle))
            ++releases;
        m_registrations.release(handle);
    }

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
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_presenceObserver)
                    m_presenceObserver();
            },
            Qt::QueuedConnection);
    }

    // Removes the device at path and reports it.
    void unplug(const QString& path)
    {
        QList<UsbDevice> gone;
        for (qsizetype i = attached.size() - 1; i >= 0; --i) {
            if (attached[i].path == path)
                gone.append(attached.takeAt(i));
        }
        terminate(gone);
    }

    // One delivery per matching registration, carrying every matching device of the batch.
    void terminate(const QList<UsbDevice>& devices)
    {
        QMetaObject::invokeMethod(
            this,
            [this, devices] {
                for (const auto& [handle, match] : m_registrations.all()) {
                    QList<UsbDevice> matching;
                    for (const UsbDevice& d : devices) {
                        if (match.matches(d.vendorId, d.productId))
                            matching.append(d);
                    }
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

inline UsbDevice usbDevice(const QString& name, qint32 vendor, qint32 product, const QString& path,
                           qint32 deviceClass = 0)
{
    return UsbDevice{deviceClass, name, vendor, product, path};
}

} // namespace wl::test
