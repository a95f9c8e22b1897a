#!/usr/bin/python3
"""What every stand-in for a web service that cannot be reached from here shares: a threaded HTTP
server on ADDRESS PORT that records each request it receives as one JSON line in
DIR/requests.jsonl ({"method", "path", "query", "headers": [[name, value], ...], "body": base64}),
and answers from canned responses before the service's own logic.

A canned response is posted as JSON to /__script: {"method": M, "path": P, "status": S,
"headers": {...}, "body": "text", "times": N}; the next N requests (default 1) with that method
and path (either may be omitted to match any) get it. /__script requests are not recorded.

A service subclasses Service and defines handle(self, req), returning (status, headers, body);
req has method, path, query (the raw text after "?"), params (parsed query), headers and body.
With VUX_STANDIN_CERT and VUX_STANDIN_KEY (PEM files) in its environment it speaks HTTPS.
Usage: SCRIPT ADDRESS PORT DIR"""
import base64
import http.server
import json
import os
import socketserver
import ssl
import sys
import threading
import urllib.parse


class Request:
    def __init__(self, method, target, headers, body):
        self.method = method
        path, _, query = target.partition("?")
        self.path = urllib.parse.unquote(path)
        self.raw_path = path
        self.query = query
        self.params = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
        self.headers = headers
        self.body = body

    def header(self, name, default=None):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return default

    def json(self):
        return json.loads(self.body.decode("utf-8"))


def json_answer(status, value, headers=None):
    head = {"Content-Type": "application/json"}
    head.update(headers or {})
    return status, head, json.dumps(value).encode("utf-8")


class Service:
    """The state of one service; handle() runs under a lock, one request at a time."""

    def handle(self, req):
        return 404, {}, b"no such call"


def read_body(handler):
    """The request body of a BaseHTTPRequestHandler, chunked bodies decoded."""
    if handler.headers.get("Transfer-Encoding", "").lower() == "chunked":
        data = bytearray()
        while True:
            size = int(handler.rfile.readline().split(b";")[0], 16)
            if size == 0:
                while handler.rfile.readline() not in (b"\r\n", b"\n", b""):
                    pass
                return bytes(data)
            data += handler.rfile.read(size)
            handler.rfile.readline()
    return handler.rfile.read(int(handler.headers.get("Content-Length", "0")))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def read_body(self):
        return read_body(self)

    def answer(self):
        if self.headers.get("Expect", "").lower() == "100-continue":
            self.send_response_only(100)
            self.end_headers()
        body = self.read_body()
        req = Request(self.command, self.path, list(self.headers.items()), body)
        server = self.server
        if req.path == "/__script":
            with server.lock:
                server.script.append(json.loads(body.decode("utf-8")))
            status, headers, payload = 200, {}, b""
        else:
            with server.lock:
                with open(os.path.join(server.dir, "requests.jsonl"), "a") as log:
                    log.write(json.dumps({
                        "method": req.method, "path": req.raw_path, "query": req.query,
                        "headers": req.headers, "body": base64.b64encode(body).decode("ascii")}) + "\n")
                canned = self.take_canned(req)
                if canned is not None:
                    status = canned.get("status", 200)
                    headers = canned.get("headers", {})
                    payload = canned.get("body", "").encode("utf-8")
                else:
                    status, headers, payload = server.service.handle(req)
        self.send_response(status)
        for key, value in headers.items():
            self.send_header(key, value)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(payload)

    def take_canned(self, req):
        for entry in self.server.script:
            if entry.get("method", req.method) == req.method and entry.get("path", req.path) == req.path:
                entry["times"] = entry.get("times", 1) - 1
                if entry["times"] <= 0:
                    self.server.script.remove(entry)
                return entry
        return None

    do_GET = do_HEAD = do_POST = do_PUT = do_PATCH = do_DELETE = do_PROPFIND = do_MKCOL = answer

    def log_message(self, fmt, *args):
        with open(os.path.join(self.server.dir, "access.log"), "a") as log:
            log.write(fmt % args + "\n")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def serve(service):
    server = Server((sys.argv[1], int(sys.argv[2])), Handler)
    server.service = service
    server.dir = sys.argv[3]
    server.lock = threading.Lock()
    server.script = []
    if os.environ.get("VUX_STANDIN_CERT"):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.environ["VUX_STANDIN_CERT"], os.environ["VUX_STANDIN_KEY"])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    serve(Service())
