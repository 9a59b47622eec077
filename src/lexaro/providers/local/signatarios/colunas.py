"""Signature blocks in columns, laid out one after the other.

Columns typed side by side on a page reach the readers already apart: the
page's geometry splits them where the page has a gap (`reading_order`,
`layout.Columns`). What is left for the text is what has no geometry to
split: a table drawn with pipes ("| JOÃO | MARIA |", cells under a row of
signature lines) and several blocks written inline on one line
("1. ____ Nome: A CPF: x 2. ____ Nome: B"), one per line.
"""

from __future__ import annotations

import re
from typing import Iterable, List, Optional, Tuple

from ....layout import Line
from ..texto import celulas, eh_papel
from .blocos import _ENUMERACAO, _ROTULO_PARTE, _TESTEMUNHAS

_SUB = re.compile(r"_{5,}")
_ENUM_FINAL = re.compile(r"\s[0-9]{1,2}\s?[.)]$")

Linha = Tuple[str, Optional[Line]]


def _dividir(s: str, k: int) -> Optional[List[str]]:
    """The k cells of a table row drawn with pipes, None when it has not k."""
    if not s.startswith("|"):
        return None
    cel = celulas(s)
    return cel if len(cel) == k else None


def _rotulo_de_parte(s: str) -> bool:
    m = _ROTULO_PARTE.match(s)
    return m is not None and eh_papel(m.group("papel"))


def _colunas_da_linha(s: str) -> int:
    if s.startswith("|"):
        cel = celulas(s)
        return len(cel) if len(cel) >= 2 and any(_SUB.fullmatch(c) for c in cel) else 0
    runs = _SUB.findall(s)
    if len(runs) < 2:
        return 0
    resto = _SUB.sub(" ", s)
    return len(runs) if all(_ENUMERACAO.match(p + " ") or not p for p in resto.split(" ")) or \
        not re.search(r"[A-Za-zÀ-ÿ]{2}", resto) else 0


def _partes_da_sublinhada(s: str, k: int) -> List[str]:
    if s.startswith("|"):
        return celulas(s)
    out, ini = [], 0
    for m in _SUB.finditer(s):
        out.append(s[ini:m.end()].strip())
        ini = m.end()
    return out[:k]


def _em_linhas(linhas: Iterable[Linha]) -> List[Linha]:
    """The lines (each with its place on the page, if known) with the columns
    of a pipe table laid out one after the other and inline blocks ("1. ____
    Nome: A CPF: x 2. ____ Nome: B") one per line; the pieces of a line have
    no place of their own."""
    entrada: List[Linha] = []
    for s, onde in linhas:
        s = s.strip()
        if len(_SUB.findall(s)) >= 2 and not _colunas_da_linha(s) and not s.startswith("|"):
            pos = [m.start() for m in _SUB.finditer(s)]
            for a, b in zip([0] + pos, pos + [len(s)]):
                pedaco = _ENUM_FINAL.sub("", s[a:b].strip())
                if pedaco:
                    entrada.append((pedaco, None))
            continue
        entrada.append((s, onde))
    out: List[Linha] = []
    i, n = 0, len(entrada)
    while i < n:
        s = entrada[i][0]
        k = _colunas_da_linha(s)
        if k < 2:
            out.append(entrada[i])
            i += 1
            continue
        cols: List[List[str]] = [[] for _ in range(k)]
        if out and out[-1][0]:
            cab = _dividir(out[-1][0], k)
            if cab and all(_rotulo_de_parte(c) for c in cab):
                out.pop()
                for j in range(k):
                    cols[j].append(cab[j])
        for j, parte in enumerate(_partes_da_sublinhada(s, k)):
            cols[j].append(parte)
        i += 1
        while i < n:
            s = entrada[i][0]
            if not s or _SUB.search(s) or _TESTEMUNHAS.match(s):
                break
            partes = _dividir(s, k)
            if partes is None:
                break
            for j in range(k):
                cols[j].append(partes[j])
            i += 1
        for c in cols:
            out.extend((t, None) for t in c)
    return out
