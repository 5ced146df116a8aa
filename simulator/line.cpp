// SPDX-License-Identifier: MIT
#include "simulator/line.h"

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace quorvane::sim {
namespace {

[[noreturn]] void fail(const std::string &what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

void makeRaw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        fail("tcgetattr");
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        fail("tcsetattr");
}

Line::Line(int fd, int hold, std::string path) : fd_(fd), hold_(hold), path_(std::move(path)) {}

Line Line::createPty()
{
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        fail("openpty");
    Line line(master, slave, name);
    // Raw on both sides: a cooked slave would echo our own frames back to us as commands.
    makeRaw(slave);
    makeRaw(master);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    return line;
}

Line Line::openDevice(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        fail(path);
    Line line(fd, -1, path);
    if (isatty(fd))
        makeRaw(fd);
    return line;
}

int Line::unread() const
{
    // The master reports nothing queued; the slave's input queue is where written bytes wait.
    int n = 0;
    return hold_ >= 0 && ::ioctl(hold_, FIONREAD, &n) == 0 ? n : -1;
}

Line::Line(Line &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), hold_(std::exchange(other.hold_, -1)),
      path_(std::move(other.path_))
{
}

Line::~Line()
{
    if (hold_ >= 0)
        ::close(hold_);
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace quorvane::sim
