"""Where each answer was read: the evidence beside the answers.

Every company (name and CNPJ) and every signatory that an answer names is
looked for in the document's own text, page by page: without accents, case
or look-alike letters, across line breaks and the punctuation between
words, and a CNPJ by its characters whatever the punctuation. Each
occurrence gives, per line it spans, the page (from 1), the rectangle that
encloses its characters in PDF points on the page as displayed (rotation
applied, origin at the top-left corner, x to the right, y down) and the text
of that line. On a text page the rectangle comes from the PDF's character
boxes; on a page read by OCR, from the boxes of the words that Tesseract
read. An answer found nowhere is marked ``"localizado": false`` (a model
that invents a CNPJ shows); if some page went to a vision model as a
picture only, it may have been read there, and the entry says so.

The shape, one dict for a document::

    {"empresas": [{"nome", "cnpj", "onde": [...], "localizado"}],
     "signatarios": [{"nome", "onde": [...], "localizado"}]}

each ``onde`` item being ``{"pagina", "retangulo": [x0, y0, x1, y1], "linha",
"campo"}`` (``campo``: "nome" or "cnpj"; ``retangulo`` is None when the
characters could not be boxed).
"""

from __future__ import annotations

import ctypes
import re
from dataclasses import dataclass
from typing import Any, Dict, Iterable, Iterator, List, Optional, Pattern, Sequence, Tuple

import pypdfium2 as pdfium
import pypdfium2.raw as pdfium_c

from .confusables import search_table
from .folding import fold
from .layout import union
from .pdf import DocumentPages, PageText

__all__ = ["locate", "answers_of", "NOT_FOUND_SCANNED"]

NOT_FOUND_SCANNED = "não localizado (página digitalizada)"
# occurrences kept per answered string: a party's name can be on every page
MAX_PLACES = 20
# between two words of an answer: blanks, a line break, punctuation ("Silva,\nJoão")
_SEP = r"[^0-9a-z]{1,6}"
_CNPJ_SEP = r"[ .,/\-]{0,2}"

Rect = Tuple[float, float, float, float]


def _folded(s: str) -> str:
    return fold(s).translate(search_table)


@dataclass(frozen=True)
class Needle:
    """An answered string as a pattern over folded text, with the literal
    its every match starts with (found first, at C speed)."""

    head: str
    pattern: Pattern[str]

    def finditer(self, text: str) -> Iterator[Tuple[int, int]]:
        pos = text.find(self.head)
        while pos >= 0:
            if pos == 0 or not _ALNUM(text[pos - 1]):
                m = self.pattern.match(text, pos)
                if m is not None:
                    yield m.start(), m.end()
                    pos = text.find(self.head, m.end())
                    continue
            pos = text.find(self.head, pos + 1)


def _ALNUM(c: str) -> bool:
    return ("0" <= c <= "9") or ("a" <= c <= "z")


def name_pattern(name: str) -> Optional[Needle]:
    tokens = re.findall(r"[0-9a-z]+", _folded(name))
    if not tokens or sum(map(len, tokens)) < 3:
        return None
    body = _SEP.join(re.escape(t) for t in tokens)
    return Needle(tokens[0], re.compile(body + r"(?![0-9a-z])"))


def cnpj_pattern(cnpj: str) -> Optional[Needle]:
    chars = [c for c in cnpj.lower() if c.isascii() and c.isalnum()]
    if len(chars) < 8:
        return None
    return Needle(chars[0], re.compile(_CNPJ_SEP.join(re.escape(c) for c in chars) + r"(?![0-9a-z])"))


@dataclass
class _Page:
    page: PageText
    folded: str
    ocr_end: int  # text[:ocr_end] came from OCR (with word boxes); the rest is the text layer


def _pages(doc: DocumentPages) -> List[_Page]:
    out = []
    for pg in doc.pages:
        ocr_end = 0
        if pg.source == "ocr":
            ocr_end = len(pg.text) - (len(pg.stamp) + 2 if pg.stamp else 0)
        out.append(_Page(pg, fold_keep_length(pg.text), ocr_end))
    return out


_LATIN1 = bytes(ord(search_table.get(i, chr(i))) if ord(search_table.get(i, chr(i))) < 256 else i for i in range(256))
_BEYOND_LATIN1 = re.compile("[^\x00-\xff]+")


