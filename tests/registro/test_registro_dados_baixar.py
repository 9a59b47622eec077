"""`registro baixar` against a local WebDAV share on 127.0.0.1 that cuts
connections, stalls and sends a corrupt zip before it behaves."""

from __future__ import annotations

import re
import threading
import time
from collections import Counter
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Dict, Iterator, List, Tuple

import pytest

from lexaro_contract import cli
from lexaro_contract.registro.dados_abertos.baixar import ErroDeDownload, baixar_mes
from lexaro_contract.registro.dados_abertos.gerador import gerar

TOKEN = "tokenDeTeste"


class _Compartilhamento(BaseHTTPRequestHandler):
    meses: Dict[str, Dict[str, bytes]] = {}
    tentativas: "Counter[str]" = Counter()
    ranges: List[str] = []

    def log_message(self, *args: object) -> None:
        pass

    def do_PROPFIND(self) -> None:  # noqa: N802
        caminho = self.path.split("?")[0]
        base = "/public.php/webdav/"
        assert caminho.startswith(base)
        mes = caminho[len(base):].strip("/")
        itens = [(caminho, True, 0)]
        if not mes:
            itens += [(f"{base}{m}/", True, 0) for m in self.meses]
        else:
            itens += [(f"{base}{mes}/{n}", False, len(d)) for n, d in self.meses[mes].items()]
        corpo = '<?xml version="1.0"?><d:multistatus xmlns:d="DAV:">' + "".join(
            f"<d:response><d:href>{h}</d:href><d:propstat><d:prop>"
            + ("<d:resourcetype><d:collection/></d:resourcetype>" if pasta else
               f"<d:resourcetype/><d:getcontentlength>{t}</d:getcontentlength>")
            + "</d:prop></d:propstat></d:response>" for h, pasta, t in itens) + "</d:multistatus>"
        dados = corpo.encode()
        self.send_response(207)
        self.send_header("Content-Length", str(len(dados)))
        self.end_headers()
        self.wfile.write(dados)

    def do_GET(self) -> None:  # noqa: N802
        m = re.match(rf"^/public.php/dav/files/{TOKEN}/([^/]+)/([^/]+)$", self.path)
        assert m, self.path
        dados = self.meses[m.group(1)][m.group(2)]
        nome = m.group(2)
        self.tentativas[nome] += 1
        vez = self.tentativas[nome]
        inicio = 0
        faixa = self.headers.get("Range")
        if faixa:
            self.ranges.append(f"{nome} {faixa}")
            inicio = int(re.match(r"bytes=(\d+)-", faixa).group(1))  # type: ignore[union-attr]
        corpo = dados[inicio:]
        if vez == 3 and nome == "Cnaes.zip":
            corpo = corpo[:-40] + bytes(40)  # completa, mas estragada
        self.send_response(206 if inicio else 200)
        if inicio:
            self.send_header("Content-Range", f"bytes {inicio}-{len(dados) - 1}/{len(dados)}")
        self.send_header("Content-Length", str(len(corpo)))
        self.end_headers()
        if vez == 1:  # corta no meio
            self.wfile.write(corpo[: len(corpo) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        if vez == 2 and nome in ("Empresas0.zip", "Cnaes.zip"):  # trava
            self.wfile.write(corpo[:100])
            self.wfile.flush()
            time.sleep(1.5)
            self.close_connection = True
            return
        self.wfile.write(corpo)


@pytest.fixture
def compartilhamento(tmp_path: Path) -> Iterator[Tuple[str, Dict[str, bytes], "type[_Compartilhamento]"]]:
    gerar(tmp_path / "origem", 30, semente=5)
    arquivos = {p.name: p.read_bytes() for p in (tmp_path / "origem").iterdir()}
    handler = type("H", (_Compartilhamento,), {"meses": {"2026-10": {"Cnaes.zip": arquivos["Cnaes.zip"]},
                                                         "2026-11": arquivos},
                                               "tentativas": Counter(), "ranges": []})
    servidor = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    servidor.daemon_threads = True
    threading.Thread(target=servidor.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    try:
        yield f"http://127.0.0.1:{servidor.server_address[1]}", arquivos, handler
    finally:
        servidor.shutdown()
        servidor.server_close()


def test_download_resumes_cut_and_stalled_transfers_and_checks_each_zip(
        compartilhamento: Tuple[str, Dict[str, bytes], "type[_Compartilhamento]"], tmp_path: Path) -> None:
    base, arquivos, handler = compartilhamento
    pasta = baixar_mes(pasta=tmp_path / "baixado", progresso=False, base=base, token=TOKEN, espera=0.01,
                       tempo_limite=0.5)
    assert {p.name: p.read_bytes() for p in pasta.iterdir()} == arquivos  # o mês mais recente, inteiro
    retomadas = {r.split()[0] for r in handler.ranges}
    assert retomadas == set(arquivos)  # cada corte foi retomado com Range
    assert handler.tentativas["Cnaes.zip"] == 4  # cortado, travado, estragado, e de novo do zero
    # De novo: nada a baixar, nada pedido.
    antes = sum(handler.tentativas.values())
    baixar_mes(pasta=pasta, progresso=False, base=base, token=TOKEN)
    assert sum(handler.tentativas.values()) == antes
    with pytest.raises(ErroDeDownload, match="2026-12 não publicado"):
        baixar_mes(mes="2026-12", pasta=tmp_path / "x", progresso=False, base=base, token=TOKEN)


def test_unreachable_share_is_one_line_exit_3(monkeypatch: pytest.MonkeyPatch, tmp_path: Path,
                                              capsys: pytest.CaptureFixture[str]) -> None:
    monkeypatch.setenv("LEXARO_DADOS_ABERTOS_URL", "http://127.0.0.1:1")
    assert cli.main(["registro", "baixar", "--pasta", str(tmp_path), "-q"]) == 3
    erro = capsys.readouterr().err
    assert erro.count("\n") == 1 and "não foi possível listar os meses" in erro
