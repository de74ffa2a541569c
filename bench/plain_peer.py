#!/usr/bin/env python3
"""The plain peer of the latency bench: what a Linux user would write instead
of the library. Opens a serial device raw at 9600 baud, reads it with os.read
and prints every CR LF line at once.

  plain_peer.py DEVICE [COUNT]     stops after COUNT lines (default: never)
"""
import os
import sys
import termios
import tty

fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
a = termios.tcgetattr(fd)
a[4] = a[5] = termios.B9600
termios.tcsetattr(fd, termios.TCSANOW, a)
limit = int(sys.argv[2]) if len(sys.argv) > 2 else 0
out = sys.stdout.buffer
buf = b""
n = 0
while True:
    data = os.read(fd, 4096)
    if not data:
        break
    buf += data
    *lines, buf = buf.split(b"\r\n")
    for line in lines:
        out.write(line + b"\n")
        out.flush()
        n += 1
        if n == limit:
            sys.exit(0)
