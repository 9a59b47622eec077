"""Company search by name and the combined searches, against a real local server."""
import json
import sys
import types

import pytest
import requests

from lexaro_contract import cnpj
from test_cnpj_registry import (BRASIL, BRASIL_PATH, BRASIL_RECORD, CNPJ, NOT_FOUND, RECEITA_PATH, Interrupting,
                                Recording, ordered, paths, point_at)

SEARCH_PATH = "/v2/public/cnpj/search"
EXTRAS = ["somente_mei", "excluir_mei", "com_email", "incluir_atividade_secundaria", "com_contato_telefonico",
          "somente_fixo", "somente_celular", "somente_matriz", "somente_filial"]
HITS = {"success": True,
        "data": {"count": 2, "cnpj": [{"cnpj": CNPJ, "razao_social": "PADARIA AURORA DO VALE LTDA"},
                                      {"cnpj": "98765432000110", "razao_social": "AURORA DOCES LTDA"}]},
        "page": {"current": 1}}
AI_MODULE = "lexaro_contract.ai_search"


def search_body(nome, uf=None):
    query = {"termo": [nome], "situacao_cadastral": "ATIVA"}
    if uf:
        query["uf"] = [uf]
    return {"query": query, "range_query": {}, "extras": dict.fromkeys(EXTRAS, False), "page": 1}


def with_keys(record, **added):
    return {**record, **added}


@pytest.fixture
def server(httpserver, apontar_registro):
    point_at(apontar_registro, httpserver)
    return httpserver


def known_company(server, hits=HITS):
    server.expect_request(SEARCH_PATH, method="POST").respond_with_json(hits)
    server.expect_request(BRASIL_PATH).respond_with_json(BRASIL)


# ---------------------------------------------------------------- buscar_cnpj_por_nome


@pytest.mark.parametrize("uf", [None, "", "sp", "MG"])
def test_search_request_and_record(server, uf):
    known_company(server)
    nome = "  Padaria Aurora São João "
    record = cnpj.buscar_cnpj_por_nome(nome, uf)
    assert ordered(record) == ordered(with_keys(BRASIL_RECORD, busca_por_nome=True, termo_busca=nome))
    assert paths(server) == [SEARCH_PATH, BRASIL_PATH]
    req = server.log[0][0]
    assert req.method == "POST"
    assert req.get_data() == json.dumps(search_body(nome, uf)).encode()
    assert req.headers["Content-Type"] == "application/json" and req.headers["Accept"] == "application/json"


@pytest.mark.parametrize("nome", ["", "A", "AB", "é "])
def test_short_names_send_nothing(server, nome):
    assert cnpj.buscar_cnpj_por_nome(nome) is None
    assert server.log == []


@pytest.mark.parametrize("nome", ["ABC", "  a"])
def test_three_characters_are_searched(server, nome):
    server.expect_request(SEARCH_PATH).respond_with_json({"data": {"count": 0}})
    assert cnpj.buscar_cnpj_por_nome(nome) is None
    assert paths(server) == [SEARCH_PATH]


@pytest.mark.parametrize("answer", [
    {"data": {"count": 0, "cnpj": HITS["data"]["cnpj"]}},
    {"data": {"cnpj": HITS["data"]["cnpj"]}},
    {"success": False},
    {"data": {"count": 3, "cnpj": []}},
    {"data": {"count": 3}},
    {"data": {"count": 1, "cnpj": [{"razao_social": "SEM CNPJ"}, {"cnpj": CNPJ}]}},
    {"data": {"count": 1, "cnpj": [{"cnpj": ""}]}},
    {"data": {"count": "1", "cnpj": [{"cnpj": CNPJ}]}},
    {"data": [1, 2]},
    {"data": {"count": 1, "cnpj": [CNPJ]}},
    {"data": {"count": 1, "cnpj": [{"cnpj": 12345678000199}]}},
    [HITS],
    "ATIVA",
])
def test_search_answers_that_find_nothing(server, answer):
    server.expect_request(SEARCH_PATH).respond_with_json(answer)
    assert cnpj.buscar_cnpj_por_nome("Padaria Aurora") is None
    assert paths(server) == [SEARCH_PATH]


@pytest.mark.parametrize("status, body", [(500, "{}"), (403, "<html>bot</html>"), (200, "<html>bot</html>"),
                                          (200, "")])
def test_search_failures(server, status, body):
    server.expect_request(SEARCH_PATH).respond_with_data(body, status=status)
    assert cnpj.buscar_cnpj_por_nome("Padaria Aurora") is None


def test_only_the_first_hit_is_tried(server):
    server.expect_request(SEARCH_PATH).respond_with_json(HITS)
    server.expect_request(BRASIL_PATH).respond_with_json(NOT_FOUND, status=404)
    server.expect_request(RECEITA_PATH).respond_with_json({"status": "ERROR", "message": "CNPJ rejeitado"})
    assert cnpj.buscar_cnpj_por_nome("Padaria Aurora") is None
    assert paths(server) == [SEARCH_PATH, BRASIL_PATH, RECEITA_PATH]


