"""Reader of the people who sign or represent the parties.

Reads the representatives named in the qualification paragraphs, the
signature blocks at the end of the contract (lines, names, roles, companies,
witnesses) and the electronic-signature pages.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import List, Optional, Tuple

from .empresas import Empresa
from .texto import (CARGOS, CNPJ_RE, CONECTORES, CPF_RE, LO, SUFIXO_EMPRESA, UP, digitos, eh_cargo, fold,
                    singular, titulo, ws)

TIPO_REPRESENTANTE = "representante legal"
TIPO_PROCURADOR = "procurador"
TIPO_TESTEMUNHA = "testemunha"
TIPO_DIGITAL = "assinatura digital ICP-Brasil"
TIPO_SIGNATARIO = "signatário"


@dataclass
class _Pessoa:
    nome: str
    cargo: Optional[str] = None
    cpf: Optional[str] = None
    empresa: Optional[str] = None
    cnpj_empresa: Optional[str] = None
    tipo: Optional[str] = None
    testemunha: bool = False

    def chave(self) -> str:
        return fold(ws(self.nome))

    def as_dict(self) -> Dict[str, Optional[str]]:
        return {
            "nome_signatario": self.nome,
            "cargo": self.cargo,
            "cpf": self.cpf,
            "empresa_representada": self.empresa,
            "cnpj_empresa": self.cnpj_empresa,
            "tipo_assinatura": self.tipo,
        }


_NOME_TOKEN = rf"[{UP}][\w'’.\-]*"
_REPRESENTADA = re.compile(
    r"representad[ao]s?\s+(?:neste\s+ato\s+|nesse\s+ato\s+|legalmente\s+|aqui\s+)?(?:por|pel[ao]s?)\s+", re.I
)
_PESSOA = re.compile(
    rf"\s*(?:(?:seus?|suas?|pel[ao]s?|o|a)\s+)?(?:(?:Sr|Sra|Dr|Dra)\.?\s+)?"
    rf"(?P<pre>(?:[{LO}][{LO}\-]*\s+){{0,4}}?)"
    rf"(?P<nome>{_NOME_TOKEN}(?:\s+(?:(?:d[aeo]s?|e)\s+)?{_NOME_TOKEN})+)\s*,"
)
_PROXIMA_PESSOA = re.compile(
    rf",?\s+e\s+(?:por\s+)?(?=(?:seus?|suas?|pel[ao]s?|Sr|Sra|Dr|Dra)\b|[{UP}][\w'-]*\s+[{UP}])|doravante",
)
_CPF_ROTULO = re.compile(r"CPF(?:/MF)?[^0-9]{0,30}")


def _separar_cargo_do_nome(pre: str, nome: str) -> Tuple[Optional[str], str]:
    """'Diretor Presidente JOÃO' capturado como nome: o cargo vai para o lado."""
    palavras = nome.split()
    cargo_extra = []
    while len(palavras) > 2 and (fold(palavras[0]) in CARGOS or (cargo_extra and fold(palavras[0]) in CONECTORES)):
        cargo_extra.append(palavras.pop(0))
    cargo = ws(" ".join([pre.strip()] + cargo_extra)) or None
    return cargo, " ".join(palavras)


def _representantes(text: str, empresas: List[Empresa]) -> List[_Pessoa]:
    pessoas: List[_Pessoa] = []
    for e in empresas:
        clausula = text[e.fim_nome:e.fim]
        rep = _REPRESENTADA.search(clausula)
        if not rep:
            continue
        pos = rep.end()
        while True:
            m = _PESSOA.match(clausula, pos)
            if not m:
                break
            cargo, nome = _separar_cargo_do_nome(m.group("pre"), m.group("nome"))
            nxt = _PROXIMA_PESSOA.search(clausula, m.end())
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
            p = _Pessoa(nome=ws(nome), cargo=titulo(cargo) if cargo else None, cpf=cpf,
                        empresa=e.razao_social, cnpj_empresa=e.cnpj)
            p.tipo = TIPO_PROCURADOR if cargo and fold(cargo).startswith("procurador") else TIPO_REPRESENTANTE
            pessoas.append(p)
            if not nxt or nxt.group().startswith("doravante"):
                break
            pos = nxt.end()
    return pessoas


# Blocos de assinatura (linha a linha)

_SUBLINHADO = re.compile(r"^(?:\(?[0-9a-z]{1,3}[.)]\s*)?_{5,}\s*(?P<resto>.*)$")
_TESTEMUNHAS = re.compile(r"^testemunhas?\b\s*:?\s*(?P<resto>.*)$", re.I)
_ROTULO = re.compile(rf"^(?:[Pp](?:el[ao]s?|/)\s*)?(?P<papel>[{UP}]{{4,}})\s*:\s*$")
_ENUMERACAO = re.compile(r"^[0-9]{1,2}\s*[.)\-]\s+")
_CAMPO = re.compile(r"^(?P<rot>Nome|Cargo|Fun[çc][ãa]o|Qualidade|CPF(?:/MF)?|CNPJ(?:/MF)?|RG|Empresa)\b\s*(?:n[º°o]\.?\s*)?:?\s*(?P<val>.*)$", re.I)
_CPF_INLINE = re.compile(r"\s+(?:[–—-]\s+)?CPF(?:/MF)?\s*(?:n[º°o]\.?\s*)?:?\s*")
_TRACO = re.compile(r"\s+[–—-]\s+")
_NOME_LINHA = re.compile(rf"^{_NOME_TOKEN}(?:\s+(?:(?:d[aeo]s?|e)\s+)?{_NOME_TOKEN}){{1,7}}$")


def _parece_nome(s: str) -> bool:
    return bool(_NOME_LINHA.match(s)) and not any(ch.isdigit() for ch in s) and not eh_cargo(s)


@dataclass
class _Bloco:
    testemunha: bool
    rotulo: Optional[str]
    nome: Optional[str] = None
    cargo: Optional[str] = None
    cpf: Optional[str] = None
    empresa: Optional[str] = None
    cnpj: Optional[str] = None

    def alimentar(self, s: str) -> bool:
        """Consome uma linha do bloco; False quando a linha não pertence a ele."""
        campo = _CAMPO.match(s)
        if campo:
            rot = fold(campo.group("rot"))
            val = campo.group("val").strip()
            if rot == "nome":
                if self.nome:
                    return False
                partes = _CPF_INLINE.split(val, maxsplit=1)
                self.nome = ws(partes[0]).strip(" –—-")
                if len(partes) > 1:
                    c = CPF_RE.search(partes[1])
                    self.cpf = c.group() if c else self.cpf
            elif rot.startswith("cpf"):
                c = CPF_RE.search(val)
                self.cpf = c.group() if c else self.cpf
            elif rot.startswith("cnpj"):
                c = CNPJ_RE.search(val)
                self.cnpj = c.group() if c else self.cnpj
            elif rot == "empresa":
                self.empresa = ws(val)
            elif rot == "rg":
                pass
            else:
                self.cargo = ws(val)
            return True
        if "icp" in fold(s) or "assinatura" in fold(s):
            return False
        if self.testemunha:
            if self.nome is None and _parece_nome(s):
                self.nome = ws(s)
                return True
            return False
        partes = _TRACO.split(s, maxsplit=1)
        if len(partes) == 2 and _parece_nome(partes[0]) and self.nome is None:
            self.nome = ws(partes[0])
            if eh_cargo(partes[1]):
                self.cargo = ws(partes[1])
            return True
        if SUFIXO_EMPRESA.search(s) and self.empresa is None:
            self.empresa = ws(s)
            return True
        if self.nome is None and _parece_nome(s):
            self.nome = ws(s)
            return True
        if self.cargo is None and eh_cargo(s) and len(s) <= 60:
            self.cargo = ws(s)
            return True
        return False


def _blocos_assinatura(text: str) -> List[_Bloco]:
    blocos: List[_Bloco] = []
    atual: Optional[_Bloco] = None
    em_testemunhas = False
    rotulo: Optional[str] = None

    def fechar():
        nonlocal atual
        if atual is not None and atual.nome:
            blocos.append(atual)
        atual = None

    for raw in text.split("\n"):
        s = raw.strip()
        if not s:
            continue
        t = _TESTEMUNHAS.match(s)
        if t:
            fechar()
            em_testemunhas, rotulo = True, None
            s = t.group("resto").strip()
            if not s:
                continue
        elif _ROTULO.match(s):
            fechar()
            em_testemunhas, rotulo = False, _ROTULO.match(s).group("papel")
            continue
        sub = _SUBLINHADO.match(s)
        if sub:
            fechar()
            atual = _Bloco(testemunha=em_testemunhas, rotulo=rotulo)
            s = sub.group("resto").strip()
            if not s:
                continue
        s = _ENUMERACAO.sub("", s)
        if em_testemunhas and re.match(r"^Nome\b", s, re.I) and (atual is None or atual.nome):
            fechar()
            atual = _Bloco(testemunha=True, rotulo=None)
        if atual is None:
            continue
        if not atual.alimentar(s):
            fechar()
    fechar()
    return blocos


_CERTIFICADO = re.compile(rf"(?P<nome>[{UP}][{UP} .'\-]+?)\s*:\s*(?P<doc>[0-9]{{14}}|[0-9]{{11}})(?![0-9])")


def _mesmo_nome(a: str, b: str) -> bool:
    return fold(ws(a)) == fold(ws(b))


def _empresa_do_bloco(b: _Bloco, empresas: List[Empresa]) -> Optional[Empresa]:
    if b.cnpj:
        for e in empresas:
            if e.cnpj and digitos(e.cnpj) == digitos(b.cnpj):
                return e
    if b.empresa:
        alvo = fold(b.empresa).strip(" .")
        for e in empresas:
            nome = fold(e.razao_social).strip(" .")
            if alvo == nome or alvo in nome or nome in alvo:
                return e
        return None
    if b.rotulo:
        papel = singular(b.rotulo.lower())
        candidatas = [e for e in empresas if e.papel == papel]
        if len(candidatas) == 1:
            return candidatas[0]
    return None


def extrair_assinaturas(text: str, empresas: List[Empresa]) -> List[_Pessoa]:
    pessoas = _representantes(text, empresas)

    def procurar(nome: str, cpf: Optional[str]) -> Optional[_Pessoa]:
        d = digitos(cpf)
        for p in pessoas:
            if (d and digitos(p.cpf) == d) or _mesmo_nome(p.nome, nome):
                return p
        return None

    for b in _blocos_assinatura(text):
        existente = procurar(b.nome, b.cpf)
        if b.testemunha:
            if existente is None:
                pessoas.append(_Pessoa(nome=b.nome, cargo="Testemunha", cpf=b.cpf, tipo=TIPO_TESTEMUNHA,
                                       testemunha=True))
            continue
        emp = _empresa_do_bloco(b, empresas)
        if existente is None:
            p = _Pessoa(nome=b.nome, cargo=b.cargo, cpf=b.cpf)
            if emp is not None:
                p.empresa, p.cnpj_empresa = emp.razao_social, emp.cnpj
            elif b.empresa:
                p.empresa, p.cnpj_empresa = b.empresa, b.cnpj
            if p.empresa:
                p.tipo = TIPO_PROCURADOR if p.cargo and fold(p.cargo).startswith("procurador") else TIPO_REPRESENTANTE
            else:
                p.tipo = TIPO_SIGNATARIO
            pessoas.append(p)
            continue
        if existente.testemunha:
            continue
        existente.cargo = existente.cargo or b.cargo
        existente.cpf = existente.cpf or b.cpf
        if existente.empresa is None and emp is not None:
            existente.empresa, existente.cnpj_empresa = emp.razao_social, emp.cnpj

    # Página de assinaturas digitais: certificados "NOME:CPF" (e-CPF) e
    # "RAZÃO SOCIAL:CNPJ" (e-CNPJ, da empresa, não de uma pessoa).
    ftext = fold(text)
    if "icp-brasil" in ftext or "icp brasil" in ftext:
        for c in _CERTIFICADO.finditer(text):
            if len(c.group("doc")) != 11:
                continue
            nome = ws(c.group("nome"))
            if len(nome.split()) < 2:
                continue
            existente = procurar(nome, c.group("doc"))
            if existente is None:
                pessoas.append(_Pessoa(nome=nome, cpf=c.group("doc"), tipo=TIPO_DIGITAL))
            elif not existente.testemunha:
                existente.tipo = TIPO_DIGITAL
                existente.cpf = existente.cpf or c.group("doc")
    return pessoas


