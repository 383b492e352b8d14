#include "menubar/Appearance.h"
#include "support/DBusMocks.h"

#include <QDBusVariant>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace wl;
using namespace wl::test;

namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettings = QStringLiteral("org.freedesktop.portal.Settings");

class DesktopAppearanceTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { buses = new PrivateBuses; }
    static void TearDownTestSuite()
    {
        delete buses;
        buses = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(buses->ok()) << buses->error().toStdString(); }

    // A portal whose settings answer method with the given python expression.
    std::unique_ptr<DBusMock> portal(const QString& method, const QString& answer)
    {
        auto mock = std::make_unique<DBusMock>(DBusMock::Bus::Session, kPortal,
                                               QStringList{kPortal, kPortalPath, kSettings});
        if (!mock->start())
            return nullptr;
        const QDBusMessage added = mock->mockCall(
            kPortalPath, QStringLiteral("AddMethod"),
            {kSettings, method, QStringLiteral("ss"), QStringLiteral("v"),
             QStringLiteral("ret = %1 if args == ['org.freedesktop.appearance', 'color-scheme'] "
                            "else None")
                 .arg(answer)});
        if (added.type() != QDBusMessage::ReplyMessage)
            return nullptr;
        return mock;
    }

    static void emitSchemeChange(DBusMock& mock, uint scheme,
                                 const QString& key = QStringLiteral("color-scheme"))
    {
        const QDBusMessage sent = mock.mockCall(
            kPortalPath, QStringLiteral("EmitSignal"),
            {kSettings, QStringLiteral("SettingChanged"), QStringLiteral("ssv"),
             QVariant::fromValue(QVariantList{
                 QVariant::fromValue(QDBusVariant(QStringLiteral("org.freedesktop.appearance"))),
                 QVariant::fromValue(QDBusVariant(key)),
                 QVariant::fromValue(QDBusVariant(QVariant::fromValue(scheme)))})});
        ASSERT_EQ(sent.type(), QDBusMessage::ReplyMessage) << sent.errorMessage().toStdString();
    }

    static PrivateBuses* buses;
};

PrivateBuses* DesktopAppearanceTest::buses = nullptr;

TEST_F(DesktopAppearanceTest, FollowsThePortalsColorSchemeAndItsChanges)
{
    auto mock =
        portal(QStringLiteral("ReadOne"), QStringLiteral("dbus.UInt32(1, variant_level=1)"));
    ASSERT_TRUE(mock);
    DesktopAppearance appearance(PrivateBuses::session());
    QSignalSpy changed(&appearance, &AppearanceSource::changed);
    ASSERT_TRUE(changed.wait(5000));
    EXPECT_EQ(appearance.portalScheme(), 1u);
    EXPECT_EQ(appearance.name(), QLatin1String(kDarkAppearanceName));

    emitSchemeChange(*mock, 2);
    ASSERT_TRUE(changed.wait(5000));
    EXPECT_EQ(appearance.name(), QLatin1String(kLightAppearanceName));

    // Another setting changing is none of ours; the same scheme again is no change.
    emitSchemeChange(*mock, 1, QStringLiteral("accent-color"));
    emitSchemeChange(*mock, 2);
    emitSchemeChange(*mock, 1);
    ASSERT_TRUE(changed.wait(5000));
    EXPECT_EQ(changed.count(), 3);
    EXPECT_EQ(appearance.name(), QLatin1String(kDarkAppearanceName));
}

TEST_F(DesktopAppearanceTest, AnOlderPortalIsReadThroughRead)
{
    // Read wraps the value in one more variant.
    auto mock = portal(QStringLiteral("Read"), QStringLiteral("dbus.UInt32(1, variant_level=2)"));
    ASSERT_TRUE(mock);
    DesktopAppearance appearance(PrivateBuses::session());
    QSignalSpy changed(&appearance, &AppearanceSource::changed);
    ASSERT_TRUE(changed.wait(5000));
    EXPECT_EQ(appearance.name(), QLatin1String(kDarkAppearanceName));
    EXPECT_EQ(mock->calledMethods(kPortalPath), (QStringList{"Read"}));
}

} // namespace
