"""Busca do CNPJ de uma empresa pelo nome, com um modelo da OpenAI que pesquisa na web.

Usada por `buscar_empresa_completo` (módulo cnpj) quando nem o CNPJ nem a
busca por nome encontram a empresa. Pergunta primeiro pela Responses API
com a ferramenta de busca na web; se o servidor não oferece essa API ou a
ferramenta (HTTP 404, 400 ou 422), pergunta pelo chat completions a um
modelo de busca. Devolve o primeiro texto com forma de CNPJ da resposta.
"""

from __future__ import annotations

import os
import re
from typing import TYPE_CHECKING, Any, Dict, List, Optional

if TYPE_CHECKING:
    from openai.types.chat import ChatCompletionMessageParam

MODELO_BUSCA = "gpt-4o"
MODELO_BUSCA_CHAT = "gpt-4o-search-preview"
TIMEOUT_BUSCA = 60.0
TENTATIVAS_BUSCA = 1

PROMPT_BUSCA = (
    "Pesquise na web o CNPJ da empresa brasileira \"{nome}\" (use fontes como a Receita Federal, "
    "sites de consulta de CNPJ e o site da própria empresa). Responda apenas com o CNPJ no formato "
    "XX.XXX.XXX/XXXX-XX. Se houver matriz e filiais, dê o CNPJ da matriz. "
    "Se não encontrar com segurança, responda NAO_ENCONTRADO."
)

# 14 dígitos, com ou sem a pontuação de "XX.XXX.XXX/XXXX-XX", fora de uma sequência maior de dígitos.
CNPJ_NO_TEXTO = re.compile(r"(?<![0-9])[0-9]{2}\.?[0-9]{3}\.?[0-9]{3}/?[0-9]{4}-?[0-9]{2}(?![0-9])")


def extrair_cnpj(texto: Optional[str]) -> Optional[str]:
    """O primeiro texto com forma de CNPJ em `texto`, como está escrito; None se não houver."""
    if not texto:
        return None
    m = CNPJ_NO_TEXTO.search(texto)
    return m.group() if m else None


def _texto_da_resposta(resposta: object) -> str:
    texto = getattr(resposta, "output_text", None)
    if isinstance(texto, str):
        return texto
    partes: List[str] = []
    for item in getattr(resposta, "output", None) or []:
        if getattr(item, "type", None) == "message":
            for c in getattr(item, "content", None) or []:
                if getattr(c, "type", None) == "output_text" and getattr(c, "text", None):
                    partes.append(c.text)
    return "".join(partes)


def buscar_cnpj_via_ai(
    nome: str,
    openai_api_key: str,
    *,
    model: Optional[str] = None,
    chat_model: Optional[str] = None,
    base_url: Optional[str] = None,
    timeout: Optional[float] = None,
    max_retries: Optional[int] = None,
) -> Optional[str]:
    """Busca o CNPJ da empresa `nome` com um modelo da OpenAI que pesquisa na web.

    Retorna o CNPJ como texto (com ou sem pontuação, como veio na resposta)
    ou None quando a resposta não contém nada com forma de CNPJ. O endereço
    do serviço é `base_url`, senão a variável de ambiente OPENAI_BASE_URL,
    senão o da OpenAI. `timeout` e `max_retries` valem, se omitidos,
    TIMEOUT_BUSCA e TENTATIVAS_BUSCA (lidos a cada chamada). Erros do cliente (chave inválida, limite de uso,
    falha de rede) se propagam.
    """
    if type(nome) is not str:
        raise TypeError(f"nome deve ser str, não {type(nome).__name__}")
    if type(openai_api_key) is not str:
        raise TypeError(f"openai_api_key deve ser str, não {type(openai_api_key).__name__}")
    if not nome.strip():
        return None
    if not openai_api_key.strip():
        raise ValueError("openai_api_key vazia: a busca por AI precisa de uma chave da OpenAI")

    import openai

    client = openai.OpenAI(
        api_key=openai_api_key,
        base_url=base_url or os.environ.get("OPENAI_BASE_URL") or None,
        timeout=TIMEOUT_BUSCA if timeout is None else timeout,
        max_retries=TENTATIVAS_BUSCA if max_retries is None else max_retries,
    )
    prompt = PROMPT_BUSCA.format(nome=nome.strip())
    try:
        resposta = client.responses.create(
            model=model or MODELO_BUSCA,
            tools=[{"type": "web_search"}],
            input=prompt,
        )
        texto = _texto_da_resposta(resposta)
    except (openai.NotFoundError, openai.BadRequestError, openai.UnprocessableEntityError, AttributeError):
        # servidor sem a Responses API ou sem a ferramenta de busca: chat completions
        modelo_chat = chat_model or MODELO_BUSCA_CHAT
        extra: Dict[str, Any] = {"web_search_options": {}} if "search" in modelo_chat else {}
        mensagens: List[ChatCompletionMessageParam] = [{"role": "user", "content": prompt}]
        completion = client.chat.completions.create(model=modelo_chat, messages=mensagens, **extra)
        texto = completion.choices[0].message.content if completion.choices else ""
    return extrair_cnpj(texto)
