"""A ordenação externa dos registros que chegam fora de ordem de CNPJ.

Os arquivos reais não vêm em ordem. Os registros se juntam em memória até
`MAX_MEMORIA` bytes, saem ordenados pela chave (uma "corrida") para um arquivo
temporário, em lotes comprimidos (zlib solta o GIL: a compressão corre noutra
thread, ao lado da leitura), e no fim as corridas se intercalam num fluxo
ordenado. Para a mesma chave, a ordem de chegada fica (a ordenação e a
intercalação são estáveis). A memória fica limitada seja qual for o mês.
"""

from __future__ import annotations

import heapq
import marshal
import os
import tempfile
import zlib
from concurrent.futures import Executor, Future
from operator import itemgetter
from typing import IO, Iterator, List, Optional, Tuple

MAX_MEMORIA = 192 << 20
LOTE = 20_000            # registros por lote que sai
LOTE_GRAVADO = 4_096     # registros por lote gravado (na intercalação, um por corrida fica em memória)
_SOBRA_POR_REGISTRO = 90   # o que uma tupla (int, bytes) custa além dos bytes

Registro = Tuple[int, bytes]


def _comprimir(lote: List[Registro]) -> bytes:
    return zlib.compress(marshal.dumps(lote), 1)


class FilaOrdenada:
    def __init__(self, executor: Optional[Executor] = None, pasta: Optional[str] = None,
                 max_memoria: Optional[int] = None) -> None:
        self._executor = executor
        self._pasta = pasta
        self._max = max_memoria if max_memoria is not None else MAX_MEMORIA
        self._memoria: List[Registro] = []
        self._bytes = 0
        self._arquivo: Optional[IO[bytes]] = None
        self._corridas: List[List[Tuple[int, int]]] = []   # (posição, tamanho) de cada lote
        self._pendentes: List[Tuple[int, "Future[bytes]"]] = []

    def enfileirar(self, linhas: List[Registro]) -> None:
        self._memoria.extend(linhas)
        self._bytes += sum(len(v) for _k, v in linhas) + _SOBRA_POR_REGISTRO * len(linhas)
        if self._bytes >= self._max:
            self._despejar()

    def _despejar(self) -> None:
        if not self._memoria:
            return
        if self._arquivo is None:
            self._arquivo = tempfile.TemporaryFile(dir=self._pasta, prefix="fila-")
        self._memoria.sort(key=itemgetter(0))
        corrida: List[Tuple[int, int]] = []
        self._corridas.append(corrida)
        memoria, self._memoria, self._bytes = self._memoria, [], 0
        for i in range(0, len(memoria), LOTE_GRAVADO):
            lote = memoria[i:i + LOTE_GRAVADO]
            if self._executor is not None:
                self._pendentes.append((len(self._corridas) - 1, self._executor.submit(_comprimir, lote)))
            else:
                self._gravar(len(self._corridas) - 1, _comprimir(lote))
            if len(self._pendentes) > 4:
                self._escoar(2)
        del memoria

    def _escoar(self, manter: int = 0) -> None:
        while len(self._pendentes) > manter:
            corrida, fut = self._pendentes.pop(0)
            self._gravar(corrida, fut.result())

    def _gravar(self, corrida: int, dados: bytes) -> None:
        assert self._arquivo is not None
        pos = self._arquivo.seek(0, os.SEEK_END)
        self._arquivo.write(dados)
        self._corridas[corrida].append((pos, len(dados)))

    def _ler(self, lotes: List[Tuple[int, int]]) -> Iterator[Registro]:
        assert self._arquivo is not None
        for pos, tamanho in lotes:
            self._arquivo.seek(pos)
            dados = self._arquivo.read(tamanho)
            yield from marshal.loads(zlib.decompress(dados))

    def ordenados(self) -> Iterator[List[Registro]]:
        """Tudo o que entrou, em lotes ordenados pela chave."""
        if not self._corridas:
            self._memoria.sort(key=itemgetter(0))
            for i in range(0, len(self._memoria), LOTE):
                yield self._memoria[i:i + LOTE]
            return
        self._despejar()
        self._escoar()
        lote: List[Registro] = []
        for r in heapq.merge(*(self._ler(c) for c in self._corridas), key=itemgetter(0)):
            lote.append(r)
            if len(lote) >= LOTE:
                yield lote
                lote = []
        if lote:
            yield lote

    def fechar(self) -> None:
        for _c, fut in self._pendentes:
            fut.cancel()
        self._pendentes = []
        self._memoria = []
        self._corridas = []
        if self._arquivo is not None:
            self._arquivo.close()
            self._arquivo = None
