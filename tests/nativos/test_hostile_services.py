"""Registry and search services that misbehave: slow answers, connections cut
mid-body, undecodable, huge or absurdly nested bodies, wrong content types,
redirects and streams of 429s. Every lookup gives None within its timeout and
the module keeps working afterwards."""
import json
import socket
import struct
import threading
import time

import pytest
from pytest_httpserver import HTTPServer
from werkzeug import Response

from lexaro_contract import cnpj
from test_cnpj_registry import BRASIL, BRASIL_PATH, BRASIL_RECORD, CNPJ, RECEITA_PATH, ordered, paths, point_at

SEARCH_PATH = "/v2/public/cnpj/search"
HITS = {"success": True, "data": {"count": 1, "cnpj": [{"cnpj": CNPJ}]}, "page": {"current": 1}}
TIMEOUT = 0.3
NAME = "Padaria Aurora"

# Every lookup of the module, with arguments that make it ask the services.
REGISTRY_LOOKUPS = [
    ("_consultar_brasil_api", lambda: cnpj._consultar_brasil_api(CNPJ)),
    ("_consultar_receita_ws", lambda: cnpj._consultar_receita_ws(CNPJ)),
    ("consultar_cnpj", lambda: cnpj.consultar_cnpj(CNPJ)),
    ("buscar_empresa_cnpj", lambda: cnpj.buscar_empresa(cnpj=CNPJ)),
    ("buscar_empresa_completo_cnpj", lambda: cnpj.buscar_empresa_completo(cnpj=CNPJ)),
]
SEARCH_LOOKUPS = [
    ("buscar_cnpj_por_nome", lambda: cnpj.buscar_cnpj_por_nome(NAME, "SP")),
    ("buscar_empresa", lambda: cnpj.buscar_empresa(cnpj=CNPJ, nome=NAME)),
    ("buscar_empresa_completo", lambda: cnpj.buscar_empresa_completo(CNPJ, NAME, "SP", True, None)),
]
ALL_LOOKUPS = REGISTRY_LOOKUPS + SEARCH_LOOKUPS


@pytest.fixture
def short_timeout(monkeypatch):
    monkeypatch.setattr(cnpj, "REQUEST_TIMEOUT", TIMEOUT)


@pytest.fixture(scope="module")
def healthy_server():
    server = HTTPServer(host="127.0.0.1", port=0)
    server.start()
    yield server
    server.stop()


@pytest.fixture
def healthy(healthy_server):
    """A second, well-behaved server: after the hostile one, a normal lookup
    and a normal search must still succeed."""
    healthy_server.clear()
    yield healthy_server
    healthy_server.clear()


def assert_still_working(apontar_registro, server):
    server.clear()
    point_at(apontar_registro, server)
    server.expect_request(SEARCH_PATH, method="POST").respond_with_json(HITS)
    server.expect_request(BRASIL_PATH).respond_with_json(BRASIL)
    assert ordered(cnpj.consultar_cnpj(CNPJ)) == ordered(BRASIL_RECORD)
    found = cnpj.buscar_cnpj_por_nome(NAME)
    assert found["busca_por_nome"] is True and found["razao_social"] == BRASIL["razao_social"]


def all_absent(lookups, bound):
    for name, lookup in lookups:
        start = time.monotonic()
        assert lookup() is None, name
        assert time.monotonic() - start < bound, name


# ---------------------------------------------------------------- connection-level misbehaviour


class RawServer:
    """A TCP server on 127.0.0.1 that reads one HTTP request per connection
    and then does what `behave(conn, request_bytes, stop)` says."""

    def __init__(self, behave):
        self.behave = behave
        self.stop = threading.Event()
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.requests = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    @property
    def base(self):
        return f"http://127.0.0.1:{self.port}"

    def _serve(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except (socket.timeout, OSError):
                continue
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn):
        with conn:
            conn.settimeout(5)
            data = b""
            try:
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                head, _, body = data.partition(b"\r\n\r\n")
                length = 0
                for line in head.split(b"\r\n")[1:]:
                    key, _, value = line.partition(b":")
                    if key.strip().lower() == b"content-length":
                        length = int(value)
                while len(body) < length:
                    body += conn.recv(65536)
                self.requests.append(head.split(b"\r\n")[0].decode())
                self.behave(conn, self.stop)
            except OSError:
                pass

    def close(self):
        self.stop.set()
        self.sock.close()
        self.thread.join(2)


