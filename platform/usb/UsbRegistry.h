// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace wl {

// One attached USB device, as the registry reports it.
struct UsbDevice
{
    qint32 deviceClass = 0;
    QString name; // decoded from UTF-8; invalid bytes become U+FFFD, the same way every time
    qint32 vendorId = 0;
    qint32 productId = 0;
    QString path; // where the registry keeps it; tells two devices of one kind apart
};

// Which devices a removal registration is about: the vendor number and the low 16 bits of the
// product number.
struct UsbMatch
{
    qint64 vendorId = 0;
    qint16 productId = 0;

    bool matches(qint64 vendor, qint64 product) const
    {
        return vendor == vendorId && quint16(product) == quint16(productId);
    }
};

// The only notification type the registry offers: a device went away.
inline constexpr char kUsbTerminateNotification[] = "IOServiceTerminate";

// The USB device layer: lists attached devices and reports the termination of devices that
// match a registration. Everything runs on the thread that created the registry (the main
// thread); deliveries come from its event loop.
class UsbRegistry
{
public:
    // A registration, which is also the iterator over the devices it reports. 0: none.
    using Handle = quint32;
    // Called from the event loop when matching devices went away and the registration's
    // iterator had been emptied. The registration delivers again only once the callback (or
    // anyone) has emptied the iterator with iteratorNext.
    using Callback = void (*)(void* context, Handle iterator);

    enum class AddResult
    {
        Added,
        NoMatching, // the criteria cannot be expressed (no device database, numbers out of range)
        Refused,    // the registry could not watch (unknown type, no event source)
    };

    virtual ~UsbRegistry() = default;

    // The attached devices in a stable order, or nothing when the query failed.
    virtual std::optional<QList<UsbDevice>> attachedDevices() = 0;

    // A new registration starts with an iterator that must be emptied before it delivers.
    virtual AddResult addMatchingNotification(const char* type, const UsbMatch& match,
                                              Callback callback, void* context, Handle* handle) = 0;
    // The next reported device, or nothing once the iterator is empty (which re-arms it).
    virtual std::optional<UsbDevice> iteratorNext(Handle iterator) = 0;
    virtual bool iteratorIsValid(Handle iterator) const = 0;
    // Cancels the registration; its callback is never called again.
    virtual void release(Handle handle) = 0;

    // Called from the event loop after a device matching a registration was attached or went
    // away (or the attached devices were rescanned), so that who shows whether the key device is
    // there can look again.
    virtual void setPresenceObserver(std::function<void()> observer) = 0;
    // How many devices matching the registration are attached, as the registry's own events
    // tell it (a listing made while a removal is handled may still show the device); nothing
    // for an unknown registration.
    virtual std::optional<int> attachedMatching(Handle handle) const = 0;
};

} // namespace wl
