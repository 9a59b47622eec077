"""AI CNPJ search: the real OpenAI client against a local OpenAI-compatible server."""
import json

import openai
import pytest
from werkzeug import Response

from lexaro_contract import ai_search
from lexaro_contract.ai_search import buscar_cnpj_via_ai, extrair_cnpj
from modelo_falso import openai_server  # noqa: F401 - the module's OpenAI-compatible server

NOME = "PADARIA AURORA DO VALE LTDA"
RESPONSES_PATH = "/v1/responses"
CHAT_PATH = "/v1/chat/completions"


def responses_body(text):
    return {
        "id": "resp_67ccd2bed1ec8190b14f964abc054267",
        "object": "response",
        "created_at": 1741476542,
        "status": "completed",
        "error": None,
        "incomplete_details": None,
        "instructions": None,
        "max_output_tokens": None,
        "model": "gpt-4o-2024-08-06",
        "output": [
            {"type": "web_search_call", "id": "ws_67ccd2bf", "status": "completed"},
            {
                "type": "message",
                "id": "msg_67ccd2c0",
                "status": "completed",
                "role": "assistant",
                "content": [{"type": "output_text", "text": text, "annotations": [
                    {"type": "url_citation", "start_index": 0, "end_index": 10,
                     "url": "https://exemplo.invalid/cnpj", "title": "Consulta CNPJ"}]}],
            },
        ],
        "parallel_tool_calls": True,
        "previous_response_id": None,
        "reasoning": {"effort": None, "summary": None},
        "store": True,
        "temperature": 1.0,
        "text": {"format": {"type": "text"}},
        "tool_choice": "auto",
        "tools": [{"type": "web_search", "search_context_size": "medium", "user_location": None}],
        "top_p": 1.0,
        "truncation": "disabled",
        "usage": {"input_tokens": 328, "input_tokens_details": {"cached_tokens": 0}, "output_tokens": 52,
                  "output_tokens_details": {"reasoning_tokens": 0}, "total_tokens": 380},
        "user": None,
        "metadata": {},
    }


def chat_body(text):
    return {
        "id": "chatcmpl-busca",
        "object": "chat.completion",
        "created": 1741476542,
        "model": "gpt-4o-search-preview-2025-03-11",
        "choices": [{"index": 0, "message": {"role": "assistant", "content": text, "refusal": None,
                                             "annotations": []},
                     "finish_reason": "stop"}],
        "usage": {"prompt_tokens": 20, "completion_tokens": 15, "total_tokens": 35},
    }


@pytest.fixture
def server(openai_server, monkeypatch):
    monkeypatch.setenv("OPENAI_BASE_URL", openai_server.url_for("/v1"))
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    monkeypatch.setattr(ai_search, "TENTATIVAS_BUSCA", 0)
    yield openai_server
    openai_server.clear()


def bodies(server):
    return [(req.path, json.loads(req.get_data())) for req, _ in server.log]


@pytest.mark.parametrize("answer, found", [
    ("O CNPJ da PADARIA AURORA DO VALE LTDA é 12.345.678/0001-99 (matriz).", "12.345.678/0001-99"),
    ("12345678000199", "12345678000199"),
    ("CNPJ: 12.345.678000199, conforme a Receita.", "12.345.678000199"),
    ("NAO_ENCONTRADO", None),
    ("Encontrei o CPF 123.456.789-09 e o telefone (31) 3333-4444, mas nenhum CNPJ.", None),
    ("Protocolo 123456789012345 sem CNPJ.", None),
    ("", None),
])
def test_responses_api_with_web_search(server, answer, found):
    server.expect_request(RESPONSES_PATH, method="POST").respond_with_json(responses_body(answer))
    assert buscar_cnpj_via_ai(NOME, "sk-busca") == found
    (path, body), = bodies(server)
    assert body["model"] == "gpt-4o"
    assert body["tools"] == [{"type": "web_search"}]
    assert f'"{NOME}"' in body["input"] and "NAO_ENCONTRADO" in body["input"]
    assert server.log[0][0].headers["Authorization"] == "Bearer sk-busca"


