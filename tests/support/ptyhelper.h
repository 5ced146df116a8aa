// SPDX-License-Identifier: MIT
// A pseudo-terminal pair for tests: the panel side opens path(), the test plays the board
// on the master descriptor. Nothing here touches a real serial port.
#pragma once

#include <QtGlobal>

#ifdef Q_OS_WIN
#include "relayedpty.h"
#else

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QString>
#include <QTest>

#include <atomic>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

class PtyPair {
public:
    PtyPair()
    {
        int slave = -1;
        char name[256] = {};
        if (openpty(&master_, &slave, name, nullptr, nullptr) != 0)
            qFatal("openpty failed");
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        ::close(slave);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        path_ = QString::fromLocal8Bit(name);
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    const QString &path() const { return path_; }
    int master() const { return master_; }

    // The "device" going away, like an unplugged adapter.
    void closeMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    // Writes all of `bytes` to `fd`, calling `whileBlocked` each time the line is full.
    static void writeAll(int fd, const QByteArray &bytes,
                         const std::function<void()> &whileBlocked = {})
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0) {
                done += n;
                continue;
            }
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
            if (whileBlocked)
                whileBlocked();
        }
    }

    void write(const QByteArray &bytes)
    {
        writeAll(master_, bytes, [] { QCoreApplication::processEvents(); });
    }

    // Writes a large volume from another thread while this one keeps the event loop turning,
    // so the panel drains the line as fast as it can.
    void flood(const QByteArray &bytes)
    {
        std::atomic<bool> done{false};
        std::thread writer([&] {
            writeAll(master_, bytes);
            done = true;
        });
        while (!done)
            QTest::qWait(2);
        writer.join();
    }

    // Everything the panel sent within `ms`, waiting for at least `atLeast` bytes.
    QByteArray read(int atLeast = 1, int ms = 2000)
    {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            char buf[4096];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, n);
                continue;
            }
            if (got.size() >= atLeast)
                break;
            QTest::qWait(2);
        }
        return got;
    }

private:
    int master_ = -1;
    QString path_;
};

inline int openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

#endif // Q_OS_WIN
