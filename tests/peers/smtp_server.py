#!/usr/bin/env python3
"""An SMTP server for the mail tests: aiosmtpd, writing each message and its envelope to a directory.

Usage: smtp_server.py ADDRESS PORT DIR MODE AUTH
MODE: plain, smtps (TLS from the first byte), starttls (STARTTLS required) or stall (plain, but
the answer to the message data never comes). AUTH: "auth" requires a login with USER/PASSWORD,
"none" offers none. Certificate and key: DIR/cert.pem, DIR/key.pem (smtps and starttls).

For message N the server writes DIR/N.eml (the data as received) and DIR/N.json: the envelope and
what Python's email package makes of the data (headers decoded, address lists, parts with their
decoded bytes in base64, defects). Recipients at the domain "rejected.test" are refused with 550.
"""
import asyncio
import base64
import json
import os
import ssl
import sys
from email import policy
from email.parser import BytesParser

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

USER = "vuxsmtp"
PASSWORD = "smtp secret"


def addresses(msg, name):
    header = msg[name]
    if header is None:
        return None
    return [{"name": a.display_name, "address": a.addr_spec} for a in header.addresses]


def describe(raw):
    msg = BytesParser(policy=policy.default).parsebytes(raw)
    parts = []
    for part in msg.walk():
        if part.is_multipart():
            continue
        data = part.get_payload(decode=True) or b""
        parts.append({
            "content_type": part.get_content_type(),
            "charset": part.get_param("charset"),
            "filename": part.get_filename(),
            "disposition": part.get_content_disposition(),
            "encoding": part.get("Content-Transfer-Encoding"),
            "data": base64.b64encode(data).decode(),
        })
    return {
        "headers": [[k, str(v)] for k, v in msg.items()],
        "subject": str(msg["subject"]) if msg["subject"] is not None else None,
        "from": addresses(msg, "from"),
        "sender": addresses(msg, "sender"),
        "to": addresses(msg, "to"),
        "cc": addresses(msg, "cc"),
        "bcc": addresses(msg, "bcc"),
        "message_id": msg["message-id"],
        "content_type": msg.get_content_type(),
        "parts": parts,
        "defects": [repr(d) for d in msg.defects] + [repr(d) for p in msg.walk() for d in p.defects],
    }


class Handler:
    def __init__(self, directory, stall):
        self.directory = directory
        self.stall = stall
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().endswith("@rejected.test"):
            return "550 5.1.1 <%s>: recipient rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.stall:
            await asyncio.sleep(3600)
        self.count += 1
        base = os.path.join(self.directory, str(self.count))
        raw = envelope.original_content or envelope.content
        with open(base + ".eml.tmp", "wb") as f:
            f.write(raw)
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "authenticated": bool(session.authenticated),
            "tls": server.transport.get_extra_info("ssl_object") is not None,
            "message": describe(raw),
        }
        with open(base + ".json.tmp", "w") as f:
            json.dump(record, f)
        os.rename(base + ".eml.tmp", base + ".eml")
        os.rename(base + ".json.tmp", base + ".json")
        return "250 Message accepted"


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword) and auth_data.login == USER.encode() \
        and auth_data.password == PASSWORD.encode()
    return AuthResult(success=ok, handled=False)


async def main():
    address, port, directory, mode, auth = sys.argv[1:6]
    context = None
    if mode in ("smtps", "starttls"):
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem"))
    handler = Handler(directory, mode == "stall")
    options = {"hostname": "vuxtest.localhost"}
    if mode == "starttls":
        options.update(tls_context=context, require_starttls=True)
    if auth == "auth":
        options.update(authenticator=authenticator, auth_required=True, auth_require_tls=False)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: SMTP(handler, **options), address, int(port),
                                      ssl=context if mode == "smtps" else None)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
