// The settings window "Настройки программы" on the offscreen platform: the first run, a store with some
// values, the path rule, "Cancel", "OK" with the store, settings.ini and the autostart entry, the folder
// button with its question, the panel at the user level, a store that cannot be written.
#include "dbf/codec.h"
#include "dbf/table.h"
#include "devdata/tables.h"
#include "shell/schedule.h"
#include "shell/settings_form.h"
#include "tests/qt_test_helpers.h"
#include "tests/tmpdir.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

using dbf::DateTime;
using mervo::test::ModalAnswerer;
using mervo::test::TempDir;
using shell::TSetupForm;
namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void put(const std::string& p, const std::string& text) {
    fs::create_directories(fs::path(p).parent_path());
    std::ofstream f(p, std::ios::binary);
    f << text;
}

QStringList items(QComboBox* c) {
    QStringList out;
    for (int i = 0; i < c->count(); ++i)
        out << c->itemText(i);
    return out;
}

const DateTime kNow = DateTime::fromParts(2023, 5, 10, 15, 37, 12);

class SettingsForm : public ::testing::Test {
protected:
    TempDir tmp;
    std::string prog = tmp.file("prog");
    std::string registry = tmp.file("config/Mervo/registry.ini");

    void SetUp() override { fs::create_directories(prog); }

    shell::SetupEnvironment env() const {
        shell::SetupEnvironment e;
        e.programDir = prog;
        e.programPath = prog + "/Mervo";
        e.registryPath = registry;
        e.autostartPath = tmp.file("config/autostart/mervo.desktop");
        e.now = [] { return kNow; };
        e.chooseFolder = [](QWidget*, const QString&) -> std::optional<QString> {
            ADD_FAILURE() << "folder chooser not expected";
            return std::nullopt;
        };
        return e;
    }
    std::string iniText() const { return dbf::codec::fromCp1251(slurp(prog + "/settings.ini")); }
};

} // namespace

TEST_F(SettingsForm, FirstRunWritesAndShowsTheDefaults) {
    // left-overs of archive reads in the temporary folder of the default data directory
    put(prog + "/DATA/MERVOTMP/~ARCHDB530D236.dbf", "x");
    put(prog + "/DATA/MERVOTMP/~ARCHDB530D236.MDX", "x");
    TSetupForm form(env());

    EXPECT_EQ(form.ComboBox1->currentText(), "Месяц");
    EXPECT_EQ(form.SpinEdit2->value(), 1);
    DateTime noon = DateTime::now().date().addMs(12 * 3600000LL);
    EXPECT_EQ(form.MaskEdit1->text().toStdString(), shell::nextPollEditText(noon));
    EXPECT_EQ(form.SpinEdit1->value(), 6);
    EXPECT_EQ(form.Edit1->text(), "..\\DATA");
    EXPECT_EQ(form.ComboBox2->currentText(), "Месяц (текущий)");
    EXPECT_EQ(form.ComboBox3->currentText(), "Суточный");
    for (QCheckBox* b : {form.CheckBox1, form.CheckBox2, form.CheckBox3, form.CheckBox5, form.CheckBox6,
                         form.CheckBox7, form.CheckBox18, form.CheckBox13, form.CheckBox14, form.CheckBox15,
                         form.CheckBox17, form.CheckBox10})
        EXPECT_TRUE(b->isChecked()) << b->text().toStdString();
    for (QCheckBox* b :
         {form.CheckBox9, form.CheckBox12, form.CheckBox16, form.UnCheckDTR229, form.UnCheckDTR225,
          form.UnCheckDTR234, form.UnCheckDTR128, form.CheckBox4, form.CheckBox8, form.CheckBox11,
          form.CheckBox19, form.CheckBox20, form.CheckBox21, form.CheckBox22, form.CheckBox23})
        EXPECT_FALSE(b->isChecked()) << b->text().toStdString();
    EXPECT_FALSE(form.autoPollOnAtLoad());

    EXPECT_EQ(form.dataDir(), prog + "/DATA");
    EXPECT_EQ(form.tempDir(), prog + "/DATA/MERVOTMP");
    EXPECT_FALSE(fs::exists(prog + "/DATA/MERVOTMP"));

    devdata::SettingsStore store(registry);
    devdata::Settings s = store.load();
    EXPECT_EQ(s.par1_128, 7);
    EXPECT_EQ(s.dtconn, noon);
    EXPECT_EQ(s.dpath, "..\\DATA");
    EXPECT_FALSE(fs::exists(prog + "/settings.ini")); // written only by a save
}

