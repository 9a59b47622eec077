#!/usr/bin/env python3
"""One verification end to end: native ContractChecker.verificar against the
same pipeline written as plain Python methods, with a fake extraction engine
and an in-process fake registry (no network, no PDF parsing).

Run: PYTHONPATH=src python3 benchmarks/bench_pipeline.py

The contract has 3 companies (two found by CNPJ, one by name) and 6
signatories (partners, a non-partner, a witness, an unidentified one and one
of an unknown company); verbose is off. The fakes' own time (engine answers,
registry look-ups) is measured alone and subtracted, so "checker time" is the
pipeline itself: validation, records, aggregation and the result mapping.
The address comparison stays the module's native one. Target: native checker
time under 200 microseconds per verification.
"""
import sys
import tempfile
import timeit
from pathlib import Path
from types import SimpleNamespace

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "apoio"))

from checker_support import make_checker  # noqa: E402
from fakes import Documento, Motor, endereco, metricas, registro, socio  # noqa: E402
from lexaro_contract import checker  # noqa: E402
from lexaro_contract.checker import ContractChecker  # noqa: E402
from oracle_pipeline import PythonChecker  # noqa: E402

REPEATS = 15
NUMBER = 200


POR_CNPJ = {
    "11222333000181": registro(
        "11.222.333/0001-81", "AURORA TECNOLOGIA LTDA", "ATIVA",
        [socio("MARCOS VINICIUS PRADO", "Sócio-Administrador"), socio("HELENA PRADO", "Sócio")],
        endereco("DAS ACACIAS", "120", "JARDIM PRIMAVERA", "CAMPINAS", "13000100")),
    "44555666000102": registro(
        "44.555.666/0001-02", "BOREAL LOGISTICA S.A.", "BAIXADA",
        [socio("RENATA DUARTE", "10-Diretor"), socio("CARLOS EDUARDO LIMA", "16-Presidente")],
        endereco("AV DOS ESTIVADORES", "S/N", "PORTO", "SANTOS", "11010000")),
}
POR_NOME = {
    "Cidra Alimentos Eireli": registro(
        "77.888.999/0001-55", "CIDRA ALIMENTOS LTDA", "ATIVA",
        [socio("HELENA CASTRO", "Sócio-Administrador"),
         socio("PARTICIPACOES XYZ LTDA", "Sócio", "LUCIA FERRAZ", "Administrador")],
        endereco("XV DE NOVEMBRO", "45", "CENTRO", "RIBEIRAO PRETO", "14010000")),
}


def consultar_cnpj(cnpj):
    return POR_CNPJ.get(cnpj)


def buscar_cnpj_por_nome(nome):
    return POR_NOME.get(nome)


RESPOSTAS = {
    "empresas": {"empresas": [
        {"cnpj": "11.222.333/0001-81", "razao_social": "Aurora Tecnologia Ltda",
         "endereco": "Rua das Acácias, 120 - Jardim Primavera, Campinas/SP, CEP 13000-100",
         "papel_no_contrato": "contratante"},
        {"cnpj": "44.555.666/0001-02", "razao_social": "Boreal Logística S.A.", "papel_no_contrato": "contratada"},
        {"cnpj": "77.888.999/0001-10", "razao_social": "Cidra Alimentos Eireli",
         "endereco": "Avenida Brasil, 500 - Centro, Ribeirão Preto/SP", "papel_no_contrato": "interveniente"},
    ]},
    "assinaturas": {"assinaturas": [
        {"nome_signatario": "Marcos Vinícius Prado", "cargo": "Sócio-Administrador",
         "empresa_representada": "Aurora Tecnologia Ltda", "cnpj_empresa": "11.222.333/0001-81",
         "tipo_assinatura": "representante"},
        {"nome_signatario": "Otávio Mendes", "cargo": "Diretor", "empresa_representada": "BOREAL LOGÍSTICA S.A.",
         "tipo_assinatura": "representante"},
        {"nome_signatario": "Lúcia Ferraz", "cargo": "Procuradora", "empresa_representada": "Cidra Alimentos",
         "tipo_assinatura": "representante"},
        {"nome_signatario": "Paulo Henrique Dias", "tipo_assinatura": "Testemunha"},
        {"nome_signatario": "N/A", "tipo_assinatura": "testemunha"},
        {"nome_signatario": "Sérgio Tavares", "empresa_representada": "Fantasma Participações"},
    ]},
    "dados_contrato": {"tipo_contrato": "Prestação de serviços", "valor": "R$ 120.000,00"},
}


