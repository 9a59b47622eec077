"""O que todo provedor devolve para uma pergunta."""

from __future__ import annotations

from dataclasses import dataclass

from pydantic import BaseModel

from ..results import Metrics


@dataclass
class ProviderAnswer:
    result: BaseModel
    metrics: Metrics
    truncated: bool = False
