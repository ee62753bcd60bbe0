#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets: real frames and real replies
of the projector, in each target's input format. Run it again after a change
of an input format; the seeds are kept in the repository."""
import hashlib
import os

here = os.path.dirname(os.path.abspath(__file__))

# The status queries with a reply the projector gives to each.
QUERIES = [
    (b"CR0", b"00\r"),
    (b"CR1", b"2\r"),
    (b"CR4", b"11\r"),
    (b"CR3", b"00042\r"),
    (b"CR6", b"065.0  42.0 027.0\r"),
    (b"CRA", b"FF\r"),
    (b"CR9", b"QM25 SIM 1.40\r"),
    (b"CR PRESSURE", b"0853\r"),
    (b"CR7", b"03\r"),
]
OTHER_REPLIES = [b"\x06\r", b"\x15\r", b"ERR\r", b"80\r", b"24\r", b"88\r", b"0512\r", b"\x14" b"1\r"]
FRAMES = [b"C00\r", b"CR0\r", b"CF LOGO OFF\r", b"CR PRESSURE\r", b"C3C\r", b"CF FANSPEED MAX\r"]


def write(target, name, data):
    d = os.path.join(here, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# render: a flag byte (1: UTF-16 text, 2: repeated past the cap), then the text
for query, reply in QUERIES:
    write("render", "reply-" + query.decode().replace(" ", "_"), b"\x00" + reply)
for i, reply in enumerate(OTHER_REPLIES):
    write("render", "reply-other-%d" % i, b"\x00" + reply)
for i, frame in enumerate(FRAMES):
    write("render", "frame-%d" % i, b"\x00" + frame)
write("render", "utf16-japanese", b"\x01" + "CR0 日本語\r".encode("utf-16-le"))
write("render", "repeated-reply", b"\x02" + b"00\r")


# reception: operations (0 = one event with a length byte, 4 = burst,
# 5 = reply time-out, 6 = send, 7 = release)
def event(data):
    return bytes([0, len(data)]) + data


def send(index):
    return bytes([6, index])


for i, (query, reply) in enumerate(QUERIES):
    write("reception", "exchange-" + query.decode().replace(" ", "_"), send(i) + event(reply))
write("reception", "reply-in-pieces", send(0) + event(b"0") + event(b"0") + event(b"\r"))
write("reception", "two-replies-one-window", send(8) + event(b"03\r") + event(b"03\r"))
write("reception", "late-reply", send(1) + event(b"x") + bytes([5]) + event(b"2\r"))
write("reception", "ack-to-a-command", send(9) + event(b"\x06\r"))
write("reception", "stream-to-the-cap", send(6) + bytes([4, 80]) + b"QM25 SIM 1.40\r00" + event(b"00\r"))
write("reception", "release-then-reply", send(0) + event(b"8") + bytes([7]) + event(b"80\r"))


# frames: a limit byte (limit = byte + 1), then pieces of a length byte and bytes
def pieces(limit, *chunks):
    out = bytes([limit - 1])
    for c in chunks:
        out += bytes([len(c)]) + c
    return out


write("frames", "panel-frames", pieces(256, *FRAMES))
write("frames", "frame-in-two-reads", pieces(256, b"CR", b"6\r"))
write("frames", "terminal-line-ends", pieces(256, b"CR9\r\n", b"C01\r\n"))
write("frames", "overlong-line", pieces(8, b"CF FANSPEED MAX\rC00\r"))
write("frames", "power-on-then-status", pieces(256, b"C00\r", b"CR0\r", b"CR PRESSURE\r", b"CR6\r"))


# pjlink: a flag byte (bit 0: password "room-password", random value
# "0123abcd"; the rest picks the replies), a read size byte (size = byte + 1),
# then what a client sends
def pjlink(flags, read, stream):
    return bytes([flags, read - 1]) + stream


REQUESTS = b"".join(b"%1" + r + b"\r" for r in [
    b"POWR ?", b"POWR 1", b"POWR 0", b"INPT ?", b"INPT 11", b"INPT 12", b"INPT 21", b"INPT 59", b"INST ?",
    b"AVMT ?", b"AVMT 31", b"AVMT 20", b"ERST ?", b"LAMP ?", b"NAME ?", b"INF1 ?", b"INF2 ?", b"INFO ?",
    b"CLSS ?"])
digest = hashlib.md5(b"0123abcd" + b"room-password").hexdigest().encode()
write("pjlink", "every-command", pjlink(0, 256, REQUESTS))
write("pjlink", "every-command-other-replies", pjlink(6, 7, REQUESTS))
CLASS2 = b"".join(b"%2" + r + b"\r" for r in [
    b"INPT ?", b"INPT 21", b"INST ?", b"INNM ?11", b"INNM ?31", b"SNUM ?", b"SVER ?", b"IRES ?", b"RRES ?",
    b"FILT ?", b"RLMP ?", b"RFIL ?", b"SVOL 1", b"SVOL 0", b"SVOL ?", b"MVOL 1", b"FREZ 1", b"FREZ ?", b"POWR ?"])
write("pjlink", "class-2", pjlink(3, 9, CLASS2))
write("pjlink", "search", pjlink(0, 256, b"%2SRCH\r"))
write("pjlink", "password", pjlink(1, 3, digest + b"%1POWR ?\r%1LAMP ?\r"))
write("pjlink", "wrong-password", pjlink(1, 256, b"0" * 32 + b"%1POWR ?\r"))
write("pjlink", "errors", pjlink(0, 5, b"%1ABCD ?\r%2FREZ 1\r%1POWR\r%1INPT 99\r%1POWR ?\r\n%1AVMT ?\r"))
write("pjlink", "longest-and-longer", pjlink(0, 64, b"%1NAME " + b"x" * 128 + b"\r%1NAME " + b"x" * 129 + b"\r"))
write("pjlink", "not-ascii", pjlink(0, 256, b"%1POWR \xff\r"))


# http: a byte with the number of read lengths that follow (low four bits;
# none: one read), the lengths (length = byte + 1), then what a client sends
def http(reads, stream):
    return bytes([len(reads)] + [r - 1 for r in reads]) + stream


GET = b"GET / HTTP/1.1\r\nHost: 192.0.2.20:8080\r\n\r\n"
LOGIN = b'{"password":"room-password"}'
POST = (b"POST /api/login HTTP/1.1\r\nHost: 192.0.2.20:8080\r\nOrigin: http://192.0.2.20:8080\r\n"
        b"Content-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(LOGIN) + LOGIN)
LIVE = (b"GET /api/live HTTP/1.1\r\nHost: 192.0.2.20:8080\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
        b"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
write("http", "get-at-once", http([], GET))
write("http", "get-byte-by-byte", http([1], GET))
write("http", "login-then-get", http([7, 30], POST + GET))
write("http", "live", http([64], LIVE))
write("http", "http-1.0-form-login", http([5], b"POST /api/login HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                         b"Content-Length: 22\r\n\r\npassword=room-password"))
write("http", "cr-at-the-end-of-a-read", http([30, 200], b"GET / HTTP/1.1\r\nHost: x\r\nX: a\rb\r\n\r\n"))
write("http", "lf-alone", http([3], b"GET / HTTP/1.1\nHost: x\n\n"))
write("http", "chunked", http([], b"POST /api/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"))
write("http", "head-too-long", http([255], b"GET / HTTP/1.1\r\nHost: x\r\nX: " + b"a" * 8200 + b"\r\n\r\n"))
