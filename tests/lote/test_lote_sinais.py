"""The command line as a process: Ctrl-C (once, twice, with and without
--jobs), a reader that closes the pipe, terminals without emoji, and pool
workers that end with their batch."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import lexaro_contract
from lexaro_contract import registro
from modelo_falso import ModeloFalso

RAIZ = Path(__file__).resolve().parents[2]
PACOTES = str(Path(lexaro_contract.__file__).resolve().parents[1])  # o pacote em uso: instalado ou src/
PDFS = [str(p) for p in sorted((RAIZ / "examples" / "contratos").glob("*.pdf"))]


@pytest.fixture(scope="module")
def ambiente_do_comando():
    srv, base = registro.iniciar_em_segundo_plano(RAIZ / "examples" / "registro")
    modelo = ModeloFalso(latencia=1.0)
    env = dict(os.environ, PYTHONPATH=PACOTES, OPENAI_API_KEY="sk-teste-0123", OPENAI_BASE_URL=modelo.url,
               LEXARO_PROVIDER="local", LEXARO_BRASILAPI_URL=base, LEXARO_RECEITAWS_URL=base,
               LEXARO_CASADOSDADOS_URL=base)
    env.pop("PYTHONIOENCODING", None)
    yield env, modelo
    modelo.fechar()
    srv.shutdown()
    srv.server_close()


def iniciar(env, *args, saida=subprocess.PIPE):
    return subprocess.Popen([sys.executable, "-X", "faulthandler", "-m", "lexaro_contract", "verificar", *args],
                            env=env, stdout=saida, stderr=saida, start_new_session=True)


def muitos(tmp_path, n):
    dados = Path(PDFS[0]).read_bytes()
    arquivos = [tmp_path / f"c{i:04d}.pdf" for i in range(n)]
    for a in arquivos:
        a.write_bytes(dados)
    return [str(a) for a in arquivos]


@pytest.mark.parametrize("provider, jobs, vezes", [("openai", 1, 1), ("openai", 3, 2), ("local", 1, 2), ("local", 2, 1)])
def test_ctrl_c_stops_the_batch_at_once(ambiente_do_comando, tmp_path, provider, jobs, vezes):
    env, modelo = ambiente_do_comando
    arquivos = muitos(tmp_path, 6 if provider == "openai" else 3000)
    saida = tmp_path / "r.jsonl"
    antes = modelo.pedidos
    modelo.recebeu.clear()
    proc = iniciar(env, *arquivos, "--provider", provider, "--jobs", str(jobs), "--saida", str(saida))
    if provider == "openai":
        assert modelo.recebeu.wait(30)
        time.sleep(0.3)  # every thread has sent its first request
    else:
        while not saida.exists() or saida.stat().st_size == 0:
            time.sleep(0.05)
    em_voo = modelo.pedidos - antes
    inicio, sinal = time.monotonic(), time.time()
    for _ in range(vezes):  # the terminal signals the whole process group
        os.killpg(proc.pid, signal.SIGINT)
        time.sleep(0.1)
    _, err = proc.communicate(timeout=10)
    saiu = time.monotonic() - inicio
    assert proc.returncode == 130, err.decode()
    assert b"Traceback" not in err and err.decode().strip().startswith("lexaro-contract: interrompido")
    # No verification starts after the Ctrl-C.
    assert modelo.pedidos - antes == em_voo <= jobs
    registros = saida.read_text(encoding="utf-8").splitlines()
    assert len(registros) < len(arquivos) and all(r.startswith('{"arquivo": ') for r in registros)
    # The batch stops at once: its last record (a file in flight at the signal) is written soon after it.
    assert saida.stat().st_mtime - sinal < 2.0
    # Nothing in flight or idle holds the exit up: abandoned threads are left, pool processes
    # are killed. The bound is loose because the interpreter's own exit is CPU work that a
    # loaded machine stretches; the stop itself is timed by the last record above.
    assert saiu < 4.0


def test_a_closed_pipe_ends_quietly(ambiente_do_comando, tmp_path):
    env, _ = ambiente_do_comando
    saida = tmp_path / "r.jsonl"
    proc = iniciar(env, *muitos(tmp_path, 200), "--jobs", "2", "--saida", str(saida))
    with proc:
        primeira = proc.stdout.readline()
        proc.stdout.close()
        err = proc.stderr.read()
    assert proc.wait(10) == 141
    assert b": APROVADO" in primeira and err == b"", err.decode()
    assert "erro" not in saida.read_text(encoding="utf-8")


@pytest.mark.parametrize("codificacao", ["ascii", "latin-1"])
@pytest.mark.parametrize("args", [[PDFS[0]], PDFS])
def test_terminals_without_emoji_get_replacements(ambiente_do_comando, codificacao, args):
    env, _ = ambiente_do_comando
    proc = iniciar(dict(env, PYTHONIOENCODING=codificacao), *args)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == (0 if len(args) == 1 else 1) and b"Traceback" not in err
    assert b"\r" not in err  # no progress frames in a redirected log
    out.decode(codificacao)
    assert b"APROVADO" in out and b"?" in out + err


PAI_COM_TRABALHADOR_OCUPADO = """
import time
from lexaro_contract import lote
if __name__ == "__main__":
    pool = lote.fabrica_de_processos(1)()
    pool.submit(time.sleep, 120)
    time.sleep(0.5)
    print(*[p.pid for p in pool._processes.values()], flush=True)
    time.sleep(120)
"""


def test_pool_workers_end_with_their_batch(ambiente_do_comando, tmp_path):
    # A worker busy with a long file when its batch gets a SIGKILL.
    script = tmp_path / "pai.py"
    script.write_text(PAI_COM_TRABALHADOR_OCUPADO)
    with subprocess.Popen([sys.executable, str(script)], env=ambiente_do_comando[0], stdout=subprocess.PIPE) as pai:
        trabalhador = int(pai.stdout.readline())
        os.kill(pai.pid, signal.SIGKILL)
    prazo = time.monotonic() + 3
    while time.monotonic() < prazo and Path(f"/proc/{trabalhador}").exists():
        time.sleep(0.05)
    assert not Path(f"/proc/{trabalhador}").exists() or "zombie" in Path(f"/proc/{trabalhador}/status").read_text()
