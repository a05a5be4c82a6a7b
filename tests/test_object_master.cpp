// The object master TADOBJ on the offscreen platform, over a real MAINDB: the modes and their controls, the
// acceptance check per network type, the device text rule, the reset on acceptance, closing during an insert,
// the user-level restriction, the quick search, the scheme list in Windows-1251 and its malformed lines.
#include "dbf/codec.h"
#include "dbf/table.h"
#include "devdata/tables.h"
#include "shell/object_master.h"
#include "tests/qt_test_helpers.h"
#include "tests/tmpdir.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using mervo::test::ModalAnswerer;
using mervo::test::TempDir;
using shell::TADOBJ;

namespace {

const QString kFill = QString::fromUtf8("Заполните все поля");

struct Obj {
    std::string address;
    int type = 230;
    int net = 2;
    std::string group = {};
};

class MasterTest : public ::testing::Test {
protected:
    TempDir dir; // program folder and data directory in one
    dbf::Table objects;
    std::unique_ptr<TADOBJ> master;
    QStringList errors;
    int closedCalls = 0;
    bool restricted = false;

    void make(const std::vector<Obj>& rows) {
        devdata::createObjectsTable(objects, dir.path());
        for (const Obj& o : rows) {
            objects.append();
            objects.setInt("DEVTYPE", o.type);
            objects.setInt("SERIALNUM", 500);
            objects.setString("ADDRES", o.address);
            objects.setInt("NETTYPE", o.net);
            objects.setString("COMPORT", "ttyS0");
            objects.setString("PHONE", "89001234567");
            objects.setString("NETADR", "10.0.0.7");
            objects.setInt("IPPORT", 5001);
            objects.setInt("SCHTYPE", 2);
            objects.setString("STATE", "Норма");
            objects.setInt("ERRCODE", 5);
            objects.setDateTime("CON_DATE", dbf::DateTime::fromParts(2026, 3, 4));
            objects.setString("CON_TIME", "12:25:50");
            objects.setBool("AUTOCON", false);
            objects.setBool("ERR", true);
            objects.setString("DESKRIPTION", o.group);
            objects.post();
        }
        objects.setIndexFieldNames("NUM");
        objects.first();
        master = std::make_unique<TADOBJ>(objects, dir.path());
        master->groups = [] {
            return QStringList({QString::fromUtf8("Все объекты"), QString::fromUtf8("Котельная №1"),
                                QString::fromUtf8("ЦТП Юг")});
        };
        master->editRestricted = [this] { return restricted; };
        master->errorHandler = [this](const QString& cls, const QString& msg) { errors << cls + ": " + msg; };
        master->closed = [this] { ++closedCalls; };
    }

    // "Новый" answered by the information box.
    void pressNew() {
        ModalAnswerer answers;
        master->NewButton->click();
        ASSERT_EQ(answers.messages(), QStringList({QString::fromUtf8(shell::kNewObjectText)}));
        ASSERT_EQ(master->mode(), TADOBJ::Mode::Insert);
    }
    // "ПРИНЯТЬ"; the messages it showed.
    QStringList pressAccept() {
        ModalAnswerer answers;
        master->AcceptButton->click();
        return answers.messages();
    }
    void fill(const QString& address, const QString& serial, const QString& device, int net) {
        master->AddressEdit->setText(address);
        master->SerialEdit->setText(serial);
        master->DeviceCombo->setEditText(device);
        master->NetCombo->setCurrentIndex(net);
    }
    int count() {
        dbf::Table t;
        t.open(dir.path(), "MAINDB");
        return t.recordCount();
    }
    // The stored row with that address.
    std::map<std::string, dbf::Value> row(const std::string& address) {
        dbf::Table t;
        t.open(dir.path(), "MAINDB");
        std::map<std::string, dbf::Value> r;
        if (!t.locate("ADDRES", dbf::Value(address))) return r;
        for (int i = 0; i < t.fieldCount(); ++i)
            r[t.fields()[size_t(i)].name] = t.value(i);
        return r;
    }
    void writeScmList(const std::string& text) {
        std::filesystem::create_directories(dir.path() + "/Circuits");
        std::ofstream(dir.path() + "/Circuits/ScmList.lst", std::ios::binary) << dbf::codec::toCp1251(text);
    }
};

int64_t num(const dbf::Value& v) {
    if (auto* i = std::get_if<int64_t>(&v)) return *i;
    return -1;
}
std::string str(const dbf::Value& v) {
    if (auto* s = std::get_if<std::string>(&v)) return *s;
    return {};
}

} // namespace

