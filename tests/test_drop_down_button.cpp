#include "menubar/PullDownCell.h"
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

// Watches for pull-down lists to open; each time one does, notes what it lists and where, then
// closes it from a queued call (choosing the item titled choice, if set) so the opening returns.
class OpenedListProbe : public QObject
{
public:
    OpenedListProbe() { qApp->installEventFilter(this); }

    struct Opening
    {
        QStringList items; // visible items, "-" for a separator
        QRect geometry;
        bool buttonClickedBefore = false;
    };
    std::vector<Opening> openings;
    QString choice;
    std::function<void()> whileOpen; // runs in the queued call, before the list closes
    std::function<bool()> clickedYet = [] { return false; };

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* menu = qobject_cast<QMenu*>(watched);
        if (menu && event->type() == QEvent::Show) {
            Opening opening;
            for (QAction* a : menu->actions())
                if (a->isVisible())
                    opening.items << (a->isSeparator() ? QStringLiteral("-") : a->text());
            opening.buttonClickedBefore = clickedYet();
            openings.push_back(opening);
            QMetaObject::invokeMethod(
                menu, [this, menu] { close(menu); }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    void close(QMenu* menu)
    {
        openings.back().geometry = menu->geometry();
        if (whileOpen)
            whileOpen();
        for (QAction* a : menu->actions()) {
            if (!choice.isEmpty() && a->text() == choice) {
                menu->setActiveAction(a);
                QTest::keyClick(menu, Qt::Key_Return);
            }
        }
        if (menu->isVisible())
            menu->close();
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
            actions.push_back(menu.addAction(QString::fromLatin1(title)));
        button->setButtonMenu(&menu);
        connect(button, &QPushButton::clicked, [this] { ++clicks; });
        probe.clickedYet = [this] { return clicks > 0; };
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    void clickButton() { QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center()); }
    QStringList menuTitles() const
    {
        QStringList titles;
        for (QAction* a : menu.actions())
            titles << a->text();
        return titles;
    }
    static void connect(QObject* sender, void (QAbstractButton::*signal)(bool),
                        std::function<void()> slot)
    {
        QObject::connect(static_cast<QAbstractButton*>(sender), signal, [slot] { slot(); });
    }

    QWidget window;
    WLDropDownButton* button = nullptr; // owned by window
    QMenu menu;                         // the panel's menu, owned by the test
    std::vector<QAction*> actions;
    int clicks = 0;
    OpenedListProbe probe;
};

TEST_F(DropDownButtonTest, WithoutAMenuItIsAPlainButton)
{
    button->setButtonMenu(nullptr);
    button->awakeFromNib();
    EXPECT_FALSE(button->usesMenu());
    button->setUsesMenu(false);
    EXPECT_FALSE(button->usesMenu());

    clickButton();
    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_EQ(clicks, 2);
    EXPECT_TRUE(probe.openings.empty());
    // Return is the base button's business: nothing happens without autoDefault.
    QTest::keyClick(button, Qt::Key_Return);
    EXPECT_EQ(clicks, 2);
}

TEST_F(DropDownButtonTest, UsesMenuFollowsTheCell)
{
    button->awakeFromNib();
    ASSERT_TRUE(button->usesMenu());
    PullDownCell* first = button->popUpCell();
    EXPECT_EQ(first->preferredEdge(), Qt::BottomEdge);
    button->setUsesMenu(true);
    EXPECT_EQ(button->popUpCell(), first); // kept, not recreated
    button->setUsesMenu(false);
    EXPECT_FALSE(button->usesMenu());
    EXPECT_EQ(button->popUpCell(), nullptr);

    // Without the cell a click is a plain click again.
    clickButton();
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(probe.openings.empty());
}

TEST_F(DropDownButtonTest, AClickDropsTheMenuDownBelowTheButtonAfterTheClick)
{
    button->awakeFromNib();
    clickButton();
    ASSERT_EQ(probe.openings.size(), 1u);
    const auto& opened = probe.openings[0];
    EXPECT_EQ(opened.items, (QStringList{"About", "Feedback", "Quit"}));
    EXPECT_TRUE(opened.buttonClickedBefore);
    const QPoint buttonBottomLeft = button->mapToGlobal(button->rect().bottomLeft());
    EXPECT_EQ(opened.geometry.topLeft(), buttonBottomLeft + QPoint(0, 1));
    EXPECT_GE(opened.geometry.width(), button->width());
    EXPECT_EQ(clicks, 1);

    // The button's own menu is untouched.
    EXPECT_EQ(menuTitles(), (QStringList{"About", "Feedback", "Quit"}));
    EXPECT_EQ(menu.actions(), QList<QAction*>(actions.begin(), actions.end()));
}

TEST_F(DropDownButtonTest, AChoiceTriggersTheButtonsOwnItem)
{
    button->awakeFromNib();
    actions[1]->setCheckable(true);
    QSignalSpy about(actions[0], &QAction::triggered);
    QSignalSpy feedback(actions[1], &QAction::triggered);
    probe.choice = QStringLiteral("Feedback");
    clickButton();
    ASSERT_EQ(probe.openings.size(), 1u);
    EXPECT_EQ(about.count(), 0);
    ASSERT_EQ(feedback.count(), 1);
    EXPECT_TRUE(actions[1]->isChecked());

    // A disabled item cannot be chosen.
    actions[1]->setEnabled(false);
    clickButton();
    EXPECT_EQ(probe.openings.size(), 2u);
    EXPECT_EQ(feedback.count(), 1);
}

TEST_F(DropDownButtonTest, EachOpeningListsTheMenuAsTheClickLeftIt)
{
    button->awakeFromNib();
    QMenu submenu(QStringLiteral("More"));
    submenu.addAction(QStringLiteral("Inner"));
    // The click runs before the copy: what it changes is in this very opening.
    connect(button, &QPushButton::clicked, [&] {
        if (clicks == 1) {
            actions[1]->setVisible(false);
            actions[2]->setText(QStringLiteral("Quit Now"));
        } else {
            actions[1]->setVisible(true);
            menu.insertSeparator(actions[2]);
            menu.addMenu(&submenu);
        }
    });
    clickButton();
    clickButton();
    ASSERT_EQ(probe.openings.size(), 2u);
    EXPECT_EQ(probe.openings[0].items, (QStringList{"About", "Quit Now"}));
    EXPECT_EQ(probe.openings[1].items, (QStringList{"About", "Feedback", "-", "Quit Now", "More"}));
    EXPECT_EQ(menu.actions().size(), 5);
}

TEST_F(DropDownButtonTest, AMenuWithNothingToShowDoesNotOpen)
{
    // An empty list would still take the next click away from whatever the user clicks.
    button->awakeFromNib();
    for (QAction* a : actions)
        a->setVisible(false);
    menu.addSeparator();
    clickButton();
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(probe.openings.empty());
}

TEST_F(DropDownButtonTest, TheKeyboardOpensTheListToo)
{
    button->awakeFromNib();
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Space);
    QTest::keyClick(button, Qt::Key_Return);
    QTest::keyClick(button, Qt::Key_Enter);
    EXPECT_EQ(probe.openings.size(), 3u);
    EXPECT_EQ(clicks, 3);

    // As the default button the base class clicks on Return itself: still one opening.
    button->setAutoDefault(true);
    QTest::keyClick(button, Qt::Key_Return);
    EXPECT_EQ(probe.openings.size(), 4u);
    EXPECT_EQ(clicks, 4);
}

TEST_F(DropDownButtonTest, TheListOpensAboveWhereTheScreenHasNoRoomBelow)
{
    button->awakeFromNib();
    const QRect screen = window.screen()->availableGeometry();
    window.move(screen.left() + 50, screen.bottom() - window.frameGeometry().height() + 1);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return window.frameGeometry().bottom() == screen.bottom(); }));
    button->move(10, window.height() - button->height() - 2);
    clickButton();
    ASSERT_EQ(probe.openings.size(), 1u);
    const QPoint buttonTopLeft = button->mapToGlobal(QPoint(0, 0));
    EXPECT_EQ(probe.openings[0].geometry.bottom(), buttonTopLeft.y() - 1);
    EXPECT_EQ(probe.openings[0].geometry.left(), buttonTopLeft.x());
}

