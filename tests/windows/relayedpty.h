// SPDX-License-Identifier: MIT
// The board's end of a pseudo-terminal for the Windows suites under Wine: one made by
// ptyrelay.py, whose panel end is COMn and whose board end is a loopback connection to the
// relay. PtyLine and PtyPair build on it as on the POSIX one, so the suites run unchanged;
// nothing here touches a real port. Included by ptyhelper.h.
#pragma once

#include <QFile>

#include <bit>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

struct PtyCalls {
    static QByteArray readLine(int s)
    {
        QByteArray line;
        char c = 0;
        while (::recv(SOCKET(s), &c, 1, 0) == 1 && c != '\n')
            line += c;
        return line;
    }

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

    static int open(QString *path)
    {
        const int master = connectToRelay();
        const QByteArray hello = "pty\n";
        ::send(SOCKET(master), hello.constData(), int(hello.size()), 0);
        *path = QString::fromLatin1(readLine(master));
        if (!path->startsWith(QLatin1String("COM")))
            qFatal("the pseudo-terminal relay gave no port");
        u_long on = 1;
        ioctlsocket(SOCKET(master), FIONBIO, &on);
        return master;
    }
    // The relay closes the master: the "device" goes away.
    static void close(int fd) { ::closesocket(SOCKET(fd)); }
    static qsizetype send(int fd, const char *data, qsizetype size)
    {
        return ::send(SOCKET(fd), data, int(size), 0);
    }
    static qsizetype receive(int fd, char *data, qsizetype size)
    {
        return ::recv(SOCKET(fd), data, int(size), 0);
    }
    static void waitWritable(int) { Sleep(1); }
    // The process's processor time so far (clock() counts wall time here).
    static qint64 cpuMs()
    {
        FILETIME t[4];
        GetProcessTimes(GetCurrentProcess(), &t[0], &t[1], &t[2], &t[3]);
        return qint64(std::bit_cast<quint64>(t[2]) + std::bit_cast<quint64>(t[3])) / 10000;
    }

    // The line's settings as the kernel holds them at the panel's end, e.g.
    // "9600/9600 8N1 crtscts=0 ixon=0 ixoff=0".
    static QString settings(const QString &port)
    {
        const int s = connectToRelay();
        const QByteArray ask = "?" + port.toLatin1() + "\n";
        ::send(SOCKET(s), ask.constData(), int(ask.size()), 0);
        const QByteArray answer = readLine(s);
        ::closesocket(SOCKET(s));
        return QString::fromLatin1(answer);
    }
};

inline int openDescriptorCount()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return int(count);
}
