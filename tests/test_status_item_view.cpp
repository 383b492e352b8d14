#include "app/NotificationCenter.h"
#include "app/SettingsKeys.h"
#include "menubar/Appearance.h"
#include "menubar/Images.h"
#include "menubar/WLStatusItemView.h"

#include <QApplication>
#include <QDBusConnection>
#include <QSignalSpy>
#include <QWidget>

#include <gtest/gtest.h>

using namespace wl;

namespace {

const QColor kLight(200, 0, 0), kDark(0, 0, 200);
const QString kDarkName = QString::fromLatin1(kDarkAppearanceName);

QPixmap solid(int width, int height, const QColor& colour)
{
    QPixmap pixmap(width, height);
    pixmap.fill(colour);
    return pixmap;
}

class FakeAppearance : public AppearanceSource
{
public:
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
    bool clean = true;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c == colour)
                found |= QRect(x, y, 1, 1);
            else
                clean = clean && c == background;
        }
    return clean ? found : QRect(-1, -1, 1, 1);
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

TEST_F(StatusItemViewTest, DrawsBackgroundAndImageByAppearanceAndSelection)
{
    // The width follows the light image alone.
    EXPECT_EQ(makeView(solid(16, 12, kLight), solid(30, 9, kDark))->frame(), QRect(0, 0, 20, 22));
    EXPECT_EQ(makeView(QPixmap())->frame(), QRect(0, 0, 4, 22));

    const QColor lit = QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight);
    const QColor none = Qt::transparent;
    const QPixmap light = solid(16, 12, kLight), dark = solid(10, 14, kDark);
    // 2 px from the left and bottom of 22 px: light 16 x 12 at rows 8-19, dark 10 x 14 at 6-19.
    const QRect lightAt(2, 8, 16, 12), darkAt(2, 6, 10, 14);
    const struct
    {
        const char* what;
        bool dark, selected, hasItem;
        QPixmap light, darkImage;
        QColor colour;
        QRect at;
        QColor background;
    } cases[] = {
        {"light panel", false, false, true, light, dark, kLight, lightAt, none},
        {"dark panel", true, false, true, light, dark, kDark, darkAt, none},
        {"selected, light", false, true, true, light, dark, kDark, darkAt, lit},
        {"selected, dark", true, true, true, light, dark, kDark, darkAt, lit},
        {"item gone", false, true, false, light, dark, kDark, darkAt, none},
        {"no light image", false, false, true, QPixmap(), dark, kDark, QRect(), none},
        {"no dark image", false, true, true, light, QPixmap(), kDark, QRect(), lit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        appearance.set(c.dark ? kDarkName : QString());
        tray = std::make_unique<QSystemTrayIcon>();
        auto view = makeView(c.light, c.darkImage);
        if (!c.hasItem)
            tray.reset(); // held weakly
        post(c.selected ? events::setHighlight : events::unsetHighlight);
        const QImage image = rendered(*view);
        EXPECT_EQ(placement(image, c.colour, c.background), c.at);
        if (tray) {
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
    appearance.set(kDarkName); // the desktop switched: redraw with the dark image
    view->setNeedsDisplay();
    post(events::unsetHighlight);
    EXPECT_EQ(displayed.count(), 0); // not before the next pass
    ASSERT_TRUE(displayed.wait(5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(displayed.count(), 1);
    EXPECT_EQ(placement(rendered(*view), kDark, Qt::transparent), QRect(2, 6, 10, 14));
}

TEST_F(StatusItemViewTest, ClicksPostTheEventsAndEveryEventRedraws)
{
    auto view = makeView();
    QWidget panel, other;
    panel.show();
    other.show();
    std::vector<std::pair<QString, const void*>> posts;
    bool panelUpDuringPost = false;
    const auto record = [&](const Notification& n) {
        posts.emplace_back(n.name, n.object);
        panelUpDuringPost = panel.isVisible();
    };
    ObserverRegistration a(center, events::setHighlight, record);
    ObserverRegistration b(center, events::unsetHighlight, record);

    // Only the left-button activation is a click.
    for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick,
                        QSystemTrayIcon::DoubleClick, QSystemTrayIcon::Unknown})
        Q_EMIT tray->activated(reason);
    EXPECT_TRUE(posts.empty());

    Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(view->isSelected());
    EXPECT_TRUE(panel.isVisible());
    Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(view->isSelected());
    // One event a click, from the view; the application hides after the post.
    const void* self = view.get();
    EXPECT_EQ(posts, (std::vector<std::pair<QString, const void*>>{
                         {QString::fromLatin1(events::setHighlight), self},
                         {QString::fromLatin1(events::unsetHighlight), self}}));
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

TEST(Images, BundledByNameAtBothRatios)
{
    for (const QString& name :
         {QStringLiteral("statusbaricon"), QStringLiteral("statusbaricon-white")}) {
        for (const qreal ratio : {1.0, 2.0}) {
            const QPixmap image = imageNamed(name, ratio);
            EXPECT_EQ(image.size(), QSize(18, 18) * ratio) << name.toStdString();
            EXPECT_EQ(image.deviceIndependentSize(), QSizeF(18, 18)) << name.toStdString();
        }
    }
    EXPECT_TRUE(imageNamed(QStringLiteral("no-such-image")).isNull());
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
