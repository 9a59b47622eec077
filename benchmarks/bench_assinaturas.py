#!/usr/bin/env python3
"""Digital signatures of a contract: read and check every signature of a 10-page PDF signed
twice (two incremental revisions: an ICP-Brasil-like signer with a timestamp, then a gov.br-like
signer), with and without a folder of trust roots, and the same PDF cross-checked with a
verification result. Certificates and PDF are made on the spot (tests/assinaturas/test_assinaturas.py).

Run: PYTHONPATH=src python3 benchmarks/bench_assinaturas.py

Target: verificar_assinaturas on the 10-page, two-signature PDF in at most 50 ms (median).
"""
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "assinaturas"))

from test_assinaturas import Pki, assinar, contrato  # noqa: E402

from lexaro_contract import assinaturas  # noqa: E402

REPEATS = 21
TARGET_MS = 50.0


def mediana_ms(fn):
    fn()  # aquece imports e caches
    tempos = []
    for _ in range(REPEATS):
        t = time.perf_counter()
        fn()
        tempos.append(time.perf_counter() - t)
    return statistics.median(tempos) * 1000, min(tempos) * 1000


def main():
    pki = Pki()
    with tempfile.TemporaryDirectory() as d:
        pasta = Path(d)
        base = contrato(paginas=10)
        pdf = pasta / "contrato_assinado.pdf"
        pdf.write_bytes(assinar(assinar(base, pki.mariana, "Mariana", pki.carimbador()), pki.joao, "Joao"))
        um = pasta / "um.pdf"
        um.write_bytes(assinar(base, pki.mariana, "Mariana"))
        raizes = pki.pasta_raizes(pasta / "raizes", pki.raiz_icp, pki.raiz_gov)
        resultado = {"assinaturas": [{"nome_signatario": "Mariana Costa Lima"},
                                     {"nome_signatario": "João Carlos Pereira"}], "empresas": []}
        casos = [
            ("1 signature, no roots", um, lambda: assinaturas.verificar_assinaturas(um)),
            ("2 signatures, no roots", pdf, lambda: assinaturas.verificar_assinaturas(pdf)),
            ("2 signatures, roots folder", pdf, lambda: assinaturas.verificar_assinaturas(pdf, raizes=raizes)),
            ("2 signatures, roots + cross-check", pdf, lambda: assinaturas.cruzar_com_verificacao(
                assinaturas.verificar_assinaturas(pdf, raizes=raizes), resultado)),
        ]
        print(f"{'operation':36} {'pages':>5} {'bytes':>8} {'median ms':>10} {'min ms':>8} {'target':>8}")
        falhou = False
        for nome, arquivo, fn in casos:
            med, mn = mediana_ms(fn)
            alvo = f"<= {TARGET_MS:.0f}" if "2 signatures" in nome else "-"
            if "2 signatures" in nome and med > TARGET_MS:
                falhou = True
            print(f"{nome:36} {10:>5} {arquivo.stat().st_size:>8} {med:>10.1f} {mn:>8.1f} {alvo:>8}")
        print("target met" if not falhou else "TARGET MISSED")


if __name__ == "__main__":
    main()
