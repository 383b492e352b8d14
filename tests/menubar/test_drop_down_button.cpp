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

struct Opening
{
    QStringList items; // the visible ones, "-" for a separator
    QRect geometry;
    int clicksBefore = 0;
};

// Notes each list as it opens, then closes it from a queued call (choosing the item titled choice,
// if set) so that the opening returns.
class DropDownButtonTest : public ::testing::Test, public QObject
{
protected:
    void SetUp() override
    {
        qApp->installEventFilter(this);
        window.setGeometry(100, 100, 200, 80);
        button->setGeometry(10, 10, 120, 30);
        for (const char* title : {"About", "Feedback", "Quit"})
            actions << menu.addAction(QString::fromLatin1(title));
        button->setButtonMenu(&menu);
        QObject::connect(button, &QPushButton::clicked, [this] { ++clicks; });
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* list = qobject_cast<QMenu*>(watched);
        if (!list || event->type() != QEvent::Show)
            return false;
        Opening& opening = openings.emplace_back(Opening{{}, {}, clicks});
        for (QAction* a : list->actions())
            if (a->isVisible())
                opening.items << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QMetaObject::invokeMethod(
            list,
            [this, list] {
                openings.back().geometry = list->geometry();
                if (whileOpen)
                    whileOpen();
                for (QAction* a : list->actions())
                    if (!choice.isEmpty() && a->text() == choice) {
                        list->setActiveAction(a);
                        QTest::keyClick(list, Qt::Key_Return);
                    }
                if (list->isVisible())
                    list->close();
            },
            Qt::QueuedConnection);
        return false;
    }
    void click() { QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center()); }

    QWidget window;
    WLDropDownButton* button = new WLDropDownButton(QStringLiteral("Menu"), &window);
    QMenu menu; // the panel's, not the button's
    QList<QAction*> actions;
    int clicks = 0;
    std::vector<Opening> openings;
    QString choice;
    std::function<void()> whileOpen;
};

TEST_F(DropDownButtonTest, EachClickDropsAFreshCopyBelowTheButtonAfterTheClick)
{
    button->awakeFromNib();
    QSignalSpy about(actions[0], &QAction::triggered), feedback(actions[1], &QAction::triggered);
    choice = QStringLiteral("Feedback");
    click();
    ASSERT_EQ(openings.size(), 1u);
    EXPECT_EQ(openings[0].items, (QStringList{"About", "Feedback", "Quit"}));
    EXPECT_EQ(openings[0].clicksBefore, 1);
    EXPECT_EQ(openings[0].geometry.topLeft(), button->mapToGlobal(QPoint(0, button->height())));
    EXPECT_GE(openings[0].geometry.width(), button->width());
    // The choice reaches the button's own item; its menu is otherwise untouched.
    EXPECT_EQ(about.count(), 0);
    EXPECT_EQ(feedback.count(), 1);
    EXPECT_EQ(menu.actions(), actions);
    // Each opening lists the menu as the click left it.
    choice.clear();
    QMenu submenu(QStringLiteral("More"));
    QObject::connect(button, &QPushButton::clicked, [&] {
        actions[1]->setVisible(clicks != 2);
        actions[2]->setText(QStringLiteral("Quit Now"));
        if (clicks == 3) {
            menu.insertSeparator(actions[2]);
            menu.addMenu(&submenu);
        }
    });
    click();
    click();
    ASSERT_EQ(openings.size(), 3u);
    EXPECT_EQ(openings[1].items, (QStringList{"About", "Quit Now"}));
    EXPECT_EQ(openings[2].items, (QStringList{"About", "Feedback", "-", "Quit Now", "More"}));
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
    for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter})
        QTest::keyClick(button, key);
    button->setAutoDefault(true); // now the base class clicks on Return: still one opening
    QTest::keyClick(button, Qt::Key_Return);
    EXPECT_EQ(clicks, 4);
    ASSERT_EQ(openings.size(), 4u);
    const QPoint buttonTop = button->mapToGlobal(QPoint(0, 0));
    EXPECT_EQ(openings[0].geometry.bottomLeft(), buttonTop - QPoint(0, 1));
}

TEST_F(DropDownButtonTest, WithoutItsCellOrAnythingToShowItIsAPlainButton)
{
    button->setButtonMenu(nullptr);
    button->awakeFromNib();
    EXPECT_FALSE(button->usesMenu());
    button->setButtonMenu(&menu);
    click();
    QTest::keyClick(button, Qt::Key_Space);
    QTest::keyClick(button, Qt::Key_Return); // the base button's business: nothing
    EXPECT_EQ(clicks, 2);
    EXPECT_TRUE(openings.empty());

    button->awakeFromNib();
    whileOpen = [this] { button->setUsesMenu(false); }; // the cell may go while the list is open
    click();
    EXPECT_EQ(openings.size(), 1u);
    EXPECT_FALSE(button->usesMenu());
    // An empty list would still take the next click, wherever it lands.
    button->setUsesMenu(true);
    for (QAction* a : actions)
        a->setVisible(false);
    menu.addSeparator();
    click();
    EXPECT_EQ(clicks, 4);
    EXPECT_EQ(openings.size(), 1u);
}

} // namespace
