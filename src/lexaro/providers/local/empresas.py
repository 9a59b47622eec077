"""Reader of the companies that are parties to the contract.

Finds the qualification paragraphs ("ALFA LTDA., pessoa jurídica de direito
privado, inscrita no CNPJ sob o nº ..., com sede na ..., doravante
denominada CONTRATANTE") and reads from each the company name, CNPJ, trade
name, address and role.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import AbstractSet, Dict, List, Optional, Set, Tuple

from .texto import CNPJ_RE, PAPEIS, UP, chave_cnpj, fold, singular, ws

_TOKEN_EMPRESA = re.compile(rf"[{UP}0-9&][{UP}0-9&.'/\-]*")
_QUALIFICACAO = re.compile(
    r"\s*(?P<paren>\([^()]{0,160}\))?\s*,\s*(?=pessoa\s+jur[íi]dica|sociedade\s|empresa\s|inscrit[ao]\s+(?:no|sob)\s+(?:o\s+)?CNPJ|com\s+sede|CNPJ)"
)
_ENDERECO = re.compile(
    r"com\s+sede\s+(?:social\s+)?(?:na|no|em|à|a)\s+(?P<end>.+?)"
    r"(?=,\s*(?:neste\s+ato|nesse\s+ato|representad|doravante|inscrit|por\s+seus?\s|por\s+suas?\s|e-mail|telefone)"
    r"|;|\Z)",
    re.S,
)
_DORAVANTE = re.compile(
    r"(?:doravante|simplesmente|adiante|a\s+seguir)\s+(?:simplesmente\s+)?"
    r"(?:denominad|designad|chamad|referid|nomead)[ao]s?(?:\s+como)?[\s,]*"
    r"(?:(?:simplesmente|em\s+conjunto|conjuntamente|individualmente|apenas)[\s,]*)*"
    r"[\"“”'«]?\s*(?P<papel>[A-Za-zÀ-ÿ]+)",
    re.I,
)
_ROTULO_ANTES = re.compile(rf"(?P<papel>[{UP}]{{4,}})\s*:\s*(?:\(?[a-z0-9]{{1,3}}[.)]\s*)?$")
_QUALIDADE_ANTES = re.compile(r"na\s+qualidade\s+de\s+(?P<papel>[A-Za-zÀ-ÿ]+)[^.;]*$", re.I)
_NOME_FANTASIA = re.compile(r"nome\s+fantasia\s*:?\s*[\"“'«]?\s*(?P<nf>[^\"”'»,;()]+)", re.I)
_CNPJ_ROTULO = re.compile(r"CNPJ(?:/MF)?[^0-9]{0,40}")


@dataclass
class Empresa:
    inicio: int
    fim_nome: int
    razao_social: str
    cnpj: Optional[str] = None
    nome_fantasia: Optional[str] = None
    endereco: Optional[str] = None
    papel: Optional[str] = None
    fim: int = 0

    def as_dict(self) -> Dict[str, Optional[str]]:
        return {
            "cnpj": self.cnpj,
            "razao_social": self.razao_social,
            "nome_fantasia": self.nome_fantasia,
            "endereco": self.endereco,
            "papel_no_contrato": self.papel,
        }


def _nome_antes(text: str, fim: int, duras: AbstractSet[int]) -> Optional[Tuple[int, str]]:
    """Company name in capitals that ends at `fim` (walking backwards)."""
    janela_ini = max(0, fim - 240)
    window = text[janela_ini:fim]
    tokens = [(m.start() + janela_ini, m.end() + janela_ini, m.group()) for m in re.finditer(r"\S+", window)]
    escolhidos: List[Tuple[int, int, str]] = []
    for ini, end, tok in reversed(tokens):
        if escolhidos:
            gap = text[end:escolhidos[-1][0]]
            if "\n" in gap:
                nl = end + gap.index("\n")
                if nl in duras or "\n\n" in gap:
                    break
        if not _TOKEN_EMPRESA.fullmatch(tok):
            break
        if ini == janela_ini and janela_ini > 0:
            break
        escolhidos.append((ini, end, tok))
    if not escolhidos:
        return None
    escolhidos.reverse()
    # a role label glued to the name ("CONTRATANTE ALFA LTDA.") is not part of it
    while len(escolhidos) > 1 and singular(fold(escolhidos[0][2]).strip(".")) in PAPEIS:
        escolhidos.pop(0)
    nome = " ".join(t for _, _, t in escolhidos)
    if not re.search(f"[{UP}]", nome) or singular(fold(nome).strip(".")) in PAPEIS:
        return None
    if len(re.sub(r"[^A-Za-zÀ-ÿ]", "", nome)) < 3:
        return None
    return escolhidos[0][0], nome


def papel_norm(p: str) -> Optional[str]:
    p = singular(p.lower())
    return p if fold(p) in PAPEIS or len(p) >= 4 else None


def extrair_empresas(text: str, duras: AbstractSet[int]) -> List[Empresa]:
    achadas: List[Empresa] = []
    for m in _QUALIFICACAO.finditer(text):
        fim_nome = m.start()
        r = _nome_antes(text, fim_nome, duras)
        if r is None:
            continue
        ini, nome = r
        e = Empresa(inicio=ini, fim_nome=fim_nome, razao_social=nome)
        if m.group("paren"):
            nf = _NOME_FANTASIA.search(m.group("paren"))
            if nf:
                e.nome_fantasia = ws(nf.group("nf"))
        achadas.append(e)

    # Each qualification clause runs from the name to the next party's name.
    for i, e in enumerate(achadas):
        e.fim = achadas[i + 1].inicio if i + 1 < len(achadas) else min(len(text), e.fim_nome + 1500)
        clausula = text[e.fim_nome:e.fim]
        rot = _CNPJ_ROTULO.search(clausula)
        cn = CNPJ_RE.search(clausula, rot.end() if rot else 0, (rot.end() + 40) if rot else 400)
        if cn:
            e.cnpj = cn.group()
        end = _ENDERECO.search(clausula)
        if end:
            e.endereco = ws(end.group("end")).rstrip(" .,")
        if e.nome_fantasia is None:
            nf = _NOME_FANTASIA.search(clausula[:300])
            if nf:
                e.nome_fantasia = ws(nf.group("nf"))
        dor = _DORAVANTE.search(clausula)
        papel = papel_norm(dor.group("papel")) if dor else None
        if papel is None:
            antes = text[max(0, e.inicio - 80):e.inicio]
            rot_antes = _ROTULO_ANTES.search(antes)
            if rot_antes:
                papel = papel_norm(rot_antes.group("papel"))
            else:
                qual = _QUALIDADE_ANTES.search(text[max(0, e.inicio - 160):e.inicio])
                if qual:
                    papel = papel_norm(qual.group("papel"))
        e.papel = papel

    # the same company named again (e.g. in the closing block) counts once
    vistas: Set[str] = set()
    unicas = []
    for e in achadas:
        chave = chave_cnpj(e.cnpj) or fold(e.razao_social).strip(" .")
        if chave in vistas:
            continue
        vistas.add(chave)
        unicas.append(e)
    return unicas
