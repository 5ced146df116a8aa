// SPDX-License-Identifier: MIT
// A serial device as a byte link: 9600 baud, 8N1, no handshaking, DTR on, RTS off.
#pragma once

#include "serial/bytelink.h"

#include <QSerialPort>

class QSocketNotifier;

namespace quorvane::serial {

class SerialLink final : public ByteLink {
    Q_OBJECT
public:
    static constexpr int kReceiveBufferSize = 1024;

    explicit SerialLink(QString device, QObject *parent = nullptr);
    ~SerialLink() override;

    [[nodiscard]] std::optional<LinkFailure> open() override;
    void close() override;
    bool isOpen() const override { return port_.isOpen(); }
    [[nodiscard]] std::optional<LinkFailure> write(const QByteArray &bytes) override;
    ReadResult read(QByteArray &into, qsizetype max) override;
    void setWakeOnData(bool on) override;

private:
    [[nodiscard]] std::optional<LinkFailure> openFailure();
    [[nodiscard]] std::optional<LinkFailure> setModemLine(bool (QSerialPort::*set)(bool), bool on);
    void takeOverReading();
    void onError(QSerialPort::SerialPortError error);

    QString device_;
    QSerialPort port_;
    // Where we read the descriptor ourselves: our notifier replaces QSerialPort's, which
    // cannot be paused, so the line can be read on our own clock while it is busy.
    QSocketNotifier *notifier_ = nullptr;
    bool wake_ = true;
};

} // namespace quorvane::serial
