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

LinkFailure inUse()
{
    return LinkFailure{CommError::Kind::InUse, QStringLiteral("the port is in use by another program")};
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
        // May be reached from the notifier's own signal. Disabling it ends its wait on the
        // event before the event goes. The notifier outlives its link until the event loop
        // next turns: under Wine a thread-pool callback for an event signalled just before
        // can still post to it after the wait was cancelled.
        notifier->setEnabled(false);
        notifier->setParent(nullptr);
        // The event goes with the notifier: a wait still registered on it must not meet the
        // handle's value reused by the next open.
        const HANDLE event = ov.hEvent;
        QObject::connect(notifier, &QObject::destroyed, [event] { CloseHandle(event); });
        notifier->deleteLater();
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
            return inUse();
        case ERROR_ACCESS_DENIED: {
            // A serial driver lets one handle at a time open the port and refuses the next
            // with "access denied", whatever it asks for: an open that asks for nothing gets
            // through only when the port is free and it is the account that is refused.
            HANDLE probe = openDevice(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
            if (probe == INVALID_HANDLE_VALUE)
                return inUse();
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
    if (auto failure = claim()) {
        close();
        return failure;
    }
    if (auto failure = configure()) {
        close();
        return failure;
    }
    reader_ = std::make_unique<Pending>(this, &WinLink::onReadDone);
    writer_ = std::make_unique<Pending>(this, &WinLink::onWriteDone);
    wake_ = true;
    armRead();
    return std::nullopt;
}

std::optional<LinkFailure> WinLink::claim()
{
    // Wine-only allowance: Windows' serial drivers refuse a second open of a port, Wine's
    // emulation does not. A named mutex per port makes a second link in any of our programs
    // fail as it would on Windows, where this never decides anything.
    QString name = devicePath(device_).toUpper();
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const std::wstring mutex = (QStringLiteral("Local\\quorvane-port-") + name).toStdWString();
    claim_ = CreateMutexW(nullptr, FALSE, mutex.c_str());
    if (claim_ && GetLastError() == ERROR_ALREADY_EXISTS)
        return inUse();
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
    // Otherwise a line error would stop all reading and writing until cleared.
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
    // A read returns at once with what the driver holds; with nothing there it waits for
    // the first byte (49 days at most, then it is made again). Writes never time out.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = MAXDWORD - 1;
    if (!SetCommTimeouts(handle_, &timeouts))
        return LinkFailure{CommError::Kind::Io, systemText(GetLastError())};
    // Only a request: drivers may keep queues of their own size.
    SetupComm(handle_, kDriverQueueSize, kDriverQueueSize);
    return std::nullopt;
}

void WinLink::armRead()
{
    if (!handle_ || reading_ || !wake_ || lostSaid_)
        return;
    if (!inbox_.isEmpty()) {
        // Taken from the driver but not yet by the caller: wake it as for new bytes.
        QMetaObject::invokeMethod(this, &ByteLink::readyRead, Qt::QueuedConnection);
        return;
    }
    // One byte: with our timeouts Windows completes a read at the first byte whatever its
    // size, but Wine's emulation waits to fill it, so one byte is what wakes us on both.
    // read() then takes the rest the driver holds. A read made while bytes wait completes
    // at once; its completion comes through the event loop like any other.
    if (ReadFile(handle_, &readByte_, 1, nullptr, &reader_->ov) ||
        GetLastError() == ERROR_IO_PENDING) {
        reading_ = true;
        return;
    }
    lose(GetLastError());
}

void WinLink::onReadDone()
{
    if (!handle_ || !reading_)
        return;
    DWORD got = 0;
    const bool ok = GetOverlappedResult(handle_, &reader_->ov, &got, FALSE);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_INCOMPLETE)
        return;
    reading_ = false;
    ResetEvent(reader_->ov.hEvent);
    if (got > 0)
        inbox_.append(readByte_);
    if (error != ERROR_SUCCESS) {
        // A pulled USB adapter fails its pending read ("operation aborted", "bad command",
        // "access denied"; under Wine a hung-up line is a "broken pipe"). What it brought
        // before is still handed over by read().
        lose(error);
        return;
    }
    if (got > 0 && wake_)
        emit readyRead();
    armRead();
}

ByteLink::ReadResult WinLink::read(QByteArray &into, qsizetype max)
{
    ReadResult result;
    if (!handle_ || max <= 0)
        return result;
    // Bytes the pending read brought left the line before any still in the driver.
    const qsizetype early = std::min(max, inbox_.size());
    into.append(inbox_.constData(), early);
    inbox_.remove(0, early);
    result.count = early;
    max -= early;
    // While a read is pending it is the one that takes the next bytes.
    if (max <= 0 || reading_)
        return result;
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(handle_, &errors, &status)) {
        result.lost = true;
        result.reason = systemText(GetLastError());
        return result;
    }
    // Only what the driver holds: a read of an empty line would wait for the next byte.
    const DWORD want = DWORD(std::min<qsizetype>(qsizetype(status.cbInQue), max));
    if (want == 0)
        return result;
    const qsizetype at = into.size();
    into.resize(at + qsizetype(want));
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    DWORD error = ERROR_SUCCESS;
    if (!ReadFile(handle_, into.data() + at, want, &got, &ov)) {
        error = GetLastError();
        // The bytes are in the driver: this completes at once.
        if (error == ERROR_IO_PENDING)
            error = GetOverlappedResult(handle_, &ov, &got, TRUE) ? ERROR_SUCCESS : GetLastError();
    }
    CloseHandle(ov.hEvent);
    into.resize(at + qsizetype(got));
    result.count += qsizetype(got);
    if (error != ERROR_SUCCESS) {
        result.lost = true;
        result.reason = systemText(error);
    }
    return result;
}

