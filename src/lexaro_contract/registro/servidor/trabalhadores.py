"""Um conjunto fixo de threads para o trabalho que bloqueia (banco, encaminhamento)."""

from __future__ import annotations

import asyncio
import queue
import threading
import time
from typing import Any, Callable, Generic, Optional, Tuple, TypeVar

T = TypeVar("T")
F = TypeVar("F")


class Trabalhadores(Generic[F]):
    """Um conjunto fixo de threads para o trabalho que bloqueia.

    Cada thread pode abrir o seu próprio recurso (uma conexão ao banco, por
    exemplo) com `abrir` e o fecha ao terminar, na mesma thread: conexões de
    banco que não podem mudar de thread ficam corretas. A fila não cresce sem
    limite porque cada conexão HTTP tem no máximo um pedido em andamento.
    """

    def __init__(self, n: int, abrir: Callable[[], F], nome: str = "registro") -> None:
        self._fila: "queue.SimpleQueue[Optional[Tuple[asyncio.AbstractEventLoop, asyncio.Future[Any], Callable[[F], Any]]]]" = queue.SimpleQueue()  # noqa: E501
        self._abrir = abrir
        self._threads = [threading.Thread(target=self._rodar, name=f"{nome}-{i}", daemon=True) for i in range(n)]
        for t in self._threads:
            t.start()

    def executar(self, laco: asyncio.AbstractEventLoop, tarefa: Callable[[F], T]) -> "asyncio.Future[T]":
        fut: "asyncio.Future[T]" = laco.create_future()
        self._fila.put((laco, fut, tarefa))
        return fut

    @staticmethod
    def _entregar(fut: "asyncio.Future[Any]", resultado: Any, erro: Optional[BaseException]) -> None:
        if fut.done():
            return
        if erro is not None:
            fut.set_exception(erro)
        else:
            fut.set_result(resultado)

    def _rodar(self) -> None:
        recurso: Optional[F] = None
        erro_ao_abrir: Optional[BaseException] = None
        try:
            recurso = self._abrir()
        except Exception as e:  # noqa: BLE001 - cada pedido recebe o erro
            erro_ao_abrir = e
        try:
            while True:
                item = self._fila.get()
                if item is None:
                    break
                laco, fut, tarefa = item
                if fut.done():
                    continue
                resultado: Any = None
                erro: Optional[BaseException] = erro_ao_abrir
                if erro is None:
                    try:
                        resultado = tarefa(recurso)  # type: ignore[arg-type]
                    except Exception as e:  # noqa: BLE001 - vai para quem pediu
                        erro = e
                try:
                    laco.call_soon_threadsafe(self._entregar, fut, resultado, erro)
                except RuntimeError:
                    pass  # o laço já fechou: ninguém espera mais
        finally:
            fechar = getattr(recurso, "close", None)
            if callable(fechar):
                try:
                    fechar()
                except Exception:  # noqa: BLE001 - fechar no fim não deve derrubar nada
                    pass

    def parar(self, espera: float = 5.0) -> None:
        """Pede o fim a todas e espera até `espera` segundos no total (são daemon:
        uma presa num pedido lento não segura a saída do processo)."""
        for _ in self._threads:
            self._fila.put(None)
        limite = time.monotonic() + espera
        for t in self._threads:
            t.join(max(0.0, limite - time.monotonic()))
