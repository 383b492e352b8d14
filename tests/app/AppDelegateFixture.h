// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/AppDelegate.h"
#include "app/GuardState.h"
#include "app/SettingsKeys.h"
#include "app/Translations.h"
#include "devices/WLDeviceListUSB.h"
#include "fakes/FakeAudioHardware.h"
#include "fakes/FakeKeyGrabber.h"
#include "fakes/FakeUsbRegistry.h"
#include "fakes/RecordingSessionLocker.h"
#include "menubar/Alerts.h"
#include "menubar/ShortcutRecorder.h"
#include "menubar/TrayMenu.h"
#include "menubar/WLStatusItemView.h"
#include "platform/events/NotificationCenter.h"
#include "platform/notify/DesktopNotifier.h"
#include "platform/session/LoginItems.h"
#include "platform/settings/Settings.h"
#include "platform/shortcut/ShortcutBinder.h"
#include "support/LogCapture.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QInputMethodEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QStyleHints>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <functional>

#include <gtest/gtest.h>

using namespace wl;
using namespace wl::test;
using namespace Qt::StringLiterals;
using Request = RecordingSessionLocker::Request;

namespace {

constexpr AudioObjectID kOutput = 7;
const Shortcut kDefaultChord(Qt::Key_L, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);

UsbDevice usb(const QString& name, qint32 vendor, qint32 product)
{
    return UsbDevice{0, name, vendor, product, u"/sys/bus/usb/"_s + name};
}

class AppDelegateTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
        audio.setDefaultOutputDevice(kOutput);
    }
    void store(const QString& name, qint64 vendor, qint64 product)
    {
        settings.setObject(keys::kDeviceName, name);
        settings.setObject(keys::idVendor, vendor);
        settings.setObject(keys::idProduct, product);
    }
    void awake()
    {
        const auto note = [this](const char* what) {
            return [this, what] { journal << QString::fromLatin1(what); };
        };
        controller = makeController({
            .settings = settings,
            .center = center,
            .locker = locker,
            .usbRegistry = registry,
            .audioHardware = audio,
            .shortcutBinder = binder,
            .executablePath = u"/opt/Ward latch/wardlatch"_s,
            .sendTrackingReport = note("tracking report"),
            .setupIssuesController =
                [this](bool on) { journal << u"issues controller %1"_s.arg(on); },
            .createSessionLoginItems =
                [this] {
                    journal << u"login items"_s;
                    return LoginItems::createSessionLoginItems();
                },
            .showAboutPanel = note("about"),
            .showFeedbackDialog = note("feedback"),
            .runQuitAlert =
                [this](const QString& message, const QString& informative) {
                    alerts << message << informative;
                    return alertAnswer;
                },
            .terminate = [this] { ++terminations; },
            .notifier = &notifier,
        });
    }
    void launch()
    {
        awake();
        controller->applicationDidFinishLaunching();
    }
    void openPanel() { center.postNotificationName(events::setHighlight, nullptr); }
    QWidget& panel() { return *controller->window(); }
    QComboBox& popUp() { return *named<QComboBox>("devicePopUpButton"); }
    QRadioButton& radio(const char* name) { return *named<QRadioButton>(name); }
    template <class W = QWidget> W* named(const char* name)
    {
        return panel().findChild<W*>(QString::fromLatin1(name));
    }
    QStringList titles()
    {
        QStringList list;
        for (int i = 0; i < popUp().count(); ++i)
            list << popUp().itemText(i);
        return list;
    }
    // Click the closed pop-up, then the title in the list. The list ignores releases for a
    // double-click interval after opening; a person's second click comes later, QTest's at once.
    void choose(const QString& title)
    {
        ASSERT_GE(popUp().findText(title), 0);
        QStyleHints& hints = *QGuiApplication::styleHints();
        const int interval = hints.mouseDoubleClickInterval();
        hints.setMouseDoubleClickInterval(0);
        const auto restore = qScopeGuard([&] { hints.setMouseDoubleClickInterval(interval); });
        QTest::mouseClick(&popUp(), Qt::LeftButton);
        QAbstractItemView& list = *popUp().view();
        ASSERT_TRUE(list.isVisible());
        QCoreApplication::processEvents();
        const QModelIndex item = list.model()->index(popUp().findText(title), 0);
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(item).center());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !list.isVisible(); }, 3000));
    }

    QTemporaryDir dir;
    Settings settings{dir.filePath(u"wardlatch.conf"_s)};
    NotificationCenter center;
    RecordingSessionLocker locker;
    FakeUsbRegistry registry;
    FakeAudioHardware audio;
    FakeKeyGrabber grabber;
    ShortcutBinder binder{settings, grabber};
    struct RecordingNotifier : DesktopNotifier
    {
        QStringList titles;
        void notify(const QString& title, const QString&) override { titles << title; }
    } notifier;
    QStringList journal;
    QStringList alerts;
    int alertAnswer = 1001;
    int terminations = 0;
    QStringList announced; // the devices chosen, as the watchers hear of them
    ObserverRegistration announcements{
        center, events::kSetNewDeviceEvent, [this](const Notification& n) {
            announced << n.userInfo.value(QString::fromLatin1(events::kNewDeviceName)).toString();
        }};
    std::shared_ptr<AppDelegate> controller;
};

} // namespace
