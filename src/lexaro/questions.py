"""Perguntas feitas ao motor sobre um documento."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import List, Type

from pydantic import BaseModel

TEXT_PLACEHOLDER = "{texto}"


def _require_str(name: str, value: object) -> str:
    if type(value) is not str:
        raise TypeError(f"{name} deve ser str, não {type(value).__name__}")
    return value


@dataclass(frozen=True)
class QuestionConfig:
    """Identificação de uma pergunta: `id` (chave do resultado), `name` e `tag`."""

    id: str
    name: str = ""
    tag: str = ""

    def __post_init__(self) -> None:
        _require_str("id", self.id)
        _require_str("name", self.name)
        _require_str("tag", self.tag)
        if not self.id:
            raise ValueError("id da pergunta não pode ser vazio")


@dataclass(frozen=True)
class Question:
    """Uma pergunta: prompts, palavras-chave e o modelo (pydantic) da resposta.

    O `user_prompt` contém "{texto}", que o motor substitui pelo texto do
    documento. As `keywords` marcam os trechos que interessam à pergunta e
    são usadas para escolher o que enviar quando o documento é longo demais.
    """

    config: QuestionConfig
    system_prompt: str
    user_prompt: str
    keywords: List[str] = field(default_factory=list)
    response_model: Type[BaseModel] = None  # type: ignore[assignment]

    def __post_init__(self) -> None:
        if not isinstance(self.config, QuestionConfig):
            raise TypeError(f"config deve ser QuestionConfig, não {type(self.config).__name__}")
        _require_str("system_prompt", self.system_prompt)
        _require_str("user_prompt", self.user_prompt)
        if not isinstance(self.keywords, (list, tuple)) or not all(type(k) is str for k in self.keywords):
            raise TypeError("keywords deve ser uma lista de str")
        # cópia própria: a lista de quem chamou pode mudar depois
        object.__setattr__(self, "keywords", list(self.keywords))
        rm = self.response_model
        if not (isinstance(rm, type) and issubclass(rm, BaseModel)):
            raise TypeError("response_model deve ser uma classe pydantic (subclasse de BaseModel)")

    @property
    def id(self) -> str:
        return self.config.id

    def render_user_prompt(self, texto: str) -> str:
        """O prompt do usuário com "{texto}" trocado pelo texto do documento."""
        return self.user_prompt.replace(TEXT_PLACEHOLDER, texto)
