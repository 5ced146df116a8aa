// SPDX-License-Identifier: MIT
#include "simulator/runner.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ostream>
#include <poll.h>
#include <random>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace quorvane::sim {

using Clock = std::chrono::steady_clock;

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

int Runner::run(const std::atomic<bool> &stop)
{
    if (!line_)
        open();
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
        // Wake at least every 100 ms to notice a stop request from another thread.
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
        pollfd p{line_->fd(), POLLIN, 0};
        const int ready = ::poll(&p, 1, int(wait < 100 ? wait + 1 : 100));
        if (ready > 0 && !serveInput())
            return 1;
    }
    return 0;
}

} // namespace quorvane::sim
