"""Signature blocks, read line by line.

A line of underscores, then the name, office, company and CPF in any order
and with or without "Nome:", "Por:", "Cargo:" labels; a party label ("Pela
CONTRATANTE:") or a company line above the blocks that it heads; witnesses
("Testemunhas:"); attorneys ("p.p."). Blocks typed in columns reach this
reader already laid out one after the other (`colunas`). Each line comes with
its place on the page when it has one: a name goes on into the next line only
if that line stacks right under it (`layout.stacks`).
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import AbstractSet, Iterable, List, Optional, Sequence, Tuple

from ....layout import Line, stacks
from ..empresas import Empresa, eh_nome_de_empresa, papel_norm
from ..texto import (CONECTORES, CPF_RE, SUFIXO_EMPRESA, achar_cnpj, chave_cnpj, eh_cargo, eh_papel, fold,
                     parece_pessoa, ws)

_SUBLINHADO = re.compile(
    r"^(?:\(?[0-9a-z]{1,3}[.)]\s?)?(?:(?:Por|P/|Assinatura|Ass\.)\s?:?\s?)?_{5,}\s?(?P<resto>.*)$", re.I)
_TESTEMUNHAS = re.compile(
    r"^testemunhas?\b\s?(?:(?:n[º°o]\.?\s?)?(?P<num>[0-9]{1,2})\s?[:.)\-–]?|:)?\s?(?P<resto>.*)$", re.I)
_ROTULO_PARTE = re.compile(
    r"^(?:(?:Pel[ao]s?|P/|Por|Em\s+nome\s+d[ao]s?)\s)?(?P<papel>[A-Za-zÀ-ÿ]{4,30}(?:\s[A-Za-zÀ-ÿ]{2,30}){0,2})"
    r"\s?(?::\s?(?P<resto>.*)|$)")
_ENUMERACAO = re.compile(r"^[0-9]{1,2}\s?[.):\-]\s")
_CAMPO = re.compile(
    r"^(?P<rot>Nome|Por|Cargo|Fun[çc][ãa]o|Qualidade|Qualifica[çc][ãa]o|CPF(?:/M[FE])?|CNPJ(?:/M[FE])?|RG"
    r"|Empresa|Raz[ãa]o\s+Social|Representante(?:\s+Legal)?)\b\s?(?:n[º°o]\.?\s?)?:\s?(?P<val>.*)$", re.I)
_DOC_SEM_DOIS_PONTOS = re.compile(r"^(?P<rot>CPF(?:/M[FE])?|RG|CNPJ(?:/M[FE])?)\s?(?:n[º°o]\.?\s?)?(?P<val>[0-9].{0,60})$", re.I)
_CPF_INLINE = re.compile(r"\s(?:[–—-]\s)?(?:CPF(?:/M[FE])?|RG)\s?(?:n[º°o]\.?\s?)?:?\s?")
_TRACO = re.compile(r"\s[–—-]\s|,\s(?=[A-ZÀ-Þ][a-zà-ÿ])")
_PROCURACAO = re.compile(r"^(?:p\.\s?p\.|pp\.|p/p\.?|por\s+procura[çc][ãa]o)\s?:?\s?", re.I)
_INTERMEDIARIA = re.compile(r"^(?:p\.|por|p/)\s", re.I)
_PARENTESES = re.compile(r"\s?\([^()]{0,80}\)")


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

    def alimentar(self, s: str, nomes: AbstractSet[str], empilhada: bool = True) -> bool:
        """Takes one line of the block; False when the line does not belong to it.
        `empilhada`: the line sits right under the one before (always so in plain text)."""
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
        if (foi_nome and empilhada and self.nome and self.nome.isupper() and s.isupper() and len(s.split()) <= 3
                and not eh_cargo(s) and not eh_papel(s) and all(w.isalpha() for w in s.split())):
            self.nome = f"{self.nome} {s}"  # a name broken across two lines
            return True
        if self.cargo is None and eh_cargo(s) and len(s) <= 60:
            self.cargo = ws(s)
            return True
        return False


_PARTES_INLINE = re.compile(r",\s|;\s|\s[–—-]\s")
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


def _blocos_assinatura(linhas: Iterable[Tuple[str, Optional[Line]]], nomes: AbstractSet[str]) -> List[_Bloco]:
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

    anterior: Optional[Line] = None
    for raw, onde in linhas:
        s = raw.strip()
        if not s:
            continue
        empilhada = anterior is None or onde is None or stacks(anterior, onde)
        anterior = onde
        t = _TESTEMUNHAS.match(s)
        if t:
            fechar()
            em_testemunhas, rotulo, contexto = True, None, None
            s = t.group("resto").strip()
            if not s:
                continue
            if t.group("num") and not s.startswith("_"):
                # "Testemunha 1: JOÃO DA SILVA, CPF ...": the witness on the label's own line
                atual = _Bloco(testemunha=True, rotulo=None, contexto=None)
                for parte in _PARTES_INLINE.split(s)[:4]:
                    atual.alimentar(parte.strip(), nomes)
                fechar()
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
        if atual is not None and atual.alimentar(s, nomes, empilhada):
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
