"""Misbehaving answers of the provider stand-in, for the fault tests.

Each fault is a function of the request handler that writes (or withholds)
the answer itself. They are reached as the fixed routes "test/fault-NAME",
or through the routes file as {"QUERY": {"fault": "NAME"}}, so that a real
query (a login, the key download) can be made to fail the same way."""

import functools
import zlib

MIB = 1 << 20
# The client's limit for an answer after content decoding.
ANSWER_LIMIT = 64 * MIB
# How long a stalled answer holds the connection unless the client leaves first.
STALL_SECONDS = 600
# What a decompression bomb inflates to: four times the client's limit.
BOMB_BYTES = 4 * ANSWER_LIMIT

PARTIAL_BODY = b'{"data": {"status": "1", "cookie_id": "' + b"x" * 4000 + b'"}}'


def _head(handler, length=None, headers=(), content_type="application/json"):
    lines = ["HTTP/1.1 200 OK", f"Server: {handler.server_version}", "Connection: close",
             f"Content-Type: {content_type}"]
    if length is not None:
        lines.append(f"Content-Length: {length}")
    lines += [f"{name}: {value}" for name, value in headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def drop_before_answer(handler):
    """Reads the request, then closes the connection without a byte."""
    handler.close_connection = True


def drop_mid_body(handler):
    """Promises the whole body, sends half of it and closes."""
    half = len(PARTIAL_BODY) // 2
    handler.wfile.write(_head(handler, length=len(PARTIAL_BODY)) + PARTIAL_BODY[:half])
    handler.close_connection = True


def drop_mid_chunks(handler):
    """A chunked answer that ends before its last chunk."""
    chunk = PARTIAL_BODY[:1000]
    handler.wfile.write(_head(handler, headers=[("Transfer-Encoding", "chunked")])
                        + b"%x\r\n" % len(chunk) + chunk + b"\r\n")
    handler.close_connection = True


def stall(handler):
    """Sends the head and part of the body, then nothing for ten minutes.

    The connection is held by a read, so the thread ends as soon as the
    client gives up and closes its end."""
    handler.wfile.write(_head(handler, length=len(PARTIAL_BODY)) + PARTIAL_BODY[:100])
    handler.wfile.flush()
    handler.connection.settimeout(STALL_SECONDS)
    try:
        handler.connection.recv(1)
    except OSError:
        pass
    handler.close_connection = True


def _sized(length):
    def answer(handler):
        handler.wfile.write(_head(handler, length=length, content_type="text/plain")
                            + b" " * length)
        handler.close_connection = True
    return answer


@functools.lru_cache(maxsize=None)
def _bomb(wbits):
    compressor = zlib.compressobj(9, zlib.DEFLATED, wbits)
    zeros = bytes(MIB)
    parts = [compressor.compress(zeros) for _ in range(BOMB_BYTES // MIB)]
    parts.append(compressor.flush())
    return b"".join(parts)


def _compressed_bomb(encoding, wbits):
    def answer(handler):
        body = _bomb(wbits)
        handler.wfile.write(_head(handler, length=len(body), headers=[("Content-Encoding", encoding)]) + body)
        handler.close_connection = True
    return answer


FAULTS = {
    "drop-before-answer": drop_before_answer,
    "drop-mid-body": drop_mid_body,
    "drop-mid-chunks": drop_mid_chunks,
    "stall": stall,
    "exactly-64-mib": _sized(ANSWER_LIMIT),
    "over-64-mib": _sized(ANSWER_LIMIT + 1),
    "gzip-bomb": _compressed_bomb("gzip", 31),
    "deflate-bomb": _compressed_bomb("deflate", 15),
}
