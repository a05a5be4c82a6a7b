// The windows' shared texts: Qt's own Russian translations in the standard dialogs, the line breaks of the
// texts the programs show, and the start-up's folder choice; plus pictures of the dialogs in Russian.
#include "shell/startup_dialogs.h"
#include "tests/qt_test_helpers.h"
#include "tests/tmpdir.h"
#include "ui/texts.h"
#include "ui/translations.h"

#include <QAbstractFileIconProvider>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontDialog>
#include <QLabel>
#include <QRegularExpression>
#include <QTranslator>
#include <filesystem>
#include <fstream>

using mervo::test::TempDir;

namespace {

bool hasCyrillic(const QString& s) {
    return s.contains(QRegularExpression("[\\x{0400}-\\x{04FF}]"));
}

QString withoutMnemonic(QString s) {
    return s.remove('&');
}

// Each test starts and ends with the application untranslated, whatever ran before it in the process.
class Translations : public ::testing::Test {
protected:
    void SetUp() override { removeTranslators(); }
    void TearDown() override { removeTranslators(); }
    static void removeTranslators() {
        for (QTranslator* t : qApp->findChildren<QTranslator*>(Qt::FindDirectChildrenOnly))
            delete t; // a translator leaves the application with its helpers
    }
    void install() {
        ASSERT_TRUE(ui::installRussianTranslations(*qApp))
            << "qtbase_ru.qm not found in " << ui::qtTranslationsFolder().toStdString();
    }
};

} // namespace

TEST_F(Translations, MessageBoxButtonsSpeakRussian) {
    QMessageBox english(QMessageBox::Question, "Mervo", "?", QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(withoutMnemonic(english.button(QMessageBox::Yes)->text()), "Yes"); // no translation, no Russian

    install();
    QMessageBox box(QMessageBox::Question, "Mervo", "?",
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel | QMessageBox::Ok);
    const struct {
        QMessageBox::StandardButton button;
        const char* text;
    } cases[] = {
        {QMessageBox::Yes, "Да"},
        {QMessageBox::No, "Нет"},
        {QMessageBox::Cancel, "Отмена"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(withoutMnemonic(box.button(c.button)->text()), QString::fromUtf8(c.text)) << c.text;
    // "OK" reads the same in Russian; it must still be the translated entry, not a missing one
    EXPECT_FALSE(box.button(QMessageBox::Ok)->text().isEmpty());
}

TEST_F(Translations, NonNativeFileDialogSpeaksRussian) {
    install();
    TempDir dir;
    QFileDialog d(nullptr, "Открыть", QString::fromStdString(dir.path()));
    d.setOption(QFileDialog::DontUseNativeDialog);
    for (auto label : {QFileDialog::LookIn, QFileDialog::FileName, QFileDialog::FileType, QFileDialog::Accept,
                       QFileDialog::Reject})
        EXPECT_TRUE(hasCyrillic(d.labelText(label))) << int(label) << " " << d.labelText(label).toStdString();
    // what the dialog itself shows: its labels and buttons
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    int labels = 0;
    for (QLabel* l : d.findChildren<QLabel*>())
        if (l->isVisible() && !l->text().isEmpty()) {
            ++labels;
            EXPECT_TRUE(hasCyrillic(l->text())) << l->text().toStdString();
        }
    EXPECT_GE(labels, 3);
    // the type column of the file list
    EXPECT_EQ(QAbstractFileIconProvider().type(QFileInfo(QString::fromStdString(dir.path()))), "Папка");
    for (QPushButton* b : d.findChildren<QDialogButtonBox*>().value(0)->findChildren<QPushButton*>())
        EXPECT_TRUE(hasCyrillic(b->text())) << b->text().toStdString();
    d.reject();
}

// The colour and font choosers: every visible button of their button boxes speaks Russian too.
TEST_F(Translations, ColourAndFontDialogsSpeakRussian) {
    install();
    QColorDialog colours;
    colours.setOption(QColorDialog::DontUseNativeDialog);
    QFontDialog fonts;
    fonts.setOption(QFontDialog::DontUseNativeDialog);
    for (QDialog* d : std::initializer_list<QDialog*>{&colours, &fonts}) {
        d->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(d));
        QDialogButtonBox* box = d->findChild<QDialogButtonBox*>();
        ASSERT_NE(box, nullptr);
        QPushButton* cancel = box->button(QDialogButtonBox::Cancel);
        ASSERT_NE(cancel, nullptr);
        EXPECT_EQ(withoutMnemonic(cancel->text()), "Отмена") << d->metaObject()->className();
        EXPECT_TRUE(hasCyrillic(d->windowTitle())) << d->windowTitle().toStdString();
        d->reject();
    }
}

TEST(DisplayLines, BreaksOfTheProgramsTextsBecomeOneLineBreak) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"Ленина 5\n\rОшибки системы 1\n\rОшибки устройства",
         "Ленина 5\nОшибки системы 1\nОшибки устройства"},
        {"Выход из программы.\r\nДоступ устанавливается в настройках",
         "Выход из программы.\nДоступ устанавливается в настройках"},
        {"Опрошено:\t001 из   1\n\rОшибок:\t000\n\r", "Опрошено:\t001 из   1\nОшибок:\t000\n"},
        {"a\n\n\rb", "a\n\nb"},   // an empty line written on purpose stays one
        {"a\n\r\n\rb", "a\n\nb"}, // two breaks are two
        {"a\r\n\r\nb", "a\n\nb"},
        {"a\rb", "a\nb"}, // a lone carriage return breaks the line too
        {"a\n", "a\n"},
        {"", ""},
        {"без переводов", "без переводов"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ui::displayLines(QString::fromUtf8(c.in)), QString::fromUtf8(c.out)) << c.in;
        EXPECT_EQ(ui::displayLines(std::string(c.in)), QString::fromUtf8(c.out)) << c.in;
    }
}