def fold_keep_length(text: str) -> str:
    """`text` folded one character into one: positions stay where they were.

    The Latin-1 part goes through a byte table (the whole page at C speed);
    the few characters beyond it (dashes, curly quotes, look-alikes) one by one."""
    out = text.encode("latin-1", "replace").translate(_LATIN1).decode("latin-1")
    if text.isascii():
        return out
    parts = []
    last = 0
    for m in _BEYOND_LATIN1.finditer(text):
        parts.append(out[last:m.start()])
        parts.append(m.group().translate(search_table))
        last = m.end()
    parts.append(out[last:])
    return "".join(parts)


def _pieces(text: str, a: int, b: int) -> List[Tuple[int, int]]:
    """The span split at line breaks, each piece trimmed of blanks."""
    out = []
    start = a
    while start < b:
        nl = text.find("\n", start, b)
        end = b if nl < 0 else nl
        s, e = start, end
        while s < e and text[s].isspace():
            s += 1
        while e > s and text[e - 1].isspace():
            e -= 1
        if e > s:
            out.append((s, e))
        start = end + 1
    return out


def _line_of(text: str, s: int) -> str:
    a = text.rfind("\n", 0, s) + 1
    b = text.find("\n", s)
    return " ".join(text[a:b if b >= 0 else len(text)].split())


class _Boxes:
    """Rectangles of text pieces: from the pages the reading left open, else
    from the PDF reopened once (only if asked)."""

    def __init__(self, doc: DocumentPages) -> None:
        self.path = doc.path
        self.read = doc
        self._doc: Optional[pdfium.PdfDocument] = None
        self._pages: Dict[int, Tuple[pdfium.PdfPage, pdfium.PdfTextPage]] = {}
        self._failed = False

    def _open(self, number: int) -> Optional[Tuple[pdfium.PdfPage, pdfium.PdfTextPage]]:
        kept = self.read.opened(number)  # still open from the reading
        if kept is not None:
            return kept
        if self._failed:
            return None
        if number not in self._pages:
            try:
                if self._doc is None:
                    self._doc = pdfium.PdfDocument(self.path)
                page = self._doc[number - 1]
                self._pages[number] = (page, page.get_textpage())
            except (pdfium.PdfiumError, OSError, IndexError):
                self._failed = self._doc is None
                return None
        return self._pages[number]

    def text_rect(self, number: int, piece: str, nth: int) -> Optional[Rect]:
        """The rectangle of the nth occurrence of `piece` on the page, counted
        in reading order (lines from the top of the page as written, each from
        the left; a page turned by its /Rotate reads as written): the PDF's
        own order of characters can differ (a turned page, blocks drawn out
        of order)."""
        opened = self._open(number)
        if opened is None:
            return None
        page, textpage = opened
        rects = []
        for index, count in _search(textpage, piece):
            a, b = textpage.get_charbox(index), textpage.get_charbox(index + count - 1)
            rects.append((min(a[0], b[0]), min(a[1], b[1]), max(a[2], b[2]), max(a[3], b[3])))
        if not rects:
            return None
        rects.sort(key=lambda r: (-round(r[3] / 4), r[0]))
        return _display(page, rects[min(nth, len(rects) - 1)])

    def close(self) -> None:
        for page, textpage in self._pages.values():
            textpage.close()
            page.close()
        self._pages.clear()
        if self._doc is not None:
            self._doc.close()
            self._doc = None


# occurrences of one piece looked at on a page
_MAX_HITS = 64


def _search(textpage: pdfium.PdfTextPage, piece: str) -> List[Tuple[int, int]]:
    """(first character, count) of each occurrence of `piece` on the page."""
    searcher = textpage.search(piece, match_case=False, match_whole_word=False)
    out: List[Tuple[int, int]] = []
    try:
        while len(out) < _MAX_HITS:
            got = searcher.get_next()
            if got is None:
                break
            out.append(got)
    finally:
        searcher.close()
    return out


_SCALE = 64


