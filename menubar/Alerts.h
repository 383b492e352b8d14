// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <memory>

class QMessageBox;
class QPushButton;

namespace wl {

struct QuitAlert
{
    std::unique_ptr<QMessageBox> box;
    QPushButton* okButton = nullptr; // the first button
};

// The quit confirmation: "OK" then "Cancel", warning style. Both texts are shown as plain text,
// so a device name is never read as markup.
QuitAlert makeQuitAlert(const QString& message, const QString& informativeText);

// Runs it modally: 1000 for the first button, 1001 for the second.
int runQuitAlert(const QString& message, const QString& informativeText);

void showAboutPanel();

} // namespace wl
