// SPDX-License-Identifier: MIT
#include "ui/boardlink.h"

#include <QMetaObject>

#include <algorithm>
#include <random>

namespace quorvane::ui {

BoardLink::BoardLink(int intervalMs, QObject *parent)
    : ByteLink(parent), sensors_(std::random_device{}())
{
    frames_.setInterval(intervalMs);
    connect(&frames_, &QTimer::timeout, this, &BoardLink::sendFrame);
}

std::optional<serial::LinkFailure> BoardLink::open()
{
    open_ = true;
    wake_ = true;
    frames_.start();
    return std::nullopt;
}

void BoardLink::close()
{
    open_ = false;
    frames_.stop();
    waiting_.clear();
}

std::optional<serial::LinkFailure> BoardLink::write(const QByteArray &bytes)
{
    for (const char byte : bytes)
        board_.handle(byte);
    return std::nullopt;
}

void BoardLink::sendFrame()
{
    const std::string frame = sim::formatFrame(sensors_.next(), false);
    // Like a device's buffer: past a few KiB nobody is reading, and the board does not wait.
    if (waiting_.size() < 4096)
        waiting_.append(frame.data(), qsizetype(frame.size()));
    if (wake_)
        emit readyRead();
}

serial::ByteLink::ReadResult BoardLink::read(QByteArray &into, qsizetype max)
{
    const qsizetype take = std::min(max, waiting_.size());
    into.append(waiting_.constData(), take);
    waiting_.remove(0, take);
    return {take, false, {}};
}

void BoardLink::setWakeOnData(bool on)
{
    wake_ = on;
    // As a device notifier would: bytes already waiting wake the reader at once.
    if (on && !waiting_.isEmpty())
        QMetaObject::invokeMethod(this, &ByteLink::readyRead, Qt::QueuedConnection);
}

BoardPortMap::BoardPortMap(int port, std::shared_ptr<const serial::PortMap> rest, int intervalMs)
    : port_(port), rest_(std::move(rest)), intervalMs_(intervalMs)
{
}

QString BoardPortMap::device(int port) const
{
    return port == port_ ? QString::fromLatin1(kDevice) : rest_->device(port);
}

QString BoardPortMap::describe(int port) const
{
    return port == port_ ? QString::fromLatin1(kDevice) : rest_->describe(port);
}

QStringList BoardPortMap::describeRange(int first, int last) const
{
    QStringList lines = rest_->describeRange(first, last);
    if (port_ >= first && port_ <= last && port_ - first < lines.size())
        lines[port_ - first] = QString::fromLatin1(kDevice);
    return lines;
}

std::unique_ptr<serial::ByteLink> BoardPortMap::makeLink(const QString &device) const
{
    if (device == QLatin1String(kDevice))
        return std::make_unique<BoardLink>(intervalMs_);
    return rest_->makeLink(device);
}

} // namespace quorvane::ui
