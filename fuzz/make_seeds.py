#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

Seeds come from the bodies, replies and registry files the process cases in
tests/data use, from bodies captured from real clients (curl -F and
--data-urlencode against a one-shot listener on 127.0.0.1), and from a body
laid out the way Chromium sends the browser test's upload. Each seed carries
the control bytes its target reads first (see the comment at the top of each
fuzz/<target>.cpp). Run again after adding cases; the files are checked in.
"""
import hashlib
import os
import pathlib
import re
import shutil
import socket
import subprocess
import tempfile
import threading

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"


def unescape(text):
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out += c.encode("latin-1", "replace") if ord(c) < 256 else c.encode()
            i += 1
            continue
        n = text[i + 1]
        if n == "x":
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
            continue
        out += {"n": b"\n", "r": b"\r", "t": b"\t", "0": b"\0", "\\": b"\\"}[n]
        i += 2
    return bytes(out)


def read_case(path):
    sections = {}
    current = None
    for line in path.read_text(encoding="latin-1").split("\n"):
        if line.endswith("\r"):
            line = line[:-1]
        if line.startswith("%%"):
            current = line[2:].strip().split(" ")[0]
            sections.setdefault(current, [])
            continue
        if current is None or line.startswith("#"):
            continue
        sections[current].append(line)
    return sections


def substitute(text):
    text = re.sub(r"\$\{REPEAT:(\d+):([^}]*)\}", lambda m: m.group(2) * int(m.group(1)), text)
    return text.replace("${PORT}", "8088").replace("${TMP}", "/tmp/k").replace("${DEAD1}", "9")


SEED_MAX = 16 << 10  # small seeds; the targets reach the long paths with small bodies


def write(target, data):
    if len(data) > SEED_MAX:
        return
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)


def env_of(sections):
    env = {}
    for line in sections.get("env", []):
        if "=" in line:
            name, value = line.split("=", 1)
            env[name] = unescape(substitute(value))
    return env


def multipart_seed(content_type, body, query=b"", cookie=b"", mode=0, block=255, sizes=(0, 0, 0, 0), borrow=16):
    suffix = content_type[len(b"multipart/form-data"):] if content_type.startswith(b"multipart/form-data") else b""
    header = bytes([mode, block, *sizes, borrow])
    return header + suffix.replace(b"\n", b" ") + b"\n" + query + b"\n" + cookie + b"\n" + body


def urlencoded_seed(mode, query=b"", uri=b"", cookie=b"", length=b"", lookup=b"a", body=b""):
    return bytes([mode]) + b"\n".join([query, uri, cookie, length, lookup]) + b"\n" + body


def engine_stream(lines):
    out = b""
    for line in lines:
        command, _, argument = line.partition(" ")
        data = unescape(substitute(argument))
        if command == "frame":
            out += b"%08d" % len(data) + data
        elif command == "send":
            out += data
    return out


def capture(client_args):
    """Runs curl against a listener that keeps the raw request; returns (headers, body)."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    port = listener.getsockname()[1]
    got = {}

    def serve():
        connection, _ = listener.accept()
        data = b""
        while b"\r\n\r\n" not in data:
            data += connection.recv(65536)
        head, _, body = data.partition(b"\r\n\r\n")
        length = int(re.search(rb"(?i)content-length: *(\d+)", head).group(1))
        while len(body) < length:
            body += connection.recv(65536)
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        connection.close()
        got["head"], got["body"] = head, body

    thread = threading.Thread(target=serve)
    thread.start()
    subprocess.run(["curl", "-s", "-o", "/dev/null", *client_args, "http://127.0.0.1:%d/shop/gateway" % port],
                   check=True, timeout=30)
    thread.join(30)
    listener.close()
    content_type = re.search(rb"(?i)content-type: *([^\r\n]*)", got["head"]).group(1)
    return content_type, got["body"]