// The start-up's folder choice, asked when the drive of the data directory is missing.
TEST(StartupFolderChoice, ReadsVybratAndOtmenaAndReturnsTheFolder) {
    TempDir dir;
    const std::string start = dir.file("start"), other = dir.file("другая");
    std::filesystem::create_directories(start);
    std::filesystem::create_directories(other);
    int asked = 0;
    const shell::DataDirQuestions ask = shell::startupQuestions([&] { ++asked; });
    for (bool confirm : {false, true}) {
        QString title, shownAt;
        QStringList buttons;
        QTimer look;
        look.setInterval(20);
        QObject::connect(&look, &QTimer::timeout, [&] {
            auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!d || !d->isVisible()) return;
            look.stop();
            title = d->windowTitle();
            shownAt = d->directory().absolutePath();
            for (QPushButton* b : d->findChild<QDialogButtonBox*>()->findChildren<QPushButton*>())
                if (b->isVisible()) buttons << b->text();
            if (confirm) {
                d->setDirectory(QString::fromStdString(other));
                static_cast<QDialog*>(d)->accept();
            } else {
                d->reject();
            }
        });
        look.start();
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] {
            ADD_FAILURE() << "folder choice not answered";
            if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) d->reject();
        });
        guard.start(20000);
        const std::optional<std::string> chosen = ask.chooseFolder(start);
        EXPECT_EQ(title, "Выбор директории");
        EXPECT_EQ(shownAt.toStdString(), start);
        buttons.sort();
        EXPECT_EQ(buttons, QStringList({"Выбрать", "Отмена"}));
        if (confirm) {
            ASSERT_TRUE(chosen.has_value());
            EXPECT_EQ(*chosen, other);
        } else {
            EXPECT_FALSE(chosen.has_value());
        }
    }
    EXPECT_EQ(asked, 2);
}

// Pictures of the standard dialogs as the programs show them, under build/screenshots.
TEST_F(Translations, PicturesOfTheDialogsInRussian) {
    install();
    TempDir dir;
    for (const char* d : {"DATA", "Log", "Patterns"})
        std::filesystem::create_directories(dir.file(d));
    for (const char* f : {"Отчет за март.pdf", "settings.ini", "ErrorLog.log"})
        std::ofstream(dir.file(f)) << "x";
    QFileDialog files(nullptr, "Сохранить отчет", QString::fromStdString(dir.path()));
    files.setOption(QFileDialog::DontUseNativeDialog);
    files.setAcceptMode(QFileDialog::AcceptSave);
    files.setNameFilter("Документ PDF (*.pdf)");
    files.resize(720, 430);
    files.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&files));
    QTest::qWait(200); // the folder is read in the background
    const QString a = mervo::test::saveScreenshot(files, MERVO_SCREENSHOT_DIR, "dialog_file_ru");

    QMessageBox box(QMessageBox::Question, "БД узлов учета тепловой энергии ",
                    "Вы действительно хотите завершить работу с программой?",
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    const QString b = mervo::test::saveScreenshot(box, MERVO_SCREENSHOT_DIR, "dialog_message_box_ru");
    EXPECT_TRUE(QFile::exists(a));
    EXPECT_TRUE(QFile::exists(b));
}
