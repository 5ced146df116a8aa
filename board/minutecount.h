// SPDX-License-Identifier: MIT
// How many events fell in the last minute, in fixed memory and time whatever the rate: a
// count for each of the last 60 seconds, those older than a minute cleared as time moves.
#pragma once

#include <array>
#include <cstdint>

namespace quorvane::board {

class MinuteCount {
public:
    // Milliseconds on a clock that never goes back (the session's uptime).
    void add(std::int64_t ms);
    std::uint64_t total(std::int64_t ms);

private:
    // The second `ms` falls in, the counts older than a minute before it cleared.
    std::size_t advance(std::int64_t ms);

    static constexpr std::int64_t kSeconds = 60;
    std::array<std::uint32_t, kSeconds> counts_{};
    std::int64_t newest_ = 0;
};

} // namespace quorvane::board
