// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

namespace wl {

// The device panel's window: frameless, no taskbar entry, hanging below the tray icon (above it
// when the tray sits at the bottom), or at the pointer when the tray host tells us nothing. On
// Wayland it keeps its natural size, fixed, and the compositor places it as a floating window.
class PanelWindow : public QWidget
{
    Q_OBJECT
public:
    explicit PanelWindow(QWidget* parent = nullptr);

    // Shows the panel next to anchor (global coordinates; empty: at the pointer; ignored on
    // Wayland) and brings it to the front.
    void showRelativeTo(const QRect& anchor);
    void performClose();

    // Where the panel goes for a panel of this size, an anchor and a screen's available area.
    static QPoint placement(const QSize& panel, const QRect& anchor, const QPoint& pointer,
                            const QRect& available);

Q_SIGNALS:
    // Escape reached the panel: the user wants it closed, as by a click outside. The panel does
    // not hide itself, so that it closes the one way the tray icon hears of.
    void dismissRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace wl
