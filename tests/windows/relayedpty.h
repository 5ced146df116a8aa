// SPDX-License-Identifier: MIT
// PtyPair for the Windows suites under Wine: a pseudo-terminal made by ptyrelay.py, whose
// panel end is COMn and whose board end is a loopback connection to the relay. The same
// calls as the POSIX pair, so the suites run unchanged; nothing here touches a real port.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTest>

#include <atomic>
#include <functional>
#include <thread>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

class PtyPair {
public:
    PtyPair()
    {
        master_ = connectToRelay();
        const QByteArray hello = "pty\n";
        ::send(SOCKET(master_), hello.constData(), int(hello.size()), 0);
        path_ = QString::fromLatin1(readLine(master_));
        if (!path_.startsWith(QLatin1String("COM")))
            qFatal("the pseudo-terminal relay gave no port");
        u_long on = 1;
        ioctlsocket(SOCKET(master_), FIONBIO, &on);
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    const QString &path() const { return path_; }
    int master() const { return master_; }

    // The "device" going away, like an unplugged adapter: the relay closes the master.
    void closeMaster()
    {
        if (master_ >= 0)
            ::closesocket(SOCKET(master_));
        master_ = -1;
    }

    // The line's settings as the kernel holds them at the panel's end, e.g.
    // "9600/9600 8N1 crtscts=0 ixon=0 ixoff=0".
    QString lineSettings() const
    {
        const int s = connectToRelay();
        const QByteArray ask = "?" + path_.toLatin1() + "\n";
        ::send(SOCKET(s), ask.constData(), int(ask.size()), 0);
        const QByteArray answer = readLine(s);
        ::closesocket(SOCKET(s));
        return QString::fromLatin1(answer);
    }

    static void writeAll(int fd, const QByteArray &bytes,
                         const std::function<void()> &whileBlocked = {})
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const int n = ::send(SOCKET(fd), bytes.constData() + done,
                                 int(bytes.size() - done), 0);
            if (n > 0) {
                done += n;
                continue;
            }
            Sleep(1);
            if (whileBlocked)
                whileBlocked();
        }
    }

    void write(const QByteArray &bytes)
    {
        writeAll(master_, bytes, [] { QCoreApplication::processEvents(); });
    }

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

    QByteArray read(int atLeast = 1, int ms = 2000)
    {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            char buf[4096];
            const int n = ::recv(SOCKET(master_), buf, int(sizeof buf), 0);
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
    static int connectToRelay()
    {
        static const bool started = [] {
            WSADATA data;
            return WSAStartup(MAKEWORD(2, 2), &data) == 0;
        }();
        if (!started)
            qFatal("no Winsock");
        QFile file(qEnvironmentVariable("QUORVANE_PTY_RELAY"));
        if (!file.open(QIODevice::ReadOnly))
            qFatal("QUORVANE_PTY_RELAY names no relay port file");
        const u_short port = u_short(file.readAll().trimmed().toUShort());
        const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
            qFatal("cannot reach the pseudo-terminal relay");
        // Small writes (a command letter) go at once.
        const BOOL on = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
        return int(s);
    }

    static QByteArray readLine(int s)
    {
        QByteArray line;
        char c = 0;
        while (::recv(SOCKET(s), &c, 1, 0) == 1 && c != '\n')
            line += c;
        return line;
    }

    int master_ = -1;
    QString path_;
};

inline int openDescriptorCount()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return int(count);
}
