"""OpenAI and Azure OpenAI providers: the real official client against an
OpenAI-compatible server played by pytest-httpserver on 127.0.0.1."""
import json
import re
import time

import openai
import pydantic
import pytest
from werkzeug import Response

import lexaro
from contract_pdfs import SAMPLES, make_contract_pdf, make_long_contract_pdf
from lexaro import pricing
from lexaro.providers.openai_provider import (
    DOCUMENT_PREAMBLE,
    DOCUMENT_REFERENCE,
    azure_supports_structured_outputs,
    combined_json_schema,
    strict_json_schema,
)
from modelo_falso import ChatRecorder, completion
from lexaro_contract.models import ExtracaoAssinaturas, ExtracaoDadosContrato, ExtracaoEmpresas

SYSTEM = {
    "empresas": "Você é um especialista em análise de contratos brasileiros.\nExtraia TODAS as empresas.",
    "assinaturas": "Você é um especialista em análise de contratos.\nExtraia TODAS as pessoas físicas.",
    "dados_contrato": "Você é um especialista em análise de contratos.\nExtraia os dados gerais do contrato.",
}
USER = {
    "empresas": "Analise o contrato e extraia todas as empresas:\n\n{texto}\n\nPara cada empresa extraia: CNPJ.",
    "assinaturas": "Extraia todas as pessoas físicas:\n\n{texto}\n\nPara cada pessoa extraia: nome completo.",
    "dados_contrato": "Extraia os dados gerais do contrato:\n\n{texto}\n\nExtraia: tipo de contrato, foro.",
}
MODELS = {"empresas": ExtracaoEmpresas, "assinaturas": ExtracaoAssinaturas, "dados_contrato": ExtracaoDadosContrato}
KEYWORDS = {
    "empresas": ["cnpj", "contratante", "contratada", "inscrita", "razão social", "ltda", "s/a"],
    "assinaturas": ["assinatura", "assinado", "certificado", "representante", "testemunha", "cpf"],
    "dados_contrato": ["contrato", "objeto", "vigência", "valor", "cláusula", "foro"],
}
SAMPLE = SAMPLES["servicos"]
ANSWERS = {
    "empresas": {"empresas": SAMPLE.empresas},
    "assinaturas": {"assinaturas": SAMPLE.assinaturas},
    "dados_contrato": SAMPLE.dados,
}
USAGE = {"empresas": (1000, 200), "assinaturas": (1500, 300), "dados_contrato": (800, 100)}
CHAT_PATH = "/v1/chat/completions"


def question(qid):
    return lexaro.Question(
        config=lexaro.QuestionConfig(id=qid, name=qid.title(), tag=qid),
        system_prompt=SYSTEM[qid],
        user_prompt=USER[qid],
        keywords=list(KEYWORDS[qid]),
        response_model=MODELS[qid],
    )


def qid_of(body):
    """Which single question a request is about, from its prompts."""
    (q,) = ChatRecorder(SYSTEM, ANSWERS).asked(body)
    return q


def Recorder(**kw):
    """Answers each question with its expected mapping and keeps the requests."""
    kw.setdefault("usage", USAGE)
    return ChatRecorder(SYSTEM, ANSWERS, **kw)


def document_messages(text):
    return [{"role": "system", "content": DOCUMENT_PREAMBLE}, {"role": "user", "content": "DOCUMENTO:\n\n" + text}]


@pytest.fixture(scope="module")
def pdf(tmp_path_factory):
    return make_contract_pdf(tmp_path_factory.mktemp("pdf") / "servicos.pdf", SAMPLE.text)


@pytest.fixture
def no_env(monkeypatch):
    for var in ("OPENAI_API_KEY", "OPENAI_BASE_URL", "AZURE_OPENAI_ENDPOINT", "AZURE_OPENAI_API_KEY",
                "OPENAI_API_VERSION"):
        monkeypatch.delenv(var, raising=False)


