#!/usr/bin/env python3
"""The archive re-checked against a new registry month.

Run: PYTHONPATH=src python3 benchmarks/bench_reverificar.py [--n 100000] [--jobs 2] [--distintas]
     [--acervo DESTINO | --pg] [--registro DESTINO] [--fios] [--pela-rede] [--sem-memoria]

An archive (SQLite by default; --acervo postgresql://..., or --pg for a
throwaway PostgreSQL server) filled with N contracts, re-checked by
`reverificar_acervo` against November served in process, the way
`acervo reverificar --registro` does it (the registry's routes called without
sockets, answers remembered for the run).

- Repeated companies (default): each contract a copy of one of the three
  example contracts as `verificar` stored it against the example registry
  (October); November is the example registry with the test months' changes
  (a JSON folder; or --registro, an imported month with the example companies).
- --distintas: every contract names two companies of its own, drawn from a
  generated month of open data with 2N+ companies imported into a registry
  (a SQLite file in the temporary folder, --registro DESTINO, or with --pg a
  database on that server), with the first partner of each as its signatory;
  every third contract names its second company by name only (the registry's
  search). Nothing repeats, so the run's memory of answers does not help.

Workers are processes (as the command uses them for large archives), each
asking the registry it opens itself through the same routes; --fios: threads
of this process instead. --pela-rede: the `cnpj` module reaches the registry
over HTTP (the way a separate `registro servir` is reached); --sem-memoria:
no memory of answers.
Reports contracts per second, alerts, and the peak resident memory of the
re-check itself (the high-water mark is reset after the archive is filled).
Target: 100,000 contracts in 2 minutes, 500 MB.
"""
import argparse
import contextlib
import functools
import re
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
from lexaro_contract.acervo.contratos import do_contrato, indexar_varios  # noqa: E402
from lexaro_contract.acervo.esquema import arquivos, contratos, verificacoes  # noqa: E402
from lexaro_contract.cnpj import formatar_cnpj  # noqa: E402
from lexaro_contract.enderecos import Enderecos, apontando  # noqa: E402
from lexaro_contract.monitoramento.reverificar import reverificar_acervo  # noqa: E402
from lexaro_contract.registro.cliente import Memorizado  # noqa: E402
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


def _parte(reg, papel, por_nome):
    endereco = (f"{reg['descricao_tipo_de_logradouro']} {reg['logradouro']}, nº {reg['numero']}, {reg['bairro']}, "
                f"{reg['municipio']}/{reg['uf']}, CEP {reg['cep'][:5]}-{reg['cep'][5:]}")
    empresa = {"cnpj": None if por_nome else formatar_cnpj(reg["cnpj"]), "razao_social": reg["razao_social"],
               "endereco": endereco, "papel_no_contrato": papel}
    socio = (reg.get("qsa") or [{}])[0].get("nome_socio") or "FULANO DE TAL"
    assinatura = {"nome_signatario": socio, "cargo": "Sócio Administrador",
                  "empresa_representada": reg["razao_social"], "cnpj_empresa": empresa["cnpj"],
                  "tipo_assinatura": "representante legal"}
    return empresa, assinatura


def registros_distintos(n, n_empresas, dados_contrato):
    """The stored record of contract i: its extraction names companies 2i and 2i+1 of the generated month
    (the previous verification is a pending one from October that found both companies, as the archive's
    search terms have them; every contract gets a verdict alert)."""
    from lexaro_contract.registro.dados_abertos.gerador import modelo_da_empresa, registros_esperados

    testemunhas = [{"nome_signatario": nome, "cargo": "Testemunha", "empresa_representada": None, "cnpj_empresa": None,
                    "tipo_assinatura": "testemunha"} for nome in ("RENATO ALVES BARBOSA", "LUCIA FERREIRA DIAS")]
    for i in range(n):
        ra, rb = (registros_esperados(modelo_da_empresa(j, n_empresas, 0))[0] for j in (2 * i, 2 * i + 1))
        a, sa = _parte(ra, "contratante", False)
        b, sb = _parte(rb, "contratada", i % 3 == 2)
        extracao = {"empresas": {"empresas": [a, b]}, "assinaturas": {"assinaturas": [sa, sb, *testemunhas]},
                    "dados_contrato": dados_contrato}
        achadas = [{"razao_social_receita": r["razao_social"], "cnpj": formatar_cnpj(r["cnpj"])}
                   for r in (ra, rb)]
        yield {"arquivo": f"contrato_{i}.pdf", "extracao": extracao, "mes_registro": "2026-10", "resultado": {
            "resultado_final": "PENDENTE", "empresas": achadas, "assinaturas": [], "dados_contrato": dados_contrato}}


def _sem_memoria(fabrica):
    return fabrica().cliente   # the worker's client without the memory around it


def _fabrica(reg, sem_memoria):
    """What makes each worker process's registry client (it goes by copy to the process)."""
    return functools.partial(_sem_memoria, reg.fabrica_de_clientes()) if sem_memoria else reg.fabrica_de_clientes()


