#include "ui/translations.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace ui {

QString qtTranslationsFolder() {
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath);
}

bool installRussianTranslations(QApplication& app) {
    // only the texts: the default locale stays, as the programs write their dates and numbers in fixed forms
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    // qtbase holds the standard dialogs and the message-box buttons
    auto* t = new QTranslator(&app);
    if (!t->load(russian, "qtbase", "_", qtTranslationsFolder()) || !QCoreApplication::installTranslator(t)) {
        delete t;
        return false;
    }
    return true;
}

} // namespace ui
