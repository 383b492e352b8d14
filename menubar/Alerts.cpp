// SPDX-License-Identifier: GPL-3.0-or-later
#include "menubar/Alerts.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

namespace wl {

QuitAlert makeQuitAlert(const QString& message, const QString& informativeText)
{
    QuitAlert alert;
    alert.box = std::make_unique<QMessageBox>();
    QMessageBox& box = *alert.box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("Wardlatch"));
    box.setTextFormat(Qt::PlainText);
    box.setText(message);
    box.setInformativeText(informativeText);
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setTextFormat(Qt::PlainText);
    alert.okButton =
        box.addButton(QCoreApplication::translate("wl::Alerts", "OK"), QMessageBox::AcceptRole);
    box.addButton(QCoreApplication::translate("wl::Alerts", "Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(alert.okButton);
    return alert;
}

int runQuitAlert(const QString& message, const QString& informativeText)
{
    QuitAlert alert = makeQuitAlert(message, informativeText);
    alert.box->exec();
    return alert.box->clickedButton() == alert.okButton ? 1000 : 1001;
}

void showAboutPanel()
{
    // The licence is named, not linked: the box opens nothing by itself.
    QMessageBox::about(nullptr, QCoreApplication::translate("wl::Alerts", "About Wardlatch"),
                       QCoreApplication::translate(
                           "wl::Alerts", "<p><b>Wardlatch</b> %1</p><p>Locks your session when "
                                         "your key device goes away.</p><p>Licensed under the GNU "
                                         "General Public License, version 3 or later.</p>")
                           .arg(QApplication::applicationVersion().toHtmlEscaped()));
}

} // namespace wl
