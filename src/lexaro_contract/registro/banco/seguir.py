"""Um registro que segue o seu destino: quando uma importação nova troca o
banco (o arquivo SQLite por outro, o esquema do PostgreSQL por outro), as
perguntas seguintes vão para o novo.

Cada thread do servidor tem o seu `RegistroQueSegue`. Ele confere o destino a
cada `INTERVALO` segundos, entre duas perguntas: a pergunta em andamento
termina no banco em que começou, e cada resposta vem inteira de um banco só.
No PostgreSQL, em que a troca de esquema é vista já pelo comando seguinte, a
consulta por CNPJ e a busca conferem na mesma ida ao banco se a importação
ainda é a mesma (e, se não é, reabrem e perguntam de novo).
"""

from __future__ import annotations

import time
from typing import Any, Callable, Dict, List, Optional, TypeVar

from ..fonte import Ficha
from .conexao import BancoTrocado
from .consultas import Registro

T = TypeVar("T")
INTERVALO = 2.0


class RegistroQueSegue:
    def __init__(self, destino: str, intervalo: float = INTERVALO) -> None:
        self.destino = destino
        self.intervalo = intervalo
        self._reg = Registro(destino)
        self._conferido = time.monotonic()

    @property
    def parcial(self) -> bool:
        return self._reg.parcial

    def _reabrir(self) -> None:
        novo = Registro(self.destino)
        velho, self._reg = self._reg, novo
        velho.close()

    def _em_dia(self) -> Registro:
        if time.monotonic() - self._conferido >= self.intervalo:
            self._conferido = time.monotonic()
            try:
                if self._reg.mudou():
                    self._reabrir()
            except BancoTrocado:
                self._reabrir()
        return self._reg

    def _perguntar(self, pergunta: Callable[[Registro], T]) -> T:
        try:
            return pergunta(self._em_dia())
        except BancoTrocado:
            self._reabrir()
            return pergunta(self._reg)

    def consultar(self, cnpj: str) -> Optional[Ficha]:
        return self._perguntar(lambda r: r.consultar(cnpj))

    def buscar(self, nome: str, uf: Optional[str] = None, situacao: Optional[str] = None,
               limite: int = 20) -> List[Ficha]:
        return self._perguntar(lambda r: r.buscar(nome, uf, situacao, limite))

    def info(self) -> Dict[str, Any]:
        return self._perguntar(lambda r: r.info())

    def close(self) -> None:
        self._reg.close()
