// SPDX-License-Identifier: MIT
// The panel's serial port: a small comm control with the properties the window's handlers
// use (CommPort, PortOpen, RThreshold, InputLen, Output, Input, CommEvent) and the OnComm
// notification, over QSerialPort. Fixed line settings: 9600 baud, 8N1, no handshaking,
// DTR on while open, RTS off. Text is Latin-1: one byte, one character.
#pragma once

#include "serial/bytelink.h"
#include "serial/commerror.h"
#include "serial/portmap.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

namespace quorvane::serial {

class CommControl : public QObject {
    Q_OBJECT
    Q_PROPERTY(qint16 CommPort READ commPort WRITE setCommPort)
    Q_PROPERTY(bool PortOpen READ portOpen WRITE setPortOpen)
    Q_PROPERTY(qint16 RThreshold READ rThreshold WRITE setRThreshold)
    Q_PROPERTY(qint16 InputLen READ inputLen WRITE setInputLen)
    Q_PROPERTY(QString Output READ output WRITE setOutput)
    Q_PROPERTY(QString Input READ input)
    Q_PROPERTY(qint16 CommEvent READ commEvent)

public:
    // Why OnComm was raised.
    enum Event : qint16 {
        EvNone = 0,
        EvReceive = 2,       // received characters reached RThreshold
        EvDeviceLost = 1100, // the device went away while open; the port is now closed
    };

    static constexpr qint16 kDefaultPort = 1;
    // Received characters held for Input; past this the rest waits in the device, so a line
    // faster than the handlers pushes back instead of growing memory.
    static constexpr qsizetype kQueueBound = 16 * 1024;
    // While bytes keep coming the line is read on this clock instead of once per byte; the
    // first byte after a quiet spell is still taken at once.
    static constexpr std::chrono::milliseconds kDefaultReadInterval{12};

    explicit CommControl(std::shared_ptr<const PortMap> map, QObject *parent = nullptr);
    ~CommControl() override;

    qint16 commPort() const { return commPort_; }
    void setCommPort(qint16 port); // throws CommError while open or for a number below 1

    bool portOpen() const { return link_ && link_->isOpen(); }
    void setPortOpen(bool open); // throws CommError; a failed open leaves the port closed

    qint16 rThreshold() const { return rThreshold_; }
    void setRThreshold(qint16 threshold);

    qint16 inputLen() const { return inputLen_; }
    void setInputLen(qint16 length);

    QString output() const { return {}; } // write-only in use; reads empty
    void setOutput(const QString &text);  // throws CommError while closed or on a write failure

    QString input(); // throws CommError while closed
    qint16 commEvent() const { return commEvent_; }

    // Received characters waiting to be read.
    qsizetype inBufferCount() const { return queue_.size() - queueHead_; }
    const PortMap &portMap() const { return *map_; }

    // How often a busy line is read; zero reads on every wake-up of the device.
    std::chrono::milliseconds readInterval() const { return readClock_.intervalAsDuration(); }
    void setReadInterval(std::chrono::milliseconds interval);

    // Sees every byte as it is taken from the line or written to it, for logs and captures.
    // It must not call back into the control.
    using Tap = std::function<void(bool toBoard, const char *data, qsizetype size)>;
    void setTap(Tap tap) { tap_ = std::move(tap); }

signals:
    void OnComm();

private:
    void openPort();
    void closePort();
    void onLinkLost();
    void intake();
    qsizetype pull();
    void pace(qsizetype got);
    bool receiveDue() const;
    void schedule();
    void dispatch();
    void raise(qint16 event);
    [[noreturn]] void fail(CommError::Kind kind, const QString &reason) const;

    std::shared_ptr<const PortMap> map_;
    // Kept after a close until the next open: a close may come from inside the link's calls.
    std::unique_ptr<ByteLink> link_;
    QString device_;
    qint16 commPort_ = kDefaultPort;
    qint16 rThreshold_ = 0;
    qint16 inputLen_ = 0;
    qint16 commEvent_ = EvNone;

    // Received bytes not yet read through Input: queue_[queueHead_..].
    QByteArray queue_;
    qsizetype queueHead_ = 0;
    bool full_ = false; // the queue had no room: bytes wait in the device until Input drains it

    Tap tap_;
    QTimer readClock_;

    bool dispatchPosted_ = false;
    bool dispatching_ = false;
    bool lostPending_ = false;
};

} // namespace quorvane::serial
