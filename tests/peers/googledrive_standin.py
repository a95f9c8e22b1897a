#!/usr/bin/python3
"""A stand-in for Google Drive API v3 and Google's OAuth token endpoint, for the calls the library
makes: files/root, files?q= lists, file metadata and ?alt=media downloads, folder creation,
DELETE, resumable uploads (/upload/drive/v3/files?uploadType=resumable, then PUTs of chunks with
Content-Range, 308 until the last) and /oauth2/v4/token (authorization_code and refresh_token).
Files live in memory. Errors have the service's shape {"error": {"errors": [{"reason",
"message", ...}], "code", "message"}}. The token "gd-token" is valid from the start; the code
"good-code" signs in; POST /__expire makes every issued access token invalid.
Usage: googledrive_standin.py ADDRESS PORT DIR"""
import json
import os
import re
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import standin  # noqa: E402

FOLDER = "application/vnd.google-apps.folder"
ROOT = "0AStandInRoot"
LIST_FIELDS = "files(id,name,parents,mimeType)"
QUERY = re.compile(r"^name = '((?:[^'\\]|\\.)*)' and parents in '((?:[^'\\]|\\.)*)'$")


def error(status, reason, message):
    return standin.json_answer(status, {"error": {
        "errors": [{"domain": "global", "reason": reason, "message": message}],
        "code": status, "message": message}})


def unquote(text):
    return re.sub(r"\\(.)", r"\1", text)


