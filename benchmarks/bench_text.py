#!/usr/bin/env python3
"""Keyword screening and accent folding: native module against the plain
Python oracle, on 1 MB of contract-like Portuguese text.

Prints one table: operation, input, oracle time, native time, ratio, MB/s
(MB/s of the native code, counted on the text's length in characters).
"""
import os
import random
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "apoio"))

import oracle  # noqa: E402
from lexaro_contract import keywords  # noqa: E402

SENTENCES = [
    "CONTRATO DE PRESTAÇÃO DE SERVIÇOS que entre si celebram as partes abaixo qualificadas.",
    "ALFA SERVIÇOS LTDA., pessoa jurídica de direito privado, inscrita no CNPJ sob o nº 12.345.678/0001-99,",
    "com sede na Avenida das Nações, nº 1.000, Bela Vista, São Paulo/SP, CEP 01310-100,",
    "neste ato representada por seu sócio administrador, doravante denominada CONTRATANTE.",
    "CLÁUSULA PRIMEIRA – DO OBJETO: a prestação de serviços de manutenção preventiva e corretiva.",
    "CLÁUSULA SEGUNDA – DA VIGÊNCIA: o presente instrumento vigorará por 12 (doze) meses.",
    "O valor mensal é de R$ 15.000,00 (quinze mil reais), com pagamento até o quinto dia útil.",
    "As obrigações da CONTRATADA incluem a execução dos serviços com diligência e qualidade.",
    "A rescisão poderá ocorrer por qualquer das partes mediante aviso prévio de 30 (trinta) dias.",
    "Fica eleito o foro da Comarca de São Paulo para dirimir quaisquer dúvidas.",
    "Assinado com certificado digital ICP-Brasil. Testemunhas: 1. Maria Souza 2. José Lima.",
]
CURLY = str.maketrans({"-": "\u2013", ",": "\u201a", ".": ".", "'": "\u2019"})


def make_text(size, curly, seed=7):
    rnd = random.Random(seed)
    parts, n = [], 0
    while n < size:
        s = rnd.choice(SENTENCES)
        if curly:
            s = "\u201c" + s.translate(CURLY) + "\u201d \u2014"
        if not curly:
            s = s.replace("\u2013", "-")
        parts.append(s)
        n += len(s) + 1
    return " ".join(parts)[:size]


def timeit(fn, arg, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def call_overhead(arg, repeats=200000):
    def empty(texto):
        return texto
    t0 = time.perf_counter()
    for _ in range(repeats):
        keywords.validar_documento_contrato(arg)
    native = (time.perf_counter() - t0) / repeats
    t0 = time.perf_counter()
    for _ in range(repeats):
        empty(arg)
    base = (time.perf_counter() - t0) / repeats
    return native, base


def main():
    rows = []
    for label, curly in (("1 MB Latin-1", False), ("1 MB curly quotes", True)):
        text = make_text(1_000_000, curly)
        assert (max(text) <= "\xff") != curly
        assert keywords.validar_documento_contrato(text) == oracle.validar_documento_contrato(text)
        assert keywords.normalizar_texto(text) == oracle.normalizar_texto(text)
        for op, nat, ora in (
            ("validar_documento_contrato", keywords.validar_documento_contrato, oracle.validar_documento_contrato),
            ("normalizar_texto", keywords.normalizar_texto, oracle.normalizar_texto),
        ):
            t_o = timeit(ora, text, 5)
            t_n = timeit(nat, text, 25)
            rows.append((op, label, t_o * 1e3, t_n * 1e3, t_o / t_n, len(text) / t_n / 1e6))
    short = make_text(40, False)
    native, base = call_overhead(short)
    print(f"{'operation':28} {'input':18} {'oracle ms':>10} {'native ms':>10} {'ratio':>8} {'MB/s':>9}")
    for op, label, to, tn, ratio, mbs in rows:
        print(f"{op:28} {label:18} {to:10.2f} {tn:10.3f} {ratio:8.0f} {mbs:9.0f}")
    print(f"validar_documento_contrato on 40 chars: {native * 1e9:.0f} ns per call, "
          f"{(native - base) * 1e9:.0f} ns above a Python call of an empty function")


if __name__ == "__main__":
    main()
