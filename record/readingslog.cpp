// SPDX-License-Identifier: MIT
#include "record/readingslog.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace quorvane::record {

// The columns are the readings' own names, in their order.
static_assert([] {
    std::string header = "time";
    for (const auto &row : protocol::kReadingRows) {
        header += ',';
        header += row.name;
    }
    return header + "\r\n" == kLogHeader;
}());
namespace {

std::tm utc(std::time_t t)
{
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    return tm;
}

bool fileExists(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace

std::string isoTime(WallClock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    const std::tm tm = utc(std::time_t(ms.count() / 1000));
    char text[96]; // room for any int the fields could hold
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  int(ms.count() % 1000));
    return text;
}

std::string csvField(std::string_view value)
{
    if (protocol::isPlainNumber(value))
        return std::string(value);
    std::string out = "\"";
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"') {
            out += "\"\"";
        } else if (u < 0x80) {
            out += c;
        } else { // Latin-1 to UTF-8
            out += char(0xC0 | (u >> 6));
            out += char(0x80 | (u & 0x3F));
        }
    }
    out += '"';
    return out;
}

namespace {
void appendRow(std::string &out, std::string_view time, const FrameValues &values)
{
    out += time;
    for (const auto &v : values) {
        out += ',';
        if (v)
            out += csvField(*v);
    }
    out += "\r\n";
}
} // namespace

std::string csvRow(WallClock::time_point t, const FrameValues &values)
{
    std::string row;
    appendRow(row, isoTime(t), values);
    return row;
}

void FrameCollector::take(protocol::Reading r, std::string_view text)
{
    const auto i = std::size_t(r);
    // The panel shows the value with its suffix; the log keeps what the board sent.
    const std::string_view suffix = protocol::kReadingRows[i].suffix;
    frame_[i] = std::string(text.substr(0, text.size() - suffix.size()));
}

ReadingsLog::~ReadingsLog()
{
    close();
}

std::string fileError(std::string_view what, const std::string &path, int error,
                      std::string_view otherwise)
{
    return std::string(what) + " " + path + ": " +
           (error ? std::string(std::strerror(error)) : std::string(otherwise));
}

std::optional<std::string> ReadingsLog::failed(const std::string &what)
{
    const int error = errno;
    close();
    return fileError(what, path_, error);
}

std::optional<std::string> ReadingsLog::open(const std::string &path, std::uint64_t maxBytes)
{
    close();
    path_ = path;
    maxBytes_ = maxBytes;
    file_ = std::fopen(path.c_str(), "ab");
    if (!file_)
        return failed("cannot open");
    std::fseek(file_, 0, SEEK_END);
    const long at = std::ftell(file_);
    size_ = at > 0 ? std::uint64_t(at) : 0;
    if (size_ == 0) {
        if (std::fwrite(kLogHeader.data(), 1, kLogHeader.size(), file_) != kLogHeader.size() ||
            std::fflush(file_) != 0)
            return failed("cannot write");
        size_ = kLogHeader.size();
    }
    return std::nullopt;
}

std::string ReadingsLog::rotatedName(const std::string &path, WallClock::time_point t)
{
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    const std::string stem = hasExt ? path.substr(0, dot) : path;
    const std::string ext = hasExt ? path.substr(dot) : std::string();
    const std::tm tm = utc(WallClock::to_time_t(t));
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "-%04d%02d%02d-%02d%02d%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string name = stem + stamp + ext;
    // Two rotations within a second keep both files.
    for (int n = 2; fileExists(name); ++n)
        name = stem + stamp + "-" + std::to_string(n) + ext;
    return name;
}

std::optional<std::string> ReadingsLog::rotate(WallClock::time_point t)
{
    std::fclose(file_);
    file_ = nullptr;
    const std::string full = rotatedName(path_, t);
    if (std::rename(path_.c_str(), full.c_str()) != 0)
        return failed("cannot rename");
    return open(path_, maxBytes_);
}

std::optional<std::string> ReadingsLog::add(WallClock::time_point t, const FrameValues &values)
{
    if (!file_)
        return std::nullopt;
    // Frames taken in one read share their time: format it once.
    if (t != lastTime_ || lastTimeText_.empty()) {
        lastTime_ = t;
        lastTimeText_ = isoTime(t);
    }
    const std::size_t before = pending_.size();
    appendRow(pending_, lastTimeText_, values);
    const std::uint64_t row = pending_.size() - before;
    if (maxBytes_ > 0 && size_ > kLogHeader.size() && size_ + row > maxBytes_) {
        // The rows before this one fill the old file; this one begins the new.
        const std::string rowText = pending_.substr(before);
        pending_.resize(before);
        if (auto error = flush())
            return error;
        if (auto error = rotate(t))
            return error;
        pending_ = rowText;
    }
    size_ += row;
    return std::nullopt;
}

std::optional<std::string> ReadingsLog::flush()
{
    if (!file_ || pending_.empty())
        return std::nullopt;
    const bool ok = std::fwrite(pending_.data(), 1, pending_.size(), file_) == pending_.size() &&
                    std::fflush(file_) == 0;
    pending_.clear();
    if (!ok)
        return failed("cannot write");
    return std::nullopt;
}

void ReadingsLog::close()
{
    if (file_) {
        // Rows are flushed as they come; a failure with the rest has nobody left to tell.
        static_cast<void>(flush());
        if (file_)
            std::fclose(file_);
    }
    file_ = nullptr;
    pending_.clear();
}

} // namespace quorvane::record
