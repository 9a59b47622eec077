"""The registry server under load, hostile clients, bad data and flaky upstream services."""

import http.client
import json
import re
import socket
import sqlite3
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest
import requests

from lexaro_contract import cli, cnpj, registro
from lexaro_contract.registro.encaminhamento.cache_respostas import CacheRespostas
from lexaro_contract.registro.encaminhamento.cota import Cota, ler_retry_after, ler_ritmo
from lexaro_contract.registro.encaminhamento.encaminhador import Encaminhador, Servico
from lexaro_contract.registro.servidor.pasta_json import PastaJson

ROOT = Path(__file__).resolve().parents[2]


def empresa(n, nome, uf="SP", situacao="ATIVA", fantasia=""):
    raiz = f"{n:08d}0001"
    pesos = [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2]
    d1 = 11 - sum(int(c) * p for c, p in zip(raiz, pesos)) % 11
    d1 = 0 if d1 >= 10 else d1
    d2 = 11 - sum(int(c) * p for c, p in zip(raiz + str(d1), [6] + pesos)) % 11
    d2 = 0 if d2 >= 10 else d2
    return {"cnpj": f"{raiz}{d1}{d2}", "razao_social": nome, "nome_fantasia": fantasia, "uf": uf,
            "descricao_situacao_cadastral": situacao, "municipio": "CAMPINAS", "logradouro": "DAS FLORES",
            "numero": "10", "cep": "13010050", "capital_social": 1000.0,
            "qsa": [{"nome_socio": f"SOCIO {n}", "qualificacao_socio": "Sócio-Administrador",
                     "codigo_qualificacao_socio": 49}]}


EMPRESAS = [empresa(1, "ALFA SERVICOS LTDA", fantasia="ALFA TEC"), empresa(2, "BETA ALFA COMERCIO LTDA"),
            empresa(3, "ALFA", uf="RJ"), empresa(4, "GAMA ALFA LTDA", situacao="BAIXADA"),
            empresa(5, "DELTA LTDA", uf="MG")]


@pytest.fixture
def servir(apontar_registro):
    abertos = []

    def iniciar(dados=None, **opcoes):
        srv, base = registro.iniciar_em_segundo_plano(
            {e["cnpj"]: e for e in EMPRESAS} if dados is None else dados, **opcoes)
        abertos.append(srv)
        apontar_registro(base)
        return srv, base
    yield iniciar
    for srv in abertos:
        srv.shutdown()
        srv.server_close()


def busca(base, corpo, bruto=False):
    dados = corpo if bruto else json.dumps(corpo)
    return requests.post(base + "/v2/public/cnpj/search", data=dados, timeout=5)


# ---------------------------------------------------------------- load and hostile clients

def test_200_simultaneous_clients_as_requests_sends_them(servir):
    _, base = servir()
    barreira = threading.Barrier(200)

    def cliente(i):
        barreira.wait()
        if i % 2:
            return cnpj.consultar_cnpj(EMPRESAS[i % 5]["cnpj"])["razao_social"]
        return busca(base, {"query": {"termo": ["delta"]}}).json()["data"]["cnpj"][0]["razao_social"]

    with ThreadPoolExecutor(200) as pool:
        nomes = list(pool.map(cliente, range(200)))
    assert nomes == [EMPRESAS[i % 5]["razao_social"] if i % 2 else "DELTA LTDA" for i in range(200)]


