// Zorbel, the report program. Started by the main program's object window as
//   Zorbel.dll vrelt SERIAL KIND /R TYPE RANGE
// A wrong launch token, an empty serial number or a missing archive file end it at once without a word; a
// number argument that is not a number is reported before it ends.
#include "devdata/places.h"
#include "devdata/settings.h"
#include "devdata/tables.h"
#include "report/report_form.h"
#include "ui/translations.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int signalPipe[2] = {-1, -1};
bool terminating = false; // SIGTERM came: whatever the window was doing, the program ends

void onTerminate(int) {
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &c, 1);
}

} // namespace

int main(int argc, char** argv) {
    zorbel::LaunchCheck launch = zorbel::checkLaunch(std::vector<std::string>(argv + 1, argv + argc));
    if (launch.outcome == zorbel::LaunchCheck::Outcome::EndSilently) return 0;

    QApplication app(argc, argv);
    ui::installRussianTranslations(app);
    QApplication::setApplicationName("Zorbel");
    if (launch.outcome == zorbel::LaunchCheck::Outcome::ConversionError) {
        QMessageBox::critical(nullptr, "Zorbel", QString::fromStdString(launch.message));
        return 1;
    }

    // An installed suite: the operator's templates are in the site folder, copied there from the delivered ones.
    if (const auto problem = devdata::prepareSite()) {
        std::fprintf(stderr, "Zorbel: %s\n", problem->c_str());
        QMessageBox::critical(nullptr, "Zorbel", QString::fromStdString(*problem));
        return 1;
    }
    devdata::seedSite(devdata::places());

    // The data directory from the settings store; a store that cannot be opened leaves it empty.
    zorbel::ReportEnv env;
    env.programDir = devdata::siteDir();
    if (auto settings = devdata::SettingsStore().loadIfWritable())
        env.dataDir = devdata::dataDirFromSetting(settings->dpath, env.programDir);
    env.args = launch.args;

    zorbel::TReportForm form(env);
    // The main program ends a running copy with SIGTERM: close the window as the exit button does, so that
    // the spreadsheet engine ends with the program. The signal is taken in by every event loop, also that of
    // a message box or of the wait for the office; quitting makes each of them return, and none runs again.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
        ::fcntl(signalPipe[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(signalPipe[1], F_SETFD, FD_CLOEXEC);
        auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form] {
            char c;
            [[maybe_unused]] ssize_t n = ::read(signalPipe[0], &c, 1);
            terminating = true;
            form.close();
            QApplication::quit();
        });
        struct sigaction sa {};
        sa.sa_handler = onTerminate;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
    }
    // The start-up (with its messages) runs inside the program's event loop: a quit asked for meanwhile then
    // ends every loop at once, that of a message box too, and none runs again.
    QTimer::singleShot(0, &form, [&form] {
        try {
            const bool started = form.start();
            if (terminating) {
                // the signal came while a start-up message was shown: the office the start may have begun
                // ends with the window
                form.close();
                return;
            }
            if (!started) {
                QApplication::exit(0);
                return;
            }
        } catch (const std::exception& e) {
            if (terminating) return;
            // whatever a table gave that the form did not expect ends the program with a message, not an
            // abort
            QMessageBox::critical(nullptr, "Ошибка", QString::fromStdString(e.what()));
            QApplication::exit(1);
            return;
        }
        form.show();
    });
    const int code = app.exec();
    return terminating ? 0 : code;
}
