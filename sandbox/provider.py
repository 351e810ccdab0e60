"""The provider's API stand-in: HTTPS (and plain HTTP for redirect tests) with the stdlib.

Answers the three queries for the sandbox accounts, plus fixed test routes
under "test/" and optional extra routes from a JSON file. Every request is
logged as one JSON line (method, raw path, headers) for the tests to read.

Run: python -m sandbox.provider --pki DIR --address HTTPS_ADDR [--https-port 443]
     [--http-port 80] [--routes FILE] [--log FILE] [--certificate-choice FILE]"""

import argparse
import base64
import gzip
import io
import json
import ssl
import sys
import threading
import zipfile
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import unquote, urlsplit

from .accounts import ACCOUNTS, API_HOST, QUERY_PREFIX, WEB_PAGE, server_list
from .provider_faults import FAULTS


class Answer:
    """One complete response: status, extra headers and the body bytes."""

    def __init__(self, body=b"", status=200, content_type="application/json", headers=()):
        self.body = body if isinstance(body, bytes) else body.encode()
        self.status = status
        self.headers = [("Content-Type", content_type)] if content_type else []
        self.headers.extend(headers)


def envelope(data, status=200):
    return Answer(json.dumps({"data": data}).encode(), status)


def refusal(message="Invalid credentials"):
    return envelope({"status": "0", "message": message})


# ---- the three queries -------------------------------------------------------

def _decode_segment(raw):
    """A path segment as the provider reads it: percent-decoded UTF-8."""
    return unquote(raw, errors="strict")


def parse_query(raw_query):
    """Splits a raw query path into (operation, username, password) or None.

    Credentials arrive percent-encoded where they hold "/", "?", "#", "%",
    spaces, control or non-ASCII characters; each segment is decoded on its own."""
    if "?" in raw_query or not raw_query.endswith(".json"):
        return None
    segments = raw_query[: -len(".json")].split("/")
    forms = {
        ("checksession", "username", None, "password", None): "checksession",
        ("serversdetail", "username", None, "password", None): "serversdetail",
        ("getuserkeys", "dapp", "true", "username", None, "password", None): "getuserkeys",
    }
    for form, operation in forms.items():
        if len(form) != len(segments):
            continue
        if all(fixed is None or fixed == segment for fixed, segment in zip(form, segments)):
            try:
                return operation, _decode_segment(segments[-3]), _decode_segment(segments[-1])
            except UnicodeDecodeError:
                return None
    return None