# The engine: one document with the answers, made once.
MOTOR = Motor(Documento(RESPOSTAS, metricas(tokens=18342, cost_usd=0.0461, time_seconds=12.345)))


def fakes_only(path):
    # What the fakes cost in one verification: one engine run, three answers,
    # the registry look-ups of the three companies.
    doc = MOTOR.process(path)
    for q in ("empresas", "assinaturas", "dados_contrato"):
        doc.get_result(q)
    consultar_cnpj("11222333000181")
    consultar_cnpj("44555666000102")
    consultar_cnpj("77888999000110")
    buscar_cnpj_por_nome("Cidra Alimentos Eireli")


class Leve(SimpleNamespace):
    """A record stand-in built in C: keyword construction, attribute reads, model_dump."""

    cnpj = razao_social = endereco = papel_no_contrato = nome_fantasia = None
    nome_signatario = cargo = cpf = empresa_representada = cnpj_empresa = tipo_assinatura = None
    razao_social_contrato = razao_social_receita = valor_contrato = valor_receita = None
    emoji = ""

    def model_dump(self):
        return dict(self.__dict__)


REGISTROS = ("EmpresaExtraida", "AssinaturaExtraida", "CampoVerificado", "EmpresaVerificada", "AssinaturaVerificada")


def usar_registros(classes):
    for n, cls in classes.items():
        setattr(checker, n, cls)


def main():
    checker.consultar_cnpj = consultar_cnpj
    checker.buscar_cnpj_por_nome = buscar_cnpj_por_nome
    pydantic_ = {n: getattr(checker, n) for n in REGISTROS}
    leves = {n: Leve for n in REGISTROS}
    with tempfile.TemporaryDirectory() as d:
        pdf = Path(d) / "contrato.pdf"
        pdf.write_bytes(b"%PDF-1.4\n%%EOF\n")
        nativo, python = (make_checker(MOTOR, verbose=False, disponivel=True, cls=cls)
                          for cls in (ContractChecker, PythonChecker))
        for classes in (leves, pydantic_):
            usar_registros(classes)
            r_n, r_p = nativo.verificar(pdf), python.verificar(pdf)
            assert r_n == r_p, "native and plain Python results differ"
            assert (r_n["total_aprovados"], r_n["total_reprovados"], r_n["total_pendentes"]) == (10, 2, 3)

        # The machine is shared: the configurations are interleaved within
        # each repeat, and the minimum over repeats is reported.
        casos = {
            "fakes": (None, lambda: fakes_only(str(pdf))),
            "py": (pydantic_, lambda: python.verificar(pdf)),
            "nat": (pydantic_, lambda: nativo.verificar(pdf)),
            "py_leve": (leves, lambda: python.verificar(pdf)),
            "nat_leve": (leves, lambda: nativo.verificar(pdf)),
        }
        tempos = {k: [] for k in casos}
        for _ in range(REPEATS):
            for k, (classes, f) in casos.items():
                if classes:
                    usar_registros(classes)
                tempos[k].append(timeit.timeit(f, number=NUMBER) / NUMBER * 1e6)
        usar_registros(pydantic_)
    t = {k: min(v) for k, v in tempos.items()}
    t_fakes, t_py, t_nat, t_py_leve, t_nat_leve = t["fakes"], t["py"], t["nat"], t["py_leve"], t["nat_leve"]

    entrada = "3 companies, 6 signers"
    print(f"{'operation':<50} {'input':<22} {'python µs':>10} {'native µs':>10} {'ratio':>6}")
    linhas = [
        ("verificar, pydantic records (total)", t_py, t_nat),
        ("verificar, pydantic records (minus fakes)", t_py - t_fakes, t_nat - t_fakes),
        ("verificar, C-level record stand-ins (minus fakes)", t_py_leve - t_fakes, t_nat_leve - t_fakes),
    ]
    for nome, tp, tn in linhas:
        print(f"{nome:<50} {entrada:<22} {tp:>10.1f} {tn:>10.1f} {tp / tn:>5.2f}x")
    print(f"{'fakes alone (engine answers, registry)':<50} {'':<22} {t_fakes:>10.1f}")
    print(f"{'pydantic records + model_dump (difference)':<50} {'':<22} {t_py - t_py_leve:>10.1f} "
          f"{t_nat - t_nat_leve:>10.1f}")
    print(f"native checker time: {t_nat - t_fakes:.1f} µs with the pydantic records, "
          f"{t_nat_leve - t_fakes:.1f} µs without their own cost (target < 200 µs)")


if __name__ == "__main__":
    main()