def openai_client(server, **kw):
    kw.setdefault("max_retries", 0)
    return lexaro.Lexaro(provider="openai", api_key="sk-teste-123", base_url=server.url_for("/v1"),
                         api_token=None, model=kw.pop("model", "gpt-4o"), **kw)


def azure_client(server, **kw):
    kw.setdefault("max_retries", 0)
    return lexaro.Lexaro(provider="azure", api_key="az-chave", azure_endpoint=server.url_for("/").rstrip("/"),
                         azure_deployment="contratos-gpt4o", api_token=None, **kw)


def with_questions(client, ids=("empresas", "assinaturas", "dados_contrato")):
    for q in ids:
        client.add_question(question(q))
    return client


def assert_strict(schema):
    if isinstance(schema, dict):
        assert "default" not in schema
        if "$ref" in schema:
            assert len(schema) == 1
        if schema.get("type") == "object":
            assert schema["additionalProperties"] is False
            assert schema["required"] == list(schema["properties"])
        for v in schema.values():
            assert_strict(v)
    elif isinstance(schema, list):
        for v in schema:
            assert_strict(v)


# --- OpenAI --------------------------------------------------------------


def test_openai_per_question_requests_parsing_usage_and_cost(server, pdf, no_env, capsys):
    rec = Recorder()
    server.expect_request(CHAT_PATH, method="POST").respond_with_handler(rec)
    doc = with_questions(openai_client(server, combine_questions=False)).process(str(pdf))
    server.check_assertions()

    text = lexaro.join_pages(lexaro.read_pdf_pages(pdf))
    assert [qid_of(b) for _, b in rec.requests] == ["empresas", "assinaturas", "dados_contrato"]
    for request, body in rec.requests:
        q = qid_of(body)
        assert request.headers["Authorization"] == "Bearer sk-teste-123"
        assert body["model"] == "gpt-4o"
        # the document first, the same for every question, so the service's prompt cache applies
        assert body["messages"] == document_messages(text) + [
            {"role": "system", "content": SYSTEM[q]},
            {"role": "user", "content": USER[q].replace("{texto}", DOCUMENT_REFERENCE)},
        ]
        fmt = body["response_format"]
        assert fmt["type"] == "json_schema"
        assert fmt["json_schema"]["name"] == MODELS[q].__name__
        assert fmt["json_schema"]["strict"] is True
        assert fmt["json_schema"]["schema"] == strict_json_schema(MODELS[q])
        assert_strict(fmt["json_schema"]["schema"])

    for q in MODELS:
        res = doc.get_result(q)
        assert res.raw_result == ANSWERS[q]
        assert isinstance(res.result, MODELS[q])
        pin, pout = USAGE[q]
        assert res.metrics.tokens == pin + pout
        assert res.metrics.cost_usd == pytest.approx(pin * 2.5e-6 + pout * 10e-6)
    assert doc.get_result("outra") is None
    m = doc.total_metrics
    assert m.tokens == sum(a + b for a, b in USAGE.values()) == 3900
    assert m.cost_usd == pytest.approx(3300 * 2.5e-6 + 600 * 10e-6)
    assert m.time_seconds > 0
    assert capsys.readouterr().out == ""


def test_client_closes_its_connections(server, pdf, no_env):
    server.expect_request(CHAT_PATH).respond_with_handler(Recorder())
    with with_questions(openai_client(server), ["dados_contrato"]) as client:
        client.process(pdf)
    assert client._provider.client.is_closed()


def test_openai_base_url_from_environment(server, pdf, no_env, monkeypatch):
    monkeypatch.setenv("OPENAI_BASE_URL", server.url_for("/v1"))
    monkeypatch.setenv("OPENAI_API_KEY", "sk-do-ambiente")
    rec = Recorder()
    server.expect_request(CHAT_PATH, method="POST").respond_with_handler(rec)
    client = with_questions(lexaro.Lexaro(provider="openai", max_retries=0), ["dados_contrato"])
    assert client.process(pdf).get_result("dados_contrato").raw_result == SAMPLE.dados
    assert rec.requests[0][0].headers["Authorization"] == "Bearer sk-do-ambiente"


