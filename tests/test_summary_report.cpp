// The summary report window TSRepForm on the offscreen platform: template groups and templates from a
// Windows-1251 "SPatterns.ini", the choices remembered per main-window group in "RepStore.ini", and "Печать"
// starting a stand-in "SReport.dll" (a script that records its arguments) or answering with its messages.
#include "dbf/codec.h"
#include "shell/summary_report.h"
#include "tests/qt_test_helpers.h"
#include "tests/tmpdir.h"

#include <QComboBox>
#include <QDateEdit>
#include <QFile>
#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

using mervo::test::ModalAnswerer;
using mervo::test::TempDir;
using shell::TSRepForm;

namespace {

class SummaryTest : public ::testing::Test {
protected:
    TempDir dir; // the program folder
    QString group = QString::fromUtf8("Все объекты");
    std::unique_ptr<TSRepForm> form;

    std::string patterns() const { return dir.path() + "/Patterns/SPatterns/"; }
    void writeCp1251(const std::string& path, const std::string& utf8) {
        std::ofstream(path, std::ios::binary) << dbf::codec::toCp1251(utf8);
    }
    std::string readRaw(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void SetUp() override {
        std::filesystem::create_directories(patterns());
        writeCp1251(patterns() + "SPatterns.ini",
                    "[Тепловые узлы]\r\nОтчет за сутки=Отчет по узлам.xls\r\nМесячный=month.xls\r\n"
                    "Пропавший=absent.xls\r\n[Водосчетчики]\r\nСводка=water.xls\r\n");
        for (const char* f : {"Отчет по узлам.xls", "month.xls", "water.xls"})
            std::ofstream(patterns() + f) << "template";
        form = makeForm();
    }
    std::unique_ptr<TSRepForm> makeForm() {
        auto f = std::make_unique<TSRepForm>(dir.path());
        f->currentGroup = [this] { return group; };
        return f;
    }
    // The stand-in summary-report program: records its arguments one a line.
    void installSReport() {
        const std::string path = dir.path() + "/SReport.dll";
        std::ofstream(path) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args.tmp\"\n"
                               "mv \"$(dirname \"$0\")/args.tmp\" \"$(dirname \"$0\")/args.txt\"\n";
        ::chmod(path.c_str(), 0755);
    }
    QStringList recordedArgs() {
        const QString path = QString::fromStdString(dir.path() + "/args.txt");
        if (!mervo::test::waitFor([&] { return QFile::exists(path); }, 10000)) return {};
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        QStringList lines = QString::fromUtf8(f.readAll()).split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
        return lines;
    }
    static void choose(QComboBox* combo, const QString& text) {
        const int i = combo->findText(text);
        ASSERT_GE(i, 0) << text.toStdString();
        combo->setCurrentIndex(i);
        emit combo->activated(i);
    }
    QStringList print() {
        ModalAnswerer answers;
        form->PrintButton->click();
        return answers.messages();
    }
};

} // namespace

TEST_F(SummaryTest, ListsFromSPatterns) {
    form->prepare();
    ASSERT_EQ(form->GroupCombo->count(), 2);
    EXPECT_EQ(form->GroupCombo->itemText(0), QString::fromUtf8("Тепловые узлы"));
    EXPECT_EQ(form->GroupCombo->itemText(1), QString::fromUtf8("Водосчетчики"));
    EXPECT_EQ(form->GroupCombo->currentIndex(), -1);
    choose(form->GroupCombo, QString::fromUtf8("Тепловые узлы"));
    EXPECT_EQ(form->TemplateCombo->count(), 3);
    EXPECT_EQ(form->TemplateCombo->itemText(2), QString::fromUtf8("Пропавший"));
    choose(form->GroupCombo, QString::fromUtf8("Водосчетчики"));
    EXPECT_EQ(form->TemplateCombo->count(), 1);
    EXPECT_EQ(form->DateFrom->date(), QDate::currentDate());
}

// The template file name with blanks reaches the program with "#" in their place.
TEST_F(SummaryTest, PrintStartsSReportWithFiveArguments) {
    installSReport();
    form->prepare();
    choose(form->GroupCombo, QString::fromUtf8("Тепловые узлы"));
    choose(form->TemplateCombo, QString::fromUtf8("Отчет за сутки"));
    EXPECT_EQ(form->templateFile(), QString::fromUtf8("Отчет по узлам.xls"));
    form->DateFrom->setDate(QDate(2026, 3, 1));
    form->DateTo->setDate(QDate(2026, 3, 31));
    EXPECT_TRUE(print().isEmpty());
    EXPECT_EQ(recordedArgs(),
              QStringList({"PShow", "01.03.2026", "31.03.2026", QString::fromUtf8("Отчет#по#узлам.xls"),
                           QString::fromStdString(dir.path() + "/Reports")}));
    // the choice is remembered under the main window's group, in Windows-1251
    const std::string store = readRaw(patterns() + "RepStore.ini");
    EXPECT_NE(store.find(dbf::codec::toCp1251("[Все объекты]")), std::string::npos);
    EXPECT_NE(store.find(dbf::codec::toCp1251("GROUP=Тепловые узлы")), std::string::npos);
    EXPECT_NE(store.find(dbf::codec::toCp1251("REPORT=Отчет за сутки")), std::string::npos);
    form->adjustSize();
    mervo::test::saveScreenshot(*form, MERVO_SCREENSHOT_DIR, "summary_report");
}

TEST_F(SummaryTest, ChoicesRestoredPerGroupAfterPrinting) {
    installSReport();
    form->prepare();
    choose(form->GroupCombo, QString::fromUtf8("Водосчетчики"));
    choose(form->TemplateCombo, QString::fromUtf8("Сводка"));
    ASSERT_TRUE(print().isEmpty());
    EXPECT_EQ(recordedArgs().value(3), "water.xls");

    auto again = makeForm();
    again->prepare();
    EXPECT_EQ(again->GroupCombo->currentText(), QString::fromUtf8("Водосчетчики"));
    EXPECT_EQ(again->TemplateCombo->currentText(), QString::fromUtf8("Сводка"));
    EXPECT_EQ(again->templateFile(), "water.xls");

    // another group has nothing stored yet
    group = QString::fromUtf8("ЦТП Юг");
    auto other = makeForm();
    other->prepare();
    EXPECT_EQ(other->GroupCombo->currentIndex(), -1);
    EXPECT_EQ(other->TemplateCombo->currentIndex(), -1);
    EXPECT_TRUE(other->templateFile().isEmpty());
}

TEST_F(SummaryTest, StoredGroupThatNoLongerExistsSelectsNothing) {
    writeCp1251(patterns() + "RepStore.ini", "[Все объекты]\r\nGROUP=Старые шаблоны\r\nREPORT=Сводка\r\n");
    form->prepare();
    EXPECT_EQ(form->GroupCombo->currentIndex(), -1);
    EXPECT_EQ(form->TemplateCombo->currentIndex(), -1);
    EXPECT_EQ(form->TemplateCombo->count(), 0);
}

TEST_F(SummaryTest, MissingTemplateFileKeepsThePreviousChoice) {
    form->prepare();
    choose(form->GroupCombo, QString::fromUtf8("Тепловые узлы"));
    choose(form->TemplateCombo, QString::fromUtf8("Месячный"));
    ModalAnswerer answers;
    choose(form->TemplateCombo, QString::fromUtf8("Пропавший"));
    EXPECT_EQ(answers.messages(),
              QStringList({QString::fromUtf8("Файл не найден ") + QString::fromStdString(patterns() + "absent.xls")}));
    EXPECT_EQ(form->templateFile(), "month.xls");
}

TEST_F(SummaryTest, MessagesWithoutTemplateOrProgram) {
    // no template chosen
    form->prepare();
    EXPECT_EQ(print(), QStringList({QString::fromUtf8("Укажите шаблон")}));
    // a template but no "SReport.dll": nothing stored
    choose(form->GroupCombo, QString::fromUtf8("Тепловые узлы"));
    choose(form->TemplateCombo, QString::fromUtf8("Месячный"));
    EXPECT_EQ(print(), QStringList({QString::fromUtf8("Не установлен мастер сводных отчетов")}));
    EXPECT_FALSE(std::filesystem::exists(patterns() + "RepStore.ini"));
    // no "SPatterns.ini": empty lists and "Укажите шаблон"
    std::filesystem::remove(patterns() + "SPatterns.ini");
    auto bare = makeForm();
    bare->prepare();
    EXPECT_EQ(bare->GroupCombo->count(), 0);
    EXPECT_EQ(bare->TemplateCombo->count(), 0);
    form = std::move(bare);
    EXPECT_EQ(print(), QStringList({QString::fromUtf8("Укажите шаблон")}));
}

TEST_F(SummaryTest, DatesKeptBetweenShowings) {
    form->prepare();
    form->DateFrom->setDate(QDate(2025, 12, 1));
    form->DateTo->setDate(QDate(2025, 12, 31));
    form->prepare();
    EXPECT_EQ(form->DateFrom->date(), QDate(2025, 12, 1));
    EXPECT_EQ(form->DateTo->date(), QDate(2025, 12, 31));
}
