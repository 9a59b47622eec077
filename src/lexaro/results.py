"""Resultados de uma execução: por pergunta e do documento inteiro."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional

from pydantic import BaseModel


@dataclass
class Metrics:
    """Consumo de uma pergunta ou de uma execução."""

    tokens: int = 0
    cost_usd: float = 0.0
    time_seconds: float = 0.0
    input_tokens: int = 0
    output_tokens: int = 0
    # parte de input_tokens lida do cache de prompts do serviço (preço menor)
    cached_input_tokens: int = 0

    def __add__(self, other: "Metrics") -> "Metrics":
        return Metrics(
            tokens=self.tokens + other.tokens,
            cost_usd=self.cost_usd + other.cost_usd,
            time_seconds=self.time_seconds + other.time_seconds,
            input_tokens=self.input_tokens + other.input_tokens,
            output_tokens=self.output_tokens + other.output_tokens,
            cached_input_tokens=self.cached_input_tokens + other.cached_input_tokens,
        )


@dataclass
class QuestionResult:
    """Resposta de uma pergunta.

    `raw_result` é o mapeamento com a forma do modelo de resposta
    (`model_dump()` da instância validada); `result` é a própria instância.
    """

    question_id: str
    name: str
    tag: str
    result: BaseModel
    raw_result: Dict[str, Any]
    metrics: Metrics
    provider: str
    model: str
    truncated: bool = False


@dataclass
class DocumentResult:
    """Resultado de `Lexaro.process` para um documento."""

    path: str
    pages: int
    chars: int
    results: Dict[str, QuestionResult] = field(default_factory=dict)
    total_metrics: Metrics = field(default_factory=Metrics)
    # computes the evidence on the first call of `evidencias` (the answers are not touched)
    evidence_source: Optional[Callable[[], Dict[str, List[Dict[str, Any]]]]] = field(
        default=None, repr=False, compare=False)
    _evidence: Optional[Dict[str, List[Dict[str, Any]]]] = field(default=None, repr=False, compare=False)

    def evidencias(self) -> Optional[Dict[str, List[Dict[str, Any]]]]:
        """Onde cada empresa, CNPJ e signatário das respostas foi lido
        (`lexaro.evidence`): ``{"empresas": [...], "signatarios": [...]}``,
        calculado na primeira chamada; None num resultado feito à mão."""
        if self._evidence is None and self.evidence_source is not None:
            self._evidence = self.evidence_source()
        return self._evidence

    def get_result(self, question_id: str) -> Optional[QuestionResult]:
        """A resposta da pergunta `question_id`, ou None se não houver."""
        if type(question_id) is not str:
            raise TypeError(f"question_id deve ser str, não {type(question_id).__name__}")
        return self.results.get(question_id)

    @property
    def question_ids(self) -> List[str]:
        return list(self.results)