TEST_F(MasterTest, NewThenAcceptWithOnlyTheAddressIsRefused) {
    make({{"Ленина 5"}});
    master->prepare();
    master->show();
    pressNew();
    EXPECT_TRUE(master->AutoconCheck->isChecked());
    EXPECT_TRUE(master->AddressEdit->text().isEmpty());
    master->AddressEdit->setText(QString::fromUtf8("Мира 3"));
    EXPECT_EQ(pressAccept(), QStringList({kFill}));
    EXPECT_EQ(master->mode(), TADOBJ::Mode::Insert);
    EXPECT_EQ(objects.state(), dbf::Table::State::Insert);
    EXPECT_EQ(count(), 1);
    // the insert's controls stay as they were
    EXPECT_TRUE(master->AcceptButton->isEnabled());
    EXPECT_FALSE(master->NewButton->isEnabled());
    EXPECT_FALSE(master->CloseButton->isEnabled());
    EXPECT_FALSE(master->ObjectList->isEnabled());
    EXPECT_FALSE(master->SearchEdit->isEnabled());
    EXPECT_TRUE(master->SettingsGroup->isEnabled());
}

// The fields each network type requires; Ethernet TCP is checked like Ethernet UDP.
TEST_F(MasterTest, RequiredFieldsPerNetworkType) {
    struct Case {
        int net;
        QString port, phone, adr, ipport;
        bool accepted;
    };
    const Case cases[] = {
        {0, "", "", "", "", false},
        {0, "ttyUSB0", "", "", "", true},
        {1, "ttyUSB0", "", "", "", false},
        {1, "ttyUSB0", "8900", "", "", true},
        {2, "", "", "10.0.0.1", "", false},
        {2, "", "", "", "5001", false},
        {2, "", "", "10.0.0.1", "5001", true},
        {3, "", "", "", "", false},
        {3, "", "", "10.0.0.1", "", false},
        {3, "", "", "", "5001", false},
        {3, "", "", "10.0.0.1", "5001", true},
        {3, "ttyUSB0", "8900", "", "", false},
    };
    make({});
    master->prepare();
    master->show();
    int stored = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.net << " " << c.port.toStdString() << "|" << c.phone.toStdString()
                                        << "|" << c.adr.toStdString() << "|" << c.ipport.toStdString());
        if (master->mode() == TADOBJ::Mode::Browse) pressNew();
        fill(QString::fromUtf8("Объект %1").arg(stored), "0", QString::fromUtf8("Vexa-1 П14х тип 229"), c.net);
        master->PortCombo->setEditText(c.port);
        master->PhoneEdit->setText(c.phone);
        master->NetAdrEdit->setText(c.adr);
        master->IpPortEdit->setText(c.ipport);
        QStringList shown = pressAccept();
        if (c.accepted) {
            EXPECT_TRUE(shown.isEmpty());
            EXPECT_EQ(master->mode(), TADOBJ::Mode::Browse);
            ++stored;
            EXPECT_EQ(num(row(("Объект " + std::to_string(stored - 1)))["NETTYPE"]), c.net);
        } else {
            EXPECT_EQ(shown, QStringList({kFill}));
            EXPECT_EQ(master->mode(), TADOBJ::Mode::Insert);
        }
        EXPECT_EQ(count(), stored);
    }
    // a network text that is not in the list counts as empty (the insert is still open)
    ASSERT_EQ(master->mode(), TADOBJ::Mode::Insert);
    fill("X", "0", "Oxel", -1);
    master->NetCombo->setEditText("Ethernet");
    master->NetAdrEdit->setText("h");
    master->IpPortEdit->setText("1");
    EXPECT_EQ(pressAccept(), QStringList({kFill}));
}

