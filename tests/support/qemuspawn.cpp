// SPDX-License-Identifier: MIT
// Loaded (LD_PRELOAD) into suites that run as another architecture's programs under
// qemu-user. Qt starts processes with clone(CLONE_PIDFD) once the kernel says it has pidfds,
// and the kernel's answer reaches the program through the emulator unchanged, while the
// emulator itself (Debian 12's qemu 7.2) refuses that clone: every QProcess would fail to
// start. Here the pidfd probe is told no, so Qt starts them with a plain fork(), which the
// emulator runs. Nothing else changes.
#include <dlfcn.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include <sys/syscall.h>
#include <sys/wait.h>

namespace {
constexpr long kPidfd = 3; // P_PIDFD, newer than some C libraries' headers
using Syscall = long (*)(long, ...);

// The children (the bridge, the brokers) must not try to load this: they may be of this
// machine's own architecture, or start their own emulator.
[[gnu::constructor]] void forget() { unsetenv("LD_PRELOAD"); }
} // namespace

extern "C" long syscall(long number, ...) noexcept
{
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long &v : a)
        v = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_waitid && a[0] == kPidfd) {
        errno = EINVAL;
        return -1;
    }
    static const auto next = reinterpret_cast<Syscall>(dlsym(RTLD_NEXT, "syscall"));
    return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
