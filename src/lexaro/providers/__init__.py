"""Provedores de respostas: OpenAI, Azure OpenAI e o local, por regras."""

from .base import ProviderAnswer
from .local import LocalProvider

__all__ = ["ProviderAnswer", "LocalProvider"]
