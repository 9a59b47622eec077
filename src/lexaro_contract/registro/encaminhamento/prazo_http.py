"""Uma sessão HTTP cujo pedido inteiro tem prazo.

O tempo limite de `requests` vale para cada leitura do socket: um serviço que
manda um byte a cada poucos segundos nunca o esgota, e a thread que espera a
resposta fica presa por minutos. Aqui cada conexão se registra enquanto lê a
linha de status e os cabeçalhos (e, com `lendo`, o corpo), e um vigia derruba o
socket quando o prazo do pedido vence.
"""

from __future__ import annotations

import contextlib
import socket
import threading
from typing import Any, Dict, Iterator, Optional

import requests
from requests.adapters import HTTPAdapter
from urllib3.connection import HTTPConnection, HTTPSConnection
from urllib3.connectionpool import HTTPConnectionPool, HTTPSConnectionPool

_lendo: Dict[int, Any] = {}          # thread -> a conexão que lê cabeçalhos agora
_trava = threading.Lock()


@contextlib.contextmanager
def lendo(conexao: Any) -> Iterator[None]:
    """Enquanto dura, o vigia desta thread derruba `conexao` quando o prazo vence."""
    tid = threading.get_ident()
    with _trava:
        _lendo[tid] = conexao
    try:
        yield
    finally:
        with _trava:
            _lendo.pop(tid, None)


def _vigiar(conexao: Any, ler: Any) -> Any:
    with lendo(conexao):
        return ler()


class _HTTPVigiada(HTTPConnection):
    def getresponse(self, *a: Any, **k: Any) -> Any:
        return _vigiar(self, lambda: super(_HTTPVigiada, self).getresponse(*a, **k))


class _HTTPSVigiada(HTTPSConnection):
    def getresponse(self, *a: Any, **k: Any) -> Any:
        return _vigiar(self, lambda: super(_HTTPSVigiada, self).getresponse(*a, **k))


class _PoolHTTP(HTTPConnectionPool):
    ConnectionCls = _HTTPVigiada


class _PoolHTTPS(HTTPSConnectionPool):
    ConnectionCls = _HTTPSVigiada


class _Adaptador(HTTPAdapter):
    def init_poolmanager(self, *a: Any, **k: Any) -> None:
        super().init_poolmanager(*a, **k)
        self.poolmanager.pool_classes_by_scheme = {"http": _PoolHTTP, "https": _PoolHTTPS}


def sessao_com_prazo() -> requests.Session:
    s = requests.Session()
    s.mount("http://", _Adaptador())
    s.mount("https://", _Adaptador())
    return s


class Vigia:
    """Derruba, quando `segundos` passarem, o socket em que a thread atual lê a resposta."""

    def __init__(self, segundos: float) -> None:
        self._tid = threading.get_ident()
        self._timer = threading.Timer(segundos, self._cortar)
        self._timer.daemon = True
        self._timer.start()

    def _cortar(self) -> None:
        with _trava:
            conexao = _lendo.get(self._tid)
        sock: Optional[socket.socket] = getattr(conexao, "sock", None)
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def parar(self) -> None:
        self._timer.cancel()


__all__ = ["Vigia", "lendo", "sessao_com_prazo"]
