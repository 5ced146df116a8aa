// SPDX-License-Identifier: MIT
// Command letters sent to the board and the roles of characters it sends back.
#pragma once

namespace quorvane::protocol {

inline constexpr int kFirstLoad = 1;
inline constexpr int kLastLoad = 5;
inline constexpr int kLoadCount = kLastLoad - kFirstLoad + 1;

inline constexpr char kAllOnLetter = 'K';
inline constexpr char kAllOffLetter = 'L';

inline constexpr char kFrameStart = 'X';
inline constexpr char kFrameEnd = 'Z';
inline constexpr char kFieldEnd = 'Y';

constexpr bool isLoadNumber(int load) noexcept
{
    return load >= kFirstLoad && load <= kLastLoad;
}

// The letter switching `load` on or off: "A"/"B" for load 1 up to "I"/"J" for load 5.
// A load outside 1..5 is a programming error and throws std::out_of_range, so no byte
// outside the command table can ever reach the line.
char loadLetter(int load, bool on);

enum class CharRole { FrameStart, FrameEnd, Payload };

constexpr CharRole classify(char c) noexcept
{
    if (c == kFrameStart)
        return CharRole::FrameStart;
    if (c == kFrameEnd)
        return CharRole::FrameEnd;
    return CharRole::Payload;
}

// The command a byte stands for, as the board reads it.
struct Command {
    enum class Kind { LoadOn, LoadOff, AllOn, AllOff, Unknown } kind = Kind::Unknown;
    int load = 0; // 1..5 for LoadOn/LoadOff, else 0
};

Command decodeCommand(char letter) noexcept;

} // namespace quorvane::protocol
