// SPDX-License-Identifier: MIT
// A Windows COM port as a byte link: 9600 baud, 8N1, no handshaking, DTR on, RTS off, through
// Win32 overlapped I/O. Nothing waits in a thread of its own: while the caller wants to be
// woken, one read is left pending in the driver, and its completion, like a write's, signals
// an event that the event loop watches.
#pragma once

#include "serial/bytelink.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QWinEventNotifier;

namespace quorvane::serial {

class WinLink final : public ByteLink {
    Q_OBJECT
public:
    static constexpr unsigned kDriverQueueSize = 4096;

    explicit WinLink(QString device, QObject *parent = nullptr);
    ~WinLink() override;

    [[nodiscard]] std::optional<LinkFailure> open() override;
    void close() override;
    bool isOpen() const override { return handle_ != nullptr; }
    [[nodiscard]] std::optional<LinkFailure> write(const QByteArray &bytes) override;
    ReadResult read(QByteArray &into, qsizetype max) override;
    void setWakeOnData(bool on) override;

    // "COM3" opens \\.\COM3, the form that also reaches COM10 and above.
    static QString devicePath(const QString &device);

private:
    struct Pending; // an OVERLAPPED with its event and notifier

    [[nodiscard]] std::optional<LinkFailure> configure();
    [[nodiscard]] std::optional<LinkFailure> claim();
    void armRead();
    void onReadDone();
    void startWrite();
    void onWriteDone();
    void lose(unsigned long error);

    QString device_;
    void *handle_ = nullptr; // HANDLE; null while closed
    void *claim_ = nullptr;  // the port's mutex, see claim()
    std::unique_ptr<Pending> reader_;
    std::unique_ptr<Pending> writer_;
    bool reading_ = false; // a ReadFile into readByte_ is in flight
    bool writing_ = false; // a WriteFile of inFlight_ is in flight
    bool wake_ = true;
    bool lostSaid_ = false;
    char readByte_ = 0;     // the pending read's; must stay put while it is in flight
    QByteArray inbox_;      // what a completed pending read brought, not yet taken
    QByteArray inFlight_;   // must stay put until its write completes
    QByteArray outbox_;     // written while another write was in flight
};

} // namespace quorvane::serial