void WinLink::setWakeOnData(bool on)
{
    wake_ = on;
    // While off, a read already pending is left to finish; its bytes wait for read() and
    // nothing is made again, so a busy line read on the caller's clock does not wake us per
    // byte. Back on, bytes already waiting wake the caller at once.
    if (!on || reading_ || !handle_)
        return;
    COMSTAT status{};
    DWORD errors = 0;
    if (inbox_.isEmpty() && ClearCommError(handle_, &errors, &status) && status.cbInQue > 0) {
        QMetaObject::invokeMethod(this, &ByteLink::readyRead, Qt::QueuedConnection);
        return;
    }
    armRead();
}

std::optional<LinkFailure> WinLink::write(const QByteArray &bytes)
{
    if (!handle_)
        return LinkFailure{CommError::Kind::NotOpen, QStringLiteral("the port is not open")};
    outbox_ += bytes;
    startWrite();
    return std::nullopt;
}

void WinLink::startWrite()
{
    if (!handle_ || writing_ || outbox_.isEmpty())
        return;
    inFlight_ = std::exchange(outbox_, QByteArray());
    if (WriteFile(handle_, inFlight_.constData(), DWORD(inFlight_.size()), nullptr, &writer_->ov) ||
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
    const bool ok = GetOverlappedResult(handle_, &writer_->ov, &sent, FALSE);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_INCOMPLETE)
        return;
    writing_ = false;
    ResetEvent(writer_->ov.hEvent);
    if (error != ERROR_SUCCESS) {
        lose(error);
        return;
    }
    if (qsizetype(sent) < inFlight_.size())
        outbox_.prepend(inFlight_.mid(qsizetype(sent)));
    inFlight_.clear();
    startWrite();
}

void WinLink::lose(unsigned long error)
{
    // The owner closes the link on this.
    if (lostSaid_)
        return;
    lostSaid_ = true;
    emit lost(systemText(DWORD(error)));
}

void WinLink::close()
{
    if (handle_) {
        // Whatever fails from here on is part of closing, not news for the owner.
        const bool gone = std::exchange(lostSaid_, true);
        // Letters handed over just before a close (All OFF, then Exit) still go out.
        while (writing_ && !gone &&
               WaitForSingleObject(writer_->ov.hEvent, kDrainMs) == WAIT_OBJECT_0)
            onWriteDone();
        // The OVERLAPPEDs and buffers must outlive the calls that use them.
        CancelIo(handle_);
        DWORD ignored = 0;
        if (reading_)
            GetOverlappedResult(handle_, &reader_->ov, &ignored, TRUE);
        if (writing_)
            GetOverlappedResult(handle_, &writer_->ov, &ignored, TRUE);
        reading_ = false;
        writing_ = false;
        CloseHandle(handle_);
        handle_ = nullptr;
    }
    if (claim_) {
        CloseHandle(claim_);
        claim_ = nullptr;
    }
    reader_.reset();
    writer_.reset();
    inbox_.clear();
    inFlight_.clear();
    outbox_.clear();
}

} // namespace quorvane::serial