TEST_F(SettingsForm, CaptionsHintsAndListEntries) {
    TSetupForm form(env());
    EXPECT_EQ(form.windowTitle(), "Настройки программы");
    EXPECT_EQ(items(form.ComboBox1), QStringList({"Месяц", "Неделя", "День", "Час", "Минута"}));
    EXPECT_EQ(items(form.ComboBox2),
              QStringList({"Сутки", "Неделя", "Декада", "Месяц (текущий)", "Месяц (предыдущий)"}));
    EXPECT_EQ(items(form.ComboBox3), QStringList({"Суточный", "Часовой", "Месячный"}));
    EXPECT_EQ(form.SpinEdit2->minimum(), 1);
    EXPECT_EQ(form.SpinEdit2->maximum(), 9999);
    EXPECT_EQ(form.SpinEdit1->minimum(), 1);
    EXPECT_EQ(form.SpinEdit1->maximum(), 10);
    EXPECT_EQ(form.Label5->text(), "X");
    EXPECT_EQ(form.Button1->text(), "Сейчас");
    EXPECT_EQ(form.BitBtn1->text(), "OK");
    EXPECT_EQ(form.BitBtn2->text(), "Cancel");

    struct Hint {
        QWidget* w;
        const char* text;
    } hints[] = {
        {form.ComboBox1, "Периодичность опроса"},
        {form.SpinEdit2, "Множитель периодичности опроса"},
        {form.MaskEdit1, "Дата и время очередного опроса"},
        {form.SpinEdit1,
         "Число попыток чтения записей прибора при возникновении ошибок рекомендуемые значения 1-6"},
        {form.Edit1, "Путь размещения используемой базы данных\n..\\ - папка с программой "},
        {form.GroupBox1, "Задание на опрос вычислителей"},
        {form.CheckBox4, "Запрет на добавление/удаление/редактирование объектов"},
        {form.CheckBox11, "Запрет принудительного опроса объекта"},
        {form.CheckBox19, "Запрет изменения настроек программы"},
        {form.CheckBox20, "При выходе из программы, программа будет свернута в Try - икону  но не закрыто"},
    };
    for (const auto& h : hints)
        EXPECT_EQ(h.w->toolTip(), QString::fromUtf8(h.text));

    QStringList labels;
    for (QLabel* l : form.Panel1->findChildren<QLabel*>())
        labels << l->text();
    for (const char* text : {"Период  автоопроса объектов", "Дата запуска очередного автоопроса",
                             "Число попыток чтения при сбое  1-6", "Путь к БД", "Фильтр архива"})
        EXPECT_TRUE(labels.contains(QString::fromUtf8(text))) << text;

    struct Box {
        QCheckBox* b;
        const char* text;
    } boxes[] = {
        {form.CheckBox1, "Состояние"},
        {form.CheckBox2, "Часовой архив"},
        {form.CheckBox3, "Суточный архив"},
        {form.CheckBox9, "Синхронизировать время"},
        {form.CheckBox18, "Месячный архив"},
        {form.CheckBox17, "Месячный архив"},
        {form.UnCheckDTR128, "Не проверять DTR"},
        {form.CheckBox4, "Редактирование параметров объекта"},
        {form.CheckBox8, "Отключение режима автоопроса"},
        {form.CheckBox11, "Принудительная связь с объектом"},
        {form.CheckBox19, "Изменение общих настроек программы"},
        {form.CheckBox20, "Выход из программы"},
        {form.CheckBox21, "Автоопрос объектов активен при запуске программы"},
        {form.CheckBox22, "Свернуть главное окно в трей при запуске программы"},
        {form.CheckBox23, "Добавить программу в автозагрузку WINDOWS"},
    };
    for (const auto& b : boxes)
        EXPECT_EQ(b.b->text(), QString::fromUtf8(b.text));
    EXPECT_EQ(form.GroupBox1->title(), "Обновлять при соединении");
    EXPECT_EQ(form.GroupBox2->title(), "Ограничения пользователя");

    // the pages, each with its boxes and note
    struct Page {
        const char* title;
        std::vector<QCheckBox*> boxes;
        const char* note;
    } pages[] = {
        {"Vexa-1П",
         {form.CheckBox1, form.CheckBox2, form.CheckBox3, form.CheckBox9, form.UnCheckDTR229},
         "Для вычислителей \nVexa-1П140(141), Vexa-1П150(151) "},
        {"Vexa-1К",
         {form.CheckBox5, form.CheckBox6, form.CheckBox7, form.CheckBox18, form.CheckBox12,
          form.UnCheckDTR225},
         "Для вычислителей \nVexa-1К1(К2)(К3), Vexa-1К1(К2)М "},
        {"Vexa-1П М",
         {form.CheckBox13, form.CheckBox14, form.CheckBox15, form.CheckBox17, form.CheckBox16,
          form.UnCheckDTR234},
         "Для вычислителей \nVexa-1П140(141)М, Vexa-1П150(151)М "},
        {"Kesta", {form.CheckBox10, form.UnCheckDTR128}, "Для модификаций Kesta 1,2,4"},
    };
    ASSERT_EQ(form.PageControl1->count(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(form.PageControl1->tabText(i), QString::fromUtf8(pages[i].title));
        QWidget* page = form.PageControl1->widget(i);
        EXPECT_EQ(page->findChildren<QCheckBox*>().size(), qsizetype(pages[i].boxes.size()));
        for (QCheckBox* b : pages[i].boxes)
            EXPECT_EQ(b->parentWidget(), page) << pages[i].title << " " << b->text().toStdString();
        EXPECT_EQ(page->findChild<QLabel*>("note")->text(), QString::fromUtf8(pages[i].note));
    }
    // restriction boxes in their group, OK and Cancel outside the panel
    for (QCheckBox* b : {form.CheckBox4, form.CheckBox8, form.CheckBox11, form.CheckBox19, form.CheckBox20})
        EXPECT_EQ(b->parentWidget(), form.GroupBox2);
    EXPECT_FALSE(form.Panel1->isAncestorOf(form.BitBtn1));
    EXPECT_FALSE(form.Panel1->isAncestorOf(form.BitBtn2));
}

TEST_F(SettingsForm, StoredValuesAreShownAndOnlyMissingOnesGetDefaults) {
    put(registry, "[PAR]\nPeriod=3\nPeriodX=30\nDPath=/srv/тепло/DATA\nArchFilter=7\nArchType=1\n"
                  "Par1_234=151\nPar1_128=129\nPar2=45\n");
    TSetupForm form(env());
    EXPECT_EQ(form.ComboBox1->currentText(), "Час");
    EXPECT_EQ(form.SpinEdit2->value(), 30);
    EXPECT_EQ(form.ComboBox2->currentIndex(), -1); // an index outside the list selects nothing
    EXPECT_EQ(form.ComboBox3->currentText(), "Часовой");
    EXPECT_EQ(form.SpinEdit1->value(), 6);
    EXPECT_EQ(form.Edit1->text(), "/srv/тепло/DATA");
    EXPECT_EQ(form.dataDir(), "/srv/тепло/DATA");
    // 151 = 128 + 16 + 4 + 2 + 1
    EXPECT_TRUE(form.CheckBox13->isChecked());
    EXPECT_TRUE(form.CheckBox14->isChecked());
    EXPECT_TRUE(form.CheckBox15->isChecked());
    EXPECT_FALSE(form.CheckBox16->isChecked());
    EXPECT_TRUE(form.CheckBox17->isChecked());
    EXPECT_TRUE(form.UnCheckDTR234->isChecked());
    EXPECT_TRUE(form.CheckBox10->isChecked());
    EXPECT_TRUE(form.UnCheckDTR128->isChecked());
    // 45 = 32 + 8 + 4 + 1
    EXPECT_TRUE(form.CheckBox4->isChecked());
    EXPECT_FALSE(form.CheckBox8->isChecked());
    EXPECT_TRUE(form.CheckBox11->isChecked());
    EXPECT_TRUE(form.CheckBox19->isChecked());
    EXPECT_FALSE(form.CheckBox20->isChecked());
    EXPECT_TRUE(form.CheckBox21->isChecked());
    EXPECT_FALSE(form.CheckBox22->isChecked());
    EXPECT_TRUE(form.autoPollOnAtLoad());

    std::string ini = slurp(registry);
    for (const char* kept :
         {"Period=3\n", "PeriodX=30\n", "ArchFilter=7\n", "Par1_234=151\n", "Par1_128=129\n", "Par2=45\n"})
        EXPECT_NE(ini.find(kept), std::string::npos) << kept;
    for (const char* added : {"Repeat=6\n", "Par1_225=23\n", "Par1_228=7\n", "DTConn="})
        EXPECT_NE(ini.find(added), std::string::npos) << added;
}

TEST_F(SettingsForm, LoadSetsAutoPollAndAsksForTheMainWindowUnlessTrayAtStart) {
    struct Case {
        int par2;
        bool autoPoll, showMain;
    } cases[] = {{0, false, true}, {32, true, true}, {64, false, false}, {96, true, false}};
    for (const auto& c : cases) {
        put(registry, "[PAR]\nPar2=" + std::to_string(c.par2) + "\n");
        TSetupForm form(env());
        QSignalSpy autoPoll(&form, &TSetupForm::autoPollOnChanged);
        QSignalSpy showMain(&form, &TSetupForm::showMainWindowRequested);
        form.Load();
        ASSERT_EQ(autoPoll.size(), 1);
        EXPECT_EQ(autoPoll.at(0).at(0).toBool(), c.autoPoll) << c.par2;
        EXPECT_EQ(showMain.size(), c.showMain ? 1 : 0) << c.par2;
    }
}

TEST_F(SettingsForm, PathRule) {
    struct Case {
        const char* typed;
        std::string dataDir;
    } cases[] = {
        {"..\\DATA", prog + "/DATA"},   {"..\\Base\\2023", prog + "/Base/2023"},
        {"../Base", prog + "/Base"},    {"/srv/heat/DATA", "/srv/heat/DATA"},
        {"/srv/a/../b", "/srv/a/../b"},
    };
    TSetupForm form(env());
    QSignalSpy changed(&form, &TSetupForm::dataDirChanged);
    for (const auto& c : cases) {
        form.Edit1->setText(QString::fromUtf8(c.typed));
        ASSERT_TRUE(form.Save());
        EXPECT_EQ(form.dataDir(), c.dataDir) << c.typed;
        EXPECT_EQ(form.tempDir(), c.dataDir + "/MERVOTMP") << c.typed;
        EXPECT_EQ(changed.last().at(0).toString().toStdString(), c.dataDir);
        // stored as typed
        EXPECT_EQ(devdata::SettingsStore(registry).load().dpath, c.typed);
        form.Load();
        EXPECT_EQ(form.Edit1->text(), QString::fromUtf8(c.typed));
        EXPECT_EQ(form.dataDir(), c.dataDir) << c.typed;
    }
}

TEST_F(SettingsForm, CancelShowsTheStoredValuesAgain) {
    TSetupForm form(env());
    form.show();
    form.ComboBox1->setCurrentIndex(4);
    form.SpinEdit2->setValue(90);
    form.Edit1->setText("/elsewhere");
    form.CheckBox2->setChecked(false);
    form.CheckBox21->setChecked(true);
    form.MaskEdit1->setText("01.01.30 00:00");
    std::string before = slurp(registry);
    QTest::mouseClick(form.BitBtn2, Qt::LeftButton);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.ComboBox1->currentIndex(), 0);
    EXPECT_EQ(form.SpinEdit2->value(), 1);
    EXPECT_EQ(form.Edit1->text(), "..\\DATA");
    EXPECT_TRUE(form.CheckBox2->isChecked());
    EXPECT_FALSE(form.CheckBox21->isChecked());
    EXPECT_EQ(slurp(registry), before);
    EXPECT_FALSE(fs::exists(prog + "/settings.ini"));

    // changes left in the window without OK or Cancel are gone at the next showing too
    form.SpinEdit1->setValue(2);
    form.show();
    EXPECT_EQ(form.SpinEdit1->value(), 6);
    form.hide();
}