def test_keep_alive_pipelining_and_idle_connections_hold_no_threads(servir):
    srv, base = servir(prazo_ocioso=0.6, prazo_pedido=0.6)
    porta = srv.server_address[1]
    c = http.client.HTTPConnection("127.0.0.1", porta, timeout=5)
    for e in EMPRESAS[:3]:
        c.request("GET", "/api/cnpj/v1/" + e["cnpj"])
        r = c.getresponse()
        assert r.status == 200 and json.loads(r.read())["cnpj"] == e["cnpj"]
    primeiro_socket = c.sock
    c.request("GET", "/v1/cnpj/" + EMPRESAS[0]["cnpj"])
    assert c.getresponse().read() and c.sock is primeiro_socket     # same connection
    c.close()

    s = socket.create_connection(("127.0.0.1", porta))
    pedido = f"GET /api/cnpj/v1/{EMPRESAS[0]['cnpj']} HTTP/1.1\r\nHost: x\r\n\r\n".encode()
    s.sendall(pedido + b"POST /v2/public/cnpj/search HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}" + pedido)
    recebido = b""
    while recebido.count(b"HTTP/1.1 200") < 3:
        recebido += s.recv(65536)
    assert recebido.index(b'"razao_social"') < recebido.index(b'"success"') < recebido.rindex(b'"razao_social"')
    s.close()

    antes = threading.active_count()
    ociosos = [socket.create_connection(("127.0.0.1", porta)) for _ in range(300)]
    lento = socket.create_connection(("127.0.0.1", porta))
    lento.sendall(b"GET /api/cnpj/v1/1 HTTP/1.1\r\nHo")                 # and then nothing
    assert threading.active_count() <= antes
    assert cnpj.consultar_cnpj(EMPRESAS[1]["cnpj"])["razao_social"] == EMPRESAS[1]["razao_social"]
    lento.settimeout(5)
    assert lento.recv(1000).startswith(b"HTTP/1.1 408")
    for o in ociosos:
        o.settimeout(5)
        assert o.recv(10) == b""                                        # closed by the idle deadline
        o.close()
    lento.close()


