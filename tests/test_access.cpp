// Access levels: the restrictions of the user level, the checks of the object pop-up menu, and the access
// dialog with its passwords, level texts and developer mode, on the offscreen platform.
#include "shell/access.h"
#include "tests/qt_test_helpers.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <cstdio>

using namespace shell;

// ================================================================ restrictions and checks

TEST(AccessRestrictions, UserLevelFollowsTheBitsAndAdministratorHasEverything) {
    struct {
        int level, par2;
        Enabled enabled;
    } cases[] = {
        {0, 0, {true, true, true}},
        {0, kRestrictSettings, {false, true, true}},
        {0, kRestrictAutoPoll, {true, false, true}},
        {0, kRestrictForcedPoll, {true, true, false}},
        // bits without a control here, and the start-up bits, change nothing
        {0, kRestrictObjectEdit | kRestrictExit | 32 | 64, {true, true, true}},
        {0, 31, {false, false, false}},
        {1, 31, {true, true, true}},
        {1, 0, {true, true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "level " << c.level << " Par2 " << c.par2);
        EXPECT_EQ(applyRestrictions(c.level, c.par2), c.enabled);
    }
}

TEST(AccessRestrictions, PopupChecksAtTheUserLevelAndWhileAPollRuns) {
    const std::string denied = kAccessDeniedText, busy = kPollBusyText, none;
    EXPECT_EQ(denied, "Ограничение доступа учетной записи. Доступ закрыт.");
    EXPECT_EQ(busy, "Идет опрос объектов. Дождитесь окончания опроса, затем повторите попытку.");
    struct {
        PopupItem item;
        int level, par2;
        bool running;
        std::string refusal;
    } cases[] = {
        // user level, restriction of object edits set
        {PopupItem::AutoPollToggle, 0, kRestrictObjectEdit, false, denied},
        {PopupItem::AutoPollAllOn, 0, kRestrictObjectEdit, true, denied},
        {PopupItem::AutoPollAllOff, 0, kRestrictObjectEdit, false, denied},
        {PopupItem::Edit, 0, kRestrictObjectEdit, false, denied},
        {PopupItem::Delete, 0, kRestrictObjectEdit, false, denied},
        {PopupItem::ShowSettings, 0, 31, true, none},
        {PopupItem::PollObject, 0, kRestrictObjectEdit, false, none},
        // user level without the restriction
        {PopupItem::AutoPollToggle, 0, kRestrictForcedPoll, false, none},
        {PopupItem::Delete, 0, kRestrictForcedPoll, false, none},
        {PopupItem::PollObject, 0, kRestrictForcedPoll, false, denied},
        // a poll running: only the auto-poll items wait for it
        {PopupItem::AutoPollToggle, 0, 0, true, busy},
        {PopupItem::AutoPollAllOn, 0, 0, true, busy},
        {PopupItem::AutoPollAllOff, 1, 31, true, busy},
        {PopupItem::Edit, 0, 0, true, none},
        {PopupItem::PollObject, 0, 0, true, none},
        // administrator: nothing restricted
        {PopupItem::AutoPollToggle, 1, 31, false, none},
        {PopupItem::Delete, 1, 31, false, none},
        {PopupItem::PollObject, 1, 31, false, none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "item " << int(c.item) << " level " << c.level << " Par2 "
                                          << c.par2 << (c.running ? " running" : ""));
        EXPECT_EQ(popupRefusal(c.item, c.level, c.par2, c.running), c.refusal);
    }
    EXPECT_TRUE(exitRefused(0, kRestrictExit));
    EXPECT_FALSE(exitRefused(0, 31 & ~kRestrictExit));
    EXPECT_FALSE(exitRefused(1, kRestrictExit));
}

TEST(AccessRestrictions, TheProgramStartsAtTheUserLevel) {
    AccessState fresh;
    EXPECT_EQ(fresh.AccessLevel, 0);
    EXPECT_FALSE(fresh.DeveloperMode);
    EXPECT_EQ(programAccess().AccessLevel, 0);
    EXPECT_FALSE(programAccess().DeveloperMode);
}

// ================================================================ the dialog

namespace {

// Shows the dialog (not application-modal, so that the only modal window is the answer box), types the level
// and the password, presses "Вход" and waits until the dialog has closed; returns the answer box texts.
QStringList login(Tseqform& form, const QString& level, const QString& password) {
    form.setWindowModality(Qt::NonModal);
    form.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.ComboBox1->setEditText(level);
    if (!form.Edit1->isHidden()) QTest::keyClicks(form.Edit1, password);
    mervo::test::ModalAnswerer answerer(10000);
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_TRUE(mervo::test::waitFor([&] { return !form.isVisible(); }, 3000));
    return answerer.messages();
}

} // namespace

TEST(AccessDialog, LoginsByLevelAndPassword) {
    struct {
        const char* what;
        AccessState before;
        const char* level;
        const char* password;
        const char* message;
        AccessState after;
        const char* levelLabel;
        const char* description;
        int developerItems; // -1 not sent, 0 hidden, 1 shown
    } cases[] = {
        {"administrator",
         {0, false},
         "Администратор",
         "bryndolec",
         "Пароль принят",
         {1, false},
         "Администратор",
         "Полный доступ",
         0},
        {"developer",
         {0, false},
         "Администратор",
         "gorvinel",
         "Пароль принят",
         {1, true},
         "РАЗРАБОТЧИК",
         "Неограниченный доступ",
         1},
        {"user needs no password",
         {1, false},
         "Пользователь",
         "",
         "Пароль принят",
         {0, false},
         "Пользователь",
         "Только просмотр",
         0},
        {"user after developer hides the items",
         {1, true},
         "Пользователь",
         "",
         "Пароль принят",
         {0, false},
         "Пользователь",
         "Только просмотр",
         0},
        {"administrator after developer",
         {1, true},
         "Администратор",
         "bryndolec",
         "Пароль принят",
         {1, false},
         "Администратор",
         "Полный доступ",
         0},
        {"wrong password keeps the user level",
         {0, false},
         "Администратор",
         "bryndolex",
         "Доступ закрыт",
         {0, false},
         "Пользователь",
         "Только просмотр",
         -1},
        {"passwords are case-sensitive",
         {0, false},
         "Администратор",
         "BRYNDOLEC",
         "Доступ закрыт",
         {0, false},
         "Пользователь",
         "Только просмотр",
         -1},
        {"wrong password keeps the administrator level",
         {1, false},
         "Администратор",
         "x",
         "Доступ закрыт",
         {1, false},
         "Администратор",
         "Полный доступ",
         -1},
        {"empty level",
         {0, false},
         "",
         "",
         "Доступ закрыт",
         {0, false},
         "Пользователь",
         "Только просмотр",
         -1},
        {"unknown level",
         {0, false},
         "Гость",
         "",
         "Доступ закрыт",
         {0, false},
         "Пользователь",
         "Только просмотр",
         -1},
        {"level text compared exactly",
         {0, false},
         "администратор",
         "bryndolec",
         "Доступ закрыт",
         {0, false},
         "Пользователь",
         "Только просмотр",
         -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AccessState state = c.before;
        Tseqform form(state);
        form.setCloseDelay(10);
        QSignalSpy devItems(&form, &Tseqform::developerItemsVisible);
        QSignalSpy pages(&form, &Tseqform::developerPagesRequested);
        QSignalSpy restrictions(&form, &Tseqform::restrictionsChanged);
        QStringList messages = login(form, c.level, c.password);
        EXPECT_EQ(messages, QStringList{c.message});
        EXPECT_EQ(state.AccessLevel, c.after.AccessLevel);
        EXPECT_EQ(state.DeveloperMode, c.after.DeveloperMode);
        EXPECT_EQ(form.LevelLabel->text(), c.levelLabel);
        EXPECT_EQ(form.DescriptionLabel->text(), c.description);
        if (c.developerItems < 0) {
            EXPECT_EQ(devItems.count(), 0);
        } else {
            ASSERT_EQ(devItems.count(), 1);
            EXPECT_EQ(devItems.at(0).at(0).toBool(), c.developerItems == 1);
        }
        EXPECT_EQ(pages.count(), c.developerItems == 1 ? 1 : 0);
        EXPECT_EQ(restrictions.count(), 1);
    }
}

TEST(AccessDialog, DeveloperPasswordWithTheUserLevelGivesTheUserLevel) {
    AccessState state{1, true};
    Tseqform form(state);
    form.setCloseDelay(10);
    form.setWindowModality(Qt::NonModal);
    form.show();
    form.ComboBox1->setEditText("Пользователь");
    // the password field is hidden for the user level; whatever it holds is ignored
    EXPECT_TRUE(form.Edit1->isHidden());
    form.Edit1->setText("gorvinel");
    mervo::test::ModalAnswerer answerer(10000);
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_TRUE(mervo::test::waitFor([&] { return !form.isVisible(); }, 3000));
    EXPECT_EQ(answerer.messages(), QStringList{"Пароль принят"});
    EXPECT_EQ(state.AccessLevel, 0);
    EXPECT_FALSE(state.DeveloperMode);
}

TEST(AccessDialog, ClosesAbout600MsAfterTheAnswer) {
    AccessState state;
    Tseqform form(state);
    form.setWindowModality(Qt::NonModal);
    form.show();
    form.ComboBox1->setEditText("Пользователь");
    mervo::test::ModalAnswerer answerer(10000);
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    QElapsedTimer since;
    since.start();
    // the buttons do nothing more while the dialog waits
    EXPECT_FALSE(form.Button1->isEnabled());
    QTest::qWait(300);
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(mervo::test::waitFor([&] { return !form.isVisible(); }, 3000));
    EXPECT_GE(since.elapsed(), 550);
}

TEST(AccessDialog, ShowingEmptiesTheFieldsAndTheLevelListShowsOrHidesThePassword) {
    AccessState state{1, false};
    Tseqform form(state);
    form.setWindowModality(Qt::NonModal);
    form.ComboBox1->setEditText("Пользователь");
    form.Edit1->setText("left over");
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.windowTitle(), "ДОСТУП");
    EXPECT_TRUE(form.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(form.ComboBox1->currentText(), "");
    EXPECT_EQ(form.Edit1->text(), "");
    EXPECT_EQ(form.LevelLabel->text(), "Администратор");
    EXPECT_EQ(form.DescriptionLabel->text(), "Полный доступ");
    EXPECT_TRUE(form.LevelLabel->font().bold());
    EXPECT_TRUE(form.ComboBox1->isEditable());
    EXPECT_EQ(form.ComboBox1->count(), 2);
    EXPECT_EQ(form.ComboBox1->itemText(0), "Администратор");
    EXPECT_EQ(form.ComboBox1->itemText(1), "Пользователь");

    form.ComboBox1->setCurrentIndex(1);
    EXPECT_FALSE(form.Edit1->isVisible());
    EXPECT_FALSE(form.PasswordLabel->isVisible());
    form.ComboBox1->setCurrentIndex(0);
    EXPECT_TRUE(form.Edit1->isVisible());
    EXPECT_TRUE(form.PasswordLabel->isVisible());
    QTest::keyClicks(form.Edit1, "abc");
    EXPECT_EQ(form.Edit1->echoMode(), QLineEdit::Password);
    EXPECT_EQ(form.Edit1->displayText(), "###");
    form.ComboBox1->setCurrentIndex(1);
    form.ComboBox1->setCurrentIndex(0);
    EXPECT_EQ(form.Edit1->text(), "");

    // "Отмена" closes without a change
    QTest::mouseClick(form.Button2, Qt::LeftButton);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(state.AccessLevel, 1);
}

TEST(AccessDialog, Screenshot) {
    AccessState state;
    Tseqform form(state);
    form.setWindowModality(Qt::NonModal);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.ComboBox1->setCurrentIndex(0);
    QTest::keyClicks(form.Edit1, "secret");
    QString file = mervo::test::saveScreenshot(form, MERVO_SCREENSHOT_DIR, "access");
    EXPECT_TRUE(QFile::exists(file));
    std::printf("screenshot: %s\n", file.toStdString().c_str());
}
