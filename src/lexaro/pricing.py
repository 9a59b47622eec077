"""Preços, janelas de contexto e visão dos modelos (a única tabela de preços do motor).

Valores em dólares por milhão de tokens: entrada, entrada lida do cache de
prompts do serviço (o `usage.prompt_tokens_details.cached_tokens` da
resposta) e saída. Modelos com data ("gpt-4o-2024-08-06") usam a linha do
prefixo mais longo que casar.

Os preços são os da tabela pública de preços por token da OpenAI (nível
"standard", sem lote) na data de `PRICES_CHECKED`; o Azure cobra o mesmo por
modelo nas implantações globais. Ao mudar um valor, mude também a data.
"""

from __future__ import annotations

from typing import Dict, NamedTuple, Optional

PRICES_CHECKED = "2025-08-07"


class ModelInfo(NamedTuple):
    input_per_million: float
    output_per_million: float
    context_tokens: int
    # None: o modelo não tem desconto de cache (os tokens do cache custam a entrada cheia)
    cached_input_per_million: Optional[float] = None
    # lê imagens de página (documentos digitalizados)
    vision: bool = False
    # tokens de uma imagem em relação aos do gpt-4o (85 + 170 por bloco de 512 px)
    image_token_factor: float = 1.0


MODEL_TABLE: Dict[str, ModelInfo] = {
    "gpt-4o": ModelInfo(2.50, 10.00, 128_000, 1.25, True),
    # 2.833 + 5.667 por bloco: o mesmo preço em dólares que o gpt-4o, 33 vezes os tokens
    "gpt-4o-mini": ModelInfo(0.15, 0.60, 128_000, 0.075, True, 33.3),
    "gpt-4.1": ModelInfo(2.00, 8.00, 1_047_576, 0.50, True),
    # os "mini" e "nano" contam blocos de 32 px (x 1,62 e x 2,46): ~1.320 e ~2.010 tokens por A4
    "gpt-4.1-mini": ModelInfo(0.40, 1.60, 1_047_576, 0.10, True, 1.2),
    "gpt-4.1-nano": ModelInfo(0.10, 0.40, 1_047_576, 0.025, True, 1.8),
    "gpt-4-turbo": ModelInfo(10.00, 30.00, 128_000),
    "gpt-4": ModelInfo(30.00, 60.00, 8_192),
    "gpt-3.5-turbo": ModelInfo(0.50, 1.50, 16_385),
    "gpt-5": ModelInfo(1.25, 10.00, 400_000, 0.125, True, 0.82),  # 70 + 140 por bloco
    "gpt-5-mini": ModelInfo(0.25, 2.00, 400_000, 0.025, True, 1.2),
    "gpt-5-nano": ModelInfo(0.05, 0.40, 400_000, 0.005, True, 1.8),
    "o1": ModelInfo(15.00, 60.00, 200_000, 7.50),
    "o1-mini": ModelInfo(1.10, 4.40, 128_000, 0.55),
    "o3": ModelInfo(2.00, 8.00, 200_000, 0.50),
    "o3-mini": ModelInfo(1.10, 4.40, 200_000, 0.55),
    "o4-mini": ModelInfo(1.10, 4.40, 200_000, 0.275),
}

DEFAULT_CONTEXT_TOKENS = 128_000

# Uma página enviada como imagem: "detail" alto com o lado menor em 768 px.
# Os modelos de blocos (gpt-4o, gpt-4.1, gpt-5) cobram 85 + 170 tokens por
# bloco de 512 px; uma A4 de 768 x 1086 px ocupa 2 x 3 blocos = 1.105 tokens.
IMAGE_DETAIL = "high"
IMAGE_SHORT_SIDE_PX = 768
IMAGE_BASE_TOKENS = 85
IMAGE_TILE_TOKENS = 170
IMAGE_TILE_PX = 512


def model_info(model: Optional[str]) -> Optional[ModelInfo]:
    """Linha da tabela para `model` (prefixo mais longo), ou None se desconhecido."""
    if not model:
        return None
    name = model.lower()
    if name in MODEL_TABLE:
        return MODEL_TABLE[name]
    best: Optional[str] = None
    for key in MODEL_TABLE:
        if name.startswith(key + "-") and (best is None or len(key) > len(best)):
            best = key
    return MODEL_TABLE[best] if best else None


def cost_usd(model: Optional[str], input_tokens: int, output_tokens: int,
             cached_input_tokens: int = 0) -> Optional[float]:
    """Custo em dólares como faturado; None quando o modelo não está na tabela.

    `input_tokens` é o total de entrada, já incluídos os `cached_input_tokens`
    (como o serviço os conta); estes pagam o preço de cache do modelo.
    """
    info = model_info(model)
    if info is None:
        return None
    cached = max(0, min(cached_input_tokens, input_tokens))
    cached_price = info.input_per_million if info.cached_input_per_million is None else info.cached_input_per_million
    return ((input_tokens - cached) * info.input_per_million + cached * cached_price
            + output_tokens * info.output_per_million) / 1_000_000


def context_tokens(model: Optional[str]) -> int:
    info = model_info(model)
    return info.context_tokens if info else DEFAULT_CONTEXT_TOKENS


def supports_vision(model: Optional[str]) -> bool:
    """True para os modelos que leem imagens de página (famílias gpt-4o, gpt-4.1 e gpt-5)."""
    info = model_info(model)
    return bool(info and info.vision)


def image_tokens(width_px: int, height_px: int, model: Optional[str] = None) -> int:
    """Tokens de entrada de uma imagem em "detail" alto (a conta do gpt-4o,
    ajustada pelo fator do modelo quando ele é dado e conhecido)."""
    tiles_w = -(-width_px // IMAGE_TILE_PX)
    tiles_h = -(-height_px // IMAGE_TILE_PX)
    tokens = IMAGE_BASE_TOKENS + IMAGE_TILE_TOKENS * tiles_w * tiles_h
    info = model_info(model)
    return round(tokens * info.image_token_factor) if info else tokens


A4_IMAGE_PX = (IMAGE_SHORT_SIDE_PX, 1086)


def max_image_pages(model: Optional[str], context_share: float = 0.5) -> int:
    """Quantas páginas A4 em imagem cabem em `context_share` do contexto do modelo."""
    return int(context_tokens(model) * context_share) // image_tokens(*A4_IMAGE_PX, model)
