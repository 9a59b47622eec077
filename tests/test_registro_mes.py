"""A month as it comes: missing and renamed files, partial months, empty months, links
and overlong lines, imported into real SQLite files and served on 127.0.0.1."""

import shutil
import threading
import time
import zipfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import requests

from lexaro_contract import registro
from lexaro_contract.registro import Registro
from lexaro_contract.registro.dados_abertos.baixar import ErroDeDownload, baixar_mes
from lexaro_contract.registro.dados_abertos.gerador import gerar
from lexaro_contract.registro.dados_abertos.importador import importar
from lexaro_contract.registro.dados_abertos.leitor import ErroDeImportacao

N, SEMENTE = 120, 3


@pytest.fixture(scope="module")
def mes(tmp_path_factory):
    pasta = tmp_path_factory.mktemp("dados") / "2026-10"
    gerar(pasta, N, SEMENTE)
    return pasta


def copia(mes, tmp_path, nome="m"):
    pasta = tmp_path / nome
    shutil.copytree(mes, pasta)
    return pasta


def test_old_names_zipped_or_extracted_import_like_the_current_ones(mes, tmp_path):
    pasta = copia(mes, tmp_path)
    for p in sorted(pasta.iterdir()):
        with zipfile.ZipFile(p) as z:
            membro = z.namelist()[0]
            if p.name.startswith("Estabelecimentos"):
                (pasta / membro).write_bytes(z.read(membro))       # extracted, under its own name
                p.unlink()
            else:
                p.rename(pasta / (membro + ".zip"))                 # the pre-2022 zip name
    importar(pasta, str(tmp_path / "a.sqlite"), progresso=False)
    importar(mes, str(tmp_path / "b.sqlite"), progresso=False)
    with Registro(str(tmp_path / "a.sqlite")) as a, Registro(str(tmp_path / "b.sqlite")) as b:
        assert a.info()["linhas"] == b.info()["linhas"] and not a.parcial


def test_missing_files_named_with_what_was_found_then_parcial_serves_503(mes, tmp_path):
    pasta = copia(mes, tmp_path)
    (pasta / "Empresas1.zip").rename(pasta / "empresas-parte-1.zip.baixando")
    (pasta / "Cnaes.zip").unlink()
    banco = str(tmp_path / "r.sqlite")
    with pytest.raises(ErroDeImportacao, match=r"Empresas1\.zip, Cnaes\.zip; a pasta tem no lugar: "
                                               r"empresas-parte-1\.zip\.baixando .*--parcial"):
        importar(pasta, banco, progresso=False)
    importar(pasta, banco, progresso=False, parcial=True)
    with Registro(banco) as reg:
        assert reg.parcial and reg.info()["parcial"] and "Cnaes.zip" in reg.info()["faltam"]
        presente = reg.buscar("LTDA", limite=1)[0]["cnpj"]
    srv, base = registro.iniciar_em_segundo_plano(lambda: Registro(banco))
    try:
        assert requests.get(base + "/saude", timeout=5).json()["parcial"] is True
        assert requests.get(base + "/api/cnpj/v1/" + presente, timeout=5).status_code == 200
        assert requests.get(base + "/api/cnpj/v1/11222333000181", timeout=5).status_code == 503
        assert requests.get(base + "/v1/cnpj/11222333000181", timeout=5).status_code == 503
    finally:
        srv.shutdown()
        srv.server_close()


