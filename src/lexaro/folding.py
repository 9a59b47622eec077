"""Accent folding of the engine: NFD, without combining marks (Mn), lower case.

This is the definition, applied whole-string by the C routines of the standard
library. ``unicodedata.normalize`` decomposes; the marks that Portuguese text
decomposes into (acute, tilde, cedilla, circumflex, grave, diaeresis) go with
``str.replace``; then one scan lists the distinct characters at or above
U+0300, and those of category Mn are removed too. No character below U+0300 is
a mark, so nothing else can be left. Lower-casing runs last, on the whole
string, so its one context rule (the final sigma) sees what the definition
sees.

The engine folds the same short words (labels, roles, tokens of names) over
and over, so short strings are remembered; the memo is emptied when it grows
past a bound, so it cannot grow with the input.
"""

from __future__ import annotations

import re
import unicodedata
from typing import Dict

__all__ = ["fold", "fold_reference"]

_COMMON_MARKS = "\u0301\u0303\u0327\u0302\u0300\u0308"
_HIGH = re.compile("[^\x00-\u02ff]")
_MEMO: Dict[str, str] = {}
_MEMO_MAX_KEY = 64
_MEMO_MAX_ITEMS = 20_000


def fold_reference(text: str) -> str:
    """The definition, character by character (slow, obviously right)."""
    decomposed = unicodedata.normalize("NFD", text)
    return "".join(c for c in decomposed if unicodedata.category(c) != "Mn").lower()


def _fold(text: str) -> str:
    if text.isascii():
        return text.lower()
    s = unicodedata.normalize("NFD", text)
    for mark in _COMMON_MARKS:
        if mark in s:
            s = s.replace(mark, "")
    if not s.isascii():
        for c in set(_HIGH.findall(s)):
            if unicodedata.category(c) == "Mn":
                s = s.replace(c, "")
    return s.lower()


def fold(text: str) -> str:
    """``text`` in NFD, without combining marks (category Mn), lower-cased."""
    if len(text) > _MEMO_MAX_KEY:
        return _fold(text)
    try:
        return _MEMO[text]
    except KeyError:
        pass
    if len(_MEMO) >= _MEMO_MAX_ITEMS:
        _MEMO.clear()
    out = _MEMO[text] = _fold(text)
    return out
