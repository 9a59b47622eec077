"""Provedores OpenAI e Azure OpenAI, pelo cliente oficial `openai`.

Um documento, uma requisição: todas as perguntas registradas vão juntas,
com um esquema estrito que guarda a resposta de cada pergunta sob o seu id
e as instruções de cada uma no prompt; a resposta é separada de volta nas
respostas por pergunta, validadas pelo modelo pydantic de cada uma. Quando
a resposta combinada não se valida, ou quando o documento teve de ser
cortado para caber no contexto (cada pergunta escolhe os seus trechos pelas
palavras-chave), o motor volta a uma requisição por pergunta.

Toda requisição começa pelo mesmo prefixo (instrução fixa e documento) e
termina com as instruções: o cache de prompts do serviço cobra o documento
pela metade (ou menos) a partir da segunda requisição sobre ele.

A resposta é pedida com saída estruturada (response_format json_schema).
Versões da API do Azure anteriores a 2024-08-01-preview recusam esse
formato com HTTP 400; com elas o pedido vai em modo JSON, com o esquema no
prompt do sistema, e a resposta é validada pelo mesmo modelo.

Páginas digitalizadas chegam como imagens PNG (detail alto, ~1.100 tokens
por A4) para os modelos com visão.
"""

from __future__ import annotations

import base64
import copy
import json
import re
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Type, Union

from pydantic import BaseModel, ValidationError

from .. import pricing
from ..constantes import DEFAULT_AZURE_API_VERSION as DEFAULT_AZURE_API_VERSION  # re-exported
from ..errors import AnswerError
from ..passages import select_passages
from ..questions import Question
from ..results import Metrics
from .base import DocumentInput, PageImage, ProviderAnswer

STRUCTURED_OUTPUTS_MIN_AZURE_VERSION = "2024-08-01"

# Orçamento de texto: tokens de contexto menos a reserva da resposta, a
# cerca de 3 caracteres por token (estimativa conservadora para português).
OUTPUT_RESERVE_TOKENS = 8_192
CHARS_PER_TOKEN = 3

DOCUMENT_PREAMBLE = (
    "Você analisa documentos (contratos brasileiros). A próxima mensagem traz o documento inteiro; "
    "as instruções de extração vêm depois dele. Use somente o que está no documento."
)
DOCUMENT_HEADER = "DOCUMENTO:\n\n"
# o lugar do "{texto}" nos prompts das perguntas: o documento já foi enviado
DOCUMENT_REFERENCE = "[o documento está na mensagem anterior]"
COMBINED_SCHEMA_NAME = "respostas"
COMBINED_HEADER = (
    "Responda a todas as perguntas abaixo sobre o documento. A resposta de cada pergunta vai "
    "no objeto JSON sob a chave da pergunta (o id entre crases), no formato do esquema."
)

JSON_MODE_INSTRUCTION = (
    "\n\nResponda somente com um objeto JSON válido, sem texto fora do JSON, "
    "que siga exatamente este JSON Schema:\n"
)


def azure_supports_structured_outputs(api_version: Optional[str]) -> bool:
    """True para versões da API do Azure a partir de 2024-08-01(-preview)."""
    if not api_version:
        return False
    m = re.match(r"^(\d{4})-(\d{2})-(\d{2})", api_version)
    if not m:
        return True  # formato desconhecido (ex.: "latest"): assume uma versão atual
    return "-".join(m.groups()) >= STRUCTURED_OUTPUTS_MIN_AZURE_VERSION


def _resolve_refs(node: Any, defs: Dict[str, Any]) -> Any:
    if isinstance(node, dict):
        if "$ref" in node and len(node) > 1:
            # o modo estrito não aceita $ref com chaves irmãs: expande a referência
            name = node["$ref"].rsplit("/", 1)[-1]
            merged = dict(copy.deepcopy(defs[name]))
            merged.update({k: v for k, v in node.items() if k != "$ref"})
            node = merged
        return {k: _resolve_refs(v, defs) for k, v in node.items()}
    if isinstance(node, list):
        return [_resolve_refs(v, defs) for v in node]
    return node


def _strictify(node: Any) -> Any:
    if isinstance(node, dict):
        node = {k: _strictify(v) for k, v in node.items() if k != "default"}
        if node.get("type") == "object" or "properties" in node:
            props = node.get("properties", {})
            node["properties"] = props
            node["required"] = list(props)
            node["additionalProperties"] = False
        return node
    if isinstance(node, list):
        return [_strictify(v) for v in node]
    return node


def strict_json_schema(model: Type[BaseModel]) -> Dict[str, Any]:
    """Esquema JSON do modelo no formato exigido pelas saídas estruturadas estritas."""
    schema = model.model_json_schema()
    defs = schema.get("$defs", {})
    schema = _resolve_refs(schema, defs)
    strict: Dict[str, Any] = _strictify(schema)
    return strict


