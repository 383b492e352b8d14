// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>

namespace wl {

Translations::Translations(const QLocale& locale)
{
    // Qt's texts (standard buttons, the command line's own options) come from the system's Qt.
    if (m_qt.load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                  QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&m_qt);
    // Ours are built into the program; installed last, they are looked up first.
    m_ownLoaded = m_own.load(locale, QStringLiteral("wardlatch"), QStringLiteral("_"),
                             QStringLiteral(":/i18n"));
    if (m_ownLoaded)
        QCoreApplication::installTranslator(&m_own);
}

} // namespace wl
