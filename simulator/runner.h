// SPDX-License-Identifier: MIT
// The board's main loop: take command letters, send a telemetry frame every interval.
#pragma once

#include "simulator/board.h"
#include "simulator/line.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace quorvane::sim {

struct Options {
    std::string device;                // empty: create a pseudo-terminal pair
    std::string link;                  // a symlink to the panel's end, removed on exit
    int intervalMs = 1000;             // between frames
    long long count = -1;              // stop after this many frames; -1: never
    bool decimals = false;             // one decimal instead of integers
    std::optional<std::uint32_t> seed; // deterministic readings
    std::string replay;                // play the board's side of this capture instead
    double speed = 1;                  // replay pace: times the recorded pace
    bool loop = false;                 // replay again from the start at the end
    // How long the end of a replay waits for the panel to take bytes it is not taking.
    std::chrono::milliseconds untakenWait{3000};
};

// A replay speed from the command line: a number above 0, up to a million times.
inline constexpr const char *kSpeedRule = "--speed takes a number above 0, up to 1000000";
std::optional<double> parseSpeed(const std::string &text);

class Runner {
public:
    Runner(Options options, std::ostream &log);
    ~Runner();
    Runner(const Runner &) = delete;
    Runner &operator=(const Runner &) = delete;

    // Opens the line (and the link); returns the path the panel opens. Throws std::system_error.
    const std::string &open();
    // Runs until `stop` is set or `count` frames are out (or the replay ends, once the panel
    // has taken what it played or left it untaken too long); returns 0, or 1 when the line
    // fails or the replay file is damaged.
    int run(const std::atomic<bool> &stop);

    const Board &board() const { return board_; }
    long long framesSent() const { return sent_; }
    // Bytes of the board's side played from a replay.
    long long bytesReplayed() const { return replayed_; }

private:
    bool serveInput();
    void sendFrame();
    int replay(const std::atomic<bool> &stop);
    bool waitForLine(std::chrono::milliseconds wait, bool writable);
    bool waitUntilTaken(const std::atomic<bool> &stop);

    Options options_;
    std::ostream &log_;
    std::optional<Line> line_;
    Board board_;
    Sensors sensors_;
    long long sent_ = 0;
    long long replayed_ = 0;
    bool linked_ = false;
};

} // namespace quorvane::sim
