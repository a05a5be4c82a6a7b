// How the main window shows its texts: the status bar's panels whole at the usual desktop widths, framed and
// separated; the stop question of the auto-poll button as a warning; hints without stray line breaks; and
// pictures of the status bar during a poll.
#include "devdata/tables.h"
#include "shell/main_form.h"
#include "shell/status_panels.h"
#include "tests/qt_test_helpers.h"
#include "tests/tmpdir.h"
#include "ui/translations.h"

#include <QHelpEvent>
#include <QStatusBar>
#include <QToolButton>
#include <QToolTip>
#include <QTranslator>
#include <filesystem>

using namespace shell;
using mervo::test::TempDir;

namespace {

struct Window {
    TempDir dir;
    std::string data = dir.file("DATA");
    std::string prog = dir.file("prog");
    TMainForm form{prog};

    Window() {
        std::filesystem::create_directories(data);
        std::filesystem::create_directories(prog);
        dbf::Table t;
        devdata::createObjectsTable(t, data);
        form.setDataDir(data + "/");
        form.setSettings(devdata::Settings{});
    }
    // Shows the window at that width and lets the status bar settle.
    void showAt(int width) {
        form.show();
        form.resize(width, 700);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        ASSERT_TRUE(mervo::test::waitFor([&] { return form.statusBar()->width() == width; }));
        QTest::qWait(20);
    }
    StatusPanelLabel* panel(int i) const { return static_cast<StatusPanelLabel*>(form.StatusPanel[i]); }
    // The texts of a poll of the 12th of 48 objects, the longest of each fixed panel.
    void pollTexts(const QString& address) {
        form.StatusPanel[0]->setText("Ручной");
        form.StatusPanel[1]->setText(address);
        form.StatusPanel[2]->setText("Чтение архива 99 % - 99999");
        form.StatusPanel[3]->setText("Опрошено: 999  Осталось: 999  Ошибок: 999 ");
        form.StatusPanel[4]->setText(nextPollStatusText(dbf::DateTime::fromParts(2099, 12, 31, 23, 59)));
        form.StatusPanel[5]->setText("CTS:On DSR:On Ring:Off RLSD:On ");
    }
};

// The room inside a panel for its text: the frame and the indent on both sides taken off.
int textRoom(const StatusPanelLabel* p) {
    return p->contentsRect().width() - 2 * p->indent();
}

// The panels never cut at a desktop 1,024 pixels wide or wider.
constexpr int kFixedPanels[] = {0, 3, 4};

} // namespace

