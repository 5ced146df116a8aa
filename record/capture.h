// SPDX-License-Identifier: MIT
// Line captures: every byte in both directions with its time, compact enough that a day of a
// busy 9600-baud line stays under 100 MB.
//
// Format, version 1:
//   the header line "quorvane-capture 1\n", then records, each
//     varint  milliseconds since the previous record
//     varint  (length << 2) | kind    kind 0: from the board, 1: to the board,
//                                     2: a session began (a program opened the file)
//     bytes   `length` of them; for a session, its UTC start time in ISO 8601
//   A varint is 7 bits a byte, least significant first, the high bit set on all but the
//   last. Opening an existing capture appends a new session; sessions play back to back.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::record {

inline constexpr std::string_view kCaptureHeader = "quorvane-capture 1\n";

enum class Direction : std::uint8_t { FromBoard = 0, ToBoard = 1, Session = 2 };

class CaptureWriter {
public:
    using Clock = std::chrono::steady_clock;

    CaptureWriter() = default;
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter &) = delete;
    CaptureWriter &operator=(const CaptureWriter &) = delete;

    // Starts a new capture, or a new session at the end of an existing one; refuses to touch
    // a file that is not a capture. Returns an error text, or nothing.
    [[nodiscard]] std::optional<std::string> open(const std::string &path);
    bool isOpen() const { return file_ != nullptr; }
    // Records bytes that crossed the line at `at`, flushed at once. Returns an error text, or
    // nothing; after an error the capture is closed.
    [[nodiscard]] std::optional<std::string> write(Direction d, std::string_view bytes,
                                                   Clock::time_point at);
    void close();

private:
    [[nodiscard]] std::optional<std::string> record(Direction d, std::string_view bytes,
                                                    std::uint64_t deltaMs);
    [[nodiscard]] std::optional<std::string> failed(const std::string &what);

    std::string path_;
    std::FILE *file_ = nullptr;
    Clock::time_point last_;
};

struct CaptureRecord {
    Direction direction = Direction::FromBoard;
    std::chrono::microseconds at{0}; // since the start of the file
    std::string bytes;
};

// Reads a capture, or any other file as bytes from the board paced at 9600 baud.
class CaptureReader {
public:
    CaptureReader() = default;
    ~CaptureReader();
    CaptureReader(const CaptureReader &) = delete;
    CaptureReader &operator=(const CaptureReader &) = delete;

    [[nodiscard]] std::optional<std::string> open(const std::string &path);
    bool isCapture() const { return capture_; }
    // The next record; false at the end of the file (a record cut short ends it too).
    bool next(CaptureRecord &out);
    // Back to the first record.
    void rewind();

private:
    bool varint(std::uint64_t &out);

    std::FILE *file_ = nullptr;
    bool capture_ = false;
    std::chrono::microseconds at_{0};
    std::uint64_t plainBytes_ = 0;
};

} // namespace quorvane::record
