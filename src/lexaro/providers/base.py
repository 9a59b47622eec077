"""O que todo provedor recebe de um documento e devolve para uma pergunta."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import List, Tuple

from pydantic import BaseModel

from ..layout import PageLayout
from ..results import Metrics


@dataclass
class ProviderAnswer:
    result: BaseModel
    metrics: Metrics
    truncated: bool = False


@dataclass(frozen=True)
class PageImage:
    """Uma página digitalizada enviada como imagem (PNG em tons de cinza)."""

    number: int
    png: bytes
    width: int
    height: int


@dataclass(frozen=True)
class DocumentInput:
    """O documento como o provedor o recebe: o texto das páginas (com a
    marca de cada página que vai como imagem) e as imagens, em ordem; e as
    páginas com as suas linhas, blocos e colunas (`layout.PageLayout`), para
    quem lê pela posição (o provedor local)."""

    text: str
    images: List[PageImage] = field(default_factory=list)
    pages: Tuple[PageLayout, ...] = ()
