#!/usr/bin/env python3
"""Starts a program and measures when its first datagram to UDP port 19771 arrives here, and
its resident memory a second later; then ends it with SIGTERM. Run inside the namespace that
receives. Prints one line: milliseconds to the first datagram, then VmRSS in KiB."""
import signal
import socket
import subprocess
import sys
import time

sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
sock.bind(("", 19771))
sock.settimeout(60)
start = time.monotonic()
proc = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    sock.recvfrom(65536)
    first = time.monotonic()
    time.sleep(1.0)
    rss = 0
    with open(f"/proc/{proc.pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    print(f"{(first - start) * 1000:.1f} {rss}")
finally:
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=15)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
