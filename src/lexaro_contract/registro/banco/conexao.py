"""A conexão com um banco do registro: um arquivo SQLite ou uma URL
``postgresql://``, e o erro de um banco que não se pode abrir ou ler."""

from __future__ import annotations

from typing import Any

# O esquema do PostgreSQL em que o registro fica.
ESQUEMA_PG = "registro"


class ErroDeBanco(Exception):
    """Um banco do registro ausente, ilegível ou inalcançável, dito numa linha."""


class BancoTrocado(Exception):
    """O banco aberto foi substituído por uma importação nova (reabra-o)."""


def eh_url_pg(destino: str) -> bool:
    return destino.startswith(("postgresql://", "postgres://"))


def conectar_pg(url: str) -> Any:
    try:
        import psycopg
    except ImportError:
        raise ErroDeBanco("PostgreSQL exige o pacote psycopg (pip install 'lexaro-contract[postgres]')") \
            from None
    try:
        return psycopg.connect(url, connect_timeout=10)
    except psycopg.Error as e:
        detalhe = " ".join(str(e).split())
        raise ErroDeBanco(f"não foi possível conectar ao PostgreSQL: {detalhe}") from None
