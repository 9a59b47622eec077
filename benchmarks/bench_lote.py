#!/usr/bin/env python3
"""Batches through the command line, end to end, as a user runs them.

Run: PYTHONPATH=src python3 benchmarks/bench_lote.py [--latencia 2.0] [--n 1000]

(a) local provider, N copies of the example contracts, `registro servir` on
    loopback, --jobs 2: contracts per second (wall time of the whole command,
    start-up included) and the output complete, one record per file.
(b) a hosted model played by a local OpenAI-compatible server with a fixed
    latency per request (--latencia; 2 s is the target's figure), 50
    contracts with --jobs 10 against --jobs 1. Each contract asks 3 questions.
(c) a Dask LocalCluster of 2 worker processes, N contracts, one worker
    killed with SIGKILL in the middle (the scheduler's allowed-failures set to
    0, so the batch's own retry does the work): nothing lost, throughput.
(d) Ctrl-C: time from SIGINT (to the process group, as a terminal sends it)
    to the exit of the command, with and without --jobs.

Targets: (a) >= 100 contracts/s; (b) --jobs 10 at most 1/8 of --jobs 1.
"""
import argparse
import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

RAIZ = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(RAIZ / "tests" / "apoio"))

from lexaro_contract import registro  # noqa: E402
from modelo_falso import ModeloFalso  # noqa: E402


def copias(pasta, n):
    fontes = sorted((RAIZ / "examples" / "contratos").glob("*.pdf"))
    pasta.mkdir(parents=True, exist_ok=True)
    arquivos = []
    for i in range(n):
        destino = pasta / f"{i:05d}_{fontes[i % len(fontes)].name}"
        shutil.copyfile(fontes[i % len(fontes)], destino)
        arquivos.append(str(destino))
    return arquivos


def rodar(env, arquivos, *extra, saida=None, interromper_em=None, vezes=1):
    """Runs `verificar`; returns (exit status, seconds, seconds from SIGINT to exit)."""
    argv = [sys.executable, "-m", "lexaro_contract", "verificar", *arquivos, "--quiet", *extra]
    if saida:
        argv += ["--saida", str(saida)]
    inicio = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            start_new_session=True)
    apos_sinal = None
    if interromper_em is not None:
        interromper_em(proc)
        t = time.perf_counter()
        for _ in range(vezes):
            os.killpg(proc.pid, signal.SIGINT)
            time.sleep(0.05)
        proc.wait()
        apos_sinal = time.perf_counter() - t
    _, err = proc.communicate()
    if proc.returncode not in (0, 1, 2, 130):
        print(err.decode(), file=sys.stderr)
    return proc.returncode, time.perf_counter() - inicio, apos_sinal


