"""Reader of the contract's general data: type, object, date, term, value, court."""

from __future__ import annotations

import re
from typing import Dict, Optional

from .texto import fold, ws

_MESES = "janeiro|fevereiro|março|marco|abril|maio|junho|julho|agosto|setembro|outubro|novembro|dezembro"
_DATA_EXTENSO = re.compile(rf"(?<![0-9])[0-9]{{1,2}}º?\s+de\s+(?:{_MESES})\s+de\s+[0-9]{{4}}", re.I)
_DATA_NUM = re.compile(r"(?<![0-9/])[0-3]?[0-9]/[01]?[0-9]/[12][0-9]{3}(?![0-9])")


def _ate_fim_da_frase(text: str, ini: int, limite: int = 600) -> str:
    trecho = text[ini:ini + limite]
    m = re.search(r"\.(?=\s|$)|;", trecho)
    if m:
        trecho = trecho[:m.start()]
    return ws(trecho).rstrip(" ,.:;")


def _tipo_contrato(text: str) -> Optional[str]:
    linhas = [l.strip() for l in text.split("\n") if l.strip()][:15]
    for i, l in enumerate(linhas):
        letras = [c for c in l if c.isalpha()]
        if not letras or sum(c.isupper() for c in letras) < 0.8 * len(letras):
            continue
        fl = fold(l)
        if "contrato" in fl or fl.startswith("instrumento"):
            titulo = [l]
            j = i + 1
            while j < len(linhas) and len(titulo[-1]) > 45 and not linhas[j].endswith(":"):
                nxt = linhas[j]
                nl = [c for c in nxt if c.isalpha()]
                if not nl or sum(c.isupper() for c in nl) < 0.9 * len(nl) or ":" in nxt:
                    break
                titulo.append(nxt)
                j += 1
            return ws(" ".join(titulo))
    return None


_OBJETO = re.compile(
    r"(?:tem\s+(?:por|como)\s+objeto|(?:o\s+)?objeto\s+d[oe]s?t?e?\s+(?:presente\s+)?(?:contrato|instrumento)\s+"
    r"(?:é|consiste\s+(?:em|n[ao]s?)))\s*:?\s*",
    re.I,
)
_VIGENCIA = re.compile(
    r"(?:vigorar[áa]|vig[êe]ncia|vigente|prazo\s+de\s+dura[çc][ãa]o)[^.0-9]{0,60}?"
    r"(?P<prazo>[0-9]+\s*(?:\([^)]{1,40}\)\s*)?(?:dias|meses|m[êe]s|anos?)\b)",
    re.I,
)
_VALOR = re.compile(r"R\$\s*[0-9][0-9.]*(?:,[0-9]{2})?(?:\s*\([^)]{1,120}\))?")
_FORO = re.compile(r"\bforo\s+(?:d[aoe]s?|em)\s+(?P<foro>.+?)(?=\s*[,;]|\.(?:\s|$)|\s+(?:para|com|como|que|onde)\s|$)",
                   re.I | re.S)


def _data(text: str) -> Optional[str]:
    datas = list(_DATA_EXTENSO.finditer(text))
    depois_de_virgula = [m for m in datas if re.search(r",\s*$", text[max(0, m.start() - 3):m.start()])]
    if depois_de_virgula:
        return ws(depois_de_virgula[-1].group())
    if datas:
        return ws(datas[-1].group())
    m = _DATA_NUM.search(text)
    return m.group() if m else None


def extrair_dados(text: str) -> Dict[str, Optional[str]]:
    obj = _OBJETO.search(text)
    vig = _VIGENCIA.search(text)
    valores = list(_VALOR.finditer(text))
    valor = None
    for v in valores:  # o primeiro valor numa frase que fala de valor, preço ou pagamento
        frase_ini = max(text.rfind(".\n", 0, v.start()), text.rfind(". ", 0, v.start()), 0)
        contexto = fold(text[frase_ini:v.start()])
        if any(k in contexto for k in ("valor", "preco", "pagar", "aluguel", "remunera", "honorario", "mensalidade")):
            valor = v
            break
    if valor is None and valores:
        valor = valores[0]
    foro = _FORO.search(text)
    return {
        "tipo_contrato": _tipo_contrato(text),
        "objeto": _ate_fim_da_frase(text, obj.end()) if obj else None,
        "data": _data(text),
        "vigencia": _ate_fim_da_frase(text, vig.start("prazo")) if vig else None,
        "valor": ws(valor.group()) if valor else None,
        "foro": ws(foro.group("foro")).rstrip(" .") if foro else None,
    }


