#!/usr/bin/env python3
"""The archive re-checked against a new registry month.

Run: PYTHONPATH=src python3 benchmarks/bench_reverificar.py [--n 100000] [--jobs 2] [--acervo DESTINO]
     [--registro DESTINO]

An archive (SQLite by default, or --acervo postgresql://...) filled with N
contracts, each a copy of one of the three example contracts as `verificar`
stored it against the example registry (October), re-checked by
`reverificar_acervo` against November (the example registry with the test
months' changes, served in process; or --registro, an imported month with the
example companies). Reports contracts per second, alerts, and the process's
peak resident memory. Target: 100,000 contracts in 2 minutes, 500 MB.
"""
import argparse
import resource
import sys
import tempfile
import time
from pathlib import Path

RAIZ = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(RAIZ / "tests" / "apoio"))

from meses_apoio import mes_do_registro, novembro  # noqa: E402

from lexaro_contract import lote, registro  # noqa: E402
from lexaro_contract.acervo import Acervo  # noqa: E402
from lexaro_contract.acervo.esquema import arquivos, contratos, verificacoes  # noqa: E402
from lexaro_contract.enderecos import Enderecos, apontando  # noqa: E402
from lexaro_contract.monitoramento.reverificar import reverificar_acervo  # noqa: E402
from lexaro_contract.registro.em_processo import servir_no_processo  # noqa: E402

EXEMPLOS = sorted((RAIZ / "examples" / "contratos").glob("*.pdf"))


def registros_de_outubro():
    srv, base = registro.iniciar_em_segundo_plano(RAIZ / "examples" / "registro")
    try:
        with apontando(Enderecos.na_base(base, observado=True)):
            config = lote.Configuracao.atual("local")
            return [dict(lote.verificar_arquivo(str(p), config), mes_registro="2026-10") for p in EXEMPLOS]
    finally:
        srv.shutdown()
        srv.server_close()


def encher(acervo, n, modelos):
    agora = "2026-12-01T00:00:00.000000Z"
    with acervo.motor.begin() as con:
        for inicio in range(0, n, 5000):
            bloco = range(inicio, min(n, inicio + 5000))
            con.execute(arquivos.insert(), [{"hash": f"{i:064x}", "tamanho": 1000, "paginas": 2, "criado_em": agora}
                                            for i in bloco])
            con.execute(contratos.insert(), [{
                "id": i + 1, "hash": f"{i:064x}", "nome": f"contrato_{i}.pdf", "criado_em": agora,
                "estado": "verificado", "veredito": modelos[i % 3]["resultado"]["resultado_final"],
                "pendente_revisao": False, "verificacao_atual": i + 1} for i in bloco])
            con.execute(verificacoes.insert(), [{
                "id": i + 1, "contrato_id": i + 1, "criada_em": agora, "motor": "local", "mes_registro": "2026-10",
                "veredito": modelos[i % 3]["resultado"]["resultado_final"], "registro": modelos[i % 3]}
                for i in bloco])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--acervo")
    ap.add_argument("--registro")
    ap.add_argument("--processos", action="store_true", help="trabalhadores em processos, não em fios")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        acervo = Acervo(args.acervo or str(Path(tmp) / "acervo.db"), str(Path(tmp) / "arquivos"))
        encher(acervo, args.n, registros_de_outubro())
        destino = args.registro or mes_do_registro(Path(tmp) / "novembro", novembro)
        with servir_no_processo(destino) as reg, apontando(Enderecos.na_base(reg.base, observado=True)):
            inicio = time.perf_counter()
            resumo = reverificar_acervo(acervo, "2026-11", jobs=args.jobs, processos=args.processos)
            segundos = time.perf_counter() - inicio
        acervo.fechar()
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"| contratos | segundos | contratos/s | alertas | erros | memória (MB) |")
    print(f"|---|---|---|---|---|---|")
    print(f"| {resumo.reverificados:,} | {segundos:.1f} | {resumo.reverificados / segundos:,.0f} | "
          f"{len(resumo.alertas):,} | {len(resumo.erros)} | {rss:.0f} |")


if __name__ == "__main__":
    main()
