// SPDX-License-Identifier: MIT
#include "web/history.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>

namespace quorvane::web {
namespace {

qint64 slotOf(qint64 ms)
{
    // Floor, not truncation: times before 1970 still fall into their own slot.
    return ms >= 0 ? ms / History::kSlotMs : -((-ms - 1) / History::kSlotMs) - 1;
}

record::WallClock::time_point wallTime(qint64 ms)
{
    return record::WallClock::time_point(std::chrono::milliseconds(ms));
}

} // namespace

void History::add(qint64 ms, const record::FrameValues &values)
{
    Slot slot;
    slot.ms = ms;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!values[i])
            continue;
        const auto length = std::min(values[i]->size(), kValueBytes);
        std::copy_n(values[i]->data(), length, slot.values[i].bytes.data());
        slot.values[i].length = std::uint8_t(length);
    }
    if (count_ > 0) {
        Slot &newest = ring_[(next_ + kSlots - 1) % kSlots];
        if (slotOf(newest.ms) == slotOf(ms)) {
            newest = slot;
            return;
        }
    }
    if (ring_.empty())
        ring_.reserve(kSlots); // the day's memory at once, never grown by copying
    if (ring_.size() < kSlots)
        ring_.push_back(slot);
    else
        ring_[next_] = slot;
    next_ = (next_ + 1) % kSlots;
    count_ = std::min(count_ + 1, kSlots);
}

History::Point History::point(const Slot &slot) const
{
    Point p;
    p.ms = slot.ms;
    for (std::size_t i = 0; i < slot.values.size(); ++i) {
        const Value &v = slot.values[i];
        if (v.length != kAbsent)
            p.values[i] = std::string(v.bytes.data(), v.length);
    }
    return p;
}

std::vector<History::Point> History::since(qint64 sinceMs, qint64 nowMs) const
{
    const qint64 from = std::max(sinceMs, nowMs - kDayMs);
    std::vector<Point> out;
    const std::size_t oldest = (next_ + kSlots - count_) % kSlots;
    for (std::size_t k = 0; k < count_; ++k) {
        const Slot &slot = ring_[(oldest + k) % kSlots];
        if (slot.ms >= from)
            out.push_back(point(slot));
    }
    return out;
}

std::optional<qint64> History::parseSince(const QString &text)
{
    static const QRegularExpression millis(QStringLiteral("^[0-9]{1,15}$"));
    if (millis.match(text).hasMatch())
        return text.toLongLong();
    // A time without its zone would be read in the bridge's own, which a script cannot know.
    static const QRegularExpression iso(
        QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}(:[0-9]{2}(\\.[0-9]{1,3})?)?"
                       "(Z|[+-][0-9]{2}:[0-9]{2})$"));
    if (!iso.match(text).hasMatch())
        return std::nullopt;
    const QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid())
        return std::nullopt;
    return t.toMSecsSinceEpoch();
}

QByteArray History::csv(const std::vector<Point> &points)
{
    std::string out(record::kLogHeader);
    for (const Point &p : points)
        out += record::csvRow(wallTime(p.ms), p.values);
    return QByteArray::fromStdString(out);
}

QJsonObject History::json(const std::vector<Point> &points)
{
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]+(\\.[0-9]+)?$"));
    QJsonArray columns{QStringLiteral("time")};
    for (const auto &row : protocol::kReadingRows)
        columns.append(QString::fromLatin1(row.name.data(), qsizetype(row.name.size())));
    QJsonArray rows;
    for (const Point &p : points) {
        QJsonArray row{double(p.ms)};
        for (const auto &v : p.values) {
            if (!v) {
                row.append(QJsonValue::Null);
                continue;
            }
            const QString text = QString::fromLatin1(v->data(), qsizetype(v->size()));
            if (number.match(text).hasMatch())
                row.append(text.toDouble());
            else
                row.append(text);
        }
        rows.append(row);
    }
    return {{QStringLiteral("columns"), columns}, {QStringLiteral("points"), rows}};
}

} // namespace quorvane::web
