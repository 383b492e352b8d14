// SPDX-License-Identifier: GPL-3.0-or-later
#include "menubar/WLStatusItemView.h"

#include "app/SettingsKeys.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPalette>
#include <QSet>
#include <QWidget>
#include <QWindow>

#include <cmath>
#include <type_traits>

namespace wl {

namespace {
// Our picture under a theme icon's name. A StatusNotifierItem host that finds the name in its
// theme shows that icon, recoloured to suit its panel; any other shows the picture.
class NamedPictureEngine : public QIconEngine
{
public:
    NamedPictureEngine(QString name, QIcon picture)
        : m_name(std::move(name)), m_picture(std::move(picture))
    {
    }
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        m_picture.paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return m_picture.pixmap(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return m_picture.availableSizes(mode, state);
    }
    QString iconName() override { return m_name; }
    // QIcon owns what this returns.
    QIconEngine* clone() const override { return new NamedPictureEngine(m_name, m_picture); }

private:
    QString m_name;
    QIcon m_picture;
};

QIcon trayIcon(const QPixmap& picture, bool guarding)
{
    const QString name = QString::fromLatin1(guarding ? WLStatusItemView::kGuardingIconName
                                                      : WLStatusItemView::kNotGuardingIconName);
    // A name the theme lacks would leave some hosts with no icon at all.
    if (!QIcon::hasThemeIcon(name))
        return QIcon(picture);
    return QIcon(new NamedPictureEngine(name, QIcon(picture))); // the icon owns its engine
}
} // namespace

WLStatusItemView::WLStatusItemView(QPixmap lightImage, QPixmap darkImage, QSystemTrayIcon* delegate,
                                   NotificationCenter& center, AppearanceSource* appearance,
                                   QObject* parent)
    : QObject(parent), m_lightImage(std::move(lightImage)), m_darkImage(std::move(darkImage)),
      m_appearance(appearance), m_center(center)
{
    setDelegate(delegate);
    // The width comes from the light image alone, whatever the dark one measures.
    const int width = static_cast<int>(std::ceil(m_lightImage.deviceIndependentSize().width()));
    setFrame(QRect(0, 0, width + kWidthPadding, statusBarThickness(delegate)));

    const auto observe = [this](const Notification& n) { handleHighlightNotification(n); };
    m_setObserver = ObserverRegistration(m_center, events::setHighlight, observe);
    m_unsetObserver = ObserverRegistration(m_center, events::unsetHighlight, observe);

    if (m_appearance)
        connect(m_appearance, &AppearanceSource::changed, this, [this] { setNeedsDisplay(); });
}

WLStatusItemView::~WLStatusItemView() = default;

void WLStatusItemView::setDelegate(QSystemTrayIcon* delegate)
{
    disconnect(m_activation);
    m_delegate = delegate;
    if (delegate) {
        m_activation = connect(delegate, &QSystemTrayIcon::activated, this,
                               [this](QSystemTrayIcon::ActivationReason reason) {
                                   if (reason == QSystemTrayIcon::Trigger)
                                       mouseDown();
                               });
    }
}

void WLStatusItemView::setOpenImages(QPixmap lightImage, QPixmap darkImage)
{
    m_openLightImage = std::move(lightImage);
    m_openDarkImage = std::move(darkImage);
    setNeedsDisplay();
}

void WLStatusItemView::setGuardState(bool guarding, const QString& description)
{
    if (m_delegate)
        m_delegate->setToolTip(description);
    if (guarding == m_guarding)
        return;
    m_guarding = guarding;
    setNeedsDisplay();
}

bool WLStatusItemView::isYosemiteDarkTheme() const
{
    return m_appearance && m_appearance->name() == QLatin1String(kDarkAppearanceName);
}

void WLStatusItemView::setFrame(const QRect& frame)
{
    m_frame = frame;
    setNeedsDisplay();
}

int WLStatusItemView::statusBarThickness(const QSystemTrayIcon* statusItem)
{
    const int reported = statusItem ? statusItem->geometry().height() : 0;
    return reported > 0 ? reported : kDefaultThickness;
}

QRect WLStatusItemView::toQt(const QRect& rect) const
{
    return QRect(rect.x(), m_frame.height() - rect.y() - rect.height(), rect.width(),
                 rect.height());
}

void WLStatusItemView::drawStatusBarBackground(QPainter& painter, const QRect& rect,
                                               bool highlight) const
{
    if (highlight) {
        painter.fillRect(rect,
                         QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight));
    } else {
        // The host paints the panel behind us: the bare background is no paint at all.
        const auto mode = painter.compositionMode();
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(rect, Qt::transparent);
        painter.setCompositionMode(mode);
    }
}

