// SPDX-License-Identifier: MIT
// A pseudo-terminal pair for tests: the panel side opens path(), the test plays the board
// on the master descriptor. Nothing here touches a real serial port.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTest>

#include <atomic>
#include <ctime>
#include <functional>
#include <thread>

#ifdef Q_OS_WIN
#include "relayedpty.h"
#else

#include <QDir>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// The board's end of a pseudo-terminal, as PtyLine below opens, writes, reads and closes it.
struct PtyCalls {
    static int open(QString *path)
    {
        int master = -1;
        int slave = -1;
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            qFatal("openpty failed");
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        ::close(slave);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        *path = QString::fromLocal8Bit(name);
        return master;
    }
    static void close(int fd) { ::close(fd); }
    static qsizetype send(int fd, const char *data, qsizetype size)
    {
        return ::write(fd, data, size_t(size));
    }
    static qsizetype receive(int fd, char *data, qsizetype size)
    {
        return ::read(fd, data, size_t(size));
    }
    static void waitWritable(int fd)
    {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
    // The process's processor time so far.
    static qint64 cpuMs() { return qint64(std::clock()) * 1000 / CLOCKS_PER_SEC; }
};

inline int openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

#endif // Q_OS_WIN

// The board's end of a pseudo-terminal; what a suite does with it is PtyPair's, below.
class PtyLine {
public:
    PtyLine() { master_ = PtyCalls::open(&path_); }
    ~PtyLine() { closeMaster(); }
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    const QString &path() const { return path_; }
    int master() const { return master_; }

    // The "device" going away, like an unplugged adapter.
    void closeMaster()
    {
        if (master_ >= 0)
            PtyCalls::close(master_);
        master_ = -1;
    }

protected:
    int master_ = -1;
    QString path_;
};

class PtyPair : public PtyLine {
public:
    // Writes all of `bytes` to `fd`, calling `whileBlocked` each time the line is full.
    static void writeAll(int fd, const QByteArray &bytes,
                         const std::function<void()> &whileBlocked = {})
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const qsizetype n = PtyCalls::send(fd, bytes.constData() + done, bytes.size() - done);
            if (n > 0) {
                done += n;
                continue;
            }
            PtyCalls::waitWritable(fd);
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
            const qsizetype n = PtyCalls::receive(master_, buf, qsizetype(sizeof buf));
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
};

#ifndef Q_OS_WIN
#include <QFile>
#include <QTemporaryDir>

#include <memory>

// A board behind a link of the test's own: unplugged with board.reset(), plugged back with
// plug(), after which the link names a new pseudo-terminal, as a device node would.
struct PluggableBoard {
    QTemporaryDir dir;
    QString link = dir.filePath(QStringLiteral("board"));
    std::unique_ptr<PtyPair> board;

    void plug()
    {
        board = std::make_unique<PtyPair>();
        QFile::remove(link);
        QFile::link(board->path(), link);
    }
};
#endif
