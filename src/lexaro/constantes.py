"""Constants of the engine, each written once.

The client, the providers and the local reader import them from here.
"""

from __future__ import annotations

import re
from typing import Pattern, Tuple

PROVIDERS: Tuple[str, ...] = ("openai", "azure", "local")
"""Providers that the client accepts, in the order shown to the user."""

DEFAULT_MODEL = "gpt-4o"
DEFAULT_AZURE_API_VERSION = "2024-02-15-preview"

CNPJ_PADRAO = (
    r"(?<![0-9A-Za-z])[0-9A-Z]{2}\.?[0-9A-Z]{3}\.?[0-9A-Z]{3}/?[0-9A-Z]{4}-?[0-9]{2}(?![0-9A-Za-z])"
)
"""A CNPJ as contracts write it: 12 characters from 0-9 and A-Z (digits only
before the alphanumeric CNPJ), then two check digits, with or without the
display punctuation "XX.XXX.XXX/XXXX-XX". Every quantifier is fixed, so a
match costs at most 18 steps from any position."""

CNPJ_RE: Pattern[str] = re.compile(CNPJ_PADRAO)
