"""Signature blocks typed in columns, laid out one after the other.

Two columns typed on the same lines: the text layer keeps one line with both
halves ("JOÃO DA SILVA MARIA SOUZA"), so each line is cut in as many parts as
the line of underscores above has runs, by its labels, its company suffixes,
its offices or its names.
"""

from __future__ import annotations

import re
from itertools import combinations
from typing import AbstractSet, Callable, Iterable, List, Optional, Set, Tuple

from ..texto import CONECTORES, SUFIXO_EMPRESA, eh_cargo, eh_papel, fold, parece_pessoa
from .blocos import _ENUMERACAO, _ROTULO_PARTE, _TESTEMUNHAS

_SUB = re.compile(r"_{5,}")
_ENUM_FINAL = re.compile(r"\s[0-9]{1,2}\s?[.)]$")
_ROTULO_COLUNA = re.compile(
    r"(?:^|\s)(?=(?:[0-9]{1,2}[.)]\s)?(?:Nome|CPF|Cargo|RG|Por|Empresa|CNPJ|Fun[çc][ãa]o|Qualidade"
    r"|Pel[ao]s?\s[^\s:]{2,40}|P/\s?[^\s:]{2,40})\s?(?:/M[FE])?\s?(?:n[º°o]\.?)?\s?:)", re.I)


def _particoes(palavras: List[str], k: int, valido: Callable[[str], bool],
               conhecidos: AbstractSet[str]) -> Optional[List[str]]:
    """The cut of `palavras` into k valid parts: known names first, then the most even."""
    if not 2 <= k <= 4 or not k <= len(palavras) <= 24:
        return None
    melhor: Optional[Tuple[int, int, List[str]]] = None
    for cortes in combinations(range(1, len(palavras)), k - 1):
        limites = (0,) + cortes + (len(palavras),)
        partes = [" ".join(palavras[i:j]) for i, j in zip(limites, limites[1:])]
        if not all(valido(p) for p in partes):
            continue
        if valido is _cargo_inteiro and any(
                (fold(palavras[c - 1]).strip(".,"), fold(palavras[c]).strip(".,")) in _CARGOS_COMPOSTOS for c in cortes):
            continue
        tamanhos = [j - i for i, j in zip(limites, limites[1:])]
        chave = (-sum(fold(p) in conhecidos for p in partes), max(tamanhos) - min(tamanhos))
        if melhor is None or chave < melhor[:2]:
            melhor = (chave[0], chave[1], partes)
    return melhor[2] if melhor else None


def _cargo_inteiro(s: str) -> bool:
    palavras = s.split()
    return eh_cargo(s) and fold(palavras[-1]) not in CONECTORES


# Offices of two words: a column is never cut between them ("Diretor | Presidente").
_CARGOS_COMPOSTOS = {
    ("diretor", "presidente"), ("diretora", "presidente"), ("socio", "administrador"), ("socia", "administradora"),
    ("socio", "gerente"), ("socia", "gerente"), ("socio", "diretor"), ("socia", "diretora"), ("vice", "presidente"),
    ("diretor", "geral"), ("diretora", "geral"), ("diretor", "executivo"), ("diretora", "executiva"),
    ("diretor", "financeiro"), ("diretora", "financeira"), ("diretor", "comercial"), ("diretora", "comercial"),
    ("diretor", "superintendente"), ("diretora", "superintendente"), ("socio", "fundador"), ("socia", "fundadora"),
}


def _dividir(s: str, k: int, conhecidos: Set[str]) -> Optional[List[str]]:
    if s.startswith("|"):
        cel = [c.strip() for c in s.strip().strip("|").split("|")]
        return cel if len(cel) == k else None
    cortes = [m.end() for m in _ROTULO_COLUNA.finditer(s)]
    if len(cortes) == k and cortes[0] == 0:
        return [s[a:b].strip() for a, b in zip(cortes, cortes[1:] + [len(s)])]
    fins = [m.end() for m in SUFIXO_EMPRESA.finditer(s)]
    if len(fins) == k:
        partes, ini = [], 0
        for f in fins[:-1]:
            f = f + 1 if s[f:f + 1] == "." else f
            partes.append(s[ini:f].strip())
            ini = f
        partes.append(s[ini:].strip())
        if all(partes):
            return partes
    palavras = s.split()
    return _particoes(palavras, k, _cargo_inteiro, conhecidos) or _particoes(palavras, k, parece_pessoa, conhecidos)


def _rotulo_de_parte(s: str) -> bool:
    m = _ROTULO_PARTE.match(s)
    return m is not None and eh_papel(m.group("papel"))


def _colunas_da_linha(s: str) -> int:
    if s.startswith("|"):
        cel = [c.strip() for c in s.strip().strip("|").split("|")]
        return len(cel) if len(cel) >= 2 and any(_SUB.fullmatch(c) for c in cel) else 0
    runs = _SUB.findall(s)
    if len(runs) < 2:
        return 0
    resto = _SUB.sub(" ", s)
    return len(runs) if all(_ENUMERACAO.match(p + " ") or not p for p in resto.split(" ")) or \
        not re.search(r"[A-Za-zÀ-ÿ]{2}", resto) else 0


def _partes_da_sublinhada(s: str, k: int) -> List[str]:
    if s.startswith("|"):
        return [c.strip() for c in s.strip().strip("|").split("|")]
    out, ini = [], 0
    for m in _SUB.finditer(s):
        out.append(s[ini:m.end()].strip())
        ini = m.end()
    return out[:k]


def _em_linhas(linhas: Iterable[str], conhecidos: Set[str]) -> List[str]:
    """The lines of the text with columns laid out one after the other and
    inline blocks ("1. ____ Nome: A CPF: x 2. ____ Nome: B") one per line."""
    entrada: List[str] = []
    for s in linhas:
        s = s.strip()
        if len(_SUB.findall(s)) >= 2 and not _colunas_da_linha(s) and not s.startswith("|"):
            pos = [m.start() for m in _SUB.finditer(s)]
            for a, b in zip([0] + pos, pos + [len(s)]):
                pedaco = _ENUM_FINAL.sub("", s[a:b].strip())
                if pedaco:
                    entrada.append(pedaco)
            continue
        entrada.append(s)
    out: List[str] = []
    i, n = 0, len(entrada)
    while i < n:
        s = entrada[i]
        k = _colunas_da_linha(s)
        if k < 2:
            out.append(s)
            i += 1
            continue
        cols: List[List[str]] = [[] for _ in range(k)]
        if out and out[-1]:
            cab = _dividir(out[-1], k, conhecidos)
            if cab and all(_rotulo_de_parte(c) for c in cab):
                out.pop()
                for j in range(k):
                    cols[j].append(cab[j])
        for j, parte in enumerate(_partes_da_sublinhada(s, k)):
            cols[j].append(parte)
        i += 1
        while i < n:
            s = entrada[i]
            if not s or _SUB.search(s) or _TESTEMUNHAS.match(s):
                break
            partes = _dividir(s, k, conhecidos)
            if partes is None:
                break
            for j in range(k):
                cols[j].append(partes[j])
            i += 1
        for c in cols:
            out.extend(c)
    return out
