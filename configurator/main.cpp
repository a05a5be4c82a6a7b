// Tolvan, the protocol configurator. Started by the main program as
//   Tolvan.dll vrelt PORT SERIAL ADDRESS TYPE
// A wrong launch token or a missing argument ends it at once, before any window.
#include "configurator/config_form.h"
#include "devdata/places.h"
#include "ui/translations.h"

#include <QApplication>
#include <QTimer>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    auto launch = tolvan::parseLaunch(std::vector<std::string>(argv + 1, argv + argc));
    if (!launch) return 2;

    // what it writes in the site folder of an installed suite, the next shift may write again
    devdata::prepareSite();
    QApplication app(argc, argv);
    ui::installRussianTranslations(app);
    QApplication::setApplicationName("Tolvan");
    tolvan::TConfigForm form(*launch);
    form.show();
    QTimer::singleShot(0, &form, &tolvan::TConfigForm::start);
    return app.exec();
}
