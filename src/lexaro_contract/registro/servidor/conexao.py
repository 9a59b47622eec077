"""Uma conexão HTTP/1.1 do servidor do registro: leitura dos pedidos, prazos, respostas.

O enquadramento dos pedidos (linha de pedido, cabeçalhos, Content-Length) é
lido pelo h11. Antes dele, o bloco de cabeçalhos passa por uma triagem mais
estrita do que a do h11, porque um proxy na frente pode enquadrar de outro jeito
o que um servidor tolerante aceita: um LF sem CR, um CR solto, uma linha
continuada (dobra obsoleta) e qualquer caractere de controle (NUL, DEL...) fora
da tabulação são recusados com 400; ``Content-Length`` com ``Transfer-Encoding``
também (400), e qualquer ``Transfer-Encoding`` sozinho é 501 (o corpo em partes
não é aceito). Toda recusa fecha a conexão.

O fim dos cabeçalhos é procurado só nos bytes novos de cada pacote, e o limite
de 16 KiB vale mesmo quando o bloco chega inteiro numa leitura só.
"""

from __future__ import annotations

import asyncio
import email.utils
import re
import socket
import time
from typing import Awaitable, Callable, Dict, Optional, Protocol, Tuple, Union

import h11

MAX_CABECALHOS = 16 * 1024
MAX_CORPO = 1 << 20
PRAZO_DRENAGEM = 2.0   # depois de uma recusa, quanto tempo ainda se lê (e descarta) o que o cliente manda

_RAZOES = {
    100: "Continue", 200: "OK", 400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed",
    408: "Request Timeout", 411: "Length Required", 413: "Payload Too Large",
    431: "Request Header Fields Too Large", 500: "Internal Server Error", 501: "Not Implemented",
    503: "Service Unavailable", 505: "HTTP Version Not Supported",
}

# Um LF sem CR antes, um CR sem LF depois, uma linha que começa com espaço ou
# tabulação (dobra obsoleta) e os caracteres de controle, exceto a tabulação.
# Serve aos cabeçalhos que chegam aos pedaços; o bloco inteiro passa por
# `_bloco_invalido`, que diz o mesmo com poucas passadas em C.
_PROIBIDO = re.compile(rb"(?<!\r)\n|\r(?!\n)|\n[ \t]|[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]")
_CONTROLES = frozenset(range(0x20)) - {0x09, 0x0a, 0x0d} | {0x7f}
_PERMITIDOS = bytes(c for c in range(256) if c not in _CONTROLES)


def _bloco_invalido(bloco: bytes) -> bool:
    """O mesmo que `_PROIBIDO.search(bloco)`, umas oito vezes mais rápido: sobra
    algum byte de controle quando se apagam os permitidos, ou há um LF ou um CR
    fora de um par CRLF, ou uma linha começa com espaço ou tabulação."""
    pares = bloco.count(b"\r\n")
    return bool(bloco.translate(None, _PERMITIDOS) or bloco.count(b"\n") != pares or bloco.count(b"\r") != pares
                or b"\n " in bloco or b"\n\t" in bloco)
_VERSAO = re.compile(rb"HTTP/[0-9]\.[0-9]")
# O request-target que o h11 aceita (``vchar+``, RFC 9112).
_ALVO = re.compile(rb"[\x21-\x7e]+")

# O que o h11 leu de cada bloco de cabeçalhos já aceito, pelo método, a versão
# e as linhas de cabeçalho (tudo menos o alvo): o h11 não olha o alvo para
# enquadrar um pedido, então as mesmas linhas dão o mesmo pedido (cabeçalhos,
# tamanho do corpo, conexão mantida) com qualquer alvo que ele aceite. Um
# cliente manda os mesmos cabeçalhos a cada pedido, e ler de novo com o h11
# custava mais do que todo o resto do pedido. Só o que foi aceito é guardado:
# uma recusa passa sempre pelo h11.
_LIDOS: Dict[bytes, Tuple[str, Dict[str, str], int, bool]] = {}
MAX_LIDOS = 256
MAX_BLOCO_LIDO = 2048


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
    """O cabeçalho Date, refeito uma vez por segundo, e o começo de cada resposta
    (até o valor do Content-Length), montado uma vez por status nesse segundo."""

    def __init__(self) -> None:
        self._segundo = -1
        self._texto = ""
        self._cabecas: Dict[int, bytes] = {}

    def agora(self) -> str:
        s = int(time.time())
        if s != self._segundo:
            self._segundo = s
            self._texto = email.utils.formatdate(s, usegmt=True)
            self._cabecas = {}
        return self._texto

    def cabeca(self, status: int) -> bytes:
        data = self.agora()
        cabeca = self._cabecas.get(status)
        if cabeca is None:
            cabeca = self._cabecas[status] = (
                f"HTTP/1.1 {status} {_RAZOES.get(status, 'Status')}\r\nServer: lexaro-registro\r\nDate: {data}\r\n"
                f"Content-Type: application/json; charset=utf-8\r\nContent-Length: ").encode("latin-1")
        return cabeca