def test_openai_without_any_key_fails_in_the_constructor(no_env):
    with pytest.raises(openai.OpenAIError):
        lexaro.Lexaro(provider="openai", api_key=None, base_url=None, api_token=None)


def test_unknown_model_costs_zero_and_says_so(server, pdf, no_env, capsys):
    server.expect_request(CHAT_PATH).respond_with_handler(Recorder())
    client = with_questions(openai_client(server, model="modelo-local-7b", verbose=True), ["dados_contrato"])
    doc = client.process(pdf)
    assert doc.total_metrics.tokens == 900 and doc.total_metrics.cost_usd == 0.0
    out = capsys.readouterr().out
    assert "fora da tabela de preços" in out and "Lendo PDF: servicos.pdf" in out and "📊 Total: 900 tokens" in out


def test_price_falls_back_to_the_model_the_server_reports(server, pdf, no_env):
    # an Azure deployment alias is not a model name; the answer says which model ran
    server.expect_request(CHAT_PATH).respond_with_handler(Recorder(model="gpt-4o-mini-2024-07-18"))
    client = with_questions(openai_client(server, model="meu-alias"), ["dados_contrato"])
    assert client.process(pdf).total_metrics.cost_usd == pytest.approx(800 * 0.15e-6 + 100 * 0.6e-6)


# --- Azure ---------------------------------------------------------------


def test_azure_recent_version_uses_structured_outputs(server, pdf, no_env):
    rec = Recorder()
    server.expect_request("/openai/deployments/contratos-gpt4o/chat/completions", method="POST",
                          query_string={"api-version": "2024-08-01-preview"}).respond_with_handler(rec)
    doc = with_questions(azure_client(server, api_version="2024-08-01-preview")).process(pdf)
    server.check_assertions()
    request, body = rec.requests[0]
    assert request.headers["api-key"] == "az-chave"
    assert body["response_format"]["type"] == "json_schema"
    assert doc.get_result("empresas").raw_result == ANSWERS["empresas"]


@pytest.mark.parametrize("api_version", [None, "2024-02-15-preview", "2024-06-01"])
def test_azure_old_version_uses_json_mode_with_schema_in_prompt(server, pdf, no_env, api_version):
    # the models of old versions often wrap JSON in a code fence
    rec = Recorder(wrap=lambda s: "```json\n" + s + "\n```")
    expected_version = api_version or "2024-02-15-preview"
    server.expect_request("/openai/deployments/contratos-gpt4o/chat/completions", method="POST",
                          query_string={"api-version": expected_version}).respond_with_handler(rec)
    doc = with_questions(azure_client(server, api_version=api_version, combine_questions=False)).process(pdf)
    server.check_assertions()
    for _, body in rec.requests:
        q = qid_of(body)
        assert body["response_format"] == {"type": "json_object"}
        system = body["messages"][2]["content"]
        schema_text = system.split("JSON Schema:\n", 1)[1]
        assert json.loads(schema_text) == strict_json_schema(MODELS[q])
        assert "JSON" in system
    assert doc.get_result("assinaturas").raw_result == ANSWERS["assinaturas"]
    assert doc.get_result("dados_contrato").raw_result == SAMPLE.dados


@pytest.mark.parametrize("version, structured", [
    ("2024-02-15-preview", False), ("2024-06-01", False), ("2024-07-01-preview", False),
    ("2024-08-01-preview", True), ("2024-10-21", True), ("2025-01-01-preview", True), ("", False),
])
def test_azure_version_threshold(version, structured):
    assert azure_supports_structured_outputs(version) is structured


# --- failures ------------------------------------------------------------


