#!/usr/bin/env python3
"""The review desk under load.

Run: PYTHONPATH=src python3 benchmarks/bench_painel.py [--n 100] [--linhas 100000] [--sem-postgres]

(a) N distinct example contracts uploaded through the API and verified by the
    desk's queue (local engine, 2 processes, the example registry served in
    process), against `verificar_lote` with 2 processes on the same files
    (what `verificar --jobs 2` runs). Target: the desk at most 2x.
(b) an archive with LINHAS contracts (SQLite, then PostgreSQL when a server
    can be started): server time of the list page (first page, and filtered
    by verdict, by pending review, by company name) and of a contract page,
    p95 of 30 requests each through the ASGI app. Target: 150 ms p95.
(c) resident memory of the process serving that archive. Target: 300 MB.
"""
import argparse
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

RAIZ = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(RAIZ / "tests" / "apoio"))

import sqlalchemy as sa  # noqa: E402
from starlette.testclient import TestClient  # noqa: E402

from lexaro_contract import lote, registro  # noqa: E402
from lexaro_contract.acervo import Acervo  # noqa: E402
from lexaro_contract.acervo.esquema import arquivos, contratos, termos, verificacoes  # noqa: E402
from lexaro_contract.acervo.termos import termos_de  # noqa: E402
from lexaro_contract.enderecos import Enderecos, apontar  # noqa: E402
from lexaro_contract.painel.app import criar_app  # noqa: E402
from lexaro_contract.painel.fila import Fila  # noqa: E402

EXEMPLOS = sorted((RAIZ / "examples" / "contratos").glob("*.pdf"))
SENHA = "senha-do-bench"


def copias(pasta, n):
    """N PDFs distintos (um comentário depois do fim muda o hash, não o texto)."""
    saida = []
    for i in range(n):
        origem = EXEMPLOS[i % len(EXEMPLOS)]
        destino = pasta / f"{i:04d}_{origem.name}"
        destino.write_bytes(origem.read_bytes() + f"\n% copia {i}\n".encode())
        saida.append(destino)
    return saida


def vazao(n):
    with tempfile.TemporaryDirectory() as tmp:
        pdfs = copias(Path(tmp), n)
        inicio = time.perf_counter()
        registros = list(lote.verificar_lote([str(p) for p in pdfs], lote.fabrica_de_processos(2), provider="local"))
        lote_s = time.perf_counter() - inicio
        assert len(registros) == n and all("resultado" in r for r in registros)

        acervo = Acervo(str(Path(tmp) / "acervo.db"))
        cabecalho = {"Authorization": "Bearer " + acervo.criar_token(acervo.criar_usuario("ana", "analista", SENHA))}
        fila = Fila(acervo, "local", jobs=2)
        with TestClient(criar_app(acervo, fila)) as cliente:
            inicio = time.perf_counter()
            for i in range(0, n, 20):
                campos = [("arquivo", (p.name, p.read_bytes(), "application/pdf")) for p in pdfs[i:i + 20]]
                assert cliente.post("/api/contratos", headers=cabecalho, files=campos).status_code == 201
            while acervo.listar(estado="verificado", por_pagina=1)[1] < n:
                assert acervo.listar(estado="erro", por_pagina=1)[1] == 0
                time.sleep(0.05)
            painel_s = time.perf_counter() - inicio
        acervo.fechar()
    return lote_s, painel_s


def encher(acervo, linhas, registro_exemplo):
    """LINHAS contratos com uma verificação cada, direto nas tabelas (em blocos)."""
    agora = "2026-12-01T00:00:00.000000Z"
    vereditos = ("APROVADO", "REPROVADO", "PENDENTE")
    with acervo.motor.begin() as con:
        for inicio in range(0, linhas, 5000):
            bloco = range(inicio, min(linhas, inicio + 5000))
            con.execute(arquivos.insert(), [{"hash": f"{i:064x}", "tamanho": 1000, "paginas": 2, "criado_em": agora}
                                            for i in bloco])
            linhas_bloco = [{
                "id": i + 1, "hash": f"{i:064x}", "nome": f"contrato_{i}.pdf", "enviado_por": "ana",
                "criado_em": agora, "estado": "verificado", "veredito": vereditos[i % 3],
                "partes": f"EMPRESA {i} LTDA (10.{i % 1000:03d}.040/0001-94); ALFA SERVICOS LTDA (10.203.040/0001-94)",
                "data_contrato": "2 de junho de 2025", "pendente_revisao": i % 3 == 2, "verificacao_atual": i + 1}
                for i in bloco]
            con.execute(contratos.insert(), linhas_bloco)
            con.execute(termos.insert(), [{"termo": t, "contrato_id": linha["id"]} for linha in linhas_bloco
                                          for t in termos_de(linha["nome"], linha["partes"])])
            con.execute(verificacoes.insert(), [{
                "id": i + 1, "contrato_id": i + 1, "criada_em": agora, "veredito": vereditos[i % 3], "motor": "local",
                "registro": registro_exemplo} for i in bloco])
        if acervo.motor.dialect.name == "postgresql":
            for tabela in ("contratos", "verificacoes"):
                con.execute(sa.text(f"SELECT setval(pg_get_serial_sequence('{tabela}', 'id'), {linhas})"))
            con.execute(sa.text("ANALYZE"))


