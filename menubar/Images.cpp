// SPDX-License-Identifier: GPL-3.0-or-later
#include "menubar/Images.h"

#include <QGuiApplication>

namespace wl {

QPixmap imageNamed(const QString& name)
{
    return imageNamed(name, qGuiApp ? qGuiApp->devicePixelRatio() : 1.0);
}

QPixmap imageNamed(const QString& name, qreal devicePixelRatio)
{
    if (name.isEmpty())
        return {};
    if (devicePixelRatio > 1.0) {
        QPixmap doubled(QStringLiteral(":/%1@2x.png").arg(name));
        if (!doubled.isNull()) {
            doubled.setDevicePixelRatio(2.0);
            return doubled;
        }
    }
    return QPixmap(QStringLiteral(":/%1.png").arg(name));
}

} // namespace wl
