#include "shell/about.h"

#include "shell/poll_bridge.h"
#include "shell/startup.h"
#include "shell/table_view.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QVBoxLayout>

namespace shell {

QPixmap programPicture(const QSize& size) {
    QPixmap pm(size);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(QPointF(0, 0), QSizeF(size));
    QLinearGradient sky(r.topLeft(), r.bottomLeft());
    sky.setColorAt(0, QColor(225, 236, 250));
    sky.setColorAt(1, QColor(160, 190, 230));
    p.fillRect(r, sky);
    const double u = r.height() / 217.0;
    // a supply (red) and a return (blue) pipe through a heat exchanger
    auto pipe = [&](double y, const QColor& c) {
        p.setPen(QPen(c, 9 * u, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(16 * u, y), QPointF(r.width() - 16 * u, y));
    };
    pipe(150 * u, QColor(200, 40, 30));
    pipe(185 * u, QColor(30, 70, 190));
    const QRectF exchanger(r.width() / 2 - 30 * u, 130 * u, 60 * u, 75 * u);
    p.setPen(QPen(QColor(40, 40, 40), 2 * u));
    p.setBrush(QColor(235, 235, 235));
    p.drawRoundedRect(exchanger, 6 * u, 6 * u);
    for (int i = 1; i < 5; ++i) {
        const double x = exchanger.left() + i * exchanger.width() / 5;
        p.drawLine(QPointF(x, exchanger.top() + 6 * u), QPointF(x, exchanger.bottom() - 6 * u));
    }
    // a calculator with its display
    const QRectF meter(30 * u, 40 * u, 70 * u, 80 * u);
    p.setBrush(QColor(250, 250, 245));
    p.drawRoundedRect(meter, 5 * u, 5 * u);
    p.setBrush(QColor(150, 200, 150));
    p.drawRect(QRectF(meter.left() + 8 * u, meter.top() + 10 * u, meter.width() - 16 * u, 24 * u));
    p.setPen(QPen(QColor(40, 40, 40), 2 * u));
    p.drawLine(QPointF(65 * u, 120 * u), QPointF(65 * u, 146 * u));
    QFont title("DejaVu Sans");
    title.setBold(true);
    title.setPixelSize(int(19 * u));
    p.setFont(title);
    p.setPen(QColor(0, 0, 110));
    p.drawText(QRectF(115 * u, 30 * u, r.width() - 125 * u, 90 * u),
               Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, kApplicationTitle);
    p.setPen(QPen(QColor(0, 0, 110), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(r.adjusted(0, 0, -1, -1));
    return pm;
}

TAboutBox::TAboutBox(QString version, QWidget* parent) : QDialog(parent), version_(std::move(version)) {
    setWindowTitle("О программе");
    auto* picture = new QLabel(this);
    picture->setPixmap(programPicture(QSize(274, 145)));
    ProductName = new QLabel(this);
    QFont bold = ProductName->font();
    bold.setBold(true);
    ProductName->setFont(bold);
    Version = new QLabel(this);
    OKButton = new QPushButton("OK", this);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    auto* column = new QVBoxLayout(this);
    column->addWidget(picture, 0, Qt::AlignHCenter);
    column->addWidget(ProductName);
    column->addWidget(Version);
    column->addWidget(OKButton, 0, Qt::AlignHCenter);
}

void TAboutBox::showEvent(QShowEvent* e) {
    ProductName->setText(kApplicationTitle);
    Version->setText(version_);
    QDialog::showEvent(e);
}

TSplashForm::TSplashForm()
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setFixedSize(411, 217);
    VersionLabel = new QLabel(this);
    QFont bold = VersionLabel->font();
    bold.setBold(true);
    VersionLabel->setFont(bold);
    VersionLabel->setStyleSheet("color: navy; background: transparent");
    VersionLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    VersionLabel->setGeometry(211, 105, 190, 20);
}

void TSplashForm::setVersion(const QString& version) {
    VersionLabel->setText(version);
}

void TSplashForm::showNow() {
    if (QScreen* s = QGuiApplication::primaryScreen()) move(s->geometry().center() - rect().center());
    show();
    repaint();
    QGuiApplication::processEvents();
}

void TSplashForm::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawPixmap(0, 0, programPicture(size()));
}

TForm1::TForm1(dbf::Table& objects, PollBridge& bridge, QWidget* parent)
    : QDialog(parent), model_(new DbfGridModel(this)) {
    setWindowTitle("Форма опроса объектов");
    resize(820, 480);
    Grid = new QTableView(this);
    Grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    Grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid->verticalHeader()->hide();
    model_->setTable(&objects, objectGridColumns());
    Grid->setModel(model_);
    auto* column = new QVBoxLayout(this);
    column->addWidget(Grid, 1);
    Running = new QLabel("Опрос не запущен", this);
    column->addWidget(Running);
    for (int i = 0; i < 6; ++i) {
        Status[i] = new QLabel(this);
        column->addWidget(Status[i]);
    }
    auto* close = new QPushButton("Закрыть", this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    column->addWidget(close, 0, Qt::AlignRight);
    connect(&bridge, &PollBridge::statusTextChanged, this, [this](int i, const QString& t) {
        if (i >= 0 && i < 6) Status[i]->setText(QString::number(i) + ": " + t);
    });
    connect(&bridge, &PollBridge::started, this, [this] { Running->setText("Идет опрос объектов"); });
    connect(&bridge, &PollBridge::ended, this, [this] {
        Running->setText("Опрос не запущен");
        if (isVisible()) model_->reload();
    });
}

void TForm1::showEvent(QShowEvent* e) {
    model_->reload();
    Grid->resizeColumnsToContents();
    QDialog::showEvent(e);
}

} // namespace shell