@pytest.mark.parametrize("bruto, status", [
    (b"GET /api/cnpj/v1/1 HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n", 400),
    (b"POST /v2/public/cnpj/search HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 501),
    (b"POST /v2/public/cnpj/search HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999\r\n\r\n", 413),
    (b"GET /api/cnpj/v1/1 HTTP/1.1\r\nX: " + b"a" * 20000, 431),
    (b"GARBAGE\r\n\r\n", 400),
    (b"GET / HTTP/2.0\r\n\r\n", 505),
])
def test_malformed_requests_get_an_http_answer(servir, bruto, status):
    srv, base = servir()
    s = socket.create_connection(srv.server_address[:2], timeout=5)
    s.sendall(bruto)
    resposta = b""
    while b"\r\n\r\n" not in resposta:
        resposta += s.recv(65536)
    assert resposta.startswith(f"HTTP/1.1 {status} ".encode()) and b"Connection: close" in resposta
    s.close()
    assert requests.get(base + "/saude", timeout=5).json()["empresas"] == 5


# ---------------------------------------------------------------- shapes

@pytest.mark.parametrize("corpo", [
    {"query": "x"}, {"query": []}, {"query": {"termo": 5}}, {"query": {"termo": ["alfa"], "uf": 5}},
    {"query": {"termo": [5, None]}}, {"query": {"termo": ["alfa"], "situacao_cadastral": ["ATIVA", "BAIXADA"]}},
    [1, 2], "[" * 100000, b"nao e json", b"\xff\xfe",
])
def test_wrong_shaped_search_is_a_400_with_a_json_error(servir, corpo):
    _, base = servir()
    r = busca(base, corpo, bruto=isinstance(corpo, bytes) or corpo == "[" * 100000)
    assert r.status_code == 400 and r.json()["success"] is False and r.json()["message"]
    assert busca(base, {"query": {"termo": ["delta"]}}).json()["data"]["count"] == 1


@pytest.mark.parametrize("consulta, esperado", [
    ({"termo": "alfa"}, ["ALFA", "ALFA SERVICOS LTDA", "BETA ALFA COMERCIO LTDA", "GAMA ALFA LTDA"]),
    ({"termo": "LFAX"}, []),                                    # one term, not the letters L, F, A, X
    ({"termo": ["alfa"], "situacao_cadastral": "ATIVA"}, ["ALFA", "ALFA SERVICOS LTDA", "BETA ALFA COMERCIO LTDA"]),
    ({"termo": ["alfa"], "uf": ["rj"]}, ["ALFA"]),
    ({"termo": ["alfa tec", "delta"], "uf": "SP"}, ["ALFA SERVICOS LTDA"]),
    ({"termo": ["alfa tec", "delta"], "uf": ["SP", "MG"]}, ["ALFA SERVICOS LTDA", "DELTA LTDA"]),
    ({"termo": []}, []),
])
def test_search_best_match_first_with_filters(servir, consulta, esperado):
    _, base = servir()
    dados = busca(base, {"query": consulta}).json()["data"]
    assert [h["razao_social"] for h in dados["cnpj"]] == esperado and dados["count"] == len(esperado)


def test_search_is_linear_on_a_shared_trade_name():
    registros = {e["cnpj"]: e for e in (empresa(n, f"REDE MERCADO FILIAL {n}", fantasia="REDE MERCADO CENTRO")
                                        for n in range(10, 60010))}
    registros[EMPRESAS[0]["cnpj"]] = dict(EMPRESAS[0], razao_social="REDE MERCADO")
    r = registro.buscar(registros, {"query": {"termo": ["rede mercado"], "situacao_cadastral": "ATIVA"}})
    assert r["data"]["count"] == 20 and r["data"]["cnpj"][0]["razao_social"] == "REDE MERCADO"


def test_unknown_and_invalid_cnpj_in_each_services_shape(servir):
    _, base = servir()
    r = requests.get(base + "/api/cnpj/v1/11.444.777/0001-61", timeout=5)
    assert r.status_code == 404 and r.json() == {"message": "CNPJ 11.444.777/0001-61 não encontrado.",
                                                  "name": "NotFoundError", "type": "not_found"}
    r = requests.get(base + "/v1/cnpj/11444777000161", timeout=5)
    assert r.status_code == 404 and r.json() == {"status": "ERROR", "message": "CNPJ não encontrado"}
    assert requests.get(base + "/api/cnpj/v1/123", timeout=5).json()["name"] == "BadRequestError"
    assert requests.get(base + "/v1/cnpj/123", timeout=5).json() == {"status": "ERROR", "message": "CNPJ inválido"}
    assert requests.delete(base + "/api/cnpj/v1/123", timeout=5).status_code == 405


# ---------------------------------------------------------------- data files

@pytest.mark.parametrize("arquivos, trecho", [
    ({"a.json": "[\n" + json.dumps(EMPRESAS[0]) + ",\n {oops}\n]"}, "a.json, linha 3, coluna 3: JSON inválido"),
    ({"a.json": json.dumps([EMPRESAS[0], dict(EMPRESAS[1], razao_social=7)])},
     "a.json, registro 2 (CNPJ 00000002000180): 'razao_social' deve ser texto"),
    ({"a.json": json.dumps(dict(EMPRESAS[0], qsa=["JOAO"]))}, "o sócio 1 de 'qsa' deve ser um objeto"),
    ({"a.json": json.dumps(dict(EMPRESAS[0], qsa=None))}, "'qsa' deve ser uma lista"),
    ({"a.json": json.dumps(EMPRESAS[:2]), "b.json": json.dumps(EMPRESAS[1])},
     "b.json: CNPJ 00000002000180 repetido (já em"),
    ({"a.json": "[" * 100000 + "]" * 100000}, "a.json: JSON aninhado demais"),
    ({"a.json": json.dumps({"cnpj": "123"})}, "'cnpj' inválido"),
    ({"a.json": b"\xff".decode("latin-1")}, "a.json: não está em UTF-8"),
])
def test_bad_data_files_are_refused_with_file_record_and_reason(tmp_path, capsys, arquivos, trecho):
    for nome, texto in arquivos.items():
        (tmp_path / nome).write_text(texto, encoding="latin-1" if "\xff" in texto else "utf-8")
    with pytest.raises(registro.ErroDeDados, match=re.escape(trecho)):
        registro.carregar_dados(tmp_path)
    assert cli.main(["registro", "servir", "--dados", str(tmp_path)]) == 3
    err = capsys.readouterr().err
    assert trecho in err and len(err.splitlines()) == 1


@pytest.mark.parametrize("caso, trecho", [
    ("vazia", "não tem nenhuma empresa; confira o caminho, ou use --permitir-vazio"),
    ("arquivo", "é um arquivo, não um diretório"),
    ("porta", "já está em uso"),
    ("limite", "--limite receitaws: ritmo inválido: '3/semana'"),
])
def test_cli_refusals(tmp_path, capsys, caso, trecho):
    (tmp_path / "a.json").write_text(json.dumps(EMPRESAS), encoding="utf-8")
    ocupada = socket.create_server(("127.0.0.1", 0))
    argumentos = {
        "vazia": ["--dados", str(tmp_path / "vazia")],
        "arquivo": ["--dados", str(tmp_path / "a.json")],
        "porta": ["--dados", str(tmp_path), "--porta", str(ocupada.getsockname()[1])],
        "limite": ["--dados", str(tmp_path), "--encaminhar", "--limite", "receitaws=3/semana",
                   "--cache", str(tmp_path / "c.sqlite")],
    }[caso]
    (tmp_path / "vazia").mkdir()
    with ocupada:
        assert cli.main(["registro", "servir"] + argumentos) == 3
    assert trecho in capsys.readouterr().err


# ---------------------------------------------------------------- a source that opens one connection per thread

class FonteSqlite:
    """A tiny SQLite-backed source whose connection must stay in its own thread."""
    abertas = []

    def __init__(self, caminho):
        self.con = sqlite3.connect(caminho)
        FonteSqlite.abertas.append(self)

    def consultar(self, cnpj_):
        linha = self.con.execute("SELECT corpo FROM r WHERE cnpj = ?", (cnpj_,)).fetchone()
        return json.loads(linha[0]) if linha else None

    def buscar(self, nome, uf=None, situacao=None, limite=20):
        linhas = self.con.execute("SELECT corpo FROM r WHERE nome LIKE ? AND (? IS NULL OR uf = ?) LIMIT ?",
                                  (f"%{nome.upper()}%", uf, uf, limite)).fetchall()
        return [json.loads(c) for (c,) in linhas]

    def info(self):
        return {"empresas": self.con.execute("SELECT count(*) FROM r").fetchone()[0]}

    def close(self):
        self.con.close()
        self.con = None


def test_database_source_one_connection_per_worker_thread(servir, tmp_path):
    caminho = str(tmp_path / "r.sqlite")
    with sqlite3.connect(caminho) as con:
        con.execute("CREATE TABLE r (cnpj TEXT PRIMARY KEY, nome TEXT, uf TEXT, corpo TEXT)")
        con.executemany("INSERT INTO r VALUES (?, ?, ?, ?)",
                        [(e["cnpj"], e["razao_social"], e["uf"], json.dumps(e)) for e in EMPRESAS])
    con.close()
    FonteSqlite.abertas = []
    srv, base = servir(lambda: FonteSqlite(caminho), trabalhadores=3)
    with ThreadPoolExecutor(20) as pool:
        nomes = list(pool.map(lambda e: cnpj.consultar_cnpj(e["cnpj"])["razao_social"], EMPRESAS * 8))
    assert nomes == [e["razao_social"] for e in EMPRESAS] * 8
    assert cnpj.buscar_cnpj_por_nome("delta", "MG")["cnpj"] == cnpj.formatar_cnpj(EMPRESAS[4]["cnpj"])
    assert requests.get(base + "/saude", timeout=5).json()["empresas"] == 5
    assert cnpj.consultar_cnpj("11444777000161") is None
    srv.shutdown()
    srv.server_close()
    assert len(FonteSqlite.abertas) == 3 and all(f.con is None for f in FonteSqlite.abertas)


# ---------------------------------------------------------------- forwarding to the public services

class Upstream:
    """A fake public service on 127.0.0.1: `agir(caminho, n)` decides each answer."""

    def __init__(self, agir):
        self.pedidos = []
        upstream = self

        class H(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *a):
                pass

            def _responder(self):
                n = len(upstream.pedidos)
                upstream.pedidos.append(self.path)
                if self.command == "POST":
                    self.rfile.read(int(self.headers.get("Content-Length") or 0))
                acao = agir(self.path, n)
                if acao == "lento":
                    time.sleep(1.0)
                    acao = (200, EMPRESAS[0], {})
                status, corpo, cab = acao if acao != "cortado" else (200, EMPRESAS[0], {})
                dados = json.dumps(corpo).encode()
                self.send_response(status)
                self.send_header("Content-Length", str(len(dados)))
                for k, v in cab.items():
                    self.send_header(k, v)
                self.end_headers()
                self.wfile.write(dados[:10] if acao == "cortado" else dados)
                if acao == "cortado":
                    self.close_connection = True

            do_GET = do_POST = _responder

        self.srv = ThreadingHTTPServer(("127.0.0.1", 0), H)
        self.srv.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.srv.server_address[1]}"
        threading.Thread(target=self.srv.serve_forever, args=(0.05,), daemon=True).start()

    def close(self):
        self.srv.shutdown()
        self.srv.server_close()


