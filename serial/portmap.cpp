// SPDX-License-Identifier: MIT
#include "serial/portmap.h"

#ifdef Q_OS_WIN
#include "serial/winlink.h"
#else
#include "serial/seriallink.h"
#endif

#include "serial/commerror.h"

#include <algorithm>

namespace quorvane::serial {
namespace {

#ifndef Q_OS_WIN
QList<QSerialPortInfo> orderedPorts()
{
    QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    std::sort(ports.begin(), ports.end(), [](const QSerialPortInfo &a, const QSerialPortInfo &b) {
        return naturalLess(a.portName(), b.portName());
    });
    return ports;
}
#endif

[[noreturn]] void badNumber(int port, const QString &why)
{
    throw CommError(CommError::Kind::BadPortNumber, port, QString(), why);
}

void requirePositive(int port)
{
    if (port < 1)
        badNumber(port, QStringLiteral("no such port number; ports are numbered from 1"));
}

} // namespace

bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i;
            qsizetype ej = j;
            while (ei < a.size() && a[ei].isDigit())
                ++ei;
            while (ej < b.size() && b[ej].isDigit())
                ++ej;
            // Compare the runs as numbers of any length: skip leading zeros, then length.
            QStringView ra = QStringView(a).mid(i, ei - i);
            QStringView rb = QStringView(b).mid(j, ej - j);
            while (ra.size() > 1 && ra.front() == u'0')
                ra = ra.mid(1);
            while (rb.size() > 1 && rb.front() == u'0')
                rb = rb.mid(1);
            if (ra.size() != rb.size())
                return ra.size() < rb.size();
            if (const int c = ra.compare(rb); c != 0)
                return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return (a.size() - i) < (b.size() - j);
}

QString SystemPortMap::device(int port) const
{
    requirePositive(port);
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    const QList<QSerialPortInfo> ports = orderedPorts();
    if (port > ports.size()) {
        badNumber(port, ports.isEmpty() ? QStringLiteral("this system has no serial ports")
                                        : QStringLiteral("this system has only %1 serial port%2")
                                              .arg(ports.size())
                                              .arg(ports.size() == 1 ? "" : "s"));
    }
    return ports[port - 1].systemLocation();
#endif
}

QStringList PortMap::describeRange(int first, int last) const
{
    QStringList lines;
    for (int port = first; port <= last; ++port)
        lines << describe(port);
    return lines;
}

QString SystemPortMap::describe(int port) const
{
    return describeRange(port, port).value(0);
}

QStringList SystemPortMap::describeRange(int first, int last) const
{
    QStringList lines;
#ifdef Q_OS_WIN
    for (int port = first; port <= last; ++port)
        lines << QStringLiteral("COM%1").arg(port);
#else
    // Listing the system's ports is slow (it reads sysfs and udev), so list them once.
    const QList<QSerialPortInfo> ports = orderedPorts();
    for (int port = first; port <= last; ++port)
        lines << describeOne(ports, port);
#endif
    return lines;
}

#ifndef Q_OS_WIN
QString SystemPortMap::describeOne(const QList<QSerialPortInfo> &ports, int port)
{
    if (port < 1 || port > ports.size())
        return QStringLiteral("no serial port %1 on this system").arg(port);
    const QSerialPortInfo &info = ports[port - 1];
    return info.description().isEmpty()
               ? info.systemLocation()
               : QStringLiteral("%1 - %2").arg(info.systemLocation(), info.description());
}
#endif

FixedPortMap::FixedPortMap(QMap<int, QString> devices, std::shared_ptr<const PortMap> fallback)
    : devices_(std::move(devices)), fallback_(std::move(fallback))
{
}

QString FixedPortMap::device(int port) const
{
    requirePositive(port);
    if (const auto it = devices_.constFind(port); it != devices_.constEnd())
        return *it;
    if (fallback_)
        return fallback_->device(port);
    badNumber(port, QStringLiteral("no device is set up for this port number"));
}

QStringList FixedPortMap::describeRange(int first, int last) const
{
    QStringList lines = fallback_ ? fallback_->describeRange(first, last) : QStringList();
    for (int port = first; port <= last; ++port) {
        const qsizetype i = port - first;
        if (devices_.contains(port) || !fallback_) {
            if (i < lines.size())
                lines[i] = describe(port);
            else
                lines << describe(port);
        }
    }
    return lines;
}

QString FixedPortMap::describe(int port) const
{
    if (const auto it = devices_.constFind(port); it != devices_.constEnd())
        return describeTarget(*it);
    if (fallback_)
        return fallback_->describe(port);
    return QStringLiteral("no device for port %1").arg(port);
}

std::unique_ptr<ByteLink> PortMap::makeLink(const QString &device) const
{
#ifdef Q_OS_WIN
    return std::make_unique<WinLink>(device);
#else
    return std::make_unique<SerialLink>(device);
#endif
}

} // namespace quorvane::serial
