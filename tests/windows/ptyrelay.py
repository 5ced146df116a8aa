#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Pseudo-terminals as COM ports for the Windows suites under Wine.

A Windows test cannot make a pseudo-terminal, so it asks this relay for one over a loopback
connection: the relay makes the pair, points PORTS/comN at the panel's end (the Wine prefix
maps COMn there, see wine-fixture; it takes effect at the next open of COMn) and answers
"COMn". From then on the connection
is the board's end: bytes sent on it go to the line, bytes the panel writes come back on it,
and closing it closes the master, as an unplugged adapter would. A connection that begins
"?COMn" instead gets that line's settings, as the kernel holds them.

    ptyrelay.py --ports DIR --port-file FILE [--pid-file FILE]
"""
import argparse
import os
import pty
import selectors
import signal
import socket
import sys
import termios
import tty

PORTS = range(1, 10)


class Line:
    def __init__(self, sock, number, ports):
        self.sock = sock
        self.number = number
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        # What another program may have left on the line: an open must set each of them.
        iflag, oflag, cflag, lflag, _, _, cc = termios.tcgetattr(self.slave)
        cflag = (cflag & ~termios.CSIZE) | termios.CS7 | termios.PARENB | termios.CSTOPB | termios.CRTSCTS
        termios.tcsetattr(self.slave, termios.TCSANOW, [iflag | termios.IXON | termios.IXOFF, oflag,
                          cflag, lflag, termios.B1200, termios.B1200, cc])
        # The relay keeps a descriptor of the panel's end so the master never reads a hang-up
        # while the panel has the port closed.
        os.set_blocking(self.master, False)
        self.link = os.path.join(ports, "com%d" % number)
        try:
            os.unlink(self.link)
        except FileNotFoundError:
            pass
        os.symlink(os.ttyname(self.slave), self.link)
        self.to_line = b""
        self.to_test = b""

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
        self.sock.close()


def settings(fd):
    iflag, _, cflag, _, ispeed, ospeed, _ = termios.tcgetattr(fd)
    size = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
    parity = "N" if not cflag & termios.PARENB else ("O" if cflag & termios.PARODD else "E")
    stop = 2 if cflag & termios.CSTOPB else 1
    speeds = {getattr(termios, n): n[1:] for n in dir(termios) if n.startswith("B") and n[1:].isdigit()}
    return "%s/%s %d%s%d crtscts=%d ixon=%d ixoff=%d" % (
        speeds.get(ispeed, "?"), speeds.get(ospeed, "?"), size, parity, stop,
        1 if cflag & termios.CRTSCTS else 0, 1 if iflag & termios.IXON else 0,
        1 if iflag & termios.IXOFF else 0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--ports", required=True)
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--pid-file")
    args = ap.parse_args()
    os.makedirs(args.ports, exist_ok=True)

    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    sel = selectors.DefaultSelector()
    sel.register(server, selectors.EVENT_READ, "accept")
    lines = {}     # number -> Line
    greeting = {}  # socket -> bytes of its first line so far

    def drop(line):
        for obj in (line.sock, line.master):
            try:
                sel.unregister(obj)
            except (KeyError, ValueError):
                pass
        line.close()
        lines.pop(line.number, None)

    def rearm(line):
        sel.modify(line.sock, selectors.EVENT_READ | (selectors.EVENT_WRITE if line.to_test else 0),
                   ("sock", line))
        sel.modify(line.master, (selectors.EVENT_READ if len(line.to_test) < 65536 else 0)
                   | (selectors.EVENT_WRITE if line.to_line else 0) or selectors.EVENT_READ,
                   ("master", line))

    with open(args.port_file + ".new", "w") as f:
        f.write("%d\n" % server.getsockname()[1])
    os.rename(args.port_file + ".new", args.port_file)
    if args.pid_file:
        with open(args.pid_file, "w") as f:
            f.write("%d\n" % os.getpid())
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    try:
        while True:
            for key, events in sel.select():
                tag = key.data
                if tag == "accept":
                    conn, _ = server.accept()
                    greeting[conn] = b""
                    sel.register(conn, selectors.EVENT_READ, ("greet", conn))
                    continue
                kind, obj = tag
                if kind == "greet":
                    data = obj.recv(64)
                    if not data:
                        sel.unregister(obj)
                        obj.close()
                        greeting.pop(obj, None)
                        continue
                    greeting[obj] += data
                    if b"\n" not in greeting[obj]:
                        continue
                    first, rest = greeting.pop(obj).split(b"\n", 1)
                    sel.unregister(obj)
                    if first.startswith(b"?COM"):
                        line = lines.get(int(first[4:]))
                        answer = settings(line.slave) if line else "no such line"
                        obj.sendall(answer.encode() + b"\n")
                        obj.close()
                        continue
                    free = [n for n in PORTS if n not in lines]
                    if not free:
                        obj.close()
                        continue
                    line = Line(obj, free[0], args.ports)
                    lines[line.number] = line
                    line.to_line = rest
                    obj.sendall(b"COM%d\n" % line.number)
                    obj.setblocking(False)
                    sel.register(obj, selectors.EVENT_READ, ("sock", line))
                    sel.register(line.master, selectors.EVENT_READ, ("master", line))
                    rearm(line)
                    continue
                line = obj
                if line.number not in lines:
                    continue
                if kind == "sock":
                    if events & selectors.EVENT_READ and len(line.to_line) < 65536:
                        try:
                            data = line.sock.recv(65536)
                        except (BlockingIOError, InterruptedError):
                            data = None
                        except OSError:
                            data = b""
                        if data == b"":
                            drop(line)  # the test let go of the board's end
                            continue
                        if data:
                            line.to_line += data
                    if events & selectors.EVENT_WRITE and line.to_test:
                        try:
                            n = line.sock.send(line.to_test)
                            line.to_test = line.to_test[n:]
                        except (BlockingIOError, InterruptedError):
                            pass
                        except OSError:
                            drop(line)
                            continue
                else:
                    if events & selectors.EVENT_READ:
                        try:
                            line.to_test += os.read(line.master, 65536)
                        except (BlockingIOError, InterruptedError):
                            pass
                        except OSError:
                            pass
                    if events & selectors.EVENT_WRITE and line.to_line:
                        try:
                            n = os.write(line.master, line.to_line)
                            line.to_line = line.to_line[n:]
                        except (BlockingIOError, InterruptedError):
                            pass
                # Flush toward the test at once where it takes them.
                if line.to_test:
                    try:
                        n = line.sock.send(line.to_test)
                        line.to_test = line.to_test[n:]
                    except (BlockingIOError, InterruptedError):
                        pass
                    except OSError:
                        drop(line)
                        continue
                if line.to_line:
                    try:
                        n = os.write(line.master, line.to_line)
                        line.to_line = line.to_line[n:]
                    except (BlockingIOError, InterruptedError):
                        pass
                rearm(line)
    finally:
        for line in list(lines.values()):
            line.close()


if __name__ == "__main__":
    main()
