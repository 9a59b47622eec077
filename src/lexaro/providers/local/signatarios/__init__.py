"""Reader of the people who sign or represent the parties.

Four sources, in this order, merged person by person (by CPF, else by name):

1. the representatives named in the qualification paragraphs ("neste ato
   representada por seu diretor JOÃO ..., e por sua diretora MARIA ...";
   "ambas representadas por ..." for every company before it), and those of
   a summary or a table;
2. the signature blocks: a line of underscores, then the name, office,
   company and CPF in any order and with or without "Nome:", "Por:",
   "Cargo:" labels; blocks side by side on a page (split by the page's
   geometry, `layout.Columns`) and, in the text, the cells of a table drawn
   with pipes and blocks written inline on one line; a party
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

The person model that merges the mentions is in `pessoas`; the sources, in
`representantes` (1), `blocos` and `colunas` (2) and `eletronicas` (3).
This module holds the last check (4) and `extrair_assinaturas`, which runs
them in that order.
"""

from __future__ import annotations

import re
from typing import List, Optional, Sequence, Set

from ....layout import Line
from ..empresas import Empresa, eh_nome_de_empresa, nomes_das_empresas
from ..texto import fold, parece_pessoa, ws
from .blocos import _blocos_assinatura, _empresa_do_bloco, _regiao_das_assinaturas, _sem_tratamento
from .colunas import _em_linhas
from .eletronicas import _digitais
from .pessoas import (TIPO_DIGITAL, TIPO_ELETRONICA, TIPO_PARTE_PF, TIPO_PROCURADOR, TIPO_REPRESENTANTE,
                      TIPO_SIGNATARIO, TIPO_TESTEMUNHA, Pessoa, _chave_empresa, _Pessoas, _tipo_por_cargo)
from .representantes import _NOME_TOKEN, _representantes


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


def extrair_assinaturas(text: str, empresas: List[Empresa], avisos: Optional[List[str]] = None,
                        linhas: Sequence[Optional[Line]] = ()) -> List[Pessoa]:
    """The signatories of `text` (prepared), given its companies; `linhas`,
    when the text came from pages, the page's `Line` of each line of the text
    (`texto.lugares_das_linhas`: they tell which lines stack)."""
    pessoas = _Pessoas(empresas)
    _representantes(text, empresas, pessoas)
    nomes = nomes_das_empresas(empresas)
    regiao = _regiao_das_assinaturas(text)
    com_lugares = (list(zip(regiao, linhas[len(linhas) - len(regiao):])) if len(linhas) >= len(regiao)
                   else [(s, None) for s in regiao])
    for b in _blocos_assinatura(_em_linhas(com_lugares), nomes):
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
