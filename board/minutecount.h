// SPDX-License-Identifier: MIT
// How many events fell in the last minute, in fixed memory and time whatever the rate: a
// count for each of the last 60 seconds, those older than a minute cleared as time moves.
#pragma once

#include <array>
#include <cstdint>

namespace quorvane::board {

class MinuteCount {
public:
    // Seconds on a clock that never goes back (the session's uptime).
    void add(std::int64_t second);
    std::uint64_t total(std::int64_t second);

private:
    void advance(std::int64_t now);

    static constexpr std::int64_t kSeconds = 60;
    std::array<std::uint32_t, kSeconds> counts_{};
    std::int64_t newest_ = 0;
};

} // namespace quorvane::board
