import json

import pytest
import requests

from lexaro_contract import cnpj, registro

ALFA = {
    "cnpj": "11222333000181", "razao_social": "ALFA SERVICOS DE TECNOLOGIA LTDA", "nome_fantasia": "ALFA TEC",
    "descricao_situacao_cadastral": "ATIVA", "data_situacao_cadastral": "2005-11-03",
    "data_inicio_atividade": "2005-11-03", "natureza_juridica": "Sociedade Empresária Limitada",
    "porte": "DEMAIS", "capital_social": 150000.5, "descricao_tipo_de_logradouro": "RUA",
    "logradouro": "DAS PALMEIRAS", "numero": "120", "complemento": "", "bairro": "CENTRO",
    "municipio": "CAMPINAS", "uf": "SP", "cep": "13010050", "email": None,
    "qsa": [{"nome_socio": "JOAO CARLOS PEREIRA", "qualificacao_socio": "Sócio-Administrador",
             "codigo_qualificacao_socio": 49, "data_entrada_sociedade": "2005-11-03",
             "cpf_representante_legal": "***000000**", "nome_representante_legal": "",
             "qualificacao_representante_legal": None}],
}
BAIXADA = dict(ALFA, cnpj="44555666000107", razao_social="GAMA COMERCIO LTDA", nome_fantasia="",
               descricao_situacao_cadastral="BAIXADA", uf="RJ", qsa=[])


@pytest.fixture
def servidor(tmp_path, apontar_registro):
    (tmp_path / "a.json").write_text(json.dumps(ALFA), encoding="utf-8")
    (tmp_path / "b.json").write_text(json.dumps([BAIXADA]), encoding="utf-8")
    srv, base = registro.iniciar_em_segundo_plano(tmp_path)
    registro.apontar_cnpj_para(base)  # the registry's own helper; apontar_registro undoes it
    yield base
    srv.shutdown()
    srv.server_close()


def test_brasil_api_shape_through_the_cnpj_module(servidor):
    rec = cnpj.consultar_cnpj("11.222.333/0001-81")
    assert rec["fonte"] == "BrasilAPI"
    assert rec["razao_social"] == "ALFA SERVICOS DE TECNOLOGIA LTDA"
    assert rec["endereco"] == {"logradouro": "DAS PALMEIRAS", "numero": "120", "complemento": "",
                               "bairro": "CENTRO", "cidade": "CAMPINAS", "uf": "SP", "cep": "13010050"}
    assert rec["socios"][0]["nome"] == "JOAO CARLOS PEREIRA"


def test_receita_ws_shape(servidor):
    rec = cnpj._consultar_receita_ws("11222333000181")
    assert rec["fonte"] == "ReceitaWS"
    assert rec["endereco"]["logradouro"] == "RUA DAS PALMEIRAS"
    assert rec["endereco"]["cep"] == "13.010-050"
    assert rec["capital_social"] == 150000.5
    assert rec["data_abertura"] == "03/11/2005"
    assert rec["socios"][0]["qualificacao"] == "49-Sócio-Administrador"


def test_unknown_cnpj(servidor):
    r = requests.get(servidor + "/api/cnpj/v1/00000000000000", timeout=5)
    assert r.status_code == 404 and r.json()["name"] == "NotFoundError"
    assert requests.get(servidor + "/v1/cnpj/00000000000000", timeout=5).json()["status"] == "ERROR"
    assert cnpj.consultar_cnpj("00000000000000") is None


@pytest.mark.parametrize("nome, uf, esperado", [
    ("Alfa Serviços", None, "11.222.333/0001-81"),
    ("alfa tec", "sp", "11.222.333/0001-81"),
    ("Alfa Serviços", "RJ", None),
    ("GAMA COMERCIO", None, None),        # só empresas ativas
    ("Inexistente", None, None),
])
def test_search_by_name(servidor, nome, uf, esperado):
    rec = cnpj.buscar_cnpj_por_nome(nome, uf)
    assert (rec["cnpj"] if rec else None) == esperado


@pytest.mark.parametrize("corpo", [b"nao e json", b"[1, 2]", b'{"query": {"termo": [5, null]}}'])
def test_search_survives_bad_bodies(servidor, corpo):
    r = requests.post(servidor + "/v2/public/cnpj/search", data=corpo, timeout=5)
    assert r.status_code in (200, 400)


def test_bad_data_directory(tmp_path):
    with pytest.raises(FileNotFoundError):
        registro.carregar_dados(tmp_path / "nao-existe")
    (tmp_path / "x.json").write_text('{"razao_social": "SEM CNPJ"}', encoding="utf-8")
    with pytest.raises(ValueError, match="cnpj"):
        registro.carregar_dados(tmp_path)