TEST_F(MasterTest, DeviceTextToCode) {
    const std::pair<const char*, int> cases[] = {
        {"Vexa-1 П14х тип 230", 230},
        {"Kesta", 128},
        {"Oxel", 231},
        {"Vexa-1 К1(2)(М) тип 238", 238},
        {"Vexa-1 П15х М тип 237", 237},
        {"узел Vexa-1 П14х М тип 236 старый", 236},
        {"Неизвестный прибор", 0},
    };
    make({});
    master->prepare();
    master->show();
    int i = 0;
    for (const auto& [text, code] : cases) {
        SCOPED_TRACE(text);
        pressNew();
        const QString address = QString::number(++i);
        fill(address, "7", QString::fromUtf8(text), 3);
        master->NetAdrEdit->setText("host");
        master->IpPortEdit->setText("5001");
        ASSERT_TRUE(pressAccept().isEmpty());
        EXPECT_EQ(num(row(address.toStdString())["DEVTYPE"]), code);
    }
    // a stored code is shown by its catalogue name; a code without one shows nothing
    ASSERT_TRUE(objects.locate("ADDRES", dbf::Value(std::string("1"))));
    master->reread();
    EXPECT_EQ(master->DeviceCombo->currentText(), QString::fromUtf8("Vexa-1 П14х тип 230"));
    ASSERT_TRUE(objects.locate("ADDRES", dbf::Value(std::string("7"))));
    master->reread();
    EXPECT_EQ(master->DeviceCombo->currentText(), "");
    EXPECT_EQ(master->DeviceCombo->currentIndex(), -1);
}

TEST_F(MasterTest, AcceptingAnEditResetsTheOutcome) {
    make({{"Ленина 5", 236, 3, "ЦТП Юг"}, {"Мира 3"}});
    objects.first(); // Ленина 5
    master->prepare(true); // the main window's "Редактировать"
    master->show();
    ASSERT_EQ(master->mode(), TADOBJ::Mode::Edit);
    EXPECT_EQ(master->AddressEdit->text(), QString::fromUtf8("Ленина 5"));
    EXPECT_EQ(master->NetCombo->currentText(), "Ethernet TCP");
    EXPECT_EQ(master->GroupCombo->currentText(), QString::fromUtf8("ЦТП Юг"));
    EXPECT_EQ(master->GroupCombo->count(), 2); // without "Все объекты"
    master->SerialEdit->setText("531");
    EXPECT_TRUE(pressAccept().isEmpty());
    auto r = row("Ленина 5");
    EXPECT_EQ(str(r["STATE"]), "---");
    EXPECT_EQ(num(r["ERRCODE"]), 0);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(r["CON_DATE"]));
    EXPECT_EQ(str(r["CON_TIME"]), "");
    EXPECT_FALSE(std::get<bool>(r["ERR"]));
    EXPECT_EQ(num(r["SERIALNUM"]), 531);
    EXPECT_EQ(num(r["DEVTYPE"]), 236);
    EXPECT_EQ(num(r["SCHTYPE"]), 2);
    EXPECT_EQ(str(r["DESKRIPTION"]), "ЦТП Юг");
    // the other object is untouched
    EXPECT_EQ(str(row("Мира 3")["STATE"]), "Норма");
}

