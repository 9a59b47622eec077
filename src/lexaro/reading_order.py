"""Ordem de leitura do texto de uma página do PDF.

O PDFium devolve o texto na ordem do fluxo de conteúdo, que em geral é a de
leitura. Não é em três casos comuns em contratos: assinaturas em duas
colunas escritas linha a linha ("JOÃO SILVA   MARIA SOUZA" e depois
"CPF: 1...   CPF: 2..."), blocos desenhados fora de ordem (rodapé antes do
corpo) e camadas de OCR invisíveis, que põem cada palavra num bloco. Os
retângulos de texto da página (um por trecho contínuo de uma linha) dizem
onde cada trecho está; quando a ordem deles no espaço (linhas de cima para
baixo, trechos da esquerda para a direita, colunas de assinatura uma depois
da outra) difere da do fluxo, o texto é remontado nessa ordem. O sentido da
escrita vem dos próprios caracteres, então páginas giradas (pelo /Rotate ou
pela matriz do conteúdo) seguem a ordem das suas linhas.
"""

from __future__ import annotations

import re
from typing import Callable, List, Optional, Tuple

import pypdfium2 as pdfium

Rect = Tuple[float, float, float, float]
_ORIENT: "dict[Tuple[int, int], Callable[[float, float], Tuple[float, float]]]" = {  # sentido da escrita -> transformação que o leva a +x, com o "alto" das letras em +y
    (1, 0): lambda x, y: (x, y),
    (-1, 0): lambda x, y: (-x, -y),
    (0, 1): lambda x, y: (y, -x),
    (0, -1): lambda x, y: (-y, x),
}
_ORIENT_SAMPLES = 16
# um vão de 4 alturas de linha entre dois trechos da mesma linha separa colunas
_GUTTER_LINE_HEIGHTS = 4.0
# colunas de assinatura têm larguras parecidas; "rótulo: valor" de tabela, não
_COLUMN_WIDTH_RATIO = 0.5


