"""Native address functions against the plain Python version (tests/apoio/oracle_address.py).

Run: PYTHONPATH=src:tests/apoio python3 benchmarks/bench_address.py

comparar_enderecos: a typical contract address against a registry record,
time per call. Target: native at least 30 times faster than the oracle.
_normalizar_endereco: 1 MB of address text (Latin-1 storage, the usual
case, and 2-byte storage). Target: at least 300 MB/s on the Latin-1 text.
Medians of several repeats, oracle and native measured in the same run.
"""
import statistics
import sys
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "apoio"))

import oracle_address as oracle  # noqa: E402
from lexaro_contract import cnpj  # noqa: E402

REPEATS = 7

CONTRATO = "Av. Brigadeiro Faria Lima, nº 3.477, 14º andar, Itaim Bibi, São Paulo - SP, CEP 04538-133"
DADOS = {
    "cnpj": "12345678000199",
    "razao_social": "PADARIA AURORA DO VALE LTDA",
    "endereco": {"logradouro": "AV BRIGADEIRO FARIA LIMA", "numero": "3477", "complemento": "ANDAR 14",
                 "bairro": "ITAIM BIBI", "cidade": "SAO PAULO", "uf": "SP", "cep": "04538133"},
}
CONTRATO_2 = "Rua das Palmeiras, 120 — Sala 4, Centro, Belo Horizonte/MG"
DADOS_2 = {"endereco": {"logradouro": "R DAS PALMEIRAS", "numero": "120", "complemento": "SALA 4",
                        "bairro": "CENTRO", "cidade": "BELO HORIZONTE", "uf": "MG", "cep": "30110000"}}

PECA_1 = "Av. Paulista, 1000 - Bela Vista, São Paulo - SP, CEP 01310-100; Rua Nova nº 12, Sala 3\n"
PECA_2 = "Rua “Nova” nº 12 — Sala 3, Edifício Aurora, Praça da Sé, CEP 01001-000\n"
MB = 1_000_000


def median_time(fn, number):
    return statistics.median(timeit.repeat(fn, number=number, repeat=REPEATS)) / number


def row(name, size, t_oracle, t_native, mb_s=None):
    ratio = t_oracle / t_native
    rate = f"{mb_s:10.0f}" if mb_s is not None else f"{'-':>10}"
    print(f"{name:<34} {size:>9} {t_oracle * 1e6:>12.1f} {t_native * 1e6:>12.2f} {ratio:>8.1f}x {rate}")
    return ratio


def main():
    for c, d in ((CONTRATO, DADOS), (CONTRATO_2, DADOS_2)):
        assert cnpj.comparar_enderecos(c, d) == oracle.comparar_enderecos(c, d)
    print(f"{'operation':<34} {'size':>9} {'oracle us':>12} {'native us':>12} {'ratio':>9} {'MB/s':>10}")
    print("-" * 92)
    r1 = row("comparar_enderecos (CEP, 0.8)", f"{len(CONTRATO)} ch",
             median_time(lambda: oracle.comparar_enderecos(CONTRATO, DADOS), 2000),
             median_time(lambda: cnpj.comparar_enderecos(CONTRATO, DADOS), 50000))
    r2 = row("comparar_enderecos (2-byte text)", f"{len(CONTRATO_2)} ch",
             median_time(lambda: oracle.comparar_enderecos(CONTRATO_2, DADOS_2), 2000),
             median_time(lambda: cnpj.comparar_enderecos(CONTRATO_2, DADOS_2), 50000))
    row("_normalizar_endereco (typical)", f"{len(CONTRATO)} ch",
        median_time(lambda: oracle._normalizar_endereco(CONTRATO), 2000),
        median_time(lambda: cnpj._normalizar_endereco(CONTRATO), 50000))
    rates = []
    for name, peca in (("_normalizar_endereco 1 MB Latin-1", PECA_1), ("_normalizar_endereco 1 MB 2-byte", PECA_2)):
        texto = (peca * (MB // len(peca) + 1))[:MB]
        assert cnpj._normalizar_endereco(texto) == oracle._normalizar_endereco(texto)
        t_native = median_time(lambda: cnpj._normalizar_endereco(texto), 10)
        t_oracle = median_time(lambda: oracle._normalizar_endereco(texto), 1)
        rates.append(MB / t_native / 1e6)
        row(name, "1 MB", t_oracle, t_native, rates[-1])
    print()
    print(f"comparar_enderecos target >= 30x: {'met' if min(r1, r2) >= 30 else 'NOT met'} "
          f"({min(r1, r2):.0f}x); _normalizar_endereco 1 MB Latin-1 target >= 300 MB/s: "
          f"{'met' if rates[0] >= 300 else 'NOT met'} ({rates[0]:.0f} MB/s)")


if __name__ == "__main__":
    main()
