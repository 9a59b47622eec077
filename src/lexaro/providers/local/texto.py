"""Text helpers shared by the three readers of the local provider.

Character classes, the identifiers (CNPJ, CPF), the vocabularies of roles and
offices, name casing, and the reading of a PDF's text layer: which line breaks
end a paragraph, and the clean-up of what the text layer does to a contract
(words hyphenated across lines, page numbers, tables drawn with pipes).

Every pattern here and in the readers runs in linear time on any text: no
quantified group can match the same characters in two ways (no nested or
adjacent unbounded quantifiers over overlapping classes), so the `re`
backtracking stays bounded by a constant per position.
"""

from __future__ import annotations

import re
from typing import List, Optional, Pattern, Sequence, Set

from ...confusables import unconfuse
from ...layout import Line, stacks
from ...constantes import CNPJ_RE
from ...folding import fold

__all__ = [
    "UP", "LO", "CNPJ_RE", "CPF_RE", "fold", "ws", "digitos", "chave_cnpj", "singular", "titulo", "eh_cargo",
    "PAPEIS", "CARGOS", "CONECTORES", "SUFIXO_EMPRESA", "quebras_duras", "preparar", "achar_cnpj", "CNPJ_ROTULO",
    "eh_papel", "parece_pessoa", "lugares_das_linhas", "celulas",
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
    "licenciante", "licenciada", "representada", "representante", "consorciada", "lider", "emitente",
    "transportadora", "empreiteira", "subempreiteira", "depositaria", "depositante", "reveladora", "receptora",
    "patrocinadora", "patrocinada", "parceira", "parceiro", "seguradora", "segurada", "beneficiaria", "promitente",
    "arrendadora", "arrendataria", "incorporadora", "construtora", "contratadas", "intervenientes", "cedentes",
}

CARGOS: Set[str] = {
    "socio", "socia", "socios", "socias", "administrador", "administradora", "administradores", "diretor",
    "diretora", "diretores", "diretoras", "presidente", "vice-presidente", "gerente", "procurador",
    "procuradora", "procuradores", "representante", "superintendente", "conselheiro", "conselheira",
    "tesoureiro", "tesoureira", "titular", "membro", "secretario", "secretaria", "coordenador",
    "coordenadora", "supervisor", "supervisora", "executivo", "executiva", "ceo", "cfo", "coo", "cto",
    "empresario", "empresaria", "controlador", "controladora", "inventariante", "liquidante", "sindico",
    "sindica", "advogado", "advogada", "responsavel", "gestor", "gestora", "chefe", "head", "testemunha",
    "acionista", "quotista", "cotista", "fundador", "fundadora", "vice", "financeiro", "financeira",
}

CONECTORES: Set[str] = {"de", "da", "do", "das", "dos", "e"}

SUFIXO_EMPRESA: Pattern[str] = re.compile(
    r"(?:\b(?:LTDA|Ltda|EIRELI|Eireli|EPP|SLU|CIA|Cia|COMPANHIA|Companhia|COOPERATIVA|Cooperativa|CONDOM[ÍI]NIO"
    r"|Condom[íi]nio|ASSOCIA[ÇC][ÃA]O|Associa[çc][ãa]o|FUNDA[ÇC][ÃA]O|Funda[çc][ãa]o|HOLDING|Holding)\b"
    r"|\bS\.\s?A\.?(?=\s|$|,|\))|\bS/[AS]\b|\bSA$|\bSS$|\bME$|\bMEI$)"
)


def ws(s: str) -> str:
    """Blanks collapsed to one space, none at the ends."""
    return " ".join(s.split())


def celulas(linha: str) -> List[str]:
    """The cells of a table row drawn with pipes ("| JOÃO | MARIA |")."""
    return [c.strip() for c in linha.strip().strip("|").split("|")]


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


