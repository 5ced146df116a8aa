// SPDX-License-Identifier: MIT
#include "simulator/arguments.h"

#include <cerrno>
#include <cstdlib>
#include <getopt.h>

namespace quorvane::sim {
namespace {

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

std::variant<Options, int> parseArguments(int argc, char **argv, std::ostream &out,
                                          std::ostream &err)
{
    Options options;
    static const option longOptions[] = {
        {"device", required_argument, nullptr, 'd'},   {"link", required_argument, nullptr, 'l'},
        {"interval", required_argument, nullptr, 'i'}, {"count", required_argument, nullptr, 'c'},
        {"decimals", no_argument, nullptr, 'D'},       {"seed", required_argument, nullptr, 's'},
        {"replay", required_argument, nullptr, 'r'},   {"speed", required_argument, nullptr, 'S'},
        {"loop", no_argument, nullptr, 'L'},           {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},        {nullptr, 0, nullptr, 0}};
    int opt;
    optind = 0; // from the start, however often it is called
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
                err << "quorvane-board: --interval takes 1 to 3600000 ms\n";
                return 2;
            }
            options.intervalMs = int(value);
            break;
        case 'c':
            if (!number(optarg, 0, 1'000'000'000'000LL, value)) {
                err << "quorvane-board: --count takes a whole number >= 0\n";
                return 2;
            }
            options.count = value;
            break;
        case 'D':
            options.decimals = true;
            break;
        case 's':
            if (!number(optarg, 0, 0xFFFFFFFFLL, value)) {
                err << "quorvane-board: --seed takes 0 to 4294967295\n";
                return 2;
            }
            options.seed = std::uint32_t(value);
            break;
        case 'r':
            options.replay = optarg;
            break;
        case 'S':
            if (const auto speed = parseSpeed(optarg)) {
                options.speed = *speed;
                break;
            }
            err << "quorvane-board: " << kSpeedRule << '\n';
            return 2;
        case 'L':
            options.loop = true;
            break;
        case 'h':
            usage(out);
            return 0;
        case 'V':
            out << "quorvane-board " QUORVANE_VERSION "\n";
            return 0;
        default:
            usage(err);
            return 2;
        }
    }
    if (optind < argc) {
        usage(err);
        return 2;
    }
    return options;

}

} // namespace quorvane::sim