CONHECIDA = empresa(77, "ZETA REMOTA LTDA")
RECEITA_WS_ZETA = {"status": "OK", "nome": "ZETA REMOTA LTDA", "fantasia": "", "situacao": "ATIVA",
                   "logradouro": "R DAS FLORES", "numero": "10", "municipio": "CAMPINAS", "uf": "SP",
                   "cep": "13.010-050", "capital_social": "1.500,00", "abertura": "03/11/2005",
                   "qsa": [{"nome": "SOCIO 77", "qual": "49-Sócio-Administrador"}]}


def receita_zeta(caminho, n):
    """ZETA's ReceitaWS answer, under the CNPJ that was asked (answers for another CNPJ are refused)."""
    return 200, dict(RECEITA_WS_ZETA, cnpj=caminho.rsplit("/", 1)[-1]), {}


@pytest.fixture
def encaminhar(servir, tmp_path):
    criados = []

    def montar(brasil, receita, casa=lambda c, n: (500, {}, {}), ritmo_receita=(3, 60.0), **opcoes):
        ups = [Upstream(brasil), Upstream(receita), Upstream(casa)]
        criados.extend(ups)
        enc = Encaminhador(
            CacheRespostas(tmp_path / "cache.sqlite"),
            brasil_api=Servico("BrasilAPI", ups[0].url, Cota(100, 1.0, recuo_inicial=0.2)),
            receita_ws=Servico("ReceitaWS", ups[1].url, Cota(*ritmo_receita, recuo_inicial=0.2)),
            casa_dos_dados=Servico("Casa dos Dados", ups[2].url, Cota(100, 1.0, recuo_inicial=0.2)),
            **{"espera_maxima": 1.0, "tempo_limite": 2.0, **opcoes})
        srv, base = servir(encaminhador=enc)
        return base, ups, enc
    yield montar
    for u in criados:
        u.close()


