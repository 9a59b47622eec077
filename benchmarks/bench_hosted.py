#!/usr/bin/env python3
"""Hosted models and scanned contracts, on the example contracts.

1. Requests, input tokens and wall time per contract, one request per
   question (before) against one request for the three questions (after),
   with the checker's own three questions, against an OpenAI-compatible
   server on 127.0.0.1 that sleeps a recorded 2 s per request, counts the
   tokens it is sent (tests/apoio/modelo_falso.py: ~4 letters a token, images as
   billed) and plays the service's prompt cache. "doc+prompts" is the
   document's tokens plus the three questions' prompts and answer schemas;
   targets: sent <= 1.15 x doc+prompts and one request per contract, wall
   time <= 1.2 x one request (2.4 s). Besides the three examples, a
   10-page contract (tests/apoio/contract_pdfs.py) shows a document long enough
   for the prompt cache (from 1,024 tokens).
2. The same contracts scanned (each page rendered at 200 dpi and put back
   as a picture): sent to gpt-4o as page images, and read offline by the
   local provider through Tesseract, with the OCR time per page and the
   verdict against the text PDF's (the examples' offline registry).

Run: PYTHONPATH=src python3 benchmarks/bench_hosted.py
"""
import json
import logging
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "apoio"))

import lexaro  # noqa: E402
from lexaro import ocr  # noqa: E402
from lexaro.pdf import ScanPolicy, read_document  # noqa: E402
from lexaro.providers.openai_provider import strict_json_schema  # noqa: E402
from lexaro_contract.checker import ContractChecker  # noqa: E402
from contract_pdfs import make_long_contract_pdf, scanned_copy  # noqa: E402
from modelo_falso import ChatRecorder, approx_tokens, iniciar_servidor, perguntas_do_verificador  # noqa: E402

LATENCY = 2.0
EXAMPLES = sorted((ROOT / "examples" / "contratos").glob("*.pdf"))


def canned_answers(questions, pdf):
    client = lexaro.Lexaro(provider="local")
    for q in questions:
        client.add_question(q)
    doc = client.process(pdf)
    return {q.id: doc.get_result(q.id).result.model_dump(mode="json") for q in questions}


def hosted_run(server, questions, answers, pdf, combine):
    server.clear()
    rec = ChatRecorder({q.id: q.system_prompt for q in questions}, answers, latency=LATENCY)
    server.expect_request("/v1/chat/completions").respond_with_handler(rec)
    client = lexaro.Lexaro(provider="openai", api_key="sk-bench", base_url=server.url_for("/v1"), model="gpt-4o",
                           max_retries=0, combine_questions=combine)
    for q in questions:
        client.add_question(q)
    t0 = time.perf_counter()
    doc = client.process(pdf)
    wall = time.perf_counter() - t0
    client.close()
    return rec, doc, wall


def prompt_tokens(questions):
    return sum(approx_tokens(q.system_prompt + q.user_prompt.replace("{texto}", ""))
               + approx_tokens(json.dumps(strict_json_schema(q.response_model), ensure_ascii=False))
               for q in questions)


def main():
    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    questions = perguntas_do_verificador()
    server = iniciar_servidor()
    rows = []
    scans = {}
    try:
        with tempfile.TemporaryDirectory() as tmp:
            longo = make_long_contract_pdf(Path(tmp) / "contrato-10-paginas.pdf", pages=10)
            for pdf in EXAMPLES + [longo]:
                answers = canned_answers(questions, pdf)
                text = lexaro.join_pages(lexaro.read_pdf_pages(pdf))
                base = approx_tokens(text) + prompt_tokens(questions)
                for mode, combine in (("antes: 1 por pergunta", False), ("depois: combinada", True)):
                    rec, doc, wall = hosted_run(server, questions, answers, pdf, combine)
                    assert all(doc.get_result(q.id).raw_result == answers[q.id] for q in questions)
                    rows.append((pdf.name, mode, len(rec.requests), sum(rec.sent_tokens), sum(rec.cached), base,
                                 doc.total_metrics.cost_usd, wall))
                if pdf == longo:
                    continue
                scan = scanned_copy(pdf, Path(tmp) / (pdf.stem + "-scan.pdf"))
                scans[pdf] = scan
                rec, doc, wall = hosted_run(server, questions, answers, scan, True)
                rows.append((scan.name, "depois: imagens", len(rec.requests), sum(rec.sent_tokens), sum(rec.cached),
                             None, doc.total_metrics.cost_usd, wall))
            print_hosted(rows)
            print_ocr(scans)
    finally:
        server.clear()
        server.stop()


def print_hosted(rows):
    print(f"Hosted (gpt-4o prices, {LATENCY:.0f} s recorded latency per request)")
    head = (f"{'contract':26} {'mode':22} {'req':>3} {'sent tok':>9} {'cached':>7} {'doc+prompts':>11} "
            f"{'sent/base':>9} {'US$':>8} {'wall s':>7} {'wall/1req':>9}")
    print(head)
    print("-" * len(head))
    for name, mode, req, sent, cached, base, cost, wall in rows:
        ratio = f"{sent / base:9.2f}" if base else f"{'-':>9}"
        print(f"{name:26} {mode:22} {req:3d} {sent:9d} {cached:7d} {base or '-':>11} {ratio} {cost:8.4f} "
              f"{wall:7.2f} {wall / LATENCY:9.2f}")
    print()


def print_ocr(scans):
    print("Offline OCR (Tesseract, por, 300 dpi) and verdicts, local provider + the examples' registry")
    if shutil.which(ocr.tesseract_program()) is None:
        print("   Tesseract ausente: apt-get install tesseract-ocr tesseract-ocr-por")
        return
    from lexaro_contract.cli import verificar_arquivo
    from lexaro_contract.registro import apontar_cnpj_para, iniciar_em_segundo_plano

    servidor, base = iniciar_em_segundo_plano(ROOT / "examples" / "registro")
    head = f"{'contract':26} {'pages':>5} {'OCR s/page':>10} {'verdict text PDF':>17} {'verdict scan':>13} {'same':>5}"
    print(head)
    print("-" * len(head))
    try:
        apontar_cnpj_para(base)
        checker = ContractChecker(provider="local", verbose=False)
        for pdf, scan in scans.items():
            times = []
            for _ in range(2):
                t0 = time.perf_counter()
                doc = read_document(scan, scans=ScanPolicy("ocr"))
                times.append(time.perf_counter() - t0)
            per_page = statistics.median(times) / len(doc.pages)
            verdicts = []
            for path in (pdf, scan):
                r = verificar_arquivo(checker, str(path))
                verdicts.append(r["resultado"]["resultado_final"] if "resultado" in r else "ERRO: " + r["erro"])
            print(f"{pdf.name:26} {len(doc.pages):5d} {per_page:10.2f} {verdicts[0]:>17} {verdicts[1]:>13} "
                  f"{'sim' if verdicts[0] == verdicts[1] else 'NÃO':>5}")
        print(f"   ({os.cpu_count()} núcleos; as páginas de um documento rodam em paralelo, um Tesseract por núcleo)")
    finally:
        servidor.shutdown()
        servidor.server_close()


if __name__ == "__main__":
    main()