TEST_F(SettingsForm, OkWritesTheStoreAndSettingsIni) {
    TSetupForm form(env());
    form.show();
    QSignalSpy reopen(&form, &TSetupForm::objectsTableReopenRequested);
    QSignalSpy rebuild(&form, &TSetupForm::rebuildMonitorRequested);
    QSignalSpy errors(&form, &TSetupForm::errorRaised);
    form.ComboBox1->setCurrentIndex(2);
    form.SpinEdit2->setValue(3);
    form.Edit1->setText("/srv/тепло");
    form.MaskEdit1->setText("11.05.23 08:30");
    form.SpinEdit1->setValue(4);
    form.ComboBox2->setCurrentIndex(1);
    form.ComboBox3->setCurrentIndex(2);
    form.CheckBox9->setChecked(true);     // Par1_228 7 + 8
    form.UnCheckDTR225->setChecked(true); // Par1_225 23 + 128
    form.CheckBox17->setChecked(false);   // Par1_234 23 - 16
    form.CheckBox19->setChecked(true);    // Par2 8
    form.CheckBox22->setChecked(true);    // Par2 64
    QTest::mouseClick(form.BitBtn1, Qt::LeftButton);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(errors.size(), 0);

    devdata::Settings s = devdata::SettingsStore(registry).load();
    EXPECT_EQ(s.period, 2);
    EXPECT_EQ(s.periodX, 3);
    EXPECT_EQ(s.dpath, "/srv/тепло");
    EXPECT_EQ(s.dtconn, DateTime::fromParts(2023, 5, 11, 8, 30));
    EXPECT_EQ(s.repeat, 4);
    EXPECT_EQ(s.archFilter, 1);
    EXPECT_EQ(s.archType, 2);
    EXPECT_EQ(s.par1_228, 15);
    EXPECT_EQ(s.par1_225, 151);
    EXPECT_EQ(s.par1_234, 7);
    EXPECT_EQ(s.par1_128, 1); // the two bits without a box are dropped
    EXPECT_EQ(s.par2, 72);
    EXPECT_EQ(form.settings().par2, 72);
    EXPECT_EQ(form.settings().dtconn, s.dtconn);

    std::string expected = "[SETTINGS]\r\nPeriod=2\r\nPeriodX=3\r\nDPath=/srv/тепло\r\n"
                           "DTConn=11.05.2023 08:30:00\r\nArchFilter=1\r\nArchType=2\r\nRepeat=4\r\n"
                           "Par1_234=7\r\nPar1_228=15\r\nPar1_225=151\r\nPar1_128=1\r\nPar2=72\r\n";
    std::string bytes = slurp(prog + "/settings.ini");
    EXPECT_EQ(bytes, dbf::codec::toCp1251(expected));
    EXPECT_NE(bytes.find("\xF2\xE5\xEF\xEB\xEE"), std::string::npos); // "тепло" in Windows-1251

    ASSERT_EQ(reopen.size(), 1);
    EXPECT_EQ(reopen.at(0).at(0).toString(), "/srv/тепло");
    EXPECT_EQ(rebuild.size(), 1);
}

