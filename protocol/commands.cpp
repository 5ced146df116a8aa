// SPDX-License-Identifier: MIT
#include "protocol/commands.h"

#include <stdexcept>
#include <string>

namespace quorvane::protocol {

char loadLetter(int load, bool on)
{
    if (!isLoadNumber(load))
        throw std::out_of_range("load number " + std::to_string(load) + " is not 1 to 5");
    return static_cast<char>('A' + 2 * (load - kFirstLoad) + (on ? 0 : 1));
}

Command decodeCommand(char letter) noexcept
{
    if (letter == kAllOnLetter)
        return {Command::Kind::AllOn, 0};
    if (letter == kAllOffLetter)
        return {Command::Kind::AllOff, 0};
    const int offset = letter - 'A';
    if (offset < 0 || offset >= 2 * kLoadCount)
        return {};
    const int load = kFirstLoad + offset / 2;
    return {offset % 2 == 0 ? Command::Kind::LoadOn : Command::Kind::LoadOff, load};
}

} // namespace quorvane::protocol
