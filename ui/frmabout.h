// SPDX-License-Identifier: MIT
// The About window: title, version and notice lines, and an Ok that returns to the main
// window.
#pragma once

#include "ui/widgets.h"

#include <QLabel>
#include <QWidget>

namespace quorvane::ui {

class frmAbout : public QWidget {
    Q_OBJECT
public:
    // `mainWindow` is hidden while this window is up and shown again when it goes.
    explicit frmAbout(QWidget *mainWindow);

    QLabel *Label3;
    QLabel *Label4;
    LineShape *Line1;
    QLabel *Label5;
    QLabel *Label125;
    QLabel *Label6;
    QLabel *Label126;
    LineShape *Line2;
    RoundRectShape *Shape12;
    ClickLabel *LblExit;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void LblExit_Click();

    QWidget *mainWindow_;
};

} // namespace quorvane::ui
