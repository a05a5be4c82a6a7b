#include "configurator/config_form.h"

#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

namespace tolvan {

namespace {

const char* const kInstruction = "Порядок работы:\n"
                                 "1. Прочитайте текущий протокол в меню прибора (параметр n1 или n0).\n"
                                 "2. Введите адрес Modbus прибора.\n"
                                 "3. Подключите прибор к компьютеру.\n"
                                 "4. Выберите COM порт.\n"
                                 "5. Замкните перемычку настройки на приборе.\n"
                                 "6. Нажмите кнопку нужного действия.";

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

QLabel* valueField(const QString& text, const char* name) {
    auto* l = new QLabel(text);
    l->setObjectName(name);
    l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    l->setMinimumWidth(160);
    return l;
}

} // namespace

std::vector<std::string> portList(const std::vector<std::string>& machine, const std::string& given) {
    std::vector<std::string> out = machine;
    if (!given.empty() && std::find(out.begin(), out.end(), given) == out.end()) out.push_back(given);
    return out;
}

TConfigForm::TConfigForm(const LaunchArgs& args, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint), conf_(*this, args) {
    setWindowTitle(text::kTitle);

    ComboBox1 = new QComboBox;
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->setEditable(true);
    ComboBox1->setInsertPolicy(QComboBox::NoInsert);
    for (const auto& p : portList(polling::SerialPort::availablePorts(), args.port))
        ComboBox1->addItem(qs(p));
    ComboBox1->setCurrentText(qs(args.port));

    Label7 = valueField(qs(args.serialText), "Label7");
    Edit2 = new QLineEdit(qs(args.addressText));
    Edit2->setObjectName("Edit2");
    Edit2->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,3}"), Edit2));
    Label6 = valueField(qs(args.typeName), "Label6");
    Label9 = valueField(text::kProtocolUnknown, "Label9");

    auto* fields = new QGridLayout;
    const char* captions[] = {"COM порт", "Серийный номер", "Адрес Modbus", "Тип прибора ", "Протокол"};
    QWidget* values[] = {ComboBox1, Label7, Edit2, Label6, Label9};
    for (int i = 0; i < 5; ++i) {
        fields->addWidget(new QLabel(captions[i]), i, 0);
        fields->addWidget(values[i], i, 1);
    }

    Button1 = new QPushButton("Переключить на Modbus");
    Button1->setObjectName("Button1");
    Button2 = new QPushButton("Переключить на RZ стандарт");
    Button2->setObjectName("Button2");
    Button3 = new QPushButton("Изменить Адрес Modbus");
    Button3->setObjectName("Button3");
    auto* buttons = new QVBoxLayout;
    for (auto* b : {Button1, Button2, Button3})
        buttons->addWidget(b);
    buttons->addStretch();
    enableButtons(false);

    Instruction = new QLabel(kInstruction);
    Instruction->setObjectName("Instruction");
    Instruction->setFrameStyle(QFrame::StyledPanel);
    Instruction->setMargin(6);

    auto* top = new QHBoxLayout;
    top->addLayout(fields);
    top->addSpacing(12);
    top->addLayout(buttons);
    auto* main = new QVBoxLayout(this);
    main->addLayout(top);
    main->addWidget(Instruction);
    main->setSizeConstraint(QLayout::SetFixedSize);

    // A choice from the list, Enter in the box, or leaving the box with a name that is not the port in use
    // select a port. One key press can bring several of these signals: they make one selection.
    connect(ComboBox1, &QComboBox::activated, this, &TConfigForm::portBoxChanged);
    connect(ComboBox1->lineEdit(), &QLineEdit::returnPressed, this, &TConfigForm::portBoxChanged);
    connect(ComboBox1->lineEdit(), &QLineEdit::editingFinished, this, [this] {
        if (ComboBox1->currentText() != qs(conf_.portName())) portBoxChanged();
    });
    connect(Edit2, &QLineEdit::textChanged, this, &TConfigForm::Edit2Change);
    connect(Button1, &QPushButton::clicked, this, &TConfigForm::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TConfigForm::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TConfigForm::Button3Click);

    adjustSize();
}

TConfigForm::~TConfigForm() {
    // the controls outlive this part of the window and may still signal (focus leaving the port box)
    for (QObject* o :
         std::initializer_list<QObject*>{ComboBox1, ComboBox1->lineEdit(), Edit2, Button1, Button2, Button3})
        o->disconnect(this);
}

void TConfigForm::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    if (centred_) return;
    centred_ = true;
    // centred on the screen with its frame, once the frame is known
    QRect f = frameGeometry();
    f.moveCenter(screen()->availableGeometry().center());
    move(f.topLeft());
}

void TConfigForm::start() {
    ComboBox1Change();
}

void TConfigForm::enableButtons(bool on) {
    for (auto* b : {Button1, Button2, Button3})
        b->setEnabled(on);
}

void TConfigForm::portBoxChanged() {
    if (selectionPending_) return;
    selectionPending_ = true;
    QTimer::singleShot(0, this, [this] {
        selectionPending_ = false;
        ComboBox1Change();
    });
}

void TConfigForm::ComboBox1Change() {
    if (busy_) return;
    busy_ = true;
    enableButtons(false);
    enableButtons(conf_.selectPort(ComboBox1->currentText().toStdString()));
    busy_ = false;
}

void TConfigForm::Edit2Change(const QString& text) {
    conf_.setAddressText(text.toStdString());
}

template <class F>
void TConfigForm::operation(F&& f) {
    if (busy_) return;
    busy_ = true;
    enableButtons(false);
    ComboBox1->setEnabled(false);
    f();
    Label9->setText(qs(conf_.protocol()));
    ComboBox1->setEnabled(true);
    enableButtons(conf_.portOpen());
    busy_ = false;
}

void TConfigForm::Button1Click() {
    operation([this] { conf_.switchToModbus(); });
}

void TConfigForm::Button2Click() {
    operation([this] { conf_.switchToRz(); });
}

void TConfigForm::Button3Click() {
    operation([this] {
        if (conf_.changeAddress()) Edit2->setText(QString::number(conf_.address()));
    });
}

void TConfigForm::message(const std::string& text) {
    QMessageBox::information(this, text::kTitle, qs(text));
}

void TConfigForm::error(const std::string& text) {
    QMessageBox::critical(this, text::kTitle, qs(text));
}

bool TConfigForm::askText(const std::string& title, const std::string& prompt, std::string& text) {
    bool ok = false;
    QString entry = QInputDialog::getText(this, qs(title), qs(prompt), QLineEdit::Normal, QString(), &ok);
    if (ok) text = entry.toStdString();
    return ok;
}

} // namespace tolvan
