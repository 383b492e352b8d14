// SPDX-License-Identifier: GPL-3.0-or-later
// The device panel as the controller fills it: choices, keyboard and screen readers, language.
#include "AppDelegateFixture.h"

TEST_F(AppDelegateTest, PopUpKeepsTitlesUniqueAndEveryChoiceIsAnnounced)
{
    registry.attached = {usb(u"Twin"_s, 1, 1), usb(u"Other"_s, 2, 2), usb(u"Twin"_s, 3, 3),
                         usb(u"Headphones"_s, 4, 4)};
    audio.presetDataSource(kOutput, audio::kSourceHeadphones);
    settings.setObject(keys::kDeviceName, u"Other"_s);
    awake();
    controller->populateList();
    EXPECT_EQ(titles(), (QStringList{u"Other"_s, u"Twin"_s, u"Headphones"_s}));
    EXPECT_EQ(popUp().currentText(), u"Other"_s);
    choose(u"Twin"_s);
    choose(u"Twin"_s); // the current item again: announced again
    EXPECT_EQ(announced, (QStringList{u"Twin"_s, u"Twin"_s}));
    EXPECT_EQ(settings.integerForKey(keys::idVendor), 3); // the last device of that name

    // By keyboard: open the list, move in it, choose; then the current item again.
    QAbstractItemView& list = *popUp().view();
    for (const auto& [open, modifiers, step] :
         {std::tuple{Qt::Key_Space, Qt::NoModifier, Qt::Key_Up},
          std::tuple{Qt::Key_Down, Qt::AltModifier, Qt::Key_unknown},
          std::tuple{Qt::Key_F4, Qt::NoModifier, Qt::Key_unknown}}) {
        QTest::keyClick(&popUp(), open, modifiers);
        ASSERT_TRUE(list.isVisible());
        if (step != Qt::Key_unknown)
            QTest::keyClick(&list, step);
        QTest::keyClick(&list, Qt::Key_Return);
        EXPECT_FALSE(list.isVisible());
    }
    EXPECT_EQ(announced.mid(2), QStringList(3, u"Other"_s));
    EXPECT_EQ(settings.stringForKey(keys::kDeviceName), u"Other"_s);
    EXPECT_EQ(settings.integerForKey(keys::idVendor), 2);
}

// Neither stray input on the closed pop-up nor a click on an unwatchable device moves the guard.
TEST_F(AppDelegateTest, TheChoiceMovesOnlyByAChoiceOfAWatchableDevice)
{
    registry.attached = {usb(u"Alpha"_s, 1, 1), usb(u"Bravo"_s, 2, 2), usb(u"Blank"_s, 0, 0),
                         usb(u"Charlie"_s, 3, 3)};
    store(u"Bravo"_s, 2, 2);
    awake();
    openPanel();
    const auto armed = controller->deviceListUSB()->lostDeviceIterator();
    ASSERT_NE(armed, 0u);
    const auto unchanged = [&] {
        EXPECT_EQ(popUp().currentText(), u"Bravo"_s);
        EXPECT_TRUE(announced.isEmpty());
        EXPECT_EQ(settings.stringForKey(keys::kDeviceName), u"Bravo"_s);
        EXPECT_EQ(settings.integerForKey(keys::idVendor), 2);
        EXPECT_EQ(controller->deviceListUSB()->lostDeviceIterator(), armed);
    };
    const auto stray = [&](const char* what, const std::function<void(QComboBox&)>& send) {
        SCOPED_TRACE(what);
        popUp().view()->keyboardSearch({}); // a fresh type-ahead each time
        send(popUp());
        EXPECT_FALSE(popUp().view()->isVisible());
        unchanged();
    };
    for (const int delta : {120, -120})
        stray("wheel", [delta](QComboBox& c) {
            const QPointF at = QRectF(c.rect()).center();
            QWheelEvent event(at, c.mapToGlobal(at), {}, {0, delta}, Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(&c, &event);
        });
    for (const Qt::Key key :
         {Qt::Key_Up, Qt::Key_Down, Qt::Key_PageUp, Qt::Key_PageDown, Qt::Key_Home, Qt::Key_End})
        stray("key", [key](QComboBox& c) { QTest::keyClick(&c, key); });
    stray("Alt+Up", [](QComboBox& c) { QTest::keyClick(&c, Qt::Key_Up, Qt::AltModifier); });
    stray("typed letter", [](QComboBox& c) { QTest::keyClicks(&c, u"c"_s); });
    stray("input method", [](QComboBox& c) {
        QInputMethodEvent event;
        event.setCommitString(u"a"_s);
        QCoreApplication::sendEvent(&c, &event);
    });
    // The device without numbers is listed, but a click on it chooses nothing, not even the item
    // stepped to before.
    const QModelIndex blank = popUp().model()->index(popUp().findText(u"Blank"_s), 0);
    EXPECT_FALSE(blank.flags() & Qt::ItemIsEnabled);
    EXPECT_EQ(blank.data(Qt::ToolTipRole).toString(),
              QStringLiteral("This device reports no vendor and product numbers, so its removal "
                             "cannot be recognised"));
    QTest::keyClick(&popUp(), Qt::Key_Space);
    QAbstractItemView& list = *popUp().view();
    QTest::keyClick(&list, Qt::Key_Down);
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(blank).center());
    EXPECT_TRUE(list.isVisible());
    popUp().hidePopup();
    unchanged();
    // A name stored for such a device earlier is not shown as the guarded choice.
    settings.setObject(keys::kDeviceName, u"Blank"_s);
    controller->populateList();
    EXPECT_EQ(popUp().currentIndex(), -1);
}

