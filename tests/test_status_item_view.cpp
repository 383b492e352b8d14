#include "app/NotificationCenter.h"
#include "app/SettingsKeys.h"
#include "menubar/Appearance.h"
#include "menubar/Images.h"
#include "menubar/WLStatusItemView.h"

#include <QApplication>
#include <QDBusConnection>
#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

using namespace wl;

namespace {

const QColor kLightColour(200, 0, 0);
const QColor kDarkColour(0, 0, 200);

QPixmap solid(int width, int height, const QColor& colour)
{
    QPixmap pixmap(width, height);
    pixmap.fill(colour);
    return pixmap;
}

QColor highlightColour()
{
    return QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight);
}

class FakeAppearance : public AppearanceSource
{
public:
    QString name() const override { return m_name; }
    void set(const QString& name)
    {
        m_name = name;
        Q_EMIT changed();
    }

private:
    QString m_name = QString::fromLatin1(kLightAppearanceName);
};

// The rendered picture, read back pixel by pixel.
struct Picture
{
    QImage image;

    // The smallest rectangle holding every pixel of that colour (empty if none).
    QRect boundsOf(const QColor& colour) const
    {
        QRect found;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y) == colour)
                    found |= QRect(x, y, 1, 1);
        return found;
    }
    // Whether every pixel outside inner has the background colour.
    bool backgroundOutside(const QRect& inner, const QColor& background) const
    {
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (!inner.contains(x, y) && image.pixelColor(x, y) != background)
                    return false;
        return true;
    }
};

class StatusItemViewTest : public ::testing::Test
{
protected:
    std::unique_ptr<WLStatusItemView> makeView(QPixmap light = solid(16, 12, kLightColour),
                                               QPixmap dark = solid(10, 14, kDarkColour))
    {
        return std::make_unique<WLStatusItemView>(std::move(light), std::move(dark), tray.get(),
                                                  center, &appearance);
    }
    // Waits for the queued render, so the test sees what the tray is shown.
    static Picture rendered(WLStatusItemView& view)
    {
        if (view.needsDisplay()) {
            QSignalSpy displayed(&view, &WLStatusItemView::displayed);
            EXPECT_TRUE(displayed.wait(5000));
        }
        return Picture{view.renderedPixmap().toImage().convertToFormat(QImage::Format_ARGB32)};
    }
    void post(const char* name) { center.postNotificationName(name, &center); }

    NotificationCenter center;
    FakeAppearance appearance;
    std::unique_ptr<QSystemTrayIcon> tray = std::make_unique<QSystemTrayIcon>();
};

// Light image 16 x 12 at (2, 2) from the bottom-left: rows 22 - 2 - 12 = 8 to 19 in Qt's terms.
const QRect kLightPlaced(2, 8, 16, 12);
// Dark image 10 x 14: rows 6 to 19.
const QRect kDarkPlaced(2, 6, 10, 14);

TEST_F(StatusItemViewTest, SizeComesFromTheLightImageAndTheDefaultThickness)
{
    auto view = makeView(solid(16, 12, kLightColour), solid(30, 14, kDarkColour));
    EXPECT_EQ(view->frame(), QRect(0, 0, 20, 22));
    EXPECT_EQ(rendered(*view).image.size(), QSize(20, 22));

    auto missing = makeView(QPixmap(), solid(30, 14, kDarkColour));
    EXPECT_EQ(missing->frame(), QRect(0, 0, 4, 22));

    auto bundled = makeView(imageNamed(QStringLiteral("statusbaricon")),
                            imageNamed(QStringLiteral("statusbaricon-white")));
    EXPECT_EQ(bundled->frame().width(), 18 + WLStatusItemView::kWidthPadding);
}

TEST_F(StatusItemViewTest, NotSelectedOnALightPanelDrawsTheLightImageOnNothing)
{
    auto view = makeView();
    const Picture picture = rendered(*view);
    EXPECT_EQ(picture.boundsOf(kLightColour), kLightPlaced);
    EXPECT_TRUE(picture.backgroundOutside(kLightPlaced, Qt::transparent));
    // The tray shows exactly this picture.
    EXPECT_EQ(tray->icon().pixmap(QSize(20, 22)).toImage().convertToFormat(QImage::Format_ARGB32),
              picture.image);
}

TEST_F(StatusItemViewTest, NotSelectedOnADarkPanelDrawsTheDarkImage)
{
    appearance.set(QString::fromLatin1(kDarkAppearanceName));
    auto view = makeView();
    EXPECT_TRUE(view->isYosemiteDarkTheme());
    const Picture picture = rendered(*view);
    EXPECT_EQ(picture.boundsOf(kDarkColour), kDarkPlaced);
    EXPECT_TRUE(picture.backgroundOutside(kDarkPlaced, Qt::transparent));
}

