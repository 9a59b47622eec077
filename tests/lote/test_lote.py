"""Batches: registry outages are errors, the output file holds one record per
file and counts whole, hosted-model failures are said once, masked; the
runner retries a file whose worker died once, on any executor."""

import fcntl
import json
import os
import threading
import time
from dataclasses import replace
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from lexaro_contract import cli, cnpj, lote, registro
from lexaro_contract.checker import ContractChecker
from lexaro_contract.enderecos import Enderecos
from modelo_falso import ModeloFalso

EXEMPLOS = Path(__file__).resolve().parents[2] / "examples"
PDFS = [str(p) for p in sorted((EXEMPLOS / "contratos").glob("*.pdf"))]
CHAVE = "sk-teste-segredo-0123456789"


class BrasilAPIComFalha:
    """BrasilAPI that answers every lookup with the fault in `modo`."""

    def __init__(self):
        self.modo = "503"
        dono = self

        class H(BaseHTTPRequestHandler):
            def log_message(self, *a):
                pass

            def do_GET(self):
                if dono.modo == "lento":
                    time.sleep(1.0)
                corpo = b"<html>manutencao</html>" if dono.modo in ("html", "lento") else b'{"message": "x"}'
                try:
                    self.send_response(200 if dono.modo in ("html", "lento") else int(dono.modo))
                    self.send_header("Content-Length", str(len(corpo)))
                    self.end_headers()
                    self.wfile.write(corpo)
                except OSError:  # the client gave up waiting ("lento"): nothing to tell the test's stderr
                    pass

        self.srv = ThreadingHTTPServer(("127.0.0.1", 0), H)
        self.srv.daemon_threads = True
        threading.Thread(target=self.srv.serve_forever, daemon=True).start()
        self.url = f"http://127.0.0.1:{self.srv.server_address[1]}/api/cnpj/v1/{{cnpj}}"


@pytest.fixture
def brasilapi(registro_de_exemplo, apontar_registro, monkeypatch):
    falha = BrasilAPIComFalha()
    apontar_registro(replace(Enderecos.atuais(), brasil_api=falha.url))
    monkeypatch.setattr(cnpj, "REQUEST_TIMEOUT", 0.6)  # "lento" answers after 1 s
    yield falha
    falha.srv.shutdown()
    falha.srv.server_close()


def ler(saida):
    return [json.loads(linha) for linha in Path(saida).read_text(encoding="utf-8").splitlines()]


@pytest.mark.parametrize("modo, motivo", [
    ("404", None), ("400", None),
    ("503", "BrasilAPI: HTTP 503"), ("429", "BrasilAPI: HTTP 429"),
    ("html", "BrasilAPI: resposta ilegível (não é JSON)"), ("lento", "BrasilAPI: tempo esgotado"),
])
def test_registry_outage_is_an_error_and_is_retried(brasilapi, modo, motivo, tmp_path, capsys):
    brasilapi.modo = modo
    saida = tmp_path / "r.jsonl"
    argv = ["verificar", PDFS[0], "--quiet", "--sem-checagem-registro", "--saida", str(saida)]
    codigo = cli.main(argv)
    out, err = capsys.readouterr()
    # The Python API keeps its behaviour: the fallback service answers, a verdict.
    assert ContractChecker(provider="local", verbose=False).verificar(PDFS[0])["resultado_final"] == "APROVADO"
    if motivo is None:  # "not found" at BrasilAPI: ReceitaWS answers, a real verdict
        assert codigo == 0 and "resultado" in ler(saida)[0] and err == ""
        return
    assert codigo == 3 and out == ""
    assert ler(saida) == [{"arquivo": PDFS[0], "tipo_erro": "registro",
                           "erro": f"registro indisponível durante a verificação: {motivo}"}]
    assert err.count(motivo) == 1 and len(err.splitlines()) == 1
    brasilapi.modo = "404"
    assert cli.main(argv + ["--retomar"]) == 0
    assert [r["resultado"]["resultado_final"] for r in ler(saida)] == ["APROVADO"]