// Keyboard users reach every control, in order; screen readers hear them named; Escape closes the
// panel the way a click outside does, as About and Feedback do.
TEST_F(AppDelegateTest, ThePanelWorksByKeyboardAndIsNamedForScreenReaders)
{
    registry.attached = {usb(u"Key Stick"_s, 0x1234, 0xabcd)};
    launch();
    openPanel();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&panel()));
    QList<QWidget*> order;
    for (const char* name : {"devicePopUpButton", "lockDisplayButton", "recordButton",
                             "clearButton", "showContextMenuButton", "devicePopUpButton"})
        order << named(name);
    popUp().setFocus(Qt::TabFocusReason);
    QList<QWidget*> visited{QApplication::focusWidget()};
    while (visited.size() < order.size()) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget();
    }
    EXPECT_EQ(visited, order);
    const std::tuple<const char*, const char*, const char*> controls[] = {
        {"devicePopUpButton", "Key device", "deviceLabel"},
        {"lockTypeGroup", "When it goes away", "lockTypeLabel"},
        {"shortcutView", "Lock shortcut", "shortcutLabel"},
        {"recordButton", "Lock shortcut", nullptr},
        {"clearButton", "Clear shortcut", nullptr},
        {"guardStatusLabel", "Guard status", nullptr},
    };
    for (const auto& [control, name, label] : controls) {
        SCOPED_TRACE(control);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(named(control));
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name), QString::fromUtf8(name));
        if (label) {
            EXPECT_EQ(named<QLabel>(label)->buddy(), named(control));
        }
    }
    // A button announced by its purpose, the chord beside it; not a check box named after it.
    QAccessibleInterface* recorder = QAccessible::queryAccessibleInterface(named("recordButton"));
    EXPECT_EQ(recorder->role(), QAccessible::Button);
    EXPECT_EQ(recorder->text(QAccessible::Description), u"Ctrl+Alt+Super+L"_s);
    int closings = 0;
    ObserverRegistration observer(center, events::unsetHighlight, [&](const Notification& n) {
        EXPECT_EQ(n.object, controller.get());
        ++closings;
    });
    const auto closes = [&](const char* what, const std::function<void()>& close) {
        SCOPED_TRACE(what);
        openPanel();
        closings = 0;
        close();
        EXPECT_FALSE(panel().isVisible());
        EXPECT_FALSE(controller->icon()->isSelected());
        EXPECT_GE(closings, 1);
    };
    for (QWidget* control : order.mid(1))
        closes(qPrintable(control->objectName()),
               [&] { QTest::keyClick(control, Qt::Key_Escape); });
    closes("About", [&] { controller->aboutButtonClicked(); });
    closes("Feedback", [&] { controller->showFeedbackModal(); });
    EXPECT_EQ(journal.mid(3), (QStringList{u"about"_s, u"feedback"_s}));

    // An open list and a recording take Escape for themselves.
    openPanel();
    QTest::keyClick(&popUp(), Qt::Key_Space);
    ASSERT_TRUE(popUp().view()->isVisible());
    QTest::keyClick(popUp().view(), Qt::Key_Escape);
    EXPECT_FALSE(popUp().view()->isVisible());
    auto& shortcut = *panel().findChild<ShortcutRecorder*>();
    shortcut.startRecording();
    QTest::keyClick(&shortcut, Qt::Key_Escape);
    EXPECT_FALSE(shortcut.isRecording());
    EXPECT_TRUE(panel().isVisible());
    EXPECT_TRUE(controller->icon()->isSelected());
}

// A German user gets the panel, the tray, the alerts and Qt's own buttons in German, from the
// translations the program installs for the user's language.
TEST_F(AppDelegateTest, SpeaksTheUsersLanguage)
{
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const auto restore = qScopeGuard([&] { QLocale::setDefault(before); });
    const Translations translations;
    ASSERT_TRUE(translations.ownLoaded());
    store(u"Key Stick"_s, 0x1234, 0xabcd);
    launch();
    EXPECT_EQ(radio("lockDisplayButton").text(), u"Bildschirm sperren"_s);
    EXPECT_EQ(controller->statusBarItem()->toolTip(),
              QString::fromUtf8("Wardlatch: “Key Stick” ist nicht angeschlossen"));
    EXPECT_EQ(controller->trayMenu()->menu()->actions().value(0)->text(), u"Jetzt sperren"_s);
    controller->askToQuit();
    EXPECT_EQ(alerts, (QStringList{u"Wardlatch beenden?"_s,
                                   QString::fromUtf8("Wenn Sie Wardlatch beenden, sperrt das "
                                                     "Entfernen von Key Stick Ihren Computer "
                                                     "nicht mehr.")}));
    // Qt's own texts, as the command line's help shows them.
    EXPECT_EQ(QCoreApplication::translate("QCommandLineParser", "Displays version information."),
              u"Zeigt Versionsinformation an."_s);
}