TEST_F(DropDownButtonTest, DroppingTheCellWhileTheListIsOpenIsSafe)
{
    button->awakeFromNib();
    probe.whileOpen = [this] { button->setUsesMenu(false); };
    clickButton();
    EXPECT_EQ(probe.openings.size(), 1u);
    EXPECT_FALSE(button->usesMenu());
    probe.whileOpen = nullptr;
    clickButton();
    EXPECT_EQ(probe.openings.size(), 1u);
}

TEST(PullDownCell, PositionPrefersItsEdgeAndFallsBackToTheOpposite)
{
    const QRect screen(0, 0, 800, 600);
    const QSize list(100, 90);
    const QRect middle(200, 200, 120, 30);
    EXPECT_EQ(PullDownCell::popUpPosition(middle, list, screen, Qt::BottomEdge), QPoint(200, 230));
    EXPECT_EQ(PullDownCell::popUpPosition(middle, list, screen, Qt::TopEdge), QPoint(200, 110));
    EXPECT_EQ(PullDownCell::popUpPosition(middle, list, screen, Qt::RightEdge), QPoint(320, 200));
    EXPECT_EQ(PullDownCell::popUpPosition(middle, list, screen, Qt::LeftEdge), QPoint(100, 200));

    const QRect nearBottom(200, 540, 120, 30);
    EXPECT_EQ(PullDownCell::popUpPosition(nearBottom, list, screen, Qt::BottomEdge),
              QPoint(200, 450));
    const QRect nearTop(200, 10, 120, 30);
    EXPECT_EQ(PullDownCell::popUpPosition(nearTop, list, screen, Qt::TopEdge), QPoint(200, 40));
    // No room either way: the preferred edge, and the list moves itself onto the screen.
    EXPECT_EQ(PullDownCell::popUpPosition(middle, QSize(100, 500), screen, Qt::BottomEdge),
              QPoint(200, 230));
    // No screen known: the preferred edge.
    EXPECT_EQ(PullDownCell::popUpPosition(nearBottom, list, QRect(), Qt::BottomEdge),
              QPoint(200, 570));
}

} // namespace
