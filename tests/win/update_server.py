#!/usr/bin/env python3
"""A scripted update server for the tests and the demo, on loopback only.

Serves the files under --root at their paths. A file `faults.json` in the root
maps a request path to a misbehaviour, read at every request:
  "404" / "500"          that status, with a small body and its length
  "nolength"             the body in chunked form, no Content-Length
  "short"                a Content-Length 100 bytes longer than the body, then close
  "length:TEXT"          the body with the Content-Length header set to TEXT
  "hang"                 accept and never answer (until the client goes away)
  "html"                 200 with an HTML page instead of the file
  "slow"                 the whole body, 8 KiB every 40 ms (about 200 KB/s)
  "trickle:BYTES:MS"     the whole body with its length, BYTES every MS milliseconds
  "redirect:LOCATION"    302 with that Location header (absolute or relative)
Each request is appended to `requests.log` in the root.
"""
import argparse
import http.server
import json
import os
import socketserver
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."

    def log_message(self, fmt, *args):  # quiet; the requests go to requests.log
        pass

    def fault(self):
        try:
            with open(os.path.join(self.root, "faults.json"), encoding="utf-8") as f:
                return json.load(f).get(self.path.split("?")[0])
        except (OSError, ValueError):
            return None

    def send_body(self, status, body, length=None, ctype="application/octet-stream"):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)) if length is None else length)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        with open(os.path.join(self.root, "requests.log"), "a", encoding="utf-8") as log:
            log.write(self.path + "\n")
        path = self.path.split("?")[0]
        local = os.path.normpath(os.path.join(self.root, path.lstrip("/")))
        if not local.startswith(os.path.abspath(self.root)):
            return self.send_body(403, b"forbidden")
        fault = self.fault()
        if fault == "hang":
            # Never answer; the thread ends with the server at the end of the session.
            time.sleep(600)
            self.close_connection = True
            return
        if fault in ("404", "500"):
            return self.send_body(int(fault), b"<html><body>erro</body></html>", ctype="text/html")
        if isinstance(fault, str) and fault.startswith("redirect:"):
            self.send_response(302)
            self.send_header("Location", fault[len("redirect:"):])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if fault == "html":
            return self.send_body(200, b"<html><body>Entre com sua senha</body></html>", ctype="text/html")
        if not os.path.isfile(local):
            return self.send_body(404, b"<html><body>not found</body></html>", ctype="text/html")
        with open(local, "rb") as f:
            body = f.read()
        if fault == "nolength":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for i in range(0, len(body), 4096):
                part = body[i:i + 4096]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
            self.wfile.write(b"0\r\n\r\n")
            return
        if fault == "slow":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            for i in range(0, len(body), 8192):
                self.wfile.write(body[i:i + 8192])
                self.wfile.flush()
                time.sleep(0.04)
            return
        if isinstance(fault, str) and fault.startswith("trickle:"):
            step, pause = (int(x) for x in fault.split(":")[1:3])
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            try:
                for i in range(0, len(body), step):
                    self.wfile.write(body[i:i + step])
                    self.wfile.flush()
                    time.sleep(pause / 1000.0)
            except OSError:  # the client gave up
                self.close_connection = True
            return
        if fault == "short":
            self.close_connection = True
            return self.send_body(200, body, length=str(len(body) + 100))
        if isinstance(fault, str) and fault.startswith("length:"):
            self.close_connection = True
            return self.send_body(200, body, length=fault[len("length:"):])
        self.send_body(200, body)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--port-file", required=True)
    args = ap.parse_args()
    Handler.root = os.path.abspath(args.root)
    os.makedirs(Handler.root, exist_ok=True)
    server = Server(("127.0.0.1", 0), Handler)
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(args.port_file + ".tmp", args.port_file)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
