// Zorbel, the report program. Started by the main program's object window as
//   Zorbel.dll vrelt SERIAL KIND /R TYPE RANGE
// A wrong launch token, an empty serial number or a missing archive file end it at once without a word; a
// number argument that is not a number is reported before it ends.
#include "devdata/settings.h"
#include "devdata/tables.h"
#include "report/report_form.h"

#include <QApplication>
#include <QMessageBox>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    zorbel::LaunchCheck launch = zorbel::checkLaunch(std::vector<std::string>(argv + 1, argv + argc));
    if (launch.outcome == zorbel::LaunchCheck::Outcome::EndSilently) return 0;

    QApplication app(argc, argv);
    QApplication::setApplicationName("Zorbel");
    if (launch.outcome == zorbel::LaunchCheck::Outcome::ConversionError) {
        QMessageBox::critical(nullptr, "Zorbel", QString::fromStdString(launch.message));
        return 1;
    }

    // The data directory from the settings store; a store that cannot be opened leaves it empty.
    zorbel::ReportEnv env;
    env.programDir = devdata::programDir();
    if (auto settings = devdata::SettingsStore().loadIfWritable())
        env.dataDir = devdata::dataDirFromSetting(settings->dpath, env.programDir);
    env.args = launch.args;

    zorbel::TReportForm form(env);
    if (!form.start()) return 0;
    form.show();
    return app.exec();
}
