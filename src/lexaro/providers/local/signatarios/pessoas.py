"""The people found so far, one entry per person and company they sign for.

Each source adds what it says of a person (name, office, CPF, company, kind
of signature) through `_Pessoas.juntar`, which merges the mentions of one
person by CPF, else by folded name.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

from ..empresas import Empresa
from ..texto import chave_cnpj, digitos, fold, ws

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
