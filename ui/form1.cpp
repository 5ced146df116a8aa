// SPDX-License-Identifier: MIT
#include "ui/form1.h"

#include "protocol/commands.h"
#include "protocol/telemetry.h"
#include "ui/frmabout.h"
#include "ui/icon.h"

#include <QApplication>
#include <QPalette>
#include <QRegularExpression>
#include <QTimer>

namespace quorvane::ui {

namespace proto = quorvane::protocol;
using serial::CommControl;
using serial::CommError;

namespace {

const QColor kBackground(4, 139, 204);
const QColor kValueText(0, 255, 255);
// A frame every 30 ms at 9600 baud; nobody reads values faster than ten times a second.
constexpr int kRepaintIntervalMs = 100;

QString plainQuoted(const QString &text)
{
    return QStringLiteral("'%1'").arg(text);
}

} // namespace

qint16 portNumberFromText(const QString &text)
{
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]+$"));
    const QString trimmed = text.trimmed();
    bool ok = false;
    const long long value = number.match(trimmed).hasMatch() ? trimmed.toLongLong(&ok) : 0;
    if (!ok || value < -32768 || value > 32767)
        throw InputError(plainQuoted(text).toStdString() + " is not a port number");
    return qint16(value);
}

QString describeFailure(const CommError &error)
{
    QString advice;
    switch (error.kind()) {
    case CommError::Kind::BadPortNumber:
        advice = QStringLiteral("Pick a port from 1 to 5 that exists on this computer.");
        break;
    case CommError::Kind::NotFound:
        advice = QStringLiteral("Check that the board is plugged in, or pick another port.");
        break;
    case CommError::Kind::InUse:
        advice = QStringLiteral("Close the other program that uses this port, then click Open "
                                "again.");
        break;
    case CommError::Kind::PermissionDenied:
#ifdef Q_OS_LINUX
        advice = QStringLiteral("Your account may not use serial ports. Add it to the "
                                "'dialout' group (sudo usermod -aG dialout $USER), log out and "
                                "in again, then click Open.");
#else
        advice = QStringLiteral("Ask your administrator for access to this port.");
#endif
        break;
    case CommError::Kind::AlreadyOpen:
    case CommError::Kind::NotOpen:
        advice = QStringLiteral("Click Open to open the port, then try again.");
        break;
    case CommError::Kind::Io:
        advice = QStringLiteral("Check the cable and the board, then click Open again.");
        break;
    case CommError::Kind::BrokerUnreachable:
        advice = QStringLiteral("Check the broker's address and that it is running, then click "
                                "Open again.");
        break;
    case CommError::Kind::BoardOffline:
        advice = QStringLiteral("Check the board and its bridge, then click Open again.");
        break;
    case CommError::Kind::BrokerCredentials:
        advice = QStringLiteral("Check the user name in the port's address and the password "
                                "(QUORVANE_MQTT_PASSWORD or --password-file).");
        break;
    }
    return error.message() + QStringLiteral("\n\n") + advice;
}