void WLStatusItemView::drawRect(const QRect& rect)
{
    const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    if (m_rendered.deviceIndependentSize() != QSizeF(m_frame.size()) ||
        m_rendered.devicePixelRatio() != ratio) {
        m_rendered = QPixmap(m_frame.size() * ratio);
        m_rendered.setDevicePixelRatio(ratio);
        m_rendered.fill(Qt::transparent);
    }
    if (m_rendered.isNull())
        return;

    QPainter painter(&m_rendered);
    const QRect target = toQt(rect);
    painter.setClipRect(target);
    if (m_delegate)
        drawStatusBarBackground(painter, target, m_isSelected);

    // Asked anew on every draw: the desktop may have switched since the last one.
    const bool dark = isYosemiteDarkTheme() || m_isSelected;
    const QPixmap& open = dark ? m_openDarkImage : m_openLightImage;
    const QPixmap& image = !m_guarding && !open.isNull() ? open : dark ? m_darkImage : m_lightImage;
    if (image.isNull())
        return;
    // Centred in the slot, on whole pixels.
    const QSizeF size = image.deviceIndependentSize();
    const QRectF placed(std::floor((m_frame.width() - size.width()) / 2),
                        std::floor((m_frame.height() - size.height()) / 2), size.width(),
                        size.height());
    painter.drawPixmap(placed, image, QRectF(image.rect()));
}

void WLStatusItemView::setNeedsDisplay(bool needsDisplay)
{
    m_needsDisplay = needsDisplay;
    if (!needsDisplay || m_displayQueued)
        return;
    m_displayQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_displayQueued = false;
            if (m_needsDisplay)
                display();
        },
        Qt::QueuedConnection);
}

void WLStatusItemView::display()
{
    m_needsDisplay = false;
    // Hosts report the icon size only once the icon is shown: follow it.
    const int thickness = statusBarThickness(m_delegate);
    if (m_delegate && thickness != m_frame.height())
        m_frame.setHeight(thickness);

    m_rendered = QPixmap();
    drawRect(bounds());
    if (m_delegate)
        m_delegate->setIcon(trayIcon(m_rendered, m_guarding));
    Q_EMIT displayed();
}

void WLStatusItemView::handleHighlightNotification(const Notification& notification)
{
    if (notification.name == QLatin1String(events::setHighlight))
        m_isSelected = true;
    else if (notification.name == QLatin1String(events::unsetHighlight))
        m_isSelected = false;
    // Every delivery redraws, also one that leaves the state as it was.
    setNeedsDisplay();
}

void WLStatusItemView::mouseDown()
{
    // Our own observer flips isSelected while the post is delivered.
    if (m_isSelected) {
        m_center.postNotificationName(events::unsetHighlight, this);
        hideApplication();
    } else {
        m_center.postNotificationName(events::setHighlight, this);
    }
}

namespace {
// The tray icon's own window is one of the application's top-level windows on X11: hiding it
// would take the icon out of the panel, and with it the only way back in.
bool isTrayIconWindow(const QWidget* widget)
{
    return qstrcmp(widget->metaObject()->className(), "QSystemTrayIconSys") == 0;
}

// Guarded: hiding one window may destroy another.
template <typename Window>
void hideVisible(const QList<Window*>& all, const QSet<const QWindow*>& keep)
{
    const QList<QPointer<Window>> windows(all.begin(), all.end());
    for (const QPointer<Window>& w : windows) {
        if (!w || !w->isVisible())
            continue;
        if constexpr (std::is_same_v<Window, QWidget>) {
            if (isTrayIconWindow(w))
                continue;
        } else {
            if (keep.contains(w))
                continue;
        }
        w->hide();
    }
}
} // namespace

void hideApplication()
{
    QSet<const QWindow*> trayWindows;
    const QList<QWidget*> widgets = QApplication::topLevelWidgets();
    for (QWidget* widget : widgets) {
        if (isTrayIconWindow(widget) && widget->windowHandle())
            trayWindows.insert(widget->windowHandle());
    }
    hideVisible(widgets, trayWindows);
    hideVisible(QGuiApplication::topLevelWindows(), trayWindows); // windows that are not widgets
}

} // namespace wl
