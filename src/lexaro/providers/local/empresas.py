"""Reader of the companies that are parties to the contract.

Three ways contracts introduce their parties, each read here:

- qualification paragraphs: "ALFA LTDA., pessoa jurídica de direito privado,
  inscrita no CNPJ sob o nº ..., com sede na ..., neste ato representada
  por ..., doravante denominada CONTRATANTE" (also numbered "(1)", "I.",
  after labels "CONTRATANTE:", and the brief "ALFA LTDA., CNPJ ..." of an
  amendment);
- a "QUADRO RESUMO" of "Campo: valor" lines ("Razão Social:", "CNPJ:",
  "Endereço:", "Representante Legal:", "Cargo:", "CPF:");
- a table drawn with pipes whose header names the columns.

A company introduced as the partner through which a party is represented
("representada por sua sócia BETA S.A., inscrita no CNPJ ...") is not a party:
its paragraph belongs to the party's.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from itertools import islice
from typing import AbstractSet, Dict, List, Optional, Sequence, Set, Tuple

from .texto import (CNPJ_ROTULO, CPF_RE, PAPEIS, SUFIXO_EMPRESA, UP, achar_cnpj, celulas, chave_cnpj, fold,
                    parece_pessoa, singular, ws)

_TOKEN_EMPRESA = re.compile(rf"[{UP}0-9&][{UP}0-9&.'’/\-]{{0,60}}")
_TOKEN_TITULO = re.compile(rf"(?:[{UP}0-9&][\w&.'’/\-]{{0,60}}|d[aeo]s?|e|&)")
_ENUMERADOR = re.compile(r"(?:\(?[IVX]{1,4}[.)\-]|\(?[A-Za-z0-9]{1,2}[.)\-]|\([A-Za-z0-9]{1,2}\))")
_CEP = re.compile(r"[0-9]{5}-?[0-9]{3}")
_NAO_NOME = {"cep", "cnpj", "cpf", "rg", "nº", "n°", "no", "sob", "sala", "conjunto", "andar", "km"}
# The comma that ends a company's name, followed by the start of its qualification.
_QUALIFICACAO = re.compile(
    r",\s?(?=pessoa\s+jur[íi]dica|sociedade\s|companhia\b|empresa\s|microempresa|associa[çc][ãa]o\s|entidade\s"
    r"|inscrit[ao][^.;]{0,60}(?:CNPJ|C\.\s?N\.|Cadastro\s+Nacional)|com\s+sede|CNPJ|C\.\s?N\.\s?P\.|portadora\s+do\s+CNPJ"
    r"|com\s+(?:o\s+)?CNPJ|registrad[ao]\s+no\s+CNPJ"
    r"|por\s+(?:meio\s+de\s+)?sua\s+filial|filial\s|nome\s+fantasia|estabelecid[ao]\s|sediad[ao]\s"
    r"|localizad[ao]\s+(?:na|no|em|à)\s|situad[ao]\s+(?:na|no|em|à)\s)"
)
# "ALFA LTDA. – CNPJ nº ..." and "ALFA LTDA. (CNPJ ...)": the name ends before the dash or parenthesis.
_CNPJ_APOS_NOME = re.compile(r"(?:\s[–—-]\s?|\s?\()(?=CNPJ|C\.\s?N\.\s?P\.)")
# A parenthesis between the name and that comma: "ALFA LTDA. (nome fantasia "ALFA"),"
_PAREN_FINAL = re.compile(r"\([^()]{0,160}\)\s?$")
_ENDERECO = re.compile(
    r"(?:com\s+sede|sediad[ao]|estabelecid[ao]|localizad[ao]|situad[ao]|com\s+endere[çc]o)\s+(?:social\s+)?"
    r"(?:na|no|em|à|a)\s+"
    r"(?P<end>[^;]{3,300}?)"
    r"(?=,\s?(?:neste\s+ato|nesse\s+ato|representad|doravante|inscrit|por\s+seus?\s|por\s+suas?\s|e-mail|telefone"
    r"|CNPJ|C\.N)|;|\.\s?\n|\Z)"
)
_DORAVANTE = re.compile(
    r"(?:doravante|simplesmente|adiante|a\s+seguir|aqui)\s(?:simplesmente\s)?"
    r"(?P<verbo>(?:denominad|designad|chamad|referid|nomead|tratad)[ao]s?(?:\s(?:como|de))?[\s,]{0,3})?"
    r"(?:(?:simplesmente|em\s+conjunto|conjuntamente|individualmente|apenas|somente)[\s,]{1,3}){0,3}"
    r"[\"“”'«]?(?P<papel>[A-Za-zÀ-ÿ]{2,40}(?:\s[A-Z][A-Za-zÀ-ÿ]{0,40})?)",
    re.I,
)
_ROTULO_ANTES = re.compile(
    rf"(?P<papel>[{UP}][{UP}]{{3,30}}(?: [{UP}]{{2,30}}){{0,3}}) ?:\s?(?:\(?[a-zIVX0-9]{{1,3}}[.)]\s?)?$")
_QUALIDADE = re.compile(r"na\s+qualidade\s+de\s+(?:empresa\s+|sociedade\s+)?(?P<papel>[A-Za-zÀ-ÿ]{3,40})", re.I)
_PAPEL_PAREN = re.compile(r"\(\s?[\"“']?(?P<papel>[A-ZÀ-Þ][A-Za-zÀ-ÿ]{3,40})[\"”']?\s?\)")
_NOME_FANTASIA = re.compile(r"nome\s+fantasia\s?:?\s?[\"“'«]?\s?(?P<nf>[^\"”'»,;()\n]{2,120})", re.I)
_PAREN_FANTASIA = re.compile(r"\(\s?(?:nome\s+fantasia\s?:?\s?)?[\"“'«](?P<nf>[^\"”'»()]{2,120})[\"”'»]\s?\)")
_SOCIA_ANTES = re.compile(
    r"representad[ao]s?\s(?:neste\s+ato\s|nesse\s+ato\s)?(?:por|pel[ao]s?)\s(?:sua|seu|suas|seus)?\s?"
    r"(?:única\s|unica\s)?(?:s[óo]ci[ao]s?|acionistas?|quotistas?|cotistas?|controladora|administradora)"
    r"(?:\s(?:e\s)?administradora)?[\s,]{0,3}$",
    re.I,
)
_CAMPO_QUADRO = re.compile(
    r"^(?:Nome\s?/\s?)?(?P<rot>Raz[ãa]o\s+Social|Denomina[çc][ãa]o(?:\s+Social)?|Nome\s+Empresarial|CNPJ(?:/M[EF])?|C\.N\.P\.J\.?"
    r"|Endere[çc]o|Sede|Nome\s+Fantasia|Representantes?(?:\s+Legal|\s+Legais)?|Representad[ao]\s+por|Cargo"
    r"|Qualifica[çc][ãa]o|CPF(?:/M[EF])?)\s?(?:n[º°o]\.?\s?)?:\s?(?P<val>.{1,300})$",
    re.I,
)
_PAPEL_CAMPO = re.compile(r"^(?P<papel>[A-Za-zÀ-ÿ]{4,30}(?: [A-Za-zÀ-ÿ]{2,30}){0,2}) ?: ?(?P<val>.{3,150})$")
_ENDERECO_DE = re.compile(r"^Endere[çc]o\s+d[ao]\s+(?P<papel>[A-Za-zÀ-ÿ]{3,40})\s?:\s?(?P<end>.{3,300})$", re.I)


# More parties than any contract has: past this, the text is not a contract's
# and the reader stops looking, so its cost stays bounded.
MAX_EMPRESAS = 300
_MAX_TENTATIVAS = 3000  # qualification-like commas looked at


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
    # read from a summary or a table: (name, office, CPF) of each representative
    representantes: List[Tuple[str, Optional[str], Optional[str]]] = field(default_factory=list)
    fixa: bool = False
    intermediaria: bool = False

    def as_dict(self) -> Dict[str, Optional[str]]:
        return {
            "cnpj": self.cnpj,
            "razao_social": self.razao_social,
            "nome_fantasia": self.nome_fantasia,
            "endereco": self.endereco,
            "papel_no_contrato": self.papel,
        }


# an individual entrepreneur's company is the owner's name and CPF: "MARIA DA SILVA 123.456.789-09"
_TRACOS = ("-", "–", "—")
_CPF_NO_NOME = re.compile(r"[0-9]{3}\.?[0-9]{3}\.?[0-9]{3}[-.]?[0-9]{2}")


def _nome_valido(tokens: List[str]) -> Optional[str]:
    while tokens and _ENUMERADOR.fullmatch(tokens[0]):
        tokens = tokens[1:]
    # a role label glued to the name ("CONTRATANTE ALFA LTDA.") is not part of it
    while len(tokens) > 1 and (singular(fold(tokens[0]).strip(".:")) in PAPEIS or tokens[0] in _TRACOS):
        tokens = tokens[1:]
    if not tokens:
        return None
    nome = " ".join(tokens)
    if not re.search(f"[{UP}]", nome) or singular(fold(nome).strip(".")) in PAPEIS:
        return None
    if fold(tokens[0]).strip(".:") in _NAO_NOME or any(_CEP.fullmatch(t.strip(",.")) for t in tokens):
        return None
    letras = len(re.sub(r"[^A-Za-zÀ-ÿ]", "", nome))
    proprios = tokens[:-1] if len(tokens) >= 3 and _CPF_NO_NOME.fullmatch(tokens[-1]) else tokens
    if letras < 3 or letras < sum(c.isdigit() for c in nome) or any(sum(c.isdigit() for c in t) >= 6 for t in proprios):
        return None
    return nome


_APELIDO_ANTES = re.compile(
    r",\s?(?:doravante|a\s+seguir)\s+(?:denominad|designad|chamad)[ao]s?\s+(?:simplesmente\s+)?(?:como\s+)?[\"“]?$",
    re.I)
_MINUSCULA_NA_LINHA = re.compile(r"(?:^|\s)[a-zß-öø-ÿ]")


def _nome_continua(text: str, nl: int) -> bool:
    """The line that ends at `nl` ends with the start of a name that goes on below:
    it has running text before the name ("... e a sociedade ALFA ENGENHARIA E" / "CONSTRUÇÕES
    LTDA"), so it is a paragraph's line, not a title in capitals; or it ends with a connector
    ("PRODUTORES DE" / "ERVA-MATE")."""
    linha = text[text.rfind("\n", 0, nl) + 1:nl]
    ultima = linha.rsplit(" ", 1)[-1]
    return bool(_MINUSCULA_NA_LINHA.search(linha)) or ultima in ("DE", "DA", "DO", "DOS", "DAS", "E", "&")


def _nome_antes(text: str, fim: int, duras: AbstractSet[int]) -> Optional[Tuple[int, str]]:
    """Company name that ends at `fim`, walking backwards over its words.

    Names in capitals are the rule; a name in Title Case is taken only when
    it ends in a company suffix ("Alfa Comércio Ltda.").
    """
    janela_ini = max(0, fim - 240)
    window = text[janela_ini:fim]
    tokens = [(m.start() + janela_ini, m.end() + janela_ini, m.group()) for m in re.finditer(r"\S{1,200}", window)]
    for padrao, precisa_sufixo in ((_TOKEN_EMPRESA, False), (_TOKEN_TITULO, True)):
        escolhidos: List[Tuple[int, int, str]] = []
        for ini, end, tok in reversed(tokens):
            if escolhidos:
                gap = text[end:escolhidos[-1][0]]
                if "\n" in gap:
                    nl = end + gap.index("\n")
                    if "\n\n" in gap or (nl in duras and not _nome_continua(text, nl)):
                        break
            if tok in _TRACOS and escolhidos and escolhidos[-1][2] not in _TRACOS:
                # "ALFA LTDA. - ME", "ASSOCIAÇÃO NACIONAL ... - CONAMP": a dash between words of the name
                escolhidos.append((ini, end, tok))
                continue
            if not padrao.fullmatch(tok):
                break
            if ini == janela_ini and janela_ini > 0:
                break
            escolhidos.append((ini, end, tok))
        while escolhidos and escolhidos[-1][2] in _TRACOS:
            escolhidos.pop()
        if precisa_sufixo:
            # Title Case: the name starts at its first capitalised word
            while escolhidos and not escolhidos[-1][2][:1].isupper():
                escolhidos.pop()
        if not escolhidos:
            continue
        escolhidos.reverse()
        nome = _nome_valido([t for _, _, t in escolhidos])
        if nome is None or (precisa_sufixo and not SUFIXO_EMPRESA.search(nome)):
            continue
        inicio = escolhidos[[t for _, _, t in escolhidos].index(nome.split()[0])][0]
        return inicio, nome
    return None


def papel_norm(p: str) -> Optional[str]:
    palavras = p.lower().split()
    if not palavras:
        return None
    palavras[0] = singular(palavras[0])
    if fold(palavras[0]) not in PAPEIS:
        palavras = palavras[:1]
    papel = " ".join(palavras)
    return papel if fold(palavras[0]) in PAPEIS or len(papel) >= 4 else None


def _papel(text: str, e: Empresa, clausula: str) -> Optional[str]:
    rot = _ROTULO_ANTES.search(text, max(0, e.inicio - 60), e.inicio)
    if rot and fold(rot.group("papel").split()[0]) not in ("cnpj", "cpf"):
        return papel_norm(rot.group("papel"))
    dor = _DORAVANTE.search(clausula)
    if dor and (dor.group("verbo") or singular(fold(dor.group("papel").split()[0])) in PAPEIS):
        p = papel_norm(dor.group("papel"))
        if p:
            return p
    qual = _QUALIDADE.search(text, max(0, e.inicio - 160), e.inicio) or _QUALIDADE.search(clausula)
    if qual:
        return papel_norm(qual.group("papel"))
    for m in _PAPEL_PAREN.finditer(clausula):
        if singular(fold(m.group("papel"))) in PAPEIS:
            return papel_norm(m.group("papel"))
    return None


def _qualificacoes(text: str, duras: AbstractSet[int]) -> List[Empresa]:
    achadas: List[Empresa] = []
    gatilhos = [(m.start(), True) for m in islice(_QUALIFICACAO.finditer(text), _MAX_TENTATIVAS)]
    if "CNPJ" in text or "C.N.P.J" in text:
        gatilhos += [(m.start(), False) for m in islice(_CNPJ_APOS_NOME.finditer(text), _MAX_TENTATIVAS)]
        gatilhos.sort()
    for fim_nome, virgula in gatilhos[:_MAX_TENTATIVAS]:
        if len(achadas) >= MAX_EMPRESAS:
            break
        paren = _PAREN_FINAL.search(text, max(0, fim_nome - 170), fim_nome) if virgula else None
        if paren:
            fim_nome = paren.start()
        fim_nome -= text[fim_nome - 1:fim_nome].isspace()
        r = _nome_antes(text, fim_nome, duras)
        if r is None:
            continue
        ini, nome = r
        apelido = _APELIDO_ANTES.search(text, max(0, ini - 90), ini)
        if apelido:
            # "ALFA TURISMO S/A., doravante denominada simplesmente ALFATUR, com sede": the name is before
            verdadeiro = _nome_antes(text, apelido.start(), duras)
            if verdadeiro is not None:
                ini, nome = verdadeiro
        if achadas and ini < achadas[-1].fim_nome:
            continue
        e = Empresa(inicio=ini, fim_nome=fim_nome, razao_social=nome)
        if paren:
            nf = _NOME_FANTASIA.search(paren.group()) or _PAREN_FANTASIA.search(paren.group())
            if nf:
                e.nome_fantasia = ws(nf.group("nf"))
        e.intermediaria = bool(_SOCIA_ANTES.search(text, max(0, ini - 90), ini))
        achadas.append(e)

    partes = [e for e in achadas if not e.intermediaria]
    # Each qualification clause runs from the name to the next party's name.
    for i, e in enumerate(partes):
        e.fim = partes[i + 1].inicio if i + 1 < len(partes) else min(len(text), e.fim_nome + 1500)
        e.fim = min(e.fim, e.fim_nome + 4000)
        clausula = text[e.fim_nome:e.fim]
        rot = CNPJ_ROTULO.search(clausula)
        if rot:
            # "inscrita no CNPJ sob o nº X", or "inscrita sob o nº X no CNPJ"
            e.cnpj = achar_cnpj(clausula, rot.end(), rot.end() + 60) or achar_cnpj(clausula, max(0, rot.start() - 40),
                                                                                   rot.start())
        end = _ENDERECO.search(clausula)
        if end:
            e.endereco = ws(end.group("end")).rstrip(" .,")
        if e.nome_fantasia is None:
            nf = _NOME_FANTASIA.search(clausula[:300])
            if nf:
                e.nome_fantasia = ws(nf.group("nf"))
        e.papel = _papel(text, e, clausula)
    return partes


def _papel_da_linha(linha: str) -> Optional[str]:
    """Role named by a heading line of a summary ("1. CONTRATANTE", "CONTRATADA:")."""
    s = _ENUMERADOR.sub("", linha, count=1).strip(" :-–")
    if s and len(s) <= 50 and ":" not in s and singular(fold(s.split()[0]).strip(".:")) in PAPEIS:
        return papel_norm(s)
    return None


def _quadro_resumo(text: str) -> List[Empresa]:
    """Parties given as "Campo: valor" lines, one group per company."""
    achadas: List[Empresa] = []
    atual: Optional[Empresa] = None
    rep: Optional[List[Optional[str]]] = None
    anterior: List[str] = []
    pos = 0
    for linha in text.split("\n"):
        ini, pos = pos, pos + len(linha) + 1
        m = _CAMPO_QUADRO.match(linha)
        if not m:
            anterior = (anterior + [linha])[-2:]
            if atual is not None and (not linha or _papel_da_linha(linha)):
                atual = None
            papel = _PAPEL_CAMPO.match(linha)
            if (papel and _papel_da_linha(papel.group("papel")) and SUFIXO_EMPRESA.search(papel.group("val"))
                    and "," not in papel.group("val") and len(achadas) < MAX_EMPRESAS):
                # "CONTRATANTE: ALFA LTDA." then its fields: kept only if a CNPJ field follows
                atual = Empresa(inicio=ini, fim_nome=ini, razao_social=ws(papel.group("val")), fixa=True,
                                papel=_papel_da_linha(papel.group("papel")), intermediaria=True)
                achadas.append(atual)
                rep = None
            continue
        rot, val = fold(m.group("rot")), ws(m.group("val"))
        if rot.startswith(("razao", "denomina", "nome empresarial")):
            if len(achadas) >= MAX_EMPRESAS:
                break
            atual = Empresa(inicio=ini, fim_nome=ini, razao_social=val, fixa=True)
            for a in reversed(anterior):
                atual.papel = _papel_da_linha(a)
                if atual.papel:
                    break
            achadas.append(atual)
            rep = None
        elif atual is None:
            continue
        elif rot.startswith(("cnpj", "c.n.p.j")):
            atual.cnpj = achar_cnpj(val, 0, len(val)) or atual.cnpj
            atual.intermediaria = atual.intermediaria and not atual.cnpj
        elif rot.startswith(("endere", "sede")):
            atual.endereco = val.rstrip(" .")
        elif rot.startswith("nome fantasia"):
            atual.nome_fantasia = val
        elif rot.startswith("represent"):
            nome = val.split(",")[0].strip()
            if parece_pessoa(nome):
                rep = [nome, None, None]
                atual.representantes.append((nome, None, None))
        elif rep is not None and rot.startswith(("cargo", "qualifica")):
            rep[1] = val
            atual.representantes[-1] = (str(rep[0]), rep[1], rep[2])
        elif rep is not None and rot.startswith("cpf"):
            c = CPF_RE.search(val)
            rep[2] = c.group() if c else None
            atual.representantes[-1] = (str(rep[0]), rep[1], rep[2])
    return [e for e in achadas if not e.intermediaria]


def _tabelas(text: str) -> List[Empresa]:
    """Parties given as rows of a table drawn with pipes, under a header row."""
    achadas: List[Empresa] = []
    colunas: Optional[Dict[str, int]] = None
    pos = 0
    for linha in text.split("\n"):
        ini, pos = pos, pos + len(linha) + 1
        if not linha.startswith("|") or linha.count("|") < 3:
            colunas = None
            continue
        cel = celulas(linha)
        cab = [fold(c) for c in cel]
        if any("cnpj" in c for c in cab) and any(k in c for c in cab for k in ("razao", "empresa", "nome", "denomin")):
            colunas = {}
            for i, c in enumerate(cab):
                if "cnpj" in c:
                    colunas["cnpj"] = i
                elif "represent" in c:
                    colunas["rep"] = i
                elif any(k in c for k in ("razao", "empresa", "nome", "denomin")):
                    colunas.setdefault("razao", i)
                elif any(k in c for k in ("parte", "papel", "qualidade", "condicao")):
                    colunas["papel"] = i
                elif "endere" in c or "sede" in c:
                    colunas["end"] = i
            continue
        if colunas is None or len(cel) <= max(colunas.values()):
            continue
        razao = cel[colunas.get("razao", 0)]
        cnpj = achar_cnpj(cel[colunas["cnpj"]], 0, len(cel[colunas["cnpj"]])) if "cnpj" in colunas else None
        if not razao or not cnpj:
            continue
        if len(achadas) >= MAX_EMPRESAS:
            break
        e = Empresa(inicio=ini, fim_nome=ini, razao_social=razao, cnpj=cnpj, fixa=True)
        if "papel" in colunas:
            e.papel = papel_norm(cel[colunas["papel"]])
        if "end" in colunas:
            e.endereco = cel[colunas["end"]] or None
        if "rep" in colunas and parece_pessoa(cel[colunas["rep"]]):
            e.representantes.append((cel[colunas["rep"]], None, None))
        achadas.append(e)
    return achadas


def extrair_empresas(text: str, duras: AbstractSet[int]) -> List[Empresa]:
    achadas = _qualificacoes(text, duras)
    if "|" in text:
        achadas += _tabelas(text)
    if ":" in text:
        achadas += _quadro_resumo(text)
    achadas.sort(key=lambda e: e.inicio)

    # "Endereço da LOCADORA: ..." beside a table gives the address by role
    sem_endereco: Dict[str, List[Empresa]] = {}
    for e in achadas:
        if e.fixa and not e.endereco and e.papel:
            sem_endereco.setdefault(fold(e.papel), []).append(e)
    if sem_endereco:
        for m in re.finditer(r"(?m)^Endere[çc]o\s+d[ao]\s.{3,300}$", text):
            d = _ENDERECO_DE.match(m.group())
            papel = papel_norm(d.group("papel")) if d else None
            if d and papel and sem_endereco.get(fold(papel)):
                sem_endereco[fold(papel)].pop(0).endereco = ws(d.group("end")).rstrip(" .")

    # the same company named again (e.g. in a summary and in the clauses) counts once
    vistas: Dict[str, Empresa] = {}
    unicas = []
    for e in achadas:
        # "A ALFA LTDA." at the start of a sentence (an annex's declaration) is the same company
        chaves = [k for k in (chave_cnpj(e.cnpj), _SEM_ARTIGO.sub("", fold(e.razao_social).strip(" ."))) if k]
        primeira = next((vistas[k] for k in chaves if k in vistas), None)
        if primeira is not None:
            primeira.cnpj = primeira.cnpj or e.cnpj
            primeira.endereco = primeira.endereco or e.endereco
            primeira.papel = primeira.papel or e.papel
            primeira.representantes += [r for r in e.representantes if r not in primeira.representantes]
            continue
        for k in chaves:
            vistas[k] = e
        unicas.append(e)
    return unicas


_SEM_ARTIGO = re.compile(r"^(?:a|o|as|os) (?=\S+ \S)")


def nomes_das_empresas(empresas: Sequence[Empresa]) -> Set[str]:
    return {fold(ws(e.razao_social)).strip(" .") for e in empresas}


def eh_nome_de_empresa(s: str, nomes: AbstractSet[str]) -> bool:
    """The text names a company: by its suffix or by a party's name (`nomes_das_empresas`)."""
    if len(s) > 150:
        return False
    if SUFIXO_EMPRESA.search(s):
        return True
    return fold(ws(s)).strip(" .") in nomes


__all__ = ["Empresa", "extrair_empresas", "papel_norm", "eh_nome_de_empresa", "nomes_das_empresas", "MAX_EMPRESAS"]
