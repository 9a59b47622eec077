"""Importação de um mês gerado dos dados abertos: SQLite e PostgreSQL.

Gera (ou reaproveita) um mês inventado de ~N linhas, importa-o num SQLite e
num PostgreSQL temporário (cada importação num processo filho, para medir a
memória de pico), e imprime uma tabela: linhas/s por tabela e no total,
memória, tamanho do banco contra o CSV, latência de consulta por CNPJ
(mediana/p99), p99 da busca por nome, e a projeção para um mês completo de
197 milhões de linhas.

    python benchmarks/bench_registro_importar.py [--linhas 5000000] [--pasta DIR] [--sem-pg]
                                                 [--embaralhar | --ordenado]

Mede as duas ordens na mesma execução: o mês gerado em ordem de CNPJ e o
mesmo mês com as linhas de cada arquivo em ordem aleatória (os arquivos reais
não vêm em ordem). --embaralhar mede só a aleatória, --ordenado só a outra.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Dict, List, Optional

RAIZ = Path(__file__).resolve().parents[1]
try:
    import lexaro_contract  # noqa: F401
except ImportError:
    sys.path.insert(0, str(RAIZ / "src"))
sys.path.insert(0, str(RAIZ / "tests" / "apoio"))

from lexaro_contract.registro import Registro  # noqa: E402
from lexaro_contract.registro.dados_abertos.gerador import gerar, modelo_da_empresa  # noqa: E402

MES_COMPLETO = 197_000_000
LINHAS_POR_EMPRESA = 3.44  # empresa + 1,14 estabelecimentos + 0,8 sócios + 0,5 Simples, no gerador

_FILHO = r"""
import json, resource, sys, time
from lexaro_contract.registro.dados_abertos.importador import importar
t0 = time.thread_time()
r = importar(sys.argv[1], sys.argv[2], progresso=False)
cpu_principal = time.thread_time() - t0
print(json.dumps({"linhas": r.linhas, "segundos": r.segundos, "etapas": r.segundos_por_etapa,
                  "tamanho": r.tamanho, "bytes_csv": r.bytes_csv, "ocorrencias": r.ocorrencias,
                  "rss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
                  "cpu_principal": cpu_principal,
                  "cpu": resource.getrusage(resource.RUSAGE_SELF).ru_utime
                         + resource.getrusage(resource.RUSAGE_SELF).ru_stime}))
