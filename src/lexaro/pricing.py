"""Preços e janelas de contexto dos modelos (a única tabela de preços do motor).

Valores em dólares por milhão de tokens de entrada e de saída. Modelos com
data ("gpt-4o-2024-08-06") usam a linha do prefixo mais longo que casar.
"""

from __future__ import annotations

from typing import NamedTuple, Optional


class ModelInfo(NamedTuple):
    input_per_million: float
    output_per_million: float
    context_tokens: int


MODEL_TABLE = {
    "gpt-4o": ModelInfo(2.50, 10.00, 128_000),
    "gpt-4o-mini": ModelInfo(0.15, 0.60, 128_000),
    "gpt-4.1": ModelInfo(2.00, 8.00, 1_047_576),
    "gpt-4.1-mini": ModelInfo(0.40, 1.60, 1_047_576),
    "gpt-4.1-nano": ModelInfo(0.10, 0.40, 1_047_576),
    "gpt-4-turbo": ModelInfo(10.00, 30.00, 128_000),
    "gpt-4": ModelInfo(30.00, 60.00, 8_192),
    "gpt-3.5-turbo": ModelInfo(0.50, 1.50, 16_385),
    "gpt-5": ModelInfo(1.25, 10.00, 400_000),
    "gpt-5-mini": ModelInfo(0.25, 2.00, 400_000),
    "gpt-5-nano": ModelInfo(0.05, 0.40, 400_000),
    "o1": ModelInfo(15.00, 60.00, 200_000),
    "o1-mini": ModelInfo(1.10, 4.40, 128_000),
    "o3": ModelInfo(2.00, 8.00, 200_000),
    "o3-mini": ModelInfo(1.10, 4.40, 200_000),
    "o4-mini": ModelInfo(1.10, 4.40, 200_000),
}

DEFAULT_CONTEXT_TOKENS = 128_000


def model_info(model: Optional[str]) -> Optional[ModelInfo]:
    """Linha da tabela para `model` (prefixo mais longo), ou None se desconhecido."""
    if not model:
        return None
    name = model.lower()
    if name in MODEL_TABLE:
        return MODEL_TABLE[name]
    best = None
    for key in MODEL_TABLE:
        if name.startswith(key + "-") and (best is None or len(key) > len(best)):
            best = key
    return MODEL_TABLE[best] if best else None


def cost_usd(model: Optional[str], input_tokens: int, output_tokens: int) -> Optional[float]:
    """Custo em dólares; None quando o modelo não está na tabela."""
    info = model_info(model)
    if info is None:
        return None
    return (input_tokens * info.input_per_million + output_tokens * info.output_per_million) / 1_000_000


def context_tokens(model: Optional[str]) -> int:
    info = model_info(model)
    return info.context_tokens if info else DEFAULT_CONTEXT_TOKENS
