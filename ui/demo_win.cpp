// SPDX-License-Identifier: MIT
// quorvane-demo on Windows: the panel with port 1 wired to the simulated board, which runs
// inside the panel's process (there are no pseudo-terminals to put it behind).
#include "ui/boardlink.h"
#include "ui/portoptions.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char **argv)
{
    QCommandLineParser parser;
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("Wire port 1 to PORT (a real board on COM3, "
                                                   "say) instead of the simulated board."),
                                    QStringLiteral("PORT"));
    const QCommandLineOption open(QStringLiteral("open"), QStringLiteral("Click Open at start."));
    const QCommandLineOption shot(QStringLiteral("screenshot"),
                                  QStringLiteral("Open port 1, save the window to FILE once all "
                                                 "four readings have arrived, then quit."),
                                  QStringLiteral("FILE"));
    parser.addOptions({device, open, shot});
    quorvane::ui::PortOptions ports;
    quorvane::recorder::RecordOptions record;
    if (const auto exit = quorvane::ui::readCommandLine(
            argc, argv,
            QStringLiteral("The Quorvane panel with port 1 wired to a simulated board."), parser,
            &ports, &record))
        return quorvane::cli::finish(*exit);
    quorvane::ui::prepareWindowSystem();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quorvane-demo"));
    if (parser.isSet(device))
        ports.targets.insert(1, parser.value(device)); // the short form of --port 1=PORT

    std::shared_ptr<const quorvane::serial::PortMap> map = quorvane::ui::portMapFor(ports);
    if (!ports.targets.contains(1))
        map = std::make_shared<quorvane::ui::BoardPortMap>(1, map);
    return quorvane::ui::runDemoWindow(std::move(map), record, parser.isSet(open),
                                       parser.isSet(shot) ? parser.value(shot) : QString());
}
