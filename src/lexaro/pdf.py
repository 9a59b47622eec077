"""Texto de um PDF, página por página, com pypdfium2."""

from __future__ import annotations

import os
from typing import List, Union

import pypdfium2 as pdfium
import pypdfium2.raw as pdfium_c

from .errors import CorruptPDFError, EmptyPDFError, EncryptedPDFError, NoTextLayerError, NotAPDFError

PathLike = Union[str, "os.PathLike[str]"]

# O cabeçalho "%PDF-" pode vir depois de lixo, desde que nos primeiros 1024 bytes.
_HEADER_WINDOW = 1024


def _fspath(path) -> str:
    if isinstance(path, (str, os.PathLike)):
        p = os.fspath(path)
        if isinstance(p, str):
            return p
    raise TypeError(f"path deve ser str ou os.PathLike, não {type(path).__name__}")


def _clean(text: str) -> str:
    # PDFium separa as linhas com CRLF e marca hifenização suave com \x02.
    return text.replace("\r\n", "\n").replace("\r", "\n").replace("\x02", "").replace("\x00", "")


def read_pdf_pages(path: PathLike) -> List[str]:
    """Lê o texto de cada página do PDF em `path`.

    Levanta FileNotFoundError se o arquivo não existe e uma subclasse de
    PDFError (ValueError) com o caminho e o motivo quando o arquivo não é
    um PDF, é protegido por senha, está danificado, não tem páginas ou não
    tem camada de texto (documento digitalizado).
    """
    p = _fspath(path)
    if not os.path.exists(p):
        raise FileNotFoundError(f"Arquivo não encontrado: {p}")
    if os.path.isdir(p):
        raise NotAPDFError(p, "o caminho é um diretório, não um arquivo")
    with open(p, "rb") as fh:
        head = fh.read(_HEADER_WINDOW)
    if not head:
        raise NotAPDFError(p, "o arquivo está vazio (0 bytes)")
    if b"%PDF-" not in head:
        raise NotAPDFError(p, "o arquivo não é um PDF (cabeçalho %PDF ausente)")

    try:
        doc = pdfium.PdfDocument(p)
    except pdfium.PdfiumError as exc:
        code = getattr(exc, "err_code", None)
        if code == pdfium_c.FPDF_ERR_PASSWORD:
            raise EncryptedPDFError(p, "o PDF é protegido por senha (criptografado)") from None
        if code == pdfium_c.FPDF_ERR_SECURITY:
            raise EncryptedPDFError(p, "o PDF usa um esquema de segurança não suportado") from None
        raise CorruptPDFError(p, f"o PDF está danificado ou incompleto ({exc})") from None

    try:
        n = len(doc)
        if n == 0:
            raise EmptyPDFError(p, "o documento não tem páginas")
        pages = []
        for i in range(n):
            page = doc[i]
            try:
                textpage = page.get_textpage()
                try:
                    pages.append(_clean(textpage.get_text_range()))
                finally:
                    textpage.close()
            finally:
                page.close()
    finally:
        doc.close()

    if not any(t.strip() for t in pages):
        raise NoTextLayerError(
            p,
            f"nenhuma das {n} página(s) tem camada de texto (documento digitalizado ou em branco; "
            "é preciso OCR antes da extração)",
        )
    return pages


def join_pages(pages: List[str]) -> str:
    """Texto único do documento, com uma linha em branco entre as páginas."""
    return "\n\n".join(t.strip("\n") for t in pages)
