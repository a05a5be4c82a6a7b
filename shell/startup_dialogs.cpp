#include "shell/startup_dialogs.h"

#include "shell/settings_form.h"

#include <QMessageBox>

namespace shell {

DataDirQuestions startupQuestions(std::function<void()> beforeAsking) {
    DataDirQuestions ask;
    ask.driveMissing = [beforeAsking](const std::string& text) {
        if (beforeAsking) beforeAsking();
        return QMessageBox::warning(nullptr, kApplicationTitle, QString::fromStdString(text),
                                    QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
    };
    // the same chooser as the settings window's, so that both read "Выбрать" and "Отмена"
    ask.chooseFolder = [beforeAsking](const std::string& start) -> std::optional<std::string> {
        if (beforeAsking) beforeAsking();
        const std::optional<QString> dir = chooseFolderDialog(nullptr, QString::fromStdString(start));
        if (!dir || dir->isEmpty()) return std::nullopt;
        return dir->toStdString();
    };
    return ask;
}

} // namespace shell