def test_exit_status_and_summary_count_the_whole_output(registro_de_exemplo, tmp_path, capsys):
    saida = str(tmp_path / "r.jsonl")
    assert cli.main(["verificar", *PDFS[:2], "--saida", saida, "--sem-checagem-registro"]) == 1
    capsys.readouterr()
    # Nothing left to verify: the earlier REPROVADO still decides the status.
    assert cli.main(["verificar", *PDFS[:2], "--saida", saida, "--retomar", "--sem-checagem-registro"]) == 1
    out, err = capsys.readouterr()
    assert out == "" and "Resumo: 1 APROVADO, 1 REPROVADO (2 já verificado(s)" in err
    assert len(ler(saida)) == 2


@pytest.mark.parametrize("conteudo, linha", [
    (b"nome;veredito\nx;y\n", 1),
    (b'{"arquivo": "a.pdf", "erro": "x"}\n{"outro": 1}\n{"arquivo": "b.pdf", "erro": "x"}\n', 2),
    (b"texto sem quebra no fim", 1),
])
def test_output_that_is_not_ours_is_refused_untouched(conteudo, linha, tmp_path, capsys):
    saida = tmp_path / "notas.jsonl"
    saida.write_bytes(conteudo)
    assert cli.main(["verificar", PDFS[0], "--saida", str(saida), "--provider", "local"]) == 3
    err = capsys.readouterr().err
    assert f"{saida}: a linha {linha} " in err and len(err.splitlines()) == 1
    assert saida.read_bytes() == conteudo


