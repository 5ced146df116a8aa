// SPDX-License-Identifier: MIT
#include "record/capture.h"

#include "record/readingslog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorvane::record {
namespace {

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
        // A stream open for update needs a positioning call between a read and a write.
        if (std::fseek(file_, 0, SEEK_END) != 0)
            return failed("cannot append to");
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
    // A record may come at most a day after the one before (a reader refuses more), so a
    // longer quiet, a board unplugged over a weekend, is told in empty records of a day.
    auto left = std::uint64_t(delta.count());
    for (; left > kMaxDeltaMs; left -= kMaxDeltaMs) {
        if (auto error = record(Direction::FromBoard, {}, kMaxDeltaMs))
            return error;
    }
    return record(d, bytes, left);
}

std::optional<std::string> CaptureWriter::record(Direction d, std::string_view bytes,
                                                 std::uint64_t deltaMs)
{
    std::string head;
    putVarint(head, deltaMs);
    putVarint(head, std::uint64_t(bytes.size()) << 2 | std::uint64_t(d));
    if (std::fwrite(head.data(), 1, head.size(), file_) != head.size() ||
        // An empty record (a long quiet) writes no bytes; fwrite may not be given null.
        (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) ||
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

std::uint64_t CaptureReader::bytesLeft()
{
    const long at = std::ftell(file_);
    if (at < 0 || std::fseek(file_, 0, SEEK_END) != 0)
        return 0;
    const long end = std::ftell(file_);
    std::fseek(file_, at, SEEK_SET);
    return end > at ? std::uint64_t(end - at) : 0;
}

std::optional<std::string> CaptureReader::open(const std::string &path)
{
    if (file_)
        std::fclose(file_);
    path_ = path;
    capture_ = false;
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_)
        return fileError("cannot open", path, errno);
    char head[48];
    const std::string_view got(head, std::fread(head, 1, sizeof head, file_));
    if (std::ferror(file_)) {
        const int error = errno;
        std::fclose(file_);
        file_ = nullptr;
        return fileError("cannot read", path, error);
    }
    capture_ = got.substr(0, kCaptureHeader.size()) == kCaptureHeader;
    if (!capture_ && got.substr(0, kCaptureMagic.size()) == kCaptureMagic) {
        // Played as bytes, a newer capture would be noise on the panel: say what it is.
        std::string version;
        for (char c : got.substr(kCaptureMagic.size(), 16)) {
            if (c == '\n')
                break;
            version += (c >= ' ' && c <= '~') ? c : '?';
        }
        std::fclose(file_);
        file_ = nullptr;
        return path + ": a capture of format version \"" + version +
               "\", which this build cannot read (it reads version 1)";
    }
    rewind();
    return std::nullopt;
}

void CaptureReader::rewind()
{
    if (!file_)
        return;
    std::clearerr(file_);
    std::fseek(file_, capture_ ? long(kCaptureHeader.size()) : 0L, SEEK_SET);
    atMs_ = 0;
    plainBytes_ = 0;
    ended_.reset();
    damaged_ = false;
}

bool CaptureReader::stop(long offset, const std::string &what, bool damage)
{
    if (std::ferror(file_))
        ended_ = fileError("cannot read", path_, errno);
    else
        ended_ = path_ + ": the record at byte " + std::to_string(offset) + " " + what;
    damaged_ = damage;
    return false;
}

CaptureReader::Varint CaptureReader::varint(std::uint64_t &out)
{
    out = 0;
    for (int shift = 0;; shift += 7) {
        const int c = std::fgetc(file_);
        if (c == EOF)
            return Varint::End;
        // The tenth byte carries the 64th bit alone; more than that is no 64-bit number.
        if (shift == 63 && c > 1)
            return Varint::TooLong;
        out |= std::uint64_t(c & 0x7F) << shift;
        if (!(c & 0x80))
            return Varint::Ok;
    }
}

bool CaptureReader::next(CaptureRecord &out)
{
    if (!file_ || ended_)
        return false;
    if (!capture_) {
        out.direction = Direction::FromBoard;
        out.bytes.resize(kPlainPiece);
        out.bytes.resize(std::fread(out.bytes.data(), 1, kPlainPiece, file_));
        out.at = std::chrono::microseconds(std::int64_t(plainBytes_) * kMicrosPerByteAt9600);
        plainBytes_ += out.bytes.size();
        if (out.bytes.empty() && std::ferror(file_))
            return stop(0, {}, true);
        return !out.bytes.empty();
    }
    const long offset = std::ftell(file_);
    const int first = std::fgetc(file_);
    if (first == EOF)
        return std::ferror(file_) ? stop(offset, {}, true) : false;
    std::ungetc(first, file_);

    std::uint64_t delta = 0;
    std::uint64_t lengthAndKind = 0;
    Varint v = varint(delta);
    if (v == Varint::Ok)
        v = varint(lengthAndKind);
    if (v == Varint::End)
        return stop(offset, "is cut short", true);
    if (v == Varint::TooLong)
        return stop(offset, "holds a number longer than 64 bits", true);
    // A kind from a newer format may mean its other fields differently: look no further.
    if ((lengthAndKind & 3) == 3)
        return stop(offset, "is of a kind this build does not know; the rest is left unread",
                    false);
    if (delta > kMaxDeltaMs)
        return stop(offset,
                    "comes " + std::to_string(delta) + " ms after the one before, more than a day",
                    true);
    if (atMs_ + delta > kMaxSpanMs)
        return stop(offset, "comes more than 100 years after the start of the file", true);
    const std::uint64_t length = lengthAndKind >> 2;
    if (length > kMaxRecordBytes)
        return stop(offset, "claims " + std::to_string(length) + " bytes, more than 16 MiB", true);
    // A large claim is held against what the file still holds (it may be growing) before
    // anything is allocated for it.
    if (length > kCheckedClaim && length > bytesLeft())
        return stop(offset, "is cut short", true);
    out.direction = Direction(lengthAndKind & 3);
    out.bytes.resize(std::size_t(length));
    if (std::fread(out.bytes.data(), 1, out.bytes.size(), file_) != out.bytes.size())
        return stop(offset, "is cut short", true);
    atMs_ += delta;
    out.at = std::chrono::microseconds(std::int64_t(atMs_) * 1000);
    return true;
}

} // namespace quorvane::record
