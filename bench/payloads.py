"""The answers the provider stand-ins give: a large server list and key
bundles, built the same way on every run."""

import base64
import io
import json
import random
import zipfile

CITIES = ["Amsterdam", "Zürich", "São Paulo", "Reykjavík", "Montréal", "Tokyo", "Wien", "Kraków", "Oslo", "Lyon"]
PROTOCOLS = ["udp", "tcp"]


def server_record(rng, number):
    city = rng.choice(CITIES)
    return {
        "address": "10.%d.%d.%d" % (number >> 16 & 255, number >> 8 & 255, number & 255),
        "port": str(rng.choice([443, 1194, 1195, 8080])),
        "proto": rng.choice(PROTOCOLS),
        "name": "ignored",
        "country": city[:2].upper(),
        "city": city,
        "load": rng.randrange(100),
        "latency": round(rng.uniform(5, 300), 3),
        "online": rng.random() < 0.9,
        "ipv6": None,
        "tags": rng.sample(["p2p", "streaming", "tor", "double-vpn", "obfs"], 2),
    }


def server_list(size=1_000_000):
    """A server-list answer of about `size` bytes (UTF-8 JSON, compact as a
    web service sends it)."""
    rng = random.Random(6)
    data = {"status": "1"}
    encoded = 0
    number = 0
    while encoded < size:
        number += 1
        name = "%s-%04d" % (rng.choice(CITIES).lower()[:3], number)
        data[name] = server_record(rng, number)
        encoded += len(json.dumps({name: data[name]}, ensure_ascii=False, separators=(",", ":")).encode())
    return json.dumps({"data": data}, ensure_ascii=False, separators=(",", ":")).encode()


def pem_like(rng, size):
    """Base64 text in 64-column lines: what certificates and keys look like."""
    raw = rng.randbytes(size * 3 // 4)
    text = base64.b64encode(raw)
    lines = [text[i : i + 64] for i in range(0, len(text), 64)]
    return b"-----BEGIN CERTIFICATE-----\n" + b"\n".join(lines) + b"\n-----END CERTIFICATE-----\n"


def bundle(members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in members:
            archive.writestr(name, data)
    return buffer.getvalue()


def key_bundle():
    """The three members an account's bundle holds, of their usual sizes."""
    rng = random.Random(3)
    return bundle([("ca.crt", pem_like(rng, 1900)), ("alice.crt", pem_like(rng, 1700)), ("alice.key", pem_like(rng, 1700))])


def large_bundle(size=5 << 20):
    """A bundle of about `size` bytes: the three key files and further
    members of certificate-like text."""
    rng = random.Random(5)
    members = [("ca.crt", pem_like(rng, 1900)), ("alice.crt", pem_like(rng, 1700)), ("alice.key", pem_like(rng, 1700))]
    # Deflate keeps about 76% of base64 text.
    extra = int(size / 0.76)
    per_member = 512 << 10
    for index in range(0, extra, per_member):
        members.append(("extra/%02d.pem" % (index // per_member), pem_like(rng, min(per_member, extra - index))))
    return bundle(members)
