// Qt's own Russian translations for the standard dialogs (file and folder choosers, colour and font dialogs,
// message-box buttons, print dialogs), so that nothing the toolkit draws speaks English.
#pragma once

#include <QString>

class QApplication;

namespace ui {

// Loads "qtbase_ru" from Qt's translations folder (QLibraryInfo::TranslationsPath; Debian's
// qt6-translations-l10n puts it there) into the application, so that the dialogs made later speak Russian.
// The translator lives as long as the application.
// Returns false when the translation is not installed (the dialogs then stay English).
bool installRussianTranslations(QApplication& app);

// Where installRussianTranslations looks for the translation files.
QString qtTranslationsFolder();

} // namespace ui
