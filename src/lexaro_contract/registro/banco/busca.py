"""A busca por nome num banco do registro, sobre todos os estabelecimentos.

O índice de nomes tem a razão social uma vez por empresa e o nome fantasia por
estabelecimento. Uma empresa achada pela razão social conta com todos os seus
estabelecimentos: os filtros (UF, situação) valem para cada um, e dela vem o
melhor que passa neles (ativo na UF pedida antes dos outros, a matriz antes
das filiais). Entre os achados, o melhor nome primeiro: o nome inteiro igual,
depois todas as palavras, depois menos palavras a mais.

As funções recebem o `Registro` aberto (qualquer objeto com `_candidatos`,
`_lote` e `_montar`): a busca é a mesma no SQLite e no PostgreSQL.
"""

from __future__ import annotations

import re
from typing import Any, List, Optional, Set, Tuple

from ..fonte import Ficha
from .codigos import SITUACOES
from .esquema import dobrar

_TOKEN = re.compile(r"[0-9A-Z]+")
# Sufixos de forma jurídica: não ajudam a achar a empresa, e um contrato pode
# dizer "EIRELI" onde o registro diz "LTDA".
_SUFIXOS = {"LTDA", "SA", "S", "A", "ME", "EPP", "EIRELI", "MEI", "CIA", "E", "DE", "DA", "DO", "DOS", "DAS"}
_MAX_CANDIDATOS = 2000
# Estabelecimentos lidos de uma empresa achada pela razão social (os de uma
# rede enorme além disso não entram na busca; a consulta por CNPJ os acha).
MAX_ESTABELECIMENTOS = 2000


def _situacao(campos: List[str]) -> str:
    codigo = campos[5]
    return SITUACOES.get(int(codigo), "") if codigo.isdigit() else ""


def melhor_estabelecimento(estabelecimentos: List[List[str]], uf: Optional[str],
                           situacao: Optional[str]) -> Optional[List[str]]:
    """Os campos do estabelecimento da empresa que passa nos filtros (a UF e a
    situação pedidas), o preferido primeiro: ativo, a matriz; ou None se nenhum passa."""
    melhor: Optional[Tuple[Tuple[bool, bool], List[str]]] = None
    for campos in estabelecimentos:
        if len(campos) < 20:
            continue
        sit = _situacao(campos)
        if uf and campos[19].upper() != uf:
            continue
        if situacao and sit != situacao:
            continue
        nota = (sit != "ATIVA", campos[3] != "1")   # a UF pedida já filtrou
        if melhor is None or nota < melhor[0]:
            melhor = (nota, campos)
    return melhor[1] if melhor is not None else None


def buscar(reg: Any, nome: str, uf: Optional[str], situacao: Optional[str], limite: int) -> List[Ficha]:
    if limite <= 0:
        return []
    todos = _TOKEN.findall(dobrar(nome))
    termos = [t for t in todos if t not in _SUFIXOS] or todos
    if not termos:
        return []
    uf_f = uf.upper() if uf else None
    sit_f = situacao.upper() if situacao else None
    # Junta o dobro do pedido e reordena pela semelhança do nome todo com
    # o buscado (sufixos incluídos): entre "X COMERCIO LTDA" e "X COMERCIO
    # S.A." o índice empata; quem escreveu "LTDA" quer o primeiro.
    juntar = limite * 2
    achados: List[Tuple[Tuple[bool, bool, int, bool, bool, int], Ficha]] = []
    vistos: Set[str] = set()
    n = max(juntar * 2, 40)
    while True:
        # Os dados dos candidatos são lidos em lotes do tamanho do que ainda falta
        # juntar; o primeiro pode vir junto com os candidatos (no PostgreSQL).
        candidatos, empresas, fichas = reg._candidatos(termos, n, max(10, juntar), MAX_ESTABELECIMENTOS)
        i = 0
        while i < len(candidatos) and len(achados) < juntar:
            lote = candidatos[i:i + max(10, juntar - len(achados))]
            i += len(lote)
            razoes = [k for _r, q, k in lote if q == "razao" and k not in empresas]
            fantasias = [k for _r, q, k in lote if q != "razao" and k not in fichas]
            if razoes or fantasias:
                mais_empresas, mais_fichas = reg._lote(razoes, fantasias, MAX_ESTABELECIMENTOS)
                empresas.update(mais_empresas)
                fichas.update(mais_fichas)
            for _r, qual, chave in lote:
                rec: Optional[Ficha]
                if qual == "razao":
                    estabelecimentos, bloco_empresa = empresas[chave]
                    campos = melhor_estabelecimento(estabelecimentos, uf_f, sit_f)
                    if campos is None:
                        continue
                    cnpj = campos[0] + campos[1] + campos[2]
                    if cnpj in vistos:
                        continue
                    rec = reg._montar(campos[0], bloco_empresa, campos)
                else:
                    rec = fichas[chave]
                    cnpj = rec["cnpj"] if rec is not None else ""
                if rec is None or cnpj in vistos:
                    continue
                vistos.add(cnpj)
                if uf_f and (rec["uf"] or "").upper() != uf_f:
                    continue
                if sit_f and (rec["descricao_situacao_cadastral"] or "") != sit_f:
                    continue
                # O filtro acima compara a UF em maiúsculas, e o importador guarda a
                # UF como publicada: o penúltimo termo põe a gravada como o filtro
                # (em maiúsculas) antes de uma gravada em minúsculas.
                palavras = _TOKEN.findall(dobrar(rec["razao_social"] if qual == "razao" else rec["nome_fantasia"]))
                nota = (palavras != todos, not set(todos) <= set(palavras), abs(len(palavras) - len(todos)),
                        rec["descricao_situacao_cadastral"] != "ATIVA", bool(uf_f) and rec["uf"] != uf_f,
                        len(achados))
                achados.append((nota, rec))
                if len(achados) >= juntar:
                    break
        if len(achados) >= juntar or len(candidatos) < 2 * n or n >= _MAX_CANDIDATOS:
            achados.sort(key=lambda x: x[0])
            return [rec for _nota, rec in achados[:limite]]
        n *= 4
        achados, vistos = [], set()