def test_forwarded_answer_is_cached_and_concurrent_lookups_merge(encaminhar):
    def brasil(caminho, n):
        time.sleep(0.3)
        return (200, CONHECIDA, {}) if CONHECIDA["cnpj"] in caminho else (404, {"message": "x"}, {})
    # Deadlines far above the upstream's 0.3 s: a loaded machine must not turn the
    # one forwarded request into a timeout and a retry.
    base, (b, r, _), enc = encaminhar(brasil, lambda c, n: (404, {"status": "ERROR", "message": "CNPJ não encontrado"}, {}),
                                      espera_maxima=8.0, tempo_limite=5.0)
    with ThreadPoolExecutor(20) as pool:
        recs = list(pool.map(lambda _: cnpj.consultar_cnpj(CONHECIDA["cnpj"]), range(20)))
    assert {rec["razao_social"] for rec in recs} == {"ZETA REMOTA LTDA"} and len(b.pedidos) == 1
    assert cnpj._consultar_receita_ws(CONHECIDA["cnpj"])["socios"][0]["qualificacao"] == "49-Sócio-Administrador"
    assert len(b.pedidos) == 1 and r.pedidos == []
    assert cnpj.consultar_cnpj(EMPRESAS[0]["cnpj"])["razao_social"] == EMPRESAS[0]["razao_social"]  # local first
    desconhecida = empresa(78, "X")["cnpj"]
    for _ in range(2):
        assert requests.get(base + "/api/cnpj/v1/" + desconhecida, timeout=5).status_code == 404
    assert len(b.pedidos) == 2 and len(r.pedidos) == 1              # "not found" cached too
    saude = requests.get(base + "/saude", timeout=5).json()["encaminhamento"]
    assert saude["juntados"] >= 1 and saude["BrasilAPI"]["pedidos"] == 2 and saude["acertos_cache"] >= 2


