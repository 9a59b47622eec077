"""The credentials manager and the authenticated HTTP client."""
import sys
import types

import pytest
import requests
from werkzeug import Response

from lexaro_contract.auth import AuthenticatedClient, LexaroAuth

ENV = ["LEXARO_PROVIDER", "LEXARO_API_TOKEN", "OPENAI_API_KEY", "OPENAI_BASE_URL", "AZURE_API_KEY",
       "AZURE_API_ENDPOINT", "AZURE_DEPLOYMENT_NAME", "AZURE_API_VERSION"]
AZURE = {"azure_api_key": "az-key", "azure_endpoint": "https://recurso.openai.azure.com/",
         "azure_deployment": "gpt-4o"}


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for var in ENV:
        monkeypatch.delenv(var, raising=False)


# ---------------------------------------------------------------- provider

@pytest.mark.parametrize("env, kwargs, provider", [
    ({}, {}, "openai"),
    ({}, AZURE, "azure"),
    ({}, {**AZURE, "openai_api_key": "sk"}, "openai"),          # an OpenAI key keeps OpenAI
    ({"AZURE_API_KEY": "k", "AZURE_API_ENDPOINT": "https://e"}, {}, "azure"),
    ({"AZURE_API_KEY": "k"}, {}, "openai"),                       # key without endpoint
    ({"LEXARO_PROVIDER": "LOCAL"}, AZURE, "local"),
    ({"LEXARO_PROVIDER": "azure"}, {"provider": "OpenAI"}, "openai"),  # the argument wins
    ({"LEXARO_PROVIDER": ""}, {}, "openai"),                      # empty counts as unset
])
def test_provider_resolution(monkeypatch, env, kwargs, provider):
    for k, v in env.items():
        monkeypatch.setenv(k, v)
    auth = LexaroAuth(**kwargs)
    assert auth.provider == provider
    assert auth.is_azure is (provider == "azure")


@pytest.mark.parametrize("provider", ["anthropic", "", "azure "])
def test_unknown_provider(provider):
    with pytest.raises(ValueError, match="'openai', 'azure', 'local'"):
        LexaroAuth(provider=provider)


@pytest.mark.parametrize("param", ["api_token", "openai_api_key", "provider", "azure_api_key", "azure_endpoint",
                                   "azure_deployment", "azure_api_version"])
def test_argument_types(param):
    with pytest.raises(TypeError, match=f"'{param}' must be str or None, not int"):
        LexaroAuth(**{param: 1})


def test_positional_order():
    auth = LexaroAuth("tok", "sk", "azure", "ak", "https://e", "dep", "v9")
    assert (auth.api_token, auth.openai_api_key, auth.provider, auth.azure_api_key, auth.azure_endpoint,
            auth.azure_deployment, auth.azure_api_version) == ("tok", "sk", "azure", "ak", "https://e", "dep", "v9")


# ---------------------------------------------------------------- keys

@pytest.mark.parametrize("kwargs, has_key", [
    ({}, False),
    ({"openai_api_key": ""}, False),
    ({"openai_api_key": "sk"}, True),
    ({"provider": "azure"}, False),
    ({"provider": "azure", "azure_api_key": "k", "azure_endpoint": "e"}, False),  # no deployment
    ({"provider": "azure", **AZURE}, True),
    ({"provider": "azure", **AZURE, "azure_deployment": ""}, False),
    ({"provider": "local"}, True),
])
def test_has_api_key(kwargs, has_key):
    assert LexaroAuth(**kwargs).has_api_key is has_key


