// SPDX-License-Identifier: MIT
// The simulated board's own state: five loads switched by command letters, and sensors
// whose readings drift plausibly over time.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>

namespace quorvane::sim {

class Board {
public:
    // Applies one received byte and returns the line to log, e.g.
    // "L -> all off   loads: 0 0 0 0 0". Bytes that are no command are counted and ignored.
    std::string handle(char byte);

    const std::array<bool, 5> &loads() const { return loads_; }
    std::uint64_t ignored() const { return ignored_; }
    std::string loadsText() const;

private:
    std::array<bool, 5> loads_{};
    std::uint64_t ignored_ = 0;
};

struct Readings {
    int pir = 0;
    double light = 50;
    double inDoor = 21;
    double outDoor = 12;
};

class Sensors {
public:
    explicit Sensors(std::uint32_t seed);
    // The readings for the next frame: PIR holds its state for a few frames, the others
    // drift by small steps within their ranges.
    Readings next();

private:
    double drift(double value, double step, double low, double high);

    std::mt19937 rng_;
    Readings now_;
    int dwell_ = 0;
};

// "X" + "Pir:..Y" + "Lig:..Y" + "Tp1:..Y" + "Tp2:..Y" + "Z"; integers, or one decimal.
std::string formatFrame(const Readings &r, bool decimals);

} // namespace quorvane::sim
