// SPDX-License-Identifier: MIT
// quorvane-demo: the panel with port 1 wired to the simulated board (or to --device PATH).
#include "simulator/runner.h"
#include "ui/portoptions.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QCommandLineParser>

#include <atomic>
#include <iostream>
#include <system_error>
#include <thread>

int main(int argc, char **argv)
{
    QCommandLineParser parser;
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("Wire port 1 to PATH (a real board, a socat "
                                                   "end) instead of the simulated board."),
                                    QStringLiteral("PATH"));
    const QCommandLineOption open(QStringLiteral("open"), QStringLiteral("Click Open at start."));
    const QCommandLineOption shot(QStringLiteral("screenshot"),
                                  QStringLiteral("Open port 1, save the window to FILE once all "
                                                 "four readings have arrived, then quit."),
                                  QStringLiteral("FILE"));
    const QCommandLineOption replay(QStringLiteral("replay"),
                                    QStringLiteral("The simulated board plays the board's side of "
                                                   "FILE (a --capture) instead of its own frames."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption speed(QStringLiteral("speed"),
                                   QStringLiteral("Replay at X times the recorded pace."),
                                   QStringLiteral("X"), QStringLiteral("1"));
    const QCommandLineOption loop(QStringLiteral("loop"),
                                  QStringLiteral("Replay again from the start at the end."));
    parser.addOptions({device, open, shot, replay, speed, loop});
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
        ports.targets.insert(1, parser.value(device)); // the short form of --port 1=PATH

    quorvane::sim::Options options;
    options.intervalMs = 1000;
    options.replay = parser.value(replay).toStdString();
    options.loop = parser.isSet(loop);
    if (const auto pace = quorvane::sim::parseSpeed(parser.value(speed).toStdString())) {
        options.speed = *pace;
    } else {
        std::cerr << "quorvane-demo: " << quorvane::sim::kSpeedRule << '\n';
        return 2;
    }
    quorvane::sim::Runner board(options, std::cout);
    std::atomic<bool> stop{false};
    std::thread boardThread;
    if (!ports.targets.contains(1)) {
        QString path;
        try {
            path = QString::fromStdString(board.open());
        } catch (const std::system_error &e) {
            std::cerr << "quorvane-demo: cannot start the simulated board: " << e.what() << '\n';
            return 1;
        }
        boardThread = std::thread([&] { board.run(stop); });
        std::cerr << "quorvane-demo: simulated board on " << path.toStdString()
                  << " is port 1; click Open\n";
        ports.targets.insert(1, path);
    }
    const auto map = quorvane::ui::portMapFor(ports);
    const int status =
        quorvane::ui::runDemoWindow(map, record, parser.isSet(open),
                                    parser.isSet(shot) ? parser.value(shot) : QString());
    stop = true;
    if (boardThread.joinable())
        boardThread.join();
    return status;
}