@pytest.mark.parametrize("status", [404, 400, 422])
def test_falls_back_to_chat_completions(server, status):
    server.expect_request(RESPONSES_PATH).respond_with_json({"error": {"message": "not supported"}}, status=status)
    server.expect_request(CHAT_PATH).respond_with_json(chat_body("CNPJ 98.765.432/0001-10"))
    assert buscar_cnpj_via_ai(NOME, "sk-busca") == "98.765.432/0001-10"
    (p1, _), (p2, chat) = bodies(server)
    assert (p1, p2) == (RESPONSES_PATH, CHAT_PATH)
    assert chat["model"] == "gpt-4o-search-preview" and chat["web_search_options"] == {}
    assert NOME in chat["messages"][0]["content"]


def test_chat_fallback_with_a_plain_model_sends_no_search_options(server):
    server.expect_request(RESPONSES_PATH).respond_with_json({"error": {"message": "no"}}, status=404)
    server.expect_request(CHAT_PATH).respond_with_json(chat_body("nada encontrado"))
    assert buscar_cnpj_via_ai(NOME, "k", chat_model="modelo-local") is None
    chat = bodies(server)[1][1]
    assert chat["model"] == "modelo-local" and "web_search_options" not in chat


@pytest.mark.parametrize("status, exc", [
    (401, openai.AuthenticationError), (429, openai.RateLimitError), (500, openai.InternalServerError),
])
def test_client_errors_propagate(server, status, exc):
    server.expect_request(RESPONSES_PATH).respond_with_json({"error": {"message": "falhou"}}, status=status)
    with pytest.raises(exc):
        buscar_cnpj_via_ai(NOME, "sk-busca")
    assert [p for p, _ in bodies(server)] == [RESPONSES_PATH]  # no fallback for these


def test_explicit_base_url_wins_over_environment(server, monkeypatch):
    monkeypatch.setenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1")
    server.expect_request(RESPONSES_PATH).respond_with_json(responses_body("12.345.678/0001-99"))
    assert buscar_cnpj_via_ai(NOME, "k", base_url=server.url_for("/v1"), model="gpt-4.1") == "12.345.678/0001-99"
    assert bodies(server)[0][1]["model"] == "gpt-4.1"


def test_timeout_surfaces(server):
    import time

    def slow(request):
        time.sleep(0.6)
        return Response(json.dumps(responses_body("x")), content_type="application/json")

    server.expect_request(RESPONSES_PATH).respond_with_handler(slow)
    with pytest.raises(openai.APITimeoutError):
        buscar_cnpj_via_ai(NOME, "k", timeout=0.2)


@pytest.mark.parametrize("nome", ["", "   "])
def test_blank_name_sends_nothing(server, nome):
    assert buscar_cnpj_via_ai(nome, "sk") is None
    assert server.log == []


@pytest.mark.parametrize("args, exc, fragment", [
    ((None, "sk"), TypeError, "nome deve ser str"),
    ((NOME, None), TypeError, "openai_api_key deve ser str"),
    ((NOME, 123), TypeError, "openai_api_key deve ser str"),
    ((NOME, " "), ValueError, "openai_api_key vazia"),
])
def test_argument_checks(server, args, exc, fragment):
    with pytest.raises(exc, match=fragment):
        buscar_cnpj_via_ai(*args)
    assert server.log == []


@pytest.mark.parametrize("text, found", [
    ("a 11.222.333/0001-81 b 22.333.444/0001-92", "11.222.333/0001-81"),
    ("11222333000181", "11222333000181"),
    ("111222333000181", None),
    ("11.222.333/0001-8", None),
    (None, None),
])
def test_extrair_cnpj(text, found):
    assert extrair_cnpj(text) == found
