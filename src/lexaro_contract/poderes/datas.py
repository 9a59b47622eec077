"""Datas do registro e do contrato, lidas sem nunca levantar exceção.

O registro escreve ``AAAA-MM-DD`` (BrasilAPI), ``DD/MM/AAAA`` (ReceitaWS) ou ``AAAAMMDD`` (dados
abertos, com ``0`` ou ``00000000`` para "sem data"); o contrato, o que o redator escreveu: "3 de
fevereiro de 2025", "1º de março de 2025", "01 dia do mês de agosto do ano de 2025",
"14/03/2025".
"""

from __future__ import annotations

import datetime as dt
import re
from typing import Optional, Tuple

from ..keywords import normalizar_texto

AUSENTE = "ausente"
ILEGIVEL = "ilegivel"

_MESES = {
    "janeiro": 1, "fevereiro": 2, "marco": 3, "abril": 4, "maio": 5, "junho": 6, "julho": 7,
    "agosto": 8, "setembro": 9, "outubro": 10, "novembro": 11, "dezembro": 12,
}
_SEM_DATA = re.compile(r"0*\Z")
_ISO = re.compile(r"(\d{4})-(\d{1,2})-(\d{1,2})(?:[T ].*)?\Z", re.S)
_COMPACTA = re.compile(r"(\d{4})(\d{2})(\d{2})\Z")
_NUMERICA = re.compile(r"(?<!\d)(\d{1,2})\s*[/.-]\s*(\d{1,2})\s*[/.-]\s*(\d{4})(?!\d)")
_ISO_NO_TEXTO = re.compile(r"(?<!\d)(\d{4})-(\d{2})-(\d{2})(?!\d)")
_POR_EXTENSO = re.compile(
    r"(?<!\d)(\d{1,2})\s*(?:o|º|°|ª)?\s*(?:dia\s+)?(?:de|do\s+mes\s+de)\s+(" + "|".join(_MESES) + r")"
    r"\s+(?:de|do\s+ano\s+de)\s+(\d{4})(?!\d)")


def _data(ano: str, mes: str, dia: str) -> Optional[dt.date]:
    try:
        return dt.date(int(ano), int(mes), int(dia))
    except ValueError:
        return None


def data_do_registro(valor: object) -> Tuple[Optional[dt.date], Optional[str]]:
    """Uma data do registro: ``(data, None)``; ``(None, "ausente")`` quando não há data (vazio,
    None, ``0``, ``00000000``); ``(None, "ilegivel")`` quando há algo que não é uma data possível."""
    if valor is None:
        return None, AUSENTE
    if not isinstance(valor, str):
        return None, ILEGIVEL
    texto = valor.strip()
    if _SEM_DATA.match(texto):
        return None, AUSENTE
    for padrao, ordem in ((_ISO, (1, 2, 3)), (_COMPACTA, (1, 2, 3))):
        m = padrao.match(texto)
        if m:
            d = _data(*(m.group(i) for i in ordem))
            return (d, None) if d else (None, ILEGIVEL)
    m = _NUMERICA.fullmatch(texto)
    if m:
        d = _data(m.group(3), m.group(2), m.group(1))
        return (d, None) if d else (None, ILEGIVEL)
    return None, ILEGIVEL


def data_do_contrato(valor: object) -> Tuple[Optional[dt.date], Optional[str]]:
    """A data do contrato no texto que a extração deu (a primeira data possível que ele traz)."""
    if valor is None or (isinstance(valor, str) and not valor.strip()):
        return None, AUSENTE
    if not isinstance(valor, str):
        return None, ILEGIVEL
    d, motivo = data_do_registro(valor)
    if d:
        return d, None
    texto = normalizar_texto(valor)
    achadas = [(m.start(), _data(m.group(3), str(_MESES[m.group(2)]), m.group(1))) for m in _POR_EXTENSO.finditer(texto)]
    achadas += [(m.start(), _data(m.group(3), m.group(2), m.group(1))) for m in _NUMERICA.finditer(texto)]
    achadas += [(m.start(), _data(m.group(1), m.group(2), m.group(3))) for m in _ISO_NO_TEXTO.finditer(texto)]
    for _, d in sorted(achadas, key=lambda x: x[0]):
        if d:
            return d, None
    return None, ILEGIVEL


def mostrar(d: dt.date) -> str:
    return d.strftime("%d/%m/%Y")
