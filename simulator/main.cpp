// SPDX-License-Identifier: MIT
// quorvane-board: a simulated home-automation board on a serial line.
#include "simulator/runner.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iostream>
#include <string>
#include <system_error>

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void onSignal(int)
{
    stopRequested.store(true);
}

void usage(std::ostream &out)
{
    out << "usage: quorvane-board [options]\n"
           "Plays the board's side of the serial line: takes the command letters A..L and\n"
           "sends a telemetry frame every interval. Prints the path for the panel to open.\n\n"
           "  --device PATH     use an existing serial device (or socat end) instead of a new\n"
           "                    pseudo-terminal pair\n"
           "  --link PATH       also make PATH a symlink to the panel's end (removed on exit)\n"
           "  --interval MS     milliseconds between frames (default 1000)\n"
           "  --count N         stop after N frames\n"
           "  --decimals        readings with one decimal instead of integers\n"
           "  --seed N          deterministic readings\n"
           "  --replay FILE     play the board's side of a capture (quorvane --capture), or\n"
           "                    any file of bytes at 9600-baud pace, then exit once the\n"
           "                    panel has read it all (or has not, for 3 s)\n"
           "  --speed X         replay at X times the recorded pace (default 1)\n"
           "  --loop            replay again from the start at the end, until stopped\n"
           "  --help            this text\n"
           "  --version         the version\n";
}

bool number(const char *text, long long low, long long high, long long &out)
{
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
        return false;
    out = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    quorvane::sim::Options options;
    static const option longOptions[] = {
        {"device", required_argument, nullptr, 'd'},   {"link", required_argument, nullptr, 'l'},
        {"interval", required_argument, nullptr, 'i'}, {"count", required_argument, nullptr, 'c'},
        {"decimals", no_argument, nullptr, 'D'},       {"seed", required_argument, nullptr, 's'},
        {"replay", required_argument, nullptr, 'r'},   {"speed", required_argument, nullptr, 'S'},
        {"loop", no_argument, nullptr, 'L'},           {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},        {nullptr, 0, nullptr, 0}};
    int opt;
    long long value = 0;
    while ((opt = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        switch (opt) {
        case 'd':
            options.device = optarg;
            break;
        case 'l':
            options.link = optarg;
            break;
        case 'i':
            if (!number(optarg, 1, 3'600'000, value)) {
                std::cerr << "quorvane-board: --interval takes 1 to 3600000 ms\n";
                return 2;
            }
            options.intervalMs = int(value);
            break;
        case 'c':
            if (!number(optarg, 0, 1'000'000'000'000LL, value)) {
                std::cerr << "quorvane-board: --count takes a whole number >= 0\n";
                return 2;
            }
            options.count = value;
            break;
        case 'D':
            options.decimals = true;
            break;
        case 's':
            if (!number(optarg, 0, 0xFFFFFFFFLL, value)) {
                std::cerr << "quorvane-board: --seed takes 0 to 4294967295\n";
                return 2;
            }
            options.seed = std::uint32_t(value);
            break;
        case 'r':
            options.replay = optarg;
            break;
        case 'S':
            if (const auto speed = quorvane::sim::parseSpeed(optarg)) {
                options.speed = *speed;
                break;
            }
            std::cerr << "quorvane-board: " << quorvane::sim::kSpeedRule << '\n';
            return 2;
        case 'L':
            options.loop = true;
            break;
        case 'h':
            usage(std::cout);
            return 0;
        case 'V':
            std::cout << "quorvane-board " QUORVANE_VERSION "\n";
            return 0;
        default:
            usage(std::cerr);
            return 2;
        }
    }
    if (optind < argc) {
        usage(std::cerr);
        return 2;
    }

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
