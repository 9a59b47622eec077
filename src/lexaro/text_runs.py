"""Os caracteres de cada trecho de texto de uma página, numa passada só.

O PDFium dá os retângulos de texto de uma página (`count_rects`/`get_rect`):
cada um junta os caracteres seguidos de um mesmo objeto de texto que têm
caixa (os gerados por ele, espaços e quebras de linha, e os de caixa vazia
não contam nem separam). Ler o texto de cada retângulo pela área
(`get_text_bounded`) percorre a página inteira a cada chamada: numa página
de 20.000 trechos de um caractere, isso é quadrático. Aqui os caracteres são
percorridos uma vez, agrupados pelo objeto de texto de cada um como o PDFium
os agrupa, e o texto de cada trecho sai desse agrupamento; as caixas dos
caracteres (caras) só são pedidas onde decidem algo: se um objeto tem algum
caractere com caixa, dos dois lados de cada branco numa página de
assinaturas (`find_gaps`) e nos trechos cortados num vão (`cut_at_gaps`).

Quando o agrupamento não dá tantos trechos quanto a página tem retângulos
(um PDFium que agrupe de outro jeito), `run_chars` devolve None e quem chama
lê a página sem lugares.
"""

from __future__ import annotations

import ctypes
import re
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple

import pypdfium2 as pdfium
import pypdfium2.raw as pdfium_c

Rect = Tuple[float, float, float, float]

# o PDFium ignora, ao juntar os retângulos, caracteres de caixa mais estreita ou mais baixa que isto
_SIZE_EPSILON = 0.01
_BLANKS = re.compile(r"[ \t\xa0]+")


def _own(fn: Any, restype: Any, *argtypes: Any) -> Any:
    """The same PDFium function with plain pointer types: a call with integer
    handles and addresses costs no ctypes object, which matters at one call
    per character."""
    f = type(fn)(ctypes.cast(fn, ctypes.c_void_p).value)
    f.restype, f.argtypes = restype, argtypes
    return f


_VP = ctypes.c_void_p
_TEXT_OBJECT = _own(pdfium_c.FPDFText_GetTextObject, _VP, _VP, ctypes.c_int)
_CHAR_BOX = _own(pdfium_c.FPDFText_GetCharBox, ctypes.c_int, _VP, ctypes.c_int, _VP, _VP, _VP, _VP)
_UNICODE = _own(pdfium_c.FPDFText_GetUnicode, ctypes.c_uint, _VP, ctypes.c_int)


class CharBoxes:
    """A caixa de um caractere (esquerda, baixo, direita, topo), ou None sem caixa."""

    def __init__(self, textpage: pdfium.PdfTextPage) -> None:
        self.handle = ctypes.cast(textpage.raw, _VP).value
        self.v = (ctypes.c_double * 4)()
        base = ctypes.addressof(self.v)
        self.refs = (base, base + 8, base + 16, base + 24)

    def __call__(self, i: int) -> Optional[Rect]:
        if not _CHAR_BOX(self.handle, i, *self.refs):
            return None
        left, right, bottom, top = self.v
        return (left, bottom, right, top) if right - left >= _SIZE_EPSILON and top - bottom >= _SIZE_EPSILON \
            else None


def page_chars(textpage: pdfium.PdfTextPage) -> str:
    """Um caractere do texto por caractere da página (o texto da página,
    quando tem um por caractere; senão, caractere a caractere)."""
    n = textpage.count_chars()
    text: str = textpage.get_text_range()
    if len(text) == n:
        return text
    handle = ctypes.cast(textpage.raw, _VP).value
    return "".join(map(_char, (_UNICODE(handle, i) for i in range(n))))


def _char(code: int) -> str:
    # half of a UTF-16 pair, or past the last code point, is no character (and cannot be written out)
    return chr(code) if code <= 0x10FFFF and not 0xD800 <= code <= 0xDFFF else "\ufffd"


def clean_text(text: str) -> str:
    # PDFium separa as linhas com CRLF e marca hifenização suave com \x02.
    return text.replace("\r\n", "\n").replace("\r", "\n").replace("\x02", "").replace("\x00", "")


def _clean_run(s: str) -> str:
    """A run's text on one line: `clean_text`, blanks collapsed, no non-character."""
    return " ".join(clean_text(s).replace("\ufffe", "").split())


class PageRuns(NamedTuple):
    """The page's characters (one per index) and the indices of the characters of each run, in
    the order of PDFium's rectangles."""

    chars: str
    runs: List[List[int]]