TEST_F(StatusItemViewTest, SelectedDrawsTheHighlightAndTheDarkImageInEitherAppearance)
{
    for (const char* name : {kLightAppearanceName, kDarkAppearanceName}) {
        SCOPED_TRACE(name);
        appearance.set(QString::fromLatin1(name));
        auto view = makeView();
        post(events::setHighlight);
        const Picture picture = rendered(*view);
        EXPECT_EQ(picture.boundsOf(kDarkColour), kDarkPlaced);
        EXPECT_TRUE(picture.backgroundOutside(kDarkPlaced, highlightColour()));
        EXPECT_TRUE(picture.boundsOf(kLightColour).isEmpty());
    }
}

TEST_F(StatusItemViewTest, AMissingImageDrawsNothingOverTheBackground)
{
    auto noLight = makeView(QPixmap(), solid(10, 14, kDarkColour));
    EXPECT_TRUE(rendered(*noLight).backgroundOutside(QRect(), Qt::transparent));

    auto noDark = makeView(solid(16, 12, kLightColour), QPixmap());
    post(events::setHighlight);
    EXPECT_TRUE(rendered(*noDark).backgroundOutside(QRect(), highlightColour()));
}

TEST_F(StatusItemViewTest, WithoutItsStatusItemNoBackgroundIsDrawn)
{
    auto view = makeView();
    tray.reset(); // held weakly
    EXPECT_EQ(view->delegate(), nullptr);
    post(events::setHighlight);
    const Picture picture = rendered(*view);
    EXPECT_EQ(picture.boundsOf(kDarkColour), kDarkPlaced);
    EXPECT_TRUE(picture.backgroundOutside(kDarkPlaced, Qt::transparent));
}

TEST_F(StatusItemViewTest, DarkIsExactlyTheDarkAppearanceNameAndIsAskedOnEveryDraw)
{
    auto view = makeView();
    for (const QString& name : {QStringLiteral("NSAppearanceNameVibrantDarkX"),
                                QStringLiteral("nsappearancenamevibrantdark"), QString()}) {
        appearance.set(name);
        EXPECT_FALSE(view->isYosemiteDarkTheme()) << name.toStdString();
    }
    EXPECT_EQ(rendered(*view).boundsOf(kLightColour), kLightPlaced);

    // A switch of the desktop redraws with the other image.
    appearance.set(QString::fromLatin1(kDarkAppearanceName));
    EXPECT_TRUE(view->needsDisplay());
    EXPECT_EQ(rendered(*view).boundsOf(kDarkColour), kDarkPlaced);

    WLStatusItemView noAppearance(solid(16, 12, kLightColour), QPixmap(), tray.get(), center,
                                  nullptr);
    EXPECT_FALSE(noAppearance.isYosemiteDarkTheme());
}

TEST_F(StatusItemViewTest, RedrawRequestsInOnePassRenderOnce)
{
    auto view = makeView();
    rendered(*view);
    QSignalSpy displayed(view.get(), &WLStatusItemView::displayed);
    view->setNeedsDisplay();
    view->setNeedsDisplay();
    post(events::setHighlight);
    EXPECT_EQ(displayed.count(), 0); // not before the next pass
    ASSERT_TRUE(displayed.wait(5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(displayed.count(), 1);

    view->setNeedsDisplay(true);
    view->setNeedsDisplay(false);
    QCoreApplication::processEvents();
    EXPECT_EQ(displayed.count(), 1);
}

// Every "setHighlight" and "unsetHighlight" the view hears, with its poster.
struct PostLog
{
    explicit PostLog(NotificationCenter& center)
        : set(center, events::setHighlight, [this](const Notification& n) { seen.push_back(n); }),
          unset(center, events::unsetHighlight,
                [this](const Notification& n) { seen.push_back(n); })
    {
    }
    std::vector<Notification> seen;
    ObserverRegistration set;
    ObserverRegistration unset;
};

TEST_F(StatusItemViewTest, AClickWhileNotSelectedPostsOneSetHighlight)
{
    auto view = makeView();
    rendered(*view);
    PostLog log(center);
    Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
    ASSERT_EQ(log.seen.size(), 1u);
    EXPECT_EQ(log.seen[0].name, QLatin1String(events::setHighlight));
    EXPECT_EQ(log.seen[0].object, view.get());
    EXPECT_TRUE(view->isSelected());
    EXPECT_TRUE(view->needsDisplay());
    EXPECT_FALSE(rendered(*view).boundsOf(highlightColour()).isEmpty());
}

TEST_F(StatusItemViewTest, AClickWhileSelectedPostsOneUnsetHighlightAndHidesTheApplication)
{
    auto view = makeView();
    QWidget panel;
    QWidget other;
    QWidget hidden;
    panel.show();
    other.show();
    post(events::setHighlight);
    PostLog log(center);
    // Hiding comes after the post: the panel is still up while observers hear it.
    bool panelVisibleDuringPost = false;
    ObserverRegistration probe(center, events::unsetHighlight, [&](const Notification&) {
        panelVisibleDuringPost = panel.isVisible();
    });

    Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
    ASSERT_EQ(log.seen.size(), 1u);
    EXPECT_EQ(log.seen[0].name, QLatin1String(events::unsetHighlight));
    EXPECT_EQ(log.seen[0].object, view.get());
    EXPECT_TRUE(panelVisibleDuringPost);
    EXPECT_FALSE(view->isSelected());
    EXPECT_FALSE(panel.isVisible());
    EXPECT_FALSE(other.isVisible());
    EXPECT_FALSE(hidden.isVisible());
    EXPECT_TRUE(rendered(*view).boundsOf(highlightColour()).isEmpty());
}

TEST_F(StatusItemViewTest, OnlyTheLeftButtonActivationClicks)
{
    auto view = makeView();
    PostLog log(center);
    for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick,
                        QSystemTrayIcon::DoubleClick, QSystemTrayIcon::Unknown})
        Q_EMIT tray->activated(reason);
    EXPECT_TRUE(log.seen.empty());
    EXPECT_FALSE(view->isSelected());

    // A new status item takes over the clicks; the old one no longer reaches the view.
    QSystemTrayIcon replacement;
    view->setDelegate(&replacement);
    Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(log.seen.empty());
    Q_EMIT replacement.activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(log.seen.size(), 1u);
}

