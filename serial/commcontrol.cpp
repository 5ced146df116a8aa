// SPDX-License-Identifier: MIT
#include "serial/commcontrol.h"

#include <QElapsedTimer>
#include <QMetaObject>

#include <algorithm>

namespace quorvane::serial {
namespace {

// How long notifications may follow one another before clicks and paints get a turn.
constexpr qint64 kSliceNanoseconds = 4'000'000;
// A read this large means the line outruns the read clock (a kernel tty buffer holds only a
// few KiB): it is then read on every wake-up, so the sender is never held up by our pace.
constexpr qsizetype kOutrunsTheClock = 1024;

} // namespace

CommControl::CommControl(std::shared_ptr<const PortMap> map, QObject *parent)
    : QObject(parent), map_(std::move(map))
{
    readClock_.setTimerType(Qt::PreciseTimer);
    readClock_.setInterval(kDefaultReadInterval);
    connect(&readClock_, &QTimer::timeout, this, &CommControl::intake);
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

void CommControl::setReadInterval(std::chrono::milliseconds interval)
{
    readClock_.setInterval(std::max(interval, std::chrono::milliseconds(0)));
}

void CommControl::openPort()
{
    device_.clear();
    device_ = map_->device(commPort_); // throws for numbers the map does not know
    link_ = map_->makeLink(device_);
    connect(link_.get(), &ByteLink::readyRead, this, &CommControl::intake);
    connect(link_.get(), &ByteLink::lost, this, &CommControl::onLinkLost);
    queue_.clear();
    queueHead_ = 0;
    full_ = false;
    lostPending_ = false;
    if (const auto failure = link_->open())
        fail(failure->kind, failure->reason);
}

void CommControl::closePort()
{
    readClock_.stop();
    if (link_)
        link_->close();
    queue_.clear();
    queueHead_ = 0;
    full_ = false;
}

void CommControl::onLinkLost()
{
    if (!portOpen())
        return;
    closePort();
    lostPending_ = true;
    schedule();
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
    if (const auto failure = link_->write(bytes))
        fail(failure->kind, QStringLiteral("could not send: %1").arg(failure->reason));
    if (tap_)
        tap_(true, bytes.constData(), bytes.size());
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
    } else if (queueHead_ > kQueueBound) {
        queue_.remove(0, queueHead_);
        queueHead_ = 0;
    }
    if (full_ && inBufferCount() <= kQueueBound / 2) {
        // The device was left to hold what we had no room for; nothing else reads it now.
        full_ = false;
        intake();
    }
    return text;
}

void CommControl::intake()
{
    pace(pull());
    schedule();
}

qsizetype CommControl::pull()
{
    const qsizetype room = kQueueBound - inBufferCount();
    if (room <= 0 || !portOpen())
        return 0;
    const ByteLink::ReadResult got = link_->read(queue_, room);
    if (tap_ && got.count > 0)
        tap_(false, queue_.constData() + queue_.size() - got.count, got.count);
    if (got.lost)
        onLinkLost();
    return got.count;
}

void CommControl::pace(qsizetype got)
{
    if (!portOpen())
        return;
    if (inBufferCount() >= kQueueBound) {
        // Input() takes up reading again once the handlers have made room.
        full_ = true;
        readClock_.stop();
        link_->setWakeOnData(false);
    } else if (got > 0 && got < kOutrunsTheClock && readClock_.interval() > 0) {
        link_->setWakeOnData(false);
        if (!readClock_.isActive())
            readClock_.start();
    } else {
        // A quiet tick, or a line faster than the clock: the next byte wakes us at once.
        readClock_.stop();
        link_->setWakeOnData(true);
    }
}

bool CommControl::receiveDue() const
{
    return portOpen() && rThreshold_ > 0 && inBufferCount() >= rThreshold_;
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
