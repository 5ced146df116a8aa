// SPDX-License-Identifier: MIT
// The board's end of the serial line: a fresh pseudo-terminal pair, or an existing device.
#pragma once

#include <string>

namespace quorvane::sim {

class Line {
public:
    // A new pseudo-terminal pair; path() is the end the panel opens. Throws std::system_error.
    static Line createPty();
    // An existing serial device or socat end, set to 9600 8N1 raw. Throws std::system_error.
    static Line openDevice(const std::string &path);

    Line(Line &&other) noexcept;
    Line &operator=(Line &&other) = delete;
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;
    ~Line();

    int fd() const { return fd_; }
    const std::string &path() const { return path_; }
    bool isPty() const { return hold_ >= 0; }
    // Bytes written to a pseudo-terminal that the panel's end holds unread, or -1 when that
    // cannot be told. Bytes on their way in the kernel may not count yet.
    int unread() const;

private:
    Line(int fd, int hold, std::string path);

    int fd_ = -1;
    // Our own handle on the panel's end of a pseudo-terminal, so the line stays up (no EIO,
    // no hang-up) while no panel has it open.
    int hold_ = -1;
    std::string path_;
};

// Puts a terminal into raw 9600 8N1 mode with no handshaking.
void makeRaw(int fd);

} // namespace quorvane::sim
