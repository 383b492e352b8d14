// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/appearance/Appearance.h"
#include "platform/events/NotificationCenter.h"

#include <QObject>
#include <QPixmap>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSystemTrayIcon>

namespace wl {

// The program's icon in the tray. The panel host draws the tray itself, so the view renders
// itself into the pixmap the status item (the tray icon) shows: the item's background, lit while
// the panel is open, and the light or dark image, centred; while the key device is not guarding
// or locks are failing, the open look of the same image. A left click asks for the panel to open
// or close by posting "setHighlight" or "unsetHighlight"; the view follows both events from any
// poster. Geometry is in device-independent pixels with the origin at the bottom-left corner; the
// view converts to Qt's top-left origin when it paints. Main thread only.
class WLStatusItemView : public QObject
{
    Q_OBJECT
public:
    static constexpr int kWidthPadding = 4;      // added to the light image's width
    static constexpr int kDefaultThickness = 22; // when the tray host reports no icon size

    WLStatusItemView(QPixmap lightImage, QPixmap darkImage, QSystemTrayIcon* delegate,
                     NotificationCenter& center = NotificationCenter::defaultCenter(),
                     AppearanceSource* appearance = AppearanceSource::tray(),
                     QObject* parent = nullptr);
    ~WLStatusItemView() override;

    QPixmap lightImage() const { return m_lightImage; }
    void setLightImage(QPixmap image) { m_lightImage = std::move(image); }
    QPixmap darkImage() const { return m_darkImage; }
    void setDarkImage(QPixmap image) { m_darkImage = std::move(image); }
    // The open look, shown while not guarding; a missing one leaves the closed look in place.
    void setOpenImages(QPixmap lightImage, QPixmap darkImage);
    // What the guard is doing: the look it picks, and the status item's tooltip.
    void setGuardState(bool guarding, const QString& description);
    bool isGuarding() const { return m_guarding; }
    // The status item, held weakly; the view answers its left-button activation.
    QSystemTrayIcon* delegate() const { return m_delegate; }
    void setDelegate(QSystemTrayIcon* delegate);
    bool isSelected() const { return m_isSelected; }
    void setIsSelected(bool selected) { m_isSelected = selected; }
    // Held weakly: no source means no appearance.
    AppearanceSource* appearance() const { return m_appearance; }

    // Whether the appearance in effect is the dark panel appearance.
    bool isYosemiteDarkTheme() const;

    QRect frame() const { return m_frame; }
    void setFrame(const QRect& frame);
    QRect bounds() const { return QRect(QPoint(0, 0), m_frame.size()); }

    // Draws the background and the chosen image over rect (view coordinates) of the pixmap.
    void drawRect(const QRect& rect);
    // Asks for a render at the next pass of the event loop; requests in one pass render once.
    void setNeedsDisplay(bool needsDisplay = true);
    bool needsDisplay() const { return m_needsDisplay; }
    // Renders the whole view now and hands the picture to the status item.
    void display();
    // The last rendered picture, at the application's device pixel ratio.
    QPixmap renderedPixmap() const { return m_rendered; }

    void handleHighlightNotification(const Notification& notification);
    // The click: acts on activation, whatever the position or modifiers.
    void mouseDown();

    // The theme icons a StatusNotifierItem host may show (and recolour) instead of our picture.
    static constexpr char kGuardingIconName[] = "changes-prevent-symbolic";
    static constexpr char kNotGuardingIconName[] = "changes-allow-symbolic";

    // The tray's icon height where the host reports one, else kDefaultThickness.
    static int statusBarThickness(const QSystemTrayIcon* statusItem);

Q_SIGNALS:
    // A render was handed to the status item.
    void displayed();

private:
    // What the status item draws behind the view: its highlight, or the bare panel.
    void drawStatusBarBackground(QPainter& painter, const QRect& rect, bool highlight) const;
    QRect toQt(const QRect& rect) const;

    QPixmap m_lightImage;
    QPixmap m_darkImage;
    QPixmap m_openLightImage;
    QPixmap m_openDarkImage;
    bool m_guarding = true;
    QPointer<QSystemTrayIcon> m_delegate;
    bool m_isSelected = false;
    QPointer<AppearanceSource> m_appearance;
    NotificationCenter& m_center;
    QRect m_frame;
    QPixmap m_rendered;
    bool m_needsDisplay = false;
    bool m_displayQueued = false;
    QMetaObject::Connection m_activation;
    ObserverRegistration m_setObserver;
    ObserverRegistration m_unsetObserver;
};

// Hides every visible top-level window of the application (the panel with them); the window
// manager gives the focus back to the window that had it before.
void hideApplication();

} // namespace wl