TEST_F(MasterTest, CancelDropsTheEdit) {
    make({{"Ленина 5"}});
    master->prepare();
    master->show();
    master->EditButton->click();
    master->AddressEdit->setText("Другой");
    master->CancelButton->click();
    EXPECT_EQ(master->mode(), TADOBJ::Mode::Browse);
    EXPECT_EQ(master->AddressEdit->text(), QString::fromUtf8("Ленина 5"));
    EXPECT_EQ(str(row("Ленина 5")["STATE"]), "Норма");
    EXPECT_FALSE(master->SettingsGroup->isEnabled());
    EXPECT_TRUE(master->NewButton->isEnabled());
}

TEST_F(MasterTest, ClosingDuringAnInsertStoresTheRecordWithoutTheCheck) {
    make({{"Ленина 5"}});
    master->prepare();
    master->show();
    pressNew();
    master->AddressEdit->setText(QString::fromUtf8("Недописанный"));
    master->GroupCombo->setEditText(QString::fromUtf8("Новая группа"));
    {
        ModalAnswerer answers;
        master->close();
        EXPECT_TRUE(answers.messages().isEmpty());
    }
    EXPECT_FALSE(master->isVisible());
    EXPECT_EQ(closedCalls, 1);
    EXPECT_EQ(count(), 2);
    auto r = row("Недописанный");
    EXPECT_EQ(str(r["DESKRIPTION"]), "Новая группа");
    EXPECT_TRUE(std::get<bool>(r["AUTOCON"]));
    EXPECT_EQ(str(r["STATE"]), "---");
    // the main window's ordering is back
    EXPECT_EQ(objects.indexFieldNames(), "NUM");
    EXPECT_EQ(objects.state(), dbf::Table::State::Browse);
    EXPECT_TRUE(errors.isEmpty()) << errors.join("\n").toStdString();
}

TEST_F(MasterTest, UserLevelRestriction) {
    make({{"Абрикосовая 1"}, {"Ленина 5"}, {"Мира 3"}});
    restricted = true;
    master->prepare();
    master->show();
    EXPECT_FALSE(master->NewButton->isEnabled());
    EXPECT_FALSE(master->EditButton->isEnabled());
    EXPECT_FALSE(master->DeleteButton->isEnabled());
    EXPECT_TRUE(master->CloseButton->isEnabled());
    EXPECT_TRUE(master->ObjectList->isEnabled());
    EXPECT_TRUE(master->SearchEdit->isEnabled());
    // the list and the search still move the current object
    ASSERT_EQ(master->ObjectList->count(), 3);
    QTest::mouseClick(master->ObjectList->viewport(), Qt::LeftButton, {},
                      master->ObjectList->visualItemRect(master->ObjectList->item(2)).center());
    EXPECT_EQ(master->AddressEdit->text(), QString::fromUtf8("Мира 3"));
    // typed letter by letter
    for (QChar c : QString::fromUtf8("Ле"))
        master->SearchEdit->insert(QString(c));
    EXPECT_EQ(objects.asString("ADDRES"), "Ленина 5");
    EXPECT_EQ(master->ObjectList->currentItem()->text(), QString::fromUtf8("Ленина 5"));
    master->CloseButton->click();
    EXPECT_FALSE(master->isVisible());
    EXPECT_EQ(closedCalls, 1);
}

TEST_F(MasterTest, QuickSearchTakesTheFirstAddressNotBeforeTheText) {
    make({{"Мира 3"}, {"Абрикосовая 1"}, {"Ленина 5"}, {"Ленина 7"}});
    master->prepare();
    master->show();
    const std::pair<const char*, const char*> cases[] = {
        {"Л", "Ленина 5"}, {"Ленина 6", "Ленина 7"}, {"Лм", "Мира 3"}, {"А", "Абрикосовая 1"}, {"Я", "Мира 3"}};
    for (const auto& [text, expected] : cases) {
        master->SearchEdit->setText(QString::fromUtf8(text));
        EXPECT_EQ(objects.asString("ADDRES"), expected) << text;
        EXPECT_EQ(master->AddressEdit->text(), QString::fromUtf8(expected));
    }
    // the list is in address order
    QStringList list;
    for (int i = 0; i < master->ObjectList->count(); ++i)
        list << master->ObjectList->item(i)->text();
    EXPECT_EQ(list, QStringList({QString::fromUtf8("Абрикосовая 1"), QString::fromUtf8("Ленина 5"),
                                 QString::fromUtf8("Ленина 7"), QString::fromUtf8("Мира 3")}));
}