@pytest.fixture
def raw_server(apontar_registro):
    servers = []

    def start(behave):
        server = RawServer(behave)
        servers.append(server)
        apontar_registro(server.base)
        return server

    yield start
    for server in servers:
        server.close()


def never_answers(conn, stop):
    stop.wait(3)


def headers_then_silence(conn, stop):
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n")
    stop.wait(3)


def body_then_silence(conn, stop):
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{\"razao")
    stop.wait(3)


def close_mid_body(conn, stop):
    body = json.dumps(BRASIL).encode()
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(body)
                 + body[: len(body) // 2])


def close_mid_chunk(conn, stop):
    body = json.dumps(BRASIL).encode()
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
                 + b"%x\r\n" % len(body) + body[:40])


def bad_chunk_size(conn, stop):
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
                 b"zz\r\n{}\r\n0\r\n\r\n")


def close_without_answer(conn, stop):
    pass


def reset_without_answer(conn, stop):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # RST on close


def garbage_status_line(conn, stop):
    conn.sendall(b"SURPRISE\r\n\r\n{}")


def slow_valid_answer(conn, stop):
    if not stop.wait(1.5):
        body = json.dumps(BRASIL).encode()
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n"
                     % len(body) + body)


@pytest.mark.parametrize("behave", [never_answers, headers_then_silence, body_then_silence, slow_valid_answer])
def test_slow_services_time_out(raw_server, short_timeout, behave, healthy, apontar_registro):
    # The search keeps its own 15 s timeout, so only the registry lookups wait.
    server = raw_server(behave)
    # consultar_cnpj waits out two timeouts; nothing else is retried.
    all_absent(REGISTRY_LOOKUPS, 2 * TIMEOUT + 0.6)
    assert len(server.requests) == 8 and all(r.startswith("GET ") for r in server.requests)
    assert_still_working(apontar_registro, healthy)


@pytest.mark.parametrize("behave", [close_mid_body, close_mid_chunk, bad_chunk_size, close_without_answer,
                                    reset_without_answer, garbage_status_line])
def test_broken_connections(raw_server, short_timeout, behave, healthy, apontar_registro):
    server = raw_server(behave)
    all_absent(ALL_LOOKUPS, 2)
    # Each service asked once per lookup: 1 + 1 + 2 + 2 + 2 registry requests,
    # then 1 + (2 + 1) + (2 + 1) for the lookups that also search.
    assert len(server.requests) == 15
    assert_still_working(apontar_registro, healthy)


