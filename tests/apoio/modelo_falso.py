"""The hosted model of the tests and benchmarks: an OpenAI-compatible chat
endpoint on 127.0.0.1 (pytest-httpserver) that records every request, counts
the tokens it was sent, plays the service's prompt cache, and answers each
question it finds in the request with a canned structured answer; on demand
it waits a fixed latency before each answer, answers the first requests with
a 429 and Retry-After, or refuses the key with a 401 that echoes it.

`ChatRecorder` is that endpoint, a handler for a server the test sets up with
paths of its own (`openai_server`, Azure deployments); `ModeloFalso` is the
same endpoint serving itself at `url`, answering the checker's own three
questions for the example service contract (the batch tests and benchmarks).

Token count: a documented approximation of the o200k tokenizer on Portuguese
text, one token per punctuation mark and one per started 4 letters of a word
(the usual rule of thumb of about 4 characters a token for Latin text);
images count as the service bills them in high detail (85 + 170 per 512 px
tile). Only the ratios between requests matter to the tests.
"""
from __future__ import annotations

import bisect
import json
import logging
import re
import struct
import threading
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest
from pytest_httpserver import HTTPServer
from werkzeug import Response

from lexaro import pricing

_PIECE = re.compile(r"\w+|[^\w\s]")
CACHE_MIN_TOKENS = 1024
CACHE_STEP = 128
MESSAGE_OVERHEAD = 4


