"""Motor de extração de dados de documentos PDF.

Lê o texto do PDF (pypdfium2) e responde às perguntas registradas com um
modelo de linguagem (OpenAI ou Azure OpenAI, resposta tipada pelo modelo
pydantic da pergunta) ou com o provedor local, por regras, sem rede.
"""

from .client import Lexaro
from .errors import (
    AnswerError,
    ConfigurationError,
    CorruptPDFError,
    DocumentTooLargeError,
    EmptyPDFError,
    EncryptedPDFError,
    LexaroError,
    NoTextLayerError,
    NotAPDFError,
    OCRError,
    OCRUnavailableError,
    PDFError,
)
from .pdf import ReadLimits, ScanPolicy, join_pages, read_document, read_pdf_pages
from .questions import Question, QuestionConfig
from .results import DocumentResult, Metrics, QuestionResult

__all__ = [
    "Lexaro",
    "Question",
    "QuestionConfig",
    "DocumentResult",
    "QuestionResult",
    "Metrics",
    "read_pdf_pages",
    "read_document",
    "join_pages",
    "ReadLimits",
    "ScanPolicy",
    "LexaroError",
    "PDFError",
    "NotAPDFError",
    "EncryptedPDFError",
    "CorruptPDFError",
    "EmptyPDFError",
    "NoTextLayerError",
    "DocumentTooLargeError",
    "OCRUnavailableError",
    "OCRError",
    "AnswerError",
    "ConfigurationError",
]

__version__ = "0.1.0"
