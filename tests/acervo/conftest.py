import pytest


@pytest.fixture(params=["sqlite", "postgres"])
def destino(request, tmp_path, monkeypatch):
    """Um acervo novo: arquivo SQLite, ou um banco no PostgreSQL dos testes."""
    if request.param == "sqlite":
        return str(tmp_path / "acervo.db")
    monkeypatch.setenv("LEXARO_ACERVO_ARQUIVOS", str(tmp_path / "arquivos"))
    return request.getfixturevalue("banco_postgres")


@pytest.fixture
def abrir():
    """Abre acervos (`abrir(destino)`) e os fecha ao fim do teste."""
    from lexaro_contract.acervo import Acervo

    abertos = []

    def abrir_(destino):
        abertos.append(Acervo(destino))
        return abertos[-1]

    yield abrir_
    for acervo in abertos:
        acervo.fechar()
