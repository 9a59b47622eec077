"""The open-data registry: generated months imported into real SQLite files and
a real PostgreSQL server, read back through `Registro`."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path
from typing import Any, Dict

import pytest
from hypothesis import given
from hypothesis import strategies as st

import oracle_dados_abertos as oracle
from lexaro_contract import _dados_abertos, cli
from lexaro_contract.registro import Registro
from lexaro_contract.registro.dados_abertos.gerador import gerar, modelo_da_empresa, registros_esperados
from lexaro_contract.registro.dados_abertos.importador import importar
from lexaro_contract.registro.dados_abertos.leitor import ErroDeImportacao

N, SEMENTE = 250, 7
SRC = str(Path(_dados_abertos.__file__).resolve().parents[1])  # o pacote em uso: instalado ou src/


@pytest.fixture(scope="session")
def mes(tmp_path_factory: pytest.TempPathFactory) -> Path:
    pasta = tmp_path_factory.mktemp("dados") / "2026-11"
    gerar(pasta, N, SEMENTE)
    return pasta


@pytest.fixture(scope="session")
def esperados() -> Dict[str, Dict[str, Any]]:
    return {r["cnpj"]: r for i in range(N) for r in registros_esperados(modelo_da_empresa(i, N, SEMENTE))}


@pytest.fixture(params=["sqlite", "postgres"])
def destino(request: pytest.FixtureRequest, tmp_path: Path) -> str:
    if request.param == "sqlite":
        return str(tmp_path / "registro.sqlite")
    return str(request.getfixturevalue("banco_postgres"))


def _confere(destino: str, esperados: Dict[str, Dict[str, Any]]) -> None:
    with Registro(destino) as reg:
        for cnpj, esperado in esperados.items():
            obtido = reg.consultar(cnpj)
            assert obtido == esperado, cnpj
            assert list(obtido) == list(esperado)
            assert [list(s) for s in obtido["qsa"]] == [list(s) for s in esperado["qsa"]]


def test_generated_month_keeps_the_official_layout_and_its_oddities(mes: Path) -> None:
    nomes = sorted(p.name for p in mes.iterdir())
    assert nomes == sorted([f"{f}{i}.zip" for f in ("Empresas", "Estabelecimentos", "Socios") for i in range(3)]
                           + [f"{f}.zip" for f in ("Simples", "Cnaes", "Motivos", "Municipios", "Naturezas",
                                                   "Paises", "Qualificacoes")])
    texto = b""
    for p in mes.iterdir():
        with zipfile.ZipFile(p) as z:
            (membro,) = z.namelist()
            texto += z.read(membro)
    linhas = texto.decode("latin-1").splitlines()
    assert all(linha.startswith('"') and linha.endswith('"') for linha in linhas)  # sem cabeçalho, tudo entre aspas
    assert "\x00" in texto.decode("latin-1") and '"999999999999,00"' in texto.decode("latin-1")
    assert any(";" not in linha.split('";"', 1)[-1] for linha in linhas)  # linhas tortas
    assert "Ç".encode("latin-1") in texto


def test_imported_registry_answers_the_brasilapi_record(mes: Path, esperados: Dict[str, Any], destino: str) -> None:
    resumo = importar(mes, destino, progresso=False)
    assert resumo.mes == "2026-11"
    assert resumo.linhas["Estabelecimentos"] == len(esperados)
    motivos = " | ".join(resumo.ocorrencias)
    for motivo in ("bytes NUL", "capital fictício", "código desconhecido (motivo da situação)",
                   "número errado de colunas", "datas impossíveis"):
        assert motivo in motivos
    _confere(destino, esperados)
    with Registro(destino) as reg:
        assert reg.consultar("00000000000000") is None
        assert reg.consultar("123") is None
        um = next(iter(esperados))
        assert reg.consultar(f"{um[:2]}.{um[2:5]}.{um[5:8]}/{um[8:12]}-{um[12:]}") == esperados[um]
        info = reg.info()
        assert info["mes"] == "2026-11" and info["linhas"]["estabelecimentos"] == len(esperados)
        assert info["tamanho"] > 0

        alvo = next(r for r in esperados.values() if r["nome_fantasia"] and r["identificador_matriz_filial"] == 1)
        achados = reg.buscar(alvo["razao_social"])
        assert achados[0]["cnpj"] == alvo["cnpj"] and achados[0] == alvo
        assert alvo["cnpj"] in [r["cnpj"] for r in reg.buscar(alvo["nome_fantasia"], limite=50)]
        assert all(r["uf"] == "SP" for r in reg.buscar("LTDA COMERCIO", uf="sp"))
        ativos = reg.buscar("SERVICOS", situacao="ATIVA", limite=5)
        assert 0 < len(ativos) <= 5 and all(r["descricao_situacao_cadastral"] == "ATIVA" for r in ativos)
        assert reg.buscar("") == [] and reg.buscar("NOMEQUENAOEXISTE") == []


def test_extracted_csvs_out_of_order_give_the_same_records(tmp_path: Path, esperados: Dict[str, Any],
                                                           destino: str) -> None:
    pasta = tmp_path / "csv"
    gerar(pasta, N, SEMENTE, zips=False)
    # Estabelecimentos e Simples de trás para frente: a ordenação externa entra.
    for p in pasta.iterdir():
        if p.name.endswith(("ESTABELE", ".SIMPLES.CSV.D61108")) or "SIMPLES.CSV" in p.name:
            linhas = p.read_bytes().splitlines(keepends=True)
            p.write_bytes(b"".join(reversed(linhas)))
    # Uma empresa de CNPJ alfanumérico no fim das últimas partes.
    for sufixo, linha in (("EMPRECSV", '"12ABC34Z";"ZETA ALFANUMERICA LTDA";"2062";"49";"10,00";"01";""\n'),
                          ("ESTABELE", '"12ABC34Z";"0A01";"35";"1";"ZETAFANT";"02";"20260701";"00";"";"";'
                                       '"20260701";"";"";"RUA";"UM";"1";"";"CENTRO";"01001000";"SP";"1001";"";"";'
                                       '"";"";"";"";"";"";""\n')):
        ultimo = sorted(p for p in pasta.iterdir() if p.name.endswith(sufixo))[-1]
        ultimo.write_bytes(ultimo.read_bytes() + linha.encode("latin-1"))
    importar(pasta, destino, progresso=False)
    _confere(destino, esperados)
    with Registro(destino) as reg:
        zeta = reg.consultar("12.ABC.34Z/0A01-35")
        assert zeta is not None and zeta["razao_social"] == "ZETA ALFANUMERICA LTDA" and zeta["capital_social"] == 10
        assert reg.consultar("12ABC34Z0A0136") is None
        assert [r["cnpj"] for r in reg.buscar("ZETAFANT")] == ["12ABC34Z0A0135"]
        assert [r["cnpj"] for r in reg.buscar("ZETA ALFANUMERICA")] == ["12ABC34Z0A0135"]


def test_missing_files_are_named_before_any_work(mes: Path, tmp_path: Path) -> None:
    pasta = tmp_path / "incompleto"
    shutil.copytree(mes, pasta)
    (pasta / "Socios1.zip").unlink()
    (pasta / "Cnaes.zip").unlink()
    with pytest.raises(ErroDeImportacao, match=r"faltam arquivos.*Socios1\.zip.*Cnaes\.zip"):
        importar(pasta, str(tmp_path / "r.sqlite"), progresso=False)
    assert list(tmp_path.glob("*r.sqlite*")) == []


def test_failed_import_leaves_the_previous_registry_serving(mes: Path, esperados: Dict[str, Any], destino: str,
                                                            tmp_path: Path) -> None:
    importar(mes, destino, progresso=False)
    ruim = tmp_path / "ruim"
    shutil.copytree(mes, ruim)
    alvo = ruim / "Estabelecimentos2.zip"
    dados = bytearray(alvo.read_bytes())
    meio = len(dados) // 2
    dados[meio:meio + 400] = os.urandom(400)
    alvo.write_bytes(bytes(dados))
    with pytest.raises(ErroDeImportacao, match="Estabelecimentos2.zip"):
        importar(ruim, destino, progresso=False)
    _confere(destino, esperados)
    if not destino.startswith("postgresql"):
        assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []


def test_killed_import_leaves_the_previous_registry_serving(mes: Path, esperados: Dict[str, Any],
                                                           tmp_path: Path) -> None:
    banco = tmp_path / "r.sqlite"
    importar(mes, str(banco), progresso=False)
    codigo = ("import os, signal, sys\nfrom lexaro_contract.registro.dados_abertos.importador import importar\n"
              "importar(sys.argv[1], sys.argv[2], progresso=False,\n"
              "         ao_progredir=lambda n: os.kill(os.getpid(), signal.SIGKILL))\n")
    proc = subprocess.run([sys.executable, "-c", codigo, str(mes), str(banco)], env={**os.environ, "PYTHONPATH": SRC})
    assert proc.returncode == -9
    assert any(p.name.startswith(".r.sqlite.novo-") for p in tmp_path.iterdir())
    _confere(str(banco), esperados)
    importar(mes, str(banco), progresso=False)  # a próxima importação limpa os restos
    assert [p.name for p in tmp_path.iterdir()] == ["r.sqlite"]


def test_command_line_generates_imports_and_reports(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    pasta, banco = tmp_path / "2025-03", tmp_path / "r.sqlite"
    assert cli.main(["registro", "gerar-exemplo", str(pasta), "--empresas", "30", "--semente", "2"]) == 0
    assert cli.main(["registro", "importar", str(pasta), "--banco", str(banco), "-q"]) == 0
    saida = capsys.readouterr().out
    assert "Registro de 2025-03 importado" in saida and "Estabelecimentos" in saida and "do CSV" in saida
    assert cli.main(["registro", "info", "--banco", str(banco)]) == 0
    assert "Mês: 2025-03" in capsys.readouterr().out
    (tmp_path / "outro.sqlite").write_bytes(b"isto nao e um banco")
    for argv in (["registro", "info", "--banco", str(tmp_path / "nada.sqlite")],
                 ["registro", "info", "--banco", str(tmp_path / "outro.sqlite")],
                 ["registro", "importar", str(pasta), "--banco", str(tmp_path / "outro.sqlite"), "-q"],
                 ["registro", "importar", str(pasta), "--banco", "postgresql://postgres@127.0.0.1:1/x", "-q"],
                 ["registro", "importar", str(tmp_path / "nada"), "--banco", str(banco)],
                 ["registro", "gerar-exemplo", str(pasta), "--empresas", "0"]):
        assert cli.main(argv) == 3
        erro = capsys.readouterr().err
        assert erro.count("\n") == 1 and erro.startswith("lexaro-contract: ")
    assert (tmp_path / "outro.sqlite").read_bytes() == b"isto nao e um banco"


# ---------------------------------------------------------------- native splitter against the oracle

_BYTES = st.lists(st.sampled_from([b"\xa0", b"\x85", b"\t", b'"', b";", b"\n", b"\r", b"\x00", b" ", b"A", b"Z", b"1", b"0", b"9", b",",
                                   b"\x1f", b"\xc7", b'"";"', b'";"', b"20240229", b"20230229", b"00000000",
                                   b"999999999999", b"12345678", b"0001", b"12"]), max_size=60).map(b"".join)
_TIPOS = st.sampled_from(["tt", "kt", "kkkt", "ktdmc", "kc", "td", "tm", "kkktcd"])


@given(_BYTES, _TIPOS, st.booleans(), st.integers(0, 3))
def test_native_splitter_equals_the_oracle(dados: bytes, tipos: str, final: bool, nome: int) -> None:
    assert _dados_abertos.separar(dados, tipos, final) == oracle.separar(dados, tipos, final)
    campo = min(nome, len(tipos) - 1)
    assert _dados_abertos.separar(dados, tipos, final, campo) == oracle.separar(dados, tipos, final, campo)


@given(st.lists(st.tuples(st.sampled_from(["12345678", "ABCDEFGH", "1234567", "0000000Z", "abcdefgh"]),
                          st.sampled_from(["0001", "A1B2", "000", "ZZZZ"]), st.sampled_from(["12", "1A", "00"]))))
def test_native_keys_equal_the_oracle(partes: Any) -> None:
    for basico, ordem, dv in partes:
        assert _dados_abertos.chave_basico(basico) == oracle.chave_basico(basico)
        assert _dados_abertos.chave_cnpj(basico + ordem + dv) == oracle.chave_cnpj(basico + ordem + dv)


@given(_BYTES, st.integers(0, 80))
def test_reading_in_pieces_equals_reading_at_once(dados: bytes, corte: int) -> None:
    inteiro = _dados_abertos.separar(dados, "ktdmc", True)[0]
    regs, consumido, _c, _k = _dados_abertos.separar(dados[:corte], "ktdmc", False)
    resto = dados[:corte][consumido:] + dados[corte:]
    assert regs + _dados_abertos.separar(resto, "ktdmc", True)[0] == inteiro
