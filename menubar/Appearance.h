#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>

#include <optional>

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

} // namespace wl
