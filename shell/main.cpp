// Mervo, the main program: one running copy, the settings, the data directory, the main window.
#include "devdata/places.h"
#include "devdata/settings.h"
#include "devdata/tables.h"
#include "shell/about.h"
#include "shell/main_form.h"
#include "shell/object_monitor.h"
#include "shell/startup.h"
#include "shell/startup_dialogs.h"
#include "ui/translations.h"

#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    shell::SingleInstance instance;
    QApplication app(argc, argv);
    ui::installRussianTranslations(app);
    if (!instance.acquire()) {
        QMessageBox::information(nullptr, shell::kApplicationTitle, shell::kAlreadyRunningText);
        return 0;
    }
    QApplication::setApplicationName(shell::kApplicationTitle);
    QApplication::setQuitOnLastWindowClosed(false);

    // An installed suite writes in its site folder only; a user who may not write there is told so once.
    if (const auto problem = devdata::prepareSite()) {
        std::fprintf(stderr, "Mervo: %s\n", problem->c_str());
        QMessageBox::critical(nullptr, shell::kApplicationTitle, QString::fromStdString(*problem));
        return 1;
    }
    const std::string programDir = devdata::siteDir();
    for (const std::string& problem : devdata::seedSite(devdata::places()))
        devdata::appendErrorLog(programDir, dbf::DateTime::now(), problem);
    devdata::SettingsStore store;
    devdata::Settings settings = store.load();

    shell::TMainForm form(programDir);
    // the splash shows while the remaining windows are made and the data directory is checked
    auto splash = std::make_unique<shell::TSplashForm>();
    splash->setVersion(QString::fromStdString(shell::programVersion()));
    splash->showNow();
    form.setSettings(settings);
    form.autoPollOn = (settings.par2 & 32) != 0;
    form.nextPoll = settings.dtconn;
    form.attachWindows(); // the settings window loads the settings in force
    settings = form.settings();
    form.setWindowTitle(QString(shell::kMainCaption) + QString::fromStdString(shell::programVersion()));

    // the questions must not sit under a stay-on-top window
    const shell::DataDirQuestions ask = shell::startupQuestions([&splash] {
        if (splash) splash->hide();
    });
    std::optional<std::string> data;
    try {
        data = shell::checkDataDirectory(devdata::dataDirFromSetting(settings.dpath, programDir), programDir,
                                         ask);
    } catch (const std::exception& e) {
        splash.reset();
        QMessageBox::critical(nullptr, shell::kApplicationTitle, QString::fromStdString(e.what()));
        return 1;
    }
    splash.reset();
    if (!data) return 0;
    form.setDataDir(*data);
    try {
        form.openObjects();
    } catch (const std::exception& e) {
        form.handleError("TMainForm", QString::fromStdString(e.what()));
    }

    QObject::connect(&app, &QGuiApplication::commitDataRequest, [&form](QSessionManager& m) {
        if (!form.sessionMayEnd() && m.allowsInteraction()) m.cancel();
    });
    // with the tray-at-start setting the icon alone shows, but only where there is a tray to come back from
    if (!(settings.par2 & 64) || !form.trayAvailable()) form.showMaximized();
    // The demo and set-up checks without a display: MERVO_SCREENSHOT=FILE, a picture of the main window after
    // every poll; MERVO_SCREENSHOT_SCHEME=NUM:FILE, after the first poll the object window of object NUM
    // opened as a click on its button opens it, a picture of it, and the window closed again.
    if (const QByteArray shot = qgetenv("MERVO_SCREENSHOT"); !shot.isEmpty()) {
        QObject::connect(&form.bridge(), &shell::PollBridge::ended, &form, [&form, shot] {
            QTimer::singleShot(1500, &form, [&form, shot] {
                if (form.monitor()) form.monitor()->monitorTick();
                form.grab().save(QString::fromLocal8Bit(shot));
            });
        });
    }
    if (const QByteArray scheme = qgetenv("MERVO_SCREENSHOT_SCHEME"); scheme.indexOf(':') > 0) {
        const int num = scheme.left(scheme.indexOf(':')).toInt();
        const QString file = QString::fromLocal8Bit(scheme.mid(scheme.indexOf(':') + 1));
        auto first = std::make_shared<QMetaObject::Connection>();
        *first =
            QObject::connect(&form.bridge(), &shell::PollBridge::ended, &form, [&form, num, file, first] {
                QObject::disconnect(*first);
                QTimer::singleShot(2000, &form, [&form, num, file] {
                    // the object window runs modally: the picture is taken from inside its event loop
                    QTimer::singleShot(1000, &form, [file] {
                        QWidget* window = QApplication::activeModalWidget();
                        if (!window) return;
                        if (window->inherits("schemes::TOBJECTFORM")) window->grab().save(file);
                        window->close();
                    });
                    emit form.objectWindowRequested(num);
                });
            });
    }
    form.ClockTimer->start();
    form.clockTick();
    return app.exec();
}
