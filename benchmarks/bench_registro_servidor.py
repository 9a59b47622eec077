#!/usr/bin/env python3
"""The registry server under load, and the forwarding cache under a 429 storm.

Run: PYTHONPATH=src python3 benchmarks/bench_registro_servidor.py [--rapido]

The server runs as deployed: `lexaro-contract registro servir --dados PASTA` in
its own process, over a generated folder of 50,000 JSON records. Rows:

1. one client, one lookup at a time over a kept-alive connection (the server's
   own latency), and through the unchanged `cnpj.consultar_cnpj` (requests, a new
   connection per call, as the checker sends them);
2. 200 simultaneous `requests` clients (threads in 2 client processes), each a
   new connection per call, lookups and name searches (POST: headers, then body)
   mixed, 5 calls each (and again with lookups only): resets and errors;
3. 200 kept-alive connections for a few seconds from 2 client processes
   (asyncio, raw HTTP/1.1), in closed loop (each sends its next lookup when the
   answer arrives: the most the machine does) and paced at 4,000 lookups a
   second in total (each connection every 50 ms): lookups per second, p50,
   p99, errors;
4. the forwarding cache: an empty local folder, `--encaminhar` to two fake public
   services on 127.0.0.1. BrasilAPI answers 429 (with Retry-After: 1) to every
   other request; ReceitaWS enforces its free-tier budget itself (3 per window,
   429 beyond). Time is scaled: the window is 1 s instead of a minute, and the
   server is told `--limite receitaws=3/s`. A batch of 200 distinct CNPJs that
   both services know goes through `cnpj.consultar_cnpj` from 20 threads; the
   row counts the lookups that ended in "não encontrado" (None).

Targets: rows 2-3 no reset and no error, p99 under 50 ms, at least 3,000
lookups a second; row 1 median at most 1 ms; row 4 zero "não encontrado".
"""

from __future__ import annotations

import asyncio
import json
import multiprocessing
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from http.client import HTTPConnection
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, Dict, List, Tuple

import requests

from lexaro_contract import cnpj  # type: ignore[import-untyped,unused-ignore]
from lexaro_contract.enderecos import Enderecos
from lexaro_contract.enderecos import apontar as apontar_cnpj

EMPRESAS = 50_000
CLIENTES = 200
PROCESSOS_CLIENTES = 2
DURACAO = 5.0


def cnpj_de(n: int) -> str:
    raiz = f"{n:08d}0001"
    pesos = [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2]
    d1 = 11 - sum(int(c) * p for c, p in zip(raiz, pesos)) % 11
    d1 = 0 if d1 >= 10 else d1
    d2 = 11 - sum(int(c) * p for c, p in zip(raiz + str(d1), [6] + pesos)) % 11
    return f"{raiz}{d1}{0 if d2 >= 10 else d2}"


def registro(n: int) -> Dict[str, Any]:
    return {"cnpj": cnpj_de(n), "razao_social": f"EMPRESA {n} COMERCIO E SERVICOS LTDA",
            "nome_fantasia": f"LOJA {n % 997}", "descricao_situacao_cadastral": "ATIVA", "uf": "SP",
            "municipio": "SAO PAULO", "descricao_tipo_de_logradouro": "RUA", "logradouro": "DAS FLORES",
            "numero": str(n % 1000), "complemento": "", "bairro": "CENTRO", "cep": "01311902",
            "natureza_juridica": "Sociedade Empresária Limitada", "porte": "DEMAIS", "capital_social": 10000.0,
            "data_inicio_atividade": "2010-01-01", "data_situacao_cadastral": "2010-01-01",
            "qsa": [{"nome_socio": f"SOCIO {n}", "qualificacao_socio": "Sócio-Administrador",
                     "codigo_qualificacao_socio": 49}]}


