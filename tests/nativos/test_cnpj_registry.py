"""Registry lookup with fallback, against real local HTTP servers."""
import copy
import json
import socket
import time

import pytest
import requests
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pytest_httpserver import HTTPServer
from werkzeug import Response

import oracle_cnpj as oracle
from lexaro_contract import cnpj

CNPJ = "12345678000199"
BRASIL_PATH = f"/api/cnpj/v1/{CNPJ}"
RECEITA_PATH = f"/v1/cnpj/{CNPJ}"

BRASIL = {
    "cnpj": CNPJ,
    "razao_social": "PADARIA AURORA DO VALE LTDA",
    "nome_fantasia": "AURORA",
    "descricao_situacao_cadastral": "ATIVA",
    "data_situacao_cadastral": None,
    "data_inicio_atividade": "2015-03-02",
    "natureza_juridica": "Sociedade Empresária Limitada",
    "porte": None,
    "capital_social": 200000,
    "descricao_tipo_de_logradouro": "AVENIDA",
    "logradouro": "DAS PALMEIRAS",
    "numero": "S/N",
    "complemento": "",
    "bairro": "CENTRO",
    "municipio": None,
    "uf": "MG",
    "cep": "30110000",
    "email": None,
    "codigo_natureza_juridica": 2062,
    "qsa": [
        {"nome_socio": "MARIA DAS DORES EXEMPLO", "qualificacao_socio": "Sócio-Administrador",
         "cnpj_cpf_do_socio": "***133807**", "data_entrada_sociedade": "2015-03-02", "identificador_de_socio": 2,
         "cpf_representante_legal": "***000000**", "nome_representante_legal": "",
         "qualificacao_representante_legal": None, "codigo_qualificacao_socio": 49},
        {"nome_socio": "HOLDING EXEMPLO PARTICIPACOES S.A.", "qualificacao_socio": "Sócio",
         "data_entrada_sociedade": "2019-11-20", "identificador_de_socio": 1,
         "cpf_representante_legal": "***456789**", "nome_representante_legal": "JOAO EXEMPLO",
         "qualificacao_representante_legal": "Diretor"},
    ],
}
BRASIL_RECORD = {
    "fonte": "BrasilAPI",
    "cnpj": "12.345.678/0001-99",
    "razao_social": "PADARIA AURORA DO VALE LTDA",
    "nome_fantasia": "AURORA",
    "situacao": "ATIVA",
    "data_situacao": None,
    "data_abertura": "2015-03-02",
    "natureza_juridica": "Sociedade Empresária Limitada",
    "porte": None,
    "capital_social": 200000,
    "endereco": {"logradouro": "DAS PALMEIRAS", "numero": "S/N", "complemento": "", "bairro": "CENTRO",
                 "cidade": None, "uf": "MG", "cep": "30110000"},
    "email": None,
    "socios": [
        {"nome": "MARIA DAS DORES EXEMPLO", "qualificacao": "Sócio-Administrador", "data_entrada": "2015-03-02",
         "cpf_representante": "***000000**", "nome_representante": "", "qualificacao_representante": None},
        {"nome": "HOLDING EXEMPLO PARTICIPACOES S.A.", "qualificacao": "Sócio", "data_entrada": "2019-11-20",
         "cpf_representante": "***456789**", "nome_representante": "JOAO EXEMPLO",
         "qualificacao_representante": "Diretor"},
    ],
}
RECEITA = {
    "status": "OK",
    "nome": "PADARIA AURORA DO VALE LTDA",
    "fantasia": "",
    "situacao": "ATIVA",
    "tipo": "MATRIZ",
    "porte": "MICRO EMPRESA",
    "natureza_juridica": "206-2 - Sociedade Empresária Limitada",
    "abertura": "02/03/2015",
    "data_situacao": "02/03/2015",
    "logradouro": "AV DAS PALMEIRAS",
    "numero": "S/N",
    "complemento": "LOJA 2",
    "bairro": "CENTRO",
    "municipio": "BELO HORIZONTE",
    "uf": "MG",
    "cep": "30.110-000",
    "email": "contato@exemplo.com.br",
    "telefone": "(31) 3333-0000",
    "capital_social": "3000.00",
    "atividade_principal": [{"code": "10.91-1-02", "text": "Padaria"}],
    "qsa": [{"nome": "MARIA DAS DORES EXEMPLO", "qual": "49-Sócio-Administrador", "pais_origem": "",
             "nome_rep_legal": "", "qual_rep_legal": ""}],
}
RECEITA_RECORD = {
    "fonte": "ReceitaWS",
    "cnpj": "12.345.678/0001-99",
    "razao_social": "PADARIA AURORA DO VALE LTDA",
    "nome_fantasia": "",
    "situacao": "ATIVA",
    "data_situacao": "02/03/2015",
    "data_abertura": "02/03/2015",
    "natureza_juridica": "206-2 - Sociedade Empresária Limitada",
    "porte": "MICRO EMPRESA",
    "capital_social": 3000.0,
    "endereco": {"logradouro": "AV DAS PALMEIRAS", "numero": "S/N", "complemento": "LOJA 2", "bairro": "CENTRO",
                 "cidade": "BELO HORIZONTE", "uf": "MG", "cep": "30.110-000"},
    "email": "contato@exemplo.com.br",
    "socios": [{"nome": "MARIA DAS DORES EXEMPLO", "qualificacao": "49-Sócio-Administrador", "data_entrada": "",
                "cpf_representante": "", "nome_representante": "", "qualificacao_representante": ""}],
}
NOT_FOUND = {"message": "CNPJ 12.345.678/0001-99 não encontrado.", "name": "NotFoundError", "type": "not_found"}


