// SPDX-License-Identifier: MIT
// A board sending at 9600-baud pace, one character every 1.04 ms, from a child process so
// that its wake-ups are not counted as those of the program measured.
#pragma once

#include "numberedframe.h"
#include "ptyhelper.h"

#include <QByteArray>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

inline std::int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Times shared with the pacing child: when each frame's "Z" was written (CLOCK_MONOTONIC ns).
class FrameTimes {
public:
    explicit FrameTimes(int frames)
        : size_(sizeof(std::int64_t) * std::size_t(frames)),
          at_(static_cast<std::int64_t *>(
              mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0)))
    {
    }
    ~FrameTimes() { munmap(at_, size_); }
    FrameTimes(const FrameTimes &) = delete;
    FrameTimes &operator=(const FrameTimes &) = delete;
    std::int64_t operator[](int i) const { return at_[i]; }
    std::int64_t *data() { return at_; }

private:
    std::size_t size_;
    std::int64_t *at_;
};

// Writes frames firstSeq.. at 9600-baud pace to `fd` in a child process; returns its pid.
inline pid_t paceFrames(int fd, int frames, long firstSeq, FrameTimes &zAt)
{
    QByteArray all;
    std::vector<qsizetype> zIndex;
    for (int seq = 0; seq < frames; ++seq) {
        all += numberedFrame(firstSeq + seq);
        zIndex.push_back(all.size() - 1);
    }
    std::int64_t *times = zAt.data();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Child: only async-signal-safe calls from here on.
    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    std::size_t z = 0;
    for (qsizetype i = 0; i < all.size(); ++i) {
        due.tv_nsec += 1'042'000;
        if (due.tv_nsec >= 1'000'000'000) {
            due.tv_nsec -= 1'000'000'000;
            ++due.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        if (z < zIndex.size() && zIndex[z] == i)
            times[z++] = monotonicNs();
        while (::write(fd, all.constData() + i, 1) != 1) {
        }
    }
    _exit(0);
}

// Numbered frames as fast as the line takes them, written from a thread until stop(). A stop
// while the line is full abandons the rest of the chunk, so it never waits on a reader that
// is itself waiting for the stop.
class FloodWriter {
public:
    explicit FloodWriter(int fd)
        : thread_([this, fd] {
              long seq = 0;
              while (!stop_) {
                  QByteArray chunk;
                  for (int i = 0; i < 64; ++i)
                      chunk += numberedFrame(seq++);
                  qsizetype done = 0;
                  while (done < chunk.size() && !stop_) {
                      const ssize_t n =
                          ::write(fd, chunk.constData() + done, size_t(chunk.size() - done));
                      if (n > 0) {
                          done += n;
                          continue;
                      }
                      pollfd p{fd, POLLOUT, 0};
                      ::poll(&p, 1, 10);
                  }
                  chars_ += done;
                  if (done == chunk.size())
                      last_ = seq - 1;
              }
              endedAt_ = monotonicNs();
          })
    {
    }
    ~FloodWriter() { stop(); }
    FloodWriter(const FloodWriter &) = delete;
    FloodWriter &operator=(const FloodWriter &) = delete;

    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    long lastSeq() const { return last_; }
    long chars() const { return chars_; }
    std::int64_t endedAt() const { return endedAt_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> last_{-1};
    std::atomic<long> chars_{0};
    std::atomic<std::int64_t> endedAt_{0};
    std::thread thread_; // last: starts once the counters exist
};