@pytest.mark.parametrize("status, exc, message", [
    (401, openai.AuthenticationError, "Incorrect API key provided"),
    (429, openai.RateLimitError, "Rate limit reached for gpt-4o"),
    (500, openai.InternalServerError, "The server had an error"),
])
def test_http_errors_surface_as_client_exceptions(server, pdf, no_env, status, exc, message, capsys):
    err = {"error": {"message": message, "type": "invalid_request_error", "param": None, "code": None}}
    server.expect_request(CHAT_PATH).respond_with_json(err, status=status)
    client = with_questions(openai_client(server), ["empresas"])
    with pytest.raises(exc) as info:
        client.process(pdf)
    assert info.value.status_code == status and message in str(info.value)
    assert len(server.log) == 1  # max_retries=0: one request only
    assert capsys.readouterr().out == ""


def test_retries_are_configurable(server, pdf, no_env):
    server.expect_request(CHAT_PATH).respond_with_json({"error": {"message": "busy"}}, status=500)
    client = with_questions(openai_client(server, max_retries=1), ["empresas"])
    with pytest.raises(openai.InternalServerError):
        client.process(pdf)
    assert len(server.log) == 2


def test_timeout_surfaces_as_client_exception(server, pdf, no_env):
    def slow(request):
        time.sleep(2.0)
        return Response(json.dumps(completion("{}")), content_type="application/json")

    server.expect_request(CHAT_PATH).respond_with_handler(slow)
    client = with_questions(openai_client(server, timeout=0.2), ["dados_contrato"])
    start = time.monotonic()
    with pytest.raises(openai.APITimeoutError):
        client.process(pdf)
    assert time.monotonic() - start < 1.5  # 0.2 s, far from the 2 s a missed deadline waits


@pytest.mark.parametrize("endpoint", ["https://...", "not a url", "http://", "ftp://recurso.openai.azure.com",
                                      "https://a..b", "https://recurso:porta", ""])
def test_unusable_azure_endpoint_fails_in_the_constructor(no_env, endpoint):
    with pytest.raises(lexaro.ConfigurationError) as info:
        lexaro.Lexaro(provider="azure", api_key="k", azure_endpoint=endpoint, azure_deployment="gpt-4o")
    assert str(info.value) == f"endpoint do Azure inválido: {endpoint!r}"


def test_unreachable_endpoint(pdf, no_env):
    client = with_questions(lexaro.Lexaro(provider="openai", api_key="k", base_url="http://127.0.0.1:9/v1",
                                          max_retries=0), ["empresas"])
    with pytest.raises(openai.APIConnectionError):
        client.process(pdf)


@pytest.mark.parametrize("content, finish, refusal, exc, fragment", [
    ('{"empresas": "não é lista"}', "stop", None, pydantic.ValidationError, "empresas"),
    ("isto não é JSON", "stop", None, pydantic.ValidationError, "Invalid JSON"),
    (None, "stop", "Não posso ajudar com isso.", lexaro.AnswerError, "recusou"),
    ('{"empresas": [{"cnpj": "1', "length", None, lexaro.AnswerError, "truncada"),
    ("", "stop", None, lexaro.AnswerError, "vazia"),
])
def test_unusable_answers(server, pdf, no_env, content, finish, refusal, exc, fragment):
    server.expect_request(CHAT_PATH).respond_with_json(completion(content, finish=finish, refusal=refusal))
    client = with_questions(openai_client(server), ["empresas"])
    with pytest.raises(exc, match=fragment):
        client.process(pdf)


# --- long documents ------------------------------------------------------


def test_long_document_sends_cue_word_passages_first(server, no_env, tmp_path, capsys):
    path = make_long_contract_pdf(tmp_path / "longo.pdf", pages=10)
    text = lexaro.join_pages(lexaro.read_pdf_pages(path))
    rec = Recorder()
    server.expect_request(CHAT_PATH).respond_with_handler(rec)
    budget = 6000
    client = with_questions(openai_client(server, max_input_chars=budget, verbose=True), ["empresas", "dados_contrato"])
    doc = client.process(path)
    out = capsys.readouterr().out
    # a document cut to fit goes one question per request, each with its own passages
    assert out.count("Documento longo") == 3 and f"limite de {budget}" in out
    assert "uma requisição por pergunta" in out
    assert len(text) > 5 * budget
    assert len(rec.requests) == 2
    for _, body in rec.requests:
        q = qid_of(body)
        sent = body["messages"][1]["content"][len("DOCUMENTO:\n\n"):]
        assert len(sent) <= budget and "[...]" in sent
        if q == "empresas":  # the qualification paragraphs hold the cue words
            assert "12.345.678/0001-99" in sent and "98.765.432/0001-10" in sent
        else:
            assert "Comarca de São Paulo/SP" in sent and "R$ 15.000,00" in sent
    assert doc.get_result("empresas").truncated is True


