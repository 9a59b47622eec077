"""A ordenação de uma tabela da importação e o seu empacotamento em blocos.

Os arquivos reais não vêm em ordem de CNPJ, e uma tabela não cabe na
memória. O trabalho é do núcleo nativo (`_dados_abertos.ordenador`): os
registros se juntam em memória até `MAX_MEMORIA` bytes, saem ordenados pela
chave (corridas) para um arquivo temporário já apagado (comprimidas se o
disco não tem folga), numa thread dele, enquanto a leitura continua; no fim as
corridas se intercalam (para a mesma chave, a ordem de chegada fica) e viram
os blocos que o banco guarda (o desenho está em `banco.esquema`), comprimidos
com o dicionário da tabela, noutra thread, à frente de quem os grava. Tudo
isso sem o GIL: a thread principal fica livre para gravar no banco.
"""

from __future__ import annotations

import shutil
import tempfile
from typing import Any, Dict, List, Optional, Tuple

from ... import _dados_abertos

# Memória dos dois buffers de registros de uma tabela juntos (um enche
# enquanto o outro é ordenado e despejado); os nomes da tabela têm um quarto
# disso. Com a tabela anterior ainda saindo em blocos ao lado da seguinte, a
# importação cabe com folga em 1 GB.
MAX_MEMORIA = 128 << 20

ALVO_BLOCO = 2048          # bytes de texto por bloco antes de comprimir
MAX_REGISTROS_GRUPO = 2048  # um grupo maior que isso pode ser partido
NIVEL_ZLIB = 3

# Tamanho do grupo na chave: estabelecimentos agrupam por empresa (chave // 10^6).
DIVISOR_GRUPO = {"empresa": 1, "estabelecimento": 1_000_000}

Separado = Tuple[int, Dict[str, int], Dict[int, Dict[bytes, int]], List[Tuple[int, str, int]]]


def comprimir_corridas(bytes_csv: int) -> bool:
    """Se as corridas vão comprimidas: só quando o disco temporário não tem
    folga para elas como estão: as corridas das duas tabelas juntas ocupam
    perto do tamanho do CSV do mês, e a folga pedida é uma vez e meia isso.
    Comprimi-las custa perto de um terço a mais de CPU na importação."""
    livre = shutil.disk_usage(tempfile.gettempdir()).free
    return livre < bytes_csv * 3 // 2


class FilaOrdenada:
    """Os registros de uma tabela: entram em qualquer ordem, saem em blocos
    ordenados. Com `nomes` ("razao" ou "fantasia"), a fila é a dos nomes da
    tabela para o índice de nomes, que saem um a um, em ordem de chave."""

    def __init__(self, tabela: str, nomes: Optional[str] = None, pasta: Optional[str] = None,
                 comprimir: bool = True) -> None:
        self.tabela = tabela
        self.nomes = nomes
        memoria = MAX_MEMORIA // 4 if nomes else MAX_MEMORIA
        self._o: Any = _dados_abertos.ordenador(pasta or tempfile.gettempdir(), memoria, comprimir)
        self._iniciada = False
        self._fim = False

    def separar(self, dados: bytes, tipos: str, final: bool, nome: Optional[int], marca: bytes,
                nomes: "Optional[FilaOrdenada]" = None) -> Separado:
        """Separa as linhas completas de `dados` e guarda os registros (com a
        `marca` à frente) e, em `nomes`, os nomes do campo `nome`."""
        return _dados_abertos.separar_em(self._o, dados, tipos, final, nome, marca,
                                         None if nomes is None else nomes._o)

    def iniciar_blocos(self) -> None:
        """Fim da entrada: a intercalação e a compressão começam, noutra thread."""
        if self.nomes:
            _dados_abertos.blocos_iniciar(self._o, 1, 0, 0, -1)
        else:
            _dados_abertos.blocos_iniciar(self._o, DIVISOR_GRUPO[self.tabela], ALVO_BLOCO, MAX_REGISTROS_GRUPO,
                                          NIVEL_ZLIB)
        self._iniciada = True

    def blocos(self, esperar: bool = True) -> Optional[List[Tuple[int, bytes]]]:
        """O próximo lote de blocos (chave, dados); [] uma vez, no fim; None se
        `esperar` é falso e nenhum lote está pronto, e depois do fim."""
        if not self._iniciada or self._fim:
            return None
        lote = _dados_abertos.blocos(self._o, esperar)
        if lote == []:
            self._fim = True
        return lote

    @property
    def terminada(self) -> bool:
        return self._fim

    def dicionario(self) -> bytes:
        return _dados_abertos.dicionario_da_tabela(self._o)

    def fechar(self) -> None:
        _dados_abertos.ordenador_fechar(self._o)
