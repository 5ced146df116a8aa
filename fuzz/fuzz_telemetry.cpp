// SPDX-License-Identifier: MIT
// Feeds arbitrary byte streams to telemetry reception, one character at a time, and checks
// it against a plain reading of the rules: the buffer stays within its bound and never holds
// a frame start or end, readings come in the fixed order, and each reading is exactly what a
// naive search of the buffer finds.
#include "protocol/telemetry.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace quorvane::protocol;

[[noreturn]] void broken(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

char fold(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// First position of needle in hay at or after from, letters compared without case.
std::size_t naiveFind(const std::string &hay, std::string_view needle, std::size_t from)
{
    for (std::size_t p = from; p + needle.size() <= hay.size(); ++p) {
        std::size_t i = 0;
        while (i < needle.size() && fold(hay[p + i]) == fold(needle[i]))
            ++i;
        if (i == needle.size())
            return p;
    }
    return std::string::npos;
}

struct Seen {
    Reading reading;
    std::string text;
};

std::vector<Seen> naiveParse(const std::string &buffer)
{
    std::vector<Seen> out;
    for (const ReadingRow &row : kReadingRows) {
        const std::size_t p = naiveFind(buffer, row.tag, 0);
        if (p == std::string::npos)
            continue;
        const std::size_t q = naiveFind(buffer, "y", p + 1);
        if (q == std::string::npos)
            continue;
        out.push_back({row.reading, buffer.substr(p + 4, q - (p + 4)) + std::string(row.suffix)});
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string buffer(kInitialBuffer);
    std::vector<Seen> seen;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        seen.clear();
        const std::string before = c == 'Z' ? buffer : std::string();
        const ReceiveResult result =
            receive(buffer, std::string_view(&c, 1), [&](Reading r, std::string_view text) {
                if (!seen.empty() && int(r) <= int(seen.back().reading))
                    broken("readings out of order");
                seen.push_back({r, std::string(text)});
            });
        if (buffer.size() > kBufferBound)
            broken("buffer beyond its bound");
        if (buffer.find('X') != std::string::npos || buffer.find('Z') != std::string::npos)
            broken("frame start or end kept in the buffer");
        if (c == 'Z') {
            if (result != ReceiveResult::Parsed || buffer != before)
                broken("a frame end changed the buffer");
            const std::vector<Seen> expected = naiveParse(buffer);
            if (expected.size() != seen.size())
                broken("a different number of readings than a plain search finds");
            for (std::size_t k = 0; k < seen.size(); ++k) {
                if (expected[k].reading != seen[k].reading || expected[k].text != seen[k].text)
                    broken("a reading differs from a plain search");
            }
        } else if (!seen.empty()) {
            broken("readings without a frame end");
        }
    }
    return 0;
}
