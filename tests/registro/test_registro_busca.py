"""The name search covers every establishment of a company, in real SQLite and PostgreSQL."""

from pathlib import Path

import pytest

from lexaro_contract.registro import Registro
from lexaro_contract.registro.dados_abertos.importador import importar

D = "D60101"


def estabelecimento(basico, ordem, matriz, fantasia, situacao, uf):
    campos = [basico, ordem, "00", matriz, fantasia, situacao, "20200101", "00", "", "", "20100101", "4711302", "",
              "RUA", "DAS FLORES", "10", "", "CENTRO", "01001000", uf, "7107", "", "", "", "", "", "", "", "", ""]
    return ";".join(f'"{c}"' for c in campos)


def mes(pasta: Path) -> Path:
    pasta.mkdir()
    empresas = ['"11111111";"ALFA BETA COMERCIO LTDA";"2062";"49";"1000,00";"01";""',
                '"22222222";"ALFA BETA COMERCIO SERVICOS LTDA";"2062";"49";"1000,00";"01";""',
                '"33333333";"GAMA DELTA LTDA";"2062";"49";"1000,00";"01";""']
    estabelecimentos = [
        estabelecimento("11111111", "0001", "1", "", "03", "SP"),         # head office SUSPENSA in SP
        estabelecimento("11111111", "0002", "2", "", "08", "SP"),         # a closed branch in SP
        estabelecimento("11111111", "0003", "2", "", "02", "DF"),         # the active branch in DF
        estabelecimento("22222222", "0001", "1", "", "02", "DF"),
        estabelecimento("33333333", "0001", "1", "", "02", "RJ"),
        estabelecimento("33333333", "0002", "2", "ALFA BETA LOJA", "02", "MG"),   # a trade name of a branch
    ]
    arquivos = {f"K3241.K03200Y0.{D}.EMPRECSV": empresas, f"K3241.K03200Y0.{D}.ESTABELE": estabelecimentos,
                f"K3241.K03200Y0.{D}.SOCIOCSV": [], f"F.K03200$W.SIMPLES.CSV.{D}": []}
    for t in ("CNAECSV", "MOTICSV", "MUNICCSV", "NATJUCSV", "PAISCSV", "QUALSCSV"):
        arquivos[f"F.K03200$Z.{D}.{t}"] = []
    for nome, linhas in arquivos.items():
        (pasta / nome).write_bytes("".join(l + "\n" for l in linhas).encode("latin-1"))
    return pasta


@pytest.fixture(params=["sqlite", "postgres"])
def banco(request, tmp_path):
    destino = str(tmp_path / "r.sqlite") if request.param == "sqlite" else str(request.getfixturevalue("banco_postgres"))
    importar(mes(tmp_path / "2026-01"), destino, progresso=False)
    with Registro(destino) as reg:
        yield reg


def cnpjs(achados):
    return [r["cnpj"] for r in achados]


def test_filters_apply_to_every_establishment_and_the_active_one_in_the_uf_comes_first(banco):
    # the branch in DF is found although the head office is in SP, and before a name with more words
    assert cnpjs(banco.buscar("alfa beta comercio", uf="DF")) == ["11111111000300", "22222222000100"]
    assert cnpjs(banco.buscar("alfa beta comercio", uf="df", situacao="ATIVA")) == ["11111111000300",
                                                                                    "22222222000100"]
    # without filters, the company comes back by its active establishment, not its suspended head office
    primeiro = banco.buscar("ALFA BETA COMERCIO LTDA")[0]
    assert primeiro["cnpj"] == "11111111000300" and primeiro["descricao_situacao_cadastral"] == "ATIVA"
    # a filter no establishment passes finds nothing; one that only the head office passes finds it
    assert cnpjs(banco.buscar("alfa beta comercio ltda", uf="SP", situacao="ATIVA")) == []
    assert cnpjs(banco.buscar("alfa beta comercio ltda", uf="SP", situacao="SUSPENSA")) == ["11111111000100"]
    assert cnpjs(banco.buscar("alfa beta comercio ltda", situacao="BAIXADA")) == ["11111111000200"]
    # a branch's trade name is its own entry
    assert cnpjs(banco.buscar("alfa beta loja", uf="MG")) == ["33333333000200"]


def test_postgres_reads_the_candidates_in_batches_and_answers_as_sqlite(tmp_path, banco_postgres):
    import random

    from lexaro_contract.registro.dados_abertos.gerador import gerar, modelo_da_empresa

    n = 1500
    pasta = tmp_path / "2026-02"
    gerar(pasta, n, semente=3)
    sqlite = str(tmp_path / "r.sqlite")
    for destino in (sqlite, banco_postgres):
        importar(pasta, destino, progresso=False)
    sorte = random.Random(5)
    with Registro(sqlite) as oraculo, Registro(banco_postgres) as pg:
        for i in range(60):
            e = modelo_da_empresa(sorte.randrange(n), n, 3)
            razao = e.razao.replace("\x00", "")
            nome = [razao, razao.split()[0], razao.split()[-2], e.estabelecimentos[0].fantasia or razao][i % 4]
            filtros = {"uf": [None, "SP", "rj", e.estabelecimentos[0].uf][i % 4],
                       "situacao": [None, "ATIVA", None, "BAIXADA", None][i % 5], "limite": [20, 5, 50][i % 3]}
            assert pg.buscar(nome, **filtros) == oraculo.buscar(nome, **filtros), (nome, filtros)
