// SPDX-License-Identifier: MIT
// The seam between the comm control and whatever carries the bytes: a serial device today,
// other carriers behind the same few calls. A link only moves bytes; queueing, pacing and
// notifications are the comm control's.
#pragma once

#include "serial/commerror.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

namespace quorvane::serial {

struct LinkFailure {
    CommError::Kind kind;
    QString reason;
};

class ByteLink : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    struct ReadResult {
        qsizetype count = 0; // bytes appended
        bool lost = false;   // the device went away; the link must be closed
        QString reason;      // why, when lost
    };

    // Links report failure by what they return; the comm control turns it into a CommError.
    [[nodiscard]] virtual std::optional<LinkFailure> open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Queues `bytes` for sending at once, without waiting for them to leave.
    [[nodiscard]] virtual std::optional<LinkFailure> write(const QByteArray &bytes) = 0;
    // Appends at most `max` waiting bytes to `into`, without blocking.
    virtual ReadResult read(QByteArray &into, qsizetype max) = 0;
    // Whether arriving bytes raise readyRead. Off while the caller reads on its own clock, so
    // a busy line does not wake the program once per byte.
    virtual void setWakeOnData(bool on) = 0;

signals:
    void readyRead();
    void lost(const QString &reason);
};

} // namespace quorvane::serial
