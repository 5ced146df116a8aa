// SPDX-License-Identifier: MIT
#include "serial/seriallink.h"

#include <QFileInfo>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#endif

namespace quorvane::serial {
namespace {

bool isDeviceLoss(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
           error == QSerialPort::WriteError;
}

} // namespace

SerialLink::SerialLink(QString device, QObject *parent)
    : ByteLink(parent), device_(std::move(device))
{
    connect(&port_, &QSerialPort::readyRead, this, &ByteLink::readyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialLink::onError);
}

SerialLink::~SerialLink()
{
    close();
}

std::optional<LinkFailure> SerialLink::open()
{
    port_.setPortName(device_);
    port_.setBaudRate(QSerialPort::Baud9600);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    port_.setReadBufferSize(kReceiveBufferSize);
    if (!port_.open(QIODevice::ReadWrite))
        return openFailure();
    // Devices without modem-control lines (pseudo-terminals, some adapters) refuse DTR and RTS
    // with UnsupportedOperationError; that does not make the port unusable.
    for (auto [set, on] : {std::pair{&QSerialPort::setDataTerminalReady, true},
                           std::pair{&QSerialPort::setRequestToSend, false}}) {
        if (auto failure = setModemLine(set, on)) {
            close();
            return failure;
        }
    }
    wake_ = true;
    takeOverReading();
    return std::nullopt;
}

std::optional<LinkFailure> SerialLink::openFailure()
{
    const QSerialPort::SerialPortError error = port_.error();
    const QString reason = port_.errorString();
    port_.clearError();
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return LinkFailure{CommError::Kind::NotFound,
                           QStringLiteral("no such device (%1)").arg(reason)};
    case QSerialPort::PermissionError: {
        // Qt also reports a port locked by another program as a permission error; if we
        // could read and write the device it is the lock, not the permissions.
        const QFileInfo info(device_);
        if (info.exists() && info.isReadable() && info.isWritable())
            return LinkFailure{CommError::Kind::InUse,
                               QStringLiteral("the port is in use by another program")};
        return LinkFailure{CommError::Kind::PermissionDenied, QStringLiteral("Permission denied")};
    }
    default:
        return LinkFailure{CommError::Kind::Io, reason};
    }
}

std::optional<LinkFailure> SerialLink::setModemLine(bool (QSerialPort::*set)(bool), bool on)
{
    if ((port_.*set)(on))
        return std::nullopt;
    const QSerialPort::SerialPortError error = port_.error();
    const QString reason = port_.errorString();
    port_.clearError();
    if (error == QSerialPort::UnsupportedOperationError || error == QSerialPort::NoError)
        return std::nullopt;
    return LinkFailure{CommError::Kind::Io, reason};
}

void SerialLink::takeOverReading()
{
#ifdef Q_OS_UNIX
    bool found = false;
    for (QSocketNotifier *n : port_.findChildren<QSocketNotifier *>(Qt::FindDirectChildrenOnly)) {
        if (n->type() == QSocketNotifier::Read) {
            n->setEnabled(false);
            found = true;
        }
    }
    // Where QSerialPort keeps its reader elsewhere, it goes on reading and waking per byte.
    if (found && !notifier_) {
        notifier_ = new QSocketNotifier(port_.handle(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &ByteLink::readyRead);
        notifier_->setEnabled(wake_);
    }
#endif
}

void SerialLink::close()
{
    if (notifier_) {
        // May be reached from the notifier's own signal.
        notifier_->setEnabled(false);
        notifier_->deleteLater();
        notifier_ = nullptr;
    }
    if (port_.isOpen())
        port_.close();
    port_.clearError();
}

std::optional<LinkFailure> SerialLink::write(const QByteArray &bytes)
{
    if (port_.write(bytes) != bytes.size())
        return LinkFailure{CommError::Kind::Io, port_.errorString()};
    return std::nullopt;
}

ByteLink::ReadResult SerialLink::read(QByteArray &into, qsizetype max)
{
    ReadResult result;
    if (!port_.isOpen() || max <= 0)
        return result;
    // Bytes QSerialPort read on its own left the line before any we read now.
    if (port_.bytesAvailable() > 0) {
        const QByteArray early = port_.read(max);
        into.append(early);
        result.count = early.size();
        max -= early.size();
        takeOverReading(); // reading through QSerialPort re-arms its reader
    }
#ifdef Q_OS_UNIX
    if (!notifier_ || max <= 0)
        return result;
    const int fd = int(notifier_->socket());
    for (;;) {
        const qsizetype at = into.size();
        into.resize(at + max);
        const ssize_t n = ::read(fd, into.data() + at, size_t(max));
        into.resize(at + (n > 0 ? qsizetype(n) : 0));
        if (n > 0) {
            // A short read took all the kernel had; what comes later waits for the next call.
            result.count += n;
            return result;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return result;
        if (n == 0) {
            // Raw mode reads 0 both when nothing waits and when the device hung up.
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLHUP | POLLERR | POLLNVAL)))
                return result;
            result.reason = QStringLiteral("the device hung up");
        } else {
            result.reason = QString::fromLocal8Bit(std::strerror(errno));
        }
        result.lost = true;
        return result;
    }
#else
    return result;
#endif
}

void SerialLink::setWakeOnData(bool on)
{
    wake_ = on;
    if (notifier_)
        notifier_->setEnabled(on);
}

void SerialLink::onError(QSerialPort::SerialPortError error)
{
    // Qt reports NoError on every open, and keeps reporting a lost device many thousand
    // times a second until the port is closed: tell once, the owner closes.
    if (!isDeviceLoss(error) || !port_.isOpen())
        return;
    const QString reason = port_.errorString();
    port_.clearError();
    emit lost(reason);
}

} // namespace quorvane::serial
