// Tolvan's window driven as the operator drives it, against the calculator simulator in configurator mode on
// a pseudo-terminal, a scripted device where the simulator cannot give the reply, and no device at all; and
// the real executable started with good and bad command lines.
#include "configurator/config_form.h"
#include "tests/qt_test_helpers.h"
#include "tests/sim_process.h"
#include "tests/test_tolvan_peer.h"
#include "tests/tmpdir.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>

using namespace tolvan;
using mervo::test::ModalAnswerer;
using mervo::test::PtyPeer;
using mervo::test::SimProcess;
using mervo::test::TempDir;

namespace {

LaunchArgs launch(const std::string& port, const std::string& serial = "1", const std::string& type = "229") {
    auto a = parseLaunch({"vrelt", port, serial, "0", type});
    if (!a) throw std::runtime_error("bad launch arguments");
    return *a;
}

// The window as the program shows it, with its modal dialogs answered.
struct Window {
    ModalAnswerer modals;
    TConfigForm form;

    explicit Window(const std::string& port, const std::string& serial = "1", const std::string& type = "229")
        : form(launch(port, serial, type)) {
        form.show();
        if (!QTest::qWaitForWindowExposed(&form)) throw std::runtime_error("window not shown");
        form.start();
    }
    void setAddress(const QString& a) {
        form.Edit2->selectAll();
        QTest::keyClicks(form.Edit2, a);
    }
    void click(QPushButton* b) {
        ASSERT_TRUE(b->isEnabled()) << b->objectName().toStdString();
        QTest::mouseClick(b, Qt::LeftButton);
    }
    bool buttonsEnabled() const {
        return form.Button1->isEnabled() && form.Button2->isEnabled() && form.Button3->isEnabled();
    }
    bool buttonsDisabled() const {
        return !form.Button1->isEnabled() && !form.Button2->isEnabled() && !form.Button3->isEnabled();
    }
};

// The simulator as a type-229 calculator with serial number 1 on a pseudo-terminal in configurator mode.
struct Calculator {
    TempDir dir;
    std::unique_ptr<SimProcess> sim;
    explicit Calculator(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"--type", "229",           "--serial",      "1",
                                         "--pty",  dir.file("vc0"), "--configurator"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<SimProcess>(args);
    }
    std::string port() const { return sim->ptyPath(); }
};

Bytes times(const Bytes& frame, int n) {
    Bytes out;
    for (int i = 0; i < n; ++i)
        out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

Bytes withCrc(Bytes b) {
    uint16_t c = crc16(b);
    b.push_back(uint8_t(c & 0xFF));
    b.push_back(uint8_t(c >> 8));
    return b;
}

} // namespace

TEST(TolvanWindow, LooksAsDesignedAndIsSavedAsAPicture) {
    PtyPeer peer;
    ModalAnswerer modals;
    TConfigForm form(launch(peer.path(), "530", "225"));
    EXPECT_EQ(form.windowTitle(), "Конфигуратор ModBus");
    EXPECT_TRUE(form.windowFlags() & Qt::WindowStaysOnTopHint);
    // the buttons wait for an open port
    EXPECT_FALSE(form.Button1->isEnabled());
    EXPECT_FALSE(form.Button2->isEnabled());
    EXPECT_FALSE(form.Button3->isEnabled());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.start();
    EXPECT_TRUE(form.Button1->isEnabled() && form.Button2->isEnabled() && form.Button3->isEnabled());
    EXPECT_TRUE(modals.seen().empty());

    // sized to its contents and centred
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_EQ(form.size(), form.sizeHint());
    QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE((form.frameGeometry().center() - centre).manhattanLength(), 2);

    EXPECT_EQ(form.Label7->text(), "530");
    EXPECT_EQ(form.Edit2->text(), "0");
    EXPECT_EQ(form.Label6->text(), "Vexa-1К1/2(М)");
    EXPECT_EQ(form.Label9->text(), "???");
    EXPECT_EQ(form.Button1->text(), "Переключить на Modbus");
    EXPECT_EQ(form.Button2->text(), "Переключить на RZ стандарт");
    EXPECT_EQ(form.Button3->text(), "Изменить Адрес Modbus");
    QStringList captions;
    for (auto* l : form.findChildren<QLabel*>())
        captions << l->text();
    for (const char* c : {"COM порт", "Серийный номер", "Адрес Modbus", "Тип прибора ", "Протокол"})
        EXPECT_TRUE(captions.contains(c)) << c;
    for (const char* w : {"n1", "n0", "адрес", "COM порт", "перемычку", "кнопку"})
        EXPECT_TRUE(form.Instruction->text().contains(w)) << w;
    // the given port is offered even though it is a path, and it is the one in the box
    EXPECT_GE(form.ComboBox1->findText(QString::fromStdString(peer.path())), 0);
    EXPECT_EQ(form.ComboBox1->currentText().toStdString(), peer.path());

    // Cyrillic has glyphs in the font the window uses
    QFontMetrics fm(form.Button2->font());
    for (char32_t c : {U'П', U'е', U'р', U'ю', U'Ё'})
        EXPECT_TRUE(fm.inFontUcs4(c)) << form.Button2->font().family().toStdString();

    QString file = mervo::test::saveScreenshot(form, MERVO_SCREENSHOT_DIR, "tolvan");
    QImage shot(file);
    ASSERT_FALSE(shot.isNull()) << file.toStdString();
    EXPECT_EQ(shot.size(), form.size() * form.devicePixelRatio());
    std::printf("screenshot: %s\n", file.toStdString().c_str());
}

TEST(TolvanWindow, SwitchesToModbusChangesTheAddressAndSwitchesBack) {
    Calculator calc({"--jumper", "closed", "--modbus-address", "1"});
    Window w(calc.port());
    ASSERT_TRUE(w.buttonsEnabled());

    w.click(w.form.Button1);
    EXPECT_EQ(w.modals.messages(), QStringList{"Подключен Modbus!"});
    EXPECT_EQ(w.form.Label9->text(), "Modbus RTU");
    EXPECT_EQ(w.modals.seen().at(0).title, "Конфигуратор ModBus");

    w.modals.clear();
    w.setAddress("1");
    w.modals.type("300"); // low 8 bits: 44, which the device takes
    w.click(w.form.Button3);
    ASSERT_EQ(w.modals.seen().size(), 2u);
    EXPECT_EQ(w.modals.seen()[0].kind, "input");
    EXPECT_EQ(w.modals.seen()[0].title, "Новый АДРЕС Modbus");
    EXPECT_EQ(w.modals.seen()[0].text, "введите новый адрес Modbus от 1 до 247 ");
    EXPECT_EQ(w.modals.messages(), QStringList{"Адрес изменен!"});
    EXPECT_EQ(w.form.Edit2->text(), "44");
    EXPECT_EQ(w.form.configurator().address(), 44);

    // back to RZ at the new address, and the device speaks RZ again
    w.modals.clear();
    w.click(w.form.Button2);
    EXPECT_EQ(w.modals.messages(), QStringList{"Подключен RZ стандарт!"});
    EXPECT_EQ(w.form.Label9->text(), "RZ стандарт");
    w.modals.clear();
    w.click(w.form.Button1);
    EXPECT_EQ(w.modals.messages(), QStringList{"Подключен Modbus!"});
    EXPECT_EQ(w.form.Label9->text(), "Modbus RTU");
    EXPECT_FALSE(w.modals.expired());
}

TEST(TolvanWindow, SimulatedRefusalsAndDamagedReplies) {
    struct Case {
        const char* what;
        std::vector<std::string> sim;
        int button;
        const char* entry; // Button3's input
        QStringList messages;
    };
    const Case cases[] = {
        {"jumper open, to Modbus", {"--jumper", "open"}, 1, nullptr, {"Не замкнута перемычка"}},
        {"jumper open, to RZ", {"--jumper", "open", "--modbus"}, 2, nullptr, {"не замкнута пермычка"}},
        {"jumper open, new address", {"--jumper", "open", "--modbus"}, 3, "7", {"не замкнута пермычка"}},
        {"address 0 refused", {"--modbus"}, 3, "0", {"Неправильные данные."}},
        {"bad checksum, to Modbus", {"--bad-checksum"}, 1, nullptr, {"Ошибка CRC8", "Нет ответа"}},
        {"bad checksum, to RZ", {"--modbus", "--bad-checksum"}, 2, nullptr, {"Ошибка CRC16"}},
        {"answer 2 bytes too long, to RZ", {"--modbus", "--wrong-length", "2"}, 2, nullptr, {}},
        // two bursts: only the first is judged, so a good answer split early fails its checksum
        {"two bursts, to Modbus", {"--burst", "3:800"}, 1, nullptr, {"Ошибка CRC8", "Нет ответа"}},
        {"two bursts, new address", {"--modbus", "--burst", "6:800"}, 3, "9", {"Ошибка CRC16"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Calculator calc(c.sim);
        Window w(calc.port());
        w.setAddress("1");
        if (c.entry) w.modals.type(c.entry);
        QPushButton* b = c.button == 1 ? w.form.Button1 : c.button == 2 ? w.form.Button2 : w.form.Button3;
        QElapsedTimer t;
        t.start();
        w.click(b);
        EXPECT_LT(t.elapsed(), 1900); // judged on the first reply, no repetition
        EXPECT_EQ(w.modals.messages(), c.messages);
        EXPECT_EQ(w.form.Label9->text(), "???");
        EXPECT_EQ(w.form.Edit2->text(), "1");
    }
}

TEST(TolvanWindow, ModbusExceptionReplies) {
    struct Case {
        uint8_t from;
        uint8_t code;
        QStringList messages;
    };
    const Case cases[] = {
        {1, 1, {"Переданная функция не поддерживается устройством"}},
        {1, 2, {"Неверный начальный адрес или длина пакета "}},
        {1, 4, {"Неправильные данные."}},
        {1, 16, {"Ошибка контрольной суммы."}},
        {1, 32, {"не замкнута пермычка"}},
        {1, 7, {}}, // a code without a message
        {2, 4, {}}, // from another address
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "address " << int(c.from) << " code " << int(c.code));
        PtyPeer peer([&](const PtyPeer::Bytes&, int) -> std::vector<PtyPeer::Burst> {
            return {{0, withCrc({c.from, 0x86, c.code})}};
        });
        Window w(peer.path());
        w.setAddress("1");
        w.click(w.form.Button2);
        EXPECT_EQ(w.modals.messages(), c.messages);
        EXPECT_EQ(peer.received(), rzSwitchFrame(1)); // one write: a reply came
        EXPECT_EQ(w.form.Label9->text(), "???");
    }
}

// No device on the line: every operation writes its frame four times, 2 s apart.
TEST(TolvanWindow, NoDeviceSwitchToModbusEndsWithPacketErrorAfterFourWrites) {
    PtyPeer peer;
    Window w(peer.path());
    // the window keeps serving events during the waits, with its buttons locked
    int during = 0;
    QTimer::singleShot(1000, &w.form, [&] { during = w.buttonsDisabled() ? 1 : -1; });
    QElapsedTimer t;
    t.start();
    w.click(w.form.Button1);
    EXPECT_GE(t.elapsed(), 4 * 2000 - 100);
    EXPECT_LT(t.elapsed(), 4 * 2000 + 2000);
    EXPECT_EQ(during, 1);
    EXPECT_EQ(w.modals.messages(), QStringList{"Ошибка пакета"});
    EXPECT_EQ(peer.received(), times(modbusSwitchFrame(229, 1), 4));
    EXPECT_TRUE(w.buttonsEnabled());
}

TEST(TolvanWindow, NoDeviceSwitchToRzEndsWithNoReply) {
    PtyPeer peer;
    Window w(peer.path());
    w.setAddress("3");
    w.click(w.form.Button2);
    EXPECT_EQ(w.modals.messages(), QStringList{"Нет ответа"});
    EXPECT_EQ(peer.received(), times(rzSwitchFrame(3), 4));
}

TEST(TolvanWindow, NoDeviceAddressChangeEndsWithNoReply) {
    PtyPeer peer;
    Window w(peer.path());
    w.setAddress("3");
    w.modals.type("12");
    w.click(w.form.Button3);
    EXPECT_EQ(w.modals.messages(), QStringList{"Нет ответа"});
    EXPECT_EQ(peer.received(), times(addressFrame(3, 12), 4));
    EXPECT_EQ(w.form.Edit2->text(), "3");
}

TEST(TolvanWindow, AddressEntryThatIsNotANumberOrIsCancelled) {
    PtyPeer peer;
    Window w(peer.path());
    w.modals.cancel();
    w.click(w.form.Button3);
    w.modals.type("abc");
    w.click(w.form.Button3);
    ASSERT_EQ(w.modals.seen().size(), 3u);
    EXPECT_EQ(w.modals.seen()[2].kind, "message");
    EXPECT_EQ(w.modals.seen()[2].text, "'abc' не является допустимым целым значением");
    EXPECT_EQ(w.modals.seen()[2].icon, QMessageBox::Critical);
    EXPECT_TRUE(peer.received().empty());
    EXPECT_TRUE(w.buttonsEnabled());
}

TEST(TolvanWindow, APortThatCannotBeOpenedDisablesTheButtons) {
    TempDir dir;
    const std::string missing = dir.file("vc9");
    Window w(missing);
    EXPECT_EQ(w.modals.messages(), QStringList{"Нет возможности открыть порт"});
    EXPECT_TRUE(w.buttonsDisabled());

    // typing a port that works and pressing Enter selects it
    PtyPeer peer;
    w.modals.clear();
    QLineEdit* edit = w.form.ComboBox1->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, QString::fromStdString(peer.path()));
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_TRUE(mervo::test::waitFor([&] { return w.buttonsEnabled(); }));
    EXPECT_EQ(w.form.configurator().portName(), peer.path());

    // choosing the missing port from the list fails again
    int i = w.form.ComboBox1->findText(QString::fromStdString(missing));
    ASSERT_GE(i, 0);
    w.form.ComboBox1->setFocus();
    w.form.ComboBox1->setCurrentIndex(i == 0 ? 1 : 0);
    QTest::keyClick(w.form.ComboBox1, i == 0 ? Qt::Key_Up : Qt::Key_Down);
    EXPECT_EQ(w.form.ComboBox1->currentText().toStdString(), missing);
    EXPECT_TRUE(mervo::test::waitFor([&] { return !w.modals.messages().isEmpty(); }));
    EXPECT_TRUE(w.buttonsDisabled());

    // one key press, one attempt: Enter on a typed name that does not open says so once, and leaving the
    // box afterwards does not try again; Enter on the same name tries again
    edit->selectAll();
    QTest::keyClicks(edit, QString::fromStdString(dir.file("vc8")));
    QTest::keyClick(edit, Qt::Key_Return);
    w.form.Button1->setFocus();
    QTest::qWait(200);
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_Return);
    QTest::qWait(200);
    EXPECT_EQ(w.modals.messages(), QStringList(3, "Нет возможности открыть порт"));
    EXPECT_EQ(w.form.configurator().portName(), dir.file("vc8"));
    EXPECT_TRUE(w.buttonsDisabled());
}

