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
from typing import Callable, Iterator, List, Optional, Tuple

import pypdfium2 as pdfium

from .layout import Block, Columns, Line, PageLayout, Unit, blocks_of, union
from .text_runs import CharBoxes, clean_text, cut_at_gaps, find_gaps, page_chars, run_chars, run_texts

Rect = Tuple[float, float, float, float]
_ORIENT: "dict[Tuple[int, int], Callable[[float, float], Tuple[float, float]]]" = {  # sentido da escrita -> transformação que o leva a +x, com o "alto" das letras em +y
    (1, 0): lambda x, y: (x, y),
    (-1, 0): lambda x, y: (-x, -y),
    (0, 1): lambda x, y: (y, -x),
    (0, -1): lambda x, y: (-y, x),
}
_ORIENT_SAMPLES = 16
# pairs tried from each sample until one of two boxed characters
_ORIENT_TRIES = 4
# um vão de 4 alturas de linha entre dois trechos da mesma linha separa colunas
_GUTTER_LINE_HEIGHTS = 4.0
# colunas de assinatura têm larguras parecidas; "rótulo: valor" de tabela, não
_COLUMN_WIDTH_RATIO = 0.5
# as linhas de assinatura marcam as páginas em que os trechos são cortados nos vãos
_SIGNATURE_LINE = "_____"