def registros(saida):
    linhas = Path(saida).read_text(encoding="utf-8").splitlines()
    dados = [json.loads(linha) for linha in linhas]
    return dados, len({d["arquivo"] for d in dados})


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1000)
    ap.add_argument("--latencia", type=float, default=2.0)
    ap.add_argument("--hospedados", type=int, default=50)
    ap.add_argument("--partes", default="abcd", help="which parts to run (default: abcd)")
    opts = ap.parse_args()

    tmp = Path(tempfile.mkdtemp(prefix="bench_lote_"))
    srv, base = registro.iniciar_em_segundo_plano(RAIZ / "examples" / "registro")
    modelo = ModeloFalso(latencia=opts.latencia)
    env = dict(os.environ, PYTHONPATH=str(Path(registro.__file__).resolve().parents[2]), LEXARO_PROVIDER="local",
               OPENAI_API_KEY="sk-bench-0000",
               OPENAI_BASE_URL=modelo.url, LEXARO_BRASILAPI_URL=base, LEXARO_RECEITAWS_URL=base,
               LEXARO_CASADOSDADOS_URL=base)
    linhas = []
    try:
        arquivos = copias(tmp / "contratos", opts.n)

        # (a) local provider, --jobs 2. The machine is shared: the CPU spent
        # (command, its workers and the registry server) gives the rate that
        # two free cores would reach, beside the wall-clock one.
        if "a" in opts.partes:
            saida = tmp / "a.jsonl"
            filhos, proprio = resource.getrusage(resource.RUSAGE_CHILDREN), resource.getrusage(resource.RUSAGE_SELF)
            codigo, s, _ = rodar(env, arquivos, "--jobs", "2", saida=saida)
            filhos2, proprio2 = resource.getrusage(resource.RUSAGE_CHILDREN), resource.getrusage(resource.RUSAGE_SELF)
            cpu = sum(getattr(b, c) - getattr(a, c) for a, b in ((filhos, filhos2), (proprio, proprio2))
                      for c in ("ru_utime", "ru_stime"))
            dados, distintos = registros(saida)
            erros = sum("erro" in d for d in dados)
            linhas.append(("(a) local, --jobs 2, registro servir", f"{opts.n} contratos", f"{s:.2f} s",
                           f"{opts.n / s:.0f} contratos/s", f"saída {len(dados)} registros, {distintos} arquivos, "
                           f"{erros} erros, código {codigo}"))
            linhas.append(("(a) CPU gasta (comando + processos + registro)", "", f"{cpu:.2f} s",
                           f"{2 * opts.n / cpu:.0f} contratos/s", "com 2 núcleos livres (n / (CPU / 2)), "
                           f"carga da máquina {os.getloadavg()[0]:.1f}"))

        # (b) hosted model with latency, --jobs 1 against --jobs 10
        poucos = arquivos[:opts.hospedados]
        tempos = {}
        for jobs in ((10, 1) if "b" in opts.partes else ()):
            saida = tmp / f"b{jobs}.jsonl"
            antes = modelo.pedidos
            codigo, tempos[jobs], _ = rodar(env, poucos, "--provider", "openai", "--jobs", str(jobs), saida=saida)
            dados, distintos = registros(saida)
            linhas.append((f"(b) modelo hospedado ({opts.latencia:g} s/pedido), --jobs {jobs}",
                           f"{len(poucos)} contratos", f"{tempos[jobs]:.1f} s",
                           f"{len(poucos) / tempos[jobs]:.2f} contratos/s",
                           f"{modelo.pedidos - antes} pedidos, {distintos} registros, código {codigo}"))
        if tempos:
            linhas.append(("(b) razão --jobs 10 / --jobs 1", "", "", f"{tempos[10] / tempos[1]:.3f}",
                           "alvo <= 0.125"))

        # (c) Dask LocalCluster, 2 workers, one killed mid-batch
        try:
            import dask
            import distributed
        except ImportError:
            linhas.append(("(c) Dask", "", "", "", "distributed não instalado"))
        if "c" in opts.partes and "distributed" in sys.modules:
            with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
                    distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                             dashboard_address=None, silence_logs=50) as cluster, \
                    distributed.Client(cluster) as cliente:
                vitima = list(cliente.run(os.getpid).values())[0]
                saida = tmp / "c.jsonl"

                def matar_no_meio(proc):
                    def vigiar():
                        while proc.poll() is None:
                            if saida.exists() and saida.stat().st_size > 0 and \
                                    sum(1 for _ in open(saida, "rb")) >= opts.n // 3:
                                os.kill(vitima, signal.SIGKILL)
                                return
                            time.sleep(0.05)
                    threading.Thread(target=vigiar, daemon=True).start()

                inicio = time.perf_counter()
                proc = subprocess.Popen([sys.executable, "-m", "lexaro_contract", "verificar", *arquivos, "--quiet",
                                         "--dask", cluster.scheduler_address, "--saida", str(saida)],
                                        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                matar_no_meio(proc)
                _, err = proc.communicate()
                s = time.perf_counter() - inicio
                dados, distintos = registros(saida)
                morta = vitima not in cliente.run(os.getpid).values()
                linhas.append(("(c) Dask LocalCluster 2 processos, 1 morto", f"{opts.n} contratos", f"{s:.2f} s",
                               f"{opts.n / s:.0f} contratos/s",
                               f"{len(dados)} registros, {distintos} arquivos, "
                               f"{sum('erro' in d for d in dados)} erros, trabalhador morto: {morta}, "
                               f"código {proc.returncode}"))

        # (d) Ctrl-C timings
        def depois_do_primeiro_pedido(proc):
            modelo.recebeu.clear()
            modelo.recebeu.wait(30)
            time.sleep(0.3)

        def depois_de(segundos):
            return lambda proc: time.sleep(segundos)

        for nome, extra, espera, vezes in [] if "d" not in opts.partes else [
            ("(d) Ctrl-C, local, sem --jobs", (), depois_de(1.5), 1),
            ("(d) Ctrl-C, local, --jobs 2", ("--jobs", "2"), depois_de(1.5), 1),
            ("(d) Ctrl-C duplo, local, --jobs 2", ("--jobs", "2"), depois_de(1.5), 2),
            ("(d) Ctrl-C, hospedado, sem --jobs", ("--provider", "openai"), depois_do_primeiro_pedido, 1),
            ("(d) Ctrl-C, hospedado, --jobs 10", ("--provider", "openai", "--jobs", "10"),
             depois_do_primeiro_pedido, 1),
            ("(d) Ctrl-C duplo, hospedado, --jobs 10", ("--provider", "openai", "--jobs", "10"),
             depois_do_primeiro_pedido, 2),
        ]:
            saida = tmp / "d.jsonl"
            saida.unlink(missing_ok=True)
            codigo, _, apos = rodar(env, arquivos, *extra, saida=saida, interromper_em=espera, vezes=vezes)
            linhas.append((nome, "", f"{apos:.2f} s", "", f"código {codigo}"))
    finally:
        modelo.fechar()
        srv.shutdown()
        srv.server_close()
        shutil.rmtree(tmp, ignore_errors=True)

    largura = [max(len(str(l[i])) for l in linhas) for i in range(5)]
    cab = ("operação", "entrada", "tempo", "taxa", "observação")
    largura = [max(w, len(c)) for w, c in zip(largura, cab)]
    for linha in [cab, tuple("-" * w for w in largura)] + linhas:
        print("  ".join(str(c).ljust(w) for c, w in zip(linha, largura)).rstrip())


if __name__ == "__main__":
    main()