TEST(TolvanWindow, APortHeldByAnotherProgramCannotBeOpened) {
    PtyPeer peer;
    polling::SerialPort other;
    other.setPort(peer.path());
    other.open();
    Window w(peer.path());
    EXPECT_EQ(w.modals.messages(), QStringList{"Нет возможности открыть порт"});
    EXPECT_TRUE(w.buttonsDisabled());
}

// ---- the executable

namespace {

struct Exit {
    bool finished = false;
    QProcess::ExitStatus status = QProcess::NormalExit;
    int code = -1;
    qint64 ms = 0;
};

// Runs Tolvan.dll with no display at all: a program that got as far as its window would fail differently.
Exit runWithoutDisplay(const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("QT_QPA_PLATFORM", "xcb");
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    t.start();
    p.start(TOLVAN_PATH, args);
    Exit r;
    r.finished = p.waitForFinished(5000);
    r.ms = t.elapsed();
    r.status = p.exitStatus();
    r.code = p.exitCode();
    if (!r.finished) p.kill(), p.waitForFinished();
    return r;
}

} // namespace

TEST(TolvanProgram, AWrongTokenOrAnEmptyArgumentEndsItAtOnce) {
    const QStringList cases[] = {
        {},
        {"vrelt"},
        {"vrelt", "/tmp/vc0", "1", "0"},
        {"Vrelt", "/tmp/vc0", "1", "0", "229"},
        {"xxxxx", "/tmp/vc0", "1", "0", "229"},
        {"vrelt", "", "1", "0", "229"},
        {"vrelt", "/tmp/vc0", "", "0", "229"},
        {"vrelt", "/tmp/vc0", "1", "", "229"},
        {"vrelt", "/tmp/vc0", "1", "0", ""},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.join(" | ").toStdString());
        Exit r = runWithoutDisplay(args);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.status, QProcess::NormalExit);
        EXPECT_NE(r.code, 0);
        EXPECT_LT(r.ms, 2000);
    }
}

TEST(TolvanProgram, RightArgumentsOpenTheWindowAndThePort) {
    PtyPeer peer;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(TOLVAN_PATH, {"vrelt", QString::fromStdString(peer.path()), "1", "0", "229"});
    ASSERT_TRUE(p.waitForStarted(5000));
    // the program opens the port given to it
    const std::string proc = "/proc/" + std::to_string(p.processId()) + "/fd";
    bool opened = mervo::test::waitFor(
        [&] {
            std::error_code ec;
            for (const auto& e : std::filesystem::directory_iterator(proc, ec)) {
                std::error_code ec2;
                if (std::filesystem::read_symlink(e.path(), ec2) == peer.path()) return true;
            }
            return false;
        },
        5000);
    EXPECT_TRUE(opened);
    EXPECT_FALSE(p.waitForFinished(500)); // and it keeps running
    EXPECT_EQ(p.state(), QProcess::Running);
    p.terminate();
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished();
    }
}
