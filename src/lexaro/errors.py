"""Erros próprios do motor de extração."""

from __future__ import annotations

import os
from typing import Union


class LexaroError(Exception):
    """Base dos erros do motor de extração."""


class PDFError(LexaroError, ValueError):
    """O arquivo não pôde ser lido como um PDF com texto.

    `path` é o caminho do arquivo e `motivo` a causa, em texto.
    """

    def __init__(self, path: Union[str, os.PathLike[str]], motivo: str) -> None:
        self.path = str(path)
        self.motivo = motivo
        super().__init__(f"Não foi possível ler o PDF '{self.path}': {motivo}")


class NotAPDFError(PDFError):
    """O arquivo não é um PDF."""


class EncryptedPDFError(PDFError):
    """O PDF é protegido por senha."""


class CorruptPDFError(PDFError):
    """O PDF está danificado ou truncado."""


class EmptyPDFError(PDFError):
    """O PDF não tem páginas."""


class NoTextLayerError(PDFError):
    """Nenhuma página do PDF tem texto (documento digitalizado ou em branco)."""


class AnswerError(LexaroError, ValueError):
    """A resposta do modelo não pôde ser usada (recusa, resposta vazia ou truncada)."""
