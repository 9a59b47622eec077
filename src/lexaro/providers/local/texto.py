"""Text helpers shared by the three readers of the local provider.

Character classes, the identifiers (CNPJ, CPF), the vocabularies of roles and
offices, name casing, and the reading of a PDF's text layer: which line breaks
end a paragraph, and the clean-up of what the text layer does to a contract
(page headers and footers repeated on every page, words hyphenated across
lines, tables drawn with pipes).

Every pattern here and in the readers runs in linear time on any text: no
quantified group can match the same characters in two ways (no nested or
adjacent unbounded quantifiers over overlapping classes), so the `re`
backtracking stays bounded by a constant per position.
"""

from __future__ import annotations

import re
from typing import List, Optional, Pattern, Set

from ...constantes import CNPJ_RE
from ...folding import fold

__all__ = [
    "UP", "LO", "CNPJ_RE", "CPF_RE", "fold", "ws", "digitos", "chave_cnpj", "singular", "titulo", "eh_cargo",
    "PAPEIS", "CARGOS", "CONECTORES", "SUFIXO_EMPRESA", "quebras_duras",
]

UP = "A-ZÀ-ÖØ-Þ"
LO = "a-zß-öø-ÿ"

CPF_RE: Pattern[str] = re.compile(r"(?<![0-9])[0-9]{3}\.?[0-9]{3}\.?[0-9]{3}-?[0-9]{2}(?![0-9])")

PAPEIS: Set[str] = {
    "contratante", "contratada", "contratado", "locador", "locadora", "locatario", "locataria",
    "fornecedora", "fornecedor", "compradora", "comprador", "vendedora", "vendedor", "interveniente",
    "anuente", "fiadora", "fiador", "cedente", "cessionaria", "cessionario", "prestadora", "tomadora",
    "outorgante", "outorgada", "devedora", "credora", "parte", "partes", "garantidora", "avalista",
    "franqueadora", "franqueada", "mutuante", "mutuaria", "comodante", "comodataria", "distribuidora",
    "licenciante", "licenciada", "representada", "representante", "consorciada",
}

CARGOS: Set[str] = {
    "socio", "socia", "socios", "socias", "administrador", "administradora", "administradores", "diretor",
    "diretora", "diretores", "diretoras", "presidente", "vice-presidente", "gerente", "procurador",
    "procuradora", "procuradores", "representante", "superintendente", "conselheiro", "conselheira",
    "tesoureiro", "tesoureira", "titular", "membro", "secretario", "secretaria", "coordenador",
    "coordenadora", "supervisor", "supervisora", "executivo", "executiva", "ceo", "cfo", "coo", "cto",
    "empresario", "empresaria", "controlador", "controladora", "inventariante", "liquidante", "sindico",
    "sindica", "advogado", "advogada", "responsavel", "gestor", "gestora", "chefe", "head",
}

CONECTORES: Set[str] = {"de", "da", "do", "das", "dos", "e"}

SUFIXO_EMPRESA: Pattern[str] = re.compile(
    r"(?:\b(?:LTDA|Ltda|EIRELI|EPP|CIA|Cia|COMPANHIA|Companhia|COOPERATIVA|ASSOCIA[ÇC][ÃA]O|FUNDA[ÇC][ÃA]O)\b"
    r"|\bS\.\s?A\.?(?=\s|$|,)|\bS/A\b|\bSA$|\bME$)"
)


def ws(s: str) -> str:
    """Blanks collapsed to one space, none at the ends."""
    return " ".join(s.split())


def digitos(s: Optional[str]) -> str:
    return "".join(c for c in (s or "") if "0" <= c <= "9")


def chave_cnpj(s: Optional[str]) -> str:
    """A CNPJ without punctuation, letters in upper case (the alphanumeric CNPJ)."""
    return "".join(c for c in (s or "").upper() if c.isascii() and c.isalnum())


def singular(papel: str) -> str:
    if papel.endswith("res"):
        return papel[:-2]
    if papel.endswith("s") and len(papel) > 4:
        return papel[:-1]
    return papel


def titulo(s: str) -> str:
    out = []
    for i, w in enumerate(ws(s).split(" ")):
        lw = w.lower()
        out.append(lw if (i and lw in CONECTORES) else lw[:1].upper() + lw[1:])
    return " ".join(out)


def eh_cargo(s: str) -> bool:
    words = fold(s).replace(",", " ").split()
    return bool(words) and words[0] in CARGOS


def quebras_duras(text: str) -> List[int]:
    """Positions of the '\\n' that end a paragraph (or a title).

    In a PDF a line that ends well before the typical width ends its
    paragraph; the others are automatic line wraps.
    """
    lines = text.split("\n")
    lengths = sorted(len(l) for l in lines if len(l.strip()) > 20)
    tipica = lengths[int(len(lengths) * 0.9)] if lengths else 0
    limite = 0.72 * tipica
    pos = []
    offset = 0
    for i, line in enumerate(lines[:-1]):
        offset += len(line)
        stripped = line.rstrip()
        nxt = lines[i + 1].strip()
        if not stripped or not nxt or len(stripped) < limite or stripped.endswith((":", ";")):
            pos.append(offset)
        offset += 1
    return pos