// "Параллельный опрос" shows and saves Lanes; a value the window has no control for (the service's change
// command) survives the window's save.
TEST_F(SettingsForm, ParallelPollIsSavedAndTheChangeCommandKept) {
    {
        devdata::SettingsStore store(registry);
        devdata::Settings s = store.load();
        s.lanes = 4;
        s.onChange = "/usr/local/bin/mervo-mail dispatch@example.org";
        store.save(s);
    }
    TSetupForm form(env());
    form.show();
    EXPECT_EQ(form.SpinEdit3->minimum(), 1);
    EXPECT_EQ(form.SpinEdit3->maximum(), 32);
    EXPECT_EQ(form.SpinEdit3->value(), 4);
    form.SpinEdit3->setValue(12);
    form.SpinEdit1->setValue(3);
    QTest::mouseClick(form.BitBtn1, Qt::LeftButton);
    const devdata::Settings s = devdata::SettingsStore(registry).load();
    EXPECT_EQ(s.lanes, 12);
    EXPECT_EQ(s.repeat, 3);
    EXPECT_EQ(s.onChange, "/usr/local/bin/mervo-mail dispatch@example.org");
    EXPECT_EQ(form.settings().lanes, 12);
}

TEST_F(SettingsForm, SettingsIniKeepsTheKeysAndSectionsItHas) {
    put(prog + "/settings.ini",
        dbf::codec::toCp1251("[OTHER]\r\nA=Б\r\n\r\n[SETTINGS]\r\nPar2=5\r\nMine=1\r\n"
                             "Period=9\r\n"));
    TSetupForm form(env());
    ASSERT_TRUE(form.Save());
    devdata::IniFile ini(prog + "/settings.ini");
    EXPECT_EQ(ini.value("OTHER", "A"), "Б");
    std::vector<std::string> keys = ini.keys("SETTINGS");
    std::vector<std::string> expected = {"Par2",     "Mine",       "Period",   "PeriodX", "DPath",
                                         "DTConn",   "ArchFilter", "ArchType", "Repeat",  "Par1_234",
                                         "Par1_228", "Par1_225",   "Par1_128"};
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(ini.value("SETTINGS", "Par2"), "0");
    EXPECT_EQ(ini.value("SETTINGS", "Period"), "0");
    EXPECT_EQ(ini.value("SETTINGS", "Mine"), "1");
}