def main():
    if CORPUS.exists():
        shutil.rmtree(CORPUS)
    cases = sorted((ROOT / "tests" / "data").glob("*.case"))
    for path in cases:
        s = read_case(path)
        env = env_of(s)
        stdin = unescape(substitute("".join(s.get("stdin", []))))
        content_type = env.get("CONTENT_TYPE", b"")
        if content_type.startswith(b"multipart/form-data"):
            write("multipart", multipart_seed(content_type, stdin, env.get("QUERY_STRING", b""),
                                              env.get("HTTP_COOKIE", b""), mode=12))
            write("multipart", multipart_seed(content_type, stdin, mode=1, borrow=4))
            write("multipart", multipart_seed(content_type, stdin, block=7, sizes=(3, 1, 0, 5)))
            write("multipart", multipart_seed(content_type, stdin, mode=16, borrow=128))
        elif "QUERY_STRING" in env or stdin:
            mode = 8 | (4 if env.get("REQUEST_METHOD") == b"POST" else 0) | (32 if "CONTENT_LENGTH" in env else 0)
            mode |= 16 if "REQUEST_URI" in env else 0
            mode |= 1 if content_type.startswith(b"application/x-www-form-urlencoded") else 0
            for pipe in (0, 128):
                write("urlencoded", urlencoded_seed(mode | pipe, env.get("QUERY_STRING", b""),
                                                    env.get("REQUEST_URI", b""), env.get("HTTP_COOKIE", b""),
                                                    env.get("CONTENT_LENGTH", b""), b"a", stdin))
        if s.get("engine"):
            write("engine_reply", b"\0" + engine_stream(s["engine"]))
            write("engine_reply", b"\x06" + engine_stream(s["engine"]))  # received 3 bytes at a time
        if s.get("registry"):
            text = "\n".join(substitute(line) for line in s["registry"]).encode("utf-8") + b"\n"
            write("reg_file", b"\0" + text)
            if text.startswith(b"Windows Registry Editor"):
                write("reg_file", b"\1" + text.replace(b"\n", b"\r\n"))

    # Replies on their own: plain, marked hex, marker selector 0, zero bytes.
    for reply in [b"0\x01<html>ok</html>\x01", b"0\x01KAVRO21486921\x01", b"0\x01xKAVRO20raw\x01",
                  b"1\x01refused\x01", b"0\x01a\x00b\x01", b"0\x01" + b"41" * 300 + b"\x01"]:
        write("engine_reply", b"\1" + b"%08d" % len(reply) + reply + b"000000020\x01")

    # Registry files in both encodings and both headers.
    reg = ('Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3]\r\n'
           '"ServerURL"="a,b"\r\n"FileMode"=hex(2):31,00,00,00\r\n"Multi"=hex(7):61,00,00,00,\\\r\n  00,00\r\n'
           '@="default"\r\n"N"=dword:0000001f\r\n[-HKLM\\SOFTWARE\\Old]\r\n"X"=-\r\n')
    write("reg_file", b"\1" + reg.encode())
    write("reg_file", b"\0\xEF\xBB\xBFREGEDIT4\n[HKLM\\SOFTWARE\\Halvorn\\KAVRO3\\shop]\n\"A\"=\"C:\\\\dir\\\"q\"\n"
          b"\"B\"=hex:00,ff\n\"C\"=hex(1):41,42\n")

    # Real clients.
    with tempfile.TemporaryDirectory() as tmp:
        upload = pathlib.Path(tmp) / "report.pdf"
        upload.write_bytes(b"%PDF-1.4\r\n\x00\x01\r\n--\r\n" + bytes(range(256)))
        text = pathlib.Path(tmp) / "notes.txt"
        text.write_bytes(b"line one\r\nline two\n")
        (pathlib.Path(tmp) / "empty").write_bytes(b"")
        for args in (["-F", "name=Ada Lovelace", "-F", "upload=@%s" % upload],
                     ["-F", "a=1", "-F", "b=", "-F", "doc=@%s;type=text/plain" % text, "-F", "empty=@%s" % (pathlib.Path(tmp) / "empty")],
                     ["-F", "q=x&y=z;type=text/plain"]):
            content_type, body = capture(args)
            write("multipart", multipart_seed(content_type, body, b"from=query", b"s=1; t=2", mode=14))
            write("multipart", multipart_seed(content_type, body, mode=1, borrow=8))
            write("multipart", multipart_seed(content_type, body, block=33, sizes=(1, 7, 64, 0)))
        for args in (["--data-urlencode", "name=Ada Lovelace", "--data-urlencode", "note=100% & more=+"],
                     ["-d", "a=1&b=%41%62&c=%G1&&=2&d"]):
            content_type, body = capture(args)
            write("urlencoded", urlencoded_seed(1 | 4 | 8 | 32, b"x=1", b"", b"", b"%d" % len(body), b"name", body))
    # The browser test's upload, laid out as Chromium sends it.
    boundary = b"----WebKitFormBoundaryAbCdEfGh0123456789"
    body = (b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"customer\"\r\n\r\nAda\r\n--" + boundary +
            b"\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"C:\\fakepath\\tricky.bin\"\r\n"
            b"Content-Type: application/octet-stream\r\n\r\n" + b"\x00" * 64 + b"\r\n--\r\n------WebKitForm\r\n"
            b"\r\n--" + boundary + b"--\r\n")
    write("multipart", multipart_seed(b"multipart/form-data; boundary=" + boundary, body, mode=2))
    write("multipart", multipart_seed(b"multipart/form-data; boundary=" + boundary, body, mode=3, borrow=2))
    write("multipart", multipart_seed(b"multipart/form-data; boundary=" + boundary, body, block=0, sizes=(1, 1, 2, 3)))
    for target in sorted(os.listdir(CORPUS)):
        print(target, len(os.listdir(CORPUS / target)))


if __name__ == "__main__":
    main()