def _schema_name(model: Type[BaseModel]) -> str:
    return re.sub(r"[^A-Za-z0-9_-]", "_", model.__name__)[:64] or "resposta"


def _strip_fences(content: str) -> str:
    s = content.strip()
    if s.startswith("```"):
        s = re.sub(r"^```[A-Za-z]*\s*", "", s)
        s = re.sub(r"\s*```$", "", s)
    return s



def _rename_refs(node: Any, prefix: str) -> Any:
    if isinstance(node, dict):
        out = {k: _rename_refs(v, prefix) for k, v in node.items()}
        ref = out.get("$ref")
        if isinstance(ref, str) and ref.startswith("#/$defs/"):
            out["$ref"] = "#/$defs/" + prefix + ref[len("#/$defs/"):]
        return out
    if isinstance(node, list):
        return [_rename_refs(v, prefix) for v in node]
    return node


def combined_json_schema(questions: Sequence[Question]) -> Dict[str, Any]:
    """Um esquema estrito com a resposta de cada pergunta sob o seu id.

    As definições ($defs) de cada pergunta sobem para a raiz com o prefixo
    da posição da pergunta, para que dois modelos com uma classe de mesmo
    nome não se confundam.
    """
    props: Dict[str, Any] = {}
    defs: Dict[str, Any] = {}
    for i, q in enumerate(questions):
        prefix = f"q{i}_"
        schema = strict_json_schema(q.response_model)
        for name, sub in schema.pop("$defs", {}).items():
            defs[prefix + name] = _rename_refs(sub, prefix)
        schema = _rename_refs(schema, prefix)
        if q.config.name:
            schema["description"] = q.config.name
        props[q.id] = schema
    combined: Dict[str, Any] = {
        "type": "object",
        "properties": props,
        "required": list(props),
        "additionalProperties": False,
    }
    if defs:
        combined["$defs"] = defs
    return combined


def combined_instructions(questions: Sequence[Question]) -> str:
    """As instruções de todas as perguntas, cada uma sob o seu id."""
    parts = [COMBINED_HEADER]
    for q in questions:
        title = f"### Pergunta `{q.id}`" + (f" ({q.config.name})" if q.config.name else "")
        parts.append(f"{title}\n{q.system_prompt}\n\n{q.render_user_prompt(DOCUMENT_REFERENCE)}")
    return "\n\n".join(parts)


def split_tokens(total: int, weights: Sequence[float]) -> List[int]:
    """Divide `total` na proporção de `weights` em inteiros que somam `total`
    (maiores restos)."""
    if not weights:
        return []
    wsum = float(sum(weights))
    if wsum <= 0:
        weights, wsum = [1.0] * len(weights), float(len(weights))
    exact = [total * w / wsum for w in weights]
    parts = [int(x) for x in exact]
    rest = total - sum(parts)
    for i in sorted(range(len(exact)), key=lambda i: -(exact[i] - parts[i]))[:rest]:
        parts[i] += 1
    return parts


def _as_document(document: Union[str, DocumentInput]) -> DocumentInput:
    return document if isinstance(document, DocumentInput) else DocumentInput(document)


class _Usage:
    """Consumo de uma requisição, como faturado."""

    def __init__(self, tin: int, tout: int, cached: int, total: int, cost: float, seconds: float) -> None:
        self.tin, self.tout, self.cached, self.total, self.cost, self.seconds = tin, tout, cached, total, cost, seconds

    def share(self, tin: int, tout: int, cached: int, fraction: float) -> Metrics:
        return Metrics(tokens=tin + tout, cost_usd=self.cost * fraction, time_seconds=self.seconds * fraction,
                       input_tokens=tin, output_tokens=tout, cached_input_tokens=cached)

    def split(self, in_weights: Sequence[float], out_weights: Sequence[float]) -> List[Metrics]:
        tins = split_tokens(self.tin, in_weights)
        touts = split_tokens(self.tout, out_weights)
        cacheds = split_tokens(self.cached, in_weights)
        billed = [a + b for a, b in zip(tins, touts)]
        whole = sum(billed) or 1
        return [self.share(a, b, c, t / whole) for a, b, c, t in zip(tins, touts, cacheds, billed)]


class _BilledAnswerError(AnswerError):
    """Resposta inutilizável de uma requisição que foi cobrada."""

    def __init__(self, message: str, usage: _Usage) -> None:
        super().__init__(message)
        self.usage = usage


