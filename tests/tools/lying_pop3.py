#!/usr/bin/env python3
"""A POP3 server that lies, for the tools test: on 127.0.0.1, a free port written to the
file named by the first argument. The user name picks the lie:

  hugestat   STAT claims 3000000000 messages
  maxstat    STAT claims 2147483647 messages
  wrapstat   STAT claims 4294967297 messages (1 once cut to 32 bits)
  hugelist   LIST claims a size of 4294965296 bytes
  escpass    PASS is refused with a text full of terminal escape sequences
  escstat    STAT is refused with such a text
  escape     TOP and UIDL answer with such texts

Anyone else sees one honest message. Connections are served one after another until the
process is killed.
"""
import os
import socket
import sys

# ESC sequences (colour, clear screen, window title ended by BEL), a raw C1 CSI, DEL,
# and a UTF-8 encoded C1 CSI.
EVIL = b"\x1b[31mred\x1b[2J\x1b]0;owned\x07 \x9b6n \x7f \xc2\x9b2J caf\xc3\xa9"
MESSAGE = b"Subject: honest\r\n\r\nbody\r\n"


def reply(user, cmd, arg):
    if cmd == b"USER":
        return b"+OK"
    if cmd == b"PASS":
        return b"-ERR " + EVIL if user == b"escpass" else b"+OK"
    if cmd == b"STAT":
        counts = {b"hugestat": b"3000000000", b"maxstat": b"2147483647", b"wrapstat": b"4294967297"}
        if user == b"escstat":
            return b"-ERR " + EVIL
        return b"+OK " + counts.get(user, b"1") + b" " + str(len(MESSAGE)).encode()
    if cmd == b"LIST":
        size = b"4294965296" if user == b"hugelist" else str(len(MESSAGE)).encode()
        return b"+OK " + arg + b" " + size
    if cmd == b"UIDL":
        uid = b"uid" + EVIL if user == b"escape" else b"uid1"
        return b"+OK 1 " + uid if arg else b"+OK\r\n1 " + uid + b"\r\n."
    if cmd == b"TOP":
        header = b"Subject: " + EVIL + b"\r\n" if user == b"escape" else MESSAGE
        return b"+OK\r\n" + header + b"."
    if cmd == b"RETR":
        return b"+OK\r\n" + MESSAGE + b"."
    if cmd in (b"DELE", b"NOOP", b"RSET"):
        return b"+OK"
    return b"-ERR unknown command"


def serve(conn):
    f = conn.makefile("rb")
    conn.sendall(b"+OK lying server ready <1.2@zem.test>\r\n")
    user = b""
    for line in f:
        parts = line.rstrip(b"\r\n").split(b" ", 1)
        cmd, arg = parts[0].upper(), parts[1] if len(parts) > 1 else b""
        if cmd == b"USER":
            user = arg
        if cmd == b"QUIT":
            conn.sendall(b"+OK bye\r\n")
            return
        conn.sendall(reply(user, cmd, arg) + b"\r\n")


def main():
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(8)
    with open(sys.argv[1] + ".tmp", "w") as out:
        out.write(str(srv.getsockname()[1]))
    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    while True:
        conn, _ = srv.accept()
        with conn:
            try:
                serve(conn)
            except OSError:
                pass


if __name__ == "__main__":
    main()
