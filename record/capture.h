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
// Captures travel by mail, so a reader takes nothing on trust: a record may be at most a day
// after the one before and 100 years after the start of the file, and hold at most 16 MiB.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::record {

inline constexpr std::string_view kCaptureHeader = "quorvane-capture 1\n";
// What every version's header begins with.
inline constexpr std::string_view kCaptureMagic = "quorvane-capture ";
inline constexpr std::uint64_t kMaxRecordBytes = 1u << 24;
inline constexpr std::uint64_t kMaxDeltaMs = 24ull * 3600 * 1000;
inline constexpr std::uint64_t kMaxSpanMs = 36525 * kMaxDeltaMs;

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

    // Refuses a file it cannot open and a capture of another format version.
    [[nodiscard]] std::optional<std::string> open(const std::string &path);
    bool isCapture() const { return capture_; }
    // The next record; false at the end of the file, or at the first record it cannot take.
    bool next(CaptureRecord &out);
    // Why next() returned false: nothing at the file's clean end, otherwise what stopped it,
    // naming the record's byte offset.
    [[nodiscard]] const std::optional<std::string> &ended() const { return ended_; }
    // Whether that was damage (a record cut short or claiming what the format cannot mean)
    // rather than a kind of record this build does not know, which a newer one may write.
    bool damaged() const { return damaged_; }
    // Back to the first record.
    void rewind();

private:
    // Claims up to this are read as they come; larger ones are first held against the file.
    static constexpr std::uint64_t kCheckedClaim = 64 * 1024;
    enum class Varint { Ok, End, TooLong };
    // What the file holds past the current position.
    std::uint64_t bytesLeft();
    Varint varint(std::uint64_t &out);
    bool stop(long offset, const std::string &what, bool damage);

    std::string path_;
    std::FILE *file_ = nullptr;
    bool capture_ = false;
    std::uint64_t atMs_ = 0;
    std::uint64_t plainBytes_ = 0;
    std::optional<std::string> ended_;
    bool damaged_ = false;
};

} // namespace quorvane::record
