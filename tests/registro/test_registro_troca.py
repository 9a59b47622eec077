"""A running server follows its database when a new import swaps it (real SQLite and PostgreSQL)."""

import time

import pytest
import requests

from lexaro_contract import registro
from lexaro_contract.registro.banco.seguir import RegistroQueSegue
from lexaro_contract.registro.dados_abertos.importador import importar
from test_registro_busca import estabelecimento, mes


@pytest.fixture(params=["sqlite", "postgres"])
def destino(request, tmp_path):
    return str(tmp_path / "r.sqlite") if request.param == "sqlite" else str(request.getfixturevalue("banco_postgres"))


def test_a_reimport_under_a_running_server_is_served_within_seconds(destino, tmp_path):
    importar(mes(tmp_path / "a"), destino, progresso=False)
    b = mes(tmp_path / "b")
    nova = estabelecimento("44444444", "0001", "1", "NOVA", "02", "AM")
    with open(next(b.glob("*ESTABELE")), "a", encoding="latin-1") as f:
        f.write(nova + "\n")
    with open(next(b.glob("*EMPRECSV")), "a", encoding="latin-1") as f:
        f.write('"44444444";"EMPRESA NOVA LTDA";"2062";"49";"1,00";"01";""\n')
    srv, base = registro.iniciar_em_segundo_plano(lambda: RegistroQueSegue(destino, intervalo=0.3), trabalhadores=2)
    try:
        url = base + "/api/cnpj/v1/44444444000100"
        assert requests.get(url, timeout=5).status_code == 404
        antes = requests.get(base + "/saude", timeout=5).json()
        importar(b, destino, progresso=False)
        inicio = time.monotonic()
        while requests.get(url, timeout=5).status_code != 200:
            assert time.monotonic() - inicio < 5
            time.sleep(0.1)
        time.sleep(0.5)                      # every worker has looked by now
        for _ in range(6):
            r = requests.get(url, timeout=5)
            assert r.status_code == 200 and r.json()["razao_social"] == "EMPRESA NOVA LTDA"
            assert requests.get(base + "/api/cnpj/v1/11111111000300", timeout=5).json()["uf"] == "DF"
        depois = requests.get(base + "/saude", timeout=5).json()
        assert depois["linhas"]["estabelecimentos"] == antes["linhas"]["estabelecimentos"] + 1
        assert depois["importado_em"] >= antes["importado_em"]
    finally:
        srv.shutdown()
        srv.server_close()


def test_a_postgres_search_right_after_the_swap_answers_from_the_new_schema(banco_postgres, tmp_path):
    destino = str(banco_postgres)
    importar(mes(tmp_path / "a"), destino, progresso=False)
    b = mes(tmp_path / "b")
    with open(next(b.glob("*EMPRECSV")), "a", encoding="latin-1") as f:
        f.write('"44444444";"EMPRESA NOVA LTDA";"2062";"49";"1,00";"01";""\n')
    with open(next(b.glob("*ESTABELE")), "a", encoding="latin-1") as f:
        f.write(estabelecimento("44444444", "0001", "1", "NOVA", "02", "AM") + "\n")
    seguidor = RegistroQueSegue(destino, intervalo=3600)  # only what the queries themselves check
    try:
        assert seguidor.buscar("EMPRESA NOVA") == []
        importar(b, destino, progresso=False)
        assert [f["razao_social"] for f in seguidor.buscar("EMPRESA NOVA")] == ["EMPRESA NOVA LTDA"]
    finally:
        seguidor.close()
