#!/usr/bin/python3
"""A recording stand-in (standin.py) in front of a real S3 server: each request is recorded, then
passed on unchanged (Host included) to $VUX_S3_UPSTREAM ("host:port", plain HTTP) and its answer
handed back. With $VUX_S3_TLS = "CERT:KEY" the stand-in itself speaks HTTPS.
Usage: s3_proxy.py ADDRESS PORT DIR"""
import http.client
import os
import ssl
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import standin  # noqa: E402

HOP = {"connection", "keep-alive", "transfer-encoding", "content-length", "expect"}


class Proxy(standin.Service):
    def __init__(self, upstream):
        self.upstream = upstream

    def handle(self, req):
        target = req.raw_path + ("?" + req.query if "?" in req.target else "")
        headers = {k: v for k, v in req.headers if k.lower() not in HOP}
        if req.body or req.method in ("PUT", "POST"):
            headers["Content-Length"] = str(len(req.body))
        conn = http.client.HTTPConnection(self.upstream, timeout=60)
        try:
            conn.request(req.method, target, body=req.body, headers=headers)
            resp = conn.getresponse()
            data = resp.read()
            answer = {k: v for k, v in resp.getheaders() if k.lower() not in HOP}
            return resp.status, answer, data
        finally:
            conn.close()


class Request(standin.Request):
    def __init__(self, method, target, headers, body):
        super().__init__(method, target, headers, body)
        self.target = target


def main():
    standin.Request = Request
    server = standin.Server((sys.argv[1], int(sys.argv[2])), standin.Handler)
    server.service = Proxy(os.environ["VUX_S3_UPSTREAM"])
    server.dir = sys.argv[3]
    server.lock = threading.Lock()
    server.script = []
    tls = os.environ.get("VUX_S3_TLS")
    if tls:
        cert, key = tls.split(":", 1)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
