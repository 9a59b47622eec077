"""Os executores de um lote: um pool de fios daemon, pools de processos cujos
trabalhadores ignoram o Ctrl-C e morrem com o pai, e a forma comum que o lote
dá a qualquer executor que recebe (um pool, um cliente do Dask, uma fábrica)."""

from __future__ import annotations

import concurrent.futures as cf
import os
import queue
import signal
import sys
import threading
import time
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

_fios_ocupados = 0
_trava_ocupados = threading.Lock()


def fios_ocupados() -> int:
    """Quantos fios de `ExecutorDeFios` estão no meio de uma tarefa.

    Um programa que termina com verificações abandonadas em voo (um lote
    interrompido) deve sair com `os._exit`: um fio daemon que acorda durante
    o encerramento do interpretador dentro do verificador nativo não tem
    como ser desfeito com segurança."""
    return _fios_ocupados


class ExecutorDeFios(cf.Executor):
    """Pool de fios daemon: um lote interrompido abandona as esperas de rede
    em curso sem segurar a saída do interpretador (os fios de
    `ThreadPoolExecutor` são esperados no fim do programa)."""

    def __init__(self, max_workers: int) -> None:
        self._max_workers = max_workers
        self._fila: "queue.SimpleQueue[Optional[Tuple[cf.Future[Any], Callable[..., Any], Tuple[Any, ...], Dict[str, Any]]]]" = queue.SimpleQueue()
        self._fios: List[threading.Thread] = []
        self._fechado = False

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> "cf.Future[Any]":
        if self._fechado:
            raise RuntimeError("executor encerrado")
        futuro: "cf.Future[Any]" = cf.Future()
        self._fila.put((futuro, fn, args, kwargs))
        if len(self._fios) < self._max_workers:
            fio = threading.Thread(target=self._trabalhar, name=f"lote-{len(self._fios)}", daemon=True)
            self._fios.append(fio)
            fio.start()
        return futuro

    def _trabalhar(self) -> None:
        while True:
            item = self._fila.get()
            if item is None:
                return
            futuro, fn, args, kwargs = item
            if not futuro.set_running_or_notify_cancel():
                continue
            global _fios_ocupados
            with _trava_ocupados:
                _fios_ocupados += 1
            try:
                futuro.set_result(fn(*args, **kwargs))
            except BaseException as e:  # noqa: BLE001 - entregue a quem espera o futuro
                futuro.set_exception(e)
            finally:
                with _trava_ocupados:
                    _fios_ocupados -= 1

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        self._fechado = True
        for _ in self._fios:
            self._fila.put(None)
        if wait:
            for fio in self._fios:
                fio.join()


_PR_SET_PDEATHSIG = 1


def _vigiar_pai(pid_pai: int) -> None:
    while True:
        time.sleep(1.0)
        if os.getppid() != pid_pai:
            os._exit(1)


def _iniciar_trabalhador(pid_pai: int) -> None:
    """Início de cada processo trabalhador: o Ctrl-C do terminal é do lote
    (que decide o que parar), e o trabalhador morre com o processo que o
    criou, mesmo se este levar um SIGKILL."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if sys.platform.startswith("linux"):
        try:
            import ctypes

            ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        except (OSError, AttributeError):
            pass
    if os.getppid() != pid_pai:  # o pai morreu antes do prctl
        os._exit(1)
    # Também fora do Linux (e se o pai for adotado por outro processo).
    threading.Thread(target=_vigiar_pai, args=(pid_pai,), daemon=True).start()


def fabrica_de_processos(n: int) -> Callable[[], cf.Executor]:
    """Cria pools de `n` processos (início "spawn": nada herdado de fios do
    pai) cujos trabalhadores ignoram o Ctrl-C e morrem com o pai."""
    import multiprocessing

    def criar() -> cf.Executor:
        return cf.ProcessPoolExecutor(max_workers=n, mp_context=multiprocessing.get_context("spawn"),
                                      initializer=_iniciar_trabalhador, initargs=(os.getpid(),))
    return criar


@contextmanager
def sem_ctrl_c() -> Iterator[None]:
    """Bloqueia o SIGINT neste fio enquanto se submete: um processo
    trabalhador criado agora herda a máscara e nunca recebe o Ctrl-C do
    terminal, nem antes de o seu inicializador o ignorar. Um Ctrl-C que
    chegue aqui fica pendente e é entregue ao desbloquear."""
    bloquear = hasattr(signal, "pthread_sigmask") and threading.current_thread() is threading.main_thread()
    if bloquear:
        anterior = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        if bloquear:
            signal.pthread_sigmask(signal.SIG_SETMASK, anterior)


def matar_processos(executor: cf.Executor) -> None:
    # Um Ctrl-C não espera uma verificação em curso num processo: o pool não
    # tem como cancelar o que já começou, então os processos são encerrados.
    for processo in list((getattr(executor, "_processes", None) or {}).values()):
        try:
            processo.kill()
        except (OSError, AttributeError):
            pass


def como_executor(executor: Any) -> Tuple[cf.Executor, Optional[Callable[[], cf.Executor]], Optional[int]]:
    """(executor, fábrica para trocá-lo ou None, tarefas simultâneas sugeridas)."""
    if hasattr(executor, "get_executor") and hasattr(executor, "nthreads"):  # distributed.Client
        fios = sum(executor.nthreads().values()) or 1
        # pure=False: a nova tentativa de um arquivo é outra tarefa, não o
        # mesmo resultado (com erro) guardado pelo agendador.
        return executor.get_executor(pure=False), None, 2 * fios
    if isinstance(executor, cf.Executor):
        return executor, None, getattr(executor, "_max_workers", None)
    if callable(executor):
        novo = executor()
        return novo, executor, getattr(novo, "_max_workers", None)
    raise TypeError("executor deve ser um concurrent.futures.Executor, um distributed.Client "
                    "ou uma função que cria um executor")
