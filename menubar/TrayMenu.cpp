// SPDX-License-Identifier: GPL-3.0-or-later
#include "menubar/TrayMenu.h"

#include "app/SettingsKeys.h"

#include <QAction>
#include <QMenu>

namespace wl {

using namespace std::chrono_literals;

TrayMenu::TrayMenu(Commands commands, NotificationCenter& center, QObject* parent)
    : QObject(parent), m_commands(std::move(commands)), m_center(center),
      m_menu(std::make_unique<QMenu>())
{
    const auto call = [](const std::function<void()>& f) {
        return [f] {
            if (f)
                f();
        };
    };
    const auto pauseFor = [this](std::optional<std::chrono::milliseconds> duration) {
        return [this, duration] {
            if (m_commands.pause)
                m_commands.pause(duration);
        };
    };

    add(m_menu.get(), QStringLiteral("lockNow"), tr("Lock Now"), call(m_commands.lockNow));
    QMenu* pause = m_menu->addMenu(tr("Pause Guarding"));
    pause->setObjectName(QStringLiteral("pauseMenu"));
    add(pause, QStringLiteral("pause15"), tr("For 15 Minutes"), pauseFor(15min));
    add(pause, QStringLiteral("pause60"), tr("For 1 Hour"), pauseFor(1h));
    add(pause, QStringLiteral("pauseUntilResumed"), tr("Until I Resume"), pauseFor(std::nullopt));
    m_resume =
        add(m_menu.get(), QStringLiteral("resume"), tr("Resume Guarding"), call(m_commands.resume));
    m_menu->addSeparator();
    add(m_menu.get(), QStringLiteral("openPanel"), tr("Open Panel"),
        [this] { m_center.postNotificationName(events::setHighlight, this); });
    add(m_menu.get(), QStringLiteral("about"), tr("About Wardlatch"), call(m_commands.about));
    m_menu->addSeparator();
    // The controller asks for confirmation first.
    add(m_menu.get(), QStringLiteral("quit"), tr("Quit Wardlatch"), call(m_commands.quit));
    setPaused(false);
}

TrayMenu::~TrayMenu() = default;

QAction* TrayMenu::add(QMenu* menu, const QString& name, const QString& text,
                       std::function<void()> command)
{
    QAction* action = menu->addAction(text);
    action->setObjectName(name);
    connect(action, &QAction::triggered, this, std::move(command));
    return action;
}

void TrayMenu::setPaused(bool paused)
{
    m_resume->setEnabled(paused);
}

} // namespace wl
