#!/usr/bin/python3
"""Echoes each request back: "METHOD target", the header lines as received, an empty line,
then the body (chunked request bodies decoded). /cookie/set?name=value sets that cookie.
Usage: http_echo.py ADDRESS PORT LOGFILE"""
import http.server
import socketserver
import sys

import standin


class Echo(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def answer(self):
        payload = standin.read_body(self)
        head = "%s %s\n" % (self.command, self.path)
        head += "".join("%s: %s\n" % (k, v) for k, v in self.headers.items())
        out = head.encode("latin-1") + b"\n" + payload
        self.send_response(200)
        if self.path.startswith("/cookie/set?"):
            self.send_header("Set-Cookie", self.path.split("?", 1)[1] + "; Path=/")
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(out)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(out)

    do_GET = do_HEAD = do_POST = do_PUT = do_PATCH = do_DELETE = do_PROPFIND = do_MKCOL = answer

    def log_message(self, fmt, *args):
        with open(sys.argv[3], "a") as log:
            log.write(fmt % args + "\n")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


Server((sys.argv[1], int(sys.argv[2])), Echo).serve_forever()