def _display(page: pdfium.PdfPage, rect: Rect) -> Rect:
    """A rectangle of page space in points of the page as displayed, from the top-left corner."""
    w, h = page.get_size()
    dx, dy = ctypes.c_int(), ctypes.c_int()
    xs, ys = [], []
    for x in (rect[0], rect[2]):
        for y in (rect[1], rect[3]):
            pdfium_c.FPDF_PageToDevice(page, 0, 0, round(w * _SCALE), round(h * _SCALE), 0, x, y,
                                       ctypes.byref(dx), ctypes.byref(dy))
            xs.append(dx.value / _SCALE)
            ys.append(dy.value / _SCALE)
    return (min(xs), min(ys), max(xs), max(ys))


def _ocr_rect(pg: PageText, s: int, e: int) -> Optional[Rect]:
    boxes = [w.box for w in pg.words if w.start < e and w.start + len(w.text) > s]
    if not boxes:
        return None
    return union(boxes)


def _places(pages: Sequence[_Page], needle: Needle, campo: str, boxes: _Boxes) -> List[Dict[str, Any]]:
    out: List[Dict[str, Any]] = []
    for p in pages:
        for a, b in needle.finditer(p.folded):
            for s, e in _pieces(p.page.text, a, b):
                if s < p.ocr_end:
                    rect = _ocr_rect(p.page, s, e)
                else:
                    piece = p.page.text[s:e]
                    nth = p.folded.count(p.folded[s:e], p.ocr_end + 2 if p.ocr_end else 0, s)
                    rect = boxes.text_rect(p.page.number, piece, nth)
                out.append({"pagina": p.page.number,
                            "retangulo": None if rect is None else [round(v, 2) for v in rect],
                            "linha": _line_of(p.page.text, s), "campo": campo})
            if len(out) >= MAX_PLACES:
                return out
    return out


def _entry(pages: Sequence[_Page], boxes: _Boxes, scanned_images: bool,
           fields: Iterable[Tuple[str, Optional[str]]], base: Dict[str, Any]) -> Dict[str, Any]:
    onde: List[Dict[str, Any]] = []
    found_all = True
    for campo, value in fields:
        if not value:
            continue
        needle = cnpj_pattern(value) if campo == "cnpj" else name_pattern(value)
        places = _places(pages, needle, campo, boxes) if needle is not None else []
        found_all = found_all and bool(places)
        onde.extend(places)
    entry = dict(base, onde=onde, localizado=found_all)
    if not found_all and scanned_images:
        entry["nota"] = NOT_FOUND_SCANNED
    return entry


def answers_of(raw_results: Iterable[Dict[str, Any]]) -> Tuple[List[Dict[str, Optional[str]]], List[str]]:
    """The companies ({"nome", "cnpj"}) and the signatories' names that the answers hold.

    Any answer with a list "empresas" (razao_social, nome_fantasia or nome;
    cnpj) or "assinaturas" (nome_signatario or nome) counts, whatever its
    question's id."""
    empresas: List[Dict[str, Optional[str]]] = []
    nomes: List[str] = []
    for raw in raw_results:
        listed = raw.get("empresas")
        for e in listed if isinstance(listed, list) else []:
            if isinstance(e, dict):
                nome = e.get("razao_social") or e.get("nome_fantasia") or e.get("nome")
                cnpj = e.get("cnpj")
                if nome or cnpj:
                    empresas.append({"nome": nome if isinstance(nome, str) else None,
                                     "cnpj": cnpj if isinstance(cnpj, str) else None})
        listed = raw.get("assinaturas")
        for a in listed if isinstance(listed, list) else []:
            if isinstance(a, dict):
                nome = a.get("nome_signatario") or a.get("nome")
                if isinstance(nome, str) and nome.strip() and nome not in nomes:
                    nomes.append(nome)
    return empresas, nomes


def locate(doc: DocumentPages, empresas: Sequence[Dict[str, Optional[str]]],
           signatarios: Sequence[str]) -> Dict[str, List[Dict[str, Any]]]:
    """The evidence of the answered companies and signatories in `doc`."""
    pages = _pages(doc)
    scanned_images = any(p.source == "image" for p in doc.pages)
    boxes = _Boxes(doc)
    try:
        return {
            "empresas": [_entry(pages, boxes, scanned_images, (("nome", e.get("nome")), ("cnpj", e.get("cnpj"))),
                                {"nome": e.get("nome"), "cnpj": e.get("cnpj")}) for e in empresas],
            "signatarios": [_entry(pages, boxes, scanned_images, (("nome", n),), {"nome": n}) for n in signatarios],
        }
    finally:
        boxes.close()
