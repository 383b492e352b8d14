// SPDX-License-Identifier: GPL-3.0-or-later
#include "menubar/PanelWindow.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLayout>
#include <QScreen>

#include <algorithm>

namespace wl {

namespace {

// A Wayland client neither places its windows nor learns where the pointer is on the screen.
bool onWayland()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace

PanelWindow::PanelWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setAttribute(Qt::WA_QuitOnClose, false);
    setObjectName(QStringLiteral("WardlatchPanel"));
}

QPoint PanelWindow::placement(const QSize& panel, const QRect& anchor, const QPoint& pointer,
                              const QRect& available)
{
    const QRect target = anchor.isEmpty() ? QRect(pointer, QSize(1, 1)) : anchor;
    int x = target.center().x() - panel.width() / 2;
    int y = target.bottom() + 1;
    if (y + panel.height() > available.bottom() + 1)
        y = target.top() - panel.height(); // tray at the bottom: open upwards
    x = std::clamp(x, available.left(),
                   std::max(available.left(), available.right() + 1 - panel.width()));
    y = std::clamp(y, available.top(),
                   std::max(available.top(), available.bottom() + 1 - panel.height()));
    return {x, y};
}

void PanelWindow::showRelativeTo(const QRect& anchor)
{
    if (onWayland()) {
        // A fixed size keeps the panel small: tiling compositors float a window that cannot be
        // resized, and place it where they place floating windows. The list may have grown
        // since the last opening, so the size is taken anew each time.
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        if (layout())
            layout()->activate();
        setFixedSize(sizeHint());
        show();
        raise();
        activateWindow();
        return;
    }
    const QPoint pointer = QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(anchor.isEmpty() ? pointer : anchor.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    adjustSize();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
    move(placement(size(), anchor, pointer, available));
    show();
    raise();
    activateWindow();
}

void PanelWindow::performClose()
{
    if (isVisible())
        hide();
}

void PanelWindow::keyPressEvent(QKeyEvent* event)
{
    // Controls that use Escape themselves (an open list, a recording) never pass it on.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        Q_EMIT dismissRequested();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace wl
