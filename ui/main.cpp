// SPDX-License-Identifier: MIT
// quorvane: the control panel, on the system's serial ports.
#include "ui/form1.h"
#include "ui/widgets.h"

#include <QApplication>

int main(int argc, char **argv)
{
    quorvane::ui::prepareWindowSystem();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    quorvane::ui::Form1 form(std::make_shared<quorvane::serial::SystemPortMap>());
    form.show();
    return QApplication::exec();
}