class Drive(standin.Service):
    def __init__(self):
        self.tokens = {"gd-token"}
        self.refresh = {}
        self.files = {ROOT: {"id": ROOT, "name": "My Drive", "mimeType": FOLDER, "parents": [], "data": b""}}
        self.uploads = {}
        self.counter = 0

    def next_id(self, prefix):
        self.counter += 1
        return "%s%d" % (prefix, self.counter)

    def resource(self, f, full=False):
        out = {"kind": "drive#file", "id": f["id"], "name": f["name"], "mimeType": f["mimeType"]}
        if full:
            out["parents"] = f["parents"]
        return out

    def handle(self, req):
        if req.path == "/oauth2/v4/token" and req.method == "POST":
            return self.token(req)
        if req.path == "/__expire" and req.method == "POST":
            self.tokens = {"gd-token"}
            return 200, {}, b""
        auth = req.header("Authorization", "")
        if not auth.startswith("Bearer ") or auth[7:] not in self.tokens:
            return error(401, "authError", "Invalid Credentials")
        if req.path == "/upload/drive/v3/files" and req.params.get("uploadType") == "resumable":
            if req.method == "POST" and "upload_id" not in req.params:
                return self.start(req)
            if req.method == "PUT":
                return self.chunk(req)
        if req.path == "/drive/v3/files":
            if req.method == "GET":
                return self.list(req)
            if req.method == "POST":
                return self.create(req)
        if req.path.startswith("/drive/v3/files/"):
            file_id = req.path[len("/drive/v3/files/"):]
            if file_id == "root":
                file_id = ROOT
            if file_id not in self.files:
                return error(404, "notFound", "File not found: %s." % file_id)
            if req.method == "GET":
                f = self.files[file_id]
                if req.params.get("alt") == "media":
                    if f["mimeType"] == FOLDER:
                        return error(403, "fileNotDownloadable", "Only files with binary content can be downloaded.")
                    return 200, {"Content-Type": "application/octet-stream"}, f["data"]
                return standin.json_answer(200, self.resource(f))
            if req.method == "DELETE":
                if file_id == ROOT:
                    return error(403, "insufficientFilePermissions", "The user does not have sufficient permissions.")
                self.remove(file_id)
                return 204, {}, b""
        return error(400, "badRequest", "Unsupported call %s %s" % (req.method, req.path))

    def remove(self, file_id):
        for child in [i for i, f in self.files.items() if file_id in f["parents"]]:
            self.remove(child)
        self.files.pop(file_id, None)

    def list(self, req):
        if req.params.get("corpora") != "user" or req.params.get("fields") != LIST_FIELDS:
            return error(400, "invalidParameter", "Invalid list parameters")
        match = QUERY.match(req.params.get("q", ""))
        if not match:
            return error(400, "invalid", "Invalid Value")
        name, parent = unquote(match.group(1)), unquote(match.group(2))
        found = [self.resource(f, True) for f in self.files.values() if f["name"] == name and parent in f["parents"]]
        return standin.json_answer(200, {"files": found})

    def add(self, name, mime, parents, data):
        for p in parents:
            if p not in self.files:
                return error(404, "notFound", "File not found: %s." % p)
        file_id = self.next_id("file")
        self.files[file_id] = {"id": file_id, "name": name, "mimeType": mime, "parents": parents, "data": data}
        return standin.json_answer(200, self.resource(self.files[file_id]))

    def create(self, req):
        if req.header("Content-Type") != "application/json; charset=UTF-8":
            return error(400, "badContent", "Unsupported content with type: %s" % req.header("Content-Type"))
        meta = req.json()
        return self.add(meta["name"], meta.get("mimeType", "application/octet-stream"), meta.get("parents", [ROOT]), b"")

    def start(self, req):
        if req.header("Content-Type") != "application/json; charset=UTF-8":
            return error(400, "badContent", "Unsupported content with type: %s" % req.header("Content-Type"))
        try:
            size = int(req.header("X-Upload-Content-Length"))
        except (TypeError, ValueError):
            return error(400, "badRequest", "X-Upload-Content-Length missing")
        meta = req.json()
        upload_id = self.next_id("upload")
        self.uploads[upload_id] = {"meta": meta, "size": size, "data": bytearray()}
        location = "http://%s/upload/drive/v3/files?uploadType=resumable&upload_id=%s" % (
            req.header("Host"), upload_id)
        return 200, {"Location": location, "X-GUploader-UploadID": upload_id}, b""

    def chunk(self, req):
        upload = self.uploads.get(req.params.get("upload_id"))
        if upload is None:
            return error(404, "notFound", "No such upload")
        rng = req.header("Content-Range", "")
        have = len(upload["data"])
        match = re.match(r"^bytes (\d+)-(\d+)/(\d+)$", rng)
        if match:
            first, last, total = (int(g) for g in match.groups())
            if first != have or last - first + 1 != len(req.body) or total != upload["size"]:
                return error(400, "badRange", "Bad Content-Range %s after %d bytes" % (rng, have))
        elif rng == "bytes */0" and upload["size"] == 0 and not req.body:
            pass
        else:
            return error(400, "badRange", "Bad Content-Range %r" % rng)
        if req.header("Content-Length") != str(len(req.body)):
            return error(400, "badRequest", "Content-Length")
        upload["data"] += req.body
        if len(upload["data"]) < upload["size"]:
            return 308, {"Range": "bytes=0-%d" % (len(upload["data"]) - 1)}, b""
        del self.uploads[req.params["upload_id"]]
        meta = upload["meta"]
        return self.add(meta["name"], "application/octet-stream", meta.get("parents", [ROOT]), bytes(upload["data"]))

    def token(self, req):
        if req.header("Content-Type") != "application/x-www-form-urlencoded":
            return standin.json_answer(400, {"error": "invalid_request", "error_description": "content type"})
        form = dict(urllib.parse.parse_qsl(req.body.decode("utf-8"), keep_blank_values=True))
        if form.get("grant_type") == "authorization_code":
            if form.get("code") != "good-code" or not form.get("client_id") or form.get("client_secret") == "bad-secret":
                return standin.json_answer(400, {"error": "invalid_grant", "error_description": "Bad Request"})
            access, refresh = self.next_id("ya29.standin"), self.next_id("1//refresh")
            self.tokens.add(access)
            self.refresh[refresh] = (form["client_id"], form["client_secret"])
            return standin.json_answer(200, {"access_token": access, "expires_in": 3599, "refresh_token": refresh,
                                             "scope": "https://www.googleapis.com/auth/drive",
                                             "token_type": "Bearer"})
        if form.get("grant_type") == "refresh_token":
            owner = self.refresh.get(form.get("refresh_token"))
            if owner is None or owner != (form.get("client_id"), form.get("client_secret")):
                return standin.json_answer(400, {"error": "invalid_grant", "error_description": "Token has been expired or revoked."})
            access = self.next_id("ya29.standin")
            self.tokens.add(access)
            return standin.json_answer(200, {"access_token": access, "expires_in": 3599,
                                             "scope": "https://www.googleapis.com/auth/drive", "token_type": "Bearer"})
        return standin.json_answer(400, {"error": "unsupported_grant_type"})


if __name__ == "__main__":
    standin.serve(Drive())
