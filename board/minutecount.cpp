// SPDX-License-Identifier: MIT
#include "board/minutecount.h"

#include <algorithm>

namespace quorvane::board {

void MinuteCount::add(std::int64_t ms)
{
    ++counts_[advance(ms)];
}

std::uint64_t MinuteCount::total(std::int64_t ms)
{
    advance(ms);
    std::uint64_t sum = 0;
    for (std::uint32_t n : counts_)
        sum += n;
    return sum;
}

std::size_t MinuteCount::advance(std::int64_t ms)
{
    const std::int64_t now = ms / 1000;
    // Only the seconds since the newest seen, and no more than a minute of them.
    for (std::int64_t s = std::max(newest_ + 1, now - kSeconds + 1); s <= now; ++s)
        counts_[std::size_t(s % kSeconds)] = 0;
    newest_ = std::max(newest_, now);
    return std::size_t(now % kSeconds);
}

} // namespace quorvane::board
