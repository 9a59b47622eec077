#!/usr/bin/env python3
"""Extraction engine: the local provider end to end on a 10-page contract,
and PDF text extraction speed of pypdfium2 against pypdf on the same file.

Prints one table: operation, input, median time over the repeats, rate.
pypdf is optional (only this benchmark imports it); without it its row says so.
"""
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "apoio"))

from contract_pdfs import SAMPLES, grade_de_caracteres, make_long_contract_pdf, pagina_com_fluxo  # noqa: E402

import lexaro  # noqa: E402
from lexaro.providers import local  # noqa: E402
from lexaro_contract.models import ExtracaoAssinaturas, ExtracaoDadosContrato, ExtracaoEmpresas  # noqa: E402

PAGES = 10
REPEATS = 15
TARGET_MS = 30.0


def median_seconds(fn, repeats=REPEATS):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def local_client():
    client = lexaro.Lexaro(provider="local", api_token=None, model="gpt-4o", verbose=False)
    for qid, model in (("empresas", ExtracaoEmpresas), ("assinaturas", ExtracaoAssinaturas),
                       ("dados_contrato", ExtracaoDadosContrato)):
        client.add_question(lexaro.Question(
            config=lexaro.QuestionConfig(id=qid, name=qid, tag=qid), system_prompt="", user_prompt="{texto}",
            keywords=[], response_model=model))
    return client


def pypdfium2_pages(path):
    return lexaro.read_pdf_pages(path)


def pypdf_pages(path):
    import pypdf

    return [p.extract_text() for p in pypdf.PdfReader(path).pages]


def tiny_runs_pdf(path, runs):
    """One page of `runs` one-character text objects, apart from each other (a hostile page):
    each run's text must not cost a pass over the whole page."""
    rows = runs // 80 + 1
    return pagina_com_fluxo(path, grade_de_caracteres(runs, rows * 3.2 + 20).encode(), (595, int(rows * 3.2) + 40))


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path = str(make_long_contract_pdf(os.path.join(tmp, "contrato-10p.pdf"), pages=PAGES))
        size_kb = os.path.getsize(path) / 1024
        client = local_client()

        # correctness first: the benchmark measures a run that gets the answers right
        doc = client.process(path)
        expected = SAMPLES["servicos"]
        assert doc.pages == PAGES
        assert doc.get_result("empresas").raw_result["empresas"] == expected.empresas
        assert doc.get_result("assinaturas").raw_result["assinaturas"] == expected.assinaturas
        assert doc.get_result("dados_contrato").raw_result == expected.dados

        def end_to_end():
            local._analisar_cache.cache_clear()  # no reuse of the previous run's analysis
            client.process(path)

        text = lexaro.join_pages(lexaro.read_pdf_pages(path))

        def rules_only():
            local._analisar_cache.cache_clear()
            local.analisar(text)

        rows = []
        t = median_seconds(end_to_end)
        verdict = "ok" if t * 1000 < TARGET_MS else "ACIMA DA META"
        rows.append(("local ponta a ponta (PDF + 3 respostas)", f"{PAGES} p, {size_kb:.0f} KiB",
                     f"{t * 1000:.1f} ms", f"meta < {TARGET_MS:.0f} ms: {verdict}"))
        t = median_seconds(rules_only)
        rows.append(("local, só as regras (texto pronto)", f"{len(text)} chars", f"{t * 1000:.1f} ms",
                     f"{len(text) / t / 1e6:.2f} M chars/s"))
        t_pdfium = median_seconds(lambda: pypdfium2_pages(path))
        rows.append(("texto do PDF: pypdfium2", f"{PAGES} p", f"{t_pdfium * 1000:.1f} ms",
                     f"{PAGES / t_pdfium:.0f} páginas/s"))
        try:
            import pypdf  # noqa: F401
        except ImportError:
            rows.append(("texto do PDF: pypdf", f"{PAGES} p", "-", "pypdf não instalado"))
        else:
            t_pypdf = median_seconds(lambda: pypdf_pages(path))
            rows.append(("texto do PDF: pypdf", f"{PAGES} p", f"{t_pypdf * 1000:.1f} ms",
                         f"{PAGES / t_pypdf:.0f} páginas/s ({t_pypdf / t_pdfium:.1f}x mais lento)"))

        # linear in the runs: four times the runs, about four times the time
        times = []
        for runs in (5_000, 20_000):
            tiny = str(tiny_runs_pdf(Path(tmp) / f"miudos{runs}.pdf", runs))
            times.append(median_seconds(lambda: lexaro.read_pdf_pages(tiny), 3))
            rows.append(("página de trechos de um caractere", f"{runs} trechos", f"{times[-1] * 1000:.0f} ms",
                         f"{runs / times[-1] / 1000:.0f} mil trechos/s"
                         + (f" ({times[1] / times[0]:.1f}x o tempo de 5 mil)" if len(times) == 2 else "")))

    headers = ("operação", "entrada", "mediana", "taxa")
    widths = [max(len(str(r[i])) for r in rows + [headers]) for i in range(4)]
    line = "  ".join("{:<%d}" % w for w in widths)
    print(line.format(*headers))
    print(line.format(*("-" * w for w in widths)))
    for r in rows:
        print(line.format(*r))


if __name__ == "__main__":
    main()
