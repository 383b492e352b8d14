// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMenu>
#include <QPointer>
#include <QRect>
#include <QSize>

#include <memory>

class QWidget;

namespace wl {

// Shows a menu as a pull-down list next to a frame of a view: the list opens on the preferred
// edge of the frame, or on the opposite one where the screen has no room.
class PullDownCell
{
public:
    PullDownCell() = default;

    void setPreferredEdge(Qt::Edge edge) { m_preferredEdge = edge; }
    Qt::Edge preferredEdge() const { return m_preferredEdge; }

    // The menu to show, held weakly: whoever builds it keeps it.
    void setMenu(QMenu* menu) { m_menu = menu; }
    QMenu* menu() const { return m_menu; }

    // Opens the menu next to frame (in view's coordinates) and returns once it has closed, with
    // or without a choice. The cell may be destroyed while the list is open.
    void performClickWithFrame(const QRect& frame, QWidget* view);

    // Where a list of menuSize opens next to globalFrame within screen (global coordinates).
    static QPoint popUpPosition(const QRect& globalFrame, const QSize& menuSize,
                                const QRect& screen, Qt::Edge preferredEdge);

private:
    Qt::Edge m_preferredEdge = Qt::BottomEdge;
    QPointer<QMenu> m_menu;
};

// A new, independent menu with the items of menu, in order: text, icon, tool tip, shortcut, font,
// enabled, visible, checkable, checked and separators are copied, submenus copied in turn, and
// triggering an item triggers the original item.
std::unique_ptr<QMenu> copyMenu(const QMenu& menu);

} // namespace wl
