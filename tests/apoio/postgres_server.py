"""A real PostgreSQL server for the tests, started once per session.

`servidor_postgres` runs initdb and the server in a temporary folder (as the
unprivileged `postgres` user when the tests run as root, since initdb refuses
root), on a free port of 127.0.0.1 with its socket in the same folder, and
stops it by pid at the end. `banco_postgres` gives each test a fresh database
URL on it. Where the server binaries are missing, the tests that use them skip.
"""

from __future__ import annotations

import contextlib
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import uuid
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional

import pytest

_PASTAS_BIN = ["/usr/lib/postgresql/15/bin", "/usr/local/bin", "/usr/bin"]


def _binario(nome: str) -> Optional[str]:
    for pasta in _PASTAS_BIN:
        p = Path(pasta) / nome
        if p.is_file() and os.access(p, os.X_OK):
            return str(p)
    return shutil.which(nome)


def _porta_livre() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def _como_postgres() -> Dict[str, Any]:
    if os.geteuid() != 0:
        return {}
    try:
        pwd.getpwnam("postgres")
    except KeyError:
        raise ServidorIndisponivel("rodando como root e sem o usuário 'postgres' para o initdb") from None
    return {"user": "postgres", "group": "postgres"}


class ServidorIndisponivel(Exception):
    """Os binários do servidor (ou o psycopg) não estão nesta máquina."""


@contextlib.contextmanager
def servidor_temporario(shared_buffers: str = "64MB") -> Iterator[str]:
    """Inicia um servidor PostgreSQL descartável; dá a URL do banco `postgres`."""
    initdb, postgres = _binario("initdb"), _binario("postgres")
    if not initdb or not postgres:
        raise ServidorIndisponivel("PostgreSQL 15 não instalado (initdb/postgres ausentes)")
    try:
        import psycopg
    except ImportError:
        raise ServidorIndisponivel("psycopg não instalado") from None
    usuario = _como_postgres()
    base = Path(tempfile.mkdtemp(prefix="lexaro-pg-"))
    if usuario:
        info = pwd.getpwnam("postgres")
        os.chown(base, info.pw_uid, info.pw_gid)
    dados = base / "dados"
    # O servidor é um programa à parte: nada do ambiente de instrumentação dos
    # testes (LD_PRELOAD de um sanitizador, por exemplo) deve entrar nele.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "ASAN_", "UBSAN_", "LSAN_"))}
    subprocess.run([initdb, "-D", str(dados), "-U", "postgres", "--auth=trust", "-E", "UTF8", "--no-sync",
                    "--locale=C"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=base, env=env,
                   timeout=120, **usuario)
    porta = _porta_livre()
    log = open(base / "servidor.log", "wb")
    proc = subprocess.Popen(
        [postgres, "-D", str(dados), "-p", str(porta), "-k", str(base), "-c", "listen_addresses=127.0.0.1",
         "-c", "fsync=off", "-c", "synchronous_commit=off", "-c", "full_page_writes=off",
         "-c", "max_connections=60", "-c", f"shared_buffers={shared_buffers}"],
        stdout=log, stderr=subprocess.STDOUT, cwd=base, env=env, **usuario)
    url = f"postgresql://postgres@127.0.0.1:{porta}/postgres"
    try:
        prazo = time.monotonic() + 30
        while True:
            try:
                psycopg.connect(url, connect_timeout=2).close()
                break
            except psycopg.OperationalError:
                if proc.poll() is not None or time.monotonic() > prazo:
                    raise RuntimeError("PostgreSQL não iniciou: " + (base / "servidor.log").read_text()[-2000:])
                time.sleep(0.1)
        yield url
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)  # desligamento rápido
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        log.close()
        shutil.rmtree(base, ignore_errors=True)


@pytest.fixture(scope="session")
def servidor_postgres() -> Iterator[str]:
    """URL (postgresql://) do servidor da sessão, banco `postgres`."""
    try:
        with servidor_temporario() as url:
            yield url
    except ServidorIndisponivel as e:
        pytest.skip(f"{e}: testes com PostgreSQL pulados")


@pytest.fixture
def banco_postgres(servidor_postgres: str) -> Iterator[str]:
    """Um banco novo no servidor da sessão, apagado depois do teste."""
    import psycopg

    nome = "t_" + uuid.uuid4().hex[:12]
    with psycopg.connect(servidor_postgres, autocommit=True) as con:
        con.execute(f"CREATE DATABASE {nome}")
    try:
        yield servidor_postgres.rsplit("/", 1)[0] + "/" + nome
    finally:
        with psycopg.connect(servidor_postgres, autocommit=True) as con:
            con.execute(f"DROP DATABASE IF EXISTS {nome} WITH (FORCE)")


__all__: List[str] = ["servidor_postgres", "banco_postgres", "servidor_temporario", "ServidorIndisponivel"]