class Servidor(Protocol):
    """O que uma conexão usa do servidor que a aceitou."""

    laco: Optional[asyncio.AbstractEventLoop]
    prazo_pedido: float
    prazo_ocioso: float
    prazo_escrita: float
    data: _Data
    atender: Atendente

    def admitir(self, conexao: "Conexao") -> Optional[str]:
        """Registra a conexão nova; o motivo da recusa se não cabe mais nenhuma."""

    def largar(self, conexao: "Conexao") -> None:
        """Esquece a conexão que fechou."""


def ler_cabecalhos(bloco: bytes) -> Union[Resposta, Tuple[Pedido, int, bool]]:
    """O pedido cujo bloco de cabeçalhos (terminado em CRLF CRLF) é `bloco`, o
    tamanho do corpo e se a conexão continua; ou a resposta de recusa."""
    if _bloco_invalido(bloco):
        return _resposta_de_erro(400, "Fim de linha ou caractere de controle inválido no cabeçalho")
    fim_linha = bloco.find(b"\r\n")
    partes = bloco[:fim_linha].split(b" ")
    if len(partes) != 3 or not partes[0].isalpha() or not partes[1]:
        return _resposta_de_erro(400, "Linha de pedido inválida")
    if partes[2] not in (b"HTTP/1.1", b"HTTP/1.0"):
        if _VERSAO.fullmatch(partes[2]):
            return _resposta_de_erro(505, "Versão de HTTP não suportada")
        return _resposta_de_erro(400, "Linha de pedido inválida")
    chave = partes[0] + b" " + partes[2] + bloco[fim_linha:]
    lido = _LIDOS.get(chave)
    if lido is not None and _ALVO.fullmatch(partes[1]):
        metodo, cab, tamanho, manter = lido
        return Pedido(metodo, partes[1].decode("ascii"), dict(cab), b""), tamanho, manter
    lido_h11 = _ler_com_h11(bloco)
    if not isinstance(lido_h11, Resposta) and len(chave) <= MAX_BLOCO_LIDO:
        if len(_LIDOS) >= MAX_LIDOS:
            _LIDOS.clear()
        pedido, tamanho, manter = lido_h11
        _LIDOS[chave] = (pedido.metodo, dict(pedido.cabecalhos), tamanho, manter)
    return lido_h11


def _ler_com_h11(bloco: bytes) -> Union[Resposta, Tuple[Pedido, int, bool]]:
    leitor = h11.Connection(h11.SERVER, max_incomplete_event_size=MAX_CABECALHOS + 4)
    try:
        leitor.receive_data(bloco)
        evento = leitor.next_event()
    except h11.RemoteProtocolError as e:
        status = e.error_status_hint if e.error_status_hint in (400, 501) else 400
        if status == 501:
            return _resposta_de_erro(501, "Corpo em partes não é aceito; envie Content-Length")
        return _resposta_de_erro(400, "Pedido inválido: " + str(e).replace('"', "'")[:100])
    except Exception:  # noqa: BLE001 - qualquer outra falha ao ler é um pedido inválido
        return _resposta_de_erro(400, "Pedido inválido")
    if not isinstance(evento, h11.Request):
        return _resposta_de_erro(400, "Pedido inválido")
    cab: Dict[str, str] = {}
    for nome_b, valor_b in evento.headers:
        nome, valor = nome_b.decode("latin-1"), valor_b.decode("latin-1")
        cab[nome] = cab[nome] + ", " + valor if nome in cab and nome != "content-length" else valor
    if "transfer-encoding" in cab:
        if "content-length" in cab:
            return _resposta_de_erro(400, "Content-Length e Transfer-Encoding no mesmo pedido")
        return _resposta_de_erro(501, "Corpo em partes não é aceito; envie Content-Length")
    tamanho = int(cab.get("content-length", "0"))
    if tamanho > MAX_CORPO:
        return _resposta_de_erro(413, "Corpo grande demais")
    conexao = cab.get("connection", "").lower()
    manter = "close" not in conexao if evento.http_version == b"1.1" else "keep-alive" in conexao
    return Pedido(evento.method.decode("ascii").upper(), evento.target.decode("latin-1"), cab, b""), tamanho, manter


