// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/events/NotificationCenter.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QMenu;

namespace wl {

// The tray icon's context menu: Lock Now, Pause Guarding (15 minutes, 1 hour, until resumed),
// Resume Guarding, Open Panel, About and Quit. The commands are the controller's; Open Panel
// posts "setHighlight" as a left click does. Main thread only.
class TrayMenu : public QObject
{
    Q_OBJECT
public:
    struct Commands
    {
        std::function<void()> lockNow;
        // No duration: until resumed.
        std::function<void(std::optional<std::chrono::milliseconds>)> pause;
        std::function<void()> resume;
        std::function<void()> about;
        std::function<void()> quit;
    };

    TrayMenu(Commands commands, NotificationCenter& center, QObject* parent = nullptr);
    ~TrayMenu() override;

    QMenu* menu() const { return m_menu.get(); }
    // Resume Guarding is offered only while paused.
    void setPaused(bool paused);

private:
    QAction* add(QMenu* menu, const QString& name, const QString& text,
                 std::function<void()> command);

    Commands m_commands;
    NotificationCenter& m_center;
    std::unique_ptr<QMenu> m_menu;
    QAction* m_resume = nullptr; // owned by m_menu
};

} // namespace wl
