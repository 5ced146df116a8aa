// SPDX-License-Identifier: MIT
// quorvane: the control panel, on the system's serial ports or the targets given with --port.
#include "ui/form1.h"
#include "ui/portoptions.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char **argv)
{
    QCommandLineParser parser;
    quorvane::ui::PortOptions ports;
    quorvane::recorder::RecordOptions record;
    if (const auto exit = quorvane::ui::readCommandLine(
            argc, argv, QStringLiteral("The Quorvane control panel."), parser, &ports, &record))
        return quorvane::cli::finish(*exit);
    quorvane::ui::prepareWindowSystem();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    quorvane::ui::Form1 form(quorvane::ui::portMapFor(ports));
    form.show();
    quorvane::ui::recordLine(form, record);
    return QApplication::exec();
}
