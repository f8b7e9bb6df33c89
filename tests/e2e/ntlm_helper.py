#!/usr/bin/env python3
"""A squid NTLM helper for the tests: sends a well-formed challenge (type 2) and
accepts an answer (type 3) only when its NTLMv2 response proves the password of
the user in the file given (lines of DOMAIN\\user:password)."""
import base64
import hashlib
import hmac
import os
import struct
import sys


def md4(data):
    """MD4 (RFC 1320), which OpenSSL 3 no longer offers by default."""
    def f(x, y, z): return (x & y) | (~x & z)
    def g(x, y, z): return (x & y) | (x & z) | (y & z)
    def h(x, y, z): return x ^ y ^ z
    def rotl(v, s): return ((v << s) | (v >> (32 - s))) & 0xffffffff
    message = data + b"\x80" + b"\0" * ((55 - len(data)) % 64) + struct.pack("<Q", len(data) * 8)
    state = [0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476]
    for offset in range(0, len(message), 64):
        x = struct.unpack("<16I", message[offset:offset + 64])
        a, b, c, d = state
        for i in range(16):
            a, b, c, d = d, rotl((a + f(b, c, d) + x[i]) & 0xffffffff, (3, 7, 11, 19)[i % 4]), b, c
        for i in range(16):
            k = (i % 4) * 4 + i // 4
            a, b, c, d = d, rotl((a + g(b, c, d) + x[k] + 0x5a827999) & 0xffffffff, (3, 5, 9, 13)[i % 4]), b, c
        for i in range(16):
            k = (0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15)[i]
            a, b, c, d = d, rotl((a + h(b, c, d) + x[k] + 0x6ed9eba1) & 0xffffffff, (3, 9, 11, 15)[i % 4]), b, c
        state = [(s + v) & 0xffffffff for s, v in zip(state, (a, b, c, d))]
    return struct.pack("<4I", *state)


def security_buffer(data, offset):
    return struct.pack("<HHI", len(data), len(data), offset)


users = {}
with open(sys.argv[1]) as f:
    for line in f:
        name, _, password = line.rstrip("\n").partition(":")
        users[name.lower()] = password
target = "CORP".encode("utf-16le")
info = struct.pack("<HH", 2, len(target)) + target + struct.pack("<HH", 0, 0)
challenge = b""
for line in sys.stdin:
    command, _, blob = line.strip().partition(" ")
    if command == "YR":
        challenge = os.urandom(8)
        flags = 0x00000001 | 0x4 | 0x200 | 0x8000 | 0x10000 | 0x80000 | 0x800000
        message = (b"NTLMSSP\0" + struct.pack("<I", 2) + security_buffer(target, 48) + struct.pack("<I", flags)
                   + challenge + b"\0" * 8 + security_buffer(info, 48 + len(target)) + target + info)
        print("TT " + base64.b64encode(message).decode(), flush=True)
    elif command == "KK" and blob:
        message = base64.b64decode(blob)

        def field(at):
            length, _, offset = struct.unpack("<HHI", message[at:at + 8])
            return message[offset:offset + length]
        response, domain, user = field(20), field(28).decode("utf-16le"), field(36).decode("utf-16le")
        password = users.get(("%s\\%s" % (domain, user)).lower())
        proof, blob_part = response[:16], response[16:]
        good = False
        if password is not None and len(response) > 16:
            key = hmac.new(md4(password.encode("utf-16le")), (user.upper() + domain).encode("utf-16le"), hashlib.md5).digest()
            good = hmac.compare_digest(hmac.new(key, challenge + blob_part, hashlib.md5).digest(), proof)
        print("OK user=%s\\%s" % (domain, user) if good else "ERR message=wrong password", flush=True)
    else:
        print("BH bad request " + command, flush=True)
