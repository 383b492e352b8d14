# SPDX-License-Identifier: GPL-3.0-or-later
# The program's translations: translations/wardlatch_<language>.ts, compiled by lrelease and built
# into wardlatch_core as resources under :/i18n, so nothing is installed beside the program.
# `cmake --build build --target update_translations` runs lupdate to refresh the .ts files from
# the sources and the panel's .ui file.
find_package(Qt6 REQUIRED COMPONENTS LinguistTools)

file(GLOB_RECURSE wl_translated_sources CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/app/*.cpp ${PROJECT_SOURCE_DIR}/app/*.h
    ${PROJECT_SOURCE_DIR}/devices/*.cpp ${PROJECT_SOURCE_DIR}/devices/*.h
    ${PROJECT_SOURCE_DIR}/menubar/*.cpp ${PROJECT_SOURCE_DIR}/menubar/*.h
    ${PROJECT_SOURCE_DIR}/platform/*.cpp ${PROJECT_SOURCE_DIR}/platform/*.h)

qt_add_translations(wardlatch_core
    TS_FILES ${PROJECT_SOURCE_DIR}/translations/wardlatch_de.ts
    SOURCES ${wl_translated_sources} ${PROJECT_SOURCE_DIR}/resources/MainMenu.ui
    RESOURCE_PREFIX /i18n
    LUPDATE_OPTIONS -no-obsolete -locations none)
