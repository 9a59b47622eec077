"""A fila do painel: um fio que toma do acervo os contratos na fila e os
entrega ao lote (`lote.verificar_lote`, a única verificação), guardando cada
registro que volta. A fila mora no acervo: um servidor que reinicia põe de
volta na fila o que ficou em verificação e segue."""

from __future__ import annotations

import concurrent.futures as cf
import logging
import multiprocessing
import os
import threading
from typing import Any, Callable, Dict, Optional

from .. import lote
from ..acervo import Acervo
from ..lote_executores import _iniciar_trabalhador, matar_processos

log = logging.getLogger("lexaro_contract.painel")


class _PoolDuradouro(cf.ProcessPoolExecutor):
    """Os processos do motor local, vivos de uma rodada da fila à outra (um
    intérprete novo por rodada custaria mais que a verificação): o fim de um
    lote não os encerra, a não ser que o pool tenha quebrado; `fechar` sim."""

    def __init__(self, n: int) -> None:
        super().__init__(max_workers=n, mp_context=multiprocessing.get_context("spawn"),
                         initializer=_iniciar_trabalhador, initargs=(os.getpid(),))
        self.fechado = False

    @property
    def quebrado(self) -> bool:
        return bool(getattr(self, "_broken", False))

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        if self.fechado or self.quebrado:
            super().shutdown(wait=wait, cancel_futures=cancel_futures)

    def fechar(self) -> None:
        self.fechado = True
        matar_processos(self)
        super().shutdown(wait=False, cancel_futures=True)


class Fila:
    """`executor`: o que o lote recebe (uma fábrica de executores, um
    cliente do Dask); sem ele, processos no motor local e fios nos hospedados."""

    def __init__(self, acervo: Acervo, provider: str = "local", model: Optional[str] = None, jobs: int = 2,
                 executor: Any = None, raizes: Optional[str] = None) -> None:
        self.acervo, self.provider, self.model, self.jobs = acervo, provider, model, max(1, jobs)
        self.raizes = raizes
        self._executor = executor
        self._aviso, self._parar = threading.Event(), threading.Event()
        self._fio: Optional[threading.Thread] = None
        self._pool: Optional[_PoolDuradouro] = None

    def _pool_vivo(self) -> cf.Executor:
        if self._pool is None or self._pool.quebrado or self._pool.fechado:
            self._pool = _PoolDuradouro(self.jobs)
        return self._pool

    def _novo_executor(self) -> Any:
        if self._executor is not None:
            return self._executor
        if self.provider == "local":
            return self._pool_vivo
        jobs = self.jobs
        fabrica: Callable[[], Any] = lambda: lote.ExecutorDeFios(jobs)  # noqa: E731
        return fabrica

    def iniciar(self) -> None:
        retomados = self.acervo.retomar_fila()
        if retomados:
            log.info("%d contrato(s) em verificação voltaram à fila", retomados)
        self._fio = threading.Thread(target=self._rodar, name="painel-fila", daemon=True)
        self._fio.start()

    def avisar(self) -> None:
        """Há trabalho novo na fila."""
        self._aviso.set()

    def parar(self, espera: float = 5.0) -> None:
        self._parar.set()
        self._aviso.set()
        if self._fio is not None:
            self._fio.join(espera)
        if self._pool is not None:
            self._pool.fechar()

    def _rodar(self) -> None:
        while not self._parar.is_set():
            try:
                if not self.rodada():
                    self._aviso.wait(1.0)
                    self._aviso.clear()
            except Exception:  # noqa: BLE001 - a fila não morre com um erro do banco
                log.exception("falha na fila de verificação")
                self._parar.wait(2.0)

    def rodada(self) -> int:
        """Verifica o que está na fila agora; devolve quantos foram guardados."""
        tomados = self.acervo.tomar_da_fila(max(8, 4 * self.jobs))
        if not tomados:
            return 0
        por_caminho: Dict[str, int] = {str(caminho): cid for cid, caminho in tomados}
        feitos = 0
        try:
            for registro in lote.verificar_lote(list(por_caminho), self._novo_executor(), provider=self.provider,
                                                model=self.model, simultaneos=self.jobs, raizes=self.raizes,
                                                parar=self._parar):
                cid = por_caminho.pop(registro["arquivo"], None)
                if cid is not None:
                    self.acervo.guardar_registro(cid, registro, self.provider, self.model)
                    feitos += 1
        except Exception as e:  # noqa: BLE001 - os tomados não ficam presos em "verificando"
            if not self._parar.is_set():
                for caminho, cid in por_caminho.items():
                    self.acervo.guardar_registro(cid, lote.erro(caminho, f"falha na fila: {type(e).__name__}: {e}",
                                                                lote.ERRO_VERIFICACAO))
            raise
        return feitos
