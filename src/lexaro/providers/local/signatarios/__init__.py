"""Reader of the people who sign or represent the parties.

Four sources, in this order, merged person by person (by CPF, else by name):

1. the representatives named in the qualification paragraphs ("neste ato
   representada por seu diretor JOÃO ..., e por sua diretora MARIA ...";
   "ambas representadas por ..." for every company before it), and those of
   a summary or a table;
2. the signature blocks: a line of underscores, then the name, office,
   company and CPF in any order and with or without "Nome:", "Por:",
   "Cargo:" labels; blocks typed in two columns on the same lines; a party
   label ("Pela CONTRATANTE:") or a company line above the blocks that it
   heads; witnesses ("Testemunhas:"), in blocks, in columns or inline;
   attorneys ("p.p.");
3. the electronic-signature pages: ICP-Brasil certificates "NOME:CPF",
   "Assinado digitalmente por NOME, CPF ...", and platform reports
   "Signatário: NOME | CPF ... " with "Papel: ... – EMPRESA" and "Assinou como
   parte/testemunha";
4. a last check: a name that is a role, an office, a company or a label is
   never returned as a person.

One person who signs for two companies is two entries, one per company.
What could not be attributed is kept (with no company) and reported in
`avisos`, as is a party that nobody signs for.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from itertools import combinations
from typing import AbstractSet, Callable, Dict, Iterable, List, Optional, Sequence, Set, Tuple

from ..empresas import Empresa, eh_nome_de_empresa, nomes_das_empresas, papel_norm
from ..texto import (CARGOS, CONECTORES, CPF_RE, LO, SUFIXO_EMPRESA, UP, achar_cnpj, chave_cnpj, digitos, eh_cargo,
                    eh_papel, fold, parece_pessoa, titulo, ws)

TIPO_REPRESENTANTE = "representante legal"
TIPO_PROCURADOR = "procurador"
TIPO_TESTEMUNHA = "testemunha"
TIPO_DIGITAL = "assinatura digital ICP-Brasil"
TIPO_ELETRONICA = "assinatura eletrônica"
TIPO_SIGNATARIO = "signatário"
TIPO_PARTE_PF = "parte (pessoa física)"


@dataclass
class Pessoa:
    nome: str
    cargo: Optional[str] = None
    cpf: Optional[str] = None
    empresa: Optional[str] = None
    cnpj_empresa: Optional[str] = None
    tipo: Optional[str] = None
    testemunha: bool = False

    def as_dict(self) -> Dict[str, Optional[str]]:
        return {
            "nome_signatario": self.nome,
            "cargo": self.cargo,
            "cpf": self.cpf,
            "empresa_representada": self.empresa,
            "cnpj_empresa": self.cnpj_empresa,
            "tipo_assinatura": self.tipo,
        }


def _tipo_por_cargo(cargo: Optional[str]) -> str:
    return TIPO_PROCURADOR if cargo and fold(cargo).startswith("procurador") else TIPO_REPRESENTANTE


class _Pessoas:
    """The people found so far, looked up by CPF and by folded name."""

    def __init__(self, empresas: Sequence[Empresa]) -> None:
        self.lista: List[Pessoa] = []
        self._por_nome: Dict[str, List[Pessoa]] = {}
        self._por_cpf: Dict[str, List[Pessoa]] = {}
        self.empresas = empresas

    def achar(self, nome: str, cpf: Optional[str]) -> List[Pessoa]:
        d = digitos(cpf)
        if len(d) == 11 and d in self._por_cpf:
            return self._por_cpf[d]
        return self._por_nome.get(fold(ws(nome)), [])

    def novo(self, p: Pessoa) -> Pessoa:
        self.lista.append(p)
        self._por_nome.setdefault(fold(ws(p.nome)), []).append(p)
        self._indexar_cpf(p)
        return p

    def _indexar_cpf(self, p: Pessoa) -> None:
        d = digitos(p.cpf)
        if len(d) == 11:
            lst = self._por_cpf.setdefault(d, [])
            if p not in lst:
                lst.append(p)

    def juntar(self, nome: str, cargo: Optional[str], cpf: Optional[str], emp: Optional[Tuple[str, Optional[str]]],
               testemunha: bool, tipo: Optional[str] = None, fraca: bool = False) -> Pessoa:
        """Adds what one signature says of a person; returns the entry it went to.

        A company that the signature names explicitly, and that differs from
        the one the person was found for, makes a second entry (one person
        signing for two companies); a company only inferred from the layout
        (`fraca`: a heading above the blocks, a party label) never does.
        """
        existentes = self.achar(nome, cpf)
        if testemunha:
            for p in existentes:
                p.cpf = p.cpf or cpf
                self._indexar_cpf(p)
                return p
            return self.novo(Pessoa(nome=nome, cargo="Testemunha", cpf=cpf, tipo=TIPO_TESTEMUNHA, testemunha=True))
        alvo = _chave_empresa(emp[0], emp[1]) if emp else ""
        escolhido: Optional[Pessoa] = None
        for p in existentes:
            if p.testemunha:
                continue
            if not emp or not p.empresa or fraca or _chave_empresa(p.empresa, p.cnpj_empresa) == alvo:
                escolhido = p
                break
        if escolhido is None and existentes and all(p.testemunha for p in existentes):
            return existentes[0]
        if escolhido is None:
            base = next((p for p in existentes if not p.testemunha), None)
            escolhido = self.novo(Pessoa(nome=base.nome if base else nome, cargo=base.cargo if base else None,
                                         cpf=base.cpf if base else None))
        escolhido.cargo = escolhido.cargo or cargo
        escolhido.cpf = escolhido.cpf or cpf
        self._indexar_cpf(escolhido)
        if emp and not escolhido.empresa:
            escolhido.empresa, escolhido.cnpj_empresa = emp
        if tipo:
            escolhido.tipo = tipo
        elif escolhido.tipo is None:
            escolhido.tipo = _tipo_por_cargo(escolhido.cargo) if escolhido.empresa else TIPO_SIGNATARIO
        elif escolhido.tipo == TIPO_SIGNATARIO and escolhido.empresa:
            escolhido.tipo = _tipo_por_cargo(escolhido.cargo)
        return escolhido


def _chave_empresa(nome: Optional[str], cnpj: Optional[str]) -> str:
    return chave_cnpj(cnpj) or fold(ws(nome or "")).strip(" .")


# ---------------------------------------------------------------------------
# 1. Representatives in the qualification paragraphs

_NOME_TOKEN = rf"[{UP}][\w'’.\-]{{0,40}}"
_REPRESENTADA = re.compile(
    r"(?P<todas>\b(?:ambas|ambos|todas|todos|as\s+partes)\s(?:as\s|os\s)?(?:partes\s)?(?:neste\s+ato\s|nesse\s+ato\s)?)?"
    r"(?:representad[ao]s?|assistid[ao]s?)\s(?:neste\s+ato\s|nesse\s+ato\s|legalmente\s|aqui\s|por\s+sua\s+vez\s)?"
    r"(?:(?:na\s+forma|nos\s+termos)\s+d[eo]s?\s+(?:seu|sua|seus|suas)\s+[^,;]{3,40}?,?\s)?"
    r"(?:por|pel[ao]s?)\s",
    re.I,
)
_PESSOA = re.compile(
    rf"\s?(?:(?:seus?|suas?|pel[ao]s?|o|a)\s)?(?:(?:Sr|Sra|Dr|Dra)\.?\s)?"
    rf"(?P<pre>(?:[{LO}][{LO}\-]{{0,30}},?\s){{0,5}}?)(?:(?:o|a)\s)?(?:(?:Sr|Sra|Dr|Dra)\.?\s)?"
    rf"(?P<nome>{_NOME_TOKEN}(?:\s(?:(?:d[aeo]s?|e)\s)?{_NOME_TOKEN}){{1,10}})\s?(?:,|(?=[(;]))"
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
            pos = rep.end()
            cargo_pendente: Optional[str] = None
            for _ in range(8):
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
                    c = CPF_RE.search(trecho, rot.end(), rot.end() + 20)
                    cpf = c.group() if c else None
                if parece_pessoa(ws(nome)) and not SUFIXO_EMPRESA.search(nome):
                    alvos = [e]
                    if todas:
                        # "ambas representadas por": every party since the last one with a representative
                        for x in reversed(empresas[max(0, i - 10):i]):
                            if x.fixa or any(p.empresa == x.razao_social for p in pessoas.lista[-20:]):
                                break
                            alvos.insert(0, x)
                    for alvo in alvos:
                        p = pessoas.juntar(ws(nome), titulo(cargo) if cargo else None, cpf,
                                           (alvo.razao_social, alvo.cnpj), False)
                        p.tipo = _tipo_por_cargo(p.cargo)
                if not nxt or nxt.group().startswith("doravante"):
                    break
                pos = nxt.end()


# ---------------------------------------------------------------------------
# 2. Signature blocks, read line by line

_SUB = re.compile(r"_{5,}")
_SUBLINHADO = re.compile(
    r"^(?:\(?[0-9a-z]{1,3}[.)]\s?)?(?:(?:Por|P/|Assinatura|Ass\.)\s?:?\s?)?_{5,}\s?(?P<resto>.*)$", re.I)
_TESTEMUNHAS = re.compile(r"^testemunhas?\b\s?:?\s?(?P<resto>.*)$", re.I)
_ROTULO_PARTE = re.compile(
    r"^(?:(?:Pel[ao]s?|P/|Por|Em\s+nome\s+d[ao]s?)\s)?(?P<papel>[A-Za-zÀ-ÿ]{4,30}(?:\s[A-Za-zÀ-ÿ]{2,30}){0,2})"
    r"\s?(?::\s?(?P<resto>.*)|$)")
_ENUMERACAO = re.compile(r"^[0-9]{1,2}\s?[.):\-]\s")
_ENUM_FINAL = re.compile(r"\s[0-9]{1,2}\s?[.)]$")
_CAMPO = re.compile(
    r"^(?P<rot>Nome|Por|Cargo|Fun[çc][ãa]o|Qualidade|Qualifica[çc][ãa]o|CPF(?:/M[FE])?|CNPJ(?:/M[FE])?|RG"
    r"|Empresa|Raz[ãa]o\s+Social|Representante(?:\s+Legal)?)\b\s?(?:n[º°o]\.?\s?)?:\s?(?P<val>.*)$", re.I)
_DOC_SEM_DOIS_PONTOS = re.compile(r"^(?P<rot>CPF(?:/M[FE])?|RG|CNPJ(?:/M[FE])?)\s?(?:n[º°o]\.?\s?)?(?P<val>[0-9].{0,60})$", re.I)
_CPF_INLINE = re.compile(r"\s(?:[–—-]\s)?(?:CPF(?:/M[FE])?|RG)\s?(?:n[º°o]\.?\s?)?:?\s?")
_TRACO = re.compile(r"\s[–—-]\s|,\s(?=[A-ZÀ-Þ][a-zà-ÿ])")
_PROCURACAO = re.compile(r"^(?:p\.\s?p\.|pp\.|p/p\.?|por\s+procura[çc][ãa]o)\s?:?\s?", re.I)
_INTERMEDIARIA = re.compile(r"^(?:p\.|por|p/)\s", re.I)
_PARENTESES = re.compile(r"\s?\([^()]{0,80}\)")
_ROTULO_COLUNA = re.compile(
    r"(?:^|\s)(?=(?:[0-9]{1,2}[.)]\s)?(?:Nome|CPF|Cargo|RG|Por|Empresa|CNPJ|Fun[çc][ãa]o|Qualidade"
    r"|Pel[ao]s?\s[^\s:]{2,40}|P/\s?[^\s:]{2,40})\s?(?:/M[FE])?\s?(?:n[º°o]\.?)?\s?:)", re.I)


_TRATAMENTO = re.compile(r"^(?:Sr|Sra|Srta|Dr|Dra|Eng|Enga|Prof|Profa)\.?\s", re.I)


def _sem_tratamento(nome: str) -> str:
    """'Sr. João da Silva' is João da Silva."""
    return _TRATAMENTO.sub("", nome, count=1) if _TRATAMENTO.match(nome) else nome


def _linha_empresa(s: str, nomes: AbstractSet[str]) -> Optional[str]:
    """The company a signature line names, or None ("ALFA LTDA. (filial X)")."""
    s = _PARENTESES.sub("", s).strip(" ,")
    if not s or len(s) > 120:
        return None
    if not eh_nome_de_empresa(s, nomes):
        return None
    for w in s.split():
        if not (w[:1].isupper() or w[:1].isdigit() or w[:1] in "&(-–" or fold(w) in CONECTORES
                or SUFIXO_EMPRESA.match(w)):
            return None
    return s


@dataclass
class _Bloco:
    testemunha: bool
    rotulo: Optional[str]
    contexto: Optional[str]
    nome: Optional[str] = None
    cargo: Optional[str] = None
    cpf: Optional[str] = None
    empresa: Optional[str] = None
    cnpj: Optional[str] = None
    procurador: bool = False
    ultima_foi_nome: bool = False

    def alimentar(self, s: str, nomes: AbstractSet[str]) -> bool:
        """Takes one line of the block; False when the line does not belong to it."""
        foi_nome, self.ultima_foi_nome = self.ultima_foi_nome, False
        pp = _PROCURACAO.match(s)
        if pp:
            self.procurador = True
            s = s[pp.end():].strip()
            if not s:
                return True
        doc = _DOC_SEM_DOIS_PONTOS.match(s)
        if doc:
            if fold(doc.group("rot")).startswith("cpf"):
                c = CPF_RE.search(doc.group("val"))
                self.cpf = c.group() if c else self.cpf
            elif fold(doc.group("rot")).startswith("cnpj"):
                self.cnpj = achar_cnpj(doc.group("val"), 0, len(doc.group("val"))) or self.cnpj
            return True
        campo = _CAMPO.match(s)
        if campo:
            rot = fold(campo.group("rot"))
            val = campo.group("val").strip()
            if rot in ("nome", "por"):
                if self.nome:
                    return False
                partes = _CPF_INLINE.split(val, maxsplit=1)
                nome = ws(partes[0]).strip(" –—-")
                if len(partes) > 1:
                    c = CPF_RE.search(partes[1])
                    self.cpf = c.group() if c else self.cpf
                if _linha_empresa(nome, nomes):
                    self.empresa = self.empresa or nome
                elif nome:
                    self.nome = nome
                    self.ultima_foi_nome = True
            elif rot.startswith("cpf"):
                c = CPF_RE.search(val)
                self.cpf = c.group() if c else self.cpf
            elif rot.startswith("cnpj"):
                self.cnpj = achar_cnpj(val, 0, len(val)) or self.cnpj
            elif rot in ("empresa", "razao social"):
                self.empresa = ws(val)
            elif rot == "rg":
                pass
            elif rot.startswith("representante"):
                if self.nome:
                    return False
                self.nome = ws(val)
            else:
                self.cargo = ws(val)
            return True
        fs = fold(s)
        if "icp" in fs or "assinado" in fs or "assinatura" in fs:
            return False
        if self.testemunha:
            if self.nome is None and parece_pessoa(s) and not _linha_empresa(s, nomes):
                self.nome = ws(s)
                return True
            return False
        emp = _linha_empresa(s, nomes)
        if emp:
            if self.empresa is None and self.contexto is not None and self.nome and fold(emp) != fold(self.contexto):
                return False  # the company heading the next blocks
            if self.empresa is None:
                self.empresa = emp
                return True
            return fold(emp) == fold(self.empresa) or bool(_INTERMEDIARIA.match(s))
        if _INTERMEDIARIA.match(s) and _linha_empresa(_INTERMEDIARIA.sub("", s, count=1), nomes):
            return True
        rotulo = _ROTULO_PARTE.match(s)
        if (rotulo and eh_papel(rotulo.group("papel")) and self.nome is None and rotulo.group("resto") is None
                and rotulo.group("papel") == s):
            self.rotulo = rotulo.group("papel")
            return True
        com_cpf = _CPF_INLINE.split(s, maxsplit=1)
        if len(com_cpf) == 2 and self.nome is None and parece_pessoa(com_cpf[0].strip(" ,–—-")):
            c = CPF_RE.search(com_cpf[1])
            if c:
                self.nome, self.cpf = ws(com_cpf[0]).strip(" ,–—-"), c.group()
                return True
        partes = _TRACO.split(s, maxsplit=1)
        if len(partes) == 2 and self.nome is None and parece_pessoa(partes[0]) and eh_cargo(partes[1]):
            self.nome = ws(partes[0])
            self.cargo = ws(partes[1])
            return True
        if self.nome is None and parece_pessoa(s):
            self.nome = ws(s)
            self.ultima_foi_nome = True
            return True
        if (foi_nome and self.nome and self.nome.isupper() and s.isupper() and len(s.split()) <= 3
                and not eh_cargo(s) and not eh_papel(s) and all(w.isalpha() for w in s.split())):
            self.nome = f"{self.nome} {s}"  # a name broken across two lines
            return True
        if self.cargo is None and eh_cargo(s) and len(s) <= 60:
            self.cargo = ws(s)
            return True
        return False


# Two columns typed on the same lines: the text layer keeps one line with both
# halves ("JOÃO DA SILVA MARIA SOUZA"), so each line is cut in as many parts as
# the line of underscores above has runs, by its labels, its company suffixes,
# its offices or its names.


def _particoes(palavras: List[str], k: int, valido: Callable[[str], bool],
               conhecidos: AbstractSet[str]) -> Optional[List[str]]:
    """The cut of `palavras` into k valid parts: known names first, then the most even."""
    if not 2 <= k <= 4 or not k <= len(palavras) <= 24:
        return None
    melhor: Optional[Tuple[int, int, List[str]]] = None
    for cortes in combinations(range(1, len(palavras)), k - 1):
        limites = (0,) + cortes + (len(palavras),)
        partes = [" ".join(palavras[i:j]) for i, j in zip(limites, limites[1:])]
        if not all(valido(p) for p in partes):
            continue
        if valido is _cargo_inteiro and any(
                (fold(palavras[c - 1]).strip(".,"), fold(palavras[c]).strip(".,")) in _CARGOS_COMPOSTOS for c in cortes):
            continue
        tamanhos = [j - i for i, j in zip(limites, limites[1:])]
        chave = (-sum(fold(p) in conhecidos for p in partes), max(tamanhos) - min(tamanhos))
        if melhor is None or chave < melhor[:2]:
            melhor = (chave[0], chave[1], partes)
    return melhor[2] if melhor else None


def _cargo_inteiro(s: str) -> bool:
    palavras = s.split()
    return eh_cargo(s) and fold(palavras[-1]) not in CONECTORES


# Offices of two words: a column is never cut between them ("Diretor | Presidente").
_CARGOS_COMPOSTOS = {
    ("diretor", "presidente"), ("diretora", "presidente"), ("socio", "administrador"), ("socia", "administradora"),
    ("socio", "gerente"), ("socia", "gerente"), ("socio", "diretor"), ("socia", "diretora"), ("vice", "presidente"),
    ("diretor", "geral"), ("diretora", "geral"), ("diretor", "executivo"), ("diretora", "executiva"),
    ("diretor", "financeiro"), ("diretora", "financeira"), ("diretor", "comercial"), ("diretora", "comercial"),
    ("diretor", "superintendente"), ("diretora", "superintendente"), ("socio", "fundador"), ("socia", "fundadora"),
}


def _dividir(s: str, k: int, conhecidos: Set[str]) -> Optional[List[str]]:
    if s.startswith("|"):
        cel = [c.strip() for c in s.strip().strip("|").split("|")]
        return cel if len(cel) == k else None
    cortes = [m.end() for m in _ROTULO_COLUNA.finditer(s)]
    if len(cortes) == k and cortes[0] == 0:
        return [s[a:b].strip() for a, b in zip(cortes, cortes[1:] + [len(s)])]
    fins = [m.end() for m in SUFIXO_EMPRESA.finditer(s)]
    if len(fins) == k:
        partes, ini = [], 0
        for f in fins[:-1]:
            f = f + 1 if s[f:f + 1] == "." else f
            partes.append(s[ini:f].strip())
            ini = f
        partes.append(s[ini:].strip())
        if all(partes):
            return partes
    palavras = s.split()
    return _particoes(palavras, k, _cargo_inteiro, conhecidos) or _particoes(palavras, k, parece_pessoa, conhecidos)


def _rotulo_de_parte(s: str) -> bool:
    m = _ROTULO_PARTE.match(s)
    return m is not None and eh_papel(m.group("papel"))


def _colunas_da_linha(s: str) -> int:
    if s.startswith("|"):
        cel = [c.strip() for c in s.strip().strip("|").split("|")]
        return len(cel) if len(cel) >= 2 and any(_SUB.fullmatch(c) for c in cel) else 0
    runs = _SUB.findall(s)
    if len(runs) < 2:
        return 0
    resto = _SUB.sub(" ", s)
    return len(runs) if all(_ENUMERACAO.match(p + " ") or not p for p in resto.split(" ")) or \
        not re.search(r"[A-Za-zÀ-ÿ]{2}", resto) else 0


def _partes_da_sublinhada(s: str, k: int) -> List[str]:
    if s.startswith("|"):
        return [c.strip() for c in s.strip().strip("|").split("|")]
    out, ini = [], 0
    for m in _SUB.finditer(s):
        out.append(s[ini:m.end()].strip())
        ini = m.end()
    return out[:k]


def _em_linhas(linhas: Iterable[str], conhecidos: Set[str]) -> List[str]:
    """The lines of the text with columns laid out one after the other and
    inline blocks ("1. ____ Nome: A CPF: x 2. ____ Nome: B") one per line."""
    entrada: List[str] = []
    for s in linhas:
        s = s.strip()
        if len(_SUB.findall(s)) >= 2 and not _colunas_da_linha(s) and not s.startswith("|"):
            pos = [m.start() for m in _SUB.finditer(s)]
            for a, b in zip([0] + pos, pos + [len(s)]):
                pedaco = _ENUM_FINAL.sub("", s[a:b].strip())
                if pedaco:
                    entrada.append(pedaco)
            continue
        entrada.append(s)
    out: List[str] = []
    i, n = 0, len(entrada)
    while i < n:
        s = entrada[i]
        k = _colunas_da_linha(s)
        if k < 2:
            out.append(s)
            i += 1
            continue
        cols: List[List[str]] = [[] for _ in range(k)]
        if out and out[-1]:
            cab = _dividir(out[-1], k, conhecidos)
            if cab and all(_rotulo_de_parte(c) for c in cab):
                out.pop()
                for j in range(k):
                    cols[j].append(cab[j])
        for j, parte in enumerate(_partes_da_sublinhada(s, k)):
            cols[j].append(parte)
        i += 1
        while i < n:
            s = entrada[i]
            if not s or _SUB.search(s) or _TESTEMUNHAS.match(s):
                break
            partes = _dividir(s, k, conhecidos)
            if partes is None:
                break
            for j in range(k):
                cols[j].append(partes[j])
            i += 1
        for c in cols:
            out.extend(c)
    return out


_INICIO_BLOCOS = re.compile(r"_{5}|^testemunhas?\b", re.I | re.M)


def _regiao_das_assinaturas(text: str) -> List[str]:
    """The lines from a few before the first signature line (or witnesses'
    heading) to the end: the party labels and company names that head the
    blocks sit just above them; prose before that holds no block."""
    m = _INICIO_BLOCOS.search(text)
    if m is None:
        return []
    ini = m.start()
    for _ in range(5):
        ini = text.rfind("\n", 0, max(0, ini - 1)) + 1
        if ini == 0:
            break
    return text[ini:].split("\n")


def _blocos_assinatura(linhas: Iterable[str], nomes: AbstractSet[str]) -> List[_Bloco]:
    blocos: List[_Bloco] = []
    atual: Optional[_Bloco] = None
    em_testemunhas = False
    rotulo: Optional[str] = None
    contexto: Optional[str] = None

    def fechar() -> None:
        nonlocal atual
        if atual is not None and atual.nome:
            blocos.append(atual)
        atual = None

    for raw in linhas:
        s = raw.strip()
        if not s:
            continue
        t = _TESTEMUNHAS.match(s)
        if t:
            fechar()
            em_testemunhas, rotulo, contexto = True, None, None
            s = t.group("resto").strip()
            if not s:
                continue
        rot_linha = _ROTULO_PARTE.match(s) if "___" in s else None
        if rot_linha and eh_papel(rot_linha.group("papel")) and (rot_linha.group("resto") or "").startswith("_"):
            em_testemunhas, rotulo = False, rot_linha.group("papel")  # "CONTRATANTE: ________"
            s = (rot_linha.group("resto") or "").strip()
        sub = _SUBLINHADO.match(s)
        if sub:
            fechar()
            atual = _Bloco(testemunha=em_testemunhas, rotulo=rotulo, contexto=contexto)
            s = sub.group("resto").strip()
            if not s:
                continue
        s = _ENUMERACAO.sub("", s)
        if em_testemunhas and re.match(r"^Nome\b", s, re.I) and (atual is None or atual.nome):
            fechar()
            atual = _Bloco(testemunha=True, rotulo=None, contexto=None)
        if atual is not None and atual.alimentar(s, nomes):
            continue
        if atual is not None:
            fechar()
        # outside a block: a party label or a company heading the blocks below
        rot = _ROTULO_PARTE.match(s)
        if rot and eh_papel(rot.group("papel")) and len(s) <= 150:
            resto = (rot.group("resto") or "").strip()
            emp = _linha_empresa(resto, nomes) if resto else None
            if resto and not emp:
                continue
            em_testemunhas, rotulo, contexto = False, rot.group("papel"), emp
            continue
        emp = _linha_empresa(s, nomes)
        if emp:
            contexto, rotulo = emp, None
            if not em_testemunhas:
                continue
    fechar()
    return blocos


def _empresa_do_bloco(b: _Bloco, empresas: Sequence[Empresa]) -> Optional[Tuple[str, Optional[str]]]:
    if b.cnpj:
        for e in empresas[:200]:
            if e.cnpj and chave_cnpj(e.cnpj) == chave_cnpj(b.cnpj):
                return e.razao_social, e.cnpj
    for texto_emp in (b.empresa, b.contexto):
        if not texto_emp:
            continue
        alvo = fold(_PARENTESES.sub("", texto_emp)).strip(" .")
        for e in empresas[:200]:
            nome = fold(e.razao_social).strip(" .")
            if alvo == nome or (len(alvo) >= 6 and (alvo in nome or nome in alvo)):
                return e.razao_social, e.cnpj
        if texto_emp is b.empresa:
            return texto_emp, b.cnpj
    if b.rotulo:
        papel = fold(papel_norm(b.rotulo) or "")
        candidatas = [e for e in empresas if e.papel and fold(e.papel) == papel]
        if len(candidatas) == 1:
            return candidatas[0].razao_social, candidatas[0].cnpj
    if b.contexto:
        return b.contexto, None
    return None


# ---------------------------------------------------------------------------
# 3. Electronic-signature pages

_CERTIFICADO = re.compile(
    rf"(?<![{UP}])(?P<nome>[{UP}][{UP} .'\-]{{2,100}}?)\s?:\s?(?P<doc>[0-9]{{14}}|[0-9]{{11}})(?![0-9])")
_ASSINADO_POR = re.compile(
    r"Assinad[oa]\s(?:(?:digital|eletronica|eletrônica)mente\s|de\sforma\s(?:digital|eletr[ôo]nica)\s)?"
    r"por ?:? (?P<nome>[^,:;|()\n]{3,120}?)"
    r"(?=\s?(?:[,:;|(\n]|CPF\b|[–—-]\s|em\s[0-9]|$))"
    r"\s?(?:[,:|–—-]\s?)?(?:CPF(?:/M[FE])?\s?(?:n[º°o]\.?\s?)?:?\s?)?(?P<cpf>[0-9]{3}\.?[0-9]{3}\.?[0-9]{3}-?[0-9]{2})?",
    re.I,
)
_SIGNATARIO = re.compile(
    r"^(?:Signat[áa]rio|Nome do signat[áa]rio|Assinante)\s?:\s?(?P<nome>[^|:\n]{3,120}?)\s?(?:\||$|CPF)", re.I | re.M)
_PAPEL_ELETRONICO = re.compile(r"^Papel\s?:\s?(?P<cargo>[^–—|\n]{2,80}?)(?:\s[–—-]\s(?P<empresa>[^|\n]{3,150}))?$",
                               re.I)
_CARIMBO = re.compile(r"^Documento assinado digitalmente\n(?P<nome>[^\n]{3,120})\n(?:Data|Data/Hora)\b", re.I | re.M)
_ASSINOU_COMO = re.compile(r"Assinou\scomo\s(?P<como>[A-Za-zÀ-ÿ]{3,30})", re.I)


def _digitais(text: str, empresas: Sequence[Empresa], pessoas: _Pessoas) -> None:
    ftext = fold(text)
    if "icp-brasil" in ftext or "icp brasil" in ftext:
        # certificates "NOME:CPF" (e-CPF); "RAZÃO SOCIAL:CNPJ" (e-CNPJ) is the company's, not a person's
        for c in _CERTIFICADO.finditer(text):
            if len(c.group("doc")) != 11:
                continue
            nome = ws(c.group("nome"))
            if not parece_pessoa(nome):
                continue
            existentes = [p for p in pessoas.achar(nome, c.group("doc")) if not p.testemunha]
            if not existentes and pessoas.achar(nome, c.group("doc")):
                continue
            if not existentes:
                pessoas.novo(Pessoa(nome=nome, cpf=c.group("doc"), tipo=TIPO_DIGITAL))
            for p in existentes:
                p.tipo = TIPO_DIGITAL
                p.cpf = p.cpf or c.group("doc")
    if "assinad" in ftext:
        for m in _ASSINADO_POR.finditer(text):
            nome = ws(m.group("nome"))
            if not parece_pessoa(nome):
                continue
            resto = fold(text[m.end():m.end() + 250]).split("assinad")[0]
            testemunha = "testemunha" in resto
            tipo = TIPO_DIGITAL if "icp" in resto or "icp-brasil" in ftext else TIPO_ELETRONICA
            if testemunha:
                pessoas.juntar(nome, None, m.group("cpf"), None, True)
                continue
            existentes = [p for p in pessoas.achar(nome, m.group("cpf")) if not p.testemunha]
            if not existentes:
                pessoas.novo(Pessoa(nome=nome, cpf=m.group("cpf"), tipo=tipo))
            for p in existentes:
                p.tipo, p.cpf = tipo, p.cpf or m.group("cpf")
    if "documento assinado digitalmente" in ftext:
        # the stamp of the public signing service: the name on the line after, then "Data: ..."
        for m in _CARIMBO.finditer(text):
            nome = ws(m.group("nome"))
            if not parece_pessoa(nome):
                continue
            existentes = [p for p in pessoas.achar(nome, None) if not p.testemunha]
            if not existentes and not pessoas.achar(nome, None):
                pessoas.novo(Pessoa(nome=nome, tipo=TIPO_ELETRONICA))
            for p in existentes:
                p.tipo = TIPO_ELETRONICA
    if "signat" in ftext or "assinante" in ftext:
        linhas = text.split("\n")
        inicio_linha = {}
        pos = 0
        for i, l in enumerate(linhas):
            inicio_linha[pos] = i
            pos += len(l) + 1
        for m in _SIGNATARIO.finditer(text):
            nome = ws(m.group("nome"))
            if not parece_pessoa(nome):
                continue
            i = inicio_linha.get(m.start(), -1)
            registro = [linhas[i]] if i >= 0 else []
            for l in linhas[i + 1:i + 6] if i >= 0 else []:
                if _SIGNATARIO.match(l):
                    break
                registro.append(l)
            cpf = next((c.group() for l in registro for c in [CPF_RE.search(l)] if c), None)
            cargo = emp_txt = None
            como = ""
            for l in registro:
                pm = _PAPEL_ELETRONICO.match(l.strip())
                if pm:
                    cargo, emp_txt = ws(pm.group("cargo")), pm.group("empresa")
                am = _ASSINOU_COMO.search(l)
                if am:
                    como = fold(am.group("como"))
            if "testemunha" in como or (cargo and "testemunha" in fold(cargo)):
                pessoas.juntar(nome, None, cpf, None, True)
                continue
            emp = None
            if emp_txt:
                b = _Bloco(testemunha=False, rotulo=None, contexto=None, empresa=ws(emp_txt))
                emp = _empresa_do_bloco(b, empresas)
            p = pessoas.juntar(nome, cargo, cpf, emp, False, tipo=TIPO_ELETRONICA)
            p.tipo = TIPO_ELETRONICA


# ---------------------------------------------------------------------------


_MAX_AVISOS = 50
_QUALIFICACAO_PF = re.compile(r",\s?(?:brasileir[oa]|portador[a]?\s|inscrit[oa]\s+no\s+CPF)", re.I)
_NOME_ANTES_DA_VIRGULA = re.compile(
    rf"(?<![\w'’.\-])(?P<nome>{_NOME_TOKEN}(?:\s(?:(?:d[aeo]s?|e)\s)?{_NOME_TOKEN}){{1,10}})\s?$")


def _pessoas_fisicas_partes(text: str) -> Set[str]:
    """Folded names of natural persons qualified as parties ("JOÃO DA SILVA,
    brasileiro, ..., inscrito no CPF ...") and not as someone's representative."""
    out: Set[str] = set()
    for i, m in enumerate(_QUALIFICACAO_PF.finditer(text)):
        if i >= 500:
            break
        ini = max(0, m.start() - 160)
        n = _NOME_ANTES_DA_VIRGULA.search(text, ini, m.start())
        if n and "representad" not in fold(text[max(0, n.start() - 120):n.start()]) and parece_pessoa(n.group("nome")):
            out.add(fold(ws(n.group("nome"))))
    return out




def extrair_assinaturas(text: str, empresas: List[Empresa], avisos: Optional[List[str]] = None) -> List[Pessoa]:
    pessoas = _Pessoas(empresas)
    _representantes(text, empresas, pessoas)
    nomes = nomes_das_empresas(empresas)
    conhecidos = {fold(p.nome) for p in pessoas.lista}
    for b in _blocos_assinatura(_em_linhas(_regiao_das_assinaturas(text), conhecidos), nomes):
        if b.nome is not None:
            b.nome = _sem_tratamento(b.nome)
        if b.nome is None or not parece_pessoa(b.nome) or eh_nome_de_empresa(b.nome, nomes):
            continue
        if b.testemunha:
            pessoas.juntar(b.nome, None, b.cpf, None, True)
            continue
        cargo = b.cargo or ("Procurador" if b.procurador else None)
        pessoas.juntar(b.nome, cargo, b.cpf, _empresa_do_bloco(b, empresas), False,
                       fraca=not (b.empresa or b.cnpj))
    _digitais(text, empresas, pessoas)

    out = [p for p in pessoas.lista if parece_pessoa(p.nome) and not eh_nome_de_empresa(p.nome, nomes)]
    sem_empresa = [p for p in out if not p.testemunha and not p.empresa]
    partes_pf = _pessoas_fisicas_partes(text) if sem_empresa else set()
    for p in sem_empresa:
        if fold(ws(p.nome)) in partes_pf:
            p.tipo = TIPO_PARTE_PF
    for p in out:
        if p.tipo in (TIPO_REPRESENTANTE, TIPO_SIGNATARIO, None) and not p.testemunha:
            p.tipo = _tipo_por_cargo(p.cargo) if p.empresa else TIPO_SIGNATARIO
    if avisos is not None:
        com_signatario = {_chave_empresa(p.empresa, p.cnpj_empresa) for p in out if p.empresa and not p.testemunha}
        com_signatario |= {fold(ws(p.empresa)).strip(" .") for p in out if p.empresa and not p.testemunha}
        for e in empresas:
            if _chave_empresa(e.razao_social, e.cnpj) not in com_signatario and \
                    fold(ws(e.razao_social)).strip(" .") not in com_signatario:
                avisos.append(f"⚠️ Nenhum signatário encontrado para a parte {e.razao_social}"
                              + (f" (CNPJ {e.cnpj})" if e.cnpj else ""))
        for p in out:
            if p.tipo == TIPO_PARTE_PF:
                avisos.append(f"ℹ️ Parte pessoa física (assina por si, sem empresa): {p.nome}")
            elif not p.testemunha and not p.empresa:
                avisos.append(f"⚠️ Assinatura sem empresa identificada: {p.nome}")
        if len(avisos) > _MAX_AVISOS:
            avisos[_MAX_AVISOS:] = [f"⚠️ ... e mais {len(avisos) - _MAX_AVISOS} aviso(s)"]
    return out


__all__ = ["Pessoa", "extrair_assinaturas", "TIPO_REPRESENTANTE", "TIPO_PROCURADOR", "TIPO_TESTEMUNHA",
           "TIPO_DIGITAL", "TIPO_ELETRONICA", "TIPO_SIGNATARIO", "TIPO_PARTE_PF"]
