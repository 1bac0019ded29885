#!/usr/bin/env python3
"""Prints a port P with P, P + 1 and P + 2 free for TCP and UDP on loopback (control, video, input),
below the kernel's range of ephemeral ports: a host restarted on P must not find it taken as the
local end of some other program's outgoing connection."""
import random
import socket

with open("/proc/sys/net/ipv4/ip_local_port_range") as ports:
    ephemeral_low = int(ports.read().split()[0])
while True:
    p = random.randrange(min(10000, ephemeral_low // 2), ephemeral_low - 3)
    try:
        for q in (p, p + 1, p + 2):
            for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                t = socket.socket(socket.AF_INET, kind); t.bind(("127.0.0.1", q)); t.close()
        print(p)
        break
    except OSError:
        pass
