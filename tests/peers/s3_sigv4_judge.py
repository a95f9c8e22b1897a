#!/usr/bin/python3
"""Recomputes the Authorization header of every recorded S3 request (requests.jsonl of a
stand-in) with botocore's own SigV4 signer, for the keys given, the region and time the request
names, and the request as it was sent: method, path, query (botocore sorts it and adds "=" to
bare names itself), the signed headers and the body. Prints one JSON line per request:
{"method", "path", "query", "sent", "botocore", "body_hash_ok"}.
Usage: s3_sigv4_judge.py REQUESTS.jsonl ACCESS SECRET"""
import base64
import email.utils
import hashlib
import json
import sys

from botocore.auth import S3SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials


def header(headers, name):
    for key, value in headers:
        if key.lower() == name:
            return value
    return None


def judge(record, access, secret):
    headers = record["headers"]
    sent = header(headers, "authorization") or ""
    fields = dict(part.strip().split("=", 1) for part in sent.split(" ", 1)[1].split(","))
    _, _, region, _, _ = fields["Credential"].split("/")
    signed = fields["SignedHeaders"].split(";")
    body = base64.b64decode(record["body"])
    only = {name: header(headers, name) for name in signed}
    host = only.get("host")
    url = "http://" + host + record["path"] + ("?" + record["query"] if record["query"] else "")
    request = AWSRequest(method=record["method"], url=url, headers=only, data=body)
    stamp = header(headers, "x-amz-date")
    if stamp is None:
        moment = email.utils.parsedate_to_datetime(header(headers, "date"))
        stamp = moment.strftime("%Y%m%dT%H%M%SZ")
    request.context["timestamp"] = stamp
    auth = S3SigV4Auth(Credentials(access, secret), "s3", region)
    canonical = auth.canonical_request(request)
    to_sign = auth.string_to_sign(request, canonical)
    # botocore's scope starts with the access key.
    theirs = "AWS4-HMAC-SHA256 Credential=%s, SignedHeaders=%s, Signature=%s" % (
        auth.scope(request), auth.signed_headers(auth.headers_to_sign(request)),
        auth.signature(to_sign, request))
    return {"method": record["method"], "path": record["path"], "query": record["query"], "sent": sent,
            "botocore": theirs,
            "body_hash_ok": header(headers, "x-amz-content-sha256") == hashlib.sha256(body).hexdigest()}


def main():
    with open(sys.argv[1]) as log:
        for line in log:
            record = json.loads(line)
            if header(record["headers"], "authorization"):
                print(json.dumps(judge(record, sys.argv[2], sys.argv[3])))


if __name__ == "__main__":
    main()
