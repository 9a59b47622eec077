"""Assinaturas digitais de um PDF: quem assinou de fato e se o documento mudou depois.

``verificar_assinaturas(caminho, raizes=None)`` lê cada assinatura do PDF (PAdES ou PKCS#7
destacado) e devolve ``{"assinaturas": [...], "achados": [...]}``: por assinatura, a identidade
do certificado (nome, CPF e CNPJ dos campos ICP-Brasil, emissor), as datas, a integridade dos
bytes assinados, o que ela cobre e a cadeia de confiança; por achado, ``status`` ("reprovado",
"pendente" ou "informacao") e ``mensagem``. ``cruzar_com_verificacao`` confronta esse resultado
com o resultado de ``ContractChecker.verificar`` (signatários e empresas do contrato).

O texto de uma página que diz "assinado digitalmente por" não prova nada; a assinatura
criptográfica prova quem assinou e quais bytes. Por isso a leitura é toda feita sobre a
estrutura de assinatura do PDF, nunca sobre o texto.

pyHanko é opcional (``pip install "lexaro-contract[assinaturas]"``): sem ele, o resultado é um
único achado informativo e nada falha.
"""


from __future__ import annotations

import asyncio
import concurrent.futures
import os
import warnings
from pathlib import Path
from typing import Any, Callable, Coroutine, Dict, Optional, Union

from .certificado import OID_PF_DADOS, OID_PJ_CNPJ, OID_PJ_RESPONSAVEL_DADOS, OID_PJ_RESPONSAVEL_NOME
from .cruzamento import cruzar_com_verificacao, relatorio_assinaturas, veredito_assinaturas
from .leitura import MAX_ASSINATURAS, achado, conferir_todas, instalar_leitor_hex
from .raizes import ErroDeRaizes, Raizes, carregar_raizes

__all__ = [
    "MAX_ASSINATURAS",
    "OID_PF_DADOS",
    "OID_PJ_CNPJ",
    "OID_PJ_RESPONSAVEL_DADOS",
    "OID_PJ_RESPONSAVEL_NOME",
    "ErroDeRaizes",
    "Raizes",
    "carregar_raizes",
    "cruzar_com_verificacao",
    "relatorio_assinaturas",
    "veredito_assinaturas",
    "verificar_assinaturas",
]

Caminho = Union[str, "os.PathLike[str]"]
Registro = Dict[str, Any]

_INDISPONIVEL = ("verificação de assinaturas digitais indisponível: instale com "
                 'pip install "lexaro-contract[assinaturas]"')


def _rodar(fabrica: Callable[[], Coroutine[Any, Any, Registro]]) -> Registro:
    """Roda a conferência num laço de eventos próprio, mesmo se o chamador já tem um ativo."""
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(fabrica())
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as executor:
        return executor.submit(lambda: asyncio.run(fabrica())).result()


def _pyhanko_disponivel() -> bool:
    """Carrega o pyHanko, se instalado. Ele ainda importa os tipos de chave DSA, que as versões
    novas do cryptography marcam como obsoletos ao serem importados: o aviso é do pyHanko, não diz
    nada ao usuário e, num programa que trata avisos como erros, faria a conferência falhar."""
    try:
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message=r".*\bDSA\b.*")
            import pyhanko.sign.validation  # noqa: F401
            import pyhanko_certvalidator  # noqa: F401
    except ImportError:
        return False
    return True


def verificar_assinaturas(caminho: Caminho, raizes: Optional[Union[Caminho, Raizes]] = None) -> Registro:
    """As assinaturas digitais do PDF em ``caminho`` e os achados sobre elas.

    ``raizes``: pasta com os certificados raiz de confiança (ICP-Brasil, gov.br...), ou o que
    ``carregar_raizes`` devolveu; sem raízes, a cadeia fica "nao_verificada" e o resto (identidade,
    integridade, cobertura, validade na data da assinatura) é conferido igual.

    Levanta FileNotFoundError para um arquivo inexistente e ErroDeRaizes para uma pasta de raízes
    inválida; qualquer problema dentro do PDF vira achado, nunca exceção.
    """
    p = Path(caminho)
    if not p.is_file():
        raise FileNotFoundError(f"Arquivo não encontrado: {caminho}")
    if not _pyhanko_disponivel():
        return {"assinaturas": [], "achados": [achado("informacao", _INDISPONIVEL)]}
    carregadas = raizes if isinstance(raizes, Raizes) or raizes is None else carregar_raizes(raizes)
    instalar_leitor_hex()
    dados = p.read_bytes()
    return _rodar(lambda: conferir_todas(dados, carregadas))