def p95(cliente, url, vezes=30):
    tempos = []
    for _ in range(vezes):
        inicio = time.perf_counter()
        resposta = cliente.get(url)
        tempos.append((time.perf_counter() - inicio) * 1000)
        assert resposta.status_code == 200, (url, resposta.status_code)
    tempos.sort()
    return tempos[int(0.95 * (len(tempos) - 1))], statistics.median(tempos)


def paginas(destino, linhas, registro_exemplo):
    acervo = Acervo(destino)
    inicio = time.perf_counter()
    encher(acervo, linhas, registro_exemplo)
    carga = time.perf_counter() - inicio
    acervo.criar_usuario("ana", "analista", SENHA)
    medidas = {}
    with TestClient(criar_app(acervo, None)) as cliente:
        formulario = cliente.get("/entrar").text
        csrf = formulario.split('name="csrf" value="')[1].split('"')[0]
        cliente.post("/entrar", data={"csrf": csrf, "nome": "ana", "senha": SENHA})
        for nome, url in (("lista, 1ª página", "/"), ("lista, PENDENTE", "/?veredito=PENDENTE"),
                          ("lista, revisão pendente", "/?pendentes=1&pagina=20"),
                          ("lista, busca por nome", "/?busca=EMPRESA%2012345"),
                          ("lista, busca comum", "/?busca=alfa"),
                          ("lista, busca por CNPJ", "/?busca=10.203.040%2F0001-94"),
                          ("contrato", f"/contratos/{linhas // 2}")):
            medidas[nome] = p95(cliente, url)
    rss = rss_mb()
    acervo.fechar()
    return carga, medidas, rss


def rss_mb():
    for linha in Path("/proc/self/status").read_text().splitlines():
        if linha.startswith("VmRSS:"):
            return int(linha.split()[1]) / 1024
    return float("nan")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100)
    ap.add_argument("--linhas", type=int, default=100_000)
    ap.add_argument("--sem-postgres", action="store_true")
    args = ap.parse_args()
    srv, base = registro.iniciar_em_segundo_plano(RAIZ / "examples" / "registro")
    apontar(Enderecos.na_base(base))
    try:
        registro_exemplo = lote.verificar_arquivo(str(EXEMPLOS[2]), lote.Configuracao.atual("local"))
        registro_exemplo = json.loads(json.dumps(registro_exemplo, default=str))
        lote_s, painel_s = vazao(args.n)
        print(f"(a) {args.n} contratos: verificar_lote --jobs 2 {lote_s:.1f} s; painel (envio + fila) "
              f"{painel_s:.1f} s; razão {painel_s / lote_s:.2f} (alvo <= 2)")
        destinos = []
        with tempfile.TemporaryDirectory() as tmp:
            destinos.append(("SQLite", str(Path(tmp) / "grande.db"), None))
            contexto = None
            if not args.sem_postgres:
                try:
                    from postgres_server import servidor_temporario

                    contexto = servidor_temporario()
                    destinos.append(("PostgreSQL", contexto.__enter__(), None))
                except Exception as e:  # noqa: BLE001
                    print(f"PostgreSQL indisponível: {e}")
            try:
                for nome_banco, destino, _ in destinos:
                    carga, medidas, rss = paginas(destino, args.linhas, registro_exemplo)
                    print(f"\n(b) {nome_banco}, {args.linhas} contratos (carga {carga:.1f} s); "
                          f"ms por pedido, p95 / mediana (alvo p95 <= 150):")
                    print(f"    {'página':28} {'p95':>8} {'mediana':>8}")
                    for nome, (p, m) in medidas.items():
                        print(f"    {nome:28} {p:8.1f} {m:8.1f}")
                    print(f"(c) memória residente do processo servindo: {rss:.0f} MB (alvo <= 300)")
            finally:
                if contexto is not None:
                    contexto.__exit__(None, None, None)
    finally:
        srv.shutdown()
        srv.server_close()


if __name__ == "__main__":
    main()
