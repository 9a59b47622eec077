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

    def __init__(self, path: Union[str, "os.PathLike[str]"], motivo: str) -> None:
        self.path = os.fspath(path)
        self.motivo = motivo
        super().__init__(f"Não foi possível ler o PDF '{self.path}': {motivo}")

    def __reduce__(self) -> "tuple[type, tuple[str, str]]":
        # chega inteiro de um processo de trabalho de um lote
        return (type(self), (self.path, self.motivo))


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


class DocumentTooLargeError(PDFError):
    """O PDF passa dos limites de leitura (caracteres por página ou por
    documento, ou bytes de conteúdo descomprimido): o documento é recusado
    antes de consumir memória e tempo sem limite."""


class OCRUnavailableError(NoTextLayerError):
    """O documento é digitalizado e o programa de OCR (Tesseract, com os
    dados de português) não está instalado."""


class OCRError(PDFError):
    """O OCR de uma página digitalizada falhou."""


class AnswerError(LexaroError, ValueError):
    """A resposta do modelo não pôde ser usada (recusa, resposta vazia ou truncada)."""


class ConfigurationError(LexaroError, ValueError):
    """O cliente foi configurado com um valor que não pode ser usado (um
    endpoint que não é um endereço http(s) com um nome de servidor)."""