def run_chars(textpage: pdfium.PdfTextPage, n_rects: int, chars: Optional[str] = None) -> Optional[PageRuns]:
    """Os caracteres de cada trecho, na ordem dos retângulos do PDFium; os
    gerados entre dois caracteres do mesmo trecho entram nele (`chars`: os
    da página, se já lidos por `page_chars`). None quando o agrupamento não
    dá `n_rects` trechos."""
    n = textpage.count_chars()
    if n <= 0:
        return None
    handle = ctypes.cast(textpage.raw, _VP).value
    objects = [_TEXT_OBJECT(handle, i) for i in range(n)]
    box = CharBoxes(textpage)
    runs: List[List[int]] = []
    current: Optional[int] = None
    pending: List[int] = []  # generated characters, or an object's with no box, after the current run
    i = 0
    while i < n:
        obj = objects[i]
        j = i + 1
        while j < n and objects[j] == obj:
            j += 1
        # i..j: the characters of one object (or generated ones, of none)
        if obj is None:
            pending.extend(range(i, j))
        elif any(box(k) is not None for k in range(i, j)):
            if obj == current and runs:
                runs[-1].extend(pending)
                runs[-1].extend(range(i, j))
            else:
                runs.append(list(range(i, j)))
                current = obj
            pending = []
        elif obj == current:
            pending.extend(range(i, j))
        i = j
    if len(runs) != n_rects:
        return None
    return PageRuns(chars if chars is not None and len(chars) == n else page_chars(textpage), runs)


def run_texts(textpage: pdfium.PdfTextPage, page: PageRuns, pieces: Sequence[Sequence[Rect]] = ()) -> List[str]:
    """O texto de cada trecho da página, na ordem dos retângulos; com
    `pieces` (`cut_at_gaps`: os pedaços de cada retângulo, da esquerda para
    a direita), o texto de cada pedaço."""
    chars = page.chars
    out: List[str] = []
    box = CharBoxes(textpage)
    for k, run in enumerate(page.runs):
        cut = pieces[k] if k < len(pieces) else ()
        if len(cut) < 2:
            out.append(_clean_run("".join(chars[i] for i in run)))
            continue
        # each character goes to the piece its middle falls in; one with no box follows the one before
        bounds = [(a[2] + b[0]) / 2 for a, b in zip(cut, cut[1:])]
        parts: List[List[str]] = [[] for _ in cut]
        p = 0
        for i in run:
            b = box(i)
            if b is not None:
                mid = (b[0] + b[2]) / 2
                p = 0
                while p < len(bounds) and mid > bounds[p]:
                    p += 1
            parts[p].append(chars[i])
        out.extend(_clean_run("".join(part)) for part in parts)
    return out


Gap = Tuple[int, int, Rect]


def find_gaps(textpage: pdfium.PdfTextPage, chars: str, gutter_min: float, rule_gap: float) -> List[Gap]:
    """Os vãos largos entre dois caracteres de uma mesma linha: os índices
    dos caracteres dos dois lados e o retângulo do vão.

    Um editor de texto escreve as duas colunas de assinatura numa linha só
    ("JOÃO SILVA" + espaços ou um deslocamento + "MARIA SOUZA"): o PDFium dá
    um retângulo para a linha inteira. As caixas dos caracteres (caras: só
    nas páginas de assinatura) mostram o vão; entre duas linhas de
    assinatura, basta um vão de `rule_gap`. Um vão entre colunas está sempre
    num branco (digitado, ou posto ali pelo PDFium): só os caracteres dos
    dois lados de cada branco são medidos."""
    box = CharBoxes(textpage)
    n = len(chars)
    gaps: List[Gap] = []
    for m in _BLANKS.finditer(chars):
        i, j = m.start() - 1, m.end()
        if i < 0 or j >= n:
            continue
        a, b = box(i), box(j)
        if a is None or b is None:
            continue
        # the rule of reading_order._gap_needed, told here by the characters on each side of the blank
        wide = rule_gap if chars[i] == chars[j] == "_" else gutter_min
        if b[0] - a[2] >= wide and min(a[3], b[3]) >= max(a[1], b[1]) - 1:
            gaps.append((i, j, (a[2], min(a[1], b[1]), b[0], max(a[3], b[3]))))
    return gaps


def cut_at_gaps(raw: Sequence[Rect], page: PageRuns, gaps: Sequence[Gap]) -> List[List[Rect]]:
    """Os trechos de texto cortados nos vãos (`find_gaps`) de dentro deles:
    os pedaços de cada retângulo, da esquerda para a direita (um só quando
    não há vão). Um vão corta o trecho dos caracteres dos dois lados dele,
    quando são do mesmo trecho."""
    owner = [-1] * len(page.chars)
    for k, run in enumerate(page.runs):
        for i in run:
            owner[i] = k
    inside: List[List[Rect]] = [[] for _ in raw]
    for i, j, g in gaps:
        if owner[i] >= 0 and owner[i] == owner[j]:
            inside[owner[i]].append(g)
    out: List[List[Rect]] = []
    for r, own in zip(raw, inside):
        pieces = []
        x = r[0]
        for g in sorted(own):
            if x < g[0] < g[2] < r[2]:
                pieces.append((x, r[1], g[0], r[3]))
                x = g[2]
        pieces.append((x, r[1], r[2], r[3]))
        out.append(pieces)
    return out
