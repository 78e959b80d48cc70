#!/usr/bin/env python3
"""A small forward proxy for the tests: plain-http requests in absolute form
and CONNECT tunnels for https, each request line written to a log file.
Names under .invalid, which no resolver answers, reach 127.0.0.1: a server
the machine itself cannot find is reachable through the proxy only.

  test_proxy.py --port-file FILE --log FILE
"""
import argparse
import select
import socket
import socketserver
import threading

log_lock = threading.Lock()


def resolve(host):
    return "127.0.0.1" if host.lower().endswith(".invalid") else host


def split_host(authority, default_port):
    host, _, port = authority.rpartition(":")
    if not host or not port.isdigit():
        return authority, default_port
    return host, int(port)


def pipe(a, b):
    socks = [a, b]
    while True:
        ready, _, _ = select.select(socks, [], [], 60)
        if not ready:
            return
        for s in ready:
            data = s.recv(65536)
            if not data:
                return
            (b if s is a else a).sendall(data)


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        client = self.request
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = client.recv(65536)
            if not chunk:
                return
            head += chunk
            if len(head) > 65536:
                return
        header, _, rest = head.partition(b"\r\n\r\n")
        lines = header.decode("latin-1").split("\r\n")
        method, target, version = (lines[0].split(" ") + ["", "", ""])[:3]
        with log_lock, open(self.server.log, "a") as f:
            f.write(lines[0] + "\n")
        try:
            if method == "CONNECT":
                host, port = split_host(target, 443)
                upstream = socket.create_connection((resolve(host), port), 10)
                client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                if rest:
                    upstream.sendall(rest)
                pipe(client, upstream)
                return
            if not target.lower().startswith("http://"):
                client.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return
            authority, _, path = target[7:].partition("/")
            host, port = split_host(authority, 80)
            upstream = socket.create_connection((resolve(host), port), 10)
            kept = [l for l in lines[1:] if not l.lower().startswith(("connection:", "proxy-connection:"))]
            request = "\r\n".join([f"{method} /{path} {version}"] + kept + ["Connection: close", "", ""])
            upstream.sendall(request.encode("latin-1") + rest)
            # One exchange per connection: the answer says "Connection: close".
            pipe(client, upstream)
        except OSError:
            client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--log", required=True)
    args = ap.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    server.log = args.log
    open(args.log, "a").close()
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    import os
    os.replace(args.port_file + ".tmp", args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
