// SPDX-License-Identifier: MIT
// Reads arbitrary files as line captures and checks the reader against a plain reading of the
// format: the same records at the same times, an end at the same record for the same reason,
// naming its byte, and the same again after a rewind.
#include "record/capture.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace quorvane::record;

[[noreturn]] void broken(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

__extension__ typedef unsigned __int128 Wide;

struct Expected {
    std::vector<CaptureRecord> records;
    bool ended = false; // early, with a reason
    bool damaged = false;
    std::size_t at = 0; // where
};

// The format as its comment states it, read the slow way.
Expected plainReading(std::string_view in)
{
    Expected e;
    std::size_t p = kCaptureHeader.size();
    std::uint64_t sumMs = 0;
    auto number = [&](Wide &v) {
        v = 0;
        for (int n = 0; n < 10; ++n) {
            if (p >= in.size())
                return 0;
            const unsigned char c = static_cast<unsigned char>(in[p++]);
            v |= Wide(c & 0x7F) << (7 * n);
            if (!(c & 0x80))
                return v >> 64 ? -1 : 1;
        }
        return -1;
    };
    auto stop = [&](std::size_t at, bool damaged) {
        e.ended = true;
        e.damaged = damaged;
        e.at = at;
        return e;
    };
    while (p < in.size()) {
        const std::size_t start = p;
        Wide delta = 0;
        Wide lengthAndKind = 0;
        const int a = number(delta);
        const int b = a > 0 ? number(lengthAndKind) : a;
        if (a <= 0 || b <= 0)
            return stop(start, true);
        if ((lengthAndKind & 3) == 3)
            return stop(start, false);
        if (delta > kMaxDeltaMs || sumMs + std::uint64_t(delta) > kMaxSpanMs)
            return stop(start, true);
        const Wide length = lengthAndKind >> 2;
        if (length > kMaxRecordBytes || length > in.size() - p)
            return stop(start, true);
        sumMs += std::uint64_t(delta);
        CaptureRecord r;
        r.direction = Direction(int(lengthAndKind & 3));
        r.at = std::chrono::milliseconds(sumMs);
        r.bytes = std::string(in.substr(p, std::size_t(length)));
        p += std::size_t(length);
        e.records.push_back(std::move(r));
    }
    return e;
}

std::vector<CaptureRecord> readAll(CaptureReader &reader)
{
    std::vector<CaptureRecord> out;
    CaptureRecord r;
    while (reader.next(r))
        out.push_back(r);
    return out;
}

bool same(const CaptureRecord &a, const CaptureRecord &b)
{
    return a.direction == b.direction && a.at == b.at && a.bytes == b.bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The reader takes a path: the input goes to a file in memory, reached through /proc.
    static const int fd = memfd_create("capture", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)))
        broken("no file in memory for the input");
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const std::string_view in(reinterpret_cast<const char *>(data), size);

    CaptureReader reader;
    const auto refused = reader.open(path);
    const bool capture = in.substr(0, kCaptureHeader.size()) == kCaptureHeader;
    if (refused.has_value() != (!capture && in.substr(0, kCaptureMagic.size()) == kCaptureMagic))
        broken("refused a file it can read, or read one of another version");
    if (refused)
        return 0;
    if (reader.isCapture() != capture)
        broken("a capture taken for bytes or bytes for a capture");

    const std::vector<CaptureRecord> first = readAll(reader);
    const std::optional<std::string> ended = reader.ended();
    const bool damaged = reader.damaged();
    if (!capture) {
        std::string bytes;
        for (const CaptureRecord &r : first) {
            if (r.direction != Direction::FromBoard || r.bytes.empty() ||
                r.at != std::chrono::microseconds(std::int64_t(bytes.size()) * (1'000'000 / 960)))
                broken("plain bytes not paced at 9600 baud");
            bytes += r.bytes;
        }
        if (bytes != in || ended)
            broken("plain bytes not played as they are");
    } else {
        const Expected e = plainReading(in);
        if (e.records.size() != first.size())
            broken("a different number of records than a plain reading finds");
        for (std::size_t i = 0; i < first.size(); ++i) {
            if (!same(e.records[i], first[i]))
                broken("a record differs from a plain reading");
        }
        if (ended.has_value() != e.ended || damaged != e.damaged)
            broken("a different end than a plain reading finds");
        if (ended && ended->find(path + ": the record at byte " + std::to_string(e.at) + " ") != 0)
            broken("an end that does not name its record's byte");
    }

    reader.rewind();
    const std::vector<CaptureRecord> again = readAll(reader);
    if (again.size() != first.size() || reader.ended() != ended || reader.damaged() != damaged)
        broken("a rewound reading ends differently");
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (!same(again[i], first[i]))
            broken("a rewound reading differs");
    }
    return 0;
}
