#!/usr/bin/env python3
"""The local reader over the corpus of invented contracts (tests/motor/corpus_local).

For each contract, rendered to a PDF as the tests render it: the CNPJs and the
signatories' names found against the careful reader's answer, the wrong
extras, the signatories attributed to the right company (witnesses as
witnesses), the checker's verdict against the expected one (the registry
served locally from the corpus' records) and the end-to-end time, PDF to the
three answers (median of the repeats). Tuned and held-out contracts are
totalled apart. Then the real public contracts of ../shared/real/contratos
(rendered to PDFs here, never copied into the repository; skipped with a
message where the folder is absent): stated CNPJs and signatories found,
wrong extras (a person seen only in a system stamp is neither required nor
wrong). Last row: the 10-page contract of the engine benchmark (target: at
most 30 ms).

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
sys.path.insert(0, str(HERE.parent / "tests" / "apoio"))
sys.path.insert(0, str(HERE.parent / "tests" / "motor"))  # corpus_local

from contract_pdfs import make_contract_pdf, make_long_contract_pdf  # noqa: E402
from contract_pdfs import long_contract_text  # noqa: E402
from corpus_local import Contrato, Placar, carregar, escrever_registro, pdf_uma_pagina, pontuar  # noqa: E402

import lexaro  # noqa: E402
from lexaro.providers import local  # noqa: E402
from lexaro_contract import registro  # noqa: E402
from lexaro_contract.checker import ContractChecker  # type: ignore[import-not-found]  # noqa: E402
from lexaro_contract.enderecos import Enderecos, apontando  # noqa: E402
from lexaro_contract.models import ExtracaoAssinaturas, ExtracaoDadosContrato, ExtracaoEmpresas  # noqa: E402

TARGET_MS = 30.0
# ../shared/real/contratos from the project root; a checkout elsewhere (a worktree) names it in
# LEXARO_CONTRATOS_REAIS
REAIS = Path(os.environ.get("LEXARO_CONTRATOS_REAIS") or HERE.parent.parent / "shared" / "real" / "contratos")


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
        r_emp, r_ass = doc.get_result("empresas"), doc.get_result("assinaturas")
        assert r_emp is not None and r_ass is not None
        emp, ass = r_emp.raw_result["empresas"], r_ass.raw_result["assinaturas"]
        veredito = verificador.verificar(str(pdf))["resultado_final"]
        ms = mediana_ms(lambda: eng.process(str(pdf)), repeats)
        out.append((c, pontuar(c, emp, ass, veredito), ms))
    return out


def reais(pasta: Path, eng: lexaro.Lexaro) -> List[List[str]]:
    """The real contracts: CNPJs and signatories found against the careful reader's answer."""
    import json

    from corpus_local import chave_cnpj, chave_nome

    linhas = []
    tot = [0] * 6
    for txt in sorted(REAIS.glob("[0-9][0-9].txt")):
        esp = json.loads(txt.with_name(txt.stem + ".esperado.json").read_text(encoding="utf-8"))
        pdf = make_contract_pdf(pasta / f"real{txt.stem}.pdf", txt.read_text(encoding="utf-8"))
        local._analisar_cache.cache_clear()
        t0 = time.perf_counter()
        doc = eng.process(str(pdf))
        ms = (time.perf_counter() - t0) * 1000
        r_emp, r_ass = doc.get_result("empresas"), doc.get_result("assinaturas")
        assert r_emp is not None and r_ass is not None
        cn_esp = {chave_cnpj(e["cnpj"]) for e in esp["empresas"] if e.get("cnpj")}
        cn_ach = {chave_cnpj(e.get("cnpj")) for e in r_emp.raw_result["empresas"] if e.get("cnpj")}
        nm_esp = {chave_nome(s["nome"]) for s in esp["signatarios"] if s["papel"] != "outro"}
        outros = {chave_nome(s["nome"]) for s in esp["signatarios"] if s["papel"] == "outro"}
        nm_ach = {chave_nome(a.get("nome_signatario")) for a in r_ass.raw_result["assinaturas"]}
        extras = sorted(nm_ach - nm_esp - outros)
        conta = [len(cn_esp & cn_ach), len(cn_esp), len(cn_ach - cn_esp), len(nm_esp & nm_ach), len(nm_esp),
                 len(extras)]
        tot = [a + b for a, b in zip(tot, conta)]
        faltas = [f"CNPJ {c}" for c in sorted(cn_esp - cn_ach)] + [f"CNPJ a mais {c}" for c in sorted(cn_ach - cn_esp)]
        faltas += [f"nome {n}" for n in sorted(nm_esp - nm_ach)] + [f"nome a mais {n}" for n in extras]
        linhas.append([f"real {txt.stem}", f"{conta[0]}/{conta[1]}", str(conta[2]), f"{conta[3]}/{conta[4]}",
                       str(conta[5]), "", "", f"{ms:.1f}", "; ".join(faltas)])
    if linhas:
        linhas.append([f"TOTAL reais ({len(linhas)})", f"{tot[0]}/{tot[1]}", str(tot[2]), f"{tot[3]}/{tot[4]}",
                       str(tot[5]), "", "", "", ""])
    return linhas


