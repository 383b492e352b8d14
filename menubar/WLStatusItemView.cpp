#include "menubar/WLStatusItemView.h"

#include "app/SettingsKeys.h"

#include <QApplication>
#include <QPainter>
#include <QPalette>
#include <QSet>
#include <QWidget>
#include <QWindow>

#include <cmath>
#include <type_traits>

namespace wl {

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
    const QPixmap& image = (isYosemiteDarkTheme() || m_isSelected) ? m_darkImage : m_lightImage;
    if (image.isNull())
        return;
    const QSizeF size = image.deviceIndependentSize();
    const QRectF placed(kImageOrigin.x(), m_frame.height() - kImageOrigin.y() - size.height(),
                        size.width(), size.height());
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
        m_delegate->setIcon(QIcon(m_rendered));
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