def test_short_document_is_sent_whole(server, pdf, no_env):
    rec = Recorder()
    server.expect_request(CHAT_PATH).respond_with_handler(rec)
    doc = with_questions(openai_client(server, max_input_chars=100_000), ["empresas"]).process(pdf)
    assert "[...]" not in rec.requests[0][1]["messages"][1]["content"]
    assert rec.requests[0][1]["messages"][1]["content"].endswith("CPF: 555.666.777-88")
    assert doc.get_result("empresas").truncated is False


# --- price table and schema ----------------------------------------------


@pytest.mark.parametrize("model, row", [
    ("gpt-4o", "gpt-4o"), ("gpt-4o-2024-08-06", "gpt-4o"), ("gpt-4o-mini", "gpt-4o-mini"),
    ("gpt-4o-mini-2024-07-18", "gpt-4o-mini"), ("GPT-4.1-mini", "gpt-4.1-mini"), ("gpt-4-turbo-2024-04-09",
                                                                                 "gpt-4-turbo"),
    ("o3-mini", "o3-mini"), ("gpt-4oo", None), ("llama3", None), ("", None),
])
def test_price_table_lookup(model, row):
    assert pricing.model_info(model) == (pricing.MODEL_TABLE[row] if row else None)


def test_cost_formula():
    assert pricing.cost_usd("gpt-4o-mini", 1_000_000, 1_000_000) == pytest.approx(0.75)
    assert pricing.cost_usd("nenhum", 10, 10) is None


@pytest.mark.parametrize("model", [ExtracaoEmpresas, ExtracaoAssinaturas, ExtracaoDadosContrato])
def test_strict_schema_shape(model):
    schema = strict_json_schema(model)
    assert_strict(schema)
    fields = set(model.model_fields)
    assert set(schema["properties"]) == fields


# --- one request per document --------------------------------------------


def test_one_request_answers_every_question(server, pdf, no_env, capsys):
    rec = Recorder(usage=None)
    server.expect_request(CHAT_PATH, method="POST").respond_with_handler(rec)
    questions = [question(q) for q in MODELS]
    doc = with_questions(openai_client(server, verbose=True)).process(pdf)
    assert "Uma requisição para 3 perguntas" in capsys.readouterr().out

    (request, body), = rec.requests
    text = lexaro.join_pages(lexaro.read_pdf_pages(pdf))
    assert body["messages"][:2] == document_messages(text)
    instructions = body["messages"][2]["content"]
    for q in MODELS:  # every question's own instructions, in registration order, after the document
        assert f"{SYSTEM[q]}\n\n{USER[q].replace('{texto}', DOCUMENT_REFERENCE)}" in instructions
    assert instructions.index(SYSTEM["empresas"]) < instructions.index(SYSTEM["dados_contrato"])
    fmt = body["response_format"]["json_schema"]
    assert fmt["strict"] is True and fmt["schema"] == combined_json_schema(questions)
    assert_strict(fmt["schema"])
    assert list(fmt["schema"]["properties"]) == list(MODELS)
    for ref in {r for r in json.dumps(fmt["schema"]).split('"$ref": "')[1:]}:
        assert ref.split('"')[0].removeprefix("#/$defs/") in fmt["schema"]["$defs"]

    for q in MODELS:  # the checker's view is unchanged
        res = doc.get_result(q)
        assert res.raw_result == ANSWERS[q] and isinstance(res.result, MODELS[q]) and not res.truncated
    m = doc.total_metrics
    per = [doc.get_result(q).metrics for q in MODELS]
    assert m.input_tokens == sum(p.input_tokens for p in per) == rec.sent_tokens[0]
    assert m.tokens == sum(p.tokens for p in per) == rec.sent_tokens[0] + m.output_tokens
    assert all(p.input_tokens > 0 and p.output_tokens > 0 for p in per)
    assert m.cost_usd == pytest.approx(pricing.cost_usd("gpt-4o", m.input_tokens, m.output_tokens))
    assert sum(p.cost_usd for p in per) == pytest.approx(m.cost_usd)


