// SPDX-License-Identifier: MIT
#include "ui/frmabout.h"

#include "ui/icon.h"

#include <QApplication>
#include <QCloseEvent>

namespace quorvane::ui {
namespace {

const QColor kBackground(102, 102, 153);
const QColor kLight(224, 224, 224);
const QColor kRule(128, 128, 128);

QLabel *aboutLabel(QLabel *l, const char *name, const QString &text, QRect geometry, qreal points,
                   bool bold, QColor color)
{
    l->setObjectName(QLatin1String(name));
    l->setTextFormat(Qt::PlainText);
    l->setText(text);
    l->setGeometry(geometry);
    l->setFont(layoutFont(QStringLiteral("Tahoma"), points, bold));
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, color);
    l->setPalette(p);
    l->setAccessibleName(text);
    return l;
}

} // namespace

frmAbout::frmAbout(QWidget *mainWindow) : QWidget(nullptr), mainWindow_(mainWindow)
{
    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QString());
    setWindowIcon(appIcon());
    resize(px(4845), px(3285));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kBackground);
    setPalette(pal);
    setAutoFillBackground(true);

    const QColor desktopText = QApplication::palette().color(QPalette::WindowText);
    Label3 = aboutLabel(new QLabel(this), "Label3", QStringLiteral("Quorvane"),
                        twips(240, 120, 3255, 375), 18, true, desktopText);
    Label4 = aboutLabel(new QLabel(this), "Label4", QStringLiteral("Home Control Panel"),
                        twips(480, 360, 4095, 495), 18, true, kLight);
    Line1 = new LineShape(QPoint(px(240), px(840)), QPoint(px(4200), px(840)), kRule, this);
    Line1->setObjectName(QStringLiteral("Line1"));
    Label5 = aboutLabel(new QLabel(this), "Label5", QStringLiteral("Version 1.00"),
                        twips(240, 960, 1095, 255), 9.75, false, kLight);
    Label125 =
        aboutLabel(new QLabel(this), "Label125", QStringLiteral("(c) 2026 Quorvane developers"),
                   twips(240, 1320, 2775, 255), 9.75, false, kLight);
    Label6 = aboutLabel(new QLabel(this), "Label6", QStringLiteral("MIT License"),
                        twips(240, 1680, 1695, 255), 9.75, false, kLight);
    Label126 = aboutLabel(new QLabel(this), "Label126", QStringLiteral("quorvane.example.org"),
                          twips(240, 2040, 2775, 255), 9.75, false, kLight);
    Line2 = new LineShape(QPoint(px(120), px(2400)), QPoint(px(4080), px(2400)), kRule, this);
    Line2->setObjectName(QStringLiteral("Line2"));
    Shape12 = new RoundRectShape(QColor(64, 64, 64), kLight, this);
    Shape12->setObjectName(QStringLiteral("Shape12"));
    Shape12->setGeometry(twips(1800, 2640, 1215, 375));
    LblExit = new ClickLabel(this);
    aboutLabel(LblExit, "LblExit", QStringLiteral("Ok"), twips(1800, 2760, 1215, 255), 8.25, false,
               QColor(0, 0, 0));
    LblExit->setAlignment(Qt::AlignCenter);
    LblExit->setCursor(Qt::PointingHandCursor);
    LblExit->raise(); // over the shape: together they look like a button
    connect(LblExit, &ClickLabel::clicked, this, &frmAbout::LblExit_Click);
}

void frmAbout::LblExit_Click()
{
    close(); // unloads: closeEvent brings the main window back, then the window is deleted
}

void frmAbout::closeEvent(QCloseEvent *event)
{
    // However this window goes (Ok, the frame's close button, the window manager), the main
    // window must not stay hidden.
    event->accept();
    if (mainWindow_)
        mainWindow_->show();
}

} // namespace quorvane::ui
