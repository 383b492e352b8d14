// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

struct xcb_connection_t;

namespace wl {

// The name of the dark panel appearance, and the one we report otherwise.
inline constexpr char kDarkAppearanceName[] = "NSAppearanceNameVibrantDark";
inline constexpr char kLightAppearanceName[] = "NSAppearanceNameVibrantLight";

// Where the name of the appearance in effect comes from. Readers ask anew each time they draw;
// changed() tells them when to draw again. Main thread only.
class AppearanceSource : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The name of the appearance in effect; empty when there is none.
    virtual QString name() const = 0;

    // The desktop's appearance: one per application, made on first use, gone with the application.
    static AppearanceSource* desktop();
    // The tray panel's appearance (TrayAppearance over desktop()), made and kept the same way.
    static AppearanceSource* tray();

Q_SIGNALS:
    void changed();
};

// The desktop's colour-scheme preference: "color-scheme" of "org.freedesktop.appearance" from the
// desktop portal's settings, read once without blocking and then followed through SettingChanged.
// Until the portal has answered with a scheme, or without a portal, the application palette
// decides: a dark window colour is the dark appearance.
class DesktopAppearance : public AppearanceSource
{
    Q_OBJECT
public:
    explicit DesktopAppearance(QDBusConnection bus, int timeoutMs = 500, QObject* parent = nullptr);

    QString name() const override;

    // The portal's scheme (0 no preference, 1 prefer dark, 2 prefer light), once it has answered.
    std::optional<uint> portalScheme() const { return m_scheme; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private Q_SLOTS:
    // The portal's SettingChanged signal (group, key, value).
    void onSettingChanged(const QDBusMessage& signal);

private:
    void read(const QString& method);
    void adopt(const QVariant& value);

    QDBusConnection m_bus;
    int m_timeoutMs;
    std::optional<uint> m_scheme;
};

// Whether the XEmbed tray's panel is dark, by the colours its manager asks icons to draw in
// (_NET_SYSTEM_TRAY_COLORS on the owner of _NET_SYSTEM_TRAY_S<screen>): a light foreground is
// meant for a dark panel. Nothing when no manager owns the tray or it names no colours.
std::optional<bool> trayPanelIsDark(xcb_connection_t* connection, int screen);

// The panel the tray icon sits on, which need not follow the desktop's colour scheme: on an
// XEmbed tray whose manager names its colours, those decide; elsewhere (a StatusNotifierItem
// host, no X connection, a manager that names none) the fallback does. Asked anew on each read.
class TrayAppearance : public AppearanceSource
{
    Q_OBJECT
public:
    explicit TrayAppearance(AppearanceSource* fallback, QObject* parent = nullptr);

    QString name() const override;

private:
    QPointer<AppearanceSource> m_fallback;
};

} // namespace wl