TEST_F(SettingsForm, UnreadableTypedNextPollTimeIsRefusedWithAMessageAndNothingIsWritten) {
    const char* typed[] = {"31.02.23 10:00", "25.13.23 10:00", "10.05.23 24:00", "10.05.23 10:60", ""};
    for (const char* text : typed) {
        SCOPED_TRACE(text);
        fs::remove_all(prog);
        fs::remove_all(tmp.file("config"));
        fs::create_directories(prog);
        QStringList alerts;
        auto e = env();
        e.alert = [&](QWidget*, const QString& title, const QString& message) {
            alerts << title + "|" + message;
        };
        TSetupForm form(e);
        ASSERT_TRUE(form.Save()); // a settings.ini to compare with
        const std::string registryBefore = slurp(registry), iniBefore = slurp(prog + "/settings.ini");
        form.show();
        QSignalSpy errors(&form, &TSetupForm::errorRaised);
        QSignalSpy reopen(&form, &TSetupForm::objectsTableReopenRequested);
        QSignalSpy dataDir(&form, &TSetupForm::dataDirChanged);
        form.ComboBox1->setCurrentIndex(1);
        form.Edit1->setText("/srv/new");
        form.CheckBox23->setChecked(true);
        form.MaskEdit1->setText(QString::fromUtf8(text));
        QTest::mouseClick(form.BitBtn1, Qt::LeftButton);

        EXPECT_TRUE(form.isVisible()); // left open for the operator to correct the time
        ASSERT_EQ(alerts.size(), 1);
        EXPECT_TRUE(alerts[0].startsWith("Ошибка|Неверная дата или время очередного опроса: \"" +
                                         form.MaskEdit1->text() + "\""))
            << alerts[0].toStdString();
        EXPECT_EQ(errors.size(), 0);
        EXPECT_EQ(reopen.size(), 0);
        EXPECT_EQ(dataDir.size(), 0);
        EXPECT_EQ(slurp(registry), registryBefore);
        EXPECT_EQ(slurp(prog + "/settings.ini"), iniBefore);
        EXPECT_FALSE(fs::exists(tmp.file("config/autostart/mervo.desktop")));
        EXPECT_EQ(form.dataDir(), prog + "/DATA");
        EXPECT_EQ(form.settings().period, 0);

        // corrected, the same OK saves and closes
        form.MaskEdit1->setText("11.05.23 08:30");
        QTest::mouseClick(form.BitBtn1, Qt::LeftButton);
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(alerts.size(), 1);
        devdata::Settings s = devdata::SettingsStore(registry).load();
        EXPECT_EQ(s.dtconn, DateTime::fromParts(2023, 5, 11, 8, 30));
        EXPECT_EQ(s.period, 1);
        EXPECT_EQ(s.dpath, "/srv/new");
    }
}