def test_search_timeout_is_fixed(server, monkeypatch):
    known_company(server)
    client = Recording()
    monkeypatch.setattr(cnpj, "requests", client)
    monkeypatch.setattr(cnpj, "REQUEST_TIMEOUT", 3)
    assert cnpj.buscar_cnpj_por_nome("Padaria", "RJ")["busca_por_nome"] is True
    (verb, args, kwargs), (verb2, _, kwargs2) = client.calls
    assert verb == "post" and args == (server.url_for(SEARCH_PATH),)
    assert list(kwargs) == ["json", "headers", "timeout"] and kwargs["timeout"] == 15
    assert kwargs["headers"] == {"Content-Type": "application/json", "Accept": "application/json"}
    assert json.dumps(kwargs["json"]) == json.dumps(search_body("Padaria", "RJ"))
    assert verb2 == "get" and kwargs2 == {"timeout": 3}


def test_keyboard_interrupt_passes_through_the_search(monkeypatch):
    monkeypatch.setattr(cnpj, "requests", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        cnpj.buscar_cnpj_por_nome("Padaria Aurora")


def test_ordinary_errors_are_absorbed(monkeypatch):
    class Broken:
        def post(self, *args, **kwargs):
            raise requests.Timeout("15 s")

    monkeypatch.setattr(cnpj, "requests", Broken())
    assert cnpj.buscar_cnpj_por_nome("Padaria Aurora") is None


def test_search_uses_the_module_lookup(server, monkeypatch):
    server.expect_request(SEARCH_PATH).respond_with_json(HITS)
    seen = []
    monkeypatch.setattr(cnpj, "consultar_cnpj", lambda c: seen.append(c) or {"fonte": "teste"})
    assert cnpj.buscar_cnpj_por_nome("Aurora") == {"fonte": "teste", "busca_por_nome": True, "termo_busca": "Aurora"}
    assert seen == [CNPJ]


# ---------------------------------------------------------------- buscar_empresa


def test_cnpj_found_never_searches(server):
    known_company(server)
    record = cnpj.buscar_empresa("12.345.678/0001-99", "Padaria Aurora", "MG")
    assert ordered(record) == ordered(BRASIL_RECORD)
    assert paths(server) == [BRASIL_PATH]


@pytest.mark.parametrize("given_cnpj", [None, "", "123", "12.345.678/0001"])
def test_missing_or_invalid_cnpj_goes_to_the_name(server, given_cnpj):
    known_company(server)
    record = cnpj.buscar_empresa(cnpj=given_cnpj, nome="Padaria Aurora")
    assert record["termo_busca"] == "Padaria Aurora"
    assert paths(server) == [SEARCH_PATH, BRASIL_PATH]


def test_cnpj_not_found_goes_to_the_name(server, monkeypatch):
    calls = []
    monkeypatch.setattr(cnpj, "consultar_cnpj", lambda c: calls.append(c))
    monkeypatch.setattr(cnpj, "buscar_cnpj_por_nome", lambda n, u: {"nome": n, "uf": u})
    assert cnpj.buscar_empresa(" 12.345.678/0001-99 ", "Aurora") == {"nome": "Aurora", "uf": None}
    assert calls == [CNPJ]  # the cleaned CNPJ


@pytest.mark.parametrize("fn", [cnpj.buscar_empresa, cnpj.buscar_empresa_completo])
def test_nothing_given_is_none(server, fn):
    assert fn() is None and fn(None, "", None) is None
    assert server.log == []


@pytest.mark.parametrize("fn, params", [
    (cnpj.buscar_empresa, ["cnpj", "nome", "uf"]),
    (cnpj.buscar_empresa_completo, ["cnpj", "nome", "uf", "openai_api_key"]),
    (cnpj.buscar_cnpj_por_nome, ["uf"]),
])
@pytest.mark.parametrize("bad", [1, b"x", ["Aurora"]])
def test_optional_text_type_errors(fn, params, bad):
    for p in params:
        kwargs = {"nome_empresa": "Aurora"} if fn is cnpj.buscar_cnpj_por_nome else {}
        with pytest.raises(TypeError, match=rf"^{fn.__name__}\(\) argument '{p}' must be str or None, not "):
            fn(**kwargs, **{p: bad})


# ---------------------------------------------------------------- buscar_empresa_completo


def test_complete_search_by_cnpj(server):
    known_company(server)
    record = cnpj.buscar_empresa_completo(CNPJ, "Padaria Aurora")
    assert ordered(record) == ordered(with_keys(BRASIL_RECORD, _metodo_busca="cnpj_direto"))


def test_complete_search_by_name(server):
    known_company(server)
    record = cnpj.buscar_empresa_completo("123", "Padaria Aurora", "mg")
    assert ordered(record) == ordered(with_keys(BRASIL_RECORD, busca_por_nome=True, termo_busca="Padaria Aurora",
                                                _metodo_busca="api_nome"))
    assert json.loads(server.log[0][0].get_data())["query"]["uf"] == ["mg"]


def ai_module(result=None, error=None):
    mod = types.ModuleType(AI_MODULE)
    mod.calls = []

    def buscar_cnpj_via_ai(*args, **kwargs):
        mod.calls.append((args, kwargs))
        if error is not None:
            raise error
        return result

    mod.buscar_cnpj_via_ai = buscar_cnpj_via_ai
    return mod


@pytest.fixture
def no_name_hits(server):
    server.expect_request(SEARCH_PATH).respond_with_json({"data": {"count": 0, "cnpj": []}})
    return server


def test_ai_search_finds_the_company(no_name_hits, monkeypatch):
    no_name_hits.expect_request(BRASIL_PATH).respond_with_json(BRASIL)
    mod = ai_module("12.345.678/0001-99")
    monkeypatch.setitem(sys.modules, AI_MODULE, mod)
    record = cnpj.buscar_empresa_completo(nome="Padaria Aurora", uf="MG", usar_ai_search=[1], openai_api_key="sk-x")
    assert ordered(record) == ordered(with_keys(BRASIL_RECORD, _metodo_busca="ai_web_search",
                                                _cnpj_buscado_por_ai=True))
    assert mod.calls == [(("Padaria Aurora", "sk-x"), {})]
    assert paths(no_name_hits) == [SEARCH_PATH, BRASIL_PATH]


class NeverImported(types.ModuleType):
    def __getattr__(self, name):
        raise AssertionError("the AI search component was used")


@pytest.mark.parametrize("usar, key", [(False, "sk-x"), (0, "sk-x"), (True, None), (True, "")])
def test_ai_search_needs_the_flag_and_a_key(no_name_hits, monkeypatch, usar, key):
    monkeypatch.setitem(sys.modules, AI_MODULE, NeverImported(AI_MODULE))
    assert cnpj.buscar_empresa_completo(nome="Padaria Aurora", usar_ai_search=usar, openai_api_key=key) is None


def test_no_name_means_no_ai_search(server, monkeypatch):
    monkeypatch.setitem(sys.modules, AI_MODULE, NeverImported(AI_MODULE))
    assert cnpj.buscar_empresa_completo(cnpj="123", usar_ai_search=True, openai_api_key="sk-x") is None
    assert server.log == []


def missing_name_module():
    return types.ModuleType(AI_MODULE)


@pytest.mark.parametrize("module", [None, missing_name_module(), ai_module(error=ImportError("sem openai")),
                                    ai_module(error=ModuleNotFoundError("No module named 'x'")),
                                    ai_module(""), ai_module(None)])
def test_ai_search_that_finds_nothing(no_name_hits, monkeypatch, module):
    monkeypatch.setitem(sys.modules, AI_MODULE, module)
    assert cnpj.buscar_empresa_completo(nome="Padaria Aurora", usar_ai_search=True, openai_api_key="sk-x") is None
    assert paths(no_name_hits) == [SEARCH_PATH]


def test_ai_cnpj_that_the_registry_does_not_know(no_name_hits, monkeypatch):
    no_name_hits.expect_request(BRASIL_PATH).respond_with_json(NOT_FOUND, status=404)
    no_name_hits.expect_request(RECEITA_PATH).respond_with_json(NOT_FOUND, status=404)
    monkeypatch.setitem(sys.modules, AI_MODULE, ai_module(CNPJ))
    assert cnpj.buscar_empresa_completo(nome="Padaria Aurora", usar_ai_search=True, openai_api_key="sk-x") is None
    assert paths(no_name_hits) == [SEARCH_PATH, BRASIL_PATH, RECEITA_PATH]


@pytest.mark.parametrize("module, error", [
    (ai_module(error=ValueError("cota excedida")), ValueError),
    (ai_module(error=KeyboardInterrupt()), KeyboardInterrupt),
    (ai_module(12345678000199), TypeError),
])
def test_other_errors_of_the_ai_step_propagate(no_name_hits, monkeypatch, module, error):
    monkeypatch.setitem(sys.modules, AI_MODULE, module)
    with pytest.raises(error):
        cnpj.buscar_empresa_completo(nome="Padaria Aurora", usar_ai_search=True, openai_api_key="sk-x")


def test_strategies_through_the_module_globals(monkeypatch):
    monkeypatch.setattr(cnpj, "consultar_cnpj", lambda c: None)
    monkeypatch.setattr(cnpj, "buscar_cnpj_por_nome", lambda n, u: {"achado": (n, u)})
    assert cnpj.buscar_empresa_completo(CNPJ, "Aurora", "SP") == {"achado": ("Aurora", "SP"),
                                                                  "_metodo_busca": "api_nome"}