"""


def importar_em_filho(pasta: Path, destino: str) -> Dict[str, Any]:
    env = dict(os.environ)
    pacote = Path(str(sys.modules["lexaro_contract"].__file__)).parents[1]
    env["PYTHONPATH"] = os.pathsep.join([str(pacote), env.get("PYTHONPATH", "")])
    out = subprocess.run([sys.executable, "-c", _FILHO, str(pasta), destino], env=env, check=True,
                         stdout=subprocess.PIPE).stdout
    return dict(json.loads(out.decode().strip().splitlines()[-1]))


def latencias(destino: str, n_empresas: int, amostras: int = 20000) -> Dict[str, float]:
    rnd = random.Random(11)
    from lexaro_contract.registro.dados_abertos.gerador import cnpj_da_empresa

    cnpjs = [cnpj_da_empresa(rnd.randrange(n_empresas), n_empresas) for _ in range(amostras)]
    nomes = [modelo_da_empresa(rnd.randrange(n_empresas), n_empresas, 0).razao.replace("\x00", "")
             for _ in range(500)]
    with Registro(destino) as reg:
        for c in cnpjs[:2000]:
            reg.consultar(c)
        ts: List[float] = []
        for c in cnpjs:
            t = time.perf_counter()
            reg.consultar(c)
            ts.append(time.perf_counter() - t)
        ts.sort()
        bs: List[float] = []
        for nome in nomes:
            t = time.perf_counter()
            reg.buscar(nome)
            bs.append(time.perf_counter() - t)
        bs.sort()
    return {"mediana_us": statistics.median(ts) * 1e6, "p99_us": ts[int(len(ts) * 0.99)] * 1e6,
            "busca_mediana_ms": statistics.median(bs) * 1e3, "busca_p99_ms": bs[int(len(bs) * 0.99)] * 1e3}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--linhas", type=int, default=5_000_000, help="linhas do mês gerado (padrão 5 milhões)")
    ap.add_argument("--pasta", type=Path, help="pasta do mês gerado (reaproveitada se já existir)")
    ap.add_argument("--sem-pg", action="store_true", help="só SQLite")
    ordem = ap.add_mutually_exclusive_group()
    ordem.add_argument("--embaralhar", action="store_true", help="só o mês com as linhas em ordem aleatória")
    ordem.add_argument("--ordenado", action="store_true", help="só o mês em ordem de CNPJ")
    args = ap.parse_args()

    n_empresas = max(1, int(args.linhas / LINHAS_POR_EMPRESA))
    temp = Path(tempfile.mkdtemp(prefix="bench-registro-"))
    base = args.pasta or temp / "mes"
    ordens = [False] if args.ordenado else [True] if args.embaralhar else [False, True]
    try:
        pastas: Dict[str, Path] = {}
        for embaralhar in ordens:
            rotulo = "embaralhado" if embaralhar else "ordenado"
            pasta = pastas[rotulo] = base / rotulo
            marca = pasta / ".empresas"
            feito = f"{n_empresas}{' embaralhado' if embaralhar else ''}"
            if not (marca.exists() and marca.read_text() == feito):
                shutil.rmtree(pasta, ignore_errors=True)
                t = time.perf_counter()
                gerar(pasta, n_empresas, semente=0, embaralhar=embaralhar)
                marca.write_text(feito)
                print(f"mês {rotulo} gerado: {n_empresas:,} empresas em {time.perf_counter() - t:.0f} s",
                      file=sys.stderr)

        colunas: Dict[str, Dict[str, Any]] = {}
        for rotulo, pasta in pastas.items():
            banco = temp / f"registro-{rotulo}.sqlite"
            colunas[f"SQLite {rotulo}"] = importar_em_filho(pasta, str(banco))
            colunas[f"SQLite {rotulo}"].update(latencias(str(banco), n_empresas))
        if not args.sem_pg:
            from postgres_server import ServidorIndisponivel, servidor_temporario

            try:
                with servidor_temporario(shared_buffers="256MB") as url:
                    for rotulo, pasta in pastas.items():
                        colunas[f"PostgreSQL {rotulo}"] = importar_em_filho(pasta, url)
                        colunas[f"PostgreSQL {rotulo}"].update(latencias(url, n_empresas))
            except ServidorIndisponivel as e:
                print(f"PostgreSQL pulado: {e}", file=sys.stderr)
        imprimir(colunas)
        print(f"\ncarga da máquina (média de 1/5/15 min) ao fim: {os.getloadavg()}; {os.cpu_count()} núcleos")
    finally:
        shutil.rmtree(temp, ignore_errors=True)


def imprimir(colunas: Dict[str, Dict[str, Any]]) -> None:
    def linha(rotulo: str, valores: List[str]) -> None:
        print(f"| {rotulo:<44} | " + " | ".join(f"{v:>22}" for v in valores) + " |")

    nomes = list(colunas)
    linha("medida", nomes)
    print("|" + "-" * 46 + "|" + "|".join("-" * 24 for _ in nomes) + "|")
    c0 = next(iter(colunas.values()))
    total = sum(c0["linhas"].values())
    linha("linhas importadas", [f"{sum(c['linhas'].values()):,}" for c in colunas.values()])
    linha("CSV descompactado", [f"{c['bytes_csv'] / 2**20:,.0f} MB" for c in colunas.values()])
    est = c0["linhas"]["Estabelecimentos"]
    emp = total - est
    linha("estabelecimentos (e o fim): linhas/s", [f"{est / c['etapas']['estabelecimento']:,.0f}" for c in colunas.values()])
    linha("empresas+sócios+Simples (leitura): linhas/s", [f"{emp / c['etapas']['empresa']:,.0f}" for c in colunas.values()])
    linha("índices e troca (s)", [f"{c['etapas']['índices e troca']:.1f}" for c in colunas.values()])
    linha("total: linhas/s (com índices)", [f"{total / c['segundos']:,.0f}" for c in colunas.values()])
    linha("tempo total (s)", [f"{c['segundos']:.1f}" for c in colunas.values()])
    linha("CPU do importador por linha (µs)", [f"{c['cpu'] / total * 1e6:.2f}" for c in colunas.values()])
    linha("CPU da thread principal por linha (µs)",
          [f"{c['cpu_principal'] / total * 1e6:.2f}" for c in colunas.values()])
    # Com a máquina ocupada por outros processos o relógio de parede mede a
    # disputa, não o importador; com 2 núcleos livres o tempo seria o maior
    # entre a thread principal e metade da CPU total (as demais threads, de
    # leitura e de compressão, correm ao lado dela).
    linha("estimativa com 2 núcleos livres: linhas/s",
          [f"{total / max(c['cpu_principal'], c['cpu'] / 2):,.0f}" for c in colunas.values()])
    linha("memória de pico (RSS)", [f"{c['rss_kb'] / 1024:,.0f} MB" for c in colunas.values()])
    linha("tamanho do banco", [f"{c['tamanho'] / 2**20:,.0f} MB" for c in colunas.values()])
    linha("banco / CSV", [f"{c['tamanho'] / c['bytes_csv']:.3f}" for c in colunas.values()])
    linha("consulta por CNPJ: mediana (µs)", [f"{c['mediana_us']:.1f}" for c in colunas.values()])
    linha("consulta por CNPJ: p99 (µs)", [f"{c['p99_us']:.1f}" for c in colunas.values()])
    linha("busca por nome: mediana (ms)", [f"{c['busca_mediana_ms']:.2f}" for c in colunas.values()])
    linha("busca por nome: p99 (ms)", [f"{c['busca_p99_ms']:.2f}" for c in colunas.values()])
    linha("projeção 197 M linhas: tempo (min)",
          [f"{MES_COMPLETO / (total / c['segundos']) / 60:,.1f}" for c in colunas.values()])
    linha("projeção 197 M linhas: banco (GB)",
          [f"{c['tamanho'] / total * MES_COMPLETO / 2**30:,.1f}" for c in colunas.values()])


if __name__ == "__main__":
    main()
