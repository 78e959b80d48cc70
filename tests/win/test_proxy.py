#!/usr/bin/env python3
"""A forward proxy of the tests: plain http in absolute form and CONNECT for
https, each request line logged. Names under .invalid, which no resolver
answers, reach 127.0.0.1: that server is reachable through the proxy only.
  test_proxy.py PORT_FILE LOG"""
import os
import select
import socket
import socketserver
import sys
import threading

log_lock = threading.Lock()


def upstream(authority, default_port):
    host, _, port = authority.rpartition(":")
    if not host or not port.isdigit():
        host, port = authority, default_port
    host = "127.0.0.1" if host.lower().endswith(".invalid") else host
    return socket.create_connection((host, int(port)), 10)


def pipe(a, b):
    while True:
        ready, _, _ = select.select([a, b], [], [], 60)
        if not ready:
            return
        for s in ready:
            data = s.recv(65536)
            if not data:
                return
            (b if s is a else a).sendall(data)


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        client, head = self.request, b""
        while b"\r\n\r\n" not in head and len(head) < 65536:
            chunk = client.recv(65536)
            if not chunk:
                return
            head += chunk
        header, _, rest = head.partition(b"\r\n\r\n")
        lines = header.decode("latin-1").split("\r\n")
        method, target, version = (lines[0].split(" ") + ["", "", ""])[:3]
        with log_lock, open(self.server.log, "a") as f:
            f.write(lines[0] + "\n")
        try:
            if method == "CONNECT":
                server = upstream(target, 443)
                client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            elif target.lower().startswith("http://"):
                authority, _, path = target[7:].partition("/")
                server = upstream(authority, 80)
                kept = [l for l in lines[1:] if not l.lower().startswith(("connection:", "proxy-connection:"))]
                # One exchange per connection: the answer says "Connection: close".
                rest = "\r\n".join([f"{method} /{path} {version}"] + kept + ["Connection: close", "", ""]).encode(
                    "latin-1") + rest
            else:
                client.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return
            if rest:
                server.sendall(rest)
            pipe(client, server)
        except OSError:
            client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


if __name__ == "__main__":
    port_file, log = sys.argv[1], sys.argv[2]
    server = Server(("127.0.0.1", 0), Handler)
    server.log = log
    open(log, "a").close()
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(port_file + ".tmp", port_file)
    server.serve_forever()
