"""Texto de um PDF, página por página, com pypdfium2."""

from __future__ import annotations

import os
import re
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


def _load_error(p: str, exc: Exception) -> Exception:
    """Traduz a falha de abertura do PDFium num erro com o motivo.

    O código de erro do PDFium é o da última falha da biblioteca (pode ser
    velho), então a causa é conferida nos próprios bytes do arquivo.
    """
    code = getattr(exc, "err_code", None)
    with open(p, "rb") as fh:
        data = fh.read()
    if b"/Encrypt" in data:
        if code == pdfium_c.FPDF_ERR_SECURITY:
            return EncryptedPDFError(p, "o PDF usa um esquema de segurança não suportado")
        return EncryptedPDFError(p, "o PDF é protegido por senha (criptografado)")
    # O PDFium recusa abrir um documento cuja árvore de páginas está vazia.
    if re.search(rb"/Count\s*0(?![0-9])", data) and not re.search(rb"/Type\s*/Page(?![A-Za-z])", data):
        return EmptyPDFError(p, "o documento não tem páginas")
    return CorruptPDFError(p, f"o PDF está danificado ou incompleto ({exc})")


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
        raise _load_error(p, exc) from None

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
