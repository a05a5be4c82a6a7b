#include "shell/access.h"

#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <qdrawutil.h>

namespace shell {

AccessState& programAccess() {
    static AccessState state;
    return state;
}

bool isRestricted(int accessLevel, int par2, Restriction r) {
    return accessLevel == 0 && (par2 & r) != 0;
}

Enabled applyRestrictions(int accessLevel, int par2) {
    Enabled e;
    e.settingsPanel = !isRestricted(accessLevel, par2, kRestrictSettings);
    e.autoPollButton = !isRestricted(accessLevel, par2, kRestrictAutoPoll);
    e.connectionButton = !isRestricted(accessLevel, par2, kRestrictForcedPoll);
    return e;
}

LevelTexts levelTexts(const AccessState& s) {
    if (s.DeveloperMode) return {"РАЗРАБОТЧИК", "Неограниченный доступ"};
    if (s.AccessLevel == 1) return {kLevelAdministrator, "Полный доступ"};
    return {kLevelUser, "Только просмотр"};
}

std::string popupRefusal(PopupItem item, int accessLevel, int par2, bool pollRunning) {
    switch (item) {
    case PopupItem::AutoPollToggle:
    case PopupItem::AutoPollAllOn:
    case PopupItem::AutoPollAllOff:
        if (isRestricted(accessLevel, par2, kRestrictObjectEdit)) return kAccessDeniedText;
        if (pollRunning) return kPollBusyText;
        return {};
    case PopupItem::Edit:
    case PopupItem::Delete:
        if (isRestricted(accessLevel, par2, kRestrictObjectEdit)) return kAccessDeniedText;
        return {};
    case PopupItem::PollObject:
        if (isRestricted(accessLevel, par2, kRestrictForcedPoll)) return kAccessDeniedText;
        return {};
    case PopupItem::ShowSettings:
        return {};
    }
    return {};
}

bool exitRefused(int accessLevel, int par2) {
    return isRestricted(accessLevel, par2, kRestrictExit);
}

namespace {

// The dialog's picture: a key on a blue disc.
QPixmap keyPicture() {
    QPixmap pm(64, 64);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(40, 80, 160));
    p.setPen(Qt::NoPen);
    p.drawEllipse(2, 2, 60, 60);
    p.setBrush(QColor(240, 200, 60));
    p.drawEllipse(12, 22, 20, 20);
    p.drawRect(28, 29, 26, 6);
    p.drawRect(44, 35, 4, 8);
    p.drawRect(50, 35, 4, 6);
    p.setBrush(QColor(40, 80, 160));
    p.drawEllipse(18, 28, 8, 8);
    return pm;
}

} // namespace

Tseqform::Tseqform(AccessState& state, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), state_(state) {
    setObjectName("seqform");
    setWindowTitle("ДОСТУП");
    setModal(true);

    auto* picture = new QLabel(this);
    picture->setPixmap(keyPicture());
    picture->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    auto* current = new QLabel("Текущий уровень доступа:", this);
    LevelLabel = new QLabel(this);
    LevelLabel->setObjectName("LevelLabel");
    QFont bold = LevelLabel->font();
    bold.setBold(true);
    LevelLabel->setFont(bold);
    QPalette pal = LevelLabel->palette();
    pal.setColor(QPalette::WindowText, palette().color(QPalette::Active, QPalette::Highlight));
    LevelLabel->setPalette(pal);
    DescriptionLabel = new QLabel(this);
    DescriptionLabel->setObjectName("DescriptionLabel");

    auto* levelCaption = new QLabel("Доступ", this);
    ComboBox1 = new QComboBox(this);
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->setEditable(true);
    ComboBox1->addItems({kLevelAdministrator, kLevelUser});
    PasswordLabel = new QLabel("Пароль", this);
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName("Edit1");
    Edit1->setEchoMode(QLineEdit::Password);

    Button1 = new QPushButton("Вход", this);
    Button1->setObjectName("Button1");
    Button1->setDefault(true);
    Button2 = new QPushButton("Отмена", this);
    Button2->setObjectName("Button2");

    auto* grid = new QGridLayout;
    grid->addWidget(current, 0, 0, 1, 2);
    grid->addWidget(LevelLabel, 1, 0, 1, 2);
    grid->addWidget(DescriptionLabel, 2, 0, 1, 2);
    grid->addWidget(levelCaption, 3, 0);
    grid->addWidget(ComboBox1, 3, 1);
    grid->addWidget(PasswordLabel, 4, 0);
    grid->addWidget(Edit1, 4, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    grid->addLayout(buttons, 5, 0, 1, 2);
    auto* top = new QHBoxLayout(this);
    top->addWidget(picture);
    top->addLayout(grid);
    setMinimumWidth(360);
    // The password field shows its characters as "#". Set once the controls have their names, so that they
    // take it in.
    setStyleSheet("QLineEdit#Edit1 { lineedit-password-character: 35; }");

    connect(ComboBox1, &QComboBox::currentTextChanged, this,
            [this](const QString& t) { ComboBox1Change(t); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { reject(); });
    showLevel();
}

void Tseqform::showLevel() {
    LevelTexts t = levelTexts(state_);
    LevelLabel->setText(QString::fromStdString(t.level));
    DescriptionLabel->setText(QString::fromStdString(t.description));
}

void Tseqform::showEvent(QShowEvent* e) {
    ComboBox1->setCurrentIndex(-1);
    ComboBox1->clearEditText();
    Edit1->clear();
    Button1->setEnabled(true);
    Button2->setEnabled(true);
    showLevel();
    if (QScreen* s = screen()) {
        adjustSize();
        move(s->availableGeometry().center() - rect().center());
    }
    QDialog::showEvent(e);
}

void Tseqform::paintEvent(QPaintEvent* e) {
    QDialog::paintEvent(e);
    QPainter p(this);
    qDrawShadePanel(&p, rect(), palette(), false, 2);
}

void Tseqform::ComboBox1Change(const QString& text) {
    if (text == kLevelAdministrator) {
        Edit1->clear();
        Edit1->show();
        PasswordLabel->show();
    } else if (text == kLevelUser) {
        Edit1->hide();
        PasswordLabel->hide();
    }
}

void Tseqform::Button1Click() {
    const QString level = ComboBox1->currentText();
    const QString password = Edit1->text();
    auto accepted = [this] { QMessageBox::information(this, windowTitle(), "Пароль принят"); };
    if (level == kLevelAdministrator && password == kAdministratorPassword) {
        accepted();
        state_.AccessLevel = 1;
        state_.DeveloperMode = false;
        showLevel();
        emit developerItemsVisible(false);
    } else if (level == kLevelUser) {
        accepted();
        state_.AccessLevel = 0;
        state_.DeveloperMode = false;
        showLevel();
        emit developerItemsVisible(false);
    } else if (level == kLevelAdministrator && password == kDeveloperPassword) {
        accepted();
        state_.AccessLevel = 1;
        state_.DeveloperMode = true;
        showLevel();
        ComboBox1->setCurrentIndex(-1);
        ComboBox1->clearEditText();
        Edit1->clear();
        emit developerItemsVisible(true);
        emit developerPagesRequested();
    } else {
        QMessageBox::information(this, windowTitle(), "Доступ закрыт");
    }
    QApplication::processEvents();
    emit restrictionsChanged();
    Button1->setEnabled(false);
    Button2->setEnabled(false);
    QTimer::singleShot(closeDelayMs_, this, [this] { accept(); });
}

} // namespace shell
