#include "shell/local_connect.h"

#include "shell/poll_bridge.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace shell {

TLocalConnect::TLocalConnect(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Подключение");
    setModal(true);
    // no border icons: no close, no help
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    auto* picture = new QLabel(this);
    picture->setPixmap(style()->standardIcon(QStyle::SP_DriveNetIcon).pixmap(48, 48));
    L1 = new QLabel("Соединение...", this);
    QFont bold = L1->font();
    bold.setBold(true);
    L1->setFont(bold);
    L1->setMinimumWidth(260);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->hide();
    Button1 = new QPushButton("Отмена", this);
    connect(Button1, &QPushButton::clicked, this, &TLocalConnect::Button1Click);

    auto* top = new QHBoxLayout;
    top->addWidget(picture);
    auto* right = new QVBoxLayout;
    right->addWidget(L1);
    right->addWidget(ProgressBar1);
    top->addLayout(right, 1);
    auto* all = new QVBoxLayout(this);
    all->addLayout(top);
    all->addWidget(Button1, 0, Qt::AlignHCenter);
}

void TLocalConnect::follow(PollBridge* bridge) {
    connect(bridge, &PollBridge::statusTextChanged, this, &TLocalConnect::setLabel);
    connect(bridge, &PollBridge::progressChanged, this, &TLocalConnect::setProgress);
    connect(bridge, &PollBridge::ended, this, [this](bool single) {
        if (single) runEnded();
    });
}

void TLocalConnect::setLabel(int index, const QString& text) {
    if (index == 5 && L1->text() != text) L1->setText(text);
}

void TLocalConnect::setProgress(int value) {
    ProgressBar1->setValue(value);
    ProgressBar1->setVisible(value != 0);
}

void TLocalConnect::runEnded() {
    if (isVisible()) accept();
}

void TLocalConnect::reset() {
    L1->clear();
    ProgressBar1->setValue(0);
    ProgressBar1->hide();
}

void TLocalConnect::Button1Click() {
    if (stopPoll_) stopPoll_();
    reset();
    reject();
}

void TLocalConnect::showEvent(QShowEvent* e) {
    L1->setText("Подключение");
    ProgressBar1->hide();
    QDialog::showEvent(e);
}

void TLocalConnect::done(int r) {
    reset();
    QDialog::done(r);
}

} // namespace shell
