// SPDX-License-Identifier: MIT
// The main window: sensors, load switching, the serial port, and the way out.
#pragma once

#include "serial/commcontrol.h"
#include "ui/widgets.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace quorvane::ui {

class frmAbout;

// Text typed by the user that is not a port number.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The combo box text as a port number: blanks around it ignored, an optional sign and
// digits, within the 16-bit signed range. Throws InputError otherwise.
qint16 portNumberFromText(const QString &text);

// What the user is told for a failure of the comm control: what happened and what to do.
QString describeFailure(const serial::CommError &error);

class Form1 : public QWidget {
    Q_OBJECT
public:
    static constexpr const char *kTitle = "Quorvane";

    explicit Form1(std::shared_ptr<const serial::PortMap> portMap, QWidget *parent = nullptr);
    ~Form1() override;

    // How Exit ends the program; the default leaves the application's event loop.
    void setEndProgram(std::function<void()> end) { endProgram_ = std::move(end); }
    // The About window while it exists.
    frmAbout *aboutWindow() const;
    // Tells the user of a problem that comes from outside the handlers (a log file that
    // cannot be written), in the window's usual message box.
    void warn(const QString &text);

    // Controls, named as in the layout tables.
    QGroupBox *Frame1;
    QGroupBox *Frame2;
    QGroupBox *Frame3;
    QPushButton *Command1;
    QPushButton *Command2;
    QPushButton *Command3;
    QPushButton *Command4;
    QPushButton *Command5;
    PushCheck *Check1;
    PushCheck *Check2;
    PushCheck *Check3;
    PushCheck *Check4;
    PushCheck *Check5;
    QLabel *Label1;
    QLabel *Label2;
    QLabel *Label3;
    QLabel *Label4;
    QLabel *Label5;
    QLabel *Label6;
    QLabel *Label7;
    QLabel *Label8;
    QLineEdit *Text1;
    QComboBox *Combo1;
    serial::CommControl *MSComm1;

protected:
    bool event(QEvent *e) override;

private:
    void buildLayout();
    void Form_Load();
    void Check_Click(int load);
    void Command2_Click();
    void Command5_Click();
    void Command3_Click();
    void Command1_Click();
    void Command4_Click();
    void MSComm1_OnComm();

    void receive(const QString &piece);
    void showBuffer();
    void showReading(int reading, std::string_view text);
    void showClosedState();
    void describePorts();
    PushCheck *toggle(int load) const;
    // Runs one handler's steps; a failing step ends the handler and the user is told.
    template <typename Steps> void guarded(Steps &&steps);
    void tell(QMessageBox::Icon icon, const QString &text);

    std::function<void()> endProgram_;
    QPointer<frmAbout> about_;
    std::string buffer_;      // the receive buffer; Text1 shows it
    RepaintGate repaintGate_; // the value labels and Text1 repaint at a rate a person can see
    bool bufferShown_ = true; // Text1 holds the current buffer
    bool telling_ = false;
    bool portsDescribed_ = false;
    bool ending_ = false;
};

} // namespace quorvane::ui