def _direction(textpage: pdfium.PdfTextPage) -> Tuple[int, int]:
    """Sentido da escrita na página, por voto entre pares de caracteres
    vizinhos. Só contam pares de caracteres com caixa: a de um espaço que o
    PDFium gera é um ponto na linha de base, e do meio de uma letra até ela
    o passo é para baixo."""
    n = textpage.count_chars()
    votes: "dict[Tuple[int, int], int]" = {}
    step = max(1, (n - 1) // _ORIENT_SAMPLES)
    box = CharBoxes(textpage)
    for start in range(0, max(0, n - 1), step):
        b = box(start)
        for i in range(start, min(start + _ORIENT_TRIES, n - 1)):
            a, b = b, box(i + 1)
            if a is None or b is None:
                continue
            size = max(a[2] - a[0], a[3] - a[1], b[2] - b[0], b[3] - b[1])
            dx = (b[0] + b[2] - a[0] - a[2]) / 2
            dy = (b[1] + b[3] - a[1] - a[3]) / 2
            if max(abs(dx), abs(dy)) == 0 or max(abs(dx), abs(dy)) > 3 * size:
                continue
            key = ((1 if dx > 0 else -1), 0) if abs(dx) >= abs(dy) else (0, (1 if dy > 0 else -1))
            votes[key] = votes.get(key, 0) + 1
            break
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
    # the wider of two runs that start together first (a run laid twice is dropped after it)
    return [sorted(line, key=lambda i: (rects[i][0], -rects[i][2])) for line in lines]


def _column_blocks(rects: List[Rect], lines: List[List[int]],
                   texts: Optional[List[str]] = None) -> List[List[List[List[int]]]]:
    """As linhas em unidades de leitura, cada unidade uma lista de colunas
    (cada coluna, as suas linhas): uma linha sozinha (uma coluna de uma
    linha), ou um bloco de linhas em duas colunas (a esquerda inteira, depois
    a direita). Com o
    texto dos trechos (`texts`), um rótulo de uma coluna só ("Testemunhas:")
    e uma nova fila de linhas de assinatura começam outro bloco; numa página
    de assinaturas (a que tem o texto dos trechos), um vão de meia medida já
    separa colunas."""
    gutter_min = _gutter(rects) / (2 if texts is not None else 1)

    def widest_gap(line: List[int]) -> Optional[Tuple[float, float]]:
        best: Optional[Tuple[float, float]] = None
        for a, b in zip(line, line[1:]):
            g0, g1 = rects[a][2], rects[b][0]
            if g1 - g0 >= _gap_needed(texts, a, b, gutter_min) and (best is None or g1 - g0 > best[1] - best[0]):
                best = (g0, g1)
        return best

    def starts(line: List[int], gap: Tuple[float, float]) -> Tuple[float, float]:
        return (min(rects[i][0] for i in line), min((rects[i][0] for i in line if rects[i][0] >= gap[1]),
                                                   default=gap[1]))

    units: List[List[List[List[int]]]] = []
    k = 0
    while k < len(lines):
        many = _many_columns(rects, lines, k, texts, gutter_min) if texts is not None else None
        if many is not None:
            unit_k, k = many
            units.append(unit_k)
            continue
        gap = widest_gap(lines[k])
        if gap is None:
            units.append([[lines[k]]])
            k += 1
            continue
        block, two_sided, g = [lines[k]], 1, gap
        # the gap of each line: columns typed with blanks are ragged, and each line splits at its own gap
        own_gaps: List[Optional[Tuple[float, float]]] = [gap]
        left0, right0 = starts(lines[k], gap)
        j = k + 1
        while j < len(lines):
            line = lines[j]
            own = widest_gap(line)
            if texts is not None:
                joined = " ".join(texts[i] for i in line).strip()
                if own is None and joined.endswith(":"):
                    break  # um rótulo que encabeça o que vem abaixo
                if own is not None and not joined.replace("_", "").strip():
                    break  # outra fila de assinaturas
            if own is not None:
                shared = (max(g[0], own[0]), min(g[1], own[1]))
                if shared[1] - shared[0] >= gutter_min / 2:
                    g = shared
                elif texts is None:
                    break  # outro vão: acabou o bloco
                else:
                    left, right = starts(line, own)
                    if abs(left - left0) > gutter_min or abs(right - right0) > 2 * gutter_min:
                        break  # outro vão: acabou o bloco
                two_sided += 1
            elif any(rects[i][0] < g[1] and rects[i][2] > g[0] for i in line):
                break  # atravessa o vão: acabou o bloco
            block.append(line)
            own_gaps.append(own)
            j += 1
        middle = (g[0] + g[1]) / 2
        cols: Tuple[List[int], List[int]] = ([], [])
        for line, own in zip(block, own_gaps):
            for i in line:
                right = rects[i][0] >= own[1] if own is not None else rects[i][0] >= middle
                cols[right].append(i)
        if not cols[0] or not cols[1]:
            units.extend([[line]] for line in block)
            k = j
            continue
        widths = [max(rects[i][2] for i in c) - min(rects[i][0] for i in c) for c in cols]
        if two_sided < 2 or min(widths) < _COLUMN_WIDTH_RATIO * max(widths) or (
                texts is not None and _label_table(block, own_gaps, rects, texts)):
            # não são colunas: as linhas seguem uma a uma (e a busca segue depois
            # delas, para que uma página hostil não custe tempo quadrático)
            units.extend([[line]] for line in block)
            k = j
            continue
        unit: List[List[List[int]]] = []
        for col in cols:
            members = set(col)
            unit.append([kept for kept in ([i for i in line if i in members] for line in block) if kept])
        units.append(unit)
        k = j
    return units


def _is_rule(text: str) -> bool:
    """The text of a run that is a signature rule ("_____") and nothing else."""
    return bool(text) and not text.replace("_", "")


def _gap_needed(texts: Optional[List[str]], a: int, b: int, wide: float) -> float:
    """The blank between runs `a` and `b` of a line that separates them: `wide`, or
    a short one between two signature rules side by side (known only with the
    runs' `texts`). `text_runs.find_gaps` keeps its own rule, on characters."""
    if texts is not None and _is_rule(texts[a]) and _is_rule(texts[b]):
        return wide / _GUTTER_LINE_HEIGHTS
    return wide


def _parts(rects: List[Rect], line: List[int], texts: List[str], wide: float) -> List[List[int]]:
    """The runs of a line cut at its gaps (between two signature rules, a short one does)."""
    out = [[line[0]]]
    for a, b in zip(line, line[1:]):
        if rects[b][0] - rects[a][2] >= _gap_needed(texts, a, b, wide):
            out.append([])
        out[-1].append(b)
    return out


def _many_columns(rects: List[Rect], lines: List[List[int]], k: int, texts: List[str],
                  wide: float) -> Optional[Tuple[List[List[List[int]]], int]]:
    """Three or more signature columns side by side from line k: the lines
    whose runs all start under the runs of line k, each run in its column.
    None when line k does not start such a block."""
    first = _parts(rects, lines[k], texts, wide)
    if len(first) < 3:
        return None
    starts = [rects[p[0]][0] for p in first]
    cols: List[List[List[int]]] = [[p] for p in first]
    j = k + 1
    while j < len(lines):
        parts = _parts(rects, lines[j], texts, wide)
        where = []
        for p in parts:
            near = min(range(len(starts)), key=lambda c: abs(starts[c] - rects[p[0]][0]))
            if abs(starts[near] - rects[p[0]][0]) > wide:
                break
            where.append(near)
        if len(parts) < 2 or len(where) != len(parts) or len(set(where)) != len(where):
            break
        for c, p in zip(where, parts):
            cols[c].append(p)
        j += 1
    if j - k < 2:
        return None
    return cols, j


_LABEL = re.compile(r"\s*(?:[0-9]{1,2}[.)]\s*)?([^\W\d_]{2,15})\s?:")


def _label_table(block: List[List[int]], own_gaps: List[Optional[Tuple[float, float]]], rects: List[Rect],
                 texts: List[str]) -> bool:
    """Linhas "Nome: JOÃO ...   CPF: 123..." são uma tabela de rótulos, não
    duas colunas: à direita, em toda linha, um rótulo que a esquerda não tem."""
    left_labels, right_labels = set(), set()
    for line, own in zip(block, own_gaps):
        if own is None:
            continue
        left = " ".join(texts[i] for i in line if rects[i][2] <= own[0])
        right = " ".join(texts[i] for i in line if rects[i][0] >= own[1])
        m_left, m_right = _LABEL.match(left), _LABEL.match(right)
        if m_right is None:
            return False
        right_labels.add(m_right.group(1).lower())
        if m_left is not None:
            left_labels.add(m_left.group(1).lower())
    return bool(right_labels) and not right_labels & left_labels


def _gutter(rects: List[Rect]) -> float:
    heights = sorted(r[3] - r[1] for r in rects if r[3] > r[1])
    return _GUTTER_LINE_HEIGHTS * (heights[len(heights) // 2] if heights else 10.0)


def page_reading(page: pdfium.PdfPage, textpage: pdfium.PdfTextPage,
                 number: int) -> Tuple[str, List[Rect], PageLayout]:
    """Texto de uma página em ordem de leitura, os retângulos de texto dela
    (no espaço da página, como o PDFium os dá) e as linhas, blocos e colunas
    da página (`layout.PageLayout`, a página de número `number`)."""
    text = clean_text(textpage.get_text_range())
    n = textpage.count_rects()
    raw = [textpage.get_rect(i) for i in range(n)]
    direction = _direction(textpage) if n else (1, 0)
    flat = _trim_lines(text)
    if n < 1:
        return flat, raw, PageLayout(())
    # the text layer's lines: the lines of the page when the runs are in reading order and as
    # many (the usual case: no character looked at one by one)
    in_order = [t.strip() for t in flat.split("\n") if t.strip()]
    texts: Optional[List[str]] = None
    cut = raw
    if direction == (1, 0) and _SIGNATURE_LINE in text:
        chars = page_chars(textpage)
        gutter = _gutter(raw) / 2
        gaps = find_gaps(textpage, chars, gutter, gutter / _GUTTER_LINE_HEIGHTS)
        if not gaps and len(in_order) == n:
            texts = in_order  # no run to cut, one to a line of the text layer
        else:
            runs = run_chars(textpage, n, chars)
            if runs is None:
                return flat, raw, _unplaced(number, in_order)
            pieces = cut_at_gaps(raw, runs, gaps)
            cut = [r for ps in pieces for r in ps]
            texts = run_texts(textpage, runs, pieces)
    rects = cut if direction == (1, 0) else [_oriented(r, direction) for r in cut]
    units = _column_blocks(rects, _lines(rects), texts) if len(cut) > 1 else [[[[0]]]]
    order = [i for unit in units for col in unit for line in col for i in line]
    same = order == list(range(n)) and len(cut) == n
    stream: Optional[Iterator[str]] = None
    if same and texts is None and len(in_order) == sum(len(col) for unit in units for col in unit):
        stream = iter(in_order)
    elif texts is None:
        # each run's own text, all of them in one pass over the page's characters
        runs = run_chars(textpage, n)
        if runs is None:
            return flat, raw, _unplaced(number, in_order)
        texts = run_texts(textpage, runs)
    run_text = texts if texts is not None else []

    def line_text(line: List[int]) -> str:
        if stream is not None:
            return next(stream)
        return " ".join(_once(line, rects, run_text))

    box = _oriented((0.0, 0.0, *page.get_size()), direction)  # the page, whose top-left is the lines' origin

    def to_line(line: List[int]) -> Line:
        r = rects[line[0]] if len(line) == 1 else union(rects[i] for i in line)
        return Line(line_text(line), (r[0] - box[0], box[3] - r[3], r[2] - box[0], box[3] - r[1]), number)

    def kept(col: List[List[int]]) -> List[Line]:
        out = []
        for line in col:
            ln = to_line(line)
            if ln.text:
                out.append(ln)
        return out

    out_units: List[Unit] = []
    pending: List[Line] = []
    for unit in units:
        if len(unit) == 1:
            pending.extend(kept(unit[0]))
            continue
        out_units.extend(blocks_of(pending))
        pending = []
        out_units.append(Columns(tuple(tuple(blocks_of(kept(col))) for col in unit)))
    out_units.extend(blocks_of(pending))
    layout = PageLayout(tuple(out_units))
    if same:
        return flat, raw, layout
    return "\n".join(l.text for l in layout.lines() if l.text), raw, layout


# a run lying this much inside the one before it, with the same words, is that one again
_DOUBLED = 0.8


def _once(line: List[int], rects: List[Rect], texts: List[str]) -> List[str]:
    """The texts of a line's runs, each once: a text layer laid twice over the
    same place (a visible one and an invisible one, or a word printed twice to
    look bold) gives runs on top of each other that say the same; the widest
    is kept. Each run is compared with the run that reaches furthest right so
    far, so a line of thousands of runs stays linear."""
    out: List[str] = []
    cover: Optional[Tuple[Rect, str]] = None
    for i in line:
        t = texts[i]
        if not t:
            continue
        r = rects[i]
        if cover is not None:
            c, ct = cover
            inside = min(r[2], c[2]) - max(r[0], c[0])
            if inside >= _DOUBLED * (r[2] - r[0]) and t in ct:
                continue
        out.append(t)
        if cover is None or r[2] > cover[0][2]:
            cover = (r, t)
    return out


def _unplaced(number: int, lines: List[str]) -> PageLayout:
    """A page whose runs could not be told apart: its text layer's lines, with no place."""
    return PageLayout((Block(tuple(Line(s, None, number) for s in lines)),) if lines else ())


def _trim_lines(text: str) -> str:
    # camadas de OCR terminam cada palavra com um espaço, inclusive a última da linha
    return re.sub(r"[ \t]+\n", "\n", text).rstrip(" \t")
