import time

import pytest
from painel_apoio import SENHA


@pytest.fixture
def painel(registro_de_exemplo, tmp_path):
    """O painel sobre um acervo SQLite novo, com a fila verificando em fios
    (motor local, o registro de exemplo). Devolve um objeto com `cliente`
    (o TestClient), `acervo`, `token(nome, papel)` e `esperar(ids)`."""
    from starlette.testclient import TestClient

    from lexaro_contract import lote
    from lexaro_contract.acervo import Acervo
    from lexaro_contract.painel.app import criar_app
    from lexaro_contract.painel.fila import Fila

    acervo = Acervo(str(tmp_path / "acervo.db"))
    fila = Fila(acervo, "local", jobs=2, executor=lambda: lote.ExecutorDeFios(2))

    class Painel:
        def __init__(self):
            self.acervo, self.fila = acervo, fila

        def usuario(self, nome, papel="analista"):
            return self.acervo.criar_usuario(nome, papel, SENHA)

        def token(self, nome, papel="analista"):
            return {"Authorization": "Bearer " + self.acervo.criar_token(self.usuario(nome, papel))}

        def esperar(self, ids, prazo=60.0):
            fim = time.monotonic() + prazo
            while time.monotonic() < fim:
                estados = [self.acervo.contrato(i)["estado"] for i in ids]
                if all(e in ("verificado", "erro") for e in estados):
                    return estados
                time.sleep(0.1)
            raise AssertionError(f"a fila não terminou: {estados}")

    p = Painel()
    with TestClient(criar_app(acervo, fila), base_url="http://testserver") as cliente:
        p.cliente = cliente
        yield p
    acervo.fechar()

