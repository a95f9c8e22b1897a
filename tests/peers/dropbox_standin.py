#!/usr/bin/python3
"""A stand-in for Dropbox API v2 (api and content endpoints on one port), for the calls the
library makes: /oauth2/token, /2/files/upload, /2/files/upload_session/{start,append_v2,finish},
/2/files/download, /2/files/delete and /2/auth/token/revoke. Files live in memory, so round trips
are real. Answers follow the service's documented shapes: 200 with JSON (or the file's bytes),
400 with plain text for a malformed call, 401 for a bad token, 409 with "error_summary" and
"error" for route errors. The token "dbx-token" is valid from the start; the code "good-code"
signs in (any client id and secret but "bad-secret").
Usage: dropbox_standin.py ADDRESS PORT DIR"""
import json
import os
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import standin  # noqa: E402


def bad_request(text):
    return 400, {"Content-Type": "text/plain; charset=utf-8"}, text.encode("utf-8")


def route_error(summary, error):
    return standin.json_answer(409, {"error_summary": summary + "/..", "error": error})


class Dropbox(standin.Service):
    def __init__(self):
        self.tokens = {"dbx-token"}
        self.files = {}
        self.sessions = {}
        self.counter = 0

    def next_id(self, prefix):
        self.counter += 1
        return "%s%d" % (prefix, self.counter)

    def meta(self, path):
        return {".tag": "file", "name": path.rsplit("/", 1)[-1], "path_lower": path.lower(),
                "path_display": path, "id": "id:" + path, "size": len(self.files[path])}

    def handle(self, req):
        if req.method != "POST":
            return 405, {}, b"method not allowed"
        if req.path == "/oauth2/token":
            return self.token(req)
        auth = req.header("Authorization", "")
        if not auth.startswith("Bearer ") or auth[7:] not in self.tokens:
            return standin.json_answer(401, {"error_summary": "invalid_access_token/..",
                                             "error": {".tag": "invalid_access_token"}})
        calls = {
            "/2/files/upload": self.upload,
            "/2/files/upload_session/start": self.start,
            "/2/files/upload_session/append_v2": self.append,
            "/2/files/upload_session/finish": self.finish,
            "/2/files/download": self.download,
            "/2/files/delete": self.delete,
            "/2/auth/token/revoke": self.revoke,
        }
        if req.path not in calls:
            return bad_request("Unknown API function: " + req.path)
        return calls[req.path](req)

    def token(self, req):
        form = dict(urllib.parse.parse_qsl(req.body.decode("utf-8"), keep_blank_values=True))
        if form.get("grant_type") != "authorization_code":
            return standin.json_answer(400, {"error": "unsupported_grant_type"})
        if form.get("code") != "good-code" or form.get("client_secret") == "bad-secret":
            return standin.json_answer(400, {"error": "invalid_grant",
                                             "error_description": "code doesn't exist or has expired"})
        token = self.next_id("dbx-issued-")
        self.tokens.add(token)
        return standin.json_answer(200, {"access_token": token, "token_type": "bearer",
                                         "account_id": "dbid:standin", "uid": "1"})

    # Content calls take their arguments in Dropbox-API-Arg, the bytes in the body.
    def content_arg(self, req, with_body):
        ctype = req.header("Content-Type")
        if with_body and ctype != "application/octet-stream":
            return None, bad_request('Bad HTTP "Content-Type" header: "%s".' % ctype)
        if not with_body and ctype not in (None, "", "text/plain", "application/octet-stream"):
            return None, bad_request('Bad HTTP "Content-Type" header: "%s".' % ctype)
        raw = req.header("Dropbox-API-Arg")
        if raw is None:
            return None, bad_request('Missing "Dropbox-API-Arg" header')
        try:
            raw.encode("ascii")
            return json.loads(raw), None
        except (UnicodeError, ValueError):
            return None, bad_request('Bad "Dropbox-API-Arg" header: could not decode input as JSON')

    def check_commit(self, commit):
        path = commit.get("path", "")
        if not path.startswith("/") or path == "/":
            return bad_request('Error in call: "path": did not match pattern')
        if commit.get("mode") != "overwrite" or not isinstance(commit.get("autorename"), bool) \
                or not isinstance(commit.get("mute"), bool):
            return bad_request("Error in call: bad commit %s" % json.dumps(commit))
        return None

    def store(self, path, data):
        # A file put under a path with a file as its folder is a conflict at the service.
        self.files[path] = bytes(data)
        return standin.json_answer(200, self.meta(path))

    def upload(self, req):
        arg, error = self.content_arg(req, True)
        if error:
            return error
        error = self.check_commit(arg)
        if error:
            return error
        if len(req.body) > 150 * 1024 * 1024:
            return bad_request("Request body too large")
        return self.store(arg["path"], req.body)

    def start(self, req):
        arg, error = self.content_arg(req, True)
        if error:
            return error
        if arg.get("close") is not False:
            return bad_request("Error in call: close")
        session = self.next_id("session-")
        self.sessions[session] = bytearray(req.body)
        return standin.json_answer(200, {"session_id": session})

    def cursor(self, arg):
        cursor = arg.get("cursor", {})
        session = cursor.get("session_id")
        if session not in self.sessions:
            return None, route_error("lookup_failed/not_found", {".tag": "lookup_failed",
                                                                  "lookup_failed": {".tag": "not_found"}})
        have = len(self.sessions[session])
        if cursor.get("offset") != have:
            return None, route_error("lookup_failed/incorrect_offset",
                                     {".tag": "lookup_failed", "lookup_failed": {".tag": "incorrect_offset",
                                                                                 "correct_offset": have}})
        return session, None

    def append(self, req):
        arg, error = self.content_arg(req, True)
        if error:
            return error
        session, error = self.cursor(arg)
        if error:
            return error
        if arg.get("close") is not False:
            return bad_request("Error in call: close")
        self.sessions[session] += req.body
        return 200, {"Content-Type": "application/json"}, b"null"

    def finish(self, req):
        arg, error = self.content_arg(req, True)
        if error:
            return error
        session, error = self.cursor(arg)
        if error:
            return error
        error = self.check_commit(arg.get("commit", {}))
        if error:
            return error
        data = self.sessions.pop(session) + req.body
        return self.store(arg["commit"]["path"], data)

    def download(self, req):
        arg, error = self.content_arg(req, False)
        if error:
            return error
        path = arg.get("path", "")
        if path not in self.files:
            return route_error("path/not_found", {".tag": "path", "path": {".tag": "not_found"}})
        return 200, {"Content-Type": "application/octet-stream",
                     "Dropbox-API-Result": json.dumps(self.meta(path))}, self.files[path]

    def delete(self, req):
        if req.header("Content-Type") != "application/json":
            return bad_request('Bad HTTP "Content-Type" header: "%s".' % req.header("Content-Type"))
        try:
            path = req.json()["path"]
        except (ValueError, KeyError, TypeError):
            return bad_request("Error in call: could not decode input as JSON")
        inside = [p for p in self.files if p == path or p.startswith(path.rstrip("/") + "/")]
        if not inside:
            return route_error("path_lookup/not_found", {".tag": "path_lookup", "path_lookup": {".tag": "not_found"}})
        for p in inside:
            del self.files[p]
        return standin.json_answer(200, {".tag": "folder" if inside != [path] else "file", "path_display": path})

    def revoke(self, req):
        if req.header("Content-Type") not in (None, ""):
            return bad_request('Bad HTTP "Content-Type" header: "%s".' % req.header("Content-Type"))
        self.tokens.discard(req.header("Authorization")[7:])
        return 200, {"Content-Type": "application/json"}, b"null"


if __name__ == "__main__":
    standin.serve(Dropbox())
