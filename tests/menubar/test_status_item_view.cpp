// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "menubar/Images.h"
#include "menubar/WLStatusItemView.h"
#include "platform/appearance/Appearance.h"
#include "platform/events/NotificationCenter.h"
#include "support/Services.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWidget>

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

using namespace wl;
using namespace Qt::StringLiterals;

namespace {

const QColor kLight(200, 0, 0), kDark(0, 0, 200), kOpenLight(0, 200, 0), kOpenDark(200, 200, 0);
const QString kDarkName = QString::fromLatin1(kDarkAppearanceName);

QPixmap solid(int width, int height, const QColor& colour)
{
    QPixmap pixmap(width, height);
    pixmap.fill(colour);
    return pixmap;
}

struct FakeAppearance : AppearanceSource
{
    QString name() const override { return value; }
    void set(const QString& name)
    {
        value = name;
        Q_EMIT changed();
    }
    QString value;
};

// Where colour sits in image, and whether every other pixel is background.
QRect placement(const QImage& image, const QColor& colour, const QColor& background)
{
    QRect found;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c == colour)
                found |= QRect(x, y, 1, 1);
            else if (c != background)
                return QRect(-1, -1, 1, 1);
        }
    return found;
}

class StatusItemViewTest : public ::testing::Test
{
protected:
    std::unique_ptr<WLStatusItemView> makeView(QPixmap light = solid(16, 12, kLight),
                                               QPixmap dark = solid(10, 14, kDark))
    {
        return std::make_unique<WLStatusItemView>(light, dark, tray.get(), center, &appearance);
    }
    // What the tray is shown, once the pending render has run.
    static QImage rendered(WLStatusItemView& view)
    {
        QSignalSpy displayed(&view, &WLStatusItemView::displayed);
        EXPECT_TRUE(!view.needsDisplay() || displayed.wait(5000));
        return view.renderedPixmap().toImage().convertToFormat(QImage::Format_ARGB32);
    }
    void post(const char* name) { center.postNotificationName(name, &center); }
    NotificationCenter center;
    FakeAppearance appearance;
    std::unique_ptr<QSystemTrayIcon> tray = std::make_unique<QSystemTrayIcon>();
};

TEST_F(StatusItemViewTest, DrawsBackgroundAndImageByAppearanceSelectionAndGuard)
{
    EXPECT_EQ(makeView(solid(16, 12, kLight), solid(30, 9, kDark))->frame(), QRect(0, 0, 20, 22));
    EXPECT_EQ(makeView(QPixmap())->frame(), QRect(0, 0, 4, 22));

    const QColor lit = QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight);
    const QColor none = Qt::transparent;
    const QRect lightAt(2, 5, 16, 12), darkAt(5, 4, 10, 14); // centred in 20 x 22 px
    constexpr int Dark = 1, Selected = 2, Gone = 4, Open = 8, NoLight = 16, NoDark = 32;
    const struct
    {
        const char* what;
        int state;
        QColor colour;
        QRect at;
        QColor background;
    } cases[] = {
        {"light panel", 0, kLight, lightAt, none},
        {"dark panel", Dark, kDark, darkAt, none},
        {"selected, light", Selected, kDark, darkAt, lit},
        {"selected, dark", Dark | Selected, kDark, darkAt, lit},
        {"item gone", Selected | Gone, kDark, darkAt, none},
        {"no light image", NoLight, kDark, QRect(), none},
        {"no dark image", Selected | NoDark, kDark, QRect(), lit},
        {"not guarding", Open, kOpenLight, QRect(4, 5, 12, 12), none},
        {"not guarding, selected", Open | Selected, kOpenDark, QRect(6, 3, 8, 16), lit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        appearance.set(c.state & Dark ? kDarkName : QString());
        tray = std::make_unique<QSystemTrayIcon>();
        auto view = makeView(c.state & NoLight ? QPixmap() : solid(16, 12, kLight),
                             c.state & NoDark ? QPixmap() : solid(10, 14, kDark));
        view->setOpenImages(solid(12, 12, kOpenLight), solid(8, 16, kOpenDark));
        view->setGuardState(!(c.state & Open), QString::fromLatin1(c.what));
        if (c.state & Gone)
            tray.reset(); // held weakly
        post(c.state & Selected ? events::setHighlight : events::unsetHighlight);
        const QImage image = rendered(*view);
        EXPECT_EQ(placement(image, c.colour, c.background), c.at);
        if (tray) {
            EXPECT_EQ(tray->toolTip(), QString::fromLatin1(c.what));
            const QImage shown = tray->icon().pixmap(image.size()).toImage();
            EXPECT_EQ(shown.convertToFormat(image.format()), image);
        }
    }
}