def ordered(value):
    """A record with its key order made visible to ==."""
    if isinstance(value, dict):
        return [(k, ordered(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [ordered(v) for v in value]
    if isinstance(value, float) and value != value:
        return ("float", "nan")  # a capital of "NaN" converts, and NaN equals nothing
    return (type(value).__name__, value)


def point_at(apontar_registro, server):
    apontar_registro(server.url_for("").rstrip("/"))


@pytest.fixture
def services(httpserver, apontar_registro):
    point_at(apontar_registro, httpserver)
    return httpserver


def paths(server):
    return [req.path for req, _ in server.log]


# ---------------------------------------------------------------- records


def test_brasil_api_record(services):
    services.expect_request(BRASIL_PATH, method="GET").respond_with_json(BRASIL)
    record = cnpj.consultar_cnpj("12.345.678/0001-99")
    assert ordered(record) == ordered(BRASIL_RECORD)
    assert paths(services) == [BRASIL_PATH]
    req = services.log[0][0]
    assert req.query_string == b"" and req.headers["Accept"] == "*/*"  # the client's default


def test_receita_ws_record_after_not_found(services):
    services.expect_request(BRASIL_PATH).respond_with_json(NOT_FOUND, status=404)
    services.expect_request(RECEITA_PATH, method="GET").respond_with_json(RECEITA)
    record = cnpj.consultar_cnpj_online(CNPJ)
    assert ordered(record) == ordered(RECEITA_RECORD)
    assert paths(services) == [BRASIL_PATH, RECEITA_PATH]
    req = services.log[1][0]
    assert req.headers["Accept"] == "application/json" and req.query_string == b""


def test_empty_object_is_a_record_and_stops_the_lookup(services):
    services.expect_request(BRASIL_PATH).respond_with_json({})
    record = cnpj.consultar_cnpj(CNPJ)
    assert ordered(record) == ordered({
        "fonte": "BrasilAPI", "cnpj": "12.345.678/0001-99", "razao_social": "", "nome_fantasia": "",
        "situacao": "", "data_situacao": "", "data_abertura": "", "natureza_juridica": "", "porte": "",
        "capital_social": 0, "endereco": dict.fromkeys(["logradouro", "numero", "complemento", "bairro", "cidade",
                                                        "uf", "cep"], ""),
        "email": "", "socios": []})
    assert paths(services) == [BRASIL_PATH]


def test_receita_ws_empty_object(services):
    services.expect_request(RECEITA_PATH).respond_with_json({})
    record = cnpj._consultar_receita_ws(CNPJ)
    assert record["fonte"] == "ReceitaWS" and record["capital_social"] == 0.0
    assert type(record["capital_social"]) is float  # the default is the text "0"
    assert record["socios"] == [] and set(record["endereco"].values()) == {""}


@pytest.mark.parametrize("given_cnpj", ["12.345.678/0001-99", CNPJ, " CNPJ 12 345 678 0001 99 "])
def test_same_url_for_any_punctuation(services, given_cnpj):
    services.expect_request(BRASIL_PATH).respond_with_json({"razao_social": "X"})
    assert cnpj.consultar_cnpj(given_cnpj)["cnpj"] == "12.345.678/0001-99"
    assert paths(services) == [BRASIL_PATH]


def test_alphanumeric_cnpj_lookup(services):
    services.expect_request("/api/cnpj/v1/12ABC34501DE35").respond_with_json({"razao_social": "NOVA"})
    record = cnpj.consultar_cnpj("12.abc.345/01de-35")
    assert record["cnpj"] == "12.ABC.345/01DE-35" and record["razao_social"] == "NOVA"


@pytest.mark.parametrize("given_cnpj", ["123", "", "sem cnpj", "1234567800019", "123456780001990",
                                        "12.ABC.345/01DE-36"])
def test_invalid_cnpj_sends_nothing(services, given_cnpj):
    assert cnpj.consultar_cnpj(given_cnpj) is None
    assert services.log == []


@pytest.mark.parametrize("capital, expected", [
    ("", 0), ("0", 0.0), ("50.000,00", 50000.0), ("1.500.000,50", 1500000.5), (1000, 1000), (1500.75, 1500.75),
    ("3000.00", 3000.0), ("0.00", 0.0), ("120000000000.00", 120000000000.0), ("3000.5", 3000.5),
    ("1.500.000", 1500000.0), ("1.500", 1500.0), ("1.000.00", 100000.0), (" 10,5 ", 10.5), (None, None),
])
def test_receita_ws_capital(services, capital, expected):
    services.expect_request(RECEITA_PATH).respond_with_json(dict(RECEITA, capital_social=capital))
    value = cnpj._consultar_receita_ws(CNPJ)["capital_social"]
    assert type(value) is type(expected) and value == expected
    assert value == oracle.converter_capital(capital)


@pytest.mark.parametrize("capital", ["R$ 1.000,00", "abc", "1,2,3", ".", ","])
def test_receita_ws_capital_that_does_not_convert(services, capital):
    services.expect_request(RECEITA_PATH).respond_with_json(dict(RECEITA, capital_social=capital))
    assert cnpj._consultar_receita_ws(CNPJ) is None


@pytest.mark.parametrize("capital", [1500.5, "1.000,00", None, [1]])
def test_brasil_api_capital_as_sent(services, capital):
    services.expect_request(BRASIL_PATH).respond_with_json({"capital_social": capital})
    assert cnpj._consultar_brasil_api(CNPJ)["capital_social"] == capital


def test_fields_of_other_types_pass_through(services):
    odd = {"razao_social": 123, "nome_fantasia": ["A"], "municipio": {"nome": "X"}, "email": False,
           "qsa": [{"nome_socio": None, "qualificacao_socio": 5}]}
    services.expect_request(BRASIL_PATH).respond_with_json(odd)
    record = cnpj._consultar_brasil_api(CNPJ)
    assert record["razao_social"] == 123 and record["nome_fantasia"] == ["A"] and record["email"] is False
    assert record["endereco"]["cidade"] == {"nome": "X"}
    assert record["socios"] == [{"nome": None, "qualificacao": 5, "data_entrada": "", "cpf_representante": "",
                                 "nome_representante": "", "qualificacao_representante": ""}]


# ---------------------------------------------------------------- failures and fallback


@pytest.mark.parametrize("status", [400, 403, 404, 429, 500, 504, 201, 204])
def test_status_other_than_200_falls_back(services, status):
    services.expect_request(BRASIL_PATH).respond_with_json(BRASIL, status=status)
    services.expect_request(RECEITA_PATH).respond_with_json(RECEITA)
    assert cnpj.consultar_cnpj(CNPJ)["fonte"] == "ReceitaWS"


@pytest.mark.parametrize("body, content_type", [
    ("<html>Too Many Requests</html>", "text/html"), ("", "application/json"), ("[1, 2]", "application/json"),
    ('"ATIVA"', "application/json"), ("42", "application/json"), ("null", "application/json"),
    ('{"razao_social": ', "application/json"), ('{"qsa": null}', "application/json"),
    ('{"qsa": ["MARIA"]}', "application/json"), ('{"qsa": "MARIA"}', "application/json"),
    ('{"qsa": 3}', "application/json"),
])
def test_bodies_that_are_not_records(services, body, content_type):
    services.expect_request(BRASIL_PATH).respond_with_data(body, content_type=content_type)
    services.expect_request(RECEITA_PATH).respond_with_data(body, content_type=content_type)
    assert cnpj._consultar_brasil_api(CNPJ) is None
    assert cnpj._consultar_receita_ws(CNPJ) is None


def test_null_qsa_at_brasil_api_gives_the_receita_ws_record(services):
    services.expect_request(BRASIL_PATH).respond_with_json(dict(BRASIL, qsa=None))
    services.expect_request(RECEITA_PATH).respond_with_json(RECEITA)
    assert ordered(cnpj.consultar_cnpj(CNPJ)) == ordered(RECEITA_RECORD)


def test_qsa_as_an_empty_mapping_has_no_partners(services):
    services.expect_request(BRASIL_PATH).respond_with_json({"qsa": {}})
    assert cnpj._consultar_brasil_api(CNPJ)["socios"] == []


@pytest.mark.parametrize("status, body", [
    (200, {"status": "ERROR", "message": "CNPJ inválido"}),
    (400, {"status": "ERROR", "message": "CNPJ inválido"}),
    (200, dict(RECEITA, status="ERROR")),
    (429, RECEITA),
])
def test_receita_ws_error_answers(services, status, body):
    services.expect_request(RECEITA_PATH).respond_with_json(body, status=status)
    assert cnpj._consultar_receita_ws(CNPJ) is None


def test_receita_ws_without_status_is_a_record(services):
    body = {k: v for k, v in RECEITA.items() if k != "status"}
    services.expect_request(RECEITA_PATH).respond_with_json(body)
    assert ordered(cnpj._consultar_receita_ws(CNPJ)) == ordered(RECEITA_RECORD)


def test_both_services_failing_is_none_after_two_requests(services):
    services.expect_request(BRASIL_PATH).respond_with_json(NOT_FOUND, status=404)
    services.expect_request(RECEITA_PATH).respond_with_json({"status": "ERROR", "message": "Timeout"})
    assert cnpj.consultar_cnpj(CNPJ) is None
    assert paths(services) == [BRASIL_PATH, RECEITA_PATH]


def test_connection_refused_is_none(apontar_registro):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    apontar_registro(f"http://127.0.0.1:{port}")
    assert cnpj.consultar_cnpj(CNPJ) is None


def test_huge_and_deep_bodies(services):
    big = dict(BRASIL, razao_social="X" * 3_000_000, qsa=[BRASIL["qsa"][0]] * 20_000)
    services.expect_request(BRASIL_PATH).respond_with_json(big)
    services.expect_request(RECEITA_PATH).respond_with_data('{"nome": ' + "[" * 200_000 + "]" * 200_000 + "}",
                                                            content_type="application/json")
    record = cnpj._consultar_brasil_api(CNPJ)
    assert len(record["razao_social"]) == 3_000_000 and len(record["socios"]) == 20_000
    assert cnpj._consultar_receita_ws(CNPJ) is None  # the decoder's RecursionError is absorbed


@pytest.fixture
def slow_server(apontar_registro):
    server = HTTPServer(host="127.0.0.1", threaded=True)
    server.start()
    point_at(apontar_registro, server)
    yield server
    server.clear()
    server.stop()


def test_timeout_uses_the_module_constant_at_call_time(slow_server, monkeypatch):
    def slow(request):
        time.sleep(1.5)
        return Response(json.dumps(BRASIL), content_type="application/json")

    slow_server.expect_request(BRASIL_PATH).respond_with_handler(slow)
    slow_server.expect_request(RECEITA_PATH).respond_with_json(RECEITA)
    monkeypatch.setattr(cnpj, "REQUEST_TIMEOUT", 0.2)
    start = time.monotonic()
    record = cnpj.consultar_cnpj(CNPJ)
    assert time.monotonic() - start < 1.2  # 0.2 s, far from the 1.5 s a missed deadline waits
    assert record["fonte"] == "ReceitaWS"


class Recording:
    """The real client, with its calls written down."""

    def __init__(self, hook=None):
        self.calls = []
        self.hook = hook

    def get(self, *args, **kwargs):
        self.calls.append(("get", args, kwargs))
        if self.hook:
            self.hook()
        return requests.get(*args, **kwargs)

    def post(self, *args, **kwargs):
        self.calls.append(("post", args, kwargs))
        return requests.post(*args, **kwargs)


def test_requests_and_timeout_are_read_at_each_call(services, monkeypatch):
    services.expect_request(BRASIL_PATH).respond_with_json(NOT_FOUND, status=404)
    services.expect_request(RECEITA_PATH).respond_with_json(RECEITA)
    client = Recording()
    monkeypatch.setattr(cnpj, "requests", client)
    monkeypatch.setattr(cnpj, "REQUEST_TIMEOUT", 7)
    assert cnpj.consultar_cnpj(CNPJ)["fonte"] == "ReceitaWS"
    base = services.url_for("")
    assert client.calls == [
        ("get", (f"{base}api/cnpj/v1/{CNPJ}",), {"timeout": 7}),
        ("get", (f"{base}v1/cnpj/{CNPJ}",), {"headers": {"Accept": "application/json"}, "timeout": 7}),
    ]


class Interrupting:
    def get(self, *args, **kwargs):
        raise KeyboardInterrupt

    post = get


@pytest.mark.parametrize("name", ["_consultar_brasil_api", "_consultar_receita_ws", "consultar_cnpj"])
def test_keyboard_interrupt_passes_through(monkeypatch, name):
    monkeypatch.setattr(cnpj, "requests", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        getattr(cnpj, name)(CNPJ)


def test_ordinary_errors_of_the_client_are_absorbed(monkeypatch):
    class Broken:
        def get(self, *args, **kwargs):
            raise requests.ConnectionError("sem rede")

    monkeypatch.setattr(cnpj, "requests", Broken())
    assert cnpj.consultar_cnpj(CNPJ) is None


def test_url_template_errors_are_not_absorbed(monkeypatch):
    monkeypatch.setattr(cnpj, "BRASIL_API_URL", "http://127.0.0.1:9/{outro}")
    with pytest.raises(KeyError, match="outro"):
        cnpj.consultar_cnpj(CNPJ)


# ---------------------------------------------------------------- late binding


def test_fallback_through_the_module_globals(services, monkeypatch):
    services.expect_request(RECEITA_PATH).respond_with_json(RECEITA)
    monkeypatch.setattr(cnpj, "_consultar_brasil_api", lambda c: None)
    assert cnpj.consultar_cnpj(CNPJ)["fonte"] == "ReceitaWS"
    monkeypatch.setattr(cnpj, "_consultar_brasil_api", lambda c: {"de": c})
    assert cnpj.consultar_cnpj("12.345.678/0001-99") == {"de": "12.345.678/0001-99"}
    monkeypatch.setattr(cnpj, "validar_cnpj", lambda c: 0)
    assert cnpj.consultar_cnpj(CNPJ) is None


def test_record_uses_the_module_formatter_and_cleaner(services, monkeypatch):
    services.expect_request(BRASIL_PATH).respond_with_json({})
    monkeypatch.setattr(cnpj, "formatar_cnpj", lambda c: f"<{c}>")
    monkeypatch.setattr(cnpj, "limpar_cnpj", lambda c: c.replace("-", ""))
    assert cnpj._consultar_brasil_api(CNPJ[:4] + "-" + CNPJ[4:])["cnpj"] == f"<{CNPJ}>"


def test_results_are_fresh(services):
    services.expect_request(BRASIL_PATH).respond_with_json(BRASIL)
    first = cnpj._consultar_brasil_api(CNPJ)
    first["socios"].clear()
    first["endereco"]["uf"] = "SP"
    second = cnpj._consultar_brasil_api(CNPJ)
    assert ordered(second) == ordered(BRASIL_RECORD) and second is not first


# ---------------------------------------------------------------- against the oracle

JSON_LEAVES = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False, allow_infinity=False),
                        st.text(max_size=8))
FIELDS = ["razao_social", "nome_fantasia", "descricao_situacao_cadastral", "data_situacao_cadastral",
          "data_inicio_atividade", "natureza_juridica", "porte", "capital_social", "logradouro", "numero",
          "complemento", "bairro", "municipio", "uf", "cep", "email", "nome", "fantasia", "situacao",
          "data_situacao", "abertura", "status", "outro"]
PARTNER_FIELDS = ["nome_socio", "qualificacao_socio", "data_entrada_sociedade", "cpf_representante_legal",
                  "nome_representante_legal", "qualificacao_representante_legal", "nome", "qual"]
CAPITAL_TEXTS = st.from_regex(r"\A[0-9.,]{0,10}\Z")
ANSWERS = st.fixed_dictionaries({}, optional={
    **{f: JSON_LEAVES for f in FIELDS},
    "capital_social": st.one_of(JSON_LEAVES, CAPITAL_TEXTS),
    "status": st.sampled_from(["OK", "ERROR", None, "error"]),
    "qsa": st.lists(st.dictionaries(st.sampled_from(PARTNER_FIELDS), JSON_LEAVES), max_size=3),
})


def oracle_or_none(build, data):
    try:
        return build(CNPJ, data)
    except Exception:
        return None


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(ANSWERS)
def test_records_match_the_oracle(services, data):
    services.clear()
    services.expect_request(BRASIL_PATH).respond_with_json(data)
    services.expect_request(RECEITA_PATH).respond_with_json(data)
    sent = copy.deepcopy(data)
    assert ordered(cnpj._consultar_brasil_api(CNPJ)) == ordered(oracle_or_none(oracle.registro_brasil_api, sent))
    assert ordered(cnpj._consultar_receita_ws(CNPJ)) == ordered(oracle_or_none(oracle.registro_receita_ws, sent))
