#include "menubar/Appearance.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QEvent>
#include <QGuiApplication>
#include <QPalette>
#include <QPointer>

namespace wl {

namespace {
const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kAppearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString kColorSchemeKey = QStringLiteral("color-scheme");
constexpr uint kPreferDark = 1;

bool paletteIsDark()
{
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

// Read answers a variant inside a variant; ReadOne and SettingChanged a plain one.
QVariant unwrap(QVariant value)
{
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}
} // namespace

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
    m_bus.connect(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"),
                  this, SLOT(onSettingChanged(QDBusMessage)));
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
        QDBusMessage::createMethodCall(kPortalService, kPortalPath, kSettingsInterface, method);
    call << kAppearanceGroup << kColorSchemeKey;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, m_timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, method](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusMessage reply = finished->reply();
                if (reply.type() == QDBusMessage::ReplyMessage) {
                    adopt(reply.arguments().value(0));
                } else if (method == QLatin1String("ReadOne") &&
                           reply.errorName() ==
                               QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
                    read(QStringLiteral("Read")); // portals before version 2
                }
                // Any other failure: no portal answer, the palette goes on deciding.
            });
}

void DesktopAppearance::adopt(const QVariant& value)
{
    bool ok = false;
    const uint scheme = unwrap(value).toUInt(&ok);
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
