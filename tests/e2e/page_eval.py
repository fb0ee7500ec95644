#!/usr/bin/env python3
"""Evaluates one expression in each web page of a running copy, through the DevTools port that
Qt WebEngine opens for QTWEBENGINE_REMOTE_DEBUGGING, and prints one JSON line per page:
{"url": ..., "value": ...} or {"url": ..., "error": ...}. Promises are awaited.

Usage: page_eval.py HOST:PORT URL_PREFIX EXPRESSION
Only the standard library: a plain WebSocket client is enough for one request at a time."""
import base64
import json
import os
import socket
import struct
import sys
import urllib.request
from urllib.parse import urlparse

TIMEOUT = 20


def read_exact(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ConnectionError("the DevTools socket closed")
        data += chunk
    return data


def send_text(sock, text):
    payload = text.encode("utf-8")
    header = bytes([0x81])
    if len(payload) < 126:
        header += bytes([0x80 | len(payload)])
    elif len(payload) < 65536:
        header += bytes([0x80 | 126]) + struct.pack(">H", len(payload))
    else:
        header += bytes([0x80 | 127]) + struct.pack(">Q", len(payload))
    mask = os.urandom(4)
    sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))


def receive_text(sock):
    message = b""
    while True:
        first, second = read_exact(sock, 2)
        length = second & 0x7F
        if length == 126:
            length = struct.unpack(">H", read_exact(sock, 2))[0]
        elif length == 127:
            length = struct.unpack(">Q", read_exact(sock, 8))[0]
        payload = read_exact(sock, length)
        opcode = first & 0x0F
        if opcode == 0x8:
            raise ConnectionError("the DevTools socket closed")
        if opcode in (0x9, 0xA):
            continue
        message += payload
        if first & 0x80:
            return message.decode("utf-8")


def evaluate(ws_url, expression):
    url = urlparse(ws_url)
    sock = socket.create_connection((url.hostname, url.port), timeout=TIMEOUT)
    try:
        key = base64.b64encode(os.urandom(16)).decode()
        sock.sendall((f"GET {url.path} HTTP/1.1\r\nHost: {url.hostname}:{url.port}\r\n"
                      "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                      f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            head += read_exact(sock, 1)
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise ConnectionError(head.split(b"\r\n", 1)[0].decode(errors="replace"))
        send_text(sock, json.dumps({"id": 1, "method": "Runtime.evaluate", "params": {
            "expression": expression, "awaitPromise": True, "returnByValue": True}}))
        while True:
            reply = json.loads(receive_text(sock))
            if reply.get("id") != 1:
                continue
            if "error" in reply:
                return {"error": reply["error"].get("message", "error")}
            result = reply["result"]
            if "exceptionDetails" in result:
                details = result["exceptionDetails"]
                return {"error": details.get("exception", {}).get("description") or details.get("text")}
            return {"value": result["result"].get("value")}
    finally:
        sock.close()


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    endpoint, prefix, expression = sys.argv[1:]
    direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with direct.open(f"http://{endpoint}/json/list", timeout=TIMEOUT) as answer:
        targets = json.load(answer)
    for target in targets:
        if target.get("type") != "page" or not target.get("url", "").startswith(prefix):
            continue
        try:
            line = evaluate(target["webSocketDebuggerUrl"], expression)
        except (OSError, ValueError) as error:
            line = {"error": str(error)}
        line["url"] = target["url"]
        print(json.dumps(line), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
