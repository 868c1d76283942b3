#!/usr/bin/env python3
"""The floor program's page server: on one loopback port it serves a page that opens a WebSocket
back to the same port and echoes every text frame it receives. Standard library only.

    echo_server.py PORT
"""
import base64, hashlib, socketserver, struct, sys

PAGE = b"""<!DOCTYPE html><html><head><meta charset="utf-8"><title>floor</title></head>
<body style="background:#3366cc"><script>
var socket = new WebSocket('ws://' + location.host + '/');
socket.onopen = function () { document.title = 'connected'; socket.send('hello'); };
</script></body></html>"""
MAGIC = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        head = {}
        request = self.rfile.readline()
        for line in iter(self.rfile.readline, b"\r\n"):
            if not line:
                return
            name, _, value = line.decode("latin-1").partition(":")
            head[name.strip().lower()] = value.strip()
        if "sec-websocket-key" not in head:
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
                             b"Connection: close\r\n\r\n" % len(PAGE) + PAGE)
            return
        accept = base64.b64encode(hashlib.sha1(head["sec-websocket-key"].encode() + MAGIC).digest())
        self.wfile.write(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                         b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n")
        while True:
            header = self.rfile.read(2)
            if len(header) < 2:
                return
            opcode, length = header[0] & 15, header[1] & 127
            if length == 126:
                length = struct.unpack(">H", self.rfile.read(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self.rfile.read(8))[0]
            mask = self.rfile.read(4)
            data = bytes(b ^ mask[i % 4] for i, b in enumerate(self.rfile.read(length)))
            if opcode == 8:
                return
            if opcode == 1 and length < 126:
                self.wfile.write(bytes([0x81, length]) + data)


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


if __name__ == "__main__":
    Server(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
