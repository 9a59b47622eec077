"""O banco do registro importado dos dados abertos (SQLite ou PostgreSQL), só
para leitura: `Registro` consulta por CNPJ e busca por nome."""

from .conexao import ErroDeBanco
from .consultas import Registro

__all__ = ["ErroDeBanco", "Registro"]