TEST_F(SettingsForm, UnreadableNextPollTimeShowsACriticalMessageBoxByDefault) {
    auto e = env();
    e.alert = shell::SetupEnvironment{}.alert;
    TSetupForm form(e);
    form.show();
    form.MaskEdit1->setText("31.02.23 10:00");
    ModalAnswerer answerer(20000);
    QTest::mouseClick(form.BitBtn1, Qt::LeftButton);
    ASSERT_EQ(answerer.seen().size(), 1u);
    EXPECT_EQ(answerer.seen()[0].icon, QMessageBox::Critical);
    EXPECT_EQ(answerer.seen()[0].title, "Ошибка");
    EXPECT_TRUE(answerer.seen()[0].text.contains("31.02.23 10:00"));
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(fs::exists(prog + "/settings.ini"));
    form.hide();
}

TEST_F(SettingsForm, SaveKeepsTheNextPollTimeInForceWhileTheEditShowsIt) {
    struct Case {
        const char* what;
        DateTime stored;
        const char* typed; // nullptr: the edit left as it was shown
        DateTime saved;
    } cases[] = {
        {"two hundred years ahead, untouched", DateTime::fromParts(2214, 12, 1, 15, 37), nullptr,
         DateTime::fromParts(2214, 12, 1, 15, 37)},
        {"seconds kept, untouched", DateTime::fromParts(2023, 5, 11, 8, 30, 45), nullptr,
         DateTime::fromParts(2023, 5, 11, 8, 30, 45)},
        {"retyped as shown", DateTime::fromParts(2214, 12, 1, 15, 37), "01.12.14 15:37",
         DateTime::fromParts(2214, 12, 1, 15, 37)},
        {"changed: the typed time, year in this century", DateTime::fromParts(2214, 12, 1, 15, 37),
         "02.12.14 15:37", DateTime::fromParts(2014, 12, 2, 15, 37)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        put(registry, "[PAR]\nDTConn=" + devdata::encodeDateTimeRaw(c.stored) + "\n");
        TSetupForm form(env());
        form.show();
        EXPECT_EQ(form.MaskEdit1->text().toStdString(), shell::nextPollEditText(c.stored));
        form.SpinEdit1->setValue(3);
        if (c.typed) form.MaskEdit1->setText(c.typed);
        QTest::mouseClick(form.BitBtn1, Qt::LeftButton);
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(form.settings().dtconn, c.saved);
        devdata::Settings s = devdata::SettingsStore(registry).load();
        EXPECT_EQ(s.dtconn, c.saved);
        EXPECT_EQ(s.repeat, 3);
        EXPECT_EQ(devdata::IniFile(prog + "/settings.ini").value("SETTINGS", "DTConn"),
                  c.saved.dateText() + " " + c.saved.timeText());
    }
}

TEST_F(SettingsForm, NowButtonAndTheScheduleStoringTheNextPollTime) {
    TSetupForm form(env());
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_EQ(form.MaskEdit1->text(), "10.05.23 15:37");

    QSignalSpy reopen(&form, &TSetupForm::objectsTableReopenRequested);
    DateTime next = DateTime::fromParts(2023, 6, 3, 12, 0);
    ASSERT_TRUE(form.storeNextPollTime(next));
    EXPECT_EQ(form.MaskEdit1->text(), "03.06.23 12:00");
    EXPECT_EQ(form.settings().dtconn, next);
    EXPECT_EQ(devdata::SettingsStore(registry).load().dtconn, next);
    EXPECT_EQ(devdata::IniFile(prog + "/settings.ini").value("SETTINGS", "DTConn"), "03.06.2023 12:00:00");
    EXPECT_EQ(reopen.size(), 1);
}

TEST_F(SettingsForm, FolderButton) {
    std::string withDb = tmp.file("with");
    std::string without = tmp.file("without");
    fs::create_directories(withDb);
    fs::create_directories(without);
    {
        dbf::Table t;
        devdata::createObjectsTable(t, withDb);
    }
    struct Case {
        std::optional<std::string> chosen;
        std::optional<QMessageBox::StandardButton> answer; // the question, when it is asked
        QString edit;
        bool created;
    } cases[] = {
        {withDb, std::nullopt, QString::fromStdString(withDb), false},
        {std::nullopt, std::nullopt, "..\\DATA", false}, // chooser cancelled
        {without, QMessageBox::Cancel, "..\\DATA", false},
        {without, QMessageBox::Ok, QString::fromStdString(without), true},
    };
    for (const auto& c : cases) {
        auto e = env();
        QString start;
        e.chooseFolder = [&](QWidget*, const QString& s) -> std::optional<QString> {
            start = s;
            if (!c.chosen) return std::nullopt;
            return QString::fromStdString(*c.chosen);
        };
        TSetupForm form(e);
        form.show();
        ModalAnswerer answerer(20000);
        if (c.answer) answerer.press(*c.answer);
        QTest::mouseClick(form.SpeedButton1, Qt::LeftButton);
        EXPECT_EQ(start.toStdString(), prog + "/DATA"); // preset to the path in force
        EXPECT_EQ(form.Edit1->text(), c.edit);
        if (c.answer) {
            ASSERT_EQ(answerer.messages(),
                      QStringList{"Файл базы данных MAINDB отсутствует! создать новую БД?"});
            EXPECT_EQ(answerer.seen()[0].icon, QMessageBox::Warning);
        } else {
            EXPECT_TRUE(answerer.seen().empty());
        }
        EXPECT_EQ(dbf::tableExists(without, "MAINDB"), c.created);
        // the new path takes effect only with OK; a MAINDB made here stays after Cancel
        EXPECT_EQ(form.dataDir(), prog + "/DATA");
        QTest::mouseClick(form.BitBtn2, Qt::LeftButton);
        EXPECT_EQ(dbf::tableExists(without, "MAINDB"), c.created);
    }
    dbf::Table t;
    t.open(without, "MAINDB");
    EXPECT_EQ(t.recordCount(), 0);
}

TEST_F(SettingsForm, FolderChoiceDialogPresetAnsweredAndCancelled) {
    std::string start = tmp.file("start");
    std::string other = tmp.file("other");
    fs::create_directories(start);
    fs::create_directories(other);
    for (bool confirm : {true, false}) {
        QString shownAt, title, acceptText;
        QTimer timer;
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!d || !d->isVisible()) return;
            timer.stop();
            shownAt = d->directory().absolutePath();
            title = d->windowTitle();
            acceptText = d->labelText(QFileDialog::Accept);
            if (confirm) {
                d->setDirectory(QString::fromStdString(other));
                static_cast<QDialog*>(d)->accept(); // the file dialog hides its own accept()
            } else {
                d->reject();
            }
        });
        timer.start();
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] {
            ADD_FAILURE() << "folder dialog not answered";
            if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) d->reject();
        });
        guard.start(20000);
        std::optional<QString> chosen = shell::chooseFolderDialog(nullptr, QString::fromStdString(start));
        EXPECT_EQ(shownAt.toStdString(), start);
        EXPECT_EQ(title, "Выбор директории");
        EXPECT_EQ(acceptText, "Выбрать");
        if (confirm) {
            ASSERT_TRUE(chosen);
            EXPECT_EQ(chosen->toStdString(), other);
        } else {
            EXPECT_FALSE(chosen);
        }
    }
}

