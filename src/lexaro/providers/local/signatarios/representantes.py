"""Representatives named in the qualification paragraphs.

"neste ato representada por seu diretor JOÃO ..., e por sua diretora MARIA
..."; "ambas representadas por ..." for every company before it; and those
of a summary or a table, which the company reader already holds.
"""

from __future__ import annotations

import re
from typing import List, Optional, Sequence, Tuple

from ..empresas import Empresa
from ..texto import CARGOS, CONECTORES, CPF_RE, LO, SUFIXO_EMPRESA, UP, eh_cargo, fold, parece_pessoa, titulo, ws
from .pessoas import _Pessoas, _tipo_por_cargo

_NOME_TOKEN = rf"[{UP}][\w'’.\-]{{0,40}}"
_REPRESENTADA = re.compile(
    r"(?P<todas>\b(?:ambas|ambos|todas|todos|as\s+partes)\s(?:as\s|os\s)?(?:partes\s)?(?:neste\s+ato\s|nesse\s+ato\s)?)?"
    r"(?:representad[ao]s?|assistid[ao]s?)\s(?:neste\s+ato\s|nesse\s+ato\s|legalmente\s|aqui\s|por\s+sua\s+vez\s)?"
    r"(?:(?:na\s+forma|nos\s+termos)\s+d[eo]s?\s+(?:seu|sua|seus|suas)\s+[^,;]{3,40}?,?\s)?"
    r"(?:por|pel[ao]s?)\s",
    re.I,
)
_PESSOA = re.compile(
    rf"\s?(?:(?:seus?|suas?|pel[ao]s?|o|a)\s)?(?:(?:Sr|Sra|Dr|Dra)\.?[ªº]?\s)?"
    rf"(?P<pre>(?:[{LO}][{LO}\-]{{0,30}},?\s){{0,5}}?)(?:(?:o|a)\s)?(?:(?:Sr|Sra|Dr|Dra)\.?[ªº]?\s)?"
    rf"(?P<nome>{_NOME_TOKEN}(?:\s(?:(?:d[aeo]s?|e)\s)?{_NOME_TOKEN}){{1,10}})\s?(?:,|(?=[(;])|(?=t[êe]m[\s,])|(?=e\s(?:por|pel[ao]s?)\s))"
)
# "por seu Diretor-Presidente, JOÃO ...", "pelo Coordenador Técnico de Administração, Sr. JOÃO ...": the office
# in Title Case, then a comma, then the name
_CARGO_ANTES = re.compile(
    rf"\s?(?:(?:seus?|suas?|pel[ao]s?|o|a)\s)?(?P<cargo>[{UP}][\w\-]{{1,30}}(?:\s(?:(?:d[aeo]s?|e)\s)?[{UP}][\w\-]{{1,30}}){{0,4}}),\s"
)
_PROXIMA_PESSOA = re.compile(
    rf",?\se\s(?:por\s)?(?=(?:seus?|suas?|pel[ao]s?|Sr|Sra|Dr|Dra)\b|[{UP}][\w'’-]{{0,40}}\s[{UP}])|doravante",
)
_CPF_ROTULO = re.compile(r"CPF(?:/M[FE])?[^0-9]{0,30}")


def _separar_cargo_do_nome(pre: str, nome: str) -> Tuple[Optional[str], str]:
    """'Diretor Presidente JOÃO' captured as a name: the office goes aside."""
    palavras = nome.split()
    cargo_extra: List[str] = []
    while len(palavras) > 2 and (fold(palavras[0]) in CARGOS or (cargo_extra and fold(palavras[0]) in CONECTORES)):
        cargo_extra.append(palavras.pop(0))
    cargo = ws(" ".join([pre.strip(" ,")] + cargo_extra)) or None
    return cargo, " ".join(palavras)


def _so_cargo(nome: str) -> bool:
    return all(fold(w).strip(".,") in CARGOS or fold(w) in CONECTORES for w in nome.split())


