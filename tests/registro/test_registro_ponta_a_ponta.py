"""The imported registry seen from the outside: a month of open data imported
into a database, served by `registro servir`, and read by the unchanged `cnpj`
module and by a whole verification, against the same companies served from a
folder of BrasilAPI records."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Tuple

import pytest

from lexaro_contract import cnpj
from lexaro_contract.registro import Registro, iniciar_em_segundo_plano
from lexaro_contract.registro.banco.codigos import PORTES
from lexaro_contract.registro.dados_abertos.gerador import (MUNICIPIOS, Empresa, Estabelecimento, Socio, gerar,
                                                            linhas_empresa, linhas_estabelecimentos, linhas_socios,
                                                            modelo_da_empresa, registros_esperados)
from lexaro_contract.registro.dados_abertos.importador import importar

EXEMPLOS = Path(__file__).resolve().parents[2] / "examples"
N, SEMENTE = 60, 3


def _aaaammdd(iso: Any) -> str:
    return iso.replace("-", "") if iso else "0"


def empresa_de_registro(r: Dict[str, Any]) -> Empresa:
    """A company of the example folder written back as open-data rows."""
    municipio = next(c for c, (nome, uf) in MUNICIPIOS.items() if (nome, uf) == (r["municipio"], r["uf"]))
    porte = next(c for c, d in PORTES.items() if d == r["porte"])
    est = Estabelecimento(
        ordem=int(r["cnpj"][8:12]), dv=r["cnpj"][12:], fantasia=r["nome_fantasia"] or "",
        situacao=r["situacao_cadastral"], data_situacao=_aaaammdd(r["data_situacao_cadastral"]), motivo=0,
        inicio=_aaaammdd(r["data_inicio_atividade"]), cnae=6201501, secundarios=[],
        tipo_logradouro=r["descricao_tipo_de_logradouro"], logradouro=r["logradouro"], numero=r["numero"],
        complemento=r["complemento"], bairro=r["bairro"], cep=r["cep"], uf=r["uf"], municipio=municipio,
        ddd1="", tel1="", ddd2="", tel2="", email="", situacao_especial="", data_situacao_especial="")
    socios = [Socio(identificador=s["identificador_de_socio"], nome=s["nome_socio"], documento=s["cnpj_cpf_do_socio"],
                    qualificacao=s["codigo_qualificacao_socio"], entrada=_aaaammdd(s["data_entrada_sociedade"]),
                    pais=None, cpf_representante=s["cpf_representante_legal"],
                    nome_representante=s["nome_representante_legal"],
                    qualificacao_representante=s["codigo_qualificacao_representante_legal"],
                    faixa=s["codigo_faixa_etaria"]) for s in r["qsa"]]
    capital = f"{r['capital_social']:.2f}".replace(".", ",")
    return Empresa(basico=r["cnpj"][:8], razao=r["razao_social"], natureza=r["codigo_natureza_juridica"],
                   qualificacao_responsavel=49, capital=capital, porte=porte, ente="",
                   estabelecimentos=[est], socios=socios)


@pytest.fixture(scope="module")
def mes_com_exemplos(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A generated month in loose CSVs, with the example companies added to its first part."""
    pasta = tmp_path_factory.mktemp("aberto") / "2026-11"
    gerar(pasta, N, SEMENTE, zips=False)
    exemplos = [empresa_de_registro(r) for r in json.loads((EXEMPLOS / "registro" / "empresas.json").read_text())]
    for sufixo, linhas in (("EMPRECSV", linhas_empresa), ("ESTABELE", linhas_estabelecimentos),
                           ("SOCIOCSV", linhas_socios)):
        (csv,) = [p for p in pasta.iterdir() if p.name.endswith(sufixo) and "Y0." in p.name]
        with open(csv, "a", encoding="latin-1", newline="") as f:
            f.write("".join(linhas(e) for e in exemplos))
    return pasta


@pytest.fixture(scope="module", params=["sqlite", "postgres"])
def banco(request: pytest.FixtureRequest, mes_com_exemplos: Path, tmp_path_factory: pytest.TempPathFactory) -> str:
    if request.param == "sqlite":
        destino = str(tmp_path_factory.mktemp("banco") / "registro.sqlite")
    else:
        destino = _novo_banco_pg(request)
    importar(mes_com_exemplos, destino, progresso=False)
    return destino


def _novo_banco_pg(request: pytest.FixtureRequest) -> str:
    """A database of its own on the session's PostgreSQL server, for this module's scope."""
    import psycopg

    base = str(request.getfixturevalue("servidor_postgres"))
    with psycopg.connect(base, autocommit=True) as c:
        c.execute("DROP DATABASE IF EXISTS ponta_a_ponta")
        c.execute("CREATE DATABASE ponta_a_ponta")
    return base.rsplit("/", 1)[0] + "/ponta_a_ponta"


@pytest.fixture
def servido(banco: str) -> Iterator[str]:
    yield from _servindo(lambda: Registro(banco))


@pytest.fixture
def servido_json(tmp_path: Path) -> Iterator[str]:
    registros = [r for i in range(N) for r in registros_esperados(modelo_da_empresa(i, N, SEMENTE))]
    (tmp_path / "gerados.json").write_text(json.dumps(registros, ensure_ascii=False), encoding="utf-8")
    yield from _servindo(tmp_path)


def _servindo(dados: Any) -> Iterator[str]:
    servidor, base = iniciar_em_segundo_plano(dados)
    try:
        yield base
    finally:
        servidor.shutdown()
        servidor.server_close()


def _consultas(apontar_registro: Callable[[str], None], base: str, cnpjs: List[str]) -> List[Any]:
    apontar_registro(base)
    return [cnpj.consultar_cnpj(c) for c in cnpjs]


def test_consultar_cnpj_reads_the_imported_registry_as_the_brasilapi_answer(
        servido: str, servido_json: str, apontar_registro: Callable[[str], None]) -> None:
    cnpjs = [r["cnpj"] for i in range(0, N, 7) for r in registros_esperados(modelo_da_empresa(i, N, SEMENTE))]
    do_banco = _consultas(apontar_registro, servido, cnpjs + ["00000000000191"])
    da_pasta = _consultas(apontar_registro, servido_json, cnpjs + ["00000000000191"])
    assert do_banco[-1] is None and da_pasta[-1] is None
    assert do_banco[:-1] == da_pasta[:-1]
    assert all(r is not None for r in do_banco[:-1])


@pytest.mark.parametrize("contrato", sorted(p.name for p in (EXEMPLOS / "contratos").glob("*.pdf")))
def test_a_verification_against_the_imported_registry_gives_the_folder_verdict(
        contrato: str, servido: str, apontar_registro: Callable[[str], None]) -> None:
    from lexaro_contract.checker import ContractChecker

    def veredito(base: str) -> Tuple[str, List[str], List[str]]:
        apontar_registro(base)
        r = ContractChecker(provider="local", verbose=False).verificar(str(EXEMPLOS / "contratos" / contrato))
        return r["resultado_final"], r["campos_reprovados"], r["campos_pendentes"]

    do_banco = veredito(servido)
    servidor, base = iniciar_em_segundo_plano(EXEMPLOS / "registro")
    try:
        da_pasta = veredito(base)
    finally:
        servidor.shutdown()
        servidor.server_close()
    assert do_banco == da_pasta
