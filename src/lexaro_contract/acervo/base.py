"""O banco e a pasta de arquivos de um acervo, e as suas migrações.

DESTINO é um arquivo SQLite (``acervo.db``; os PDFs ficam em
``acervo.db.arquivos/`` ao lado) ou uma URL ``postgresql://`` (os PDFs ficam
na pasta de ``LEXARO_ACERVO_ARQUIVOS``, padrão ``acervo-arquivos`` na pasta
atual). Abrir um acervo o cria e o migra até a última versão do esquema.
"""

from __future__ import annotations

import datetime as dt
import os
import tempfile
from pathlib import Path
from typing import Any, Optional, Tuple

import sqlalchemy as sa
from sqlalchemy.engine import Engine

from ..erros import ErroDeUso

PASTA_MIGRACOES = Path(__file__).resolve().parent / "migracoes"


def agora(daqui_a: dt.timedelta = dt.timedelta(0)) -> str:
    """O instante em UTC (mais `daqui_a`) como o banco o guarda e o compara: texto ISO."""
    return (dt.datetime.now(dt.timezone.utc) + daqui_a).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def eh_postgres(destino: str) -> bool:
    return destino.startswith(("postgresql://", "postgres://", "postgresql+psycopg://"))


def _url_e_pasta(destino: str, arquivos: Optional[str]) -> Tuple[str, Path]:
    if eh_postgres(destino):
        url = "postgresql+psycopg://" + destino.split("://", 1)[1]
        return url, Path(arquivos or os.environ.get("LEXARO_ACERVO_ARQUIVOS") or "acervo-arquivos")
    caminho = Path(destino)
    if caminho.is_dir():
        raise ErroDeUso(f"o acervo deve ser um arquivo SQLite ou uma URL postgresql://, não uma pasta: {destino}")
    caminho.parent.mkdir(parents=True, exist_ok=True)
    return "sqlite:///" + str(caminho.resolve()), Path(arquivos or str(caminho) + ".arquivos")


def _motor(url: str) -> Engine:
    if not url.startswith("sqlite"):
        return sa.create_engine(url, pool_pre_ping=True)
    motor = sa.create_engine(url, connect_args={"check_same_thread": False, "timeout": 30})

    @sa.event.listens_for(motor, "connect")
    def _ao_conectar(con: Any, _registro: Any) -> None:
        cursor = con.cursor()
        cursor.execute("PRAGMA journal_mode=WAL")
        cursor.execute("PRAGMA foreign_keys=ON")
        cursor.execute("PRAGMA synchronous=NORMAL")
        cursor.close()

    return motor


def migrar(motor: Engine) -> None:
    """Leva o banco à última versão do esquema (cria as tabelas num banco novo)."""
    from alembic import command
    from alembic.config import Config

    cfg = Config()
    cfg.set_main_option("script_location", str(PASTA_MIGRACOES))
    with motor.begin() as conexao:
        cfg.attributes["conexao"] = conexao
        command.upgrade(cfg, "head")


class Base:
    """O motor do banco e a pasta dos PDFs."""

    def __init__(self, destino: str, arquivos: Optional[str] = None) -> None:
        self.destino = destino
        url, self.pasta = _url_e_pasta(destino, arquivos)
        self.motor = _motor(url)
        migrar(self.motor)
        self.pasta.mkdir(parents=True, exist_ok=True)

    def fechar(self) -> None:
        self.motor.dispose()

    # ------------------------------------------------------------ a pasta dos PDFs

    def caminho_do_arquivo(self, hash_: str) -> Path:
        return self.pasta / hash_[:2] / f"{hash_}.pdf"

    def _guardar_bytes(self, conteudo: bytes, hash_: str) -> None:
        """Grava o PDF cujo sha256 é `hash_` (arquivo novo e troca de nome: nada pela metade)."""
        final = self.caminho_do_arquivo(hash_)
        if not final.exists():
            final.parent.mkdir(parents=True, exist_ok=True)
            fd, tmp = tempfile.mkstemp(dir=final.parent, prefix=".", suffix=".tmp")
            try:
                with os.fdopen(fd, "wb") as f:
                    f.write(conteudo)
                os.replace(tmp, final)
            except BaseException:
                Path(tmp).unlink(missing_ok=True)
                raise