TEST_F(MasterTest, DeleteAsksFirst) {
    make({{"Ленина 5"}, {"Мира 3"}});
    master->prepare();
    master->show();
    {
        ModalAnswerer answers;
        answers.press(QMessageBox::No);
        master->DeleteButton->click();
        EXPECT_EQ(answers.messages(),
                  QStringList({QString::fromUtf8("вы действительно хотите удалить объект Ленина 5 ?")}));
    }
    EXPECT_EQ(count(), 2);
    {
        ModalAnswerer answers;
        answers.press(QMessageBox::Ok);
        master->DeleteButton->click();
    }
    EXPECT_EQ(count(), 1);
    EXPECT_TRUE(row("Ленина 5").empty());
    EXPECT_EQ(master->ObjectList->count(), 1);
    EXPECT_EQ(master->mode(), TADOBJ::Mode::Browse);
}

TEST_F(MasterTest, NetworkTypeVisibility) {
    make({{"Ленина 5"}});
    master->prepare();
    master->show();
    master->EditButton->click();
    struct Case {
        int net;
        bool port, phone, adr, ipport;
    };
    const Case cases[] = {{0, true, false, false, false},
                          {1, true, true, false, false},
                          {2, false, false, true, true},
                          {3, false, false, true, true}};
    const char* pictures[] = {"object_master_com", "object_master_modem", "object_master_udp",
                              "object_master_tcp"};
    for (const Case& c : cases) {
        master->NetCombo->setCurrentIndex(c.net);
        EXPECT_EQ(master->PortCombo->isVisible(), c.port) << c.net;
        EXPECT_EQ(master->PhoneEdit->isVisible(), c.phone) << c.net;
        EXPECT_EQ(master->NetAdrEdit->isVisible(), c.adr) << c.net;
        EXPECT_EQ(master->IpPortEdit->isVisible(), c.ipport) << c.net;
        // the labels stay
        EXPECT_TRUE(master->PhoneLabel->isVisible());
        EXPECT_TRUE(master->IpPortLabel->isVisible());
        mervo::test::saveScreenshot(*master, MERVO_SCREENSHOT_DIR, pictures[c.net]);
    }
}

// The port list shows the ports present when it is opened; a typed name or path is kept.
TEST_F(MasterTest, SerialPortListAndTypedPort) {
    make({{"Ленина 5", 230, 0}});
    QStringList ports = {"ttyS0", "ttyUSB0"};
    master->serialPorts = [&] { return ports; };
    master->prepare();
    master->show();
    master->EditButton->click();
    master->PortCombo->showPopup();
    master->PortCombo->hidePopup();
    EXPECT_EQ(master->PortCombo->count(), 2);
    EXPECT_EQ(master->PortCombo->currentText(), "ttyS0"); // the stored value stays
    ports = {"ttyACM0"};
    master->PortCombo->showPopup();
    master->PortCombo->hidePopup();
    ASSERT_EQ(master->PortCombo->count(), 1);
    EXPECT_EQ(master->PortCombo->itemText(0), "ttyACM0");
    master->PortCombo->setEditText("/tmp/vc0");
    EXPECT_TRUE(pressAccept().isEmpty());
    EXPECT_EQ(str(row("Ленина 5")["COMPORT"]), "/tmp/vc0");
    // the machine's own list is readable (it may be empty)
    for (const QString& p : shell::machineSerialPorts())
        EXPECT_FALSE(p.contains('/'));
}

