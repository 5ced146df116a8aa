// SPDX-License-Identifier: MIT
#include "simulator/runner.h"

#include "record/capture.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <poll.h>
#include <random>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace quorvane::sim {

using Clock = std::chrono::steady_clock;

namespace {

// A replay runs no further ahead of a slow reader than this.
constexpr std::size_t kReplayAhead = 64 * 1024;
// Bytes just written reach the panel's input queue a moment later: an empty queue counts as
// taken only once it has stayed empty this long.
constexpr auto kTakenSettle = std::chrono::milliseconds(100);

// When a record is due, from the start of the replay: its recorded time over the speed,
// bounded (at 31 years) so that no speed makes a clock reading plus it overflow.
std::chrono::microseconds replayDue(std::chrono::microseconds recorded, double speed)
{
    const double due = std::min(double(recorded.count()) / speed, 1e15);
    return std::chrono::microseconds(std::int64_t(due));
}

} // namespace

Runner::Runner(Options options, std::ostream &log)
    : options_(std::move(options)), log_(log),
      sensors_(options_.seed ? *options_.seed : std::random_device{}())
{
}

Runner::~Runner()
{
    if (linked_)
        ::unlink(options_.link.c_str());
}

const std::string &Runner::open()
{
    line_.emplace(options_.device.empty() ? Line::createPty() : Line::openDevice(options_.device));
    if (!options_.link.empty()) {
        struct stat st {};
        // Replace a stale link from an earlier run, never a real file.
        if (::lstat(options_.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(options_.link.c_str());
        if (::symlink(line_->path().c_str(), options_.link.c_str()) != 0)
            throw std::system_error(errno, std::generic_category(), "link " + options_.link);
        linked_ = true;
    }
    return line_->path();
}

bool Runner::serveInput()
{
    char bytes[256];
    for (;;) {
        const ssize_t n = ::read(line_->fd(), bytes, sizeof bytes);
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i)
                log_ << board_.handle(bytes[i]) << '\n';
            log_.flush();
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        if (n == 0 && isatty(line_->fd()))
            return true;
        log_ << "quorvane-board: the line failed: "
             << (n == 0 ? "end of file" : std::strerror(errno)) << '\n';
        return false;
    }
}

void Runner::sendFrame()
{
    const std::string frame = formatFrame(sensors_.next(), options_.decimals);
    // A board does not wait for anyone: when nobody drains the line, the frame is lost.
    const ssize_t n = ::write(line_->fd(), frame.data(), frame.size());
    (void)n;
    ++sent_;
}

std::optional<double> parseSpeed(const std::string &text)
{
    char *end = nullptr;
    const double speed = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(speed > 0) || speed > 1e6)
        return std::nullopt;
    return speed;
}

bool Runner::waitForLine(std::chrono::milliseconds wait, bool writable)
{
    // Wake at least every 100 ms to notice a stop request from another thread.
    pollfd p{line_->fd(), short(POLLIN | (writable ? POLLOUT : 0)), 0};
    const int ready = ::poll(&p, 1, int(wait.count() < 100 ? wait.count() + 1 : 100));
    return ready <= 0 || !(p.revents & POLLIN) || serveInput();
}

bool Runner::waitUntilTaken(const std::atomic<bool> &stop)
{
    if (!line_->isPty()) {
        if (isatty(line_->fd()))
            ::tcdrain(line_->fd());
        return true;
    }
    int before = -1;
    auto moved = Clock::now();
    std::optional<Clock::time_point> emptySince;
    while (!stop.load()) {
        const int unread = line_->unread();
        const auto now = Clock::now();
        if (unread < 0)
            return true;
        if (unread != before) {
            before = unread;
            moved = now; // a reader still taking bytes earns more time
        }
        if (unread > 0) {
            emptySince.reset();
        } else if (!emptySince) {
            emptySince = now;
        } else if (now - *emptySince >= kTakenSettle) {
            return true;
        }
        if (unread > 0 && now - moved >= options_.untakenWait) {
            log_ << "quorvane-board: the panel did not take the replay's last bytes (" << unread
                 << " still waiting) within " << options_.untakenWait.count()
                 << " ms; the replay ends without them\n";
            return true;
        }
        if (!waitForLine(std::chrono::milliseconds(10), false))
            return false;
    }
    return true;
}

int Runner::replay(const std::atomic<bool> &stop)
{
    record::CaptureReader reader;
    if (const auto error = reader.open(options_.replay)) {
        log_ << "quorvane-board: " << *error << '\n';
        return 1;
    }
    auto start = Clock::now();
    record::CaptureRecord next;
    bool have = reader.next(next);
    bool told = false;   // what ended a pass early is said once, not on every loop
    std::string pending; // due but not yet taken by the line: a replay loses nothing
    bool playedThisPass = false;
    while (!stop.load()) {
        if (!pending.empty()) {
            const ssize_t n = ::write(line_->fd(), pending.data(), pending.size());
            if (n > 0) {
                replayed_ += n;
                pending.erase(0, std::size_t(n));
            }
        }
        if (!have && pending.empty()) {
            if (reader.ended() && !told) {
                log_ << "quorvane-board: " << *reader.ended() << '\n';
                told = true;
            }
            // A damaged file ends the replay, --loop or not, once its good part is out.
            if (!options_.loop || reader.damaged()) {
                if (!waitUntilTaken(stop))
                    return 1;
                return reader.damaged() ? 1 : 0;
            }
            // A file with nothing of the board's would loop without ever waiting.
            if (!playedThisPass)
                return 0;
            reader.rewind();
            have = reader.next(next);
            if (!have)
                return 0;
            playedThisPass = false;
            start = Clock::now();
        }
        // Past the end, or far enough ahead of a slow reader: wait for the line (or a stop).
        auto wait = std::chrono::milliseconds(100);
        if (have && pending.size() < kReplayAhead) {
            const auto due = start + replayDue(next.at, options_.speed);
            const auto now = Clock::now();
            if (now >= due) {
                // Only the board's side; what the panel sent then, it sends again if it likes.
                if (next.direction == record::Direction::FromBoard) {
                    pending += next.bytes;
                    playedThisPass = playedThisPass || !next.bytes.empty();
                }
                have = reader.next(next);
                continue;
            }
            wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now);
        }
        if (!waitForLine(wait, !pending.empty()))
            return 1;
    }
    return 0;
}

int Runner::run(const std::atomic<bool> &stop)
{
    if (!line_)
        open();
    if (!options_.replay.empty())
        return replay(stop);
    const auto interval =
        std::chrono::milliseconds(options_.intervalMs > 0 ? options_.intervalMs : 1);
    auto due = Clock::now();
    while (!stop.load()) {
        const auto now = Clock::now();
        if (now >= due) {
            if (options_.count >= 0 && sent_ >= options_.count)
                return 0;
            sendFrame();
            due += interval;
            if (due < now)
                due = now + interval; // we fell behind (suspended): do not burst
            continue;
        }
        if (!waitForLine(std::chrono::duration_cast<std::chrono::milliseconds>(due - now), false))
            return 1;
    }
    return 0;
}

} // namespace quorvane::sim
