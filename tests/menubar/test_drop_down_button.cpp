// SPDX-License-Identifier: GPL-3.0-or-later
#include "menubar/WLDropDownButton.h"

#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>

using namespace wl;

namespace {

// Notes each pull-down list as it opens, then closes it from a queued call, choosing the item
// titled choice if one is set, so that the opening returns.
class OpenedListProbe : public QObject
{
public:
    OpenedListProbe() { qApp->installEventFilter(this); }

    struct Opening
    {
        QStringList items; // the visible ones, "-" for a separator
        QRect geometry;
        int clicksBefore = 0;
    };
    std::vector<Opening> openings;
    QString choice;
    std::function<void()> whileOpen;
    const int* clicks = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* menu = qobject_cast<QMenu*>(watched);
        if (!menu || event->type() != QEvent::Show)
            return false;
        Opening opening{{}, {}, *clicks};
        for (QAction* a : menu->actions())
            if (a->isVisible())
                opening.items << (a->isSeparator() ? QStringLiteral("-") : a->text());
        openings.push_back(opening);
        QMetaObject::invokeMethod(
            menu,
            [this, menu] {
                openings.back().geometry = menu->geometry();
                if (whileOpen)
                    whileOpen();
                for (QAction* a : menu->actions())
                    if (!choice.isEmpty() && a->text() == choice) {
                        menu->setActiveAction(a);
                        QTest::keyClick(menu, Qt::Key_Return);
                    }
                if (menu->isVisible())
                    menu->close();
            },
            Qt::QueuedConnection);
        return false;
    }
};

class DropDownButtonTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        window.setGeometry(100, 100, 200, 80);
        button = new WLDropDownButton(QStringLiteral("Menu"), &window);
        button->setGeometry(10, 10, 120, 30);
        for (const char* title : {"About", "Feedback", "Quit"})
            actions << menu.addAction(QString::fromLatin1(title));
        button->setButtonMenu(&menu);
        QObject::connect(button, &QPushButton::clicked, [this] { ++clicks; });
        probe.clicks = &clicks;
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    void click() { QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center()); }

    QWidget window;
    WLDropDownButton* button = nullptr; // owned by window
    QMenu menu;                         // the panel's, not the button's
    QList<QAction*> actions;
    int clicks = 0;
    OpenedListProbe probe;
};

TEST_F(DropDownButtonTest, WithoutItsCellItIsAPlainButton)
{
    button->setButtonMenu(nullptr);
    button->awakeFromNib();
    EXPECT_FALSE(button->usesMenu());
    button->setButtonMenu(&menu);
    click();
    QTest::keyClick(button, Qt::Key_Space);
    QTest::keyClick(button, Qt::Key_Return); // the base button's business: nothing
    EXPECT_EQ(clicks, 2);
    EXPECT_TRUE(probe.openings.empty());
}

TEST_F(DropDownButtonTest, EachClickDropsAFreshCopyBelowTheButtonAfterTheClick)
{
    button->awakeFromNib();
    QSignalSpy about(actions[0], &QAction::triggered), feedback(actions[1], &QAction::triggered);
    probe.choice = QStringLiteral("Feedback");
    click();
    ASSERT_EQ(probe.openings.size(), 1u);
    const auto& opened = probe.openings[0];
    EXPECT_EQ(opened.items, (QStringList{"About", "Feedback", "Quit"}));
    EXPECT_EQ(opened.clicksBefore, 1);
    EXPECT_EQ(opened.geometry.topLeft(), button->mapToGlobal(QPoint(0, button->height())));
    EXPECT_GE(opened.geometry.width(), button->width());
    // The choice reaches the button's own item; its menu is otherwise untouched.
    EXPECT_EQ(about.count(), 0);
    EXPECT_EQ(feedback.count(), 1);
    EXPECT_EQ(menu.actions(), actions);

    // Each opening lists the menu as the click left it.
    probe.choice.clear();
    QMenu submenu(QStringLiteral("More"));
    QObject::connect(button, &QPushButton::clicked, [&] {
        if (clicks == 2) {
            actions[1]->setVisible(false);
            actions[2]->setText(QStringLiteral("Quit Now"));
        } else {
            actions[1]->setVisible(true);
            menu.insertSeparator(actions[2]);
            menu.addMenu(&submenu);
        }
    });
    click();
    click();
    ASSERT_EQ(probe.openings.size(), 3u);
    EXPECT_EQ(probe.openings[1].items, (QStringList{"About", "Quit Now"}));
    EXPECT_EQ(probe.openings[2].items, (QStringList{"About", "Feedback", "-", "Quit Now", "More"}));
}

TEST_F(DropDownButtonTest, TheKeyboardOpensItAndItOpensAboveWithoutRoomBelow)
{
    button->awakeFromNib();
    const QRect screen = window.screen()->availableGeometry();
    window.move(screen.left() + 50, screen.bottom() - window.frameGeometry().height() + 1);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return window.frameGeometry().bottom() == screen.bottom(); }));
    button->move(10, window.height() - button->height() - 2);
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Space);
    QTest::keyClick(button, Qt::Key_Return);
    QTest::keyClick(button, Qt::Key_Enter);
    button->setAutoDefault(true); // now the base class clicks on Return: still one opening
    QTest::keyClick(button, Qt::Key_Return);
    EXPECT_EQ(clicks, 4);
    ASSERT_EQ(probe.openings.size(), 4u);
    const QPoint buttonTop = button->mapToGlobal(QPoint(0, 0));
    EXPECT_EQ(probe.openings[0].geometry.bottom(), buttonTop.y() - 1);
    EXPECT_EQ(probe.openings[0].geometry.left(), buttonTop.x());
}

TEST_F(DropDownButtonTest, NothingToShowOpensNothingAndTheCellMayGoWhileOpen)
{
    button->awakeFromNib();
    probe.whileOpen = [this] { button->setUsesMenu(false); };
    click();
    EXPECT_EQ(probe.openings.size(), 1u);
    EXPECT_FALSE(button->usesMenu());

    // An empty list would still take the next click, wherever it lands.
    button->setUsesMenu(true);
    for (QAction* a : actions)
        a->setVisible(false);
    menu.addSeparator();
    click();
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(probe.openings.size(), 1u);
}

} // namespace
