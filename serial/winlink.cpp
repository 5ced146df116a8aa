// SPDX-License-Identifier: MIT
#include "serial/winlink.h"

#include <QMetaObject>
#include <QWinEventNotifier>
#include <QtGlobal>

#include <algorithm>
#include <string>
#include <utility>

#include <windows.h>

namespace quorvane::serial {
namespace {

QString systemText(DWORD error)
{
    return qt_error_string(int(error));
}

HANDLE openDevice(const QString &path, DWORD access, DWORD share, DWORD flags)
{
    const std::wstring name = path.toStdWString();
    return CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

// How long a close waits for letters already handed over to leave; at 9600 baud a few
// letters take a few milliseconds.
constexpr DWORD kDrainMs = 500;

} // namespace

// One overlapped operation: its OVERLAPPED, the manual-reset event it signals and the
// notifier that brings that signal into the event loop.
struct WinLink::Pending {
    OVERLAPPED ov{};
    QWinEventNotifier *notifier = nullptr;

    template <typename Slot>
    Pending(WinLink *owner, Slot slot)
    {
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        notifier = new QWinEventNotifier(ov.hEvent, owner);
        QObject::connect(notifier, &QWinEventNotifier::activated, owner, slot);
    }
    ~Pending()
    {
        // May be reached from the notifier's own signal. Disabling it stops its wait on the
        // event before the event goes.
        notifier->setEnabled(false);
        notifier->deleteLater();
        CloseHandle(ov.hEvent);
    }
    Pending(const Pending &) = delete;
    Pending &operator=(const Pending &) = delete;
};

WinLink::WinLink(QString device, QObject *parent) : ByteLink(parent), device_(std::move(device))
{
}

WinLink::~WinLink()
{
    close();
}

QString WinLink::devicePath(const QString &device)
{
    if (device.startsWith(QLatin1String("\\\\")))
        return device;
    return QStringLiteral("\\\\.\\") + device;
}

std::optional<LinkFailure> WinLink::open()
{
    const QString path = devicePath(device_);
    HANDLE h = openDevice(path, GENERIC_READ | GENERIC_WRITE, 0, FILE_FLAG_OVERLAPPED);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
            return LinkFailure{CommError::Kind::NotFound,
                               QStringLiteral("no such device (%1)").arg(systemText(error))};
        case ERROR_SHARING_VIOLATION:
            return LinkFailure{CommError::Kind::InUse,
                               QStringLiteral("the port is in use by another program")};
        case ERROR_ACCESS_DENIED: {
            // A serial driver lets one handle at a time open the port and refuses the next
            // with "access denied", whatever it asks for: an open that asks for nothing gets
            // through only when the port is free and it is the account that is refused.
            HANDLE probe = openDevice(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
            if (probe == INVALID_HANDLE_VALUE)
                return LinkFailure{CommError::Kind::InUse,
                                   QStringLiteral("the port is in use by another program")};
            CloseHandle(probe);
            return LinkFailure{CommError::Kind::PermissionDenied,
                               QStringLiteral("Permission denied")};
        }
        default:
            return LinkFailure{CommError::Kind::Io, systemText(error)};
        }
    }
    handle_ = h;
    lostSaid_ = false;
    if (auto failure = configure()) {
        close();
        return failure;
    }
    readEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wait_ = std::make_unique<Pending>(this, &WinLink::onWaitDone);
    write_ = std::make_unique<Pending>(this, &WinLink::onWriteDone);
    wake_ = true;
    armWait();
    return std::nullopt;
}

std::optional<LinkFailure> WinLink::configure()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb))
        return LinkFailure{CommError::Kind::Io, systemText(GetLastError())};
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    // Without this a line error would stop all reading and writing until cleared.
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    if (!SetCommState(handle_, &dcb)) {
        // Devices without modem-control lines may refuse DTR; that does not make the port
        // unusable (the same allowance as on Linux).
        const DWORD error = GetLastError();
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        if (!SetCommState(handle_, &dcb))
            return LinkFailure{CommError::Kind::Io, systemText(error)};
    }
    // A read returns at once with what the driver holds; writes never time out.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!SetCommTimeouts(handle_, &timeouts))
        return LinkFailure{CommError::Kind::Io, systemText(GetLastError())};
    // Only a request: drivers may keep queues of their own size.
    SetupComm(handle_, kDriverQueueSize, kDriverQueueSize);
    if (!SetCommMask(handle_, EV_RXCHAR | EV_ERR))
        return LinkFailure{CommError::Kind::Io, systemText(GetLastError())};
    return std::nullopt;
}

void WinLink::armWait()
{
    if (!handle_ || waiting_ || !wake_)
        return;
    // Bytes that came in while nobody waited may have set no event the wait could report.
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(handle_, &errors, &status)) {
        lose(GetLastError());
        return;
    }
    if (status.cbInQue > 0) {
        QMetaObject::invokeMethod(this, &ByteLink::readyRead, Qt::QueuedConnection);
        return;
    }
    eventMask_ = 0;
    if (WaitCommEvent(handle_, &eventMask_, &wait_->ov) || GetLastError() == ERROR_IO_PENDING) {
        // Completed at once or not: either way the event is set when it is done.
        waiting_ = true;
        return;
    }
    lose(GetLastError());
}

