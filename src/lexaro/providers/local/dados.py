"""Reader of the contract's general data: type, object, date, term, value, court."""

from __future__ import annotations

import re
from typing import Dict, List, Match, Optional, Pattern, Sequence

from .texto import fold, ws

_MESES = "janeiro|fevereiro|março|marco|abril|maio|junho|julho|agosto|setembro|outubro|novembro|dezembro"
# run over the lower-cased text; the character before the day is checked apart
_DATA_EXTENSO = re.compile(rf"[0-9]{{1,2}}º?\s{{1,3}}de\s{{1,3}}(?:{_MESES})\s{{1,3}}de\s{{1,3}}[0-9]{{4}}")
_DATA_EXTENSO_I = re.compile(_DATA_EXTENSO.pattern, re.I)
_DATA_NUM = re.compile(r"[0-3]?[0-9]/[01]?[0-9]/[12][0-9]{3}(?![0-9])")


def _minusculo(text: str) -> str:
    """The lower-cased text when it keeps every position (it does for Latin text), else ""."""
    low = text.lower()
    return low if len(low) == len(text) else ""


_MAX_CHAVES = 2000  # occurrences of a key looked at; a contract has a few dozen


def _perto_de(rx: Pattern[str], text: str, low: str, chaves: Sequence[str], antes: int,
              janela: int) -> Optional[Match[str]]:
    """The first match of `rx` that starts near an occurrence of one of the
    lower-case `chaves`: each search runs over a short window, so a long text
    costs one scan for the keys (C speed) instead of one regex attempt per
    position."""
    if not low:
        return rx.search(text)
    posicoes: List[int] = []
    for chave in chaves:
        i = low.find(chave)
        while i >= 0 and len(posicoes) < _MAX_CHAVES:
            posicoes.append(i)
            i = low.find(chave, i + 1)
    for p in sorted(posicoes):
        m = rx.search(text, max(0, p - antes), p + janela)
        if m:
            return m
    return None


def _datas(text: str, low: str) -> List[Match[str]]:
    """Dates written out ("10 de março de 2024"), positions as in `text`."""
    alvo, rx = (low, _DATA_EXTENSO) if low else (text, _DATA_EXTENSO_I)
    return [m for m in rx.finditer(alvo) if not (m.start() and alvo[m.start() - 1].isdigit())]


def _ate_fim_da_frase(text: str, ini: int, limite: int = 600) -> str:
    trecho = text[ini:ini + limite]
    m = re.search(r"\.(?=\s|$)|;", trecho)
    if m:
        trecho = trecho[:m.start()]
    return ws(trecho).rstrip(" ,.:;")


def _tipo_contrato(text: str) -> Optional[str]:
    linhas = [l.strip() for l in text[:20000].split("\n") if l.strip()][:15]
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
    r"(?:tem\s{1,3}(?:por|como)\s{1,3}objeto|(?:o\s{1,3})?objeto\s{1,3}d[oe]s?t?e?\s{1,3}(?:presente\s{1,3})?"
    r"(?:contrato|instrumento)\s{1,3}(?:é|consiste\s{1,3}(?:em|n[ao]s?)))\s{0,3}:?\s{0,3}",
    re.I,
)
_VIGENCIA = re.compile(
    r"(?:vigorar[áa]|vig[êe]ncia|vigente|prazo\s{1,3}de\s{1,3}dura[çc][ãa]o)[^.0-9]{0,60}?"
    r"(?P<prazo>[0-9]{1,6}\s{0,3}(?:\([^)]{1,40}\)\s{0,3})?(?:dias|meses|m[êe]s|anos?)\b)",
    re.I,
)
_VALOR = re.compile(r"R\$\s{0,3}[0-9][0-9.]{0,20}(?:,[0-9]{2})?(?:\s{0,3}\([^)]{1,120}\))?")
_FORO = re.compile(
    r"\bforo\s{1,3}(?:d[aoe]s?|em)\s{1,3}(?P<foro>.{1,300}?)"
    r"(?=\s?[,;]|\.(?:\s|$)|\s(?:para|com|como|que|onde)\s|$)",
    re.I | re.S)


def _data(text: str, low: str) -> Optional[str]:
    datas = _datas(text, low)
    depois_de_virgula = [m for m in datas if re.search(r",\s{0,2}$", text[max(0, m.start() - 3):m.start()])]
    escolhida = depois_de_virgula[-1] if depois_de_virgula else (datas[-1] if datas else None)
    if escolhida is not None:
        return ws(text[escolhida.start():escolhida.end()])
    for m in _DATA_NUM.finditer(text):
        if not (m.start() and text[m.start() - 1] in "0123456789/"):
            return m.group()
    return None


def extrair_dados(text: str) -> Dict[str, Optional[str]]:
    low = _minusculo(text)
    obj = _perto_de(_OBJETO, text, low, ("objeto",), 30, 120)
    vig = _perto_de(_VIGENCIA, text, low, ("vig", "prazo"), 0, 160)
    valores = list(_VALOR.finditer(text))
    valor = None
    for v in valores[:_MAX_CHAVES]:  # the first amount in a sentence about value, price or payment
        janela = max(0, v.start() - 400)
        frase_ini = max(text.rfind(".\n", janela, v.start()), text.rfind(". ", janela, v.start()), janela)
        contexto = fold(text[frase_ini:v.start()])
        if any(k in contexto for k in ("valor", "preco", "pagar", "aluguel", "remunera", "honorario", "mensalidade")):
            valor = v
            break
    if valor is None and valores:
        valor = valores[0]
    foro = _perto_de(_FORO, text, low, ("foro",), 1, 340)
    return {
        "tipo_contrato": _tipo_contrato(text),
        "objeto": _ate_fim_da_frase(text, obj.end()) if obj else None,
        "data": _data(text, low),
        "vigencia": _ate_fim_da_frase(text, vig.start("prazo")) if vig else None,
        "valor": ws(valor.group()) if valor else None,
        "foro": ws(foro.group("foro")).rstrip(" .") if foro else None,
    }


