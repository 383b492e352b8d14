// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/usb/UsbRegistrations.h"
#include "platform/usb/UsbRegistry.h"
#include "platform/usb/UsbSysfsCatalogue.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <map>

struct udev;
struct udev_device;
struct udev_monitor;

namespace wl {

// The USB registry on sysfs and libudev. Listing is the sysfs catalogue's (UsbSysfsCatalogue.h).
// Removals come from a "udev" monitor whose socket sits on a QSocketNotifier of the creating
// thread. A lost event must not cost a lock: when the monitor reports an overflow or its socket
// fails, the monitor is rebuilt and the devices rescanned, and a watched device that is gone
// is reported as removed.
class UdevUsbRegistry : public QObject, public UsbRegistry
{
    Q_OBJECT
public:
    explicit UdevUsbRegistry(QObject* parent = nullptr);
    ~UdevUsbRegistry() override;

    std::optional<QList<UsbDevice>> attachedDevices() override;
    AddResult addMatchingNotification(const char* type, const UsbMatch& match, Callback callback,
                                      void* context, Handle* handle) override;
    std::optional<UsbDevice> iteratorNext(Handle iterator) override;
    bool iteratorIsValid(Handle iterator) const override;
    void release(Handle handle) override;
    void setPresenceObserver(std::function<void()> observer) override;
    std::optional<int> attachedMatching(Handle handle) const override;

    // Fault seam: the next read of the monitor fails with this errno value (ENOBUFS for lost
    // events, anything else for a broken socket). Handled from the event loop.
    void injectMonitorError(int error);

    // How often the monitor was rebuilt after a failure.
    int monitorRebuilds() const { return m_rebuilds; }

Q_SIGNALS:
    // The monitor was rebuilt and the devices rescanned.
    void monitorRecovered();

private:
    struct Attached
    {
        QByteArray devnum;
        UsbDevice device;
    };

    bool openMonitor();
    void closeMonitor();
    void onMonitorReadable();
    void handleEvent(udev_device* device);
    void recover(int error);
    static QHash<QString, Attached> matching(const std::vector<ScannedUsbDevice>& scanned,
                                             const UsbMatch& match);

    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    QPointer<QSocketNotifier> m_notifier;
    UsbRegistrations m_registrations;
    // Per registration: the matching devices believed attached, by name on the bus.
    std::map<Handle, QHash<QString, Attached>> m_attached;
    QTimer m_retry; // reopens a monitor that could not be rebuilt
    std::function<void()> m_presenceObserver;
    int m_injectedError = 0;
    int m_rebuilds = 0;
    bool m_bufferWarningLogged = false;
};

} // namespace wl
