// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPixmap>
#include <QString>

namespace wl {

// A bundled image by name ("statusbaricon"), or a null pixmap (size 0 x 0) when there is no such
// image. On a screen of ratio above 1 the name@2x file is used when bundled, marked with ratio 2
// so that its size in device-independent pixels stays that of the 1x file.
QPixmap imageNamed(const QString& name);
// The same for a given device pixel ratio.
QPixmap imageNamed(const QString& name, qreal devicePixelRatio);

} // namespace wl