Form1::Form1(std::shared_ptr<const serial::PortMap> portMap, QWidget *parent)
    : QWidget(parent), endProgram_([] { QCoreApplication::exit(0); }),
      buffer_(proto::kInitialBuffer), repaintGate_(kRepaintIntervalMs)
{
    MSComm1 = new CommControl(std::move(portMap), this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    buildLayout();
    connect(MSComm1, &CommControl::OnComm, this, &Form1::MSComm1_OnComm);
    Form_Load();
}

Form1::~Form1()
{
    delete about_;
}

frmAbout *Form1::aboutWindow() const
{
    return about_;
}

template <typename Steps> void Form1::guarded(Steps &&steps)
{
    if (ending_)
        return;
    try {
        steps();
    } catch (const CommError &e) {
        tell(QMessageBox::Warning, describeFailure(e));
    } catch (const InputError &e) {
        tell(QMessageBox::Warning,
             QString::fromStdString(e.what()) +
                 QStringLiteral(".\n\nType or pick a port number from 1 to 5, then click Open."));
    } catch (const std::exception &e) {
        tell(QMessageBox::Critical, QStringLiteral("Unexpected error: %1").arg(e.what()));
    }
}

void Form1::tell(QMessageBox::Icon icon, const QString &text)
{
    // Messages from the line (a lost device) arrive on their own; never pile boxes up.
    if (telling_)
        return;
    telling_ = true;
    QMessageBox box(icon, QString::fromLatin1(kTitle), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.setWindowIcon(appIcon());
    box.exec();
    telling_ = false;
}

void Form1::warn(const QString &text)
{
    // Such a problem is said only once: wait for a box that is up to be closed.
    if (telling_) {
        QTimer::singleShot(200, this, [this, text] { warn(text); });
        return;
    }
    tell(QMessageBox::Warning, text);
}

PushCheck *Form1::toggle(int load) const
{
    PushCheck *const toggles[] = {Check1, Check2, Check3, Check4, Check5};
    return toggles[load - proto::kFirstLoad];
}

// ---- handlers, step for step ----

void Form1::Form_Load()
{
    MSComm1->setRThreshold(1);
    MSComm1->setInputLen(1);
}

void Form1::Check_Click(int load)
{
    guarded([&] {
        const int value = toggle(load)->value();
        MSComm1->setOutput(QString(QLatin1Char(proto::loadLetter(load, value == 1))));
    });
}

void Form1::Command2_Click()
{
    guarded([&] { MSComm1->setOutput(QString(QLatin1Char(proto::kAllOnLetter))); });
}

void Form1::Command5_Click()
{
    guarded([&] {
        MSComm1->setOutput(QString(QLatin1Char(proto::kAllOffLetter)));
        // Each toggle that was ticked sends its own off-letter, nested, before the next.
        for (int load = proto::kFirstLoad; load <= proto::kLastLoad; ++load)
            toggle(load)->setValue(0);
    });
}

void Form1::Command3_Click()
{
    guarded([&] {
        if (Combo1->currentText().isEmpty()) {
            tell(QMessageBox::NoIcon, QStringLiteral("Please select the Port to open"));
            return;
        }
        if (Command3->text() == QLatin1String("Open")) {
            MSComm1->setCommPort(portNumberFromText(Combo1->currentText()));
            MSComm1->setPortOpen(true);
            Command3->setText(QStringLiteral("Close"));
            Frame3->setEnabled(true);
        } else {
            MSComm1->setPortOpen(false);
            showClosedState();
        }
    });
}

void Form1::Command1_Click()
{
    if (ending_)
        return;
    // Exit goes on past any failing step.
    try {
        if (MSComm1->portOpen())
            MSComm1->setPortOpen(false);
    } catch (...) {
    }
    ending_ = true; // no other handler runs from here on
    endProgram_();
}

void Form1::Command4_Click()
{
    guarded([&] {
        if (!about_)
            about_ = new frmAbout(this);
        about_->show();
        hide();
    });
}

void Form1::MSComm1_OnComm()
{
    guarded([&] {
        const qint16 event = MSComm1->commEvent();
        if (event == CommControl::EvReceive) {
            receive(MSComm1->input());
            MSComm1->setRThreshold(0);
            MSComm1->setInputLen(0);
        } else if (event == CommControl::EvDeviceLost) {
            showClosedState();
            tell(QMessageBox::Warning,
                 QStringLiteral("Port %1: the connection to the board was lost (the device was "
                                "unplugged or switched off). The port is closed.\n\nReconnect "
                                "the board, then click Open.")
                     .arg(MSComm1->commPort()));
        }
        MSComm1->setRThreshold(1);
        MSComm1->setInputLen(1);
    });
}

// ---- helpers of the handlers ----

void Form1::receive(const QString &piece)
{
    const QByteArray bytes = piece.toLatin1();
    const auto result = proto::receive(
        buffer_, std::string_view(bytes.constData(), std::size_t(bytes.size())),
        [this](proto::Reading r, std::string_view text) { showReading(int(r), text); });
    if (result == proto::ReceiveResult::Cleared || result == proto::ReceiveResult::Appended) {
        bufferShown_ = false;
        // Laying out the text box costs more than all the rest of reception; while the line
        // is busy it follows the buffer when the gate opens.
        if (repaintGate_.aboutToChange())
            showBuffer();
    }
}

void Form1::showBuffer()
{
    if (bufferShown_)
        return;
    Text1->setText(QString::fromLatin1(buffer_.data(), qsizetype(buffer_.size())));
    bufferShown_ = true;
}

void Form1::showReading(int reading, std::string_view text)
{
    QLabel *const labels[] = {Label6, Label5, Label7, Label8};
    const QString value = QString::fromLatin1(text.data(), qsizetype(text.size()));
    if (labels[reading]->text() == value)
        return;
    repaintGate_.aboutToChange(labels[reading]);
    labels[reading]->setText(value);
}

bool Form1::event(QEvent *e)
{
    if (e->type() == QEvent::Paint && !portsDescribed_) {
        portsDescribed_ = true;
        QTimer::singleShot(0, this, &Form1::describePorts); // once the window is on screen
    }
    return QWidget::event(e);
}

void Form1::describePorts()
{
    const QStringList lines = MSComm1->portMap().describeRange(1, Combo1->count());
    for (int i = 0; i < Combo1->count() && i < lines.size(); ++i)
        Combo1->setItemData(i, lines[i], Qt::ToolTipRole);
}

void Form1::showClosedState()
{
    Command3->setText(QStringLiteral("Open"));
    Frame3->setEnabled(false);
}

// ---- layout ----

void Form1::buildLayout()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kTitle));
    setWindowIcon(appIcon());
    resize(px(6780), px(6495));

    const QColor highlightText = QApplication::palette().color(QPalette::HighlightedText);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kBackground);
    pal.setColor(QPalette::WindowText, highlightText);
    setPalette(pal);
    setAutoFillBackground(true);

    auto group = [&](const char *name, const QString &title, QRect geometry, QFont font) {
        auto *g = new QGroupBox(title, this);
        g->setObjectName(QLatin1String(name));
        g->setGeometry(geometry);
        g->setFont(font);
        g->setAccessibleName(title);
        return g;
    };
    auto button = [](QWidget *parent, const char *name, const QString &caption, QRect geometry,
                     QFont font) {
        auto *b = new QPushButton(caption, parent);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(geometry);
        b->setFont(font);
        b->setAccessibleName(caption);
        b->setAutoDefault(false);
        // Buttons and boxes keep the desktop's own colours.
        b->setPalette(QApplication::palette());
        return b;
    };
    auto label = [](QLabel *l, const char *name, const QString &text, QRect geometry,
                    QColor color) {
        l->setObjectName(QLatin1String(name));
        // Plain text: whatever the board sends is shown literally, never as markup.
        l->setTextFormat(Qt::PlainText);
        l->setText(text);
        l->setGeometry(geometry);
        l->setFont(layoutFont(QStringLiteral("Arial Black"), 12, false));
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, color);
        l->setPalette(p);
        if (l->accessibleName().isEmpty())
            l->setAccessibleName(text);
        return l;
    };

    const QFont groupFont = layoutFont(QStringLiteral("Arial Black"), 12, true);
    const QFont bigButtonFont = layoutFont(QStringLiteral("MS Sans Serif"), 12, true);
    const QFont smallButtonFont = layoutFont(QStringLiteral("MS Sans Serif"), 9.75, true);

    Frame2 =
        group("Frame2", QStringLiteral("Serial Port"), twips(240, 5160, 2895, 1215), bigButtonFont);
    Command3 = button(Frame2, "Command3", QStringLiteral("Open"), twips(240, 480, 1335, 495),
                      bigButtonFont);
    Combo1 = new QComboBox(Frame2);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setEditable(true);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    Combo1->setGeometry(twips(1800, 480, 735, 420));
    Combo1->setFont(bigButtonFont);
    Combo1->setPalette(QApplication::palette());
    Combo1->setAccessibleName(QStringLiteral("Port"));
    // Screen readers on Linux name the box by its text and read the field inside it on its own.
    Combo1->lineEdit()->setAccessibleName(QStringLiteral("Port"));
    for (int port = 1; port <= 5; ++port)
        Combo1->addItem(QString::number(port));
    Combo1->setCurrentIndex(0);
    // Listing the system's ports (sysfs, udev) takes longer than building the whole window,
    // and the tooltips are only needed once the user hovers: see event().

    Command1 = button(this, "Command1", QStringLiteral("Exit"), twips(3480, 5520, 1335, 495),
                      bigButtonFont);
    Command4 = button(this, "Command4", QStringLiteral("About"), twips(5040, 5520, 1335, 495),
                      bigButtonFont);

    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twips(6360, 360, 1695, 375));
    Text1->setPalette(QApplication::palette());
    Text1->setMaxLength(int(proto::kBufferBound));
    Text1->setText(QString::fromLatin1(buffer_.data(), qsizetype(buffer_.size())));
    Text1->setAccessibleName(QStringLiteral("Receive buffer"));
    // Whatever the text box holds is the receive buffer, typed text included.
    connect(Text1, &QLineEdit::textEdited, this, [this](const QString &text) {
        buffer_ = text.toLatin1().toStdString();
        bufferShown_ = true;
    });
    connect(&repaintGate_, &RepaintGate::opened, this, &Form1::showBuffer);

    Frame1 = group("Frame1", QStringLiteral("Sensors"), twips(240, 120, 6375, 2535), groupFont);
    Label1 = label(new QLabel(Frame1), "Label1", QStringLiteral("In-Door Temperature:"),
                   twips(240, 1440, 2895, 495), highlightText);
    Label2 = label(new QLabel(Frame1), "Label2", QStringLiteral("Out-Door Temperature:"),
                   twips(240, 1920, 3135, 495), highlightText);
    Label3 = label(new QLabel(Frame1), "Label3", QStringLiteral("Light:"),
                   twips(240, 480, 975, 495), highlightText);
    Label4 = label(new QLabel(Frame1), "Label4", QStringLiteral("PIR Sensor:"),
                   twips(240, 960, 1695, 495), highlightText);
    // Screen readers read each value with what it is.
    Label5 = label(new ReadingLabel(QStringLiteral("Light"), Frame1), "Label5", QString(),
                   twips(1080, 480, 1695, 495), kValueText);
    Label6 = label(new ReadingLabel(QStringLiteral("PIR Sensor"), Frame1), "Label6", QString(),
                   twips(1800, 960, 1695, 495), kValueText);
    Label7 = label(new ReadingLabel(QStringLiteral("In-Door Temperature"), Frame1), "Label7",
                   QString(), twips(3120, 1440, 1695, 495), kValueText);
    Label8 = label(new ReadingLabel(QStringLiteral("Out-Door Temperature"), Frame1), "Label8",
                   QString(), twips(3360, 1920, 1695, 495), kValueText);

    Frame3 = group("Frame3", QStringLiteral("Switching"), twips(240, 2760, 6375, 2295), groupFont);
    const int lefts[] = {240, 1440, 2640, 3840, 5040};
    PushCheck **toggles[] = {&Check1, &Check2, &Check3, &Check4, &Check5};
    for (int i = 0; i < 5; ++i) {
        const QString caption = QStringLiteral("Load %1").arg(i + 1);
        auto *check = new PushCheck(caption, Frame3);
        check->setObjectName(QStringLiteral("Check%1").arg(i + 1));
        check->setGeometry(twips(lefts[i], 600, 1095, 495));
        check->setFont(smallButtonFont);
        check->setPalette(QApplication::palette());
        check->setAccessibleName(caption);
        check->setAutoDefault(false);
        connect(check, &PushCheck::valueChanged, this, [this, i] { Check_Click(i + 1); });
        *toggles[i] = check;
    }
    Command2 = button(Frame3, "Command2", QStringLiteral("All ON"), twips(720, 1440, 1935, 495),
                      smallButtonFont);
    Command5 = button(Frame3, "Command5", QStringLiteral("All OFF"), twips(3000, 1440, 1935, 495),
                      smallButtonFont);
    Frame3->setEnabled(false);

    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Command5, &QPushButton::clicked, this, &Form1::Command5_Click);

    QWidget *const order[] = {Command3, Combo1, Command1, Command4, Text1,    Check1,
                              Check2,   Check3, Check4,   Check5,   Command2, Command5};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);
    Command3->setFocus();
}

} // namespace quorvane::ui
