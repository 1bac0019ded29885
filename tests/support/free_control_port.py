#!/usr/bin/env python3
"""Prints a port P with P, P + 1 and P + 2 free for TCP and UDP on loopback (control, video, input)."""
import socket

while True:
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close()
    if p > 65000:
        continue
    try:
        for q in (p, p + 1, p + 2):
            for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                t = socket.socket(socket.AF_INET, kind); t.bind(("127.0.0.1", q)); t.close()
        print(p)
        break
    except OSError:
        pass
