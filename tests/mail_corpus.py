#!/usr/bin/env python3
"""Mail written and read by Python's own email package, the judge of the message tests.

  mail_corpus.py describe FILE OUTDIR   what Python reads in FILE, as JSON on stdout; the
                                        decoded bytes of leaf part N go to OUTDIR/part<N>
  mail_corpus.py build DIR              messages DIR/<name>.eml and, for each, what Python
                                        reads back in it: DIR/<name>.json (text parts as
                                        [content type, charset, text], files as [name, path])
"""
import base64
import email
import email.policy
import json
import os
import subprocess
import sys
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText


def addresses(msg, name):
    header = msg[name]
    if header is None:
        return None
    return [[a.display_name, a.addr_spec] for a in header.addresses]


def describe(path, outdir):
    with open(path, "rb") as f:
        data = f.read()
    msg = email.message_from_bytes(data, policy=email.policy.default)
    out = {
        "header_names": list(msg.keys()),
        "subject": str(msg["Subject"]) if msg["Subject"] is not None else None,
        "message_id": msg["Message-ID"],
        "in_reply_to": msg["In-Reply-To"],
        "references": msg["References"],
        "mime_version": msg["MIME-Version"],
        "defects": [type(d).__name__ for p in msg.walk() for d in p.defects],
        "parts": [],
    }
    for name in ("From", "Sender", "To", "Cc", "Bcc", "Reply-To"):
        out[name.lower().replace("-", "_")] = addresses(msg, name)
    for name in msg.keys():
        if name.lower().startswith("x-"):
            out.setdefault("extra", {})[name] = str(msg[name])
    n = 0
    for part in msg.walk():
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        file = os.path.join(outdir, "part%d" % n)
        with open(file, "wb") as f:
            f.write(payload)
        out["parts"].append({
            "type": part.get_content_type(),
            "charset": part.get_param("charset"),
            "cte": part["Content-Transfer-Encoding"],
            "disposition": part.get_content_disposition(),
            "filename": part.get_filename(),
            "file": file,
        })
        n += 1
    json.dump(out, sys.stdout)


# Each entry: name -> function(dir) returning the message bytes.
CORPUS = {}


def corpus(fn):
    CORPUS[fn.__name__] = fn
    return fn


SMTP = email.policy.SMTP  # CRLF line ends, as mail travels


def file_bytes(n, seed):
    out = bytearray()
    x = seed
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


@corpus
def alternative(d):
    m = EmailMessage(policy=SMTP)
    m["From"] = "Alice <alice@example.com>"
    m["To"] = "bob@example.com"
    m["Subject"] = "Plain and HTML"
    m.set_content("Hello,\nthis is the plain part.\n")
    m.add_alternative("<p>Hello, <b>HTML</b> part</p>\n", subtype="html")
    return m.as_bytes()


@corpus
def nested(d):
    m = EmailMessage(policy=SMTP)
    m["From"] = "carol@example.com"
    m["To"] = "dave@example.com"
    m["Subject"] = "Nested"
    m.set_content("Outer text\r\nwith CRLF lines\n")
    m.add_alternative("<i>outer html</i>\n", subtype="html")
    m.add_attachment(file_bytes(1000, 7), maintype="application", subtype="octet-stream", filename="data.bin")
    return m.as_bytes()


@corpus
def quoted_printable_latin1(d):
    m = EmailMessage(policy=SMTP)
    m["From"] = "eve@example.com"
    m["Subject"] = "=?iso-8859-1?q?Caf=E9?="
    m.set_content("Caf\u00e9 cr\u00e8me br\u00fbl\u00e9e, na\u00efve fa\u00e7ade " * 4 + "\n",
                  charset="iso-8859-1", cte="quoted-printable")
    return m.as_bytes()


@corpus
def koi8r(d):
    m = EmailMessage(policy=SMTP)
    m["From"] = "ivan@example.ru"
    m["Subject"] = "KOI8"
    m.set_content("\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440!\n\u0412\u0442\u043e\u0440\u0430\u044f "
                  "\u0441\u0442\u0440\u043e\u043a\u0430.\n", charset="koi8-r", cte="8bit")
    return m.as_bytes()