TEST_F(StatusItemViewTest, EventsFromOtherPostersMoveTheStateAndEachOneRedraws)
{
    auto view = makeView();
    rendered(*view);
    const struct
    {
        const char* event;
        bool selected;
    } steps[] = {{events::setHighlight, true},
                 {events::setHighlight, true},
                 {events::unsetHighlight, false},
                 {events::unsetHighlight, false},
                 {events::setHighlight, true}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.event);
        QSignalSpy displayed(view.get(), &WLStatusItemView::displayed);
        post(step.event);
        EXPECT_EQ(view->isSelected(), step.selected);
        EXPECT_TRUE(displayed.wait(5000));
    }

    // A view that is gone hears nothing more.
    view.reset();
    post(events::unsetHighlight);
}

TEST(Images, BundledImagesLoadByNameAtBothRatios)
{
    for (const QString& name :
         {QStringLiteral("statusbaricon"), QStringLiteral("statusbaricon-white")}) {
        SCOPED_TRACE(name.toStdString());
        const QPixmap single = imageNamed(name, 1.0);
        ASSERT_FALSE(single.isNull());
        EXPECT_EQ(single.size(), QSize(18, 18));

        const QPixmap doubled = imageNamed(name, 2.0);
        ASSERT_FALSE(doubled.isNull());
        EXPECT_EQ(doubled.size(), QSize(36, 36)); // device pixels
        EXPECT_EQ(doubled.devicePixelRatio(), 2.0);
        EXPECT_EQ(doubled.deviceIndependentSize(), QSizeF(18, 18));
    }
    EXPECT_TRUE(imageNamed(QStringLiteral("no-such-image")).isNull());
    EXPECT_TRUE(imageNamed(QString()).isNull());
}

// The mean lightness of the opaque pixels of an image.
int glyphLightness(const QPixmap& pixmap)
{
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    qint64 sum = 0;
    qint64 count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (const QColor c = image.pixelColor(x, y); c.alpha() > 200) {
                sum += c.lightness();
                ++count;
            }
    return count ? int(sum / count) : -1;
}

TEST(Images, TheLightPanelGlyphIsDarkAndTheOtherWhite)
{
    for (qreal ratio : {1.0, 2.0}) {
        EXPECT_LT(glyphLightness(imageNamed(QStringLiteral("statusbaricon"), ratio)), 64);
        EXPECT_GT(glyphLightness(imageNamed(QStringLiteral("statusbaricon-white"), ratio)), 240);
    }
}

TEST(DesktopAppearance, WithoutAPortalThePaletteDecides)
{
    // The test runs with the session bus disabled: no portal.
    DesktopAppearance appearance(QDBusConnection::sessionBus());
    const QPalette original = QGuiApplication::palette();
    QSignalSpy changed(&appearance, &AppearanceSource::changed);

    QPalette dark = original;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    QApplication::setPalette(dark);
    EXPECT_EQ(appearance.name(), QLatin1String(kDarkAppearanceName));
    EXPECT_GE(changed.count(), 1);

    QPalette light = original;
    light.setColor(QPalette::Window, QColor(235, 235, 235));
    QApplication::setPalette(light);
    EXPECT_EQ(appearance.name(), QLatin1String(kLightAppearanceName));
    QApplication::setPalette(original);
    EXPECT_FALSE(appearance.portalScheme().has_value());
}

} // namespace