class OpenAIProvider:
    """Pergunta a um modelo da OpenAI (ou de um servidor compatível, ou do Azure)."""

    def __init__(
        self,
        client: Any,
        model: str,
        *,
        name: str = "openai",
        structured_outputs: bool = True,
        max_input_chars: Optional[int] = None,
        combine: bool = True,
        log: Optional[Callable[[str], None]] = None,
    ) -> None:
        self.client = client
        self.model = model
        self.name = name
        self.structured_outputs = structured_outputs
        self.max_input_chars = max_input_chars
        self.combine = combine
        self._log: Callable[[str], None] = log or (lambda msg: None)
        self._warned_price = False

    def supports(self, question: Question) -> bool:
        return True

    @property
    def vision(self) -> bool:
        return pricing.supports_vision(self.model)

    # -- orçamento ----------------------------------------------------------

    def _budget(self, prompt_chars: int, images: Sequence[PageImage]) -> int:
        if self.max_input_chars is not None:
            return self.max_input_chars
        image_tokens = sum(pricing.image_tokens(img.width, img.height, self.model) for img in images)
        tokens = pricing.context_tokens(self.model) - OUTPUT_RESERVE_TOKENS - image_tokens
        return max(1_000, tokens * CHARS_PER_TOKEN - prompt_chars - len(DOCUMENT_PREAMBLE))

    def budget_chars(self, question: Question, images: Sequence[PageImage] = ()) -> int:
        return self._budget(len(question.system_prompt) + len(question.user_prompt), images)

    # -- requisições --------------------------------------------------------

    def _document_messages(self, doc: DocumentInput) -> List[Dict[str, Any]]:
        content: Union[str, List[Dict[str, Any]]] = DOCUMENT_HEADER + doc.text
        if doc.images:
            parts: List[Dict[str, Any]] = [{"type": "text", "text": DOCUMENT_HEADER + doc.text}]
            for img in doc.images:
                url = "data:image/png;base64," + base64.b64encode(img.png).decode("ascii")
                parts.append({"type": "text", "text": f"[imagem da página {img.number}]"})
                parts.append({"type": "image_url", "image_url": {"url": url, "detail": pricing.IMAGE_DETAIL}})
            content = parts
        return [{"role": "system", "content": DOCUMENT_PREAMBLE}, {"role": "user", "content": content}]

    def _format(self, schema: Dict[str, Any], name: str, instructions: str) -> Tuple[Dict[str, Any], str]:
        if self.structured_outputs:
            return ({"type": "json_schema", "json_schema": {"name": name, "schema": schema, "strict": True}},
                    instructions)
        return {"type": "json_object"}, instructions + JSON_MODE_INSTRUCTION + json.dumps(schema, ensure_ascii=False)

    def build_request(self, question: Question, document: Union[str, DocumentInput]) -> Dict[str, Any]:
        """Parâmetros de chat.completions.create para uma pergunta: o documento
        primeiro, a pergunta depois."""
        doc = _as_document(document)
        response_format, system = self._format(strict_json_schema(question.response_model),
                                               _schema_name(question.response_model), question.system_prompt)
        return {
            "model": self.model,
            "messages": self._document_messages(doc) + [
                {"role": "system", "content": system},
                {"role": "user", "content": question.render_user_prompt(DOCUMENT_REFERENCE)},
            ],
            "response_format": response_format,
        }

    def build_combined_request(self, questions: Sequence[Question],
                               document: Union[str, DocumentInput]) -> Dict[str, Any]:
        """Parâmetros de chat.completions.create para todas as perguntas de uma vez."""
        doc = _as_document(document)
        response_format, system = self._format(combined_json_schema(questions), COMBINED_SCHEMA_NAME,
                                               combined_instructions(questions))
        return {
            "model": self.model,
            "messages": self._document_messages(doc) + [{"role": "system", "content": system}],
            "response_format": response_format,
        }

    def _complete(self, request: Dict[str, Any], label: str) -> Tuple[str, _Usage]:
        t0 = time.perf_counter()
        completion = self.client.chat.completions.create(**request)
        usage = self._usage(completion, time.perf_counter() - t0)
        if not completion.choices:
            raise _BilledAnswerError(f"Resposta sem conteúdo para {label}", usage)
        choice = completion.choices[0]
        message = choice.message
        refusal = getattr(message, "refusal", None)
        if refusal:
            raise _BilledAnswerError(f"O modelo recusou {label}: {refusal}", usage)
        if choice.finish_reason == "length":
            raise _BilledAnswerError(f"Resposta truncada para {label} (limite de tokens de saída atingido)", usage)
        content = message.content
        if not content:
            raise _BilledAnswerError(f"Resposta vazia para {label}", usage)
        return _strip_fences(content), usage

    def _usage(self, completion: Any, seconds: float) -> _Usage:
        usage = getattr(completion, "usage", None)
        tin = int(getattr(usage, "prompt_tokens", 0) or 0) if usage else 0
        tout = int(getattr(usage, "completion_tokens", 0) or 0) if usage else 0
        total = int(getattr(usage, "total_tokens", 0) or 0) if usage else 0
        details = getattr(usage, "prompt_tokens_details", None) if usage else None
        cached = int(getattr(details, "cached_tokens", 0) or 0) if details else 0
        cost = pricing.cost_usd(self.model, tin, tout, cached)
        if cost is None:
            cost = pricing.cost_usd(getattr(completion, "model", None), tin, tout, cached)
        if cost is None:
            cost = 0.0
            if not self._warned_price:
                self._log(f"⚠️ Modelo '{self.model}' fora da tabela de preços: custo contado como 0")
                self._warned_price = True
        return _Usage(tin, tout, cached, total or tin + tout, cost, seconds)

    # -- respostas ----------------------------------------------------------

    def answer(self, question: Question, document: Union[str, DocumentInput]) -> ProviderAnswer:
        """Uma requisição para uma pergunta, com os trechos das palavras-chave
        quando o documento não cabe."""
        doc = _as_document(document)
        budget = self.budget_chars(question, doc.images)
        truncated = False
        if len(doc.text) > budget:
            sel = select_passages(doc.text, question.keywords, budget)
            self._log(
                f"✂️ Documento longo ({len(doc.text)} caracteres, limite de {budget} para {self.model}): "
                f"na pergunta '{question.id}' vão primeiro os trechos com as palavras-chave "
                f"({sel.keyword_blocks} de {sel.total_blocks} trechos têm palavras-chave; "
                f"{sel.sent_blocks} enviados)"
            )
            doc = DocumentInput(sel.text, doc.images)
            truncated = True
        content, usage = self._complete(self.build_request(question, doc), f"a pergunta '{question.id}'")
        result = question.response_model.model_validate_json(content)
        metrics = usage.share(usage.tin, usage.tout, usage.cached, 1.0)
        metrics.tokens = usage.total
        return ProviderAnswer(result=result, metrics=metrics, truncated=truncated)

    def answer_all(self, questions: Sequence[Question],
                   document: Union[str, DocumentInput]) -> Dict[str, ProviderAnswer]:
        """Respostas de todas as perguntas: uma requisição combinada no caso
        normal; uma por pergunta quando só há uma, quando o modo combinado
        está desligado, quando o documento não cabe inteiro ou quando a
        resposta combinada não se valida."""
        doc = _as_document(document)
        if len(questions) < 2 or not self.combine:
            return {q.id: self.answer(q, doc) for q in questions}
        instructions = combined_instructions(questions)
        budget = self._budget(len(instructions), doc.images)
        if len(doc.text) > budget:
            self._log(f"✂️ Documento longo ({len(doc.text)} caracteres, limite de {budget} para {self.model}): "
                      "uma requisição por pergunta, cada uma com os seus trechos")
            return {q.id: self.answer(q, doc) for q in questions}

        self._log(f"🧩 Uma requisição para {len(questions)} perguntas")
        in_weights = [len(q.system_prompt) + len(q.user_prompt)
                      + len(json.dumps(strict_json_schema(q.response_model))) for q in questions]
        spent: Optional[_Usage] = None
        try:
            content, spent = self._complete(self.build_combined_request(questions, doc), "as perguntas combinadas")
            answers = self._split_combined(questions, content)
        except (AnswerError, ValidationError) as exc:
            # o que a tentativa consumiu foi faturado: entra na conta das perguntas
            if isinstance(exc, _BilledAnswerError):
                spent = exc.usage
            reason = str(exc).splitlines()[0]
            self._log(f"↩️ Resposta combinada inválida ({reason}): uma requisição por pergunta")
            results = {q.id: self.answer(q, doc) for q in questions}
            if spent is not None:
                for q, m in zip(questions, spent.split(in_weights, in_weights)):
                    results[q.id].metrics = results[q.id].metrics + m
            return results
        out_weights = [float(len(json.dumps(a.model_dump(mode="json"), ensure_ascii=False))) for a in answers]
        metrics = spent.split(in_weights, out_weights)
        return {q.id: ProviderAnswer(result=a, metrics=m) for q, a, m in zip(questions, answers, metrics)}

    def _split_combined(self, questions: Sequence[Question], content: str) -> List[BaseModel]:
        try:
            data = json.loads(content)
        except ValueError as exc:
            raise AnswerError(f"a resposta combinada não é JSON ({exc})") from None
        if not isinstance(data, dict):
            raise AnswerError("a resposta combinada não é um objeto JSON")
        missing = [q.id for q in questions if q.id not in data]
        if missing:
            raise AnswerError(f"a resposta combinada não tem as chaves {', '.join(missing)}")
        return [q.response_model.model_validate_json(json.dumps(data[q.id], ensure_ascii=False))
                for q in questions]