TEST(StatusPanels, NextPollText) {
    const struct {
        dbf::DateTime at;
        const char* text;
    } cases[] = {
        {dbf::DateTime::fromParts(2099, 12, 31, 23, 59, 59), "Дата очередного опроса: 31.12.2099 23:59"},
        {dbf::DateTime::fromParts(2026, 1, 2, 3, 4), "Дата очередного опроса: 02.01.2026 03:04"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nextPollStatusText(c.at), QString::fromUtf8(c.text));
}

// At 1,024 and 1,600 pixels the mode, counts and date panels hold each of their longest texts whole, and so
// does the step panel.
TEST(StatusPanels, FixedPanelsShowTheirLongestTextsWhole) {
    for (int width : {1024, 1600}) {
        Window w;
        w.showAt(width);
        for (int i : kFixedPanels) {
            StatusPanelLabel* p = w.panel(i);
            QStringList texts = statusPanelLongestTexts(i);
            if (i == 4)
                texts << "Дата очередного опроса: 31.12.2099 23:59"
                      << "Дата очередного опроса: 00.00.0000 00:00";
            ASSERT_FALSE(texts.isEmpty()) << i;
            for (const QString& t : texts) {
                p->setText(t);
                EXPECT_GE(textRoom(p), p->fontMetrics().horizontalAdvance(t))
                    << width << " panel " << i << " " << t.toStdString();
                EXPECT_EQ(p->shownText(), t) << width << " panel " << i;
            }
        }
        for (const QString& t : statusPanelLongestTexts(2)) {
            w.panel(2)->setText(t);
            EXPECT_EQ(w.panel(2)->shownText(), t) << width;
        }
        // the line signals: whole at 1,600; at 1,024 the design width, the hint holding them
        const QString signalTexts = "CTS:Off DSR:Off Ring:Off RLSD:Off ";
        w.panel(5)->setText(signalTexts);
        if (width == 1600) {
            EXPECT_EQ(w.panel(5)->shownText(), signalTexts);
        } else {
            EXPECT_EQ(w.panel(5)->width(), kStatusPanelWidths[5]);
            QHelpEvent hint(QEvent::ToolTip, QPoint(5, 5), w.panel(5)->mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(w.panel(5), &hint);
            EXPECT_EQ(QToolTip::text(), signalTexts);
            QToolTip::hideText();
        }
        // the row fits in the bar: the last panel ends inside it
        EXPECT_LE(w.panel(5)->mapTo(w.form.statusBar(), QPoint(w.panel(5)->width(), 0)).x(),
                  w.form.statusBar()->width())
            << width;
    }
}

// The address panel gives way first and says with "…" that it does; its hint holds the whole address. On a
// wide desktop it takes the room beyond the design widths.
TEST(StatusPanels, AddressPanelGivesWayFirst) {
    const QString address = "ул. Комсомольская, 118, корпус 2, тепловой пункт ИТП-3";
    Window narrow;
    narrow.showAt(1024);
    narrow.pollTexts(address);
    EXPECT_LT(narrow.panel(1)->width(), kStatusPanelWidths[1]);
    EXPECT_GE(narrow.panel(2)->width(), kStatusPanelWidths[2]);
    EXPECT_TRUE(narrow.panel(1)->shownText().endsWith(QChar(0x2026)))
        << narrow.panel(1)->shownText().toStdString();
    EXPECT_EQ(narrow.panel(1)->text(), address);
    QHelpEvent hint(QEvent::ToolTip, QPoint(5, 5), narrow.panel(1)->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(narrow.panel(1), &hint);
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), address);
    QToolTip::hideText();

    Window wide;
    wide.showAt(1600);
    wide.pollTexts(address);
    EXPECT_EQ(wide.panel(1)->shownText(), address);
    for (int i = 0; i < kStatusPanelCount; ++i)
        EXPECT_GE(wide.panel(i)->width(), kStatusPanelWidths[size_t(i)]) << i;
}

// Every panel is a sunken frame, and a vertical line stands between each two of them.
TEST(StatusPanels, PanelsAreFramedAndSeparated) {
    Window w;
    w.showAt(1024);
    auto* row = w.form.statusBar()->findChild<StatusPanelRow*>();
    ASSERT_NE(row, nullptr);
    for (int i = 0; i < kStatusPanelCount; ++i) {
        EXPECT_EQ(w.panel(i), row->panel(i));
        EXPECT_EQ(w.panel(i)->frameShape(), QFrame::Panel) << i;
        EXPECT_EQ(w.panel(i)->frameShadow(), QFrame::Sunken) << i;
        EXPECT_GT(w.panel(i)->frameWidth(), 0) << i;
        EXPECT_TRUE(w.panel(i)->isVisible()) << i;
    }
    for (int i = 0; i + 1 < kStatusPanelCount; ++i) {
        QFrame* s = row->separator(i);
        EXPECT_EQ(s->frameShape(), QFrame::VLine) << i;
        EXPECT_TRUE(s->isVisible()) << i;
        EXPECT_GT(s->x(), w.panel(i)->geometry().right()) << i;
        EXPECT_LT(s->geometry().right(), w.panel(i + 1)->x()) << i;
    }
}

// Only a window narrower than the fixed panels cuts them; the bar never holds the window wider.
TEST(StatusPanels, NarrowWindowCutsTheFixedPanelsLast) {
    StatusPanelRow row;
    const std::array<int, kStatusPanelCount> roomy = row.panelWidths(row.sizeHint().width());
    const int fixedOnly = row.sizeHint().width() - roomy[1] - roomy[2];
    std::array<int, kStatusPanelCount> w = row.panelWidths(fixedOnly + 30);
    EXPECT_EQ(w[1], 0);
    EXPECT_EQ(w[2], 30);
    for (int i : kFixedPanels)
        EXPECT_EQ(w[size_t(i)], roomy[size_t(i)]) << i;
    w = row.panelWidths(fixedOnly - 10);
    EXPECT_EQ(w[2], 0);
    EXPECT_EQ(w[5], roomy[5] - 10); // the line signals go first
    EXPECT_EQ(w[3], roomy[3]);
    EXPECT_EQ(row.minimumSizeHint().width(), 0);
}

// "Внимание идет опрос объекта. Прервать опрос?" warns, with OK and "Отмена".
TEST(MainWindowTexts, StopAutoPollQuestionIsAWarning) {
    ASSERT_TRUE(ui::installRussianTranslations(*qApp));
    Window w;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString text, cancel;
    QTimer look;
    look.setInterval(20);
    QObject::connect(&look, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        look.stop();
        icon = box->icon();
        text = box->text();
        ASSERT_NE(box->button(QMessageBox::Ok), nullptr);
        ASSERT_NE(box->button(QMessageBox::Cancel), nullptr);
        cancel = box->button(QMessageBox::Cancel)->text();
        mervo::test::saveScreenshot(*box, MERVO_SCREENSHOT_DIR, "dialog_stop_auto_poll_ru");
        box->button(QMessageBox::Cancel)->click();
    });
    look.start();
    mervo::test::ModalAnswerer guard; // answers the box when the look above fails
    EXPECT_FALSE(w.form.confirmStopAutoPoll("Внимание идет опрос объекта. Прервать опрос?"));
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(text, "Внимание идет опрос объекта. Прервать опрос?");
    EXPECT_EQ(cancel.remove('&'), "Отмена");
    for (QTranslator* t : qApp->findChildren<QTranslator*>(Qt::FindDirectChildrenOnly))
        delete t; // a translator leaves the application with its helpers
}

