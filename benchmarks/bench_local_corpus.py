#!/usr/bin/env python3
"""The local reader over the corpus of invented contracts (tests/corpus_local).

For each contract, rendered to a PDF as the tests render it: the CNPJs and the
signatories' names found against the careful reader's answer, the wrong
extras, the signatories attributed to the right company (witnesses as
witnesses), the checker's verdict against the expected one (the registry
served locally from the corpus' records) and the end-to-end time, PDF to the
three answers (median of the repeats). Tuned and held-out contracts are
totalled apart. Last row: the 10-page contract of the engine benchmark
(target: at most 30 ms).

Usage: PYTHONPATH=src python3 benchmarks/bench_local_corpus.py [--repeats N] [--so-reservados]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Dict, List, Sequence, Tuple

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from contract_pdfs import make_contract_pdf, make_long_contract_pdf  # noqa: E402
from corpus_local import Contrato, Placar, carregar, escrever_registro, pontuar  # noqa: E402

import lexaro  # noqa: E402
from lexaro.providers import local  # noqa: E402
from lexaro_contract import cnpj, registro  # noqa: E402
from lexaro_contract.checker import ContractChecker  # noqa: E402
from lexaro_contract.models import ExtracaoAssinaturas, ExtracaoDadosContrato, ExtracaoEmpresas  # noqa: E402

TARGET_MS = 30.0


def cliente() -> lexaro.Lexaro:
    c = lexaro.Lexaro(provider="local", api_token=None, model="gpt-4o", verbose=False)
    for qid, model in (("empresas", ExtracaoEmpresas), ("assinaturas", ExtracaoAssinaturas),
                       ("dados_contrato", ExtracaoDadosContrato)):
        c.add_question(lexaro.Question(config=lexaro.QuestionConfig(id=qid, name=qid, tag=qid), system_prompt="",
                                       user_prompt="{texto}", keywords=[], response_model=model))
    return c


def mediana_ms(fn: Any, repeats: int) -> float:
    ts = []
    for _ in range(repeats):
        local._analisar_cache.cache_clear()
        t0 = time.perf_counter()
        fn()
        ts.append(time.perf_counter() - t0)
    return statistics.median(ts) * 1000


def medir(contratos: Sequence[Contrato], pasta: Path, repeats: int) -> List[Tuple[Contrato, Placar, float]]:
    eng = cliente()
    verificador = ContractChecker(provider="local", verbose=False)
    out = []
    for c in contratos:
        pdf = make_contract_pdf(pasta / f"{c.nome}.pdf", c.texto)
        doc = eng.process(str(pdf))
        emp = doc.get_result("empresas").raw_result["empresas"]
        ass = doc.get_result("assinaturas").raw_result["assinaturas"]
        veredito = verificador.verificar(str(pdf))["resultado_final"]
        ms = mediana_ms(lambda: eng.process(str(pdf)), repeats)
        out.append((c, pontuar(c, emp, ass, veredito), ms))
    return out


def tabela(linhas: Sequence[Sequence[str]], cab: Sequence[str]) -> None:
    larg = [max(len(str(r[i])) for r in list(linhas) + [cab]) for i in range(len(cab))]
    fmt = "  ".join("{:<%d}" % w for w in larg)
    print(fmt.format(*cab))
    print(fmt.format(*("-" * w for w in larg)))
    for r in linhas:
        print(fmt.format(*r))


def totais(res: Sequence[Tuple[Contrato, Placar, float]], rotulo: str) -> List[str]:
    s: Dict[str, int] = {}
    for _, p, _ in res:
        for k in ("cnpjs", "cnpjs_achados", "cnpjs_extras", "nomes", "nomes_achados", "nomes_extras", "vinculos",
                  "vinculos_certos"):
            s[k] = s.get(k, 0) + getattr(p, k)
    certos = sum(p.veredito == p.veredito_obtido for _, p, _ in res)

    def pct(a: int, b: int) -> str:
        return f"{a}/{b} ({100 * a / b:.1f}%)" if b else "-"

    return [f"TOTAL {rotulo} ({len(res)})", pct(s["cnpjs_achados"], s["cnpjs"]), str(s["cnpjs_extras"]),
            pct(s["nomes_achados"], s["nomes"]), str(s["nomes_extras"]), pct(s["vinculos_certos"], s["vinculos"]),
            f"{certos}/{len(res)}", f"{max(ms for _, _, ms in res):.1f} máx", ""]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--so-reservados", action="store_true")
    args = ap.parse_args()
    contratos = carregar(True if args.so_reservados else None)
    urls = {n: getattr(cnpj, n) for n in ("BRASIL_API_URL", "RECEITA_WS_URL", "CASADOSDADOS_API")}
    with tempfile.TemporaryDirectory() as tmp:
        pasta = Path(tmp)
        (pasta / "registro").mkdir()
        escrever_registro(contratos, pasta / "registro")
        srv, base = registro.iniciar_em_segundo_plano(pasta / "registro")
        try:
            registro.apontar_cnpj_para(base)
            res = medir(contratos, pasta, args.repeats)
        finally:
            for n, v in urls.items():
                setattr(cnpj, n, v)
            srv.shutdown()
            srv.server_close()
        longo = make_long_contract_pdf(pasta / "longo.pdf", pages=10)
        eng = cliente()
        ms_longo = mediana_ms(lambda: eng.process(str(longo)), max(args.repeats, 15))

    linhas = []
    for c, p, ms in res:
        linhas.append([c.nome + (" *" if c.reservado else ""), f"{p.cnpjs_achados}/{p.cnpjs}", str(p.cnpjs_extras),
                       f"{p.nomes_achados}/{p.nomes}", str(p.nomes_extras), f"{p.vinculos_certos}/{p.vinculos}",
                       f"{p.veredito_obtido}" + ("" if p.veredito == p.veredito_obtido else f" (esperado {p.veredito})"),
                       f"{ms:.1f}", "; ".join(p.faltas or [])])
    for rotulo, sel in (("ajustados", [r for r in res if not r[0].reservado]),
                        ("reservados", [r for r in res if r[0].reservado])):
        if sel:
            linhas.append(totais(sel, rotulo))
    ok = "ok" if ms_longo <= TARGET_MS else "ACIMA DA META"
    linhas.append(["contrato de 10 páginas", "", "", "", "", "", "", f"{ms_longo:.1f}", f"meta <= {TARGET_MS:.0f} ms: {ok}"])
    tabela(linhas, ["contrato (* reservado)", "CNPJs", "extras", "nomes", "extras", "vínculos", "veredito", "ms",
                    "faltas"])


if __name__ == "__main__":
    main()
