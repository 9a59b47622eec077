"""Hostile search bodies and broken upstream services, against a real server on 127.0.0.1."""

import socket
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
import requests

from lexaro_contract.registro.servidor.pasta_json import PastaJson

from test_registro_servidor import CONHECIDA, EMPRESAS, busca, empresa, encaminhar, servir  # noqa: F401

BUSCA = "/v2/public/cnpj/search"


@pytest.mark.parametrize("corpo", [
    {"query": {"termo": ["alfa"], "uf": [f"X{i}" for i in range(300)]}},
    {"query": {"termo": ["alfa"], "uf": "ZZ"}},
    {"query": {"termo": ["alfa"], "situacao_cadastral": "QUALQUER"}},
    {"query": {"termo": ["alfa"] * 11}},
    {"query": {"termo": ["a" * 201]}},
])
def test_invalid_search_filters_are_400_with_a_json_error(servir, corpo):
    _, base = servir()
    r = busca(base, corpo)
    assert r.status_code == 400 and r.json()["success"] is False


def test_lookups_answer_while_searches_flood_the_server(servir):
    class Lenta(PastaJson):                 # a database whose name search is slow
        def buscar(self, *a, **k):
            time.sleep(0.2)
            return super().buscar(*a, **k)

    fonte = Lenta({e["cnpj"]: e for e in (empresa(n, f"COMERCIO {n} LTDA") for n in range(1, 3000))})
    srv, base = servir(lambda: fonte, trabalhadores=4)      # lookups go through the worker threads too
    ufs = {"query": {"termo": ["comercio"], "uf": ["ac", "AL", "AM", "AP", "BA", "CE", "DF", "ES", "GO", "MA",
                                                 "MG", "MS", "MT", "PA", "PB", "PE", "PI", "PR", "RJ", "RN",
                                                 "RO", "RR", "RS", "SC", "SE", "TO"]}}
    with ThreadPoolExecutor(8) as pool:
        buscas = [pool.submit(requests.post, base + BUSCA, json=ufs, timeout=30) for _ in range(8)]
        time.sleep(0.1)
        inicio = time.monotonic()
        r = requests.get(base + "/api/cnpj/v1/" + empresa(7, "")["cnpj"], timeout=10)
        # Queued behind the searches it would wait seconds (26 slow calls each).
        assert r.status_code == 200 and time.monotonic() - inicio < 2.5
        assert all(b.result().status_code == 200 for b in buscas)


# (sent at once, then dripped one byte every 0.3 s): from the status line on,
# or the body after whole headers.
GOTAS = {
    "cabecalhos": (b"", b"HTTP/1.1 200 OK\r\nX-Drip: " + b"a" * 1000),
    "corpo": (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n", b" " * 1000),
}


def _gotejando(porta_ouvida, gotas):
    """An upstream that sends `gotas[0]` at once, then `gotas[1]` one byte every 0.3 s."""
    ouvinte = socket.create_server(("127.0.0.1", 0))
    de_uma_vez, gotejado = gotas

    def servir_um(con):
        try:
            con.sendall(de_uma_vez)
            for b in gotejado:
                con.sendall(bytes([b]))
                time.sleep(0.3)
        except OSError:
            pass
        finally:
            con.close()

    def aceitar():
        while True:
            try:
                con, _ = ouvinte.accept()
            except OSError:
                return
            threading.Thread(target=servir_um, args=(con,), daemon=True).start()
    threading.Thread(target=aceitar, daemon=True).start()
    porta_ouvida.append(ouvinte)
    return f"http://127.0.0.1:{ouvinte.getsockname()[1]}"


@pytest.mark.parametrize("resposta", [
    (200, dict(CONHECIDA, cnpj=EMPRESAS[0]["cnpj"]), {}),            # another company's record
    (200, {"cnpj": "", "error": "rate limited"}, {}),
    (200, {}, {}),
    (302, {}, {"Location": "http://127.0.0.1:9/api/cnpj/v1/" + CONHECIDA["cnpj"]}),
    (200, dict(CONHECIDA, razao_social="X" * (2 << 20)), {}),          # a body over the cap
])
def test_a_poisoning_upstream_is_never_served_nor_cached(encaminhar, resposta):
    def receita(c, n):
        return 200, {"status": "ERROR", "message": "Timeout"}, {}
    base, (b, r, _), enc = encaminhar(lambda c, n: resposta, receita, espera_maxima=0.4, tempo_limite=0.3)
    assert requests.get(base + "/api/cnpj/v1/" + CONHECIDA["cnpj"], timeout=10).status_code == 503
    assert enc.do_cache(CONHECIDA["cnpj"]) == (False, None)


@pytest.mark.parametrize("gotas", GOTAS.values(), ids=GOTAS.keys())
def test_a_dripping_upstream_gives_503_within_the_wait_and_cached_answers_still_come(encaminhar, tmp_path, gotas):
    abertos = []
    base, (b, r, _), enc = encaminhar(lambda c, n: (404, {}, {}), lambda c, n: (404, {}, {}),
                                      espera_maxima=1.0, tempo_limite=1.5)
    enc.cache.gravar("cnpj:12345678000199", dict(CONHECIDA), 3600)
    enc.brasil_api.url = enc.receita_ws.url = _gotejando(abertos, gotas)
    try:
        with ThreadPoolExecutor(40) as pool:
            lentos = [pool.submit(requests.get, base + "/api/cnpj/v1/" + empresa(200 + i, "")["cnpj"], timeout=10)
                      for i in range(36)]
            time.sleep(0.3)
            inicio = time.monotonic()
            guardado = requests.get(base + "/api/cnpj/v1/12345678000199", timeout=5)
            assert guardado.status_code == 200 and time.monotonic() - inicio < 1.0
            assert {f.result().status_code for f in lentos} == {503}
            assert max(f.result().elapsed.total_seconds() for f in lentos) < 3.0
        time.sleep(1.0)                      # the upstream requests' own deadline frees the threads
        assert enc.estatisticas()["BrasilAPI"]["recusas"] >= 32
    finally:
        for o in abertos:
            o.close()