TEST_F(MasterTest, SchemeListInWindows1251SetsTheSchemeNumber) {
    writeScmList("[229]\r\nS1=Чужая схема\r\n[230]\r\nS1=Схема зависимая отопления\r\nS12=Схема независимая с ГВС и "
                 "подпиткой\r\n\r\nS2=Открытая система\r\nS3x=Испорченная\r\nБез знака равенства\r\n");
    std::filesystem::create_directories(dir.path() + "/Circuits/230");
    std::ofstream(dir.path() + "/Circuits/230/S12.MNS") << "scheme";
    make({{"Ленина 5", 230, 2}});
    std::vector<std::string> previews;
    master->schemePreview = [&](const std::string& p) { previews.push_back(p); };
    master->prepare();
    master->show();
    // SCHTYPE 2 of the record: its description
    EXPECT_EQ(master->SchemeDescription->toPlainText(), QString::fromUtf8("Открытая система"));
    EXPECT_FALSE(master->SchemeListButton->isEnabled()); // browse mode
    master->EditButton->click();
    const QStringList lines = master->schemeMenuLines();
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines[1], QString::fromUtf8("S12=Схема независимая с ГВС и подпиткой"));

    // the real menu below the button
    QTimer picker;
    QObject::connect(&picker, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* menu = qobject_cast<QMenu*>(w); menu && menu->isVisible()) {
                picker.stop();
                EXPECT_EQ(menu->actions().size(), 5);
                QTest::keyClick(menu, Qt::Key_Down);
                QTest::keyClick(menu, Qt::Key_Down);
                QTest::keyClick(menu, Qt::Key_Return);
                return;
            }
    });
    picker.start(20);
    master->SchemeListButton->click();
    EXPECT_EQ(master->SchemeDescription->toPlainText(), lines[1]);
    EXPECT_EQ(previews, std::vector<std::string>({dir.path() + "/Circuits/230/S12.MNS"}));

    // malformed lines reach the error handler and change nothing
    master->chooseScheme(lines[3]);
    master->chooseScheme(lines[4]);
    EXPECT_EQ(errors.size(), 2);
    EXPECT_TRUE(errors.value(0).startsWith("TADOBJ: "));
    EXPECT_EQ(master->SchemeDescription->toPlainText(), lines[1]);

    master->chooseScheme(lines[2]); // S2, no scheme file: no preview
    EXPECT_EQ(previews.size(), 1u);
    EXPECT_TRUE(pressAccept().isEmpty());
    EXPECT_EQ(num(row("Ленина 5")["SCHTYPE"]), 2);

    master->EditButton->click();
    master->chooseScheme(lines[1]);
    EXPECT_TRUE(pressAccept().isEmpty());
    EXPECT_EQ(num(row("Ленина 5")["SCHTYPE"]), 12);

    // choosing another device shows the description of the scheme number in that device's section
    master->EditButton->click();
    master->DeviceCombo->setCurrentText(QString::fromUtf8("Vexa-1 П14х тип 229"));
    EXPECT_EQ(master->SchemeDescription->toPlainText(), ""); // [229] has no S12
    master->CancelButton->click();
}

TEST_F(MasterTest, NoSchemeListKeepsTheDescriptionAndGivesAnEmptyMenu) {
    make({{"Ленина 5", 230, 2}});
    master->prepare();
    master->show();
    master->EditButton->click();
    EXPECT_TRUE(master->schemeMenuLines().isEmpty());
    EXPECT_TRUE(errors.isEmpty());
    // the scheme editor needs an existing scheme file
    int editorCalls = 0;
    master->schemeEditor = [&](const std::string&) { ++editorCalls; };
    master->SchemeEditorButton->click();
    EXPECT_EQ(editorCalls, 0);
    std::filesystem::create_directories(dir.path() + "/Circuits/230");
    std::ofstream(dir.path() + "/Circuits/230/S2.MNS") << "scheme";
    master->SchemeEditorButton->click();
    EXPECT_EQ(editorCalls, 1);
}