def test_second_batch_on_the_same_output_refuses(tmp_path, capsys):
    saida = tmp_path / "r.jsonl"
    with open(saida, "ab") as outro_lote:
        fcntl.flock(outro_lote.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        assert cli.main(["verificar", PDFS[0], "--saida", str(saida), "--provider", "local"]) == 3
    err = capsys.readouterr().err
    assert "em uso por outro lote" in err and str(saida) in err and len(err.splitlines()) == 1


@pytest.fixture
def modelo(registro_de_exemplo, monkeypatch):
    m = ModeloFalso()
    monkeypatch.setenv("OPENAI_API_KEY", CHAVE)
    monkeypatch.setenv("OPENAI_BASE_URL", m.url)
    yield m
    m.fechar()


@pytest.mark.parametrize("extra", [["--jobs", "2"], ["--json"]])
def test_a_refused_key_is_said_once_masked_and_stops_the_batch(modelo, extra, tmp_path, capsys):
    modelo.recusar_chave = True
    saida = tmp_path / "r.jsonl"
    arquivos = PDFS if extra[0] == "--jobs" else PDFS[:1]
    codigo = cli.main(["verificar", *arquivos, "--provider", "openai", "--saida", str(saida),
                       "--sem-checagem-registro", *extra])
    out, err = capsys.readouterr()
    assert codigo == 3
    assert err.count("o serviço do modelo recusou a credencial (OPENAI_API_KEY)") == 1
    assert len(err.splitlines()) == 1
    texto = out + err + saida.read_text(encoding="utf-8")
    assert CHAVE not in texto and "Incorrect API key provided: ***" in texto
    # Nothing new starts after the refusal: at most the files already in flight.
    assert modelo.pedidos <= 2
    if extra == ["--json"]:
        assert json.loads(out)["tipo_erro"] == "credencial"


def test_an_unreachable_model_is_said_once(registro_de_exemplo, monkeypatch, capsys):
    import socket

    with socket.socket() as livre:
        livre.bind(("127.0.0.1", 0))
        porta = livre.getsockname()[1]
    monkeypatch.setenv("OPENAI_API_KEY", CHAVE)
    monkeypatch.setenv("OPENAI_BASE_URL", f"http://127.0.0.1:{porta}/v1")
    assert cli.main(["verificar", *PDFS, "--provider", "openai", "--jobs", "2", "--quiet",
                     "--sem-checagem-registro"]) == 3
    out, err = capsys.readouterr()
    assert out == "" and len(err.splitlines()) == 1
    assert f"o serviço do modelo não responde (http://127.0.0.1:{porta}/v1): APIConnectionError" in err


def test_hosted_jobs_run_at_once_and_429_waits(modelo, tmp_path):
    modelo.latencia, modelo.limitar = 0.4, 1
    saida = tmp_path / "r.jsonl"
    inicio = time.monotonic()
    assert cli.main(["verificar", *PDFS, "--provider", "openai", "--jobs", "3", "--saida", str(saida),
                     "--quiet", "--sem-checagem-registro"]) == 0
    # The verifications overlap at the model (one of them waits out the 429, so at
    # least two are answered at once), and the 429's Retry-After of 1 s is what
    # is waited: nothing near a retry schedule of its own.
    assert modelo.most_at_once >= 2 and time.monotonic() - inicio < 8
    assert sorted(r["arquivo"] for r in ler(saida)) == PDFS and modelo.pedidos - 1 in (3, 3 * 3)


def matar_em_cada_pedido(modelo, pools, vezes):
    def vigiar():
        for _ in range(vezes):
            if not modelo.recebeu.wait(20):
                return
            modelo.recebeu.clear()
            for proc in list(pools[-1]._processes.values()):
                proc.kill()
    t = threading.Thread(target=vigiar, daemon=True)
    t.start()
    return t


@pytest.mark.parametrize("vezes, esperado", [(1, "resultado"), (2, "erro")])
def test_a_worker_killed_mid_file_is_retried_once_alone(modelo, vezes, esperado):
    modelo.latencia = 0.3
    pools = []

    def fabrica():
        pools.append(lote.fabrica_de_processos(1)())
        return pools[-1]

    vigia = matar_em_cada_pedido(modelo, pools, vezes)
    registros = list(lote.verificar_lote(PDFS[:1], fabrica, provider="openai"))
    vigia.join(5)
    assert len(registros) == 1 and esperado in registros[0] and len(pools) == 2
    if esperado == "erro":
        assert registros[0]["tipo_erro"] == "processo"


def test_dask_cluster_loses_nothing_when_a_worker_dies(modelo, monkeypatch, tmp_path, capsys):
    distributed = pytest.importorskip("distributed")
    import dask

    modelo.latencia = 0.2
    arquivos = []
    for i in range(6):
        arquivos.append(str(tmp_path / f"c{i}.pdf"))
        Path(arquivos[-1]).write_bytes(Path(PDFS[0]).read_bytes())
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                     # the scheduler's HTTP routes on a free port, not on 8787 (busy
                                     # when another cluster runs on this machine)
                                     scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                     silence_logs=50) as cluster, distributed.Client(cluster) as cliente:
        pids = list(cliente.run(os.getpid).values())
        vitima = threading.Thread(target=lambda: modelo.recebeu.wait(20) and os.kill(pids[0], 9), daemon=True)
        vitima.start()
        registros = list(lote.verificar_lote(arquivos, cliente, provider="openai"))
        assert sorted(r["arquivo"] for r in registros) == arquivos
        assert all("resultado" in r for r in registros)
        assert pids[0] not in cliente.run(os.getpid).values()  # the worker did die mid-batch
        # The command line on the same cluster writes the output itself.
        saida = tmp_path / "r.jsonl"
        assert cli.main(["verificar", *PDFS, "--provider", "openai", "--dask", cluster.scheduler_address,
                         "--saida", str(saida), "--quiet", "--sem-checagem-registro"]) == 0
        assert sorted(r["arquivo"] for r in ler(saida)) == PDFS
    monkeypatch.setitem(__import__("sys").modules, "distributed", None)
    assert cli.main(["verificar", PDFS[0], "--dask", "tcp://127.0.0.1:1", "--provider", "local"]) == 3
    assert '[dask]' in capsys.readouterr().err.splitlines()[-1]
