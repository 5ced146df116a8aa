// SPDX-License-Identifier: MIT
// The last day of readings, kept in memory for the web page's plot and its CSV: one point per
// 10-second slot (the newest frame in it), 8,640 slots, in a ring of fixed size so that a day
// of frames, or a flood of them, never grows it.
#pragma once

#include "record/readingslog.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::web {

class History {
public:
    static constexpr qint64 kSlotMs = 10'000;
    static constexpr qint64 kDayMs = 24LL * 3600 * 1000;
    static constexpr std::size_t kSlots = std::size_t(kDayMs / kSlotMs);
    // Longer values (no board sends them) are kept cut to this many bytes, so a point holds
    // no heap memory.
    static constexpr std::size_t kValueBytes = 15;

    struct Point {
        qint64 ms = 0; // when the frame ended, UTC milliseconds since the epoch
        record::FrameValues values;
    };

    // The frame that ended at `ms` with these board values.
    void add(qint64 ms, const record::FrameValues &values);
    // Points from `sinceMs` on, oldest first, and never more than the day before `nowMs`.
    std::vector<Point> since(qint64 sinceMs, qint64 nowMs) const;
    std::size_t size() const { return count_; }

    // A `since` as a script gives it: milliseconds since the epoch, or an ISO 8601 time with
    // its zone ("2026-12-09T11:35:12Z", "...+01:00"). Nothing for anything else.
    static std::optional<qint64> parseSince(const QString &text);
    // The readings log's header and rows.
    static QByteArray csv(const std::vector<Point> &points);
    // {"columns": [...], "points": [[ms, pir, light, indoor, outdoor], ...]}: numbers where
    // the board sent a plain number, its text otherwise, null where the frame had none.
    static QJsonObject json(const std::vector<Point> &points);

private:
    struct Value {
        std::uint8_t length = kAbsent;
        std::array<char, kValueBytes> bytes{};
    };
    static constexpr std::uint8_t kAbsent = 0xff;
    struct Slot {
        qint64 ms = 0;
        std::array<Value, protocol::kReadingRows.size()> values;
    };
    Point point(const Slot &slot) const;

    std::vector<Slot> ring_; // grows to kSlots once, then wraps
    std::size_t next_ = 0;   // where the next new slot goes
    std::size_t count_ = 0;
};

} // namespace quorvane::web