def _direction(textpage: pdfium.PdfTextPage) -> Tuple[int, int]:
    """Sentido da escrita na página, por voto entre pares de caracteres vizinhos."""
    n = textpage.count_chars()
    votes: "dict[Tuple[int, int], int]" = {}
    step = max(1, (n - 1) // _ORIENT_SAMPLES)
    for i in range(0, max(0, n - 1), step):
        a = textpage.get_charbox(i)
        b = textpage.get_charbox(i + 1)
        size = max(a[2] - a[0], a[3] - a[1], b[2] - b[0], b[3] - b[1])
        if size <= 0 or min(a[2] - a[0], a[3] - a[1], b[2] - b[0], b[3] - b[1]) < 0:
            continue
        dx = (b[0] + b[2] - a[0] - a[2]) / 2
        dy = (b[1] + b[3] - a[1] - a[3]) / 2
        if max(abs(dx), abs(dy)) == 0 or max(abs(dx), abs(dy)) > 3 * size:
            continue
        key = ((1 if dx > 0 else -1), 0) if abs(dx) >= abs(dy) else (0, (1 if dy > 0 else -1))
        votes[key] = votes.get(key, 0) + 1
    return max(votes, key=lambda k: votes[k]) if votes else (1, 0)


def _oriented(rect: Rect, direction: Tuple[int, int]) -> Rect:
    f = _ORIENT[direction]
    xs, ys = zip(*(f(x, y) for x in (rect[0], rect[2]) for y in (rect[1], rect[3])))
    return min(xs), min(ys), max(xs), max(ys)


def _lines(rects: List[Rect]) -> List[List[int]]:
    """Índices dos retângulos agrupados em linhas (de cima para baixo), cada
    linha da esquerda para a direita."""
    order = sorted(range(len(rects)), key=lambda i: (-(rects[i][1] + rects[i][3]), rects[i][0]))
    lines: List[List[int]] = []
    band: Tuple[float, float] = (0.0, 0.0)
    for i in order:
        lo, hi = rects[i][1], rects[i][3]
        mid = (lo + hi) / 2
        if lines and band[0] <= mid <= band[1]:
            lines[-1].append(i)
            band = (min(band[0], lo), max(band[1], hi))
        else:
            lines.append([i])
            band = (lo, hi)
    return [sorted(line, key=lambda i: rects[i][0]) for line in lines]


def _column_blocks(rects: List[Rect], lines: List[List[int]]) -> List[List[List[int]]]:
    """As linhas em unidades de leitura: uma linha sozinha, ou um bloco de
    linhas em duas colunas (a esquerda inteira, depois a direita)."""
    heights = sorted(r[3] - r[1] for r in rects if r[3] > r[1])
    gutter_min = _GUTTER_LINE_HEIGHTS * (heights[len(heights) // 2] if heights else 10.0)

    def widest_gap(line: List[int]) -> Optional[Tuple[float, float]]:
        best: Optional[Tuple[float, float]] = None
        for a, b in zip(line, line[1:]):
            g0, g1 = rects[a][2], rects[b][0]
            if g1 - g0 >= gutter_min and (best is None or g1 - g0 > best[1] - best[0]):
                best = (g0, g1)
        return best

    units: List[List[List[int]]] = []
    k = 0
    while k < len(lines):
        gap = widest_gap(lines[k])
        if gap is None:
            units.append([lines[k]])
            k += 1
            continue
        block, two_sided, g = [lines[k]], 1, gap
        j = k + 1
        while j < len(lines):
            line = lines[j]
            own = widest_gap(line)
            if own is not None:
                shared = (max(g[0], own[0]), min(g[1], own[1]))
                if shared[1] - shared[0] < gutter_min / 2:
                    break  # outro vão: acabou o bloco
                g = shared
                two_sided += 1
            elif any(rects[i][0] < g[1] and rects[i][2] > g[0] for i in line):
                break  # atravessa o vão: acabou o bloco
            block.append(line)
            j += 1
        cols = ([i for line in block for i in line if rects[i][2] <= g[0]],
                [i for line in block for i in line if rects[i][0] >= g[1]])
        widths = [max(rects[i][2] for i in c) - min(rects[i][0] for i in c) for c in cols]
        if two_sided < 2 or min(widths) < _COLUMN_WIDTH_RATIO * max(widths):
            # não são colunas: as linhas seguem uma a uma (e a busca segue depois
            # delas, para que uma página hostil não custe tempo quadrático)
            units.extend([line] for line in block)
            k = j
            continue
        unit: List[List[int]] = []
        for col in cols:
            members = set(col)
            unit.extend(kept for kept in ([i for i in line if i in members] for line in block) if kept)
        units.append(unit)
        k = j
    return units


def page_text(page: pdfium.PdfPage, textpage: pdfium.PdfTextPage) -> str:
    """Texto de uma página, em ordem de leitura."""
    text = _clean(textpage.get_text_range())
    n = textpage.count_rects()
    if n < 2:
        return _trim_lines(text)
    raw = [textpage.get_rect(i) for i in range(n)]
    direction = _direction(textpage)
    rects = [_oriented(r, direction) for r in raw]
    units = _column_blocks(rects, _lines(rects))
    order = [i for unit in units for line in unit for i in line]
    if order == list(range(n)):
        return _trim_lines(text)
    out = []
    for unit in units:
        for line in unit:
            words = (_clean(textpage.get_text_bounded(*raw[i])).strip() for i in line)
            out.append(" ".join(w.replace("\n", " ") for w in words if w))
    return "\n".join(line for line in out if line)


def _clean(text: str) -> str:
    # PDFium separa as linhas com CRLF e marca hifenização suave com \x02.
    return text.replace("\r\n", "\n").replace("\r", "\n").replace("\x02", "").replace("\x00", "")


def _trim_lines(text: str) -> str:
    # camadas de OCR terminam cada palavra com um espaço, inclusive a última da linha
    return re.sub(r"[ \t]+\n", "\n", text).rstrip(" \t")