// The tool buttons' hints break their lines once, without a carriage return left over.
TEST(MainWindowTexts, ToolHintsBreakLinesCleanly) {
    Window w;
    int twoLines = 0;
    for (QToolButton* b : w.form.ToolPanel->findChildren<QToolButton*>()) {
        EXPECT_FALSE(b->toolTip().contains('\r')) << b->text().toStdString();
        if (b->toolTip().contains('\n')) ++twoLines;
    }
    EXPECT_EQ(twoLines, 3); // "Объект", "Доступ", "Выход"
    EXPECT_EQ(w.form.SpeedButtonExit->toolTip(), "Выход из программы.\nДоступ устанавливается в настройках");
}

// The status bar during a poll, at the two usual desktop widths.
TEST(MainWindowTexts, PicturesOfTheStatusBarDuringAPoll) {
    for (int width : {1024, 1600}) {
        Window w;
        w.showAt(width);
        w.pollTexts("ул. Комсомольская, 118, корпус 2, ИТП");
        w.form.StatusPanel[0]->setText("Авто");
        w.form.StatusPanel[2]->setText("Чтение архива 45 % - 1182");
        w.form.StatusPanel[3]->setText("Опрошено:  12  осталось:  36  Ошибок:   2");
        w.form.StatusPanel[4]->setText(nextPollStatusText(dbf::DateTime::fromParts(2026, 12, 11, 14, 30)));
        QTest::qWait(20);
        const QString path = mervo::test::saveScreenshot(*w.form.statusBar(), MERVO_SCREENSHOT_DIR,
                                                         QString("status_bar_poll_%1").arg(width));
        EXPECT_TRUE(QFile::exists(path));
    }
}