@corpus
def windows1251_base64(d):
    m = EmailMessage(policy=SMTP)
    m["From"] = "petr@example.ru"
    m["Subject"] = "1251"
    text = "\u0421\u044a\u0435\u0448\u044c \u0436\u0435 \u0435\u0449\u0451 \u044d\u0442\u0438\u0445 " \
           "\u043c\u044f\u0433\u043a\u0438\u0445 \u0444\u0440\u0430\u043d\u0446\u0443\u0437\u0441\u043a\u0438\u0445 " \
           "\u0431\u0443\u043b\u043e\u043a.\n" * 5
    m.set_content(text, charset="windows-1251", cte="base64")
    return m.as_bytes()


@corpus
def utf8_capitals(d):
    body = "Gr\u00fc\u00dfe aus K\u00f6ln \u2014 \u65e5\u672c\u8a9e\r\n".encode("utf-8")
    return (b"From: x@example.com\r\nSubject: caps\r\nMIME-Version: 1.0\r\n"
            b"Content-Type: text/plain; charset=\"UTF-8\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
            + base64.encodebytes(body).replace(b"\n", b"\r\n"))


@corpus
def rfc2231_names(d):
    m = EmailMessage(policy=SMTP)
    m["From"] = "x@example.com"
    m["Subject"] = "names"
    m.set_content("see files\n")
    m.add_attachment(file_bytes(57, 1), maintype="application", subtype="pdf",
                     filename="\u043e\u0442\u0447\u0451\u0442 \u2116 5.pdf")
    m.add_attachment(file_bytes(58, 2), maintype="image", subtype="png", filename="../etc/passwd")
    return m.as_bytes()


@corpus
def rfc2231_continuations(d):
    data = file_bytes(300, 3)
    return (b"From: x@example.com\r\nSubject: continuations\r\nMIME-Version: 1.0\r\n"
            b"Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
            b"--b1\r\nContent-Type: text/plain\r\n\r\nno charset here\r\n"
            b"--b1\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
            b"Content-Disposition: attachment;\r\n filename*0*=utf-8''%D0%B4%D0%BB%D0%B8%D0%BD;\r\n"
            b" filename*1*=%D0%BD%D0%BE%D0%B5;\r\n filename*2=\" name.txt\"\r\n\r\n"
            + base64.encodebytes(data).replace(b"\n", b"\r\n") +
            b"--b1\r\nContent-Type: application/octet-stream; name=\"=?utf-8?B?"
            + base64.b64encode("\u00e9t\u00e9.bin".encode()) + b"?=\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
            + base64.encodebytes(data[:10]).replace(b"\n", b"\r\n") + b"--b1--\r\n")


@corpus
def missing_final_boundary(d):
    m = MIMEMultipart("mixed", boundary="zzz")
    m["From"] = "x@example.com"
    m["Subject"] = "cut"
    m.attach(MIMEText("first part\n", "plain", "utf-8"))
    att = MIMEApplication(file_bytes(200, 4), "octet-stream")
    att.add_header("Content-Disposition", "attachment", filename="tail.bin")
    m.attach(att)
    raw = m.as_bytes(policy=SMTP)
    cut = raw.rindex(b"--zzz--")
    return raw[:cut]


@corpus
def mpack_file(d):
    src = os.path.join(d, "mpack_src.bin")
    with open(src, "wb") as f:
        f.write(file_bytes(5000, 5))
    out = os.path.join(d, "mpack_out.eml")
    subprocess.run(["mpack", "-s", "from mpack", "-o", out, src], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(out, "rb") as f:
        return f.read()


def build(d):
    os.makedirs(d, exist_ok=True)
    for name, fn in CORPUS.items():
        data = fn(d)
        path = os.path.join(d, name + ".eml")
        with open(path, "wb") as f:
            f.write(data)
        msg = email.message_from_bytes(data, policy=email.policy.default)
        texts, files = [], []
        n = 0
        for part in msg.walk():
            if part.is_multipart():
                continue
            name_ = part.get_filename()
            payload = part.get_payload(decode=True) or b""
            if name_ is None:
                charset = part.get_param("charset") or "iso-8859-1"
                texts.append([part.get_content_type(), part.get_param("charset"),
                              payload.decode(charset).replace("\r\n", "\n")])
            else:
                file = os.path.join(d, "%s.file%d" % (name, n))
                with open(file, "wb") as f:
                    f.write(payload)
                files.append([name_, file])
            n += 1
        with open(os.path.join(d, name + ".json"), "w") as f:
            json.dump({"texts": texts, "files": files}, f)
    print("\n".join(CORPUS))


if __name__ == "__main__":
    if sys.argv[1] == "describe":
        describe(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "build":
        build(sys.argv[2])
    else:
        sys.exit("usage: mail_corpus.py describe FILE OUTDIR | build DIR")
