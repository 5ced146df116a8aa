// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <stdexcept>

namespace quorvane::serial {

// A failure of the comm control. The message names the port number, the device and the
// system's reason, e.g. "Port 3 (/dev/ttyUSB2): Permission denied".
class CommError : public std::runtime_error {
public:
    enum class Kind {
        BadPortNumber, // 0, negative, or beyond what the system has
        NotFound,      // the device does not exist
        InUse,         // another program holds the port
        PermissionDenied,
        AlreadyOpen,       // CommPort written, or PortOpen set, while open
        NotOpen,           // Input or Output while closed
        Io,                // any other failure of the device
        BrokerUnreachable, // a board behind a bridge: the broker cannot be reached
        BoardOffline,      // a board behind a bridge: the bridge says it is not there
        BrokerCredentials, // a board behind a bridge: the broker refused the user or password
    };

    CommError(Kind kind, int port, const QString &device, const QString &reason);

    Kind kind() const noexcept { return kind_; }
    int port() const noexcept { return port_; }
    const QString &device() const noexcept { return device_; }
    const QString &reason() const noexcept { return reason_; }
    QString message() const { return QString::fromUtf8(what()); }

private:
    Kind kind_;
    int port_;
    QString device_;
    QString reason_;
};

} // namespace quorvane::serial
