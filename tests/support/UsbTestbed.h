// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// umockdev (glib) first: its headers use names that Qt's keyword macros would replace.
#include <umockdev.h>

#include <QByteArray>
#include <QList>
#include <QPair>

#include <algorithm>
#include <vector>

namespace wl::test {

// A mocked sysfs with USB devices, and the uevents the kernel would send about them. Needs the
// process to run under umockdev-wrapper.
class UsbTestbed
{
public:
    using Pairs = QList<QPair<QByteArray, QByteArray>>;

    UsbTestbed() : m_testbed(umockdev_testbed_new()) {}
    ~UsbTestbed() { g_object_unref(m_testbed); }
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    static bool inMockEnvironment() { return umockdev_in_mock_environment(); }

    // A device with these sysfs attributes and uevent properties (a usb_device unless DEVTYPE
    // says otherwise). Returns its syspath.
    QByteArray add(const QByteArray& sysname, const Pairs& attributes, Pairs properties)
    {
        if (std::none_of(properties.cbegin(), properties.cend(),
                         [](const auto& p) { return p.first == "DEVTYPE"; }))
            properties.append(qMakePair(QByteArray("DEVTYPE"), QByteArray("usb_device")));
        const std::vector<const char*> attrs = flat(attributes), props = flat(properties);
        // The C API takes non-const arrays but only reads them.
        gchar* path = umockdev_testbed_add_devicev(m_testbed, "usb", sysname.constData(), nullptr,
                                                   const_cast<gchar**>(attrs.data()),
                                                   const_cast<gchar**>(props.data()));
        const QByteArray syspath(path);
        g_free(path);
        return syspath;
    }

    // A device as the kernel and udevd describe it. An empty name leaves "product" out.
    QByteArray addUsb(const QByteArray& sysname, const QByteArray& name, quint16 vendor,
                      quint16 product, quint8 deviceClass = 0, int devnum = 1)
    {
        Pairs attrs{{"bDeviceClass", QByteArray::number(deviceClass, 16).rightJustified(2, '0')},
                    {"idVendor", QByteArray::number(vendor, 16).rightJustified(4, '0')},
                    {"idProduct", QByteArray::number(product, 16).rightJustified(4, '0')}};
        if (!name.isEmpty())
            attrs.append({"product", name});
        return add(sysname, attrs,
                   {{"PRODUCT", QByteArray::number(vendor, 16) + '/' +
                                    QByteArray::number(product, 16) + "/100"},
                    {"TYPE", QByteArray::number(deviceClass) + "/0/0"},
                    {"DEVNUM", QByteArray::number(devnum).rightJustified(3, '0')}});
    }

    void uevent(const QByteArray& syspath, const char* action)
    {
        umockdev_testbed_uevent(m_testbed, syspath.constData(), action);
    }
    // Unplugging: the event first, then the device leaves sysfs.
    void unplug(const QByteArray& syspath)
    {
        uevent(syspath, "remove");
        removeSilently(syspath);
    }
    // Gone from sysfs with no event: what a lost event looks like.
    void removeSilently(const QByteArray& syspath)
    {
        umockdev_testbed_remove_device(m_testbed, syspath.constData());
    }

private:
    static std::vector<const char*> flat(const Pairs& pairs)
    {
        std::vector<const char*> result;
        for (const auto& [key, value] : pairs)
            result.insert(result.end(), {key.constData(), value.constData()});
        result.push_back(nullptr);
        return result;
    }

    UMockdevTestbed* m_testbed;
};

} // namespace wl::test
