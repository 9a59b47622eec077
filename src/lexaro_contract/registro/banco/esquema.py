"""O desenho do banco do registro, comum ao SQLite e ao PostgreSQL.

Duas tabelas de blocos: `estabelecimento` e `empresa` (esta com as linhas de
Empresas, Socios e Simples da mesma empresa lado a lado, cada uma com a marca
da sua família, E, S ou I). Os registros empacotados (campos limpos unidos por
0x1F), em ordem de CNPJ, são juntados em blocos de uns 2 KB separados por 0x1E
e comprimidos (deflate com um dicionário da própria tabela). A chave de cada
bloco é a chave do seu primeiro registro, e um grupo (a empresa) nunca se
parte entre dois blocos, salvo se enorme; um CNPJ se acha no único bloco de
maior chave <= a sua. Assim o índice tem uma entrada por bloco, não uma por
linha, o texto comprimido em blocos de CNPJs vizinhos ocupa uma fração do CSV,
e uma consulta lê dois blocos. O registro no formato da BrasilAPI é montado na
consulta, com as descrições das tabelas de códigos, que ficam à parte.

Os nomes (razão social por empresa, nome fantasia por estabelecimento) vão
para um índice de texto completo: FTS5 no SQLite, tsvector + GIN no
PostgreSQL.

As tabelas são criadas na importação (`dados_abertos.destinos`); aqui fica o
que quem grava e quem lê o banco têm de concordar.
"""

from __future__ import annotations

import zlib

from ... import _dados_abertos

# A versão deste desenho, gravada na tabela `meta` de cada banco.
VERSAO_FORMATO = "1"

SEP_CAMPO = b"\x1f"
SEP_REGISTRO = b"\x1e"

# Na tabela `empresa`, cada registro começa pela marca da sua família.
MARCA_EMPRESA, MARCA_SOCIO, MARCA_SIMPLES = b"E", b"S", b"I"

# A chave de um estabelecimento no banco: um inteiro, do CNPJ de 14 caracteres
# sem pontuação (a chave de texto das fontes, `fonte.chave_texto`), ou -1 se o
# CNPJ não tem essa forma; a empresa tem a chave do estabelecimento // 10^6.
# As tabelas se ordenam por ela.
chave_armazenada = _dados_abertos.chave_cnpj

# Dobra de acentos do Latin-1 para o índice de nomes do PostgreSQL.
_DOBRA = str.maketrans("ÀÁÂÃÄÅÇÈÉÊËÌÍÎÏÑÒÓÔÕÖÙÚÛÜÝàáâãäåçèéêëìíîïñòóôõöùúûüýÿ",
                       "AAAAAACEEEEIIIINOOOOOUUUUYaaaaaaceeeeiiiinooooouuuuyy")


def dobrar(texto: str) -> str:
    return texto.translate(_DOBRA).upper()


# O índice de nomes do SQLite guarda a chave e as palavras do nome num inteiro
# só (chave * 64 + palavras, até 63): entre os nomes que contêm todas as
# palavras buscadas, o de menos palavras a mais é o melhor resultado, e assim
# ele se ordena sem guardar o tamanho de cada documento. As chaves grandes
# demais para isso (só as de CNPJ alfanumérico de estabelecimento) ficam
# negativas e vêm por último.
MAX_PALAVRAS = 63


def descompressor(zdict: bytes) -> "zlib._Decompress":
    """O descompressor-base da tabela (deflate cru com o dicionário); use cópias."""
    if zdict:
        return zlib.decompressobj(-15, zdict)
    return zlib.decompressobj(-15)


def descomprimir(dados: bytes, base: "zlib._Decompress") -> bytes:
    d = base.copy()
    return d.decompress(dados) + d.flush()