def quebras_duras(text: str, lugares: Sequence[Optional[Line]] = ()) -> List[int]:
    """Positions of the '\\n' that end a paragraph (or a title).

    A line that ends well before where the lines of the document usually end
    ends its paragraph; the others wrap. Where each line sits on its page is
    known (`lugares`, one per line of `text`, from `lugares_das_linhas`),
    that is its right edge against the page's margins, and a line that the
    next one does not stack under ends its paragraph too; in plain text it
    is its length in characters. A line ending in ":" or ";" ends its
    paragraph either way.
    """
    lines = text.split("\n")
    placed = len(lugares) == len(lines) and any(l is not None and l.rect is not None for l in lugares)
    extent: List[Optional[float]]
    if placed:
        rects = [l.rect if l is not None else None for l in lugares]
        lefts = sorted(r[0] for r in rects if r is not None)
        left = lefts[len(lefts) // 10]
        extent = [None if r is None else r[2] - left for r in rects]
    else:
        extent = [float(len(l.rstrip())) for l in lines]
    widths = sorted(e for e, l in zip(extent, lines) if e is not None and len(l.strip()) > 20)
    limite = 0.72 * (widths[int(len(widths) * 0.9)] if widths else 0)
    pos = []
    offset = 0
    for i, line in enumerate(lines[:-1]):
        offset += len(line)
        stripped = line.rstrip()
        nxt = lines[i + 1].strip()
        e = extent[i]
        curto = e is not None and e < limite
        if placed and not curto:
            a, b = lugares[i], lugares[i + 1]
            curto = a is not None and b is not None and not stacks(a, b)
        if not stripped or not nxt or curto or stripped.endswith((":", ";")):
            pos.append(offset)
        offset += 1
    return pos


# lines of the page looked at, from where the last one matched, for the next line of the text
_ALCANCE = 8


def lugares_das_linhas(text: str, linhas: Sequence[Optional[Line]]) -> List[Optional[Line]]:
    """The page's `Line` each line of `text` came from (None for an empty line
    and for a line the preparation changed, such as two halves of a word
    joined): `text` was prepared (`preparar`) from those lines, in order, so
    each line is matched with one of the next few lines that says the same."""
    lugares = [l for l in linhas if l is not None]
    out: List[Optional[Line]] = []
    j = 0
    for s in text.split("\n"):
        onde = None
        if s:
            for k in range(j, min(len(lugares), j + _ALCANCE)):
                t = lugares[k].text
                if t == s or " ".join(unconfuse(t).split()) == s:
                    onde, j = lugares[k], k + 1
                    break
        out.append(onde)
    return out


# ---------------------------------------------------------------------------
# Identifiers written by hand: "CNPJ/MF sob o nº", "CNPJ/ME n°", "C.N.P.J.",
# "inscrita no CNPJ sob o número", with spaces inside the number.

CNPJ_ROTULO: Pattern[str] = re.compile(
    r"\bC\.?\s?N\.?\s?P\.?\s?J\b\.?(?:\s?/\s?M[EF]\b\.?)?"
    r"|Cadastro\sNacional\sd[ae]s?\sPessoas?\sJur[íi]dicas?(?:\s\(CNPJ(?:/M[EF])?\))?", re.I)
_CNPJ_SOLTO = re.compile(
    r"(?<![0-9A-Za-z])[0-9A-Z]{2}\s?\.?\s?[0-9A-Z]{3}\s?\.?\s?[0-9A-Z]{3}\s?/?\s?[0-9A-Z]{4}\s?-?\s?[0-9]{2}"
    r"(?![0-9A-Za-z])"
)


def achar_cnpj(text: str, ini: int, fim: int) -> Optional[str]:
    """The first CNPJ in text[ini:fim], written without the blanks inside it.

    Letters are allowed in the first 12 characters (the alphanumeric CNPJ),
    but a candidate needs at least 6 digits, so that words in capitals are
    never taken for one.
    """
    for m in _CNPJ_SOLTO.finditer(text, ini, fim):
        v = "".join(m.group().split())
        if sum(c.isdigit() for c in v) >= 6:
            return v
    return None


def eh_papel(s: str) -> bool:
    """A role in the contract ("CONTRATANTE", "Locatárias"), by its first word."""
    words = fold(s).replace(":", " ").split()
    return bool(words) and singular(words[0].strip(".,;")) in PAPEIS


_ROTULOS_NAO_NOME = {
    "nome", "cargo", "cpf", "rg", "cnpj", "empresa", "por", "pela", "pelo", "assinatura", "testemunhas", "data",
    "local", "qualidade", "funcao", "endereco", "papel", "signatario", "email", "e-mail", "razao", "social",
    "ltda", "representante", "legal", "contrato", "clausula", "anexo", "pagina", "documento", "assinado",
}
_TOKEN_PESSOA = re.compile(r"[^\W\d_](?:[^\W\d_]|['’.\-]){0,40}")


def parece_pessoa(s: str) -> bool:
    """A person's name: two or more words of letters, not a role, an office,
    a company or a label (so none of those is ever returned as a person)."""
    if not s or len(s) > 120 or ":" in s or SUFIXO_EMPRESA.search(s):
        return False
    words = s.split()
    if len(words) < 2 or len(words) > 12:
        return False
    if not all(_TOKEN_PESSOA.fullmatch(w) for w in words):
        return False
    fw = [fold(w).strip(".,") for w in words]
    if fw[0] in CARGOS or singular(fw[0]) in PAPEIS or fw[0] in _ROTULOS_NAO_NOME or fw[0] in CONECTORES:
        return False
    if fw[-1] in CONECTORES or all(w in CARGOS or w in CONECTORES or singular(w) in PAPEIS for w in fw):
        return False
    if not words[0][:1].isupper():
        return False
    return sum(1 for w in fw if len(w) >= 2 and w not in CONECTORES) >= 2


# ---------------------------------------------------------------------------
# What a PDF text layer does to a contract.

_HIFEN_QUEBRA = re.compile(r"(?<=[a-zß-öø-ÿ])-\n(?=[a-zß-öø-ÿ])|(?<=[A-ZÀ-ÖØ-Þ]{2})-\n(?=[A-ZÀ-ÖØ-Þ]{2})")
_BRANCOS = re.compile(r"[^\S\n ]|[^\S\n]{2,}")
_PAGINA = re.compile(r"^(?:-\s?)?(?:P[áa]gina|P[áa]g\.|Fls?\.|Folha)\s?[0-9]{1,4}(?:\s?(?:de|/)\s?[0-9]{1,4})?(?:\s?-)?$",
                     re.I)
_SO_NUMERO = re.compile(r"^-? ?[0-9]{1,4} ?-?$")


# Text read by OCR from a scan: the J of "CNPJ" often comes out as a bracket,
# a parenthesis, a bar or an I. "CNP" followed by one of those is never
# anything else in a contract.
_CNPJ_OCR = re.compile(r"\bCNP[)\]}|Il1](?![A-Za-z])")
# A certificate's "NAME:CPF" broken by the stamp's narrow box: "JOÃO DA\nSILVA:12345678901"
_CERTIFICADO_QUEBRADO = re.compile(r"(?m)^([A-ZÀ-ÖØ-Þ][A-ZÀ-ÖØ-Þ .'\-]{2,80})\n([A-ZÀ-ÖØ-Þ][A-ZÀ-ÖØ-Þ .'\-]{0,60}:[0-9]{11})[ \t]*$")


def preparar(text: str) -> str:
    """The text as the readers want it.

    Soft and end-of-line hyphens join the halves of a word; runs of blanks
    inside a line become one space (so every run of blanks in the result is
    short, which keeps every pattern of the readers linear); a certificate's
    "NAME:CPF" broken across two lines is joined; Cyrillic and
    Greek look-alikes inside Latin words become Latin ("CЕР"); runs of empty
    lines become one; "CNPJ" misread by OCR is mended; page-number lines
    ("Página 2 de 5") go away. The running header and footer never reach
    this text: they are found by their place on the pages
    (`layout.running_lines`).
    """
    text = text.replace("\r\n", "\n").replace("\r", "\n").replace("\ufffe", "").replace("\u00ad", "")
    text = unconfuse(text)
    if "CNP" in text:
        text = _CNPJ_OCR.sub("CNPJ", text)
    if "-\n" in text:
        text = _HIFEN_QUEBRA.sub("", text)
    if ":" in text:
        text = _CERTIFICADO_QUEBRADO.sub(r"\1 \2", text)
    out: List[str] = []
    vao = False  # an empty line since the last line kept
    for l in _BRANCOS.sub(" ", text).split("\n"):
        l = l.strip()
        if not l:
            vao = True
        elif not (_PAGINA.match(l) or _SO_NUMERO.match(l)):
            if vao and out:
                out.append("")
            vao = False
            out.append(l)
    return "\n".join(out)