def approx_tokens(text: str) -> int:
    return sum((len(p) + 3) // 4 if p[0].isalnum() or p[0] == "_" else 1 for p in _PIECE.findall(text))


def png_size(url: str) -> Tuple[int, int]:
    import base64

    raw = base64.b64decode(url.split(",", 1)[1][:64])
    return struct.unpack(">II", raw[16:24])


def request_tokens(body: Dict[str, Any]) -> int:
    """Input tokens of a chat request: messages, images (as the request's model
    bills them) and the answer schema."""
    total = 0
    for msg in body["messages"]:
        total += MESSAGE_OVERHEAD
        content = msg["content"]
        if isinstance(content, str):
            total += approx_tokens(content)
            continue
        for part in content:
            if part["type"] == "text":
                total += approx_tokens(part["text"])
            else:
                total += pricing.image_tokens(*png_size(part["image_url"]["url"]), body.get("model"))
    fmt = body.get("response_format") or {}
    if fmt.get("type") == "json_schema":
        total += approx_tokens(json.dumps(fmt["json_schema"]["schema"], ensure_ascii=False))
    return total


def completion(content, prompt_tokens=10, completion_tokens=5, model="gpt-4o-2024-08-06", finish="stop",
               refusal=None, cached_tokens=0):
    return {
        "id": "chatcmpl-9xYz",
        "object": "chat.completion",
        "created": 1718000000,
        "model": model,
        "system_fingerprint": "fp_5050236cbd",
        "choices": [{
            "index": 0,
            "message": {"role": "assistant", "content": content, "refusal": refusal},
            "logprobs": None,
            "finish_reason": finish,
        }],
        "usage": {"prompt_tokens": prompt_tokens, "completion_tokens": completion_tokens,
                  "total_tokens": prompt_tokens + completion_tokens,
                  "prompt_tokens_details": {"cached_tokens": cached_tokens, "audio_tokens": 0}},
    }


def _text_of(body: Dict[str, Any]) -> str:
    out = []
    for msg in body["messages"]:
        c = msg["content"]
        out.append(c if isinstance(c, str) else "\n".join(p.get("text", "") for p in c))
    return "\n".join(out)


def _common_prefix(a: str, b: str) -> int:
    lo, hi = 0, min(len(a), len(b))
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if a[:mid] == b[:mid]:
            lo = mid
        else:
            hi = mid - 1
    return lo


def _error(status: int, error: Dict[str, Any], headers: Optional[Dict[str, str]] = None) -> Response:
    return Response(json.dumps({"error": error}), status=status, headers=headers, content_type="application/json")


class ChatRecorder:
    """Answers every question whose system prompt the request carries.

    One question asked: its answer mapping. Several: one mapping with each
    answer under its question id (the combined request). `usage` fixes the
    billed tokens per question (per-question requests only); otherwise the
    counted tokens are billed. `latency` is slept before each answer;
    `combined_content` replaces the content of combined answers (to break them).
    The first `rate_limited` requests get a 429 with Retry-After: 1 instead;
    with `refuse_key` every request gets a 401 that names the key it carried.

    Every request is kept in `requests` and sets `received`; `sent_tokens`
    and `cached` hold one figure per answered request; `most_at_once` is the
    largest number of answers that were being prepared at the same time.
    """

    def __init__(self, system: Dict[str, str], answers: Dict[str, Any], *,
                 usage: Optional[Dict[str, Tuple[int, int]]] = None, wrap: Callable[[str], str] = lambda s: s,
                 model: Optional[str] = None, latency: float = 0.0, combined_content: Optional[str] = None,
                 rate_limited: int = 0, refuse_key: bool = False):
        self.system, self.answers, self.usage = system, answers, usage
        self.wrap, self.model, self.latency = wrap, model, latency
        self.combined_content = combined_content
        self.rate_limited, self.refuse_key = rate_limited, refuse_key
        self.received = threading.Event()
        self._lock = threading.Lock()
        self.requests: List[Tuple[Any, Dict[str, Any]]] = []
        self.sent_tokens: List[int] = []
        self.cached: List[int] = []
        self._prefixes: List[str] = []
        self._at_once = 0
        self.most_at_once = 0

    def asked(self, body: Dict[str, Any]) -> List[str]:
        text = _text_of(body)
        return [q for q, s in self.system.items() if s in text]

    def _cached_tokens(self, body: Dict[str, Any]) -> int:
        # the service caches the longest prefix seen before, from 1024 tokens, in steps of 128
        # (kept sorted: the longest prefix shared with any earlier request is shared with a neighbour)
        key = json.dumps(body["messages"], ensure_ascii=False)
        i = bisect.bisect_left(self._prefixes, key)
        best = max((_common_prefix(key, self._prefixes[j]) for j in (i - 1, i) if 0 <= j < len(self._prefixes)),
                   default=0)
        self._prefixes.insert(i, key)
        tokens = approx_tokens(key[:best])
        return 0 if tokens < CACHE_MIN_TOKENS else tokens // CACHE_STEP * CACHE_STEP

    def __call__(self, request):
        body = request.get_json()
        with self._lock:
            self.requests.append((request, body))
            n = len(self.requests)
        self.received.set()
        if self.refuse_key:
            key = request.headers.get("Authorization", "")[len("Bearer "):]
            return _error(401, {"message": f"Incorrect API key provided: {key}", "type": "invalid_request_error",
                                "code": "invalid_api_key"})
        if n <= self.rate_limited:
            return _error(429, {"message": "Rate limit reached", "type": "requests"}, {"retry-after": "1"})
        asked = self.asked(body)
        sent = request_tokens(body)
        with self._lock:
            cached = min(sent, self._cached_tokens(body))
            self.sent_tokens.append(sent)
            self.cached.append(cached)
        if len(asked) == 1:
            content = json.dumps(self.answers[asked[0]], ensure_ascii=False)
        else:
            content = json.dumps({q: self.answers[q] for q in asked}, ensure_ascii=False)
            if self.combined_content is not None:
                content = self.combined_content
        content = self.wrap(content)
        if self.usage is not None and len(asked) == 1:
            pin, pout = self.usage[asked[0]]
            cached = 0
        else:
            pin, pout = sent, approx_tokens(content)
        with self._lock:
            self._at_once += 1
            self.most_at_once = max(self.most_at_once, self._at_once)
        try:
            if self.latency:
                time.sleep(self.latency)
        finally:
            with self._lock:
                self._at_once -= 1
        answer = completion(content, pin, pout, model=self.model or body["model"], cached_tokens=cached)
        return Response(json.dumps(answer), content_type="application/json")


def iniciar_servidor() -> HTTPServer:
    """A pytest-httpserver on 127.0.0.1 (a free port), one thread per request."""
    servidor = HTTPServer(host="127.0.0.1", threaded=True)
    servidor.start()
    return servidor


@pytest.fixture(scope="module")
def openai_server() -> Iterator[HTTPServer]:
    """The module's OpenAI-compatible server: each test puts its ChatRecorder (or answers) on it."""
    server = iniciar_servidor()
    yield server
    server.clear()
    server.stop()


# The checker's three questions answered for the example service contract
# (examples/contratos/01_servicos.pdf), by question id.
RESPOSTAS: Dict[str, Any] = {
    "empresas": {"empresas": [
        {"cnpj": "10.203.040/0001-94", "razao_social": "ALFA SERVIÇOS DE TECNOLOGIA LTDA.", "nome_fantasia": None,
         "endereco": "Rua das Palmeiras, nº 120, Centro, Campinas/SP, CEP 13010-050",
         "papel_no_contrato": "contratante"}]},
    "assinaturas": {"assinaturas": [
        {"nome_signatario": "JOÃO CARLOS PEREIRA", "cargo": "Sócio Administrador", "cpf": None,
         "empresa_representada": "ALFA SERVIÇOS DE TECNOLOGIA LTDA.", "cnpj_empresa": "10.203.040/0001-94",
         "tipo_assinatura": "representante"}]},
    "dados_contrato": {"tipo_contrato": "Prestação de serviços", "objeto": "Manutenção", "data": None,
                       "vigencia": "12 meses", "valor": "R$ 8.000,00", "foro": "Campinas/SP"},
}


def perguntas_do_verificador() -> List[Any]:
    """The checker's three questions, exactly as it registers them with the engine."""
    from lexaro_contract.checker import ContractChecker

    class Captura:
        def __init__(self) -> None:
            self.perguntas: List[Any] = []

        def add_question(self, pergunta: Any) -> None:
            self.perguntas.append(pergunta)

    checker = ContractChecker(provider="local", verbose=False)
    checker._client = captura = Captura()
    checker._setup_questions()
    return captura.perguntas


def _sinonimo(nome: str) -> Any:
    return property(lambda self: getattr(self, nome), lambda self, valor: setattr(self, nome, valor))


class ModeloFalso(ChatRecorder):
    """The hosted model of the batch tests and benchmarks: the checker's
    questions answered with RESPOSTAS, served at `url` (an OpenAI base URL)
    until `fechar()`. `latencia`, `limitar` (the first requests get a 429) and
    `recusar_chave` (a 401) can be changed while it serves; `pedidos` counts
    the requests and `recebeu` is set by each one."""

    latencia = _sinonimo("latency")
    limitar = _sinonimo("rate_limited")
    recusar_chave = _sinonimo("refuse_key")
    recebeu = _sinonimo("received")

    def __init__(self, latencia: float = 0.0, limitar: int = 0, recusar_chave: bool = False):
        super().__init__({q.id: q.system_prompt for q in perguntas_do_verificador()}, RESPOSTAS,
                         latency=latencia, rate_limited=limitar, refuse_key=recusar_chave)
        logging.getLogger("werkzeug").setLevel(logging.ERROR)  # no line per request
        self.servidor = iniciar_servidor()
        self.servidor.expect_request("/v1/chat/completions", method="POST").respond_with_handler(self)
        self.url = self.servidor.url_for("/v1")

    @property
    def pedidos(self) -> int:
        return len(self.requests)

    def fechar(self) -> None:
        self.servidor.clear()
        self.servidor.stop()
