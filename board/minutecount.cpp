// SPDX-License-Identifier: MIT
#include "board/minutecount.h"

#include <algorithm>

namespace quorvane::board {

namespace {
std::size_t slot(std::int64_t second, std::size_t slots)
{
    return std::size_t(second % std::int64_t(slots));
}
} // namespace

void MinuteCount::add(std::int64_t second)
{
    advance(second);
    ++counts_[slot(second, counts_.size())];
}

std::uint64_t MinuteCount::total(std::int64_t second)
{
    advance(second);
    std::uint64_t sum = 0;
    for (std::uint32_t n : counts_)
        sum += n;
    return sum;
}

// Clears the seconds since the newest seen, no more than a minute of them.
void MinuteCount::advance(std::int64_t now)
{
    for (std::int64_t s = std::max(newest_ + 1, now - kSeconds + 1); s <= now; ++s)
        counts_[slot(s, counts_.size())] = 0;
    newest_ = std::max(newest_, now);
}

} // namespace quorvane::board
