"""Provedores OpenAI e Azure OpenAI, pelo cliente oficial `openai`.

A resposta é pedida com saída estruturada (response_format json_schema,
esquema estrito gerado do modelo pydantic da pergunta). Versões da API do
Azure anteriores a 2024-08-01-preview recusam esse formato com HTTP 400;
com elas o pedido vai em modo JSON, com o esquema no prompt do sistema, e
a resposta é validada pelo mesmo modelo.
"""

from __future__ import annotations

import copy
import json
import re
import time
from typing import Any, Callable, Dict, Optional, Type

from pydantic import BaseModel

from .. import pricing
from ..constantes import DEFAULT_AZURE_API_VERSION as DEFAULT_AZURE_API_VERSION  # re-exported
from ..errors import AnswerError
from ..passages import select_passages
from ..questions import Question
from ..results import Metrics
from .base import ProviderAnswer

STRUCTURED_OUTPUTS_MIN_AZURE_VERSION = "2024-08-01"

# Orçamento de texto: tokens de contexto menos a reserva da resposta, a
# cerca de 3 caracteres por token (estimativa conservadora para português).
OUTPUT_RESERVE_TOKENS = 8_192
CHARS_PER_TOKEN = 3

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
    return _strictify(schema)


def _schema_name(model: Type[BaseModel]) -> str:
    return re.sub(r"[^A-Za-z0-9_-]", "_", model.__name__)[:64] or "resposta"


def _strip_fences(content: str) -> str:
    s = content.strip()
    if s.startswith("```"):
        s = re.sub(r"^```[A-Za-z]*\s*", "", s)
        s = re.sub(r"\s*```$", "", s)
    return s


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
        log: Optional[Callable[[str], None]] = None,
    ):
        self.client = client
        self.model = model
        self.name = name
        self.structured_outputs = structured_outputs
        self.max_input_chars = max_input_chars
        self._log = log or (lambda msg: None)
        self._warned_price = False

    def supports(self, question: Question) -> bool:
        return True

    def budget_chars(self, question: Question) -> int:
        if self.max_input_chars is not None:
            return self.max_input_chars
        prompt_chars = len(question.system_prompt) + len(question.user_prompt)
        tokens = pricing.context_tokens(self.model) - OUTPUT_RESERVE_TOKENS
        return max(1_000, tokens * CHARS_PER_TOKEN - prompt_chars)

    def build_request(self, question: Question, text: str) -> Dict[str, Any]:
        """Parâmetros de chat.completions.create para a pergunta sobre `text`."""
        schema = strict_json_schema(question.response_model)
        system = question.system_prompt
        if self.structured_outputs:
            response_format: Dict[str, Any] = {
                "type": "json_schema",
                "json_schema": {"name": _schema_name(question.response_model), "schema": schema, "strict": True},
            }
        else:
            system = system + JSON_MODE_INSTRUCTION + json.dumps(schema, ensure_ascii=False)
            response_format = {"type": "json_object"}
        return {
            "model": self.model,
            "messages": [
                {"role": "system", "content": system},
                {"role": "user", "content": question.render_user_prompt(text)},
            ],
            "response_format": response_format,
        }

    def answer(self, question: Question, text: str) -> ProviderAnswer:
        t0 = time.perf_counter()
        budget = self.budget_chars(question)
        truncated = False
        if len(text) > budget:
            sel = select_passages(text, question.keywords, budget)
            self._log(
                f"✂️ Documento longo ({len(text)} caracteres, limite de {budget} para {self.model}): "
                f"na pergunta '{question.id}' vão primeiro os trechos com as palavras-chave "
                f"({sel.keyword_blocks} de {sel.total_blocks} trechos têm palavras-chave; "
                f"{sel.sent_blocks} enviados)"
            )
            text = sel.text
            truncated = True

        completion = self.client.chat.completions.create(**self.build_request(question, text))
        if not completion.choices:
            raise AnswerError(f"Resposta sem conteúdo para a pergunta '{question.id}'")
        choice = completion.choices[0]
        message = choice.message
        refusal = getattr(message, "refusal", None)
        if refusal:
            raise AnswerError(f"O modelo recusou a pergunta '{question.id}': {refusal}")
        if choice.finish_reason == "length":
            raise AnswerError(
                f"Resposta truncada na pergunta '{question.id}' (limite de tokens de saída atingido)"
            )
        content = message.content
        if not content:
            raise AnswerError(f"Resposta vazia para a pergunta '{question.id}'")
        result = question.response_model.model_validate_json(_strip_fences(content))

        usage = completion.usage
        tin = int(getattr(usage, "prompt_tokens", 0) or 0) if usage else 0
        tout = int(getattr(usage, "completion_tokens", 0) or 0) if usage else 0
        total = int(getattr(usage, "total_tokens", 0) or 0) if usage else 0
        total = total or tin + tout
        cost = pricing.cost_usd(self.model, tin, tout)
        if cost is None:
            cost = pricing.cost_usd(getattr(completion, "model", None), tin, tout)
        if cost is None:
            cost = 0.0
            if not self._warned_price:
                self._log(f"⚠️ Modelo '{self.model}' fora da tabela de preços: custo contado como 0")
                self._warned_price = True
        metrics = Metrics(
            tokens=total,
            cost_usd=cost,
            time_seconds=time.perf_counter() - t0,
            input_tokens=tin,
            output_tokens=tout,
        )
        return ProviderAnswer(result=result, metrics=metrics, truncated=truncated)