def test_retry_after_is_honoured_and_receita_ws_fills_in(encaminhar):
    base, (b, r, _), _ = encaminhar(lambda c, n: (429, {"message": "lento"}, {"Retry-After": "30"}),
                                    receita_zeta)
    rec = cnpj.consultar_cnpj(CONHECIDA["cnpj"])
    assert rec["fonte"] == "BrasilAPI" and rec["razao_social"] == "ZETA REMOTA LTDA"
    assert rec["capital_social"] == 1500.0 and rec["endereco"]["cep"] == "13010050"
    assert rec["data_abertura"] == "2005-11-03" and rec["socios"][0]["qualificacao"] == "Sócio-Administrador"
    assert cnpj.consultar_cnpj(empresa(79, "Y")["cnpj"])["razao_social"] == "ZETA REMOTA LTDA"
    assert len(b.pedidos) == 1 and len(r.pedidos) == 2             # BrasilAPI left alone for 30 s


@pytest.mark.parametrize("falha", [
    lambda c, n: (503, {"message": "fora"}, {}),
    lambda c, n: (429, {"status": "ERROR", "message": "Too many requests"}, {}),
    lambda c, n: "lento",
    lambda c, n: "cortado",
    lambda c, n: (200, {"status": "ERROR", "message": "Timeout"}, {}),
])
def test_unavailable_upstream_is_503_never_404(encaminhar, falha):
    base, (b, r, c), _ = encaminhar(falha, falha, falha, espera_maxima=0.4, tempo_limite=0.15)
    for rota in ("/api/cnpj/v1/", "/v1/cnpj/"):
        resposta = requests.get(base + rota + CONHECIDA["cnpj"], timeout=10)
        assert resposta.status_code == 503 and "Retry-After" in resposta.headers
    assert busca(base, {"query": {"termo": ["ninguem"]}}).status_code == 503
    assert cnpj.consultar_cnpj(CONHECIDA["cnpj"]) is None
    assert b.pedidos and r.pedidos and c.pedidos


def test_receita_ws_budget_then_503_and_search_forwarding(encaminhar):
    casa = {"success": True, "data": {"count": 1, "cnpj": [{"cnpj": CONHECIDA["cnpj"]}]}, "page": {"current": 1}}
    base, (b, r, c), _ = encaminhar(lambda c_, n: (503, {}, {}), receita_zeta,
                                    lambda c_, n: (200, casa, {}), ritmo_receita=(3, 60.0))
    cnpjs = [empresa(n, "Z")["cnpj"] for n in range(90, 94)]
    status = [requests.get(base + "/api/cnpj/v1/" + c_, timeout=10).status_code for c_ in cnpjs]
    assert status == [200, 200, 200, 503] and len(r.pedidos) == 3
    resposta = requests.get(base + "/api/cnpj/v1/" + cnpjs[3], timeout=10)
    assert resposta.status_code == 503 and int(resposta.headers["Retry-After"]) >= 1 and len(r.pedidos) == 3
    assert busca(base, {"query": {"termo": ["zeta remota"]}}).json() == casa
    assert busca(base, {"query": {"termo": ["alfa tec"]}}).json()["data"]["count"] == 1 and len(c.pedidos) == 1