def porta_livre() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def servir(argumentos: List[str]) -> Tuple["subprocess.Popen[str]", str]:
    proc = subprocess.Popen([sys.executable, "-m", "lexaro_contract", "registro", "servir"] + argumentos,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    linha = proc.stdout.readline()
    if not linha.startswith("Registro local em "):
        proc.kill()
        raise SystemExit("o servidor não subiu: " + linha + (proc.stderr.read() if proc.stderr else ""))
    return proc, linha.split()[3]


def pct(valores: List[float], p: float) -> float:
    s = sorted(valores)
    return s[min(len(s) - 1, int(p / 100 * len(s)))] if s else float("nan")


def apontar(base: str) -> None:
    apontar_cnpj(Enderecos.na_base(base))


# ---------------------------------------------------------------- rows 1-2

def sem_carga(base: str, n: int) -> Dict[str, float]:
    porta = int(base.rsplit(":", 1)[1])
    c = HTTPConnection("127.0.0.1", porta)
    lat = []
    for i in range(n):
        t = time.perf_counter()
        c.request("GET", "/api/cnpj/v1/" + cnpj_de(1 + i * 7919 % EMPRESAS))
        r = c.getresponse()
        r.read()
        lat.append(time.perf_counter() - t)
        assert r.status == 200
    c.close()
    apontar(base)
    lat_cnpj = []
    for i in range(n // 4):
        t = time.perf_counter()
        assert cnpj.consultar_cnpj(cnpj_de(1 + i * 104729 % EMPRESAS)) is not None
        lat_cnpj.append(time.perf_counter() - t)
    return {"p50": statistics.median(lat), "p99": pct(lat, 99), "cnpj_p50": statistics.median(lat_cnpj)}


def _processo_requests(args: Tuple[str, int, int, int, float, int, bool]) -> Tuple[List[float], List[str], float]:
    base, clientes, primeiro, por_cliente, inicio, empresas, buscas = args
    barreira = threading.Barrier(clientes)
    lat: List[float] = []
    erros: List[str] = []

    def cliente(i: int) -> None:
        barreira.wait()
        time.sleep(max(0.0, inicio - time.time()))
        for j in range(por_cliente):
            t = time.perf_counter()
            try:
                if buscas and (i + j) % 2:
                    r = requests.post(base + "/v2/public/cnpj/search",
                                      json={"query": {"termo": [f"empresa {i * 37 + j}"], "situacao_cadastral": "ATIVA"},
                                            "page": 1}, timeout=10)
                else:
                    r = requests.get(base + "/api/cnpj/v1/" + cnpj_de(1 + (i * 131 + j) % empresas), timeout=10)
                if r.status_code != 200:
                    erros.append(str(r.status_code))
            except requests.RequestException as e:
                erros.append(type(e).__name__)
            lat.append(time.perf_counter() - t)

    with ThreadPoolExecutor(clientes) as pool:
        list(pool.map(cliente, range(primeiro, primeiro + clientes)))
    return lat, erros, time.time()


def rajada_requests(base: str, por_cliente: int, buscas: bool) -> Dict[str, Any]:
    inicio = time.time() + 1.5
    por_proc = CLIENTES // PROCESSOS_CLIENTES
    with multiprocessing.get_context("spawn").Pool(PROCESSOS_CLIENTES) as pool:
        partes = pool.map(_processo_requests, [(base, por_proc, k * por_proc, por_cliente, inicio, EMPRESAS, buscas)
                                               for k in range(PROCESSOS_CLIENTES)])
    lat = [x for p in partes for x in p[0]]
    erros = [x for p in partes for x in p[1]]
    total = max(p[2] for p in partes) - inicio
    return {"pedidos": len(lat), "erros": len(erros), "tipos": sorted(set(erros)), "p50": pct(lat, 50),
            "p99": pct(lat, 99), "por_s": len(lat) / total}


# ---------------------------------------------------------------- row 3

async def _conexao(porta: int, semente: int, fim: float, lat: List[float], erros: List[str],
                   empresas: int, intervalo: float) -> None:
    try:
        leitor, escritor = await asyncio.open_connection("127.0.0.1", porta)
    except OSError as e:
        erros.append(type(e).__name__)
        return
    i = semente
    proximo = time.perf_counter() + (semente % 1000) / 1000 * intervalo
    try:
        while time.perf_counter() < fim:
            if intervalo:
                await asyncio.sleep(max(0.0, proximo - time.perf_counter()))
                proximo += intervalo
            i += 7919
            t = time.perf_counter()
            escritor.write(f"GET /api/cnpj/v1/{cnpj_de(1 + i % empresas)} HTTP/1.1\r\nHost: b\r\n\r\n".encode())
            cab = await leitor.readuntil(b"\r\n\r\n")
            tamanho = int(cab.split(b"Content-Length: ", 1)[1].split(b"\r\n", 1)[0])
            await leitor.readexactly(tamanho)
            lat.append(time.perf_counter() - t)
            if not cab.startswith(b"HTTP/1.1 200"):
                erros.append(cab.split(b"\r\n", 1)[0].decode())
    except (OSError, asyncio.IncompleteReadError) as e:
        erros.append(type(e).__name__)
    finally:
        escritor.close()


def _processo_cliente(args: Tuple[int, int, int, float, int, float, float]) -> Tuple[List[float], List[str]]:
    porta, conexoes, semente, inicio, empresas, duracao, intervalo = args
    lat: List[float] = []
    erros: List[str] = []

    async def todos() -> None:
        await asyncio.sleep(max(0.0, inicio - time.time()))
        fim = time.perf_counter() + duracao
        await asyncio.gather(*(_conexao(porta, semente * 100003 + k * 7, fim, lat, erros, empresas, intervalo)
                               for k in range(conexoes)))
    asyncio.run(todos())
    return lat, erros


def carga_persistente(base: str, por_segundo: float = 0.0) -> Dict[str, Any]:
    """Closed loop (as fast as the answers come) or, with `por_segundo`, paced."""
    porta = int(base.rsplit(":", 1)[1])
    inicio = time.time() + 1.0
    por_proc = CLIENTES // PROCESSOS_CLIENTES
    with multiprocessing.get_context("spawn").Pool(PROCESSOS_CLIENTES) as pool:
        partes = pool.map(_processo_cliente, [(porta, por_proc, k, inicio, EMPRESAS, DURACAO,
                                                   CLIENTES / por_segundo if por_segundo else 0.0)
                                                 for k in range(PROCESSOS_CLIENTES)])
    lat = [x for p in partes for x in p[0]]
    erros = [x for p in partes for x in p[1]]
    return {"pedidos": len(lat), "erros": len(erros), "tipos": sorted(set(erros)), "p50": pct(lat, 50),
            "p99": pct(lat, 99), "por_s": len(lat) / DURACAO}


# ---------------------------------------------------------------- row 4

class Publico:
    """BrasilAPI: 429 to every other request. ReceitaWS: 3 per window, 429 beyond."""

    def __init__(self, janela: float) -> None:
        self.trava = threading.Lock()
        self.brasil = self.receita = self.brasil_429 = self.receita_429 = 0
        self.janela_receita: List[float] = []
        pub = self

        class H(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *a: Any) -> None:
                pass

            def do_GET(self) -> None:  # noqa: N802
                chave = self.path.rsplit("/", 1)[1]
                n = int(chave[:8])
                with pub.trava:
                    if self.path.startswith("/api/cnpj/v1/"):
                        pub.brasil += 1
                        recusa = pub.brasil % 2 == 0
                        pub.brasil_429 += recusa
                        corpo: Dict[str, Any] = dict(registro(n), razao_social=f"REMOTA {n} LTDA")
                    else:
                        pub.receita += 1
                        agora = time.monotonic()
                        pub.janela_receita = [t for t in pub.janela_receita if agora - t < janela]
                        recusa = len(pub.janela_receita) >= 3
                        pub.receita_429 += recusa
                        if not recusa:
                            pub.janela_receita.append(agora)
                        corpo = {"status": "OK", "nome": f"REMOTA {n} LTDA", "situacao": "ATIVA", "qsa": [],
                                 "capital_social": "10000.00"}
                if recusa:
                    dados = b'{"message": "Too many requests"}'
                    self.send_response(429)
                    self.send_header("Retry-After", "1")
                else:
                    dados = json.dumps(corpo).encode()
                    self.send_response(200)
                self.send_header("Content-Length", str(len(dados)))
                self.end_headers()
                self.wfile.write(dados)

        self.srv = ThreadingHTTPServer(("127.0.0.1", 0), H)
        self.srv.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.srv.server_address[1]}"
        threading.Thread(target=self.srv.serve_forever, args=(0.05,), daemon=True).start()


def tempestade(pasta_vazia: Path, cache: Path, lote: int) -> Dict[str, Any]:
    pub = Publico(janela=1.0)
    proc, base = servir(["--dados", str(pasta_vazia), "--porta", str(porta_livre()), "--encaminhar",
                         "--url-brasilapi", pub.url, "--url-receitaws", pub.url, "--url-casadosdados", pub.url,
                         "--limite", "receitaws=3/s", "--limite", "brasilapi=60/s", "--cache", str(cache)])
    try:
        apontar(base)
        t0 = time.perf_counter()
        with ThreadPoolExecutor(20) as pool:
            recs = list(pool.map(lambda n: cnpj.consultar_cnpj(cnpj_de(n)), range(100_001, 100_001 + lote)))
        total = time.perf_counter() - t0
        faltas = [i for i, r in enumerate(recs) if r is None]
        t1 = time.perf_counter()
        with ThreadPoolExecutor(20) as pool:
            de_novo = list(pool.map(lambda n: cnpj.consultar_cnpj(cnpj_de(n)), range(100_001, 100_001 + lote)))
        repeticao = time.perf_counter() - t1
        return {"lote": lote, "nao_encontrado": len(faltas), "tempo": total, "brasil": pub.brasil,
                "brasil_429": pub.brasil_429, "receita": pub.receita, "receita_429": pub.receita_429,
                "repeticao": repeticao, "repeticao_nao_encontrado": sum(r is None for r in de_novo)}
    finally:
        proc.terminate()
        proc.communicate(timeout=15)
        pub.srv.shutdown()


def main() -> None:
    global EMPRESAS, DURACAO
    rapido = "--rapido" in sys.argv
    carga_antes = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    if rapido:
        EMPRESAS, DURACAO = 5_000, 2.0
    with tempfile.TemporaryDirectory() as tmp:
        pasta = Path(tmp) / "dados"
        pasta.mkdir()
        (pasta / "empresas.json").write_text(json.dumps([registro(n) for n in range(1, EMPRESAS + 1)]),
                                             encoding="utf-8")
        (Path(tmp) / "vazia").mkdir()
        proc, base = servir(["--dados", str(pasta), "--porta", str(porta_livre())])
        try:
            r1 = sem_carga(base, 2000)
            r2 = rajada_requests(base, 5, True)
            r2b = rajada_requests(base, 5, False)
            r3 = carga_persistente(base)
            r3b = carga_persistente(base, 4000.0)
        finally:
            proc.terminate()
            _, err = proc.communicate(timeout=15)
        r4 = tempestade(Path(tmp) / "vazia", Path(tmp) / "cache.sqlite", 60 if rapido else 200)

    carga = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    print(f"registry server, {EMPRESAS:,} JSON records, {os.cpu_count()} CPUs shared with the clients "
          f"(load average before the run: {carga_antes}; after: {carga})")
    print(f"{'row':58} {'requests':>9} {'errors':>7} {'p50 ms':>8} {'p99 ms':>8} {'req/s':>8}")
    print(f"{'1 one client, kept-alive connection (server latency)':58} {2000:>9} {0:>7} "
          f"{r1['p50'] * 1e3:>8.3f} {r1['p99'] * 1e3:>8.3f} {'':>8}")
    print(f"{'1 one client, cnpj.consultar_cnpj (new connection each)':58} {500:>9} {0:>7} "
          f"{r1['cnpj_p50'] * 1e3:>8.3f} {'':>8} {'':>8}")
    for nome, r in ((f"2 {CLIENTES} simultaneous requests clients, GET+POST", r2),
                    (f"2 {CLIENTES} simultaneous requests clients, GET only", r2b),
                    (f"3 {CLIENTES} kept-alive connections, {DURACAO:.0f} s closed loop", r3),
                    (f"3 {CLIENTES} kept-alive connections, paced at 4,000/s total", r3b)):
        print(f"{nome:58} {r['pedidos']:>9} {r['erros']:>7} {r['p50'] * 1e3:>8.2f} {r['p99'] * 1e3:>8.2f} "
              f"{r['por_s']:>8.0f}" + (f"  {r['tipos']}" if r["tipos"] else ""))
    print(f"server stderr after the load: {err.strip()!r}")
    print()
    print("forwarding cache, BrasilAPI 429 to every other request (Retry-After: 1), ReceitaWS 3 per 1 s window")
    print(f"  batch of {r4['lote']} distinct CNPJs known upstream, 20 threads: {r4['tempo']:.1f} s, "
          f"'não encontrado': {r4['nao_encontrado']}")
    print(f"  upstream requests: BrasilAPI {r4['brasil']} ({r4['brasil_429']} answered 429), "
          f"ReceitaWS {r4['receita']} ({r4['receita_429']} answered 429)")
    print(f"  the same batch again (from the cache): {r4['repeticao']:.2f} s, "
          f"'não encontrado': {r4['repeticao_nao_encontrado']}")


if __name__ == "__main__":
    main()
