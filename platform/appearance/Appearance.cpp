// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/appearance/Appearance.h"

#include "platform/portal/PortalRequest.h"

#include <QDBusMessage>
#include <QEvent>
#include <QGuiApplication>
#include <QPalette>
#include <QPointer>
#include <QtGui/qguiapplication_platform.h>

#include <cstdlib>
#include <memory>

#include <xcb/xcb.h>

namespace wl {

namespace {
const QString kSettingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kAppearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString kColorSchemeKey = QStringLiteral("color-scheme");
constexpr uint kPreferDark = 1;

bool paletteIsDark()
{
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

struct FreeDeleter
{
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

xcb_connection_t* applicationConnection()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr; // null under offscreen and Wayland
}

// The screen of DISPLAY (":0.1" is screen 1), where the tray manager is looked for.
int applicationScreen()
{
    const QString display = qEnvironmentVariable("DISPLAY");
    const qsizetype dot = display.lastIndexOf(QLatin1Char('.'));
    const qsizetype colon = display.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const int screen = dot > colon ? display.mid(dot + 1).toInt(&ok) : 0;
    return ok ? screen : 0;
}
} // namespace

std::optional<bool> trayPanelIsDark(xcb_connection_t* c, int screen)
{
    if (!c || xcb_connection_has_error(c))
        return std::nullopt;
    // Both atoms exist once a manager has set its colours: do not create them by asking.
    const QByteArray selection = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
    const QByteArray colours = "_NET_SYSTEM_TRAY_COLORS";
    const xcb_intern_atom_cookie_t selectionCookie =
        xcb_intern_atom(c, 1, uint16_t(selection.size()), selection.constData());
    const xcb_intern_atom_cookie_t coloursCookie =
        xcb_intern_atom(c, 1, uint16_t(colours.size()), colours.constData());
    const XcbReply<xcb_intern_atom_reply_t> selectionAtom(
        xcb_intern_atom_reply(c, selectionCookie, nullptr));
    const XcbReply<xcb_intern_atom_reply_t> coloursAtom(
        xcb_intern_atom_reply(c, coloursCookie, nullptr));
    if (!selectionAtom || !coloursAtom || !selectionAtom->atom || !coloursAtom->atom)
        return std::nullopt;
    const XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selectionAtom->atom), nullptr));
    if (!owner || owner->owner == XCB_WINDOW_NONE)
        return std::nullopt;
    // Foreground, error, warning and success, each red, green and blue from 0 to 65535.
    const XcbReply<xcb_get_property_reply_t> property(xcb_get_property_reply(
        c, xcb_get_property(c, 0, owner->owner, coloursAtom->atom, XCB_ATOM_CARDINAL, 0, 12),
        nullptr));
    if (!property || property->format != 32 || xcb_get_property_value_length(property.get()) < 12)
        return std::nullopt;
    const auto* rgb = static_cast<const uint32_t*>(xcb_get_property_value(property.get()));
    const double luminance = (0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2]) / 65535.0;
    return luminance > 0.5;
}

TrayAppearance::TrayAppearance(AppearanceSource* fallback, QObject* parent)
    : AppearanceSource(parent), m_fallback(fallback)
{
    if (m_fallback)
        connect(m_fallback, &AppearanceSource::changed, this, &AppearanceSource::changed);
}

QString TrayAppearance::name() const
{
    if (const std::optional<bool> dark =
            trayPanelIsDark(applicationConnection(), applicationScreen()))
        return QString::fromLatin1(*dark ? kDarkAppearanceName : kLightAppearanceName);
    return m_fallback ? m_fallback->name() : QString();
}

AppearanceSource* AppearanceSource::tray()
{
    static QPointer<AppearanceSource> shared;
    if (!shared && qGuiApp)
        shared = new TrayAppearance(desktop(), qGuiApp);
    return shared;
}

AppearanceSource* AppearanceSource::desktop()
{
    static QPointer<AppearanceSource> shared;
    if (!shared && qGuiApp)
        shared = new DesktopAppearance(QDBusConnection::sessionBus(), 500, qGuiApp);
    return shared;
}

DesktopAppearance::DesktopAppearance(QDBusConnection bus, int timeoutMs, QObject* parent)
    : AppearanceSource(parent), m_bus(std::move(bus)), m_timeoutMs(timeoutMs)
{
    if (qGuiApp)
        qGuiApp->installEventFilter(this);
    if (!m_bus.isConnected())
        return;
    // Follow changes before asking, so none falls between the answer and the subscription.
    m_bus.connect(portal::kService, portal::kPath, kSettingsInterface,
                  QStringLiteral("SettingChanged"), this, SLOT(onSettingChanged(QDBusMessage)));
    read(QStringLiteral("ReadOne"));
}

QString DesktopAppearance::name() const
{
    const bool dark = m_scheme ? *m_scheme == kPreferDark : paletteIsDark();
    return QString::fromLatin1(dark ? kDarkAppearanceName : kLightAppearanceName);
}

void DesktopAppearance::read(const QString& method)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(portal::kService, portal::kPath, kSettingsInterface, method);
    call << kAppearanceGroup << kColorSchemeKey;
    portal::callAsync(m_bus, call, m_timeoutMs, this, [this, method](const QDBusMessage& reply) {
        if (reply.type() == QDBusMessage::ReplyMessage) {
            adopt(reply.arguments().value(0));
        } else if (method == QLatin1String("ReadOne") &&
                   reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
            read(QStringLiteral("Read")); // portals before version 2
        }
        // Any other failure: no portal answer, the palette goes on deciding.
    });
}

void DesktopAppearance::adopt(const QVariant& value)
{
    bool ok = false;
    // Read answers a variant inside a variant; ReadOne and SettingChanged a plain one.
    const uint scheme = portal::unwrap(value).toUInt(&ok);
    if (!ok || m_scheme == scheme)
        return;
    m_scheme = scheme;
    Q_EMIT changed();
}

void DesktopAppearance::onSettingChanged(const QDBusMessage& signal)
{
    const QVariantList args = signal.arguments();
    if (args.size() == 3 && args[0].toString() == kAppearanceGroup &&
        args[1].toString() == kColorSchemeKey)
        adopt(args[2]);
}

bool DesktopAppearance::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == qGuiApp && event->type() == QEvent::ApplicationPaletteChange && !m_scheme)
        Q_EMIT changed();
    return AppearanceSource::eventFilter(watched, event);
}

} // namespace wl