def test_budget_and_retry_after_parsing():
    assert ler_ritmo("3/min") == (3, 60.0) and ler_ritmo("10 / 2s") == (10, 2.0) and ler_ritmo("100/h") == (100, 3600.0)
    for ruim in ("3", "0/min", "3/semana", "a/min"):
        with pytest.raises(ValueError):
            ler_ritmo(ruim)
    assert ler_retry_after("30") == 30.0 and ler_retry_after("lixo") is None and ler_retry_after("-5") == 0.0
    assert 59 <= ler_retry_after("Wed, 21 Oct 2015 07:29:00 GMT", agora=1445412480.0) <= 61
    agora = [0.0]
    cota = Cota(3, 60.0, relogio=lambda: agora[0])
    assert [cota.reservar() for _ in range(3)] == [0.0, 0.0, 0.0] and cota.reservar() == 60.0
    agora[0] = 2.0
    cota.concluir()
    cota.concluir()
    cota.concluir()                                                     # the window counts from the ends
    assert cota.espera() == pytest.approx(60.0)
    agora[0] = 61.0
    assert cota.reservar() == pytest.approx(1.0)                         # 3 in any 60 s, never 5
    agora[0] = 62.0
    assert cota.reservar() == 0.0 and cota.espera() == 0.0 and cota.reservar() == 0.0
    agora[0] = 80.0
    assert cota.falha() == 1.0 and cota.falha() == 2.0 and cota.espera() == pytest.approx(2.0)
    cota.sucesso()
    assert cota.falha(0.5) == 0.5


# ---------------------------------------------------------------- the command, end to end

def test_servir_command_forwards_warns_and_stays_quiet_when_clients_vanish(tmp_path):
    (tmp_path / "vazia").mkdir()
    brasil = Upstream(lambda c, n: (200, CONHECIDA, {}))
    proc = subprocess.Popen(
        [sys.executable, "-m", "lexaro_contract", "registro", "servir", "--dados", str(tmp_path / "vazia"),
         "--porta", "0", "--encaminhar", "--url-brasilapi", brasil.url, "--cache", str(tmp_path / "c.sqlite"),
         "--limite", "brasilapi=5/s"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, encoding="utf-8")
    try:
        primeira = proc.stdout.readline()
        base = primeira.split()[3]
        assert primeira.startswith("Registro local em http://127.0.0.1:") and "(0 empresas)" in primeira
        porta = int(base.rsplit(":", 1)[1])
        for corte in (b"GET /api/cnpj/v1/1 HTTP/1.1\r\nHo", f"GET /api/cnpj/v1/{CONHECIDA['cnpj']} HTTP/1.1\r\n\r\n".encode()):
            s = socket.create_connection(("127.0.0.1", porta))
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            s.sendall(corte)
            s.close()                                                   # reset, mid-request or mid-answer
        r = requests.get(f"{base}/api/cnpj/v1/{CONHECIDA['cnpj']}", timeout=10)
        assert r.json()["razao_social"] == "ZETA REMOTA LTDA"
    finally:
        proc.terminate()
        out, err = proc.communicate(timeout=10)
        brasil.close()
    assert proc.returncode == 0
    assert err.splitlines() == [f"Encaminhando o que faltar: BrasilAPI 5/s, ReceitaWS 3/min, Casa dos Dados 10/min; "
                                f"cache em {tmp_path / 'c.sqlite'}"]


def test_permitir_vazio_warns(tmp_path):
    proc = subprocess.Popen([sys.executable, "-m", "lexaro_contract", "registro", "servir", "--dados", str(tmp_path),
                             "--porta", "0", "--permitir-vazio"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, encoding="utf-8")
    try:
        assert "(0 empresas)" in proc.stdout.readline()
        assert "não tem nenhuma empresa: toda consulta dará 'não encontrado'" in proc.stderr.readline()
    finally:
        proc.terminate()
        proc.communicate(timeout=10)
