// SPDX-License-Identifier: MIT
// quorvane-board: a simulated home-automation board on a serial line.
#include "simulator/arguments.h"
#include "simulator/runner.h"

#include <atomic>
#include <csignal>
#include <iostream>
#include <system_error>

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void onSignal(int)
{
    stopRequested.store(true);
}

} // namespace

int main(int argc, char **argv)
{
    const auto parsed = quorvane::sim::parseArguments(argc, argv, std::cout, std::cerr);
    if (const int *status = std::get_if<int>(&parsed))
        return *status;
    const quorvane::sim::Options &options = std::get<quorvane::sim::Options>(parsed);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        quorvane::sim::Runner runner(options, std::cout);
        const std::string &path = runner.open();
        std::cout << path << std::endl;
        std::cerr << "quorvane-board: open " << (options.link.empty() ? path : options.link)
                  << " in the panel; ";
        if (options.replay.empty())
            std::cerr << "a frame every " << options.intervalMs << " ms";
        else
            std::cerr << "replaying " << options.replay << " at " << options.speed << "x";
        std::cerr << "; Ctrl-C stops\n";
        const int status = runner.run(stopRequested);
        std::cerr << "quorvane-board: ";
        if (options.replay.empty())
            std::cerr << runner.framesSent() << " frames sent, ";
        else
            std::cerr << runner.bytesReplayed() << " bytes replayed, ";
        std::cerr << runner.board().ignored() << " unknown bytes ignored; "
                  << runner.board().loadsText() << '\n';
        return status;
    } catch (const std::system_error &e) {
        std::cerr << "quorvane-board: " << e.what() << '\n';
        return 1;
    }
}
