// The language the window speaks: Russian when the system's user interface is Russian, English
// (the texts as written in the sources) otherwise.
#pragma once

#include <QStringList>

// Whether the first of the system's user interface languages (QLocale::uiLanguages(): "ru",
// "ru-RU", "ru_RU.UTF-8", ...) is Russian. The others are the system's fall-backs, not the choice.
bool prefersRussian(const QStringList& uiLanguages);

// Installs the window's Russian texts and Qt's own (its dialogs and standard buttons) into the
// running application when prefersRussian() holds for the system's locale; otherwise installs
// nothing. Both come from the program's resources. Returns whether the texts are Russian now.
bool installUiLanguage();