def test_an_empty_or_shrunken_month_does_not_replace_a_good_one_without_forcar(mes, tmp_path):
    banco = str(tmp_path / "r.sqlite")
    importar(mes, banco, progresso=False)
    vazio = tmp_path / "vazio"
    vazio.mkdir()
    for p in mes.iterdir():
        with zipfile.ZipFile(p) as z, zipfile.ZipFile(vazio / p.name, "w") as novo:
            novo.writestr(z.namelist()[0], b"")
    with pytest.raises(ErroDeImportacao, match="nenhuma empresa"):
        importar(vazio, banco, progresso=False)
    menor = tmp_path / "menor"
    gerar(menor, N // 3, SEMENTE)
    with pytest.raises(ErroDeImportacao, match="menos da metade"):
        importar(menor, banco, progresso=False)
    with Registro(banco) as reg:
        assert reg.info()["linhas"]["empresas"] == N
    importar(menor, banco, progresso=False, forcar=True)
    with Registro(banco) as reg:
        assert reg.info()["linhas"]["empresas"] == N // 3


def test_links_out_of_the_folder_are_refused_and_long_lines_counted(mes, tmp_path):
    pasta = copia(mes, tmp_path)
    fora = tmp_path / "Naturezas.zip"
    (pasta / "Naturezas.zip").rename(fora)
    (pasta / "Naturezas.zip").symlink_to(fora)
    with pytest.raises(ErroDeImportacao, match="fora de .*Naturezas.zip"):
        importar(pasta, str(tmp_path / "r.sqlite"), progresso=False)
    (pasta / "Naturezas.zip").unlink()
    fora.rename(pasta / "Naturezas.zip")
    with zipfile.ZipFile(pasta / "Simples.zip") as z:
        membro = z.namelist()[0]
        dados = z.read(membro)
    with zipfile.ZipFile(pasta / "Simples.zip", "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(membro, b'"' + b"A" * (3 << 20) + b"\n" + dados)    # 3 MB without a line end
    r = importar(pasta, str(tmp_path / "r.sqlite"), progresso=False)
    assert r.ocorrencias["Simples: linhas de mais de 64 KiB (descartadas)"] == 1
    assert r.linhas["Simples"] == dados.count(b"\n")


class _SemFim(BaseHTTPRequestHandler):
    """A share that lists one 1,000-byte zip and then sends an endless body for it."""

    def log_message(self, *args):
        pass

    def do_PROPFIND(self):  # noqa: N802
        if self.path.rstrip("/").endswith("webdav"):
            itens = '<d:response><d:href>/public.php/webdav/2026-01/</d:href><d:propstat><d:prop><d:resourcetype>' \
                    '<d:collection/></d:resourcetype></d:prop></d:propstat></d:response>'
        else:
            itens = '<d:response><d:href>/public.php/webdav/2026-01/Cnaes.zip</d:href><d:propstat><d:prop>' \
                    '<d:resourcetype/><d:getcontentlength>1000</d:getcontentlength></d:prop></d:propstat></d:response>'
        dados = f'<?xml version="1.0"?><d:multistatus xmlns:d="DAV:">{itens}</d:multistatus>'.encode()
        self.send_response(207)
        self.send_header("Content-Length", str(len(dados)))
        self.end_headers()
        self.wfile.write(dados)

    def do_GET(self):  # noqa: N802
        self.send_response(200)
        self.end_headers()
        try:
            while True:
                self.wfile.write(b"x" * 65536)
        except OSError:
            pass


def test_a_download_stops_at_its_listed_size_and_a_month_is_a_month(tmp_path):
    with pytest.raises(ErroDeDownload, match="mês inválido"):
        baixar_mes("2024-06\n", tmp_path / "d", progresso=False)
    srv = ThreadingHTTPServer(("127.0.0.1", 0), _SemFim)
    srv.daemon_threads = True
    threading.Thread(target=srv.serve_forever, args=(0.05,), daemon=True).start()
    try:
        inicio = time.monotonic()
        with pytest.raises(ErroDeDownload, match="Cnaes.zip"):
            baixar_mes("2026-01", tmp_path / "d", progresso=False, base=f"http://127.0.0.1:{srv.server_address[1]}",
                       token="t", tentativas=2, espera=0.01)
        assert time.monotonic() - inicio < 10
        assert sum(p.stat().st_size for p in (tmp_path / "d").iterdir()) <= 1000
    finally:
        srv.shutdown()
        srv.server_close()


def test_a_shuffled_month_spilled_in_many_runs_gives_the_same_records(mes, tmp_path, monkeypatch):
    from lexaro_contract.registro.dados_abertos import fila_ordenada

    monkeypatch.setattr(fila_ordenada, "MAX_MEMORIA", 20_000)
    embaralhado = tmp_path / "2026-10"
    gerar(embaralhado, N, SEMENTE, embaralhar=True)
    importar(embaralhado, str(tmp_path / "e.sqlite"), progresso=False)
    importar(mes, str(tmp_path / "o.sqlite"), progresso=False)
    with Registro(str(tmp_path / "e.sqlite")) as e, Registro(str(tmp_path / "o.sqlite")) as o:
        cnpjs = [r["cnpj"] for r in o.buscar("LTDA", limite=N)]
        assert len(cnpjs) > 50
        def ficha(reg, c):      # partners come in the order of their rows, which the shuffle changed
            f = reg.consultar(c)
            return dict(f, qsa=sorted(f["qsa"], key=lambda s: (s["nome_socio"], s["cnpj_cpf_do_socio"])))
        assert [ficha(e, c) for c in cnpjs] == [ficha(o, c) for c in cnpjs]