TEST_F(StatusItemViewTest, AnAppearanceSwitchRedrawsAndRequestsInOnePassRenderOnce)
{
    auto view = makeView();
    rendered(*view);
    QSignalSpy displayed(view.get(), &WLStatusItemView::displayed);
    appearance.set(kDarkName);
    view->setNeedsDisplay();
    post(events::unsetHighlight);
    EXPECT_EQ(displayed.count(), 0); // not before the next pass
    ASSERT_TRUE(displayed.wait(5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(displayed.count(), 1);
    EXPECT_EQ(placement(rendered(*view), kDark, Qt::transparent), QRect(5, 4, 10, 14));
}

TEST_F(StatusItemViewTest, ClicksPostTheEventsAndEveryEventRedraws)
{
    auto view = makeView();
    QWidget panel, other;
    panel.show();
    other.show();
    QStringList posts;
    bool panelUpDuringPost = false;
    const auto record = [&](const Notification& n) {
        if (n.object == view.get())
            posts << n.name;
        panelUpDuringPost = panel.isVisible();
    };
    ObserverRegistration a(center, events::setHighlight, record);
    ObserverRegistration b(center, events::unsetHighlight, record);
    for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick,
                        QSystemTrayIcon::DoubleClick, QSystemTrayIcon::Unknown})
        Q_EMIT tray->activated(reason);
    EXPECT_TRUE(posts.empty());
    Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(view->isSelected());
    EXPECT_TRUE(panel.isVisible());
    Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
    // One event a click, from the view; the application hides after the post.
    EXPECT_EQ(posts, (QStringList{QLatin1String(events::setHighlight),
                                  QLatin1String(events::unsetHighlight)}));
    EXPECT_TRUE(panelUpDuringPost);
    EXPECT_FALSE(panel.isVisible());
    EXPECT_FALSE(other.isVisible());
    // Other posters move the state the same way; each delivery redraws, changed or not.
    for (const auto& [event, selected] :
         {std::pair{events::setHighlight, true}, std::pair{events::setHighlight, true},
          std::pair{events::unsetHighlight, false}, std::pair{events::unsetHighlight, false}}) {
        rendered(*view);
        QSignalSpy displayed(view.get(), &WLStatusItemView::displayed);
        post(event);
        EXPECT_EQ(view->isSelected(), selected);
        EXPECT_TRUE(displayed.wait(5000)) << event;
    }
    view.reset();
    post(events::setHighlight); // a view that is gone hears nothing
}

