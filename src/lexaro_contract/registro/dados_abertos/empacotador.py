"""O empacotamento dos registros de uma tabela em blocos comprimidos, na
importação: os blocos de uns 2 KB, o dicionário da tabela e a compressão em
threads ao lado da leitura. O desenho dos blocos está em `banco.esquema`.
"""

from __future__ import annotations

import zlib
from collections import deque
from concurrent.futures import Executor, Future
from operator import itemgetter
from typing import Callable, List, Optional, Tuple

from ..banco.esquema import SEP_REGISTRO

ALVO_BLOCO = 2048          # bytes de texto por bloco antes de comprimir
MAX_REGISTROS_GRUPO = 2048  # um grupo maior que isso pode ser partido
BLOCOS_POR_TAREFA = 64      # blocos por tarefa de compressão
NIVEL_ZLIB = 3

# Tamanho do grupo na chave: estabelecimentos agrupam por empresa (chave // 10^6).
DIVISOR_GRUPO = {"empresa": 1, "estabelecimento": 1_000_000}


TAMANHO_DICIONARIO = 16384


def dicionario(amostra: List[bytes]) -> bytes:
    """Um dicionário zlib para a tabela: registros espalhados pela amostra.

    Blocos de 2 KB comprimem mal sozinhos; com um dicionário dos termos que se
    repetem em toda a tabela (logradouros, bairros, atividades, domínios) o
    zlib no nível 3 comprime mais que no nível 6 sem ele, e mais rápido.
    """
    if not amostra:
        return b""
    passo = max(1, len(amostra) // 400)
    partes = amostra[::passo]
    return (SEP_REGISTRO + SEP_REGISTRO.join(partes))[-TAMANHO_DICIONARIO:]


def compressor(zdict: bytes) -> "zlib._Compress":
    """O compressor-base da tabela; cada bloco parte de uma cópia dele.

    Deflate cru (sem cabeçalho nem soma de verificação, que o banco não
    precisa), nível 3, com o dicionário já carregado: copiar o estado sai mais
    barato que recarregar o dicionário a cada bloco.
    """
    if zdict:
        return zlib.compressobj(NIVEL_ZLIB, zlib.DEFLATED, -15, 8, zlib.Z_DEFAULT_STRATEGY, zdict)
    return zlib.compressobj(NIVEL_ZLIB, zlib.DEFLATED, -15, 8, zlib.Z_DEFAULT_STRATEGY)


def comprimir(registros: List[bytes], base: "zlib._Compress") -> bytes:
    c = base.copy()
    return c.compress(SEP_REGISTRO + SEP_REGISTRO.join(registros)) + c.flush()


def comprimir_lote(blocos: List[Tuple[int, List[bytes]]], base: "zlib._Compress") -> List[Tuple[int, bytes]]:
    return [(chave, comprimir(registros, base)) for chave, registros in blocos]


_valor = itemgetter(1)


class Empacotador:
    """Junta registros em ordem de chave em blocos e os entrega a `gravar`.

    A compressão corre em threads (o zlib solta o GIL), ao lado da leitura e
    das gravações; os blocos saem na ordem em que foram fechados. Se uma chave
    chega menor que a anterior (arquivos fora de ordem), `adicionar` devolve
    onde, e o chamador passa a usar a ordenação externa.
    """

    def __init__(self, divisor: int, gravar: Callable[[List[Tuple[int, bytes]]], None],
                 executor: Executor, zdict: Optional[bytes] = None) -> None:
        self.divisor = divisor
        self.gravar = gravar
        self.executor = executor
        self.zdict = zdict
        self.ultima = -1
        self._primeira = -1
        self._registros: List[bytes] = []
        self._tamanho = 0
        self._base: "Optional[zlib._Compress]" = None
        self._fechados: List[Tuple[int, List[bytes]]] = []
        self._pendentes: "deque[Future[List[Tuple[int, bytes]]]]" = deque()
        self.blocos = 0

    def adicionar(self, regs: List[Tuple[int, bytes]]) -> Optional[int]:
        """Adiciona em ordem; devolve o índice do primeiro registro fora de ordem, ou None."""
        from ... import _dados_abertos

        if not regs:
            return None
        if self.zdict is None:
            self.zdict = dicionario([v for _k, v in regs[:20000]])
        if self._base is None:
            self._base = compressor(self.zdict)
        cortes, fora, self.ultima, tamanho, _n = _dados_abertos.cortes(
            regs, self.divisor, ALVO_BLOCO, MAX_REGISTROS_GRUPO, self.ultima, self._tamanho, len(self._registros))
        pos = 0
        for fim in cortes + [fora]:
            if fim > pos:
                if not self._registros:
                    self._primeira = regs[pos][0]
                self._registros.extend(map(_valor, regs[pos:fim]))
            if fim != fora:
                self._fechar()
            pos = fim
        self._tamanho = tamanho
        if len(self._pendentes) >= 8:
            self.descarregar(4)
        return fora if fora < len(regs) else None

    def _fechar(self) -> None:
        if self._registros:
            self._fechados.append((self._primeira, self._registros))
            self.blocos += 1
            if len(self._fechados) >= BLOCOS_POR_TAREFA:
                self._enviar()
        self._registros = []
        self._tamanho = 0

    def _enviar(self) -> None:
        # Uma tarefa por lote de blocos, não por bloco: com blocos de 2 KB, o
        # custo de cada tarefa (futuro, fila, acordar a thread, o GIL de ida e
        # volta) passaria o da própria compressão.
        if self._fechados:
            assert self._base is not None
            self._pendentes.append(self.executor.submit(comprimir_lote, self._fechados, self._base))
            self._fechados = []

    def descarregar(self, manter: int = 0) -> None:
        prontos: List[Tuple[int, bytes]] = []
        while len(self._pendentes) > manter:
            prontos.extend(self._pendentes.popleft().result())
        if prontos:
            self.gravar(prontos)

    def terminar(self) -> None:
        self._fechar()
        self._enviar()
        self.descarregar()