void WinLink::onWaitDone()
{
    if (!handle_ || !waiting_)
        return;
    DWORD ignored = 0;
    if (!GetOverlappedResult(handle_, &wait_->ov, &ignored, FALSE)) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return;
        waiting_ = false;
        ResetEvent(wait_->ov.hEvent);
        lose(error);
        return;
    }
    waiting_ = false;
    ResetEvent(wait_->ov.hEvent);
    // The mask is not looked at: Wine may report an empty one while bytes are waiting, and
    // an error event means the same to us, a look at the line.
    if (wake_)
        emit readyRead();
    armWait();
}

std::optional<LinkFailure> WinLink::write(const QByteArray &bytes)
{
    if (!handle_)
        return LinkFailure{CommError::Kind::NotOpen, QStringLiteral("the port is not open")};
    outbox_ += bytes;
    if (!writing_)
        startWrite();
    return std::nullopt;
}

void WinLink::startWrite()
{
    if (!handle_ || writing_ || outbox_.isEmpty())
        return;
    inFlight_ = std::exchange(outbox_, QByteArray());
    if (WriteFile(handle_, inFlight_.constData(), DWORD(inFlight_.size()), nullptr, &write_->ov) ||
        GetLastError() == ERROR_IO_PENDING) {
        writing_ = true;
        return;
    }
    lose(GetLastError());
}

void WinLink::onWriteDone()
{
    if (!handle_ || !writing_)
        return;
    DWORD sent = 0;
    if (!GetOverlappedResult(handle_, &write_->ov, &sent, FALSE)) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return;
        writing_ = false;
        ResetEvent(write_->ov.hEvent);
        lose(error);
        return;
    }
    writing_ = false;
    ResetEvent(write_->ov.hEvent);
    if (qsizetype(sent) < inFlight_.size())
        outbox_.prepend(inFlight_.mid(qsizetype(sent)));
    inFlight_.clear();
    startWrite();
}

ByteLink::ReadResult WinLink::read(QByteArray &into, qsizetype max)
{
    ReadResult result;
    if (!handle_ || max <= 0)
        return result;
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(handle_, &errors, &status)) {
        result.lost = true;
        result.reason = systemText(GetLastError());
        return result;
    }
    const DWORD want = DWORD(std::min<qsizetype>(qsizetype(status.cbInQue), max));
    if (want == 0)
        return result;
    const qsizetype at = into.size();
    into.resize(at + qsizetype(want));
    OVERLAPPED ov{};
    ov.hEvent = readEvent_;
    DWORD got = 0;
    DWORD error = ERROR_SUCCESS;
    if (!ReadFile(handle_, into.data() + at, want, &got, &ov)) {
        error = GetLastError();
        // The bytes are in the driver and reads do not wait for more: this completes at once.
        if (error == ERROR_IO_PENDING)
            error = GetOverlappedResult(handle_, &ov, &got, TRUE) ? ERROR_SUCCESS : GetLastError();
    }
    into.resize(at + qsizetype(got));
    result.count = qsizetype(got);
    if (error != ERROR_SUCCESS) {
        result.lost = true;
        result.reason = systemText(error);
    }
    return result;
}

void WinLink::setWakeOnData(bool on)
{
    wake_ = on;
    // While off, a wait already in flight is left to finish; its completion just re-arms
    // nothing, so a busy line read on the caller's clock does not wake us per byte.
    if (on)
        armWait();
}

void WinLink::lose(unsigned long error)
{
    // The device went away (a pulled USB adapter fails its pending calls with "operation
    // aborted", "bad command" or "access denied"); the owner closes the link.
    if (lostSaid_)
        return;
    lostSaid_ = true;
    emit lost(systemText(DWORD(error)));
}

void WinLink::close()
{
    if (!handle_)
        return;
    // Whatever fails from here on is part of closing, not news for the owner.
    const bool gone = std::exchange(lostSaid_, true);
    // Letters handed over just before a close (All OFF, then Exit) still go out.
    while (writing_ && !gone &&
           WaitForSingleObject(write_->ov.hEvent, kDrainMs) == WAIT_OBJECT_0)
        onWriteDone();
    // Ends a pending WaitCommEvent, then cancels whatever is left; the OVERLAPPEDs must not
    // go before their calls have finished with them.
    SetCommMask(handle_, 0);
    CancelIo(handle_);
    DWORD ignored = 0;
    if (waiting_)
        GetOverlappedResult(handle_, &wait_->ov, &ignored, TRUE);
    if (writing_)
        GetOverlappedResult(handle_, &write_->ov, &ignored, TRUE);
    waiting_ = false;
    writing_ = false;
    CloseHandle(handle_);
    handle_ = nullptr;
    wait_.reset();
    write_.reset();
    if (readEvent_) {
        CloseHandle(readEvent_);
        readEvent_ = nullptr;
    }
    inFlight_.clear();
    outbox_.clear();
}

} // namespace quorvane::serial
