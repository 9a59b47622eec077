"""Local provider: rule-based extraction, with no network and no cost.

Answers the three questions about a Brazilian contract from its text:
companies (name, CNPJ, address, role), signatories (name, office, CPF,
company represented, kind of signature) and general data (type, object,
date, term, value, court). Three readers share the text helpers:

- `empresas`: the parties' qualification paragraphs;
- `signatarios`: representatives, signature blocks, witnesses and the
  electronic-signature pages;
- `dados`: the contract's general data.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from functools import lru_cache
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

from ...layout import PageLayout, from_text, reader_text
from ...questions import Question
from ...results import Metrics
from ..base import DocumentInput, ProviderAnswer
from .dados import extrair_dados
from .empresas import extrair_empresas
from .signatarios import extrair_assinaturas
from .texto import lugares_das_linhas, preparar, quebras_duras

__all__ = ["LocalProvider", "Analise", "analisar", "question_kind", "EMPRESAS", "ASSINATURAS", "DADOS"]

EMPRESAS, ASSINATURAS, DADOS = "empresas", "assinaturas", "dados_contrato"


@dataclass
class Analise:
    empresas: List[Dict[str, Optional[str]]] = field(default_factory=list)
    assinaturas: List[Dict[str, Optional[str]]] = field(default_factory=list)
    dados: Dict[str, Optional[str]] = field(default_factory=dict)
    # what the reader could not settle: a party nobody signs for, a signature with no company
    avisos: List[str] = field(default_factory=list)


class _Paginas:
    """The pages of one document as the key of the cache: the same pages (the
    three questions of one reading) are the same key, without hashing every line."""

    def __init__(self, pages: Tuple[PageLayout, ...]) -> None:
        self.pages = pages

    def __hash__(self) -> int:
        return id(self.pages)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _Paginas) and other.pages is self.pages


@lru_cache(maxsize=4)
def _analisar_cache(chave: _Paginas) -> Analise:
    bruto, linhas = reader_text(chave.pages)
    text = preparar(bruto)
    lugares = lugares_das_linhas(text, linhas)
    duras = set(quebras_duras(text, lugares))
    empresas = extrair_empresas(text, duras)
    avisos: List[str] = []
    pessoas = extrair_assinaturas(text, empresas, avisos, lugares)
    return Analise(
        empresas=[e.as_dict() for e in empresas],
        assinaturas=[p.as_dict() for p in pessoas],
        dados=extrair_dados(text),
        avisos=avisos,
    )


# The analysis is cached by the identity of its pages: the pages of one text
# are made once, so the three questions asked of a text share one analysis.
_paginas_do_texto = lru_cache(maxsize=4)(from_text)


def analisar(entrada: Union[str, DocumentInput, Sequence[PageLayout]]) -> Analise:
    """Companies, signatories and general data read from a contract: its
    pages' lines, blocks and columns (`layout.PageLayout`, as a PDF is read),
    or a plain text (lines with no place, a page between empty lines)."""
    if isinstance(entrada, str):
        pages = _paginas_do_texto(entrada)
    elif isinstance(entrada, DocumentInput):
        pages = entrada.pages if entrada.pages else _paginas_do_texto(entrada.text)
    else:
        pages = tuple(entrada)
    a = _analisar_cache(_Paginas(pages))
    # copies: whoever receives the answer cannot change the cached one
    return Analise([dict(e) for e in a.empresas], [dict(p) for p in a.assinaturas], dict(a.dados), list(a.avisos))


def question_kind(question: Question) -> Optional[str]:
    """Which of the three questions this is (by its response model, or by its id)."""
    fields = set(getattr(question.response_model, "model_fields", {}))
    if EMPRESAS in fields:
        return EMPRESAS
    if ASSINATURAS in fields:
        return ASSINATURAS
    if fields & {"tipo_contrato", "objeto", "vigencia", "foro"}:
        return DADOS
    if question.id in (EMPRESAS, ASSINATURAS, DADOS):
        return question.id
    return None


class LocalProvider:
    """Answers the questions of companies, signatures and contract data by rules."""

    name = "local"
    model = "local-regras"

    def __init__(self, log: Optional[Callable[[str], None]] = None) -> None:
        # the client's progress printer: it prints only in verbose mode
        self.log = log

    def supports(self, question: Question) -> bool:
        return question_kind(question) is not None

    def answer(self, question: Question, text: Union[str, DocumentInput]) -> ProviderAnswer:
        t0 = time.perf_counter()
        kind = question_kind(question)
        if kind is None:
            raise ValueError(
                f"O provedor local não sabe responder à pergunta '{question.id}': "
                "ele responde apenas às perguntas de empresas, assinaturas e dados do contrato"
            )
        a = analisar(text)
        payload: Dict[str, object]
        if kind == EMPRESAS:
            payload = {EMPRESAS: a.empresas}
        elif kind == ASSINATURAS:
            payload = {ASSINATURAS: a.assinaturas}
            if self.log is not None:
                for aviso in a.avisos:
                    self.log(f"   {aviso}")
        else:
            payload = dict(a.dados)
        result = question.response_model.model_validate(payload)
        return ProviderAnswer(result=result, metrics=Metrics(time_seconds=time.perf_counter() - t0))