class Conexao(asyncio.Protocol):
    def __init__(self, servidor: Servidor) -> None:
        self.s = servidor
        self.transporte: Optional[asyncio.Transport] = None
        self.endereco = ""
        self.buf = bytearray()
        self.varrido = 0              # até onde o fim dos cabeçalhos já foi procurado
        self.pendente: Optional[Tuple[Pedido, int, bool]] = None   # cabeçalhos lidos, corpo por vir
        self.ocupado = False          # um pedido sendo respondido
        self.escrita_parada = False   # o cliente não está lendo
        self.leitura_parada = False
        self.fechando = False
        self.drenando = False         # recusado: lê e descarta até o cliente fechar ou o prazo
        self.recebendo = False        # já chegou o primeiro byte do próximo pedido
        self.timer: Optional[asyncio.TimerHandle] = None
        self.quando = 0.0             # quando o relógio armado dispara
        self.limite: Optional[float] = None   # o prazo que vale agora (no relógio do laço)
        self.tarefa: Optional["asyncio.Future[Resposta]"] = None
        self.manter = True
        self.continuou = False        # "100 Continue" já enviado para o pedido atual
        self.ociosa_desde = time.monotonic()

    @property
    def ociosa(self) -> bool:
        return not (self.ocupado or self.recebendo or self.fechando or self.buf)

    # ------------------------------------------------------------ ciclo de vida

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transporte = transport
        par = transport.get_extra_info("peername")
        self.endereco = str(par[0]) if isinstance(par, tuple) and par else ""
        recusa = self.s.admitir(self)
        if recusa is not None:
            self._enviar(_resposta_de_erro(503, recusa), manter=False)
            return
        sock = transport.get_extra_info("socket")
        if sock is not None:
            try:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            except OSError:
                pass
        self._armar(self.s.prazo_ocioso)

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self.fechando = True
        self.s.largar(self)
        self._cancelar()
        if self.tarefa is not None and not self.tarefa.done():
            self.tarefa.cancel()

    def eof_received(self) -> Optional[bool]:
        return None   # o transporte fecha; uma resposta em andamento não tem mais a quem ir

    def pause_writing(self) -> None:
        self.escrita_parada = True
        self._armar(self.s.prazo_escrita)

    def resume_writing(self) -> None:
        self.escrita_parada = False
        self._desarmar()
        self._processar()

    def despejar(self) -> None:
        """Fecha uma conexão ociosa para dar lugar a outra."""
        self.fechando = True
        self._cancelar()
        if self.transporte is not None:
            self.transporte.close()

    # ------------------------------------------------------------ prazos

    # Os prazos mudam duas vezes por pedido (o pedido começa: `prazo_pedido`;
    # termina: `prazo_ocioso`). Cancelar e criar um relógio a cada mudança
    # custava mais do que ler o pedido; aqui o relógio armado só é trocado
    # quando o prazo novo vence antes dele. Um relógio que dispara antes do
    # prazo que vale se arma de novo para ele. Numa conexão que pede sem parar,
    # o relógio fica no prazo do pedido (o menor) e se move uma vez por volta.

    def _armar(self, segundos: float) -> None:
        laco = self.s.laco
        assert laco is not None
        limite = self.limite = laco.time() + segundos
        if self.timer is None or self.quando > limite:
            if self.timer is not None:
                self.timer.cancel()
            self.quando = limite
            self.timer = laco.call_at(limite, self._prazo_vencido)

    def _desarmar(self) -> None:
        self.limite = None

    def _cancelar(self) -> None:
        self.limite = None
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None

    def _prazo_vencido(self) -> None:
        self.timer = None
        limite = self.limite
        if limite is None or self.transporte is None:
            return
        laco = self.s.laco
        if laco is not None and laco.time() < limite - 0.001:   # o laço pode disparar um relógio um tico antes
            self.quando = limite
            self.timer = laco.call_at(limite, self._prazo_vencido)
            return
        self.limite = None
        if self.drenando or self.escrita_parada:
            self.transporte.abort()
        elif self.fechando:
            return
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
            if self.pendente is None:
                # Linhas em branco entre pedidos são toleradas.
                while self.buf.startswith(b"\r\n"):
                    del self.buf[:2]
                if not self.buf:
                    self.recebendo = False
                    self.ociosa_desde = time.monotonic()
                    self._armar(self.s.prazo_ocioso)
                    break
                if not self.recebendo:
                    self.recebendo = True
                    self._armar(self.s.prazo_pedido)
                fim = self.buf.find(b"\r\n\r\n", self.varrido)
                if fim < 0 or fim + 4 > MAX_CABECALHOS:
                    if fim >= 0 or len(self.buf) > MAX_CABECALHOS:
                        self._enviar(_resposta_de_erro(431, "Cabeçalhos grandes demais"), manter=False)
                    elif _PROIBIDO.search(self.buf, max(0, self.varrido - 1),
                                          len(self.buf) - (self.buf[-1:] == b"\r")):   # o LF pode vir depois
                        self._enviar(_resposta_de_erro(
                            400, "Fim de linha ou caractere de controle inválido no cabeçalho"), manter=False)
                    else:
                        self.varrido = max(0, len(self.buf) - 3)
                    break
                self.varrido = 0
                inteiro = fim + 4 == len(self.buf)   # o caso comum: o pacote traz só os cabeçalhos
                lido = ler_cabecalhos(bytes(self.buf) if inteiro else bytes(self.buf[:fim + 4]))
                if isinstance(lido, Resposta):
                    self._enviar(lido, manter=False)
                    break
                if inteiro:
                    self.buf.clear()
                else:
                    del self.buf[:fim + 4]
                self.pendente = lido
            pedido, tamanho, manter = self.pendente
            if len(self.buf) < tamanho:
                if pedido.cabecalhos.get("expect", "").lower() == "100-continue" and not self.continuou:
                    self.continuou = True
                    assert self.transporte is not None
                    self.transporte.write(b"HTTP/1.1 100 Continue\r\n\r\n")
                break
            if tamanho:
                pedido.corpo = bytes(self.buf[:tamanho])
                del self.buf[:tamanho]
            self.pendente = None
            if self.leitura_parada and len(self.buf) < MAX_CABECALHOS:
                assert self.transporte is not None
                self.transporte.resume_reading()
                self.leitura_parada = False
            self.recebendo = False
            self.continuou = False
            self._desarmar()
            self._despachar(pedido, manter)

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
        partes = [self.s.data.cabeca(r.status), b"%d\r\n" % len(r.corpo)]
        for nome, valor in r.extras:
            partes.append(f"{nome}: {valor}\r\n".encode("latin-1"))
        if not manter:
            partes.append(b"Connection: close\r\n")
        partes.append(b"\r\n")
        partes.append(r.corpo)
        t.write(b"".join(partes))   # uma escrita só: cabeçalhos e corpo no mesmo segmento
        if not manter:
            self._fechar_depois_de_enviar(t)

    def _fechar_depois_de_enviar(self, t: asyncio.Transport) -> None:
        """Fecha o lado de escrita e descarta o que ainda chegar por um tempo: fechar
        com bytes não lidos faria o núcleo mandar um reset, e o cliente perderia a
        resposta que já estava a caminho."""
        self.fechando = True
        self.buf.clear()
        self.pendente = None
        if not t.can_write_eof():
            self._desarmar()
            t.close()
            return
        self.drenando = True
        t.write_eof()
        if self.leitura_parada:
            t.resume_reading()
            self.leitura_parada = False
        self._armar(PRAZO_DRENAGEM)


__all__ = ["Atendente", "Conexao", "MAX_CABECALHOS", "MAX_CORPO", "Pedido", "Resposta", "Servidor",
           "ler_cabecalhos"]
