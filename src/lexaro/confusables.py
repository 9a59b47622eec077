"""Letters of other scripts that look like Latin ones.

A PDF's text layer sometimes writes a Latin word with Cyrillic or Greek
capitals that look the same ("CЕР" with a Cyrillic Е, "COМО" with a
Cyrillic М and О): the page reads well, but no pattern written with Latin
letters matches it. Inside a word that has Latin letters, each look-alike
becomes its Latin letter; a word written wholly in another script stays.
"""

from __future__ import annotations

import re
from typing import Dict, Match

from .folding import fold

__all__ = ["LOOKALIKES", "unconfuse", "search_table"]

LOOKALIKES: Dict[str, str] = {
    # Cyrillic
    "А": "A", "В": "B", "Е": "E", "К": "K", "М": "M", "Н": "H", "О": "O", "Р": "P", "С": "C", "Т": "T",
    "Х": "X", "У": "Y", "І": "I", "Ј": "J", "Ѕ": "S", "Ԛ": "Q", "Ԝ": "W",
    "а": "a", "е": "e", "о": "o", "р": "p", "с": "c", "у": "y", "х": "x", "і": "i", "ј": "j", "ѕ": "s",
    "һ": "h", "ԁ": "d", "ԛ": "q", "ԝ": "w",
    # Greek
    "Α": "A", "Β": "B", "Ε": "E", "Ζ": "Z", "Η": "H", "Ι": "I", "Κ": "K", "Μ": "M", "Ν": "N", "Ο": "O",
    "Ρ": "P", "Τ": "T", "Υ": "Y", "Χ": "X", "ο": "o", "ν": "v", "ι": "i", "κ": "k",
}
_TRANSLATE = str.maketrans(LOOKALIKES)
_OTHER = re.compile("[\u0370-\u052f]")
_WORD = re.compile(r"[^\W\d_]+")
_LATIN = re.compile("[A-Za-zÀ-ÖØ-öø-ɏ]")


def _fix(m: Match[str]) -> str:
    word = m.group()
    if not _OTHER.search(word) or not _LATIN.search(word):
        return word
    return word.translate(_TRANSLATE)


def unconfuse(text: str) -> str:
    """`text` with the look-alike letters inside Latin words made Latin (same length)."""
    if not _OTHER.search(text):
        return text
    return _WORD.sub(_fix, text)


def _search_table() -> Dict[int, str]:
    table: Dict[int, str] = {}
    for cp in list(range(0x80, 0x250)) + list(range(0x370, 0x530)) + [0x2010, 0x2011, 0x2012, 0x2013, 0x2014]:
        c = chr(cp)
        f = fold(LOOKALIKES.get(c, c))
        if cp in (0x2010, 0x2011, 0x2012, 0x2013, 0x2014):
            f = "-"
        if len(f) == 1 and f != c:
            table[cp] = f
    for cp in range(ord("A"), ord("Z") + 1):
        table[cp] = chr(cp + 32)
    return table


search_table: Dict[int, str] = _search_table()
"""Translation that folds one character into one character (accents off, lower
case, look-alikes made Latin, dashes made hyphens): positions do not move, so
a match in the translated text is at the same place in the original."""
