// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLocale>
#include <QTranslator>

namespace wl {

// The program's own translation and Qt's for one language, installed on the running application
// for as long as this lives. Needs the application object; English needs no file.
class Translations
{
public:
    explicit Translations(const QLocale& locale = QLocale());
    Translations(const Translations&) = delete;
    Translations& operator=(const Translations&) = delete;

    // Whether the program's own texts are translated for the locale.
    bool ownLoaded() const { return m_ownLoaded; }

private:
    QTranslator m_qt;
    QTranslator m_own;
    bool m_ownLoaded = false;
};

} // namespace wl
