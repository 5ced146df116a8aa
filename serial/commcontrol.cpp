// SPDX-License-Identifier: MIT
#include "serial/commcontrol.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QMetaObject>

namespace quorvane::serial {
namespace {

// Bytes drained from QSerialPort into our own queue before we leave the rest in the kernel;
// that keeps memory bounded when the line is faster than the handlers.
constexpr qsizetype kQueueHighWater = 16 * 1024;
// How long notifications may follow one another before clicks and paints get a turn.
constexpr qint64 kSliceNanoseconds = 4'000'000;

bool isDeviceLoss(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
           error == QSerialPort::WriteError;
}

} // namespace

CommControl::CommControl(std::shared_ptr<const PortMap> map, QObject *parent)
    : QObject(parent), map_(std::move(map))
{
    connect(&port_, &QSerialPort::readyRead, this, &CommControl::onReadyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &CommControl::onError);
}

CommControl::~CommControl()
{
    closePort();
}

void CommControl::fail(CommError::Kind kind, const QString &reason) const
{
    throw CommError(kind, commPort_, device_, reason);
}

void CommControl::setCommPort(qint16 port)
{
    if (portOpen())
        fail(CommError::Kind::AlreadyOpen, QStringLiteral("the port number cannot change while the "
                                                          "port is open"));
    if (port < 1) {
        throw CommError(CommError::Kind::BadPortNumber, port, QString(),
                        QStringLiteral("no such port number; ports are numbered from 1"));
    }
    commPort_ = port;
}

void CommControl::setPortOpen(bool open)
{
    if (open == portOpen()) {
        if (open)
            fail(CommError::Kind::AlreadyOpen, QStringLiteral("the port is already open"));
        return;
    }
    if (open)
        openPort();
    else
        closePort();
}

void CommControl::openPort()
{
    device_.clear();
    device_ = map_->device(commPort_); // throws for numbers the map does not know

    port_.setPortName(device_);
    port_.setBaudRate(QSerialPort::Baud9600);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    port_.setReadBufferSize(kReceiveBufferSize);
    if (!port_.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = port_.error();
        const QString reason = port_.errorString();
        port_.clearError();
        switch (error) {
        case QSerialPort::DeviceNotFoundError:
            fail(CommError::Kind::NotFound, QStringLiteral("no such device (%1)").arg(reason));
        case QSerialPort::PermissionError: {
            // Qt also reports a port locked by another program as a permission error; if we
            // could read and write the device it is the lock, not the permissions.
            const QFileInfo info(device_);
            if (info.exists() && info.isReadable() && info.isWritable())
                fail(CommError::Kind::InUse,
                     QStringLiteral("the port is in use by another program"));
            fail(CommError::Kind::PermissionDenied, QStringLiteral("Permission denied"));
        }
        default:
            fail(CommError::Kind::Io, reason);
        }
    }
    // Devices without modem-control lines (pseudo-terminals, some adapters) refuse DTR and RTS
    // with UnsupportedOperationError; that does not make the port unusable.
    setModemLine(&QSerialPort::setDataTerminalReady, true);
    setModemLine(&QSerialPort::setRequestToSend, false);
    queue_.clear();
    queueHead_ = 0;
    lostPending_ = false;
}

void CommControl::setModemLine(bool (QSerialPort::*set)(bool), bool on)
{
    if ((port_.*set)(on))
        return;
    const QSerialPort::SerialPortError error = port_.error();
    port_.clearError();
    if (error == QSerialPort::UnsupportedOperationError || error == QSerialPort::NoError)
        return;
    const QString reason = port_.errorString();
    closePort();
    fail(CommError::Kind::Io, reason);
}

void CommControl::closePort()
{
    if (port_.isOpen())
        port_.close();
    port_.clearError();
    queue_.clear();
    queueHead_ = 0;
    heldBack_ = false;
}

void CommControl::setRThreshold(qint16 threshold)
{
    rThreshold_ = threshold;
    schedule();
}

void CommControl::setInputLen(qint16 length)
{
    inputLen_ = length;
}

void CommControl::setOutput(const QString &text)
{
    if (!portOpen())
        fail(CommError::Kind::NotOpen, QStringLiteral("the port is not open"));
    const QByteArray bytes = text.toLatin1();
    if (port_.write(bytes) != bytes.size()) {
        const QString reason = port_.errorString();
        fail(CommError::Kind::Io, QStringLiteral("could not send: %1").arg(reason));
    }
}

QString CommControl::input()
{
    if (!portOpen())
        fail(CommError::Kind::NotOpen, QStringLiteral("the port is not open"));
    const qsizetype waiting = inBufferCount();
    const qsizetype take = (inputLen_ <= 0 || inputLen_ > waiting) ? waiting : inputLen_;
    const QString text = QString::fromLatin1(queue_.constData() + queueHead_, take);
    queueHead_ += take;
    if (queueHead_ == queue_.size()) {
        queue_.clear();
        queueHead_ = 0;
    } else if (queueHead_ > kQueueHighWater) {
        queue_.remove(0, queueHead_);
        queueHead_ = 0;
    }
    if (heldBack_ && inBufferCount() < kQueueHighWater / 2)
        pull();
    return text;
}

void CommControl::onReadyRead()
{
    pull();
    schedule();
}

void CommControl::pull()
{
    const qsizetype room = kQueueHighWater - inBufferCount();
    if (room <= 0 || !port_.isOpen())
        return;
    // Reading also re-arms QSerialPort's own read notifier when its buffer had filled up.
    queue_.append(port_.read(room));
    heldBack_ = port_.bytesAvailable() > 0;
}

void CommControl::onError(QSerialPort::SerialPortError error)
{
    // Qt reports NoError on every open, and keeps reporting a lost device many thousand
    // times a second until the port is closed: close at the first report, tell once.
    if (!isDeviceLoss(error) || !port_.isOpen())
        return;
    closePort();
    lostPending_ = true;
    schedule();
}

bool CommControl::receiveDue() const
{
    return port_.isOpen() && rThreshold_ > 0 && inBufferCount() >= rThreshold_;
}

void CommControl::schedule()
{
    // Notifications are always raised from the event loop, never inside a property write or
    // inside readyRead, so a handler may run a nested event loop without stalling reception.
    if (dispatchPosted_ || dispatching_ || !(lostPending_ || receiveDue()))
        return;
    dispatchPosted_ = true;
    QMetaObject::invokeMethod(this, &CommControl::dispatch, Qt::QueuedConnection);
}

void CommControl::raise(qint16 event)
{
    commEvent_ = event;
    emit OnComm();
}

void CommControl::dispatch()
{
    dispatchPosted_ = false;
    if (dispatching_)
        return; // reached from a handler's nested event loop; the outer run carries on
    dispatching_ = true;
    struct Reset {
        bool &flag;
        ~Reset() { flag = false; }
    } reset{dispatching_};

    if (lostPending_) {
        lostPending_ = false;
        raise(EvDeviceLost);
    }
    // Several notifications may follow one another in one turn of the event loop, each run
    // to completion, as long as the rest of the program gets its turn every few ms.
    QElapsedTimer slice;
    slice.start();
    while (receiveDue()) {
        raise(EvReceive);
        if (lostPending_) {
            lostPending_ = false;
            raise(EvDeviceLost);
        }
        if (slice.nsecsElapsed() >= kSliceNanoseconds)
            break;
    }
    dispatching_ = false;
    schedule();
}

} // namespace quorvane::serial
