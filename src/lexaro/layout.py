"""The page as the readers see it: lines, blocks of stacked lines, columns.

`reading_order.py` builds these objects from the text runs of a PDF page and
`build_from_words` from the words Tesseract read on a scanned page, so the
readers of the local engine get the same shapes whatever the source:

- `Line`: the text of one line, the rectangle that encloses it and its page;
- `Block`: lines stacked one under the other (a paragraph, a signature block);
- `Columns`: blocks side by side, split where the page has a gap (signatures
  typed in two columns), each column read top to bottom.

Rectangles are in points, in the direction of the writing (a turned page reads
as written), origin at the top-left corner of the page, y down. Text given as
a plain string (no PDF) becomes lines with no rectangle, one page per chunk
between empty lines.

`running_lines` finds the header and footer repeated on every page by their
place: the lines at the top or bottom edge of the pages, in the same band of
the page on most of them. Their text may change from page to page (a page
number, a date); lines at the edge but at different heights must say the
same, numbers aside. `reader_text` lays the pages out for the readers without
them.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Set, Tuple, Union

Rect = Tuple[float, float, float, float]

__all__ = ["Rect", "Line", "Block", "Columns", "PageLayout", "stacks", "blocks_of", "build_from_words",
           "from_text", "running_lines", "reader_text"]


class Line(NamedTuple):
    """One line: its text, the rectangle around it (None in plain text) and its page (from 1)."""

    text: str
    rect: Optional[Rect]
    page: int


@dataclass(frozen=True)
class Block:
    lines: Tuple[Line, ...]


@dataclass(frozen=True)
class Columns:
    columns: Tuple[Tuple[Block, ...], ...]


Unit = Union[Block, Columns]


@dataclass(frozen=True)
class PageLayout:
    units: Tuple[Unit, ...]

    def lines(self) -> Iterator[Line]:
        """The lines in reading order: each column of a `Columns` whole, left to right."""
        for unit in self.units:
            blocks: Iterable[Block] = (unit,) if isinstance(unit, Block) else (b for col in unit.columns for b in col)
            for block in blocks:
                yield from block.lines


def union(rects: Iterable[Rect]) -> Rect:
    r = list(rects)
    return (min(x[0] for x in r), min(x[1] for x in r), max(x[2] for x in r), max(x[3] for x in r))


# the blank between two lines of one paragraph is under a line's height; a paragraph's
# spacing or a blank line is more
_STACK_GAP = 0.9


def stacks(upper: Line, lower: Line) -> bool:
    """`lower` sits right under `upper`: same page, a gap under one line's
    height, letters of similar height, and overlapping across. Lines without
    a place (plain text) follow one another."""
    a, b = upper.rect, lower.rect
    if a is None or b is None:
        return upper.page == lower.page
    if upper.page != lower.page:
        return False
    ha, hb = a[3] - a[1], b[3] - b[1]
    h = max(ha, hb)
    if h <= 0 or min(ha, hb) < 0.6 * h:
        return False
    gap = b[1] - a[3]
    return -0.5 * h <= gap <= _STACK_GAP * h and b[0] < a[2] and b[2] > a[0]


def blocks_of(lines: Sequence[Line]) -> List[Block]:
    """Consecutive lines cut into blocks where one does not stack on the one above."""
    out: List[Block] = []
    run: List[Line] = []
    for line in lines:
        if run and not stacks(run[-1], line):
            out.append(Block(tuple(run)))
            run = []
        run.append(line)
    if run:
        out.append(Block(tuple(run)))
    return out


def build_from_words(number: int, words: Sequence[Tuple[str, Rect, int]],
                     extra: Sequence[Line] = ()) -> PageLayout:
    """A page read by OCR: (text, box in points from the top-left, line number)
    of each word, in reading order; `extra` (the stamp of the text layer) is
    a block of its own after them."""
    lines: List[Line] = []
    cur: List[Tuple[str, Rect]] = []
    cur_no = None
    for text, box, no in words:
        if cur and no != cur_no:
            lines.append(Line(" ".join(t for t, _ in cur), union(b for _, b in cur), number))
            cur = []
        cur.append((text, box))
        cur_no = no
    if cur:
        lines.append(Line(" ".join(t for t, _ in cur), union(b for _, b in cur), number))
    units: List[Unit] = list(blocks_of(lines))
    if extra:
        units.append(Block(tuple(extra)))
    return PageLayout(tuple(units))


def from_text(text: str) -> Tuple[PageLayout, ...]:
    """Plain text as pages of lines with no place: a page is a chunk between empty lines."""
    pages: List[List[str]] = [[]]
    for raw in text.split("\n"):
        s = raw.strip()
        if not s:
            if pages[-1]:
                pages.append([])
            continue
        pages[-1].append(s)
    if not pages[-1]:
        pages.pop()
    return tuple(PageLayout((Block(tuple(Line(s, None, i) for s in chunk)),) if chunk else ())
                 for i, chunk in enumerate(pages, 1))


# --- the header and footer repeated on every page ---------------------------

# lines looked at on each edge of a page (a header can be two lines)
_EDGE_LINES = 2
# two lines are in the same band when their tops differ by less than this (points)
_BAND = 3.0
# lines in the same band are the same running line when half of their words are shared
_SHARED_WORDS = 0.5
_DIGITS = re.compile(r"[0-9]+")
_WORD = re.compile(r"\w+")


# a line's words and its text with the numbers masked and the blanks collapsed, computed once per line
_Keys = Tuple[Set[str], str]


def _keys(s: str) -> _Keys:
    return set(_WORD.findall(_DIGITS.sub("#", s.lower()))), _DIGITS.sub("#", " ".join(s.split()))


def _edge(page: PageLayout) -> List[Tuple[str, int, Line]]:
    lines = [l for l in page.lines() if l.text.strip()]
    if len(lines) < 3:
        return []  # a short page, or a paragraph of a plain text: no running line
    tops = [l.rect[1] for l in lines if l.rect is not None]
    if len(tops) == len(lines):  # all placed: from the top of the page
        lines = [lines[i] for i in sorted(range(len(lines)), key=tops.__getitem__)]
    out = [("top", k, l) for k, l in enumerate(lines[:_EDGE_LINES])]
    out += [("bottom", k, l) for k, l in enumerate(reversed(lines[-_EDGE_LINES:]))]
    return out


def _same(a: Line, b: Line, ka: _Keys, kb: _Keys) -> bool:
    """Two edge lines of two pages (`ka`, `kb` their `_keys`) are one running
    line: in the same band, by half their words; elsewhere (or with no
    place), by all of them."""
    wa, wb = ka[0], kb[0]
    if not wa or not wb:
        return False
    if a.rect is not None and b.rect is not None and abs(a.rect[1] - b.rect[1]) <= _BAND \
            and abs(a.rect[0] - b.rect[0]) <= 4 * _BAND:
        return len(wa & wb) >= _SHARED_WORDS * max(len(wa), len(wb))
    return ka[1] == kb[1]


# edge lines compared two by two in one place of the pages; a longer document is judged on
# pages spread over it, and its other pages by the running lines found there (linear)
_MAX_COMPARED = 48


def _candidate(line: Line) -> bool:
    t = line.text
    return len(t.strip()) >= 3 and not t.startswith("_") and not t.endswith(":")


def _running_in(group: List[Line], need: int) -> Set[Line]:
    """The lines of `group` (one place of the pages) that are one running line with `need` - 1 others."""
    keys = [_keys(l.text) for l in group]
    found: Set[Line] = set()
    for i, line in enumerate(group):
        if line in found or not _candidate(line):
            continue
        mates, left = 1, len(group) - 1
        for j, other in enumerate(group):
            if j == i:
                continue
            if mates + left < need:
                break  # too few lines left to reach `need`
            left -= 1
            if _same(line, other, keys[i], keys[j]):
                mates += 1
                if mates >= need:
                    found.add(line)
                    break
    return found


def running_lines(pages: Sequence[PageLayout]) -> Set[Line]:
    """The header and footer lines: at the same edge of at least half of the
    pages that hold three lines or more (two at least), as one running line."""
    edges = [e for e in (_edge(p) for p in pages) if e]
    if len(edges) < 2:
        return set()
    by_key: Dict[Tuple[str, int], List[Line]] = {}
    for e in edges:
        for side, k, line in e:
            by_key.setdefault((side, k), []).append(line)
    found: Set[Line] = set()
    for group in by_key.values():
        if len(group) * 2 < len(edges) or len(group) < 2:
            continue
        if len(group) <= _MAX_COMPARED:
            found |= _running_in(group, max(2, (len(edges) + 1) // 2))
            continue
        step = len(group) / _MAX_COMPARED
        sample = [group[int(i * step)] for i in range(_MAX_COMPARED)]
        seen = _running_in(sample, max(2, (len(sample) * len(group) // len(edges) + 1) // 2))
        kinds = [(l, _keys(l.text)) for l in seen]
        for line in group:
            if line in seen:
                found.add(line)
                continue
            if _candidate(line):
                kl = _keys(line.text)
                if any(_same(line, k, kl, kk) for k, kk in kinds):
                    found.add(line)
    return found


def reader_text(pages: Sequence[PageLayout]) -> Tuple[str, List[Optional[Line]]]:
    """The text the readers work on, one line of it per `Line` (the running
    lines left out), an empty line between pages; beside it, the `Line` of
    each line of the text (None for the empty lines)."""
    skip = running_lines(pages)
    out: List[str] = []
    lines: List[Optional[Line]] = []
    for page in pages:
        kept = [l for l in page.lines() if l not in skip and l.text.strip()]
        if not kept:
            continue
        if out:
            out.append("")
            lines.append(None)
        for l in kept:
            out.append(l.text)
            lines.append(l)
    return "\n".join(out), lines
