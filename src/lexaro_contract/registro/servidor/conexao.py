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
- conexões persistentes (HTTP/1.1 keep-alive) e pedidos em sequência na mesma
  conexão, respondidos em ordem;
- prazos: um pedido começado tem `prazo_pedido` segundos para chegar inteiro
  (cabeçalhos e corpo; um cliente lento ou mudo recebe 408 e a conexão fecha),
  uma conexão ociosa fecha depois de `prazo_ocioso`, um cliente que não lê as
  respostas é cortado depois de `prazo_escrita`;
- limites: cabeçalhos até 16 KiB, corpo até 1 MiB (com Content-Length; corpo
  em partes não é aceito), no máximo `max_conexoes` conexões abertas;
- nada vai para a saída: um cliente que some no meio não imprime nada.
"""

from __future__ import annotations

import asyncio
import email.utils
import queue
import socket
import threading
import time
from typing import Any, Awaitable, Callable, Dict, Generic, List, Optional, Set, Tuple, TypeVar, Union

T = TypeVar("T")
F = TypeVar("F")

MAX_CABECALHOS = 16 * 1024
MAX_CORPO = 1 << 20

_RAZOES = {
    100: "Continue", 200: "OK", 400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed",
    408: "Request Timeout", 411: "Length Required", 413: "Payload Too Large",
    431: "Request Header Fields Too Large", 500: "Internal Server Error", 501: "Not Implemented",
    503: "Service Unavailable", 505: "HTTP Version Not Supported",
}


class Pedido:
    __slots__ = ("metodo", "alvo", "cabecalhos", "corpo")

    def __init__(self, metodo: str, alvo: str, cabecalhos: Dict[str, str], corpo: bytes) -> None:
        self.metodo = metodo
        self.alvo = alvo
        self.cabecalhos = cabecalhos
        self.corpo = corpo

    @property
    def caminho(self) -> str:
        return self.alvo.split("?", 1)[0]


class Resposta:
    __slots__ = ("status", "corpo", "extras")

    def __init__(self, status: int, corpo: bytes, extras: Tuple[Tuple[str, str], ...] = ()) -> None:
        self.status = status
        self.corpo = corpo
        self.extras = extras


Atendente = Callable[[Pedido], Union[Resposta, Awaitable[Resposta]]]


def _resposta_de_erro(status: int, mensagem: str) -> Resposta:
    corpo = ('{"message": "%s"}' % mensagem).encode("utf-8")
    return Resposta(status, corpo)


class _Data:
    """O cabeçalho Date, refeito uma vez por segundo."""

    def __init__(self) -> None:
        self._segundo = -1
        self._texto = ""

    def agora(self) -> str:
        s = int(time.time())
        if s != self._segundo:
            self._segundo = s
            self._texto = email.utils.formatdate(s, usegmt=True)
        return self._texto


class _Conexao(asyncio.Protocol):
    def __init__(self, servidor: "ServidorHttp") -> None:
        self.s = servidor
        self.transporte: Optional[asyncio.Transport] = None
        self.buf = bytearray()
        self.ocupado = False          # um pedido sendo respondido
        self.escrita_parada = False   # o cliente não está lendo
        self.leitura_parada = False
        self.fechando = False
        self.recebendo = False        # já chegou o primeiro byte do próximo pedido
        self.timer: Optional[asyncio.TimerHandle] = None
        self.tarefa: Optional["asyncio.Future[Resposta]"] = None
        self.manter = True
        self.continuou = False        # "100 Continue" já enviado para o pedido atual

    # ------------------------------------------------------------ ciclo de vida

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transporte = transport
        if len(self.s.conexoes) >= self.s.max_conexoes:
            self._enviar(_resposta_de_erro(503, "Servidor cheio; tente de novo"), manter=False)
            return
        self.s.conexoes.add(self)
        sock = transport.get_extra_info("socket")
        if sock is not None:
            try:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            except OSError:
                pass
        self._armar(self.s.prazo_ocioso)

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self.fechando = True
        self.s.conexoes.discard(self)
        self._desarmar()
        if self.tarefa is not None and not self.tarefa.done():
            self.tarefa.cancel()

    def pause_writing(self) -> None:
        self.escrita_parada = True
        self._armar(self.s.prazo_escrita)

    def resume_writing(self) -> None:
        self.escrita_parada = False
        self._desarmar()
        self._processar()

    # ------------------------------------------------------------ prazos

    def _armar(self, segundos: float) -> None:
        if self.timer is not None:
            self.timer.cancel()
        assert self.s.laco is not None
        self.timer = self.s.laco.call_later(segundos, self._prazo_vencido)

    def _desarmar(self) -> None:
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None

    def _prazo_vencido(self) -> None:
        self.timer = None
        if self.fechando or self.transporte is None:
            return
        if self.escrita_parada:
            self.transporte.abort()
        elif self.recebendo and not self.ocupado:
            self._enviar(_resposta_de_erro(408, "Pedido incompleto no prazo"), manter=False)
        elif not self.ocupado:
            self.transporte.close()
            self.fechando = True

    # ------------------------------------------------------------ leitura

    def data_received(self, data: bytes) -> None:
        if self.fechando:
            return
        self.buf += data
        if not self.recebendo and not self.ocupado:
            self.recebendo = True
            self._armar(self.s.prazo_pedido)
        if self.ocupado or self.escrita_parada:
            if len(self.buf) > MAX_CABECALHOS + MAX_CORPO and not self.leitura_parada:
                assert self.transporte is not None
                self.transporte.pause_reading()
                self.leitura_parada = True
            return
        self._processar()

    def _processar(self) -> None:
        while not (self.fechando or self.ocupado or self.escrita_parada):
            # Linhas em branco entre pedidos são toleradas.
            while self.buf[:2] == b"\r\n":
                del self.buf[:2]
            if not self.buf:
                self.recebendo = False
                self._armar(self.s.prazo_ocioso)
                break
            if not self.recebendo:
                self.recebendo = True
                self._armar(self.s.prazo_pedido)
            fim = self.buf.find(b"\r\n\r\n")
            if fim < 0:
                if len(self.buf) > MAX_CABECALHOS:
                    self._enviar(_resposta_de_erro(431, "Cabeçalhos grandes demais"), manter=False)
                break
            pedido_ou_erro = self._ler_cabecalhos(bytes(self.buf[:fim]))
            if isinstance(pedido_ou_erro, Resposta):
                self._enviar(pedido_ou_erro, manter=False)
                break
            pedido, tamanho, manter = pedido_ou_erro
            inicio = fim + 4
            if len(self.buf) < inicio + tamanho:
                if pedido.cabecalhos.get("expect", "").lower() == "100-continue" and not self.continuou:
                    self.continuou = True
                    assert self.transporte is not None
                    self.transporte.write(b"HTTP/1.1 100 Continue\r\n\r\n")
                break
            pedido.corpo = bytes(self.buf[inicio:inicio + tamanho])
            del self.buf[:inicio + tamanho]
            if self.leitura_parada and len(self.buf) < MAX_CABECALHOS:
                assert self.transporte is not None
                self.transporte.resume_reading()
                self.leitura_parada = False
            self.recebendo = False
            self.continuou = False
            self._desarmar()
            self._despachar(pedido, manter)

    def _ler_cabecalhos(self, bruto: bytes) -> Union[Resposta, Tuple[Pedido, int, bool]]:
        linhas = bruto.decode("latin-1").split("\r\n")
        partes = linhas[0].split(" ")
        if len(partes) != 3 or not partes[0].isalpha() or not partes[1]:
            return _resposta_de_erro(400, "Linha de pedido inválida")
        metodo, alvo, versao = partes
        if versao not in ("HTTP/1.1", "HTTP/1.0"):
            return _resposta_de_erro(505, "Versão de HTTP não suportada")
        cab: Dict[str, str] = {}
        for linha in linhas[1:]:
            nome, sep, valor = linha.partition(":")
            if not sep or not nome or nome != nome.strip() or " " in nome:
                return _resposta_de_erro(400, "Cabeçalho inválido")
            nome = nome.lower()
            valor = valor.strip()
            if nome in cab:
                if nome == "content-length" and cab[nome] != valor:
                    return _resposta_de_erro(400, "Content-Length repetido")
                cab[nome] = cab[nome] + ", " + valor if nome != "content-length" else valor
            else:
                cab[nome] = valor
        if "transfer-encoding" in cab:
            return _resposta_de_erro(501, "Corpo em partes não é aceito; envie Content-Length")
        cl = cab.get("content-length", "0")
        if not cl.isdigit() or not cl.isascii():
            return _resposta_de_erro(400, "Content-Length inválido")
        tamanho = int(cl)
        if tamanho > MAX_CORPO:
            return _resposta_de_erro(413, "Corpo grande demais")
        conexao = cab.get("connection", "").lower()
        if versao == "HTTP/1.1":
            manter = "close" not in conexao
        else:
            manter = "keep-alive" in conexao
        return Pedido(metodo.upper(), alvo, cab, b""), tamanho, manter

    # ------------------------------------------------------------ resposta

    def _despachar(self, pedido: Pedido, manter: bool) -> None:
        try:
            r = self.s.atender(pedido)
        except Exception:  # noqa: BLE001 - um erro do atendente vira 500, nunca um rastro
            r = _resposta_de_erro(500, "Erro interno")
        if isinstance(r, Resposta):
            self._enviar(r, manter)
            return
        self.ocupado = True
        self.manter = manter
        assert self.s.laco is not None
        self.tarefa = asyncio.ensure_future(r, loop=self.s.laco)
        self.tarefa.add_done_callback(self._respondido)

    def _respondido(self, tarefa: "asyncio.Future[Resposta]") -> None:
        self.tarefa = None
        self.ocupado = False
        if self.fechando or tarefa.cancelled():
            return
        exc = tarefa.exception()
        r = _resposta_de_erro(500, "Erro interno") if exc is not None else tarefa.result()
        self._enviar(r, self.manter)
        if self.leitura_parada and not self.fechando:
            assert self.transporte is not None
            self.transporte.resume_reading()
            self.leitura_parada = False
        self._processar()

    def _enviar(self, r: Resposta, manter: bool) -> None:
        t = self.transporte
        if t is None or t.is_closing():
            self.fechando = True
            return
        cab = [f"HTTP/1.1 {r.status} {_RAZOES.get(r.status, 'Status')}\r\n"
               f"Server: lexaro-registro\r\nDate: {self.s.data.agora()}\r\n"
               f"Content-Type: application/json; charset=utf-8\r\nContent-Length: {len(r.corpo)}\r\n"]
        for nome, valor in r.extras:
            cab.append(f"{nome}: {valor}\r\n")
        if not manter:
            cab.append("Connection: close\r\n")
        cab.append("\r\n")
        t.write("".join(cab).encode("latin-1") + r.corpo)
        if not manter:
            self.fechando = True
            self._desarmar()
            t.close()


class ServidorHttp:
    """Escuta em `host`:`porta` desde a criação; atende em `serve_forever`.

    A mesma forma de uso do ``socketserver``: ``serve_forever()`` numa thread,
    ``shutdown()`` de outra, ``server_close()`` no fim.
    """

    def __init__(self, atender: Atendente, host: str = "127.0.0.1", porta: int = 0, *, backlog: int = 1024,
                 max_conexoes: int = 4096, prazo_pedido: float = 10.0, prazo_ocioso: float = 30.0,
                 prazo_escrita: float = 30.0) -> None:
        self.atender = atender
        self.backlog = backlog
        self.max_conexoes = max_conexoes
        self.prazo_pedido = prazo_pedido
        self.prazo_ocioso = prazo_ocioso
        self.prazo_escrita = prazo_escrita
        self.conexoes: Set[_Conexao] = set()
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
                lambda: _Conexao(self), sock=self.socket, backlog=self.backlog))
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
