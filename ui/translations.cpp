#include "ui/translations.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace ui {

namespace {

// The file dialog's icon provider names the file types of the list ("Folder", "Drive", ...) under its own
// name and with a note, while Debian's translation holds those texts under the file dialog's name without
// one; without this the list would say "Folder". Looks them up there.
class RenamedContexts : public QTranslator {
public:
    RenamedContexts(const QTranslator& base, QObject* parent) : QTranslator(parent), base_(base) {}
    QString translate(const char* context, const char* source, const char* disambiguation,
                      int n) const override {
        if (qstrcmp(context, "QAbstractFileIconProvider") != 0) return {};
        QString t = base_.translate("QFileDialog", source, disambiguation, n);
        return t.isEmpty() ? base_.translate("QFileDialog", source, nullptr, n) : t;
    }
    bool isEmpty() const override { return false; }

private:
    const QTranslator& base_;
};

} // namespace

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
    QCoreApplication::installTranslator(new RenamedContexts(*t, t));
    return true;
}

} // namespace ui
