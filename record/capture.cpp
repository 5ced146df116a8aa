// SPDX-License-Identifier: MIT
#include "record/capture.h"

#include "record/readingslog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorvane::record {
namespace {

constexpr std::uint64_t kMaxRecord = 1u << 24; // no read or write is ever this large
// A plain file goes out as the line would carry it: 960 bytes a second, in small pieces.
constexpr std::size_t kPlainPiece = 12;
constexpr std::int64_t kMicrosPerByteAt9600 = 1'000'000 / 960;

void putVarint(std::string &out, std::uint64_t v)
{
    while (v >= 0x80) {
        out += char(0x80 | (v & 0x7F));
        v >>= 7;
    }
    out += char(v);
}

} // namespace

CaptureWriter::~CaptureWriter()
{
    close();
}

std::optional<std::string> CaptureWriter::failed(const std::string &what)
{
    const int error = errno;
    close();
    return fileError(what, path_, error, "not a capture file");
}

std::optional<std::string> CaptureWriter::open(const std::string &path)
{
    close();
    path_ = path;
    file_ = std::fopen(path.c_str(), "a+b");
    if (!file_)
        return failed("cannot open");
    std::fseek(file_, 0, SEEK_END);
    if (std::ftell(file_) == 0) {
        if (std::fwrite(kCaptureHeader.data(), 1, kCaptureHeader.size(), file_) !=
            kCaptureHeader.size())
            return failed("cannot write");
    } else {
        std::string head(kCaptureHeader.size(), '\0');
        std::fseek(file_, 0, SEEK_SET);
        const bool isCapture =
            std::fread(head.data(), 1, head.size(), file_) == head.size() && head == kCaptureHeader;
        if (!isCapture) {
            errno = 0;
            return failed("will not append to");
        }
    }
    last_ = Clock::now();
    const std::string start = isoTime(WallClock::now());
    return record(Direction::Session, start, 0);
}

std::optional<std::string> CaptureWriter::write(Direction d, std::string_view bytes,
                                                Clock::time_point at)
{
    if (!file_ || bytes.empty())
        return std::nullopt;
    // Whole milliseconds only, so rounding never adds up over a long capture.
    const auto delta = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(at - last_),
                                std::chrono::milliseconds(0));
    last_ += delta;
    return record(d, bytes, std::uint64_t(delta.count()));
}

std::optional<std::string> CaptureWriter::record(Direction d, std::string_view bytes,
                                                 std::uint64_t deltaMs)
{
    std::string head;
    putVarint(head, deltaMs);
    putVarint(head, std::uint64_t(bytes.size()) << 2 | std::uint64_t(d));
    if (std::fwrite(head.data(), 1, head.size(), file_) != head.size() ||
        std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() ||
        std::fflush(file_) != 0)
        return failed("cannot write");
    return std::nullopt;
}

void CaptureWriter::close()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

CaptureReader::~CaptureReader()
{
    if (file_)
        std::fclose(file_);
}

std::optional<std::string> CaptureReader::open(const std::string &path)
{
    if (file_)
        std::fclose(file_);
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_)
        return "cannot open " + path + ": " + std::strerror(errno);
    std::string head(kCaptureHeader.size(), '\0');
    capture_ =
        std::fread(head.data(), 1, head.size(), file_) == head.size() && head == kCaptureHeader;
    rewind();
    return std::nullopt;
}

void CaptureReader::rewind()
{
    std::fseek(file_, capture_ ? long(kCaptureHeader.size()) : 0L, SEEK_SET);
    at_ = std::chrono::microseconds(0);
    plainBytes_ = 0;
}

bool CaptureReader::varint(std::uint64_t &out)
{
    out = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        const int c = std::fgetc(file_);
        if (c == EOF)
            return false;
        out |= std::uint64_t(c & 0x7F) << shift;
        if (!(c & 0x80))
            return true;
    }
    return false;
}

bool CaptureReader::next(CaptureRecord &out)
{
    if (!file_)
        return false;
    if (!capture_) {
        out.direction = Direction::FromBoard;
        out.bytes.resize(kPlainPiece);
        out.bytes.resize(std::fread(out.bytes.data(), 1, kPlainPiece, file_));
        out.at = std::chrono::microseconds(std::int64_t(plainBytes_) * kMicrosPerByteAt9600);
        plainBytes_ += out.bytes.size();
        return !out.bytes.empty();
    }
    std::uint64_t delta = 0;
    std::uint64_t lengthAndKind = 0;
    if (!varint(delta) || !varint(lengthAndKind) || (lengthAndKind & 3) == 3 ||
        (lengthAndKind >> 2) > kMaxRecord)
        return false;
    out.direction = Direction(lengthAndKind & 3);
    out.bytes.resize(std::size_t(lengthAndKind >> 2));
    if (std::fread(out.bytes.data(), 1, out.bytes.size(), file_) != out.bytes.size())
        return false;
    at_ += std::chrono::milliseconds(std::int64_t(delta));
    out.at = at_;
    return true;
}

} // namespace quorvane::record
