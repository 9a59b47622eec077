"""Native cnpj functions against plain Python versions.

Run: PYTHONPATH=src:tests/apoio python3 benchmarks/bench_cnpj.py

Identifier functions: time per call of the native function, of the plain
Python version that cleans with re.sub(r"\\D", "", s) (digits only), and of
the test oracle (which adds the alphanumeric-CNPJ rule). Target: native at
least 5 times faster than the plain version.

Record building: `_consultar_brasil_api` with a fake `requests` whose answer
(10 partners) is already decoded; the fake's own time is measured alone and
subtracted. Target: under 20 microseconds added by the native record.
"""
import re
import statistics
import sys
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "apoio"))

import oracle_cnpj as oracle  # noqa: E402
from fakes import Resposta  # noqa: E402
from lexaro_contract import cnpj  # noqa: E402
from lexaro_contract.enderecos import Enderecos, apontar  # noqa: E402

REPEATS = 7


def limpar_plain(c):
    if not c:
        return ""
    return re.sub(r"\D", "", c)


def validar_plain(c):
    return len(limpar_plain(c)) == 14


def formatar_plain(c):
    d = limpar_plain(c)
    if len(d) != 14:
        return c
    return f"{d[:2]}.{d[2:5]}.{d[5:8]}/{d[8:12]}-{d[12:]}"


PLAIN = {"limpar_cnpj": limpar_plain, "validar_cnpj": validar_plain, "formatar_cnpj": formatar_plain}

INPUTS = [
    ("display", "12.345.678/0001-99"),
    ("bare", "12345678000199"),
    ("labelled", "CNPJ: 12.345.678/0001-99"),
    ("2-byte", "12.345.678/0001\u201399"),
    ("alnum", "12.ABC.345/01DE-35"),
    ("short", "123.456"),
]


def per_call(fn, arg, number):
    times = timeit.repeat(lambda: fn(arg), number=number, repeat=REPEATS)
    return statistics.median(times) / number * 1e6  # microseconds


# ---------------------------------------------------------------- fake client

PARTNER = {
    "nome_socio": "SOCIA EXEMPLO {i}", "qualificacao_socio": "Sócio-Administrador",
    "cnpj_cpf_do_socio": "***133807**", "data_entrada_sociedade": "2015-03-02", "identificador_de_socio": 2,
    "cpf_representante_legal": "***000000**", "nome_representante_legal": "",
    "qualificacao_representante_legal": None, "codigo_qualificacao_socio": 49,
}
ANSWER = {
    "cnpj": "12345678000199", "razao_social": "PADARIA AURORA DO VALE LTDA", "nome_fantasia": "AURORA",
    "descricao_situacao_cadastral": "ATIVA", "data_situacao_cadastral": None,
    "data_inicio_atividade": "2015-03-02", "natureza_juridica": "Sociedade Empresária Limitada", "porte": None,
    "capital_social": 200000, "descricao_tipo_de_logradouro": "AVENIDA", "logradouro": "DAS PALMEIRAS",
    "numero": "S/N", "complemento": "", "bairro": "CENTRO", "municipio": None, "uf": "MG", "cep": "30110000",
    "email": None,
    "qsa": [dict(PARTNER, nome_socio=f"SOCIA EXEMPLO {i}") for i in range(10)],
}


class FakeRequests:
    response = Resposta(ANSWER)

    def get(self, url, **kwargs):
        return self.response


def fake_alone(_):
    r = FAKE.get(cnpj.BRASIL_API_URL.format(cnpj="12345678000199"), timeout=10)
    if r.status_code != 200:
        return None
    return r.json()


FAKE = FakeRequests()


def main():
    apontar(Enderecos.atuais(), cliente=FAKE)
    oracle.requests = FAKE
    rows = []
    for name in ["limpar_cnpj", "validar_cnpj", "formatar_cnpj"]:
        for label, text in INPUTS:
            assert getattr(cnpj, name)(text) == getattr(oracle, name)(text)
            native = per_call(getattr(cnpj, name), text, 50000)
            plain = per_call(PLAIN[name], text, 20000)
            orc = per_call(getattr(oracle, name), text, 20000)
            rows.append((name, label, native, plain, orc, plain / native, orc / native))

    print(f"{'operation':<16}{'input':<10}{'native us':>10}{'plain us':>10}{'oracle us':>10}"
          f"{'plain/native':>14}{'oracle/native':>15}")
    for name, label, native, plain, orc, r1, r2 in rows:
        print(f"{name:<16}{label:<10}{native:>10.3f}{plain:>10.3f}{orc:>10.3f}{r1:>13.1f}x{r2:>14.1f}x")

    assert cnpj._consultar_brasil_api("12345678000199") == oracle._consultar_brasil_api("12345678000199")
    fake = per_call(fake_alone, None, 20000)
    native = per_call(cnpj._consultar_brasil_api, "12345678000199", 20000)
    orc = per_call(oracle._consultar_brasil_api, "12345678000199", 5000)
    whole = per_call(cnpj.consultar_cnpj, "12.345.678/0001-99", 20000)
    print()
    print(f"{'record (10 partners)':<36}{'total us':>10}{'over fake us':>14}")
    print(f"{'fake requests alone':<36}{fake:>10.3f}{0:>14.3f}")
    print(f"{'native _consultar_brasil_api':<36}{native:>10.3f}{native - fake:>14.3f}")
    print(f"{'native consultar_cnpj':<36}{whole:>10.3f}{whole - fake:>14.3f}")
    print(f"{'oracle _consultar_brasil_api':<36}{orc:>10.3f}{orc - fake:>14.3f}")
    print(f"{'ratio oracle/native (added time)':<36}{(orc - fake) / (native - fake):>9.1f}x")


if __name__ == "__main__":
    main()
