// SPDX-License-Identifier: MIT
// quorvane: the control panel, on the system's serial ports or the targets given with --port.
#include "ui/form1.h"
#include "ui/portoptions.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char **argv)
{
    quorvane::ui::PortOptions ports;
    if (argc > 1) {
        // Read the options without a window system, so --help works anywhere.
        QCoreApplication probe(argc, argv);
        QCommandLineParser parser;
        parser.setApplicationDescription(QStringLiteral("The Quorvane control panel."));
        parser.addHelpOption();
        quorvane::ui::addPortOptions(parser);
        if (!parser.parse(QCoreApplication::arguments())) {
            std::fprintf(stderr, "quorvane: %s\n", qPrintable(parser.errorText()));
            return 2;
        }
        if (parser.isSet(QStringLiteral("help"))) {
            std::fputs(qPrintable(parser.helpText()), stdout);
            return 0;
        }
        QString error;
        const auto read = quorvane::ui::readPortOptions(
            parser, QProcessEnvironment::systemEnvironment(), &error);
        if (!read) {
            std::fprintf(stderr, "quorvane: %s\n", qPrintable(error));
            return 2;
        }
        ports = *read;
    }
    quorvane::ui::prepareWindowSystem();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    quorvane::ui::Form1 form(quorvane::ui::portMapFor(ports));
    form.show();
    return QApplication::exec();
}
