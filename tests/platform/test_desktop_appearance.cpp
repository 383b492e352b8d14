// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/appearance/Appearance.h"
#include "support/Services.h"

#include <QDBusVariant>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace wl;
using namespace wl::test;

namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettings = QStringLiteral("org.freedesktop.portal.Settings");
const QString kDark = QString::fromLatin1(kDarkAppearanceName);

// A portal whose method answers the color-scheme with the python expression answer.
std::unique_ptr<DBusMock> portal(const QString& method, const QString& answer)
{
    auto mock = std::make_unique<DBusMock>(false, kPortal, QStringList{kPortal, kPath, kSettings});
    const QString code =
        QStringLiteral("ret = %1 if args == ['org.freedesktop.appearance', 'color-scheme'] "
                       "else None")
            .arg(answer);
    if (!mock->start() ||
        mock->mockCall(kPath, QStringLiteral("AddMethod"),
                       {kSettings, method, QStringLiteral("ss"), QStringLiteral("v"), code})
                .type() != QDBusMessage::ReplyMessage)
        return nullptr;
    return mock;
}

void emitChange(DBusMock& mock, const QString& key, uint scheme)
{
    const auto v = [](const QVariant& value) { return QVariant::fromValue(QDBusVariant(value)); };
    const QVariantList args{v(QStringLiteral("org.freedesktop.appearance")), v(key), v(scheme)};
    const QDBusMessage sent =
        mock.mockCall(kPath, QStringLiteral("EmitSignal"),
                      {kSettings, QStringLiteral("SettingChanged"), QStringLiteral("ssv"), args});
    ASSERT_EQ(sent.type(), QDBusMessage::ReplyMessage) << sent.errorMessage().toStdString();
}

using DesktopAppearanceTest = PrivateBusTest;

// A portal without ReadOne is asked through Read, which wraps the value once more.
TEST_F(DesktopAppearanceTest, FollowsThePortalsColorScheme)
{
    for (const auto& [method, answer] : {std::pair{"ReadOne", "dbus.UInt32(1, variant_level=1)"},
                                         std::pair{"Read", "dbus.UInt32(1, variant_level=2)"}}) {
        SCOPED_TRACE(method);
        auto mock = portal(QLatin1String(method), QLatin1String(answer));
        ASSERT_TRUE(mock);
        DesktopAppearance appearance(QDBusConnection::sessionBus());
        QSignalSpy changed(&appearance, &AppearanceSource::changed);
        ASSERT_TRUE(changed.wait(5000));
        EXPECT_EQ(appearance.name(), kDark);

        emitChange(*mock, QStringLiteral("color-scheme"), 2);
        ASSERT_TRUE(changed.wait(5000));
        EXPECT_NE(appearance.name(), kDark);
        // Other settings, and the same scheme again, change nothing.
        emitChange(*mock, QStringLiteral("accent-color"), 1);
        emitChange(*mock, QStringLiteral("color-scheme"), 2);
        emitChange(*mock, QStringLiteral("color-scheme"), 1);
        ASSERT_TRUE(changed.wait(5000));
        EXPECT_EQ(changed.count(), 3);
        EXPECT_EQ(appearance.name(), kDark);
    }
}

} // namespace
