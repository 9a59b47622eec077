"""The registry server's request framing and connection limits, probed over real sockets."""

import socket
import time

import pytest
import requests

from lexaro_contract import registro

CNPJ = "11222333000181"
REG = {CNPJ: {"cnpj": CNPJ, "razao_social": "ALFA LTDA", "uf": "SP", "descricao_situacao_cadastral": "ATIVA"}}


@pytest.fixture
def servidor():
    abertos = []

    def iniciar(**opcoes):
        srv, base = registro.iniciar_em_segundo_plano(REG, **opcoes)
        abertos.append(srv)
        return srv, base
    yield iniciar
    for srv in abertos:
        srv.shutdown()
        srv.server_close()


def ler_tudo(s):
    recebido = b""
    while True:
        parte = s.recv(65536)
        if not parte:
            return recebido
        recebido += parte


GET = b"GET /api/cnpj/v1/" + CNPJ.encode() + b" HTTP/1.1\r\nHost: x\r\n"


@pytest.mark.parametrize("bruto, status", [
    # a proxy that ends lines at a bare LF would see a second request in the body
    (b"POST /v2/public/cnpj/search HTTP/1.1\r\nHost: x\r\nX: a\nContent-Length: 33\r\n\r\n" + GET + b"\r\n", 400),
    (b"POST /v2/public/cnpj/search HTTP/1.1\r\nHost: x\r\nX: a\rContent-Length: 2\r\n\r\n{}", 400),
    (b"POST /v2/public/cnpj/search HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n"
     b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400),
    (b"POST /v2/public/cnpj/search HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n{}", 400),
    (b"POST /v2/public/cnpj/search HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n", 501),
    (b"GET / HTTP/1.1\r\nHost: x\r\nX: a\r\n b\r\n\r\n", 400),                 # obsolete line folding
    (b"GET /sa\x00ude HTTP/1.1\r\nHost: x\r\n\r\n", 400),
    (b"GET /sa\x7fude HTTP/1.1\r\nHost: x\r\n\r\n", 400),
    (b"GET / HTTP/1.1\r\nHost: x\r\nX: a\x7fb\r\n\r\n", 400),
    (b"GET / HTTP/1.1\r\nHost: x\r\nX\tY: a\r\n\r\n", 400),
    (b"GET / HTTP/1.1\r\n\r\n", 400),                                          # HTTP/1.1 without Host
    (b"POST /v2/public/cnpj/search HTTP/1.1\r\nHost: x\r\nContent-Length: " + b"9" * 4300 + b"\r\n\r\n", 400),
    (b"GET / HTTP/1.1\r\nHost: x\r\nX: " + b"a" * 20000 + b"\r\n\r\n", 431),     # whole in one read
    (b"GET / HTTP/1.1\r\nHost: x\nX: a\n\n", 400),                             # refused before any end of headers
])
def test_framing_a_proxy_could_read_otherwise_is_refused_and_the_connection_closed(servidor, bruto, status):
    srv, base = servidor()
    s = socket.create_connection(srv.server_address[:2], timeout=5)
    s.sendall(bruto)
    resposta = ler_tudo(s)
    s.close()
    assert resposta.startswith(f"HTTP/1.1 {status} ".encode()) and b"Connection: close" in resposta
    assert resposta.count(b"HTTP/1.1") == 1
    assert requests.get(base + "/saude", timeout=5).json()["empresas"] == 1


def test_connections_per_address_shed_the_idle_and_refuse_with_503_not_a_reset(servidor):
    srv, base = servidor(max_por_endereco=3, max_conexoes=5)
    endereco = srv.server_address[:2]
    ociosas = [socket.create_connection(endereco, timeout=5) for _ in range(3)]
    for s in ociosas:                      # served once, then idle
        s.sendall(GET + b"\r\n")
        assert s.recv(65536).startswith(b"HTTP/1.1 200")
    nova = socket.create_connection(endereco, timeout=5)
    nova.sendall(GET + b"\r\n")
    assert nova.recv(65536).startswith(b"HTTP/1.1 200")
    assert ociosas[0].recv(10) == b""      # the longest idle one made room
    # connections in the middle of a request are not shed: with three of them, a 503
    lentas = [socket.create_connection(endereco, timeout=5) for _ in range(3)]
    for s in lentas:
        s.sendall(b"GET / HTTP/1.1\r\nHo")
        time.sleep(0.2)
    recusada = socket.create_connection(endereco, timeout=5)
    recusada.sendall(GET + b"\r\n")
    assert ler_tudo(recusada).startswith(b"HTTP/1.1 503")
    for s in ociosas + lentas + [nova, recusada]:
        s.close()


def test_header_screening_in_one_block_agrees_with_the_per_packet_pattern():
    import random

    from lexaro_contract.registro.servidor.conexao import _PROIBIDO, _bloco_invalido
    sorte = random.Random(24)
    alfabeto = [b"\r\n", b"\r", b"\n", b" ", b"\t", b"a", b":", b"\x00", b"\x7f", b"\x1f", b"\x0b", b"\x80", b"\xff"]
    for _ in range(20000):
        bloco = b"".join(sorte.choice(alfabeto) for _ in range(sorte.randint(0, 12)))
        assert _bloco_invalido(bloco) == bool(_PROIBIDO.search(bloco)), bloco


def test_a_request_cut_between_cr_and_lf_across_packets_is_served(servidor):
    srv, base = servidor()
    s = socket.create_connection(srv.server_address[:2], timeout=5)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for parte in (GET[:-1], b"\n", b"\r", b"\n"):
        s.sendall(parte)
        time.sleep(0.05)
    assert s.recv(65536).startswith(b"HTTP/1.1 200")
    s.close()


def test_header_blocks_read_again_give_what_h11_gives_for_any_target():
    from lexaro_contract.registro.servidor.conexao import Resposta, _ler_com_h11, ler_cabecalhos

    def forma(lido):
        if isinstance(lido, Resposta):
            return lido.status
        pedido, tamanho, manter = lido
        return pedido.metodo, pedido.alvo, pedido.cabecalhos, tamanho, manter
    linhas = [b"Host: x\r\n", b"Host: x\r\nConnection: close\r\n", b"Host: x\r\nContent-Length: 7\r\nA: 1\r\nA: 2\r\n",
              b"", b"Host: x\r\nTransfer-Encoding: chunked\r\n", b"Host: x\r\nX y: 1\r\n"]
    alvos = [b"/saude", b"/api/cnpj/v1/11222333000181?x=%00", b"/caf\xc3\xa9", b"*", b"/a\x80b"]
    for versao in (b"HTTP/1.1", b"HTTP/1.0"):
        for cab in linhas:
            for _ in range(2):                        # the second time, the block was seen
                for alvo in alvos:
                    bloco = b"POST " + alvo + b" " + versao + b"\r\n" + cab + b"\r\n"
                    assert forma(ler_cabecalhos(bloco)) == forma(_ler_com_h11(bloco)), bloco
