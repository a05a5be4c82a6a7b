// The window "Конфигуратор ModBus": the port box, the device's fields, the three buttons and the instruction
// text. The work itself is done by Configurator; the window shows its messages as message boxes.
#pragma once

#include "configurator/configurator.h"

#include <QWidget>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tolvan {

// The ports offered in the port box: the machine's serial ports, then the given port when it is not one of
// them (a typed name or a path).
std::vector<std::string> portList(const std::vector<std::string>& machine, const std::string& given);

class TConfigForm : public QWidget, private Operator {
    Q_OBJECT
public:
    explicit TConfigForm(const LaunchArgs& args, QWidget* parent = nullptr);
    ~TConfigForm() override;

    // Opens the port given on the command line, as a port selection does. Called once the window is up.
    void start();

    Configurator& configurator() { return conf_; }

    QComboBox* ComboBox1;
    QLabel* Label6;
    QLabel* Label7;
    QLabel* Label9;
    QLineEdit* Edit2;
    QPushButton* Button1;
    QPushButton* Button2;
    QPushButton* Button3;
    QLabel* Instruction;

protected:
    void showEvent(QShowEvent* e) override;

private:
    void portBoxChanged();
    void ComboBox1Change();
    void Edit2Change(const QString& text);
    void Button1Click();
    void Button2Click();
    void Button3Click();

    // Runs one button's operation with the controls locked, then shows the values it changed.
    template <class F>
    void operation(F&& f);
    void enableButtons(bool on);

    void message(const std::string& text) override;
    void error(const std::string& text) override;
    bool askText(const std::string& title, const std::string& prompt, std::string& text) override;

    Configurator conf_;
    bool busy_ = false;
    bool centred_ = false;
    bool selectionPending_ = false;
};

} // namespace tolvan