def key_bundle(pki, account):
    """The account's ZIP bundle: ca.crt, NAME.crt and NAME.key at the top level."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        archive.write(pki / "ca.crt", "ca.crt")
        archive.write(pki / f"client-{account.key_name}.crt", f"{account.key_name}.crt")
        archive.write(pki / f"client-{account.key_name}.key", f"{account.key_name}.key")
    return buffer.getvalue()


def answer_query(pki, operation, username, password):
    account = next((a for a in ACCOUNTS if a.username == username and a.password == password), None)
    if account is None:
        return refusal()
    if operation == "checksession":
        return envelope({"status": "1", "cookie_id": f"sandbox-session-{account.key_name}"})
    if operation == "serversdetail":
        return envelope(server_list())
    return Answer(key_bundle(pki, account), content_type="application/zip",
                  headers=[("Content-Disposition", f'attachment; filename="{account.key_name}.zip"')])


# ---- fixed test routes (query path "test/NAME") ----------------------------

OK_BODY = '{"data": {"status": "1", "cookie_id": "t\\u00e9st", "extra": [1, 2.5, null]}}\r\n'.encode()


def _empty_zip():
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("hello.txt", "hello from the sandbox\n")
    return buffer.getvalue()


def _redirect(location, status=302):
    return Answer(b"", status, content_type=None, headers=[("Location", location)])


def fixed_routes():
    base = f"https://{API_HOST}{QUERY_PREFIX}"
    plain = f"http://{API_HOST}{QUERY_PREFIX}"
    html = b"<html><body><h1>Not Found</h1></body></html>\n"
    return {
        "ok": Answer(OK_BODY),
        "status-0": refusal(),
        "status-2": envelope({"status": "2"}),
        "status-empty": envelope({"status": ""}),
        "status-null": envelope({"status": None}),
        "status-number-1": envelope({"status": 1}),
        # A repeated member counts with its last value, as json.loads keeps it.
        "status-twice-last-0": Answer(b'{"data": {"status": "1", "status": "0"}}'),
        "status-twice-last-1": Answer(b'{"data": {"status": "0", "status": "1"}}'),
        "status-object": Answer(b'{"data": {"status": {"status": "1"}}}'),
        "http-404-json": envelope({"status": "1", "error": "not found"}, 404),
        "http-500-json": envelope({"status": "1", "error": "server error"}, 500),
        "http-404-text": Answer(html, 404, "text/html"),
        "http-500-text": Answer(b"Internal Server Error\n", 500, "text/plain"),
        "empty": Answer(b"", 200, "application/json"),
        "zip": Answer(_empty_zip(), content_type="application/zip"),
        "gzip": Answer(gzip.compress(OK_BODY, mtime=0), headers=[("Content-Encoding", "gzip")]),
        "no-data": Answer(b'{"result": {"status": "1"}}'),
        "no-status": Answer(b'{"data": {"cookie_id": "x"}}'),
        "status-deeper": Answer(b'{"data": {"inner": {"status": "1"}}}'),
        "data-twice-last-without-status": Answer(b'{"data": {"status": "0"}, "data": {"cookie_id": "x"}}'),
        "data-twice-last-array": Answer(b'{"data": {"status": "1"}, "data": ["1"]}'),
        "data-not-object": Answer(b'{"data": "1"}'),
        "array": Answer(b'[{"data": {"status": "1"}}]'),
        "number": Answer(b"1"),
        "redirect-http": _redirect(plain + "test/ok"),
        "redirect-https": _redirect(base + "test/ok", 301),
        "redirect-loop": _redirect(base + "test/redirect-loop"),
        "redirect-ftp": _redirect(f"ftp://{API_HOST}/test/ok"),
    }


def load_routes(path):
    """Extra routes: {"QUERY": {"status": 200, "headers": [[k, v]], "body": "..." or "body_base64": "..."}}
    or {"QUERY": {"fault": NAME}} for one of the faults of provider_faults."""
    if path is None or not path.exists():
        return {}
    routes = {}
    for query, route in json.loads(path.read_text()).items():
        if "fault" in route:
            routes[query] = FAULTS[route["fault"]]
            continue
        body = base64.b64decode(route["body_base64"]) if "body_base64" in route else route.get("body", "").encode()
        routes[query] = Answer(body, route.get("status", 200), route.get("content_type", "application/json"),
                               [tuple(header) for header in route.get("headers", [])])
    return routes


# A page for browsing through Tor (accounts.WEB_PAGE), on every address and scheme.
WEB_PAGE_PATH = urlsplit(WEB_PAGE).path
WEB_PAGE_BODY = b"<html><body><p>A page on the far side of the internet.</p></body></html>\n"


# ---- HTTP plumbing ----------------------------------------------------------

class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "MarnuSandboxAPI/1.0"
    sys_version = ""
    # Headers and body go out in one write; with Nagle on, a second small
    # write waits for the client's delayed ACK.
    disable_nagle_algorithm = True

    def do_GET(self):
        self.server.log_request_line(self)
        answer = self._answer()
        if callable(answer):
            answer(self)
        else:
            self._send(answer)

    def do_HEAD(self):
        self.do_GET()

    def _answer(self):
        if self.path == WEB_PAGE_PATH:
            return Answer(WEB_PAGE_BODY, content_type="text/html")
        if self.path == "/" or not self.path.startswith(QUERY_PREFIX):
            return Answer(b'{"error": "unknown path"}', 404)
        query = self.path[len(QUERY_PREFIX):]
        extra = load_routes(self.server.routes_file)
        if query in extra:
            return extra[query]
        if query.startswith("test/"):
            if query == "test/echo":
                return self._echo()
            if query.startswith("test/fault-") and query[len("test/fault-"):] in FAULTS:
                return FAULTS[query[len("test/fault-"):]]
            return fixed_routes().get(query[len("test/"):], Answer(b'{"error": "no such test route"}', 404))
        parsed = parse_query(query)
        if parsed is None:
            return Answer(json.dumps({"data": {"status": "0", "message": "malformed query"}}).encode(), 404)
        return answer_query(self.server.pki, *parsed)

    def _echo(self):
        seen = {"status": "1", "path": self.path, "headers": [[k, v] for k, v in self.headers.items()]}
        return envelope(seen)

    def _send(self, answer):
        lines = [f"HTTP/1.1 {answer.status} {HTTPStatus(answer.status).phrase}",
                 f"Server: {self.server_version}", f"Content-Length: {len(answer.body)}", "Connection: close"]
        lines += [f"{name}: {value}" for name, value in answer.headers]
        head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
        self.wfile.write(head + (b"" if self.command == "HEAD" else answer.body))
        self.close_connection = True

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, pki, routes_file, log_file, tls_context=None):
        super().__init__(address, Handler)
        self.pki = pki
        self.routes_file = routes_file
        self.log_file = log_file
        self.log_lock = threading.Lock()
        if tls_context is not None:
            # The handshake runs in the request's thread, on its first read,
            # so a client that fails it never stalls the accept loop.
            self.socket = tls_context.wrap_socket(self.socket, server_side=True, do_handshake_on_connect=False)

    def handle_error(self, request, client_address):
        # Failed handshakes (the untrusted-certificate tests) and dropped
        # connections are expected: one line in the log, not a traceback.
        print(f"request from {client_address[0]} failed: {sys.exc_info()[1]!r}", file=sys.stderr, flush=True)

    def log_request_line(self, handler):
        if self.log_file is None:
            return
        tls = isinstance(handler.connection, ssl.SSLSocket)
        record = {"scheme": "https" if tls else "http", "client": handler.client_address[0],
                  "method": handler.command, "path": handler.path,
                  "headers": [[k, v] for k, v in handler.headers.items()],
                  "tls_session_reused": tls and handler.connection.session_reused}
        with self.log_lock, open(self.log_file, "a") as log:
            log.write(json.dumps(record) + "\n")


def tls_context(pki, name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(pki / f"{name}.crt", pki / f"{name}.key")
    return context


def certificate_chooser(pki, choice_file):
    """Presents the certificate named in `choice_file` ("api" when it is
    absent), so a test can have the API host show another host's certificate."""
    contexts = {name: tls_context(pki, name) for name in ("api", "api-other-name")}

    def choose(ssl_socket, server_name, context):
        wanted = choice_file.read_text().strip() if choice_file.exists() else "api"
        ssl_socket.context = contexts[wanted]

    return choose


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m sandbox.provider")
    parser.add_argument("--pki", type=Path, required=True)
    parser.add_argument("--address", required=True)
    parser.add_argument("--https-port", type=int, default=443)
    parser.add_argument("--http-port", type=int, default=80)
    parser.add_argument("--routes", type=Path)
    parser.add_argument("--log", type=Path)
    parser.add_argument("--certificate-choice", type=Path)
    options = parser.parse_args(argv)

    context = tls_context(options.pki, "api")
    if options.certificate_choice is not None:
        context.sni_callback = certificate_chooser(options.pki, options.certificate_choice)
    # Plain HTTP answers on every address: the redirect tests use it, and so
    # do the leak checks, on an address outside the tunnel.
    servers = [Server((options.address, options.https_port), options.pki, options.routes, options.log, context),
               Server(("", options.http_port), options.pki, options.routes, options.log)]
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    # The listening sockets exist: tell whoever waits that the provider is up.
    print("provider ready", flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    sys.exit(main())
