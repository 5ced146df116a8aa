// SPDX-License-Identifier: MIT
#include "protocol/telemetry.h"

#include "protocol/commands.h"

#include <cstdint>
#include <cstring>

namespace quorvane::protocol {
namespace {

constexpr std::size_t kNone = std::string_view::npos;
constexpr std::size_t kTagSize = 4;
constexpr unsigned char kCaseBit = 0x20;

constexpr bool isAsciiLetter(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A tag compared as one 32-bit word: letters get the case bit forced on both sides, every
// other byte must match exactly. For an ASCII letter l, (x | 0x20) == lower(l) holds only for
// x == l in either case, so this is exact case-insensitive matching.
struct TagWord {
    std::uint32_t fold = 0;
    std::uint32_t want = 0;

    constexpr explicit TagWord(std::string_view tag) noexcept
    {
        for (std::size_t i = 0; i < kTagSize; ++i) {
            const auto c = static_cast<unsigned char>(tag[i]);
            const std::uint32_t bit = isAsciiLetter(tag[i]) ? kCaseBit : 0;
            fold |= bit << (8 * i);
            want |= std::uint32_t(c | bit) << (8 * i);
        }
    }
    bool matches(std::uint32_t word) const noexcept { return (word | fold) == want; }
};

// Bytes in memory order, independent of the machine's endianness.
std::uint32_t wordAt(const char *p) noexcept
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return std::uint32_t(u[0]) | std::uint32_t(u[1]) << 8 | std::uint32_t(u[2]) << 16 |
           std::uint32_t(u[3]) << 24;
}

std::size_t find(std::string_view hay, char c, std::size_t from, std::size_t to) noexcept
{
    if (from >= to)
        return kNone;
    const void *hit = std::memchr(hay.data() + from, static_cast<unsigned char>(c), to - from);
    return hit ? std::size_t(static_cast<const char *>(hit) - hay.data()) : kNone;
}

// First "Y" or "y" at or after `from`.
std::size_t firstFieldEnd(std::string_view buffer, std::size_t from) noexcept
{
    // Values are short: a plain look at the next bytes beats two memchr calls.
    const std::size_t near = from + 32 < buffer.size() ? from + 32 : buffer.size();
    for (std::size_t i = from; i < near; ++i) {
        if ((static_cast<unsigned char>(buffer[i]) | kCaseBit) == (kFieldEnd | kCaseBit))
            return i;
    }
    from = near;
    const std::size_t upper = find(buffer, kFieldEnd, from, buffer.size());
    const char lower = static_cast<char>(kFieldEnd | kCaseBit);
    const std::size_t lowerHit = find(buffer, lower, from, upper == kNone ? buffer.size() : upper);
    return lowerHit != kNone ? lowerHit : upper;
}

constexpr std::array<TagWord, kReadingRows.size()> kTagWords{
    TagWord(kReadingRows[0].tag), TagWord(kReadingRows[1].tag), TagWord(kReadingRows[2].tag),
    TagWord(kReadingRows[3].tag)};

// Whether a byte can start a tag, in either case: most ":" are rejected on this alone.
constexpr std::array<bool, 256> kTagStarts = [] {
    std::array<bool, 256> starts{};
    for (const ReadingRow &row : kReadingRows) {
        const auto c = static_cast<unsigned char>(row.tag.front());
        starts[c] = true;
        starts[c ^ kCaseBit] = isAsciiLetter(char(c));
    }
    return starts;
}();

// First position of every row's tag, found in one pass over the buffer. Every tag ends in
// ":" and holds no other ":", so only the places before a ":" need comparing.
std::array<std::size_t, kReadingRows.size()> firstTags(std::string_view buffer) noexcept
{
    static_assert(kReadingRows[0].tag.size() == kTagSize &&
                  kReadingRows[1].tag.size() == kTagSize &&
                  kReadingRows[2].tag.size() == kTagSize && kReadingRows[3].tag.size() == kTagSize);
    std::array<std::size_t, kReadingRows.size()> first;
    first.fill(kNone);
    unsigned pending = (1u << first.size()) - 1;
    const char *data = buffer.data();
    const std::size_t size = buffer.size();
    std::size_t end = kTagSize - 1;
    while (pending != 0 && end < size) {
        if (data[end] != ':') {
            // A short plain look first: memchr's call costs more than a few bytes of loop
            // where colons are dense, and far less where they are sparse.
            const std::size_t stop = end + 16 < size ? end + 16 : size;
            while (end < stop && data[end] != ':')
                ++end;
            if (end == stop) {
                end = find(buffer, ':', end, size);
                if (end == kNone)
                    break;
            }
        }
        if (!kTagStarts[static_cast<unsigned char>(data[end - (kTagSize - 1)])]) {
            ++end;
            continue;
        }
        const std::uint32_t word = wordAt(data + end - (kTagSize - 1));
        unsigned hits = 0;
        for (std::size_t row = 0; row < kTagWords.size(); ++row)
            hits |= unsigned(kTagWords[row].matches(word)) << row;
        hits &= pending;
        if (hits != 0) {
            for (std::size_t row = 0; row < first.size(); ++row) {
                if (hits & (1u << row))
                    first[row] = end - (kTagSize - 1);
            }
            pending &= ~hits;
        }
        ++end;
    }
    return first;
}

} // namespace

void extractReadings(std::string_view buffer, ReadingSink sink)
{
    const auto first = firstTags(buffer);
    std::array<char, 64> small;
    std::string text;
    for (std::size_t row = 0; row < kReadingRows.size(); ++row) {
        const std::size_t p = first[row];
        if (p == kNone)
            continue;
        // The terminator is the first "Y"/"y" after the tag's first character; no tag holds
        // one, so the search can start right after the tag.
        const std::size_t start = p + kTagSize;
        const std::size_t q = firstFieldEnd(buffer, start);
        if (q == kNone)
            continue;
        const std::string_view value = buffer.substr(start, q - start);
        const std::string_view suffix = kReadingRows[row].suffix;
        if (value.size() + suffix.size() <= small.size()) {
            // Readings are a few characters: no heap, no string bookkeeping.
            std::memcpy(small.data(), value.data(), value.size());
            std::memcpy(small.data() + value.size(), suffix.data(), suffix.size());
            sink(kReadingRows[row].reading,
                 std::string_view(small.data(), value.size() + suffix.size()));
        } else {
            text.assign(value);
            text.append(suffix);
            sink(kReadingRows[row].reading, text);
        }
    }
}

ReceiveResult detail::receiveOther(std::string &buffer, std::string_view piece, ReadingSink sink)
{
    if (piece.size() == 1) {
        const char c = piece.front();
        if (c == kFrameStart) {
            buffer.clear();
            return ReceiveResult::Cleared;
        }
        if (c == kFrameEnd) {
            extractReadings(buffer, sink);
            return ReceiveResult::Parsed;
        }
        // Any other single byte is receive()'s own; the bounded append below serves it too.
    }
    const std::size_t room = buffer.size() < kBufferBound ? kBufferBound - buffer.size() : 0;
    const std::size_t take = piece.size() < room ? piece.size() : room;
    if (take == 0)
        return ReceiveResult::Unchanged;
    buffer.append(piece.data(), take);
    return ReceiveResult::Appended;
}

bool isPlainNumber(std::string_view value)
{
    auto digits = [&value](std::size_t from) {
        std::size_t n = 0;
        while (from + n < value.size() && value[from + n] >= '0' && value[from + n] <= '9')
            ++n;
        return n;
    };
    const std::size_t sign = !value.empty() && value.front() == '-' ? 1 : 0;
    const std::size_t whole = digits(sign);
    if (whole < 1 || whole > 15)
        return false;
    std::size_t end = sign + whole;
    if (end < value.size() && value[end] == '.') {
        const std::size_t fraction = digits(end + 1);
        if (fraction < 1 || fraction > 15)
            return false;
        end += 1 + fraction;
    }
    return end == value.size();
}

} // namespace quorvane::protocol