def entradas_ruins(pasta: Path, eng: lexaro.Lexaro) -> List[Tuple[str, str, float]]:
    """No recognisable party, 5 MB of text on one page, a signature page of 2,000 lines."""
    contrato = [l for l in long_contract_text(1).split("\n") if l]
    mega: List[str] = []
    while sum(map(len, mega)) < 5_000_000:
        mega += contrato
    assinaturas: List[str] = []
    for i in range(500):
        assinaturas += ["_" * 30, f"PESSOA {chr(65 + i % 26)}{chr(65 + i // 26)} DA SILVA", "Diretor", f"EMPRESA {i} LTDA."]
    casos = [("sem parte reconhecível", ["Ata da reunião do condomínio. Presentes os moradores."] * 40, 10.0, 12.0),
             ("5 MB numa página", mega, 0.5, 0.1), ("página de 2.000 linhas de assinatura", assinaturas, 0.3, 0.4)]
    out = []
    for nome, linhas, tam, entre in casos:
        pdf = pdf_uma_pagina(pasta / "ruim.pdf", linhas, tam, entre)
        local._analisar_cache.cache_clear()
        t0 = time.perf_counter()
        try:
            doc = eng.process(str(pdf))
            r = doc.get_result("assinaturas")
            desc = f"{doc.chars} chars, {len(r.raw_result['assinaturas']) if r else 0} signatários"
        except lexaro.LexaroError as exc:
            desc = f"erro do motor: {type(exc).__name__}"
        out.append((nome, desc, (time.perf_counter() - t0) * 1000))
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
    with tempfile.TemporaryDirectory() as tmp:
        pasta = Path(tmp)
        (pasta / "registro").mkdir()
        escrever_registro(contratos, pasta / "registro")
        srv, base = registro.iniciar_em_segundo_plano(pasta / "registro")  # type: ignore[attr-defined]
        try:
            with apontando(Enderecos.na_base(base)):
                res = medir(contratos, pasta, args.repeats)
        finally:
            srv.shutdown()
            srv.server_close()
        longo = make_long_contract_pdf(pasta / "longo.pdf", pages=10)
        eng = cliente()
        ms_longo = mediana_ms(lambda: eng.process(str(longo)), max(args.repeats, 15))
        ruins = entradas_ruins(pasta, eng)
        if REAIS.is_dir():
            linhas_reais = reais(pasta, eng)
        else:
            linhas_reais = []
            print(f"(contratos reais ausentes: {REAIS} não existe; linhas puladas)")

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
    linhas.extend(linhas_reais)
    ok = "ok" if ms_longo <= TARGET_MS else "ACIMA DA META"
    linhas.append(["contrato de 10 páginas", "", "", "", "", "", "", f"{ms_longo:.1f}", f"meta <= {TARGET_MS:.0f} ms: {ok}"])
    for nome, desc, ms in ruins:
        linhas.append([nome, "", "", "", "", "", desc, f"{ms:.0f}", "entrada ruim: tempo limitado, linear"])
    tabela(linhas, ["contrato (* reservado)", "CNPJs", "extras", "nomes", "extras", "vínculos", "veredito", "ms",
                    "faltas"])


if __name__ == "__main__":
    main()
