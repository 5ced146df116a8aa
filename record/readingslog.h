// SPDX-License-Identifier: MIT
// The readings log: one CSV row (RFC 4180) per frame end, written and flushed as it happens.
//
//   time,pir,light,indoor,outdoor
//   2026-12-09T11:35:12.345Z,1,64,28,-4
//
// Time is UTC with milliseconds. A value that is a plain decimal number is written as it is;
// anything else is quoted text (bytes read as Latin-1, written as UTF-8); a reading the frame
// did not hold is left empty.
#pragma once

#include "protocol/telemetry.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quorvane::record {

using WallClock = std::chrono::system_clock;

// One frame's readings in the order of the columns (PIR, light, in-door, out-door), as the
// board sent them: without the panel's "%" or " Deg".
using FrameValues = std::array<std::optional<std::string>, protocol::kReadingRows.size()>;

inline constexpr std::string_view kLogHeader = "time,pir,light,indoor,outdoor\r\n";

std::string isoTime(WallClock::time_point t);
// What a failed file operation says, e.g. "cannot open PATH: No such file or directory";
// error 0 gives `otherwise` as the reason.
std::string fileError(std::string_view what, const std::string &path, int error,
                      std::string_view otherwise = {});
std::string csvField(std::string_view latin1Value);
std::string csvRow(WallClock::time_point t, const FrameValues &values);

// Collects a frame's readings from the line the way the panel does, and hands them on at
// each frame end.
class FrameCollector {
public:
    // Feeds received bytes; calls onFrame(values) at each frame end among them.
    template <typename OnFrame> void feed(std::string_view bytes, OnFrame &&onFrame)
    {
        for (char c : bytes) {
            const auto result = protocol::receive(
                buffer_, std::string_view(&c, 1),
                [this](protocol::Reading r, std::string_view text) { take(r, text); });
            if (result == protocol::ReceiveResult::Parsed) {
                onFrame(std::as_const(frame_));
                frame_ = {};
            }
        }
    }

private:
    void take(protocol::Reading r, std::string_view text);
    std::string buffer_;
    FrameValues frame_;
};

class ReadingsLog {
public:
    ReadingsLog() = default;
    ~ReadingsLog();
    ReadingsLog(const ReadingsLog &) = delete;
    ReadingsLog &operator=(const ReadingsLog &) = delete;

    // Opens `path` for appending; the header goes only into a new or empty file. With
    // maxBytes > 0 a file that would grow past it is renamed with the date and time
    // (readings-20261209-113512.csv) and a new one begun. Returns an error text, or nothing.
    [[nodiscard]] std::optional<std::string> open(const std::string &path,
                                                  std::uint64_t maxBytes = 0);
    bool isOpen() const { return file_ != nullptr; }
    // Adds one row; rows taken in one read are added, then written and flushed together.
    // Each returns an error text, or nothing; after an error the log is closed.
    [[nodiscard]] std::optional<std::string> add(WallClock::time_point t,
                                                 const FrameValues &values);
    [[nodiscard]] std::optional<std::string> flush();
    void close();

private:
    // The name a full file is renamed to when rotated at `t`.
    static std::string rotatedName(const std::string &path, WallClock::time_point t);
    [[nodiscard]] std::optional<std::string> rotate(WallClock::time_point t);
    [[nodiscard]] std::optional<std::string> failed(const std::string &what);

    std::string path_;
    std::uint64_t maxBytes_ = 0;
    std::uint64_t size_ = 0;
    std::FILE *file_ = nullptr;
    std::string pending_; // rows added since the last flush
    WallClock::time_point lastTime_{};
    std::string lastTimeText_;
};

} // namespace quorvane::record
