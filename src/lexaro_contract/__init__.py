"""Verificação de legitimidade de contratos comerciais brasileiros."""

from .checker import verificar_contrato

__version__ = "0.1.0"
