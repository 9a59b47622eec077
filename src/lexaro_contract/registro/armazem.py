"""O desenho do banco do registro, comum ao SQLite e ao PostgreSQL.

Cada família (Empresas, Estabelecimentos, Socios, Simples) vira uma tabela de
blocos: os registros empacotados (campos limpos unidos por 0x1F), em ordem de
CNPJ, juntados em blocos de uns 4 KB separados por 0x1E e comprimidos com
zlib. A chave de cada bloco é a chave do seu primeiro registro, e um grupo (a
empresa, nos estabelecimentos e sócios) nunca se parte entre dois blocos; um
CNPJ se acha no único bloco de maior chave <= a sua. Assim o índice é um por
bloco, não um por linha, e o texto comprimido em blocos de CNPJs vizinhos
ocupa uma fração do CSV. O registro no formato da BrasilAPI é montado na
consulta, com as descrições das tabelas de códigos, que ficam à parte.

Os nomes (razão social por empresa, nome fantasia por estabelecimento) vão
para um índice de texto completo: FTS5 no SQLite, tsvector + GIN no
PostgreSQL.
"""

from __future__ import annotations

import zlib
from typing import Callable, Iterable, Iterator, List, Optional, Tuple

SEP_CAMPO = b"\x1f"
SEP_REGISTRO = b"\x1e"
ALVO_BLOCO = 4096          # bytes de texto por bloco antes de comprimir
MAX_REGISTROS_GRUPO = 2048  # um grupo maior que isso pode ser partido
NIVEL_ZLIB = 6

FAMILIAS_TABELA = {"Empresas": "empresa", "Estabelecimentos": "estabelecimento", "Socios": "socio",
                   "Simples": "simples"}
# Tamanho do grupo na chave: estabelecimentos agrupam por empresa (chave // 10^6).
DIVISOR_GRUPO = {"empresa": 1, "estabelecimento": 1_000_000, "socio": 1, "simples": 1}


def comprimir(registros: List[bytes]) -> bytes:
    return zlib.compress(SEP_REGISTRO + SEP_REGISTRO.join(registros), NIVEL_ZLIB)


def descomprimir(dados: bytes) -> bytes:
    return zlib.decompress(dados)


class Empacotador:
    """Junta registros em ordem de chave em blocos e os entrega a `gravar`.

    Se uma chave chega menor que a anterior (arquivos fora de ordem), avisa
    por `fora_de_ordem` e o chamador passa a usar a ordenação externa.
    """

    def __init__(self, divisor: int, gravar: Callable[[List[Tuple[int, bytes]]], None]) -> None:
        self.divisor = divisor
        self.gravar = gravar
        self.ultima = -1
        self._primeira = -1
        self._registros: List[bytes] = []
        self._tamanho = 0
        self._prontos: List[Tuple[int, bytes]] = []
        self.blocos = 0

    def adicionar(self, regs: Iterable[Tuple[int, bytes]]) -> Optional[int]:
        """Adiciona em ordem; devolve o índice do primeiro registro fora de ordem, ou None."""
        div = self.divisor
        ultima = self.ultima
        registros = self._registros
        for i, (chave, valor) in enumerate(regs):
            if chave < ultima:
                self.ultima = ultima
                return i
            # Corta só entre grupos; um grupo enorme se parte, mas nunca entre
            # registros de mesma chave (a chave do bloco tem de ser única).
            if self._tamanho >= ALVO_BLOCO and (chave // div != ultima // div
                                                 or (len(registros) >= MAX_REGISTROS_GRUPO and chave != ultima)):
                self._fechar()
                registros = self._registros
            if not registros:
                self._primeira = chave
            registros.append(valor)
            self._tamanho += len(valor) + 1
            ultima = chave
        self.ultima = ultima
        if len(self._prontos) >= 256:
            self.descarregar()
        return None

    def _fechar(self) -> None:
        if self._registros:
            self._prontos.append((self._primeira, comprimir(self._registros)))
            self.blocos += 1
        self._registros = []
        self._tamanho = 0

    def descarregar(self) -> None:
        if self._prontos:
            self.gravar(self._prontos)
            self._prontos = []

    def terminar(self) -> None:
        self._fechar()
        self.descarregar()


def registros_do_bloco(dados: bytes) -> Iterator[bytes]:
    texto = descomprimir(dados)
    for r in texto.split(SEP_REGISTRO):
        if r:
            yield r