def test_environment_fills_missing_arguments(monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    monkeypatch.setenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1")
    monkeypatch.setenv("LEXARO_API_TOKEN", "tok-env")
    auth = LexaroAuth()
    assert auth.get_lexaro_kwargs() == {"provider": "openai", "api_key": "sk-env",
                                        "base_url": "http://127.0.0.1:9/v1", "api_token": "tok-env"}
    assert LexaroAuth(openai_api_key="sk-arg").openai_api_key == "sk-arg"


@pytest.mark.parametrize("kwargs, token", [
    ({"api_token": "tok", "openai_api_key": "sk"}, "tok"),
    ({"openai_api_key": "sk"}, "sk"),
    ({}, None),
    ({"provider": "azure", **AZURE}, "az-key"),
    ({"provider": "azure", **AZURE, "openai_api_key": "sk"}, "az-key"),  # the active provider's key
    ({"provider": "local", "openai_api_key": "sk"}, None),
    ({"provider": "local", "api_token": "tok"}, "tok"),
])
def test_get_token(kwargs, token):
    assert LexaroAuth(**kwargs).get_token() == token


@pytest.mark.parametrize("kwargs, expected", [
    ({"openai_api_key": "sk"}, {"provider": "openai", "api_key": "sk", "base_url": None, "api_token": None}),
    ({"provider": "azure", **AZURE, "api_token": "t"},
     {"provider": "azure", "api_key": "az-key", "azure_endpoint": "https://recurso.openai.azure.com/",
      "azure_deployment": "gpt-4o", "api_version": "2024-02-15-preview", "api_token": "t"}),
    ({"provider": "azure", **AZURE, "azure_api_version": "2025-01-01"},
     {"provider": "azure", "api_key": "az-key", "azure_endpoint": "https://recurso.openai.azure.com/",
      "azure_deployment": "gpt-4o", "api_version": "2025-01-01", "api_token": None}),
    ({"provider": "local"}, {"provider": "local", "api_token": None}),
])
def test_get_lexaro_kwargs(kwargs, expected):
    auth = LexaroAuth(**kwargs)
    got = auth.get_lexaro_kwargs()
    assert got == expected and list(got) == list(expected)
    got["model"] = "x"
    assert auth.get_lexaro_kwargs() == expected  # a new mapping each time


def test_azure_api_version_from_environment(monkeypatch):
    monkeypatch.setenv("AZURE_API_VERSION", "2030-01-01")
    assert LexaroAuth(provider="azure", **AZURE).get_lexaro_kwargs()["api_version"] == "2030-01-01"


def test_is_lexaro_available_follows_the_import(monkeypatch):
    auth = LexaroAuth(provider="local")
    monkeypatch.setitem(sys.modules, "lexaro", None)
    assert auth.is_lexaro_available is False
    monkeypatch.setitem(sys.modules, "lexaro", types.ModuleType("lexaro"))
    assert auth.is_lexaro_available is True


def test_repr_hides_secrets():
    text = repr(LexaroAuth(openai_api_key="sk-secreta", api_token="tok-secreto"))
    assert "secret" not in text and "'openai'" in text


# ---------------------------------------------------------------- client

def test_client_sends_bearer_token(httpserver):
    httpserver.expect_request("/v1/status", method="GET", headers={"Authorization": "Bearer tok-1"},
                              query_string="a=1").respond_with_json({"ok": True})
    with AuthenticatedClient(LexaroAuth(api_token="tok-1"), base_url=httpserver.url_for("/")) as client:
        assert client.token == "tok-1"
        r = client.get("v1/status", params={"a": "1"})
    assert r.status_code == 200 and r.json() == {"ok": True}
    httpserver.check_assertions()


def test_client_post_json_to_its_own_origin(httpserver):
    httpserver.expect_request("/api/busca", method="POST", json={"termo": "acme"},
                              headers={"Authorization": "Bearer sk-2"}).respond_with_json({"n": 1})
    client = AuthenticatedClient("sk-2", base_url=httpserver.url_for("/api"))
    r = client.post(httpserver.url_for("/api/busca"), json={"termo": "acme"})
    assert r.json() == {"n": 1}
    client.close()


@pytest.mark.parametrize("base", [
    "http://127.0.0.1:1/api",          # outra porta
    "http://127.0.0.1:{porta}/api",    # outro nome de host, mesma porta (o servidor é localhost)
    "https://localhost:{porta}/api",   # outro esquema
    "",                                # sem base: o token não tem origem
])
def test_token_never_leaves_the_base_origin(httpserver, base):
    seen = []

    def handler(request):
        seen.append(request.headers.get("Authorization"))
        return Response("{}", content_type="application/json")

    httpserver.expect_request("/fora").respond_with_handler(handler)
    client = AuthenticatedClient("segredo", base_url=base.format(porta=httpserver.port))
    client.get(httpserver.url_for("/fora"), headers={"X-Outro": "1"})
    client.post(httpserver.url_for("/fora"), json={})
    client.close()
    assert seen == [None, None]


def test_client_without_token_sends_no_authorization(httpserver):
    seen = []

    def handler(request):
        seen.append(request.headers.get("Authorization"))
        return Response("{}", content_type="application/json")

    httpserver.expect_request("/x").respond_with_handler(handler)
    with AuthenticatedClient(LexaroAuth(provider="local")) as client:
        assert client.token is None
        client.get(httpserver.url_for("/x"))
    assert seen == [None]


def test_client_timeout_applies(httpserver):
    import time

    httpserver.expect_request("/lento").respond_with_handler(lambda r: time.sleep(0.5) or Response("{}"))
    client = AuthenticatedClient("t", base_url=httpserver.url_for(""), timeout=0.05)
    with pytest.raises(requests.exceptions.Timeout):
        client.get("/lento")
    client.close()


def test_client_argument_types():
    with pytest.raises(TypeError, match="'auth' must be LexaroAuth, str or None, not int"):
        AuthenticatedClient(1)
    with pytest.raises(TypeError, match="'base_url' must be str"):
        AuthenticatedClient("t", base_url=None)


def test_client_url_joining():
    c = AuthenticatedClient(None, base_url="http://h/api/")
    assert c.url("/v1/x") == "http://h/api/v1/x"
    assert c.url("v1/x") == "http://h/api/v1/x"
    assert c.url("https://outro/y") == "https://outro/y"
    c.close()
