"""Os termos de busca de um contrato: as palavras (sem acento, em
maiúsculas) das partes e do nome do arquivo, e os CNPJs, inteiros e pela
raiz. A lista procura pelo começo de um termo."""

from __future__ import annotations

import re
import unicodedata
from typing import List, Optional, Set

_PALAVRA = re.compile(r"[A-Z0-9]+")
_CNPJ = re.compile(r"\d{2}\.?\d{3}\.?\d{3}/?\d{4}-?\d{2}")
TAMANHO = 64


def normalizar(texto: str) -> str:
    sem_acento = unicodedata.normalize("NFKD", texto)
    return "".join(c for c in sem_acento if not unicodedata.combining(c)).upper()


def termos_de(nome: Optional[str], partes: Optional[str]) -> Set[str]:
    termos: Set[str] = set()
    for texto in (nome or "", partes or ""):
        for cnpj in _CNPJ.findall(texto):
            digitos = re.sub(r"\D", "", cnpj)
            termos.update((digitos, digitos[:8]))
        termos.update(p[:TAMANHO] for p in _PALAVRA.findall(normalizar(texto)))
    return termos


def termos_da_busca(busca: str) -> List[str]:
    """Os termos de uma busca: um CNPJ (8 dígitos ou mais, com ou sem
    pontuação) vira um termo só; o resto, as suas palavras."""
    digitos = re.sub(r"[\s./-]", "", busca)
    if digitos.isdigit() and len(digitos) >= 8:
        return [digitos[:14]]
    return [p[:TAMANHO] for p in _PALAVRA.findall(normalizar(busca))]


def fim_do_prefixo(termo: str) -> str:
    """O menor texto maior que todo texto que começa com `termo` (A-Z, 0-9)."""
    return termo[:-1] + chr(ord(termo[-1]) + 1)
