"""Escolha de trechos de um documento longo pelas palavras-chave da pergunta."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Sequence

# Accent folding: NFD, no combining marks, lower case.
from .folding import fold

GAP_MARK = "\n[...]\n"


@dataclass
class Selection:
    text: str
    total_blocks: int
    keyword_blocks: int
    sent_blocks: int


def _blocks(text: str, block_chars: int) -> List[str]:
    """Divide o texto em blocos de até ~block_chars, sempre em fim de linha."""
    out: List[str] = []
    cur: List[str] = []
    size = 0
    for line in text.split("\n"):
        if cur and size + len(line) + 1 > block_chars:
            out.append("\n".join(cur))
            cur, size = [], 0
        while len(line) > block_chars:  # linha gigante (texto sem quebras)
            out.append(line[:block_chars])
            line = line[block_chars:]
        cur.append(line)
        size += len(line) + 1
    if cur:
        out.append("\n".join(cur))
    return out


def select_passages(text: str, keywords: Sequence[str], budget_chars: int, block_chars: int = 1200) -> Selection:
    """Reduz `text` a no máximo `budget_chars` caracteres.

    Entram primeiro os blocos que contêm palavras-chave (sem distinção de
    maiúsculas nem de acentos), os de maior pontuação antes: cada palavra
    pesa mais quanto mais rara for no documento, de modo que uma palavra
    presente em todo bloco ("contrato") quase não conta. Depois entram os
    vizinhos desses blocos e, por fim, o restante na ordem do documento. O
    resultado mantém a ordem do documento e marca com "[...]" cada trecho
    omitido.
    """
    if len(text) <= budget_chars:
        return Selection(text, 1, 0, 1)
    block_chars = max(200, min(block_chars, budget_chars // 4 or 200))
    blocks = _blocks(text, block_chars)
    folded_kw = [fold(k) for k in keywords if k.strip()]
    folded_blocks = [fold(b) for b in blocks]
    present = [[k for k in folded_kw if k in fb] for fb in folded_blocks]
    n = len(blocks)
    df = {k: sum(1 for p in present if k in p) for k in folded_kw}
    weight = {k: math.log((n + 1) / (df[k] + 0.5)) for k in folded_kw}
    score = [sum(weight[k] for k in set(p)) for p in present]
    hits = sorted((i for i in range(n) if present[i]), key=lambda i: (-score[i], i))
    hit_set = set(hits)
    neighbours = []
    for i in hits:
        for j in (i - 1, i + 1):
            if 0 <= j < n and j not in hit_set and j not in neighbours:
                neighbours.append(j)
    rest = [i for i in range(len(blocks)) if i not in hit_set and i not in neighbours]

    chosen = set()
    used = 0
    for i in hits + neighbours + rest:
        cost = len(blocks[i]) + len(GAP_MARK)
        if used + cost <= budget_chars:
            chosen.add(i)
            used += cost
    parts: List[str] = []
    prev = -1
    for i in sorted(chosen):
        if parts and i != prev + 1:
            parts.append(GAP_MARK.strip("\n"))
        elif not parts and i != 0:
            parts.append(GAP_MARK.strip("\n"))
        parts.append(blocks[i])
        prev = i
    if prev != len(blocks) - 1:
        parts.append(GAP_MARK.strip("\n"))
    return Selection("\n".join(parts), len(blocks), len(hits), len(chosen))
