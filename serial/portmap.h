// SPDX-License-Identifier: MIT
// Which device a port number stands for.
#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#ifndef Q_OS_WIN
#include <QSerialPortInfo>
#endif

#include <memory>

namespace quorvane::serial {

class ByteLink;

class PortMap {
public:
    virtual ~PortMap() = default;
    // The device to open for `port`; throws CommError(BadPortNumber) when there is none.
    virtual QString device(int port) const = 0;
    // A line for a tooltip ("/dev/ttyUSB0 - FT232R USB UART", "COM3"); never throws.
    virtual QString describe(int port) const = 0;
    // describe() for ports first..last; one look at the system for all of them.
    virtual QStringList describeRange(int first, int last) const;
    // What carries the bytes of `device` (a value device() returned): a serial device here.
    virtual std::unique_ptr<ByteLink> makeLink(const QString &device) const;
};

// On Windows port n is "COMn". Elsewhere port n is the n-th serial port the system lists,
// ordered naturally by name (ttyACM0 < ttyS0 < ttyUSB0 < ttyUSB1 < ttyUSB10).
class SystemPortMap : public PortMap {
public:
    QString device(int port) const override;
    QString describe(int port) const override;
    QStringList describeRange(int first, int last) const override;

private:
#ifndef Q_OS_WIN
    static QString describeOne(const QList<QSerialPortInfo> &ports, int port);
#endif
};

// Fixed numbers for chosen devices, the rest from `fallback` when given: a device path (a
// pseudo-terminal, a simulated board, /dev/serial/by-id/...). Other kinds of target are a
// subclass's, with a link of their own.
class FixedPortMap : public PortMap {
public:
    explicit FixedPortMap(QMap<int, QString> devices, std::shared_ptr<const PortMap> fallback = {});
    QString device(int port) const override;
    QString describe(int port) const override;
    QStringList describeRange(int first, int last) const override;

protected:
    // What describe() says of a port given here.
    virtual QString describeTarget(const QString &target) const { return target; }

private:
    QMap<int, QString> devices_;
    std::shared_ptr<const PortMap> fallback_;
};

// Natural order of device names: digit runs compare as numbers.
bool naturalLess(const QString &a, const QString &b);

} // namespace quorvane::serial
