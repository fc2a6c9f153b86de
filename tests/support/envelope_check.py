#!/usr/bin/python3
"""An independent reading and sealing of fwdeploy's encrypted packages, written
from the format the README describes (section "Encrypted packages"), with
Python's cryptography package: nothing of fwbundle's or the board's code.

    envelope_check.py seal OUT PACKAGE RECIPIENT.pub.pem... [--extra N]
    envelope_check.py open OUT ENVELOPE KEY.pem
    envelope_check.py known-answers KEY.pem

--extra N puts N recipients of fresh keys before the others.
`known-answers` prints, for fixed inputs and the recipient KEY.pem, what each
step yields, a `name hex` line each, for the board's own code to be held to.
"""
import hashlib
import hmac
import struct
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

MAGIC = b"FWCRYPT1"
FIXED = 56
LINE = 32 + 65 + 48
CHACHA20_POLY1305 = 1


def hkdf(salt, key, info):
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=salt, info=info).derive(key)


def point(public_key):
    return public_key.public_bytes(serialization.Encoding.X962,
                                   serialization.PublicFormat.UncompressedPoint)


def key_id(public_key):
    der = public_key.public_bytes(serialization.Encoding.DER,
                                  serialization.PublicFormat.SubjectPublicKeyInfo)
    return hashlib.sha256(der).digest()


def chunk_nonce(number, last):
    return number.to_bytes(11, "big") + (b"\x01" if last else b"\x00")


def wrap(content_key, recipient, ephemeral):
    shared = ephemeral.exchange(ec.ECDH(), recipient)
    ephemeral_point = point(ephemeral.public_key())
    wrap_key = hkdf(ephemeral_point + point(recipient), shared, b"fwdeploy envelope key wrap")
    rid = key_id(recipient)
    wrapped = ChaCha20Poly1305(wrap_key).encrypt(bytes(12), content_key, rid)
    return rid + ephemeral_point + wrapped


def seal(package, recipients, chunk_size=65536, content_key=None, salt=None, ephemerals=None):
    content_key = content_key or bytes(__import__("os").urandom(32))
    salt = salt or __import__("os").urandom(32)
    header = MAGIC + struct.pack("<IHHII", FIXED + LINE * len(recipients) + 32,
                                 CHACHA20_POLY1305, 0, chunk_size, len(recipients)) + salt
    for i, recipient in enumerate(recipients):
        ephemeral = ephemerals[i] if ephemerals else ec.generate_private_key(ec.SECP256R1())
        header += wrap(content_key, recipient, ephemeral)
    mac_key = hkdf(salt, content_key, b"fwdeploy envelope header")
    header += hmac.new(mac_key, hashlib.sha256(header).digest(), hashlib.sha256).digest()
    payload = ChaCha20Poly1305(hkdf(salt, content_key, b"fwdeploy envelope payload"))
    pieces = [package[i:i + chunk_size] for i in range(0, len(package), chunk_size)] or [b""]
    body = b"".join(payload.encrypt(chunk_nonce(n, n == len(pieces) - 1), piece, None)
                    for n, piece in enumerate(pieces))
    return header + body


def open_envelope(envelope, private_key):
    if envelope[:8] != MAGIC:
        raise ValueError("not an envelope")
    size, cipher, reserved, chunk_size, count = struct.unpack_from("<IHHII", envelope, 8)
    if cipher != CHACHA20_POLY1305 or reserved != 0 or size != FIXED + LINE * count + 32:
        raise ValueError("header damaged")
    salt = envelope[24:56]
    mine = key_id(private_key.public_key())
    content_key = None
    for i in range(count):
        line = envelope[FIXED + LINE * i:FIXED + LINE * (i + 1)]
        if line[:32] != mine:
            continue
        ephemeral = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), line[32:97])
        shared = private_key.exchange(ec.ECDH(), ephemeral)
        wrap_key = hkdf(line[32:97] + point(private_key.public_key()), shared,
                        b"fwdeploy envelope key wrap")
        content_key = ChaCha20Poly1305(wrap_key).decrypt(bytes(12), line[97:], mine)
        break
    if content_key is None:
        raise ValueError("for other boards")
    mac_key = hkdf(salt, content_key, b"fwdeploy envelope header")
    expected = hmac.new(mac_key, hashlib.sha256(envelope[:size - 32]).digest(),
                        hashlib.sha256).digest()
    if not hmac.compare_digest(expected, envelope[size - 32:size]):
        raise ValueError("header damaged")
    payload = ChaCha20Poly1305(hkdf(salt, content_key, b"fwdeploy envelope payload"))
    body = envelope[size:]
    sealed = chunk_size + 16
    count = max(1, (len(body) + sealed - 1) // sealed)
    out = b""
    for n in range(count):
        piece = body[n * sealed:(n + 1) * sealed]
        out += payload.decrypt(chunk_nonce(n, n == count - 1), piece, None)
    return out


def load_private(path):
    with open(path, "rb") as f:
        return serialization.load_pem_private_key(f.read(), None)


def load_public(path):
    with open(path, "rb") as f:
        return serialization.load_pem_public_key(f.read())


def known_answers(key_path):
    recipient = load_private(key_path)
    content_key = bytes(range(32))
    salt = bytes(range(100, 132))
    ephemeral = ec.derive_private_key(0x1234567890ABCDEF, ec.SECP256R1())
    line = wrap(content_key, recipient.public_key(), ephemeral)
    payload_key = hkdf(salt, content_key, b"fwdeploy envelope payload")
    header_key = hkdf(salt, content_key, b"fwdeploy envelope header")
    data = bytes((i * 7) & 0xFF for i in range(1000))
    print("content_key", content_key.hex())
    print("salt", salt.hex())
    print("line", line.hex())
    print("payload_key", payload_key.hex())
    print("header_key", header_key.hex())
    print("data", data.hex())
    for number, last in ((0, False), (5, True), (2 ** 40, False)):
        sealed = ChaCha20Poly1305(payload_key).encrypt(chunk_nonce(number, last), data, None)
        print("chunk_%d_%d" % (number, last), sealed.hex())


def main(argv):
    if len(argv) >= 4 and argv[1] == "seal":
        with open(argv[3], "rb") as f:
            package = f.read()
        names = argv[4:]
        extra = 0
        if len(names) >= 2 and names[-2] == "--extra":
            extra = int(names[-1])
            names = names[:-2]
        recipients = [ec.generate_private_key(ec.SECP256R1()).public_key() for _ in range(extra)]
        envelope = seal(package, recipients + [load_public(p) for p in names])
        with open(argv[2], "wb") as f:
            f.write(envelope)
    elif len(argv) == 5 and argv[1] == "open":
        with open(argv[3], "rb") as f:
            envelope = f.read()
        with open(argv[2], "wb") as f:
            f.write(open_envelope(envelope, load_private(argv[4])))
    elif len(argv) == 3 and argv[1] == "known-answers":
        known_answers(argv[2])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
