// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QVariantMap>

// The settings file's text as the INI reader reads it: what this program writes, and what it
// takes out of a file before the reader sees it.
namespace wl {

// The file's text for these values, which the reader reads back exactly.
QByteArray iniContent(const QVariantMap& values);

// The content with every line blanked whose value the reader would decode from a serialized
// form; dropped is set when there was one.
QByteArray withoutTypedValues(const QByteArray& content, bool* dropped);

// Where the last line that ends within the content ends: a line cut off is not read.
qsizetype endOfCompleteLines(const QByteArray& content);

} // namespace wl
