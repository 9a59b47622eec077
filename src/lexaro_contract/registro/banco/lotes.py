"""A busca por nome no PostgreSQL lê o que precisa em poucas idas ao servidor.

Os candidatos (razão social e nome fantasia que têm todas as palavras) e os
dados do primeiro lote deles (de cada empresa, o bloco da empresa e os blocos
dos seus estabelecimentos; de cada nome fantasia, o bloco do estabelecimento e
o da empresa) vêm numa consulta só; cada lote seguinte, se a busca precisar,
em mais uma. Ir e voltar ao servidor custa mais do que a busca no índice:
antes, três idas por candidato faziam quase todo o tempo de uma busca.

Cada linha das consultas é (tipo, chave, ordem, dados):

- tipo 4 e 5: um candidato pela razão social (4) ou pelo nome fantasia (5);
  `ordem` é o número de palavras do nome;
- tipo 1: um bloco de uma empresa achada pela razão social: o da empresa
  (`ordem` -1), o do estabelecimento que começa a faixa da empresa (0) e os
  que começam dentro dela (`ordem` é a chave do bloco);
- tipo 2: de um estabelecimento achado pelo nome fantasia, o seu bloco (0) e o
  da empresa (-1);
- tipo 3: a importação de que o esquema é (um esquema trocado no meio não
  mistura blocos novos com os códigos e dicionários do objeto aberto).
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

from ..fonte import Ficha
from .esquema import SEP_REGISTRO, descomprimir

_B36 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"

Candidato = Tuple[int, str, int]                      # (palavras, "razao"/"fantasia", chave)
Empresas = Dict[int, Tuple[List[List[str]], bytes]]   # chave -> (campos dos estabelecimentos, bloco da empresa)
Fichas = Dict[int, Optional[Ficha]]                   # chave do estabelecimento -> ficha


def basico_da_chave(chave: int) -> str:
    if chave < 100_000_000:
        return f"{chave:08d}"
    v = chave - 100_000_000
    s = []
    for _ in range(8):
        v, r = divmod(v, 36)
        s.append(_B36[r])
    return "".join(reversed(s))


def achar_todos(bloco: bytes, prefixo: bytes) -> List[str]:
    saida = []
    i = bloco.find(prefixo)
    while i >= 0:
        j = bloco.find(SEP_REGISTRO, i + 1)
        fim = j if j >= 0 else len(bloco)
        saida.append(bloco[i + 1:fim].decode("latin-1"))
        i = bloco.find(prefixo, fim)
    return saida


def campos_dos_blocos(chave_basico: int, blocos: List[bytes], maximo: int) -> List[List[str]]:
    """Os campos dos estabelecimentos da empresa nos `blocos` (até `maximo`)."""
    prefixo = b"\x1e" + basico_da_chave(chave_basico).encode() + b"\x1f"
    saida: List[List[str]] = []
    for bloco in blocos:
        for texto in achar_todos(b"\x1e" + bloco, prefixo):
            saida.append(texto.split("\x1f"))
            if len(saida) >= maximo:
                return saida
    return saida


def _sql_dados(s: str, razoes: str, fantasias: str, maximo: int) -> str:
    """As linhas de tipo 1, 2 e 3; `razoes` e `fantasias` dão as chaves (c.k)."""
    blocos_na_faixa = 1 + maximo // 4
    return (
        f"SELECT 1, c.k, -1::bigint, (SELECT dados FROM {s}.empresa WHERE chave <= c.k ORDER BY chave DESC LIMIT 1) "
        f"FROM {razoes} "
        f"UNION ALL SELECT 1, c.k, 0, (SELECT dados FROM {s}.estabelecimento WHERE chave <= c.k * 1000000 "
        f"ORDER BY chave DESC LIMIT 1) FROM {razoes} "
        f"UNION ALL SELECT 1, c.k, e.chave, e.dados FROM {razoes} CROSS JOIN LATERAL "
        f"(SELECT chave, dados FROM {s}.estabelecimento WHERE chave > c.k * 1000000 "
        f"AND chave <= c.k * 1000000 + 999999 ORDER BY chave LIMIT {blocos_na_faixa}) e "
        f"UNION ALL SELECT 2, c.k, 0, (SELECT dados FROM {s}.estabelecimento WHERE chave <= c.k "
        f"ORDER BY chave DESC LIMIT 1) FROM {fantasias} "
        f"UNION ALL SELECT 2, c.k, -1, (SELECT dados FROM {s}.empresa WHERE chave <= c.k / 1000000 "
        f"ORDER BY chave DESC LIMIT 1) FROM {fantasias} "
        f"UNION ALL SELECT 3, NULL, NULL, convert_to(valor, 'UTF8') FROM {s}.meta WHERE chave = 'id_importacao'")


def sql_candidatos(s: str, maximo: int) -> str:
    """Parâmetros: a consulta de texto e o limite, para cada tabela de nomes; o tamanho do primeiro lote."""
    return (
        f"WITH c0 AS ((SELECT palavras, 'razao' AS qual, chave FROM {s}.nome_razao "
        f"WHERE to_tsvector('simple', nome) @@ to_tsquery('simple', %s) ORDER BY palavras, chave LIMIT %s) "
        f"UNION ALL (SELECT palavras, 'fantasia', chave FROM {s}.nome_fantasia "
        f"WHERE to_tsvector('simple', nome) @@ to_tsquery('simple', %s) ORDER BY palavras, chave LIMIT %s)), "
        f"p AS (SELECT chave, qual FROM c0 ORDER BY palavras, qual, chave LIMIT %s) "
        f"SELECT CASE WHEN qual = 'razao' THEN 4 ELSE 5 END, chave, palavras::bigint, NULL::bytea FROM c0 "
        f"UNION ALL " + _sql_dados(s, "(SELECT chave AS k FROM p WHERE qual = 'razao') c",
                                   "(SELECT chave AS k FROM p WHERE qual = 'fantasia') c", maximo))


def sql_lote(s: str, maximo: int) -> str:
    """Parâmetros: as chaves das empresas (três vezes) e as dos estabelecimentos (duas)."""
    return _sql_dados(s, "unnest(%s::bigint[]) c(k)", "unnest(%s::bigint[]) c(k)", maximo)


def montar(reg: Any, linhas: List[Tuple[Any, ...]], maximo: int) -> Tuple[List[Candidato], Empresas, Fichas]:
    """Os candidatos, as empresas e as fichas nas `linhas` de uma das consultas acima."""
    candidatos: List[Candidato] = []
    empresa: Dict[int, bytes] = {}
    blocos: Dict[int, List[Tuple[int, bytes]]] = {}
    pares: Dict[int, List[Any]] = {}
    id_importacao = None
    for tipo, k, ordem, dados in linhas:
        if tipo == 4 or tipo == 5:
            candidatos.append((int(ordem), "razao" if tipo == 4 else "fantasia", int(k)))
        elif tipo == 3:
            id_importacao = bytes(dados).decode("utf-8")
        elif tipo == 1:
            lista = blocos.setdefault(k, [])
            if dados is not None:
                lista.append((ordem, bytes(dados)))
        else:
            pares.setdefault(k, [None, None])[0 if ordem == 0 else 1] = dados
    # The rows come in no set order: nothing is decompressed before the import
    # they belong to is known to be the one whose dictionaries this side holds.
    if blocos or pares:
        reg._conferir_importacao(id_importacao)
    for k, comprimidos in blocos.items():
        blocos[k] = []
        for ordem, dados in comprimidos:
            if ordem == -1:
                empresa[k] = descomprimir(dados, reg._dic["empresa"])
            else:
                blocos[k].append((ordem, descomprimir(dados, reg._dic["estabelecimento"])))
    candidatos.sort()
    empresas: Empresas = {}
    for k, lista in blocos.items():
        lista.sort(key=lambda x: x[0])
        empresas[k] = (campos_dos_blocos(k, [b for _o, b in lista], maximo), empresa.get(k, b""))
    fichas: Fichas = {}
    for k, (dados, dados_empresa) in pares.items():
        fichas[k] = None
        if dados is not None:
            bloco = descomprimir(bytes(dados), reg._dic["estabelecimento"])
            c: Optional[str] = reg._cnpj_da_chave(k, bloco)
            if c is not None:
                fichas[k] = reg._ficha_de(c, bloco, dados_empresa)
    return candidatos, empresas, fichas