def encher(acervo, n, registros):
    agora = "2026-12-01T00:00:00.000000Z"
    with acervo.motor.begin() as con:
        for inicio in range(0, n, 2000):
            bloco = [(i, next(registros)) for i in range(inicio, min(n, inicio + 2000))]
            con.execute(arquivos.insert(), [{"hash": f"{i:064x}", "tamanho": 1000, "paginas": 2, "criado_em": agora}
                                            for i, _ in bloco])
            con.execute(contratos.insert(), [{
                "id": i + 1, "hash": f"{i:064x}", "nome": f"contrato_{i}.pdf", "criado_em": agora,
                **do_contrato(r["resultado"]), "verificacao_atual": i + 1} for i, r in bloco])
            indexar_varios(con, [(i + 1, f"contrato_{i}.pdf", do_contrato(r["resultado"])["partes"]) for i, r in bloco])
            con.execute(verificacoes.insert(), [{
                "id": i + 1, "contrato_id": i + 1, "criada_em": agora, "motor": "local", "mes_registro": "2026-10",
                "veredito": r["resultado"]["resultado_final"], "registro": r} for i, r in bloco])
        if con.dialect.name == "postgresql":   # the ids were given: the sequences move past them
            for tabela in ("contratos", "verificacoes"):
                con.exec_driver_sql(f"SELECT setval(pg_get_serial_sequence('{tabela}', 'id'), {n})")


def mes_gerado(pasta, n_empresas, destino):
    """A generated month of `n_empresas` companies imported into `destino` (in a child process)."""
    sys.path.insert(0, str(RAIZ / "benchmarks"))
    from bench_registro_importar import importar_em_filho

    from lexaro_contract.registro.dados_abertos.gerador import gerar

    gerar(pasta, n_empresas, 0, zips=False)
    importar_em_filho(pasta, destino)
    return destino


def _zerar_pico():
    with contextlib.suppress(OSError):
        Path("/proc/self/clear_refs").write_text("5")


def _cpu():
    """CPU seconds of this process and of its finished children (the process workers)."""
    return tuple(resource.getrusage(q).ru_utime + resource.getrusage(q).ru_stime
                 for q in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN))


def _pico_mb():
    status = Path("/proc/self/status").read_text()
    return int(re.search(r"VmHWM:\s+(\d+)", status).group(1)) / 1024


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--acervo")
    ap.add_argument("--pg", action="store_true", help="um PostgreSQL descartável para o acervo (e o registro)")
    ap.add_argument("--registro")
    ap.add_argument("--distintas", action="store_true", help="empresas distintas em cada contrato")
    ap.add_argument("--fios", action="store_true", help="trabalhadores em fios deste processo, não em processos")
    ap.add_argument("--pela-rede", action="store_true", help="o registro pelo HTTP, não pelo cliente no processo")
    ap.add_argument("--sem-memoria", action="store_true", help="sem a memória das respostas da passada")
    args = ap.parse_args()
    with contextlib.ExitStack() as pilha:
        tmp = Path(pilha.enter_context(tempfile.TemporaryDirectory()))
        pg = None
        if args.pg:
            from postgres_server import servidor_temporario

            pg = pilha.enter_context(servidor_temporario(shared_buffers="256MB"))
        acervo = Acervo(args.acervo or pg or str(tmp / "acervo.db"), str(tmp / "arquivos"))
        if args.distintas:
            n_empresas = 2 * args.n + 100
            destino = mes_gerado(tmp / "2026-11", n_empresas, args.registro or pg or str(tmp / "registro.sqlite"))
            dados = registros_de_outubro()[0]["resultado"]["dados_contrato"]
            encher(acervo, args.n, registros_distintos(args.n, n_empresas, dados))
        else:
            modelos = registros_de_outubro()
            encher(acervo, args.n, (modelos[i % 3] for i in range(args.n)))
            destino = args.registro or mes_do_registro(tmp / "novembro", novembro)
        reg = pilha.enter_context(servir_no_processo(destino))
        cliente = None
        if not args.pela_rede:
            cliente = reg.cliente() if args.sem_memoria else Memorizado(reg.cliente())
            pilha.callback(cliente.fechar)
        pilha.enter_context(apontando(Enderecos.na_base(reg.base, observado=True), cliente))
        _zerar_pico()
        cpu = _cpu()
        inicio = time.perf_counter()
        resumo = reverificar_acervo(acervo, "2026-11", jobs=args.jobs, processos=not args.fios,
                                    cliente=None if args.pela_rede else _fabrica(reg, args.sem_memoria))
        segundos = time.perf_counter() - inicio
        cpu = [depois - antes for antes, depois in zip(cpu, _cpu())]
        pico = _pico_mb()
        acervo.fechar()
    banco = "PostgreSQL" if (args.pg or (args.acervo or "").startswith("postgres")) else "SQLite"
    empresas = "distintas" if args.distintas else "repetidas"
    print("| acervo | empresas | contratos | segundos | contratos/s | CPU (s): quem despacha + trabalhadores "
          "| alertas | erros | pico de memória (MB) |")
    print("|---|---|---|---|---|---|---|---|---|")
    print(f"| {banco} | {empresas} | {resumo.reverificados:,} | {segundos:.1f} | "
          f"{resumo.reverificados / segundos:,.0f} | {cpu[0]:.1f} + {cpu[1]:.1f} | {len(resumo.alertas):,} | "
          f"{len(resumo.erros)} | {pico:.0f} |")


if __name__ == "__main__":
    main()
