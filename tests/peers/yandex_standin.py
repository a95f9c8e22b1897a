#!/usr/bin/python3
"""Yandex Disk as its WebDAV API describes it, files kept in memory: PUT (201; 409 without the
parent; 412 when an Etag or Sha256 header does not match the content), GET, DELETE (204 for a
file; 202 for a directory, which goes after two more PROPFINDs), MKCOL (201; 405 when it exists;
409 without the parent), PROPFIND Depth 1 (207 multistatus in the DAV: namespace). Every disk
request needs "Authorization: OAuth good-token" (or a token from /token), else 401.

The token service: POST /token with "Authorization: Basic base64(yandex-id:yandex-secret)" and
the form grant_type=authorization_code&code=good-code answers {"access_token": "issued-token"};
other credentials 401 {"error": "invalid_client"}, other codes 400 {"error": "invalid_grant"}.
Usage: SCRIPT ADDRESS PORT DIR"""
import base64
import hashlib
import urllib.parse
from xml.sax.saxutils import escape

import standin


class Disk(standin.Service):
    def __init__(self):
        self.files = {}
        self.dirs = {"/"}
        self.tokens = {"good-token"}
        # directory -> PROPFINDs still to answer before it is gone
        self.going = {}

    def handle(self, req):
        if req.path == "/token":
            return self.token(req)
        if req.header("Authorization") not in ["OAuth " + t for t in self.tokens]:
            return 401, {}, b"Unauthorized"
        path = req.path.rstrip("/") or "/"
        return getattr(self, req.method.lower())(req, path)

    def token(self, req):
        if req.method != "POST":
            return 405, {}, b""
        basic = "Basic " + base64.b64encode(b"yandex-id:yandex-secret").decode()
        if req.header("Authorization") != basic:
            return standin.json_answer(401, {"error": "invalid_client", "error_description": "Wrong client secret"})
        form = dict(urllib.parse.parse_qsl(req.body.decode()))
        if form.get("grant_type") != "authorization_code" or form.get("code") != "good-code":
            return standin.json_answer(400, {"error": "invalid_grant", "error_description": "Code has expired"})
        self.tokens.add("issued-token")
        return standin.json_answer(200, {"access_token": "issued-token", "token_type": "bearer", "expires_in": 31536000})

    def parent(self, path):
        return path.rsplit("/", 1)[0] or "/"

    def put(self, req, path):
        if self.parent(path) not in self.dirs or path in self.dirs:
            return 409, {}, b"Conflict"
        etag, sha = req.header("Etag"), req.header("Sha256")
        if etag is not None and etag != hashlib.md5(req.body).hexdigest():
            return 412, {}, b"Etag mismatch"
        if sha is not None and sha != hashlib.sha256(req.body).hexdigest():
            return 412, {}, b"Sha256 mismatch"
        self.files[path] = req.body
        return 201, {}, b""

    def get(self, req, path):
        if path not in self.files:
            return 404, {}, b"Not Found"
        return 200, {"Content-Type": "application/octet-stream"}, self.files[path]

    def delete(self, req, path):
        if path in self.files:
            del self.files[path]
            return 204, {}, b""
        if path in self.dirs and path != "/":
            self.going[path] = 2
            return 202, {}, b""
        return 404, {}, b"Not Found"

    def mkcol(self, req, path):
        if path in self.dirs or path in self.files:
            return 405, {}, b"Method Not Allowed"
        if self.parent(path) not in self.dirs:
            return 409, {}, b"Conflict"
        self.dirs.add(path)
        return 201, {}, b""

    def entry(self, path):
        href = escape(urllib.parse.quote(path + ("/" if path in self.dirs and path != "/" else "")))
        if path in self.dirs:
            props = "<d:resourcetype><d:collection/></d:resourcetype>"
        else:
            props = "<d:resourcetype/><d:getcontentlength>%d</d:getcontentlength>" % len(self.files[path])
        return ("<d:response><d:href>%s</d:href><d:propstat><d:status>HTTP/1.1 200 OK</d:status>"
                "<d:prop>%s<d:displayname>%s</d:displayname></d:prop></d:propstat></d:response>"
                % (href, props, escape(path.rsplit("/", 1)[-1])))

    def propfind(self, req, path):
        if req.header("Depth") != "1":
            return 400, {}, b"Depth 1 only"
        if path in self.going:
            self.going[path] -= 1
            if self.going[path] < 0:
                del self.going[path]
                self.dirs = {d for d in self.dirs if d != path and not d.startswith(path + "/")}
                self.files = {f: v for f, v in self.files.items() if not f.startswith(path + "/")}
        if path not in self.dirs and path not in self.files:
            return 404, {}, b"Not Found"
        entries = [path]
        if path in self.dirs:
            prefix = path.rstrip("/") + "/"
            entries += sorted(p for p in list(self.dirs) + list(self.files)
                              if p != path and p.startswith(prefix) and "/" not in p[len(prefix):])
        body = ('<?xml version="1.0" encoding="utf-8"?><d:multistatus xmlns:d="DAV:">%s</d:multistatus>'
                % "".join(self.entry(p) for p in entries))
        return 207, {"Content-Type": "application/xml; charset=utf-8"}, body.encode()

    def __getattr__(self, name):
        return lambda req, path: (405, {}, b"Method Not Allowed")


if __name__ == "__main__":
    standin.serve(Disk())