// A desktop whose tray recolours symbolic icons is given the theme's padlock for the guard state.
TEST_F(StatusItemViewTest, TheGuardStatePicksTheThemeIcon)
{
    QTemporaryDir themes;
    const QString theme = themes.filePath(u"test/16x16/status"_s);
    QFile index(themes.filePath(u"test/index.theme"_s));
    ASSERT_TRUE(QDir().mkpath(theme) && index.open(QIODevice::WriteOnly));
    index.write("[Icon Theme]\nName=test\nDirectories=16x16/status\n\n"
                "[16x16/status]\nSize=16\nType=Fixed\n");
    index.close();
    for (const char* name :
         {WLStatusItemView::kGuardingIconName, WLStatusItemView::kNotGuardingIconName})
        solid(16, 16, kLight).save(theme + QLatin1Char('/') + QLatin1String(name) + ".png");
    const QStringList oldPaths = QIcon::themeSearchPaths();
    const QString oldTheme = QIcon::themeName();
    QIcon::setThemeSearchPaths({themes.path()});
    QIcon::setThemeName(u"test"_s);
    auto view = makeView();
    for (const char* name :
         {WLStatusItemView::kGuardingIconName, WLStatusItemView::kNotGuardingIconName,
          WLStatusItemView::kGuardingIconName}) {
        view->setGuardState(name == WLStatusItemView::kGuardingIconName, {});
        rendered(*view);
        EXPECT_EQ(tray->icon().name(), QLatin1String(name));
    }
    QIcon::setThemeSearchPaths(oldPaths);
    QIcon::setThemeName(oldTheme);
    view->setNeedsDisplay();
    rendered(*view);
    EXPECT_EQ(tray->icon().name(), QString());
}

TEST(TrayPanel, TheTrayManagersColoursTellADarkPanel)
{
    EXPECT_EQ(trayPanelIsDark(nullptr, 0), std::nullopt); // offscreen, Wayland
    test::Service server{{QStringLiteral("--x11")}};
    ASSERT_TRUE(server.start());
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(
        server.address(QStringLiteral("DISPLAY")).toLocal8Bit().constData(), &screenNumber);
    ASSERT_EQ(xcb_connection_has_error(c), 0);
    const auto closing = qScopeGuard([c] { xcb_disconnect(c); });
    const auto atom = [c](const QByteArray& name) {
        auto* reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, name.size(), name), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return atom;
    };
    EXPECT_EQ(trayPanelIsDark(c, screenNumber), std::nullopt); // no tray manager

    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t manager = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, manager, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_set_selection_owner(c, manager,
                            atom("_NET_SYSTEM_TRAY_S" + QByteArray::number(screenNumber)),
                            XCB_CURRENT_TIME);
    EXPECT_EQ(trayPanelIsDark(c, screenNumber), std::nullopt); // a manager that names no colours

    // Foreground, then error, warning and success colours.
    for (const auto& [foreground, dark] : {std::pair{0xffffu, true}, std::pair{0x2222u, false}}) {
        const uint32_t colours[12] = {foreground, foreground, foreground, 0xffff, 0,      0,
                                      0xffff,     0xffff,     0,          0,      0xffff, 0};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, manager, atom("_NET_SYSTEM_TRAY_COLORS"),
                            XCB_ATOM_CARDINAL, 32, 12, colours);
        EXPECT_EQ(trayPanelIsDark(c, screenNumber), dark) << foreground;
    }
}

TEST(Images, BundledByNameAtBothRatios)
{
    for (const char* name :
         {"statusbaricon", "statusbaricon-white", "statusbaricon-open", "statusbaricon-open-white"})
        for (const qreal ratio : {1.0, 2.0}) {
            const QPixmap image = imageNamed(QLatin1String(name), ratio);
            EXPECT_EQ(image.size(), QSize(18, 18) * ratio) << name;
            EXPECT_EQ(image.deviceIndependentSize(), QSizeF(18, 18)) << name;
        }
    EXPECT_TRUE(imageNamed(u"no-such-image"_s).isNull());
}

TEST(DesktopAppearance, WithoutAPortalThePaletteDecides)
{
    DesktopAppearance appearance(QDBusConnection::sessionBus()); // the bus is disabled here
    const QPalette original = QGuiApplication::palette();
    QSignalSpy changed(&appearance, &AppearanceSource::changed);
    for (const auto& [window, name] : {std::pair{QColor(30, 30, 30), kDarkAppearanceName},
                                       std::pair{QColor(235, 235, 235), kLightAppearanceName}}) {
        QPalette palette = original;
        palette.setColor(QPalette::Window, window);
        QApplication::setPalette(palette);
        EXPECT_EQ(appearance.name(), QLatin1String(name));
    }
    QApplication::setPalette(original);
    EXPECT_GE(changed.count(), 2);
}

} // namespace