TEST_F(SettingsForm, AutostartEntryFollowsTheBox) {
    std::string xdg = tmp.file("xdg");
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(xdg));
    auto e = env();
    e.autostartPath = devdata::autostartEntryPath();
    qunsetenv("XDG_CONFIG_HOME");
    std::string entry = xdg + "/autostart/mervo.desktop";
    ASSERT_EQ(e.autostartPath, entry);
    e.programPath = prog + "/my bin/Mervo";

    TSetupForm form(e);
    EXPECT_FALSE(form.CheckBox23->isChecked());
    form.CheckBox23->setChecked(true);
    ASSERT_TRUE(form.Save());
    std::string text = slurp(entry);
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("Type=Application\n"), std::string::npos);
    EXPECT_NE(text.find("Exec=\"" + prog + "/my bin/Mervo\"\n"), std::string::npos) << text;
    EXPECT_EQ(devdata::readAutostart(entry), e.programPath);
    form.Load();
    EXPECT_TRUE(form.CheckBox23->isChecked());

    // the program was moved: loading ticks the box and rewrites the entry with the new path
    e.programPath = prog + "/Mervo";
    TSetupForm moved(e);
    EXPECT_TRUE(moved.CheckBox23->isChecked());
    EXPECT_EQ(devdata::readAutostart(entry), prog + "/Mervo");
    EXPECT_NE(slurp(entry).find("Exec=" + prog + "/Mervo\n"), std::string::npos);

    moved.CheckBox23->setChecked(false);
    ASSERT_TRUE(moved.Save());
    EXPECT_FALSE(fs::exists(entry));
    moved.Load();
    EXPECT_FALSE(moved.CheckBox23->isChecked());
}

TEST_F(SettingsForm, PanelAndRestrictionGroupByAccessLevel) {
    struct Case {
        int par2, level;
        bool panel, group;
    } cases[] = {
        {0, 0, true, false}, {8, 0, false, false},     {8, 1, true, true},
        {0, 1, true, true},  {31 - 8, 0, true, false}, // the other restrictions leave the panel alone
    };
    for (const auto& c : cases) {
        put(registry, "[PAR]\nPar2=" + std::to_string(c.par2) + "\n");
        TSetupForm form(env());
        form.setAccessLevel(c.level);
        form.show();
        EXPECT_EQ(form.Panel1->isEnabled(), c.panel) << c.par2 << "/" << c.level;
        EXPECT_EQ(form.GroupBox2->isEnabled(), c.group) << c.par2 << "/" << c.level;
        EXPECT_EQ(form.CheckBox4->isEnabled(), c.panel && c.group);
        EXPECT_TRUE(form.BitBtn1->isEnabled());
        EXPECT_TRUE(form.BitBtn2->isEnabled());
        form.hide();
    }
    // a save that sets the restriction disables the panel at once at the user level
    put(registry, "[PAR]\nPar2=0\n");
    TSetupForm form(env());
    form.setAccessLevel(1);
    form.CheckBox19->setChecked(true);
    ASSERT_TRUE(form.Save());
    EXPECT_TRUE(form.Panel1->isEnabled());
    form.setAccessLevel(0);
    EXPECT_FALSE(form.Panel1->isEnabled());
    EXPECT_FALSE(form.GroupBox2->isEnabled());
}