def _ler_pessoas(clausula: str, pos: int) -> List[Tuple[str, Optional[str], Optional[str]]]:
    """(name, office, CPF) of each person named from `pos` on ("por seu diretor
    JOÃO ..., e por sua diretora MARIA ..."), up to "doravante" or the last one."""
    out: List[Tuple[str, Optional[str], Optional[str]]] = []
    cargo_pendente: Optional[str] = None
    for _ in range(8):
        c = _CARGO_ANTES.match(clausula, pos)
        if c and eh_cargo(c.group("cargo").replace("-", " ")) and _PESSOA.match(clausula, c.end()):
            cargo_pendente, pos = ws(c.group("cargo")), c.end()
        m = _PESSOA.match(clausula, pos)
        if not m:
            break
        cargo, nome = _separar_cargo_do_nome(m.group("pre"), m.group("nome"))
        if _so_cargo(nome):
            # "por seu Diretor Presidente, Sr. JOÃO": the office, then the name
            cargo_pendente = nome
            pos = m.end()
            continue
        cargo = cargo or cargo_pendente
        cargo_pendente = None
        nxt = _PROXIMA_PESSOA.search(clausula, m.end(), m.end() + 600)
        fim = nxt.start() if nxt else len(clausula)
        trecho = clausula[m.end():fim]
        if cargo is None:
            primeiro = trecho.split(",")[0] if trecho.strip() else ""
            if eh_cargo(primeiro):
                cargo = ws(primeiro)
        cpf = None
        rot = _CPF_ROTULO.search(trecho)
        if rot:
            cc = CPF_RE.search(trecho, rot.end(), rot.end() + 20)
            cpf = cc.group() if cc else None
        if parece_pessoa(ws(nome)) and not SUFIXO_EMPRESA.search(nome):
            out.append((ws(nome), cargo, cpf))
        if not nxt or nxt.group().startswith("doravante"):
            break
        pos = nxt.end()
    return out


def _representantes(text: str, empresas: Sequence[Empresa], pessoas: _Pessoas) -> None:
    for i, e in enumerate(empresas):
        if e.fixa:
            for nome, cargo, cpf in e.representantes:
                p = pessoas.juntar(nome, titulo(cargo) if cargo else None, cpf, (e.razao_social, e.cnpj), False)
                p.tipo = _tipo_por_cargo(p.cargo)
            continue
        clausula = text[e.fim_nome:e.fim]
        for rep in _REPRESENTADA.finditer(clausula):
            todas = bool(rep.group("todas"))
            for nome, cargo, cpf in _ler_pessoas(clausula, rep.end()):
                alvos = [e]
                if todas:
                    # "ambas representadas por": every party since the last one with a representative
                    for x in reversed(empresas[max(0, i - 10):i]):
                        if x.fixa or any(p.empresa == x.razao_social for p in pessoas.lista[-20:]):
                            break
                        alvos.insert(0, x)
                for alvo in alvos:
                    p = pessoas.juntar(nome, titulo(cargo) if cargo else None, cpf, (alvo.razao_social, alvo.cnpj), False)
                    p.tipo = _tipo_por_cargo(p.cargo)
    _orgaos_publicos(text, empresas, pessoas)


# A public body that is a party with no CNPJ in the text: "o MUNICÍPIO DO RIO DE JANEIRO, por meio da Secretaria
# ..., representado pelo ...", "a FUNDAÇÃO INSTITUTO ... - RIO-ÁGUAS, a seguir denominado CONTRATANTE,
# representado pelo presidente ..."
_ORGAO = re.compile(
    rf"(?<![{UP}])(?P<nome>(?:MUNIC[ÍI]PIO|ESTADO|UNI[ÃA]O|FUNDA[ÇC][ÃA]O|SECRETARIA|PREFEITURA|AUTARQUIA|C[ÂA]MARA"
    rf"|TRIBUNAL|UNIVERSIDADE|DEPARTAMENTO|AG[ÊE]NCIA|INSTITUTO)(?:[ \n](?:[{UP}][{UP}\-]{{0,30}}|[–—-])){{1,16}})"
)
_REPRESENTADO_ORGAO = re.compile(
    r"representad[ao](?:\s(?:neste\s+ato|nesse\s+ato|legalmente))?"
    r"(?:,\s(?:por\s+delega[çc][ãa]o|conforme|nos\s+termos)[^;]{0,240}?,)?\s(?=por\s|pel[ao]\s)", re.I)
# how far after a public body's name its representative is looked for (the preamble's sentence)
_JANELA_ORGAO = 700


def _orgaos_publicos(text: str, empresas: Sequence[Empresa], pessoas: _Pessoas) -> None:
    """Representatives of public bodies named as parties in the preamble (they have no CNPJ, so the
    company reader leaves them out): each signs for the body, by name."""
    inicios = sorted(e.inicio for e in empresas)
    inicio_texto = text[:6000]
    for m in _ORGAO.finditer(inicio_texto):
        depois = text[m.end():m.end() + 3]
        if not depois.startswith((",", " -", " –", " —")):
            continue
        fim = min([i for i in inicios if i > m.end()] + [m.end() + _JANELA_ORGAO])
        janela = text[m.end():fim]
        rep = _REPRESENTADO_ORGAO.search(janela)
        if rep is None or "CNPJ" in janela[:rep.start()]:
            continue
        orgao = ws(m.group("nome")).rstrip(" -–—")
        for nome, cargo, cpf in _ler_pessoas(janela, rep.end()):
            if pessoas.achar(nome, cpf):
                continue
            p = pessoas.juntar(nome, titulo(cargo) if cargo else None, cpf, (orgao, None), False)
            p.tipo = _tipo_por_cargo(p.cargo)
