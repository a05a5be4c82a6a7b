// The about box "О программе", the splash window shown while the program starts, and the developer's poll
// form "Форма опроса объектов".
#pragma once

#include "dbf/table.h"

#include <QDialog>
#include <QWidget>

class QLabel;
class QPushButton;
class QTableView;

namespace shell {

class DbfGridModel;
class PollBridge;

// The picture of the splash window and the about box: the program's emblem drawn at the given size.
QPixmap programPicture(const QSize& size);

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    // version: the program version text shown on every showing.
    explicit TAboutBox(QString version, QWidget* parent = nullptr);

    QLabel* ProductName = nullptr;
    QLabel* Version = nullptr;
    QPushButton* OKButton = nullptr;

protected:
    void showEvent(QShowEvent* e) override;

private:
    QString version_;
};

// Borderless, stay-on-top, centred, 411 × 217 with the version at its lower right in bold navy.
class TSplashForm : public QWidget {
    Q_OBJECT
public:
    TSplashForm();
    QLabel* VersionLabel = nullptr;
    void setVersion(const QString& version);
    // Shows the window centred on the screen and paints it at once.
    void showNow();

protected:
    void paintEvent(QPaintEvent* e) override;
};

// The poll form: its own copy of the objects table and what the poll run reports, for the developer.
class TForm1 : public QDialog {
    Q_OBJECT
public:
    TForm1(dbf::Table& objects, PollBridge& bridge, QWidget* parent = nullptr);
    QTableView* Grid = nullptr;
    QLabel* Status[6] = {};
    QLabel* Running = nullptr;

protected:
    void showEvent(QShowEvent* e) override;

private:
    DbfGridModel* model_;
};

} // namespace shell