TEST_F(SettingsForm, StoreThatCannotBeWrittenLeavesTheControlsAndIsNotWritten) {
    put(tmp.file("blocker"), "a file where the store's folder should be");
    auto e = env();
    e.registryPath = tmp.file("blocker/Mervo/registry.ini");
    TSetupForm form(e);
    // nothing loaded: the controls keep what they were built with
    EXPECT_EQ(form.Edit1->text(), "");
    form.Edit1->setText("/srv/x");
    form.SpinEdit1->setValue(3);
    form.MaskEdit1->setText("01.06.23 10:00");
    form.Load();
    EXPECT_EQ(form.Edit1->text(), "/srv/x");
    EXPECT_EQ(form.SpinEdit1->value(), 3);
    ASSERT_TRUE(form.Save());
    EXPECT_EQ(devdata::IniFile(prog + "/settings.ini").value("SETTINGS", "Repeat"), "3");
    EXPECT_EQ(form.dataDir(), "/srv/x");
    EXPECT_EQ(form.settings().repeat, 3);
}

TEST_F(SettingsForm, Screenshot) {
    TSetupForm form(env());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QString file = mervo::test::saveScreenshot(form, MERVO_SCREENSHOT_DIR, "settings");
    EXPECT_TRUE(QFileInfo::exists(file));
    std::printf("screenshot: %s\n", file.toStdString().c_str());
}

TEST_F(SettingsForm, ScheduleTickStoresTheNextPollTimeThroughTheWindow) {
    put(registry, "[PAR]\nPeriod=2\nPeriodX=1\nDTConn=" +
                      devdata::encodeDateTimeRaw(DateTime::fromParts(2023, 5, 7, 12, 0)) + "\n");
    TSetupForm form(env());
    bool running = false, on = true;
    int polls = 0;
    shell::SetupFormSchedule host(
        form, [&] { return running; }, [&] { return on; },
        [&] {
            ++polls;
            running = true;
        });
    // the poll starts on the first tick, three days late, and the schedule goes on from that moment
    EXPECT_TRUE(shell::scheduleTick(host, kNow));
    EXPECT_EQ(polls, 1);
    DateTime next = DateTime::fromParts(2023, 5, 11, 15, 37);
    EXPECT_EQ(form.MaskEdit1->text(), "11.05.23 15:37");
    EXPECT_EQ(form.settings().dtconn, next);
    EXPECT_EQ(devdata::SettingsStore(registry).load().dtconn, next);
    EXPECT_EQ(devdata::IniFile(prog + "/settings.ini").value("SETTINGS", "DTConn"), "11.05.2023 15:37:00");
    running = false;
    EXPECT_FALSE(shell::scheduleTick(host, kNow.addMs(1000)));
    on = false;
    EXPECT_FALSE(shell::scheduleTick(host, next.addDays(5)));
    EXPECT_EQ(polls, 1);
    EXPECT_EQ(form.settings().dtconn, next);
}

TEST_F(SettingsForm, ScheduleTickWithAFarPeriodStoresExactlyTheComputedTime) {
    // Неделя × 9999 puts the next poll time about 190 years ahead, beyond the edit's two-digit year
    put(registry, "[PAR]\nPeriod=1\nPeriodX=9999\nDTConn=" +
                      devdata::encodeDateTimeRaw(DateTime::fromParts(2023, 5, 10, 12, 0)) + "\n");
    TSetupForm form(env());
    bool running = false;
    int polls = 0;
    shell::SetupFormSchedule host(
        form, [&] { return running; }, [] { return true; }, [&] { ++polls; });
    const DateTime next = shell::advancePollTime(kNow, shell::kPeriodWeek, 9999);
    ASSERT_EQ(next, DateTime::fromParts(2023, 5, 10, 15, 37).addDays(7 * 9999));
    ASSERT_GT(next.year(), 2200);

    EXPECT_TRUE(shell::scheduleTick(host, kNow));
    EXPECT_EQ(form.settings().dtconn, next);
    EXPECT_EQ(devdata::SettingsStore(registry).load().dtconn, next);
    EXPECT_EQ(devdata::IniFile(prog + "/settings.ini").value("SETTINGS", "DTConn"),
              next.dateText() + " 15:37:00");
    EXPECT_EQ(form.MaskEdit1->text().toStdString(), shell::nextPollEditText(next));
    // the next seconds start nothing, and a later load reads the same far time back
    for (int s = 1; s <= 3; ++s)
        EXPECT_FALSE(shell::scheduleTick(host, kNow.addMs(s * 1000)));
    EXPECT_EQ(polls, 1);
    form.Load();
    EXPECT_EQ(form.settings().dtconn, next);
}