@pytest.mark.parametrize("broken", [
    '{"empresas": {"empresas": []}, "assinaturas": {"assinaturas": []}}',  # a question missing
    '{"empresas": {"empresas": "não é lista"}, "assinaturas": {"assinaturas": []}, "dados_contrato": {}}',
    "não é JSON",
])
def test_combined_answer_that_fails_validation_falls_back_per_question(server, no_env, tmp_path, capsys, broken):
    path = make_long_contract_pdf(tmp_path / "tres.pdf", pages=3)  # long enough for the prompt cache
    rec = Recorder(usage=None, combined_content=broken)
    server.expect_request(CHAT_PATH).respond_with_handler(rec)
    doc = with_questions(openai_client(server, verbose=True)).process(path)
    out = capsys.readouterr().out
    assert "Resposta combinada inválida" in out and "uma requisição por pergunta" in out
    assert [len(rec.asked(b)) for _, b in rec.requests] == [3, 1, 1, 1]
    for q in MODELS:
        assert doc.get_result(q).raw_result == ANSWERS[q]
    # the failed attempt was billed too; the per-question requests reuse its cached document prefix
    assert rec.cached[0] == 0 and all(c >= 1024 for c in rec.cached[1:])
    m = doc.total_metrics
    assert m.input_tokens == sum(rec.sent_tokens) and m.cached_input_tokens == sum(rec.cached)
    billed = sum(pricing.cost_usd("gpt-4o", t, 0, c) for t, c in zip(rec.sent_tokens, rec.cached))
    assert m.cost_usd == pytest.approx(billed + m.output_tokens * 10e-6)


def test_cached_input_tokens_have_their_own_price():
    assert pricing.cost_usd("gpt-4o", 1000, 10, cached_input_tokens=400) == pytest.approx(
        (600 * 2.5 + 400 * 1.25 + 10 * 10) / 1e6)
    assert pricing.cost_usd("gpt-4", 1000, 0, cached_input_tokens=400) == pytest.approx(1000 * 30 / 1e6)
    assert pricing.cost_usd("gpt-4o", 100, 0, cached_input_tokens=500) == pytest.approx(100 * 1.25 / 1e6)
    assert re.fullmatch(r"\d{4}-\d{2}-\d{2}", pricing.PRICES_CHECKED)


def test_combined_request_in_json_mode_for_old_azure_versions(server, pdf, no_env):
    rec = Recorder(usage=None, wrap=lambda s: "```json\n" + s + "\n```")
    server.expect_request("/openai/deployments/contratos-gpt4o/chat/completions").respond_with_handler(rec)
    doc = with_questions(azure_client(server, api_version="2024-06-01")).process(pdf)
    (_, body), = rec.requests
    assert body["response_format"] == {"type": "json_object"}
    schema_text = body["messages"][2]["content"].split("JSON Schema:\n", 1)[1]
    assert json.loads(schema_text) == combined_json_schema([question(q) for q in MODELS])
    assert {q: doc.get_result(q).raw_result for q in MODELS} == ANSWERS


def test_per_question_mode_from_the_environment(server, pdf, no_env, monkeypatch):
    monkeypatch.setenv("LEXARO_COMBINE_QUESTIONS", "0")
    rec = Recorder()
    server.expect_request(CHAT_PATH).respond_with_handler(rec)
    with_questions(openai_client(server)).process(pdf)
    assert [qid_of(b) for _, b in rec.requests] == list(MODELS)
