"""The imported registry seen from the outside: a month of open data imported
into a database, served by `registro servir`, and read by the unchanged `cnpj`
module and by a whole verification, against the same companies served from a
folder of BrasilAPI records."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any, Callable, Iterator, List, Tuple

import pytest

from meses_apoio import mes_aberto
from lexaro_contract import cnpj
from lexaro_contract.registro import Registro, iniciar_em_segundo_plano
from lexaro_contract.registro.dados_abertos.gerador import modelo_da_empresa, registros_esperados
from lexaro_contract.registro.dados_abertos.importador import importar

EXEMPLOS = Path(__file__).resolve().parents[2] / "examples"
N, SEMENTE = 60, 3


@pytest.fixture(scope="module")
def mes_com_exemplos(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A generated month in loose CSVs, with the example companies added to its first part."""
    return mes_aberto(tmp_path_factory.mktemp("aberto") / "2026-11", N, SEMENTE)


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
