"""Verificação de legitimidade de contratos comerciais brasileiros."""

__version__ = "0.1.0"
