"""Um servidor HTTP/1.1 pequeno e robusto, sobre asyncio, para o registro.

Por que não um servidor de uma thread por conexão: com a fila de escuta padrão
(5) e uma thread por conexão, 200 clientes ao mesmo tempo levavam a conexões
recusadas e a segundos de espera, e conexões ociosas prendiam threads para
sempre. Aqui:

- uma fila de escuta de verdade (1024 por padrão; o núcleo a limita a
  ``net.core.somaxconn``);
- um laço de eventos numa thread só: uma conexão ociosa custa um socket, não
  uma thread; o trabalho que bloqueia (banco, encaminhamento) vai para um
  conjunto limitado de threads (`Trabalhadores`);
- os pedidos são enquadrados pelo h11, depois de uma triagem estrita dos
  cabeçalhos (`conexao`): o que um proxy na frente poderia enquadrar de outro
  jeito é recusado com 400 (ou 501) e a conexão fecha;
- conexões persistentes (HTTP/1.1 keep-alive) e pedidos em sequência na mesma
  conexão, respondidos em ordem;
- prazos: um pedido começado tem `prazo_pedido` segundos para chegar inteiro
  (cabeçalhos e corpo; um cliente lento ou mudo recebe 408 e a conexão fecha),
  uma conexão ociosa fecha depois de `prazo_ocioso`, um cliente que não lê as
  respostas é cortado depois de `prazo_escrita`;
- limites: cabeçalhos até 16 KiB, corpo até 1 MiB (com Content-Length; corpo
  em partes não é aceito), no máximo `max_conexoes` conexões abertas e
  `max_por_endereco` de um mesmo endereço de cliente; no limite, a conexão
  ociosa há mais tempo (do mesmo endereço, se é ele que está no limite) fecha
  para dar lugar à nova, e só sem nenhuma ociosa a nova recebe 503;
- nada vai para a saída: um cliente que some no meio não imprime nada.
"""

from __future__ import annotations

import asyncio
import socket
import threading
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

from .conexao import MAX_CABECALHOS, MAX_CORPO, Atendente, Conexao, Pedido, Resposta, _Data
from .trabalhadores import Trabalhadores

MAX_POR_ENDERECO = 512


def _mais_antiga_ociosa(conexoes: Any) -> Optional[Conexao]:
    melhor: Optional[Conexao] = None
    for c in conexoes:
        if c.ociosa and (melhor is None or c.ociosa_desde < melhor.ociosa_desde):
            melhor = c
    return melhor


class ServidorHttp:
    """Escuta em `host`:`porta` desde a criação; atende em `serve_forever`.

    A mesma forma de uso do ``socketserver``: ``serve_forever()`` numa thread,
    ``shutdown()`` de outra, ``server_close()`` no fim.
    """

    def __init__(self, atender: Atendente, host: str = "127.0.0.1", porta: int = 0, *, backlog: int = 1024,
                 max_conexoes: int = 4096, max_por_endereco: int = MAX_POR_ENDERECO, prazo_pedido: float = 10.0,
                 prazo_ocioso: float = 30.0, prazo_escrita: float = 30.0) -> None:
        self.atender = atender
        self.backlog = backlog
        self.max_conexoes = max_conexoes
        self.max_por_endereco = max_por_endereco
        self.prazo_pedido = prazo_pedido
        self.prazo_ocioso = prazo_ocioso
        self.prazo_escrita = prazo_escrita
        self.conexoes: Set[Conexao] = set()
        self.por_endereco: Dict[str, Set[Conexao]] = {}
        self.data = _Data()
        self.laco: Optional[asyncio.AbstractEventLoop] = None
        self._parar: Optional["asyncio.Future[None]"] = None
        self._terminou = threading.Event()
        self._terminou.set()
        self._ao_fechar: List[Callable[[], None]] = []
        self._trava = threading.Lock()
        self._encerrado = False
        self.socket = socket.create_server((host, porta), backlog=backlog)
        self.server_address: Tuple[Any, ...] = self.socket.getsockname()

    def admitir(self, conexao: Conexao) -> Optional[str]:
        """Registra a conexão nova; nos limites, despeja a ociosa mais antiga ou recusa."""
        mesmas = self.por_endereco.get(conexao.endereco)
        if mesmas is not None and len(mesmas) >= self.max_por_endereco:
            velha = _mais_antiga_ociosa(mesmas)
            if velha is None:
                return "Conexões demais deste endereço; tente de novo"
            velha.despejar()
            self.largar(velha)
        if len(self.conexoes) >= self.max_conexoes:
            velha = _mais_antiga_ociosa(self.conexoes)
            if velha is None:
                return "Servidor cheio; tente de novo"
            velha.despejar()
            self.largar(velha)
        self.conexoes.add(conexao)
        self.por_endereco.setdefault(conexao.endereco, set()).add(conexao)
        return None

    def largar(self, conexao: Conexao) -> None:
        self.conexoes.discard(conexao)
        mesmas = self.por_endereco.get(conexao.endereco)
        if mesmas is not None:
            mesmas.discard(conexao)
            if not mesmas:
                del self.por_endereco[conexao.endereco]

    def ao_fechar(self, acao: Callable[[], None]) -> None:
        self._ao_fechar.append(acao)

    def serve_forever(self, poll_interval: float = 0.5) -> None:  # noqa: ARG002 - a forma do socketserver
        laco = asyncio.new_event_loop()
        laco.set_exception_handler(lambda _l, _c: None)  # clientes que somem não são erro
        with self._trava:
            if self._encerrado:  # shutdown() chegou antes: nem começa
                laco.close()
                return
            self.laco = laco
            self._terminou.clear()
        try:
            self._parar = laco.create_future()
            srv = laco.run_until_complete(laco.create_server(
                lambda: Conexao(self), sock=self.socket, backlog=self.backlog))
            try:
                laco.run_until_complete(self._parar)
            finally:
                srv.close()
                for c in list(self.conexoes):
                    if c.transporte is not None:
                        c.transporte.abort()
                pendentes = [t for t in asyncio.all_tasks(laco) if not t.done()]
                for t in pendentes:
                    t.cancel()
                if pendentes:
                    laco.run_until_complete(asyncio.gather(*pendentes, return_exceptions=True))
                laco.run_until_complete(asyncio.sleep(0))
        finally:
            laco.close()
            self.laco = None
            self._terminou.set()

    def _pedir_parada(self) -> None:
        if self._parar is not None and not self._parar.done():
            self._parar.set_result(None)

    def parar(self) -> None:
        """Pede a parada sem esperar (serve a um tratador de sinal)."""
        self._encerrado = True
        self._acordar(self.laco)

    def shutdown(self) -> None:
        with self._trava:
            self._encerrado = True
            laco = self.laco
        if self._acordar(laco):
            self._terminou.wait()

    def _acordar(self, laco: Optional[asyncio.AbstractEventLoop]) -> bool:
        """Pede ao laço que pare; diz se havia um laço a esperar."""
        if laco is None:
            return False
        try:
            laco.call_soon_threadsafe(self._pedir_parada)
        except RuntimeError:
            pass  # o laço já fechou
        return True

    def server_close(self) -> None:
        self.socket.close()
        acoes, self._ao_fechar = self._ao_fechar, []
        for acao in acoes:
            acao()


__all__ = ["MAX_CABECALHOS", "MAX_CORPO", "MAX_POR_ENDERECO", "Atendente", "Pedido", "Resposta", "ServidorHttp",
           "Trabalhadores"]