def test_nothing_listening(apontar_registro, short_timeout, healthy):
    probe = socket.create_server(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    apontar_registro(f"http://127.0.0.1:{port}")
    all_absent(ALL_LOOKUPS, 2)
    assert_still_working(apontar_registro, healthy)


# ---------------------------------------------------------------- bodies and statuses


@pytest.fixture
def hostile(httpserver, apontar_registro, short_timeout):
    apontar_registro(httpserver.url_for("").rstrip("/"))
    return httpserver


def answer_everything(server, response):
    for path in (BRASIL_PATH, RECEITA_PATH, SEARCH_PATH):
        server.expect_request(path).respond_with_response(response)


DEEP_LIST = "[" * 100_000 + "]" * 100_000
DEEP_OBJECT = '{"qsa": ' + '{"a": ' * 100_000 + "1" + "}" * 100_000 + "}"
BODIES = {
    "invalid utf-8": (b'\xff\xfe\xfa{"razao_social": "\xc3\x28"}', "application/json"),
    "truncated utf-8 sequence": (b'{"razao_social": "PADARIA S\xc3', "application/json"),
    "utf-16 without bom garbage": ("\ud800".encode("utf-8", "surrogatepass") * 4, "application/json"),
    "nested lists 100000 deep": (DEEP_LIST, "application/json"),
    "nested objects 100000 deep": (DEEP_OBJECT, "application/json"),
    "html page": ("<html><body>Too many requests, bot check</body></html>", "text/html"),
    "empty body": ("", "application/json"),
    "json scalar": ("12345678000199", "application/json"),
    "json list": (json.dumps([BRASIL]), "application/json"),
    "xml": ('<?xml version="1.0"?><cnpj>12345678000199</cnpj>', "application/xml"),
    "nul bytes": (b"\x00" * 1000, "application/octet-stream"),
    "nan and infinity": ('{"qsa": NaN, "data": Infinity}', "application/json"),
}


@pytest.mark.parametrize("body, content_type", list(BODIES.values()), ids=list(BODIES))
def test_undecodable_or_unexpected_bodies(hostile, body, content_type, healthy, apontar_registro):
    answer_everything(hostile, Response(body, status=200, content_type=content_type))
    all_absent(ALL_LOOKUPS, 5)
    assert_still_working(apontar_registro, healthy)


def test_fifty_megabyte_body(hostile, healthy, apontar_registro):
    # 50 MB that never becomes a JSON value: an array that is never closed.
    body = b"[" + b"1," * (25 * 1024 * 1024)
    answer_everything(hostile, Response(body, status=200, content_type="application/json"))
    for name, lookup in [REGISTRY_LOOKUPS[0], SEARCH_LOOKUPS[0]]:
        start = time.monotonic()
        assert lookup() is None, name
        # A bound against hanging, not a speed target (decoding 50 MB takes
        # a while under the sanitizers).
        assert time.monotonic() - start < 60, name
    assert_still_working(apontar_registro, healthy)


def test_fifty_megabyte_field_is_kept_as_sent(hostile):
    # A huge but well-formed answer is a record: size alone is not an error.
    name = "PADARIA " * (50 * 1024 * 1024 // 8)
    hostile.expect_request(BRASIL_PATH).respond_with_json({"razao_social": name, "qsa": []})
    record = cnpj._consultar_brasil_api(CNPJ)
    assert len(record["razao_social"]) == len(name) and record["razao_social"] == name


def test_content_type_is_not_consulted(hostile):
    # The body is decoded as JSON whatever the declared type: a valid record
    # under a wrong content type is still the record.
    hostile.expect_request(BRASIL_PATH).respond_with_data(json.dumps(BRASIL), content_type="text/html")
    assert ordered(cnpj.consultar_cnpj(CNPJ)) == ordered(BRASIL_RECORD)


@pytest.mark.parametrize("status", [429, 503, 504, 403, 301, 204, 418])
def test_stream_of_error_statuses(hostile, status, healthy, apontar_registro):
    headers = {"Retry-After": "3600"} if status == 429 else {}
    answer_everything(hostile, Response(json.dumps({"message": "Too Many Requests"}), status=status,
                                        headers=headers, content_type="application/json"))
    start = time.monotonic()
    all_absent(ALL_LOOKUPS, 2)
    assert time.monotonic() - start < 3  # nothing waits for Retry-After
    # No retries: one request per service per lookup.
    assert len(hostile.log) == 15
    assert_still_working(apontar_registro, healthy)


# ---------------------------------------------------------------- redirects


def test_redirect_to_a_closed_port(hostile, healthy, apontar_registro):
    probe = socket.create_server(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    answer_everything(hostile, Response("", status=302, headers={"Location": f"http://127.0.0.1:{port}/x"}))
    all_absent(ALL_LOOKUPS, 2)
    assert_still_working(apontar_registro, healthy)


def test_redirect_loop(hostile, healthy, apontar_registro):
    for path in (BRASIL_PATH, RECEITA_PATH, SEARCH_PATH):
        hostile.expect_request(path).respond_with_response(Response("", status=307, headers={"Location": path}))
    all_absent(ALL_LOOKUPS, 5)
    assert_still_working(apontar_registro, healthy)


def test_redirect_to_another_local_port_that_misbehaves(hostile, raw_server, healthy, apontar_registro):
    other = raw_server(close_mid_body)
    apontar_registro(hostile.url_for("").rstrip("/"))
    answer_everything(hostile, Response("", status=307, headers={"Location": other.base + "/elsewhere"}))
    all_absent(ALL_LOOKUPS, 2)
    assert other.requests and all(r.split()[1] == "/elsewhere" for r in other.requests)
    assert_still_working(apontar_registro, healthy)


def test_redirect_to_another_local_port_is_followed(hostile, healthy):
    # Redirects are the HTTP client's default behaviour: followed.
    healthy.expect_request("/moved").respond_with_json(BRASIL)
    hostile.expect_request(BRASIL_PATH).respond_with_response(
        Response("", status=301, headers={"Location": healthy.url_for("/moved")}))
    assert ordered(cnpj._consultar_brasil_api(CNPJ)) == ordered(BRASIL_RECORD)
    assert paths(healthy) == ["/moved"]
