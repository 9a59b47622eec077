"""Texto de um PDF, página por página, com pypdfium2.

O leitor tem limites (`ReadLimits`): um arquivo pequeno pode descomprimir em
centenas de MiB de operadores de texto, e o PDFium monta na memória um
objeto por operador antes de qualquer extração (200 MiB de operadores levam
o processo a 9 GB e a um aborto, sem exceção). Por isso os fluxos
comprimidos são medidos antes de abrir o documento, descomprimindo com
saída limitada, e os caracteres são contados enquanto as páginas são lidas.
Qualquer falha vira um `PDFError` com o caminho do arquivo.

Páginas digitalizadas (uma imagem que cobre a página e, no máximo, o texto
de um carimbo: `page_kind.py`) podem ser lidas por OCR (`ocr.py`) ou
desenhadas como imagem para um modelo com visão, dentro de um orçamento de
páginas; o texto do carimbo fica à parte (`PageText.stamp`).

O texto de cada página sai em ordem de leitura (`reading_order.py`: colunas
de assinatura, blocos fora de ordem, páginas giradas); este módulo cuida do
arquivo, dos limites e das páginas digitalizadas.
"""

from __future__ import annotations

import os
import re
import struct
import zlib
from dataclasses import dataclass, field
from typing import Dict, Iterator, List, Optional, Sequence, Tuple, Union

import pypdfium2 as pdfium
import pypdfium2.raw as pdfium_c

from . import ocr
from .errors import (
    CorruptPDFError,
    DocumentTooLargeError,
    EmptyPDFError,
    EncryptedPDFError,
    NoTextLayerError,
    NotAPDFError,
    OCRError,
    OCRUnavailableError,
    PDFError,
)
from .page_kind import looks_scanned
from .pricing import IMAGE_SHORT_SIDE_PX
from .layout import PageLayout, build_from_words
from .reading_order import page_reading

PathLike = Union[str, "os.PathLike[str]"]

# O cabeçalho "%PDF-" pode vir depois de lixo, desde que nos primeiros 1024 bytes.
_HEADER_WINDOW = 1024

MiB = 1024 * 1024

SCAN_MODES = ("none", "ocr", "image")


@dataclass(frozen=True)
class ReadLimits:
    """Limites de custo de um documento.

    Um contrato denso tem uns 5.000 caracteres por página; 300 páginas ficam
    em 1,5 milhão de caracteres e uns 15 MiB de conteúdo descomprimido. Os
    padrões deixam folga larga para isso e param o que é outra coisa.
    """

    max_page_chars: int = 200_000
    max_document_chars: int = 10_000_000
    # bytes descomprimidos de todos os fluxos que não são imagem (conteúdo das
    # páginas, formulários, fontes, fluxos de objetos)
    max_content_bytes: int = 64 * MiB

    def __post_init__(self) -> None:
        for name in ("max_page_chars", "max_document_chars", "max_content_bytes"):
            value = getattr(self, name)
            if type(value) is not int or value <= 0:
                raise ValueError(f"{name} deve ser um int positivo, não {value!r}")


@dataclass(frozen=True)
class ScanPolicy:
    """O que fazer com páginas digitalizadas: "none" (ficam vazias), "ocr"
    (texto pelo Tesseract) ou "image" (imagem para um modelo com visão), em
    até `max_pages` páginas; acima disso vão as primeiras e as últimas
    (qualificação das partes e assinaturas), alternadas."""

    mode: str = "none"
    max_pages: int = 30

    def __post_init__(self) -> None:
        if self.mode not in SCAN_MODES:
            raise ValueError(f"modo de digitalização inválido: {self.mode!r}")
        if type(self.max_pages) is not int or self.max_pages < 0:
            raise ValueError(f"max_pages deve ser um int >= 0, não {self.max_pages!r}")


@dataclass
class PageText:
    """Uma página lida: `number` começa em 1; `scanned` diz que a página é
    uma digitalização; `source` é "text", "ocr", "image" (vai como imagem,
    PNG em `image`) ou "skipped" (digitalizada, fora do orçamento ou sem
    política de digitalização). Numa página digitalizada lida por OCR, o
    texto que a página já tinha (o carimbo de um serviço de documentos) fica
    em `stamp` e entra no fim de `text`, depois de uma linha em branco;
    `words` são as palavras do OCR com as suas caixas (`ocr.Word`).
    `layout` são as linhas, blocos e colunas da página (`layout.py`), do
    texto ou, lida por OCR, das palavras (com o carimbo num bloco à parte)."""

    number: int
    text: str
    scanned: bool = False
    source: str = "text"
    image: Optional[bytes] = None
    image_size: Tuple[int, int] = (0, 0)
    stamp: str = ""
    words: List[ocr.Word] = field(default_factory=list)
    layout: PageLayout = field(default_factory=lambda: PageLayout(()))


@dataclass
class DocumentPages:
    """As páginas lidas de um documento. Lido com `keep_open`, um documento
    pequeno (até `KEEP_OPEN_MAX_PAGES` páginas) fica aberto, com as páginas
    de texto prontas para quem ainda vai olhar as caixas dos caracteres (a
    evidência): `opened(n)` as dá, `close()` fecha tudo."""

    path: str
    pages: List[PageText] = field(default_factory=list)
    _doc: Optional[pdfium.PdfDocument] = field(default=None, repr=False, compare=False)
    _open: Dict[int, Tuple[pdfium.PdfPage, pdfium.PdfTextPage]] = field(default_factory=dict, repr=False,
                                                                           compare=False)

    def opened(self, number: int) -> Optional[Tuple[pdfium.PdfPage, pdfium.PdfTextPage]]:
        return self._open.get(number)

    def close(self) -> None:
        for page, textpage in self._open.values():
            textpage.close()
            page.close()
        self._open.clear()
        if self._doc is not None:
            self._doc.close()
            self._doc = None

    @property
    def texts(self) -> List[str]:
        return [p.text for p in self.pages]

    @property
    def images(self) -> List[PageText]:
        return [p for p in self.pages if p.image is not None]

    @property
    def scanned(self) -> List[PageText]:
        return [p for p in self.pages if p.scanned]


def _fspath(path: object) -> str:
    if isinstance(path, (str, os.PathLike)):
        p = os.fspath(path)
        if isinstance(p, str):
            return p
    raise TypeError(f"path deve ser str ou os.PathLike, não {type(path).__name__}")


def _load_error(p: str, data: bytes, exc: Exception) -> PDFError:
    """Traduz a falha de abertura do PDFium num erro com o motivo.

    O código de erro do PDFium é o da última falha da biblioteca (pode ser
    velho), então a causa é conferida nos próprios bytes do arquivo.
    """
    code = getattr(exc, "err_code", None)
    if b"/Encrypt" in data:
        if code == pdfium_c.FPDF_ERR_SECURITY:
            return EncryptedPDFError(p, "o PDF usa um esquema de segurança não suportado")
        return EncryptedPDFError(p, "o PDF é protegido por senha (criptografado)")
    # O PDFium recusa abrir um documento cuja árvore de páginas está vazia.
    if re.search(rb"/Count\s*0(?![0-9])", data) and not re.search(rb"/Type\s*/Page(?![A-Za-z])", data):
        return EmptyPDFError(p, "o documento não tem páginas")
    return CorruptPDFError(p, f"o PDF está danificado ou incompleto ({exc})")


# --- medida dos fluxos comprimidos ------------------------------------------

_STREAM_KEYWORD = re.compile(rb">>\s*stream(?:\r\n|\n|\r)")
_IMAGE_SUBTYPE = re.compile(rb"/Subtype\s*/Image(?![A-Za-z])")
_FLATE_ONLY = re.compile(rb"/Filter\s*(?:\[\s*)?/(?:FlateDecode|Fl)(?![A-Za-z])\s*(?:\]\s*)?(?:/|>>)")
_DICT_WINDOW = 4096
_CHUNK = 64 * 1024


def _stream_dicts(data: bytes) -> Iterator[Tuple[bytes, int]]:
    """(dicionário aproximado, início dos dados) de cada fluxo do arquivo.

    O dicionário é procurado só depois do fluxo anterior: cada byte do
    arquivo é lido uma vez, mesmo num arquivo feito de palavras "stream"."""
    prev = 0
    for m in _STREAM_KEYWORD.finditer(data):
        start = max(prev, m.start() - _DICT_WINDOW)
        prev = m.end()
        head = data[start:m.start() + 2]
        cut = head.rfind(b" obj")
        yield (head[cut:] if cut >= 0 else head), m.end()


def _inflated_size(data: bytes, offset: int, limit: int) -> int:
    """Tamanho descomprimido (Flate) do fluxo em `offset`, parando em `limit` + 1."""
    d = zlib.decompressobj()
    total = 0
    pos = offset
    view = memoryview(data)
    pending: "bytes | memoryview" = b""
    try:
        while total <= limit and not d.eof:
            if not pending:
                if pos >= len(data):
                    break
                pending = view[pos:pos + _CHUNK]
                pos += _CHUNK
            out = d.decompress(pending, limit + 1 - total)
            total += len(out)
            pending = d.unconsumed_tail
    except zlib.error:
        pass  # dado cifrado ou danificado: o PDFium decide
    return total


def content_bytes(data: bytes, limit: int) -> int:
    """Soma dos bytes descomprimidos dos fluxos Flate que não são imagem,
    parando assim que passa de `limit` (nada é guardado na memória)."""
    total = 0
    for head, offset in _stream_dicts(data):
        if _IMAGE_SUBTYPE.search(head) or not _FLATE_ONLY.search(head):
            continue
        total += _inflated_size(data, offset, limit - total)
        if total > limit:
            break
    return total


# --- páginas -----------------------------------------------------------------


def _scan_priority(numbers: Sequence[int]) -> List[int]:
    """Páginas na ordem de prioridade: primeira, última, segunda, penúltima..."""
    order: List[int] = []
    lo, hi = 0, len(numbers) - 1
    while lo <= hi:
        order.append(numbers[lo])
        if hi != lo:
            order.append(numbers[hi])
        lo, hi = lo + 1, hi - 1
    return order


def _png_gray(bitmap: pdfium.PdfBitmap, level: int = 6) -> Tuple[bytes, int, int]:
    """PNG em tons de cinza de um bitmap do PDFium, sem depender do Pillow."""
    w, h, stride, ch = bitmap.width, bitmap.height, bitmap.stride, bitmap.n_channels
    buf = memoryview(bitmap.buffer).cast("B")
    rows = []
    for y in range(h):
        row = bytes(buf[y * stride:y * stride + w * ch])
        rows.append(b"\x00" + (row if ch == 1 else row[1::ch]))
    raw = zlib.compress(b"".join(rows), level)

    def chunk(kind: bytes, body: bytes) -> bytes:
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 0, 0, 0, 0))
           + chunk(b"IDAT", raw) + chunk(b"IEND", b""))
    return png, w, h


# teto de pixels de uma página desenhada: uma A3 a 300 dpi tem 17 milhões; uma
# página de 200 x 200 polegadas (o máximo do formato) teria 3,6 bilhões
_MAX_RENDER_PIXELS = 36_000_000


def _render(page: pdfium.PdfPage, scale: float, level: int) -> Tuple[bytes, int, int]:
    w, h = page.get_size()
    area = max(1.0, w * h * scale * scale)
    if area > _MAX_RENDER_PIXELS:
        scale *= (_MAX_RENDER_PIXELS / area) ** 0.5
    bitmap = page.render(scale=scale, grayscale=True, may_draw_forms=True)
    try:
        return _png_gray(bitmap, level)
    finally:
        bitmap.close()


def _image_scale(page: pdfium.PdfPage) -> float:
    w, h = page.get_size()
    return float(IMAGE_SHORT_SIDE_PX / max(1.0, min(w, h)))


# páginas de um documento que `keep_open` deixa abertas (as de um contrato comum)
KEEP_OPEN_MAX_PAGES = 30


def read_document(path: PathLike, *, limits: Optional[ReadLimits] = None,
                  scans: Optional[ScanPolicy] = None, keep_open: bool = False) -> DocumentPages:
    """Lê as páginas do PDF em `path`, com os limites e a política de
    digitalização dados. Não exige texto: quem chama decide o que fazer com
    um documento sem nenhum (ver `read_pdf_pages`). Com `keep_open`, um
    documento pequeno fica aberto (`DocumentPages.close`)."""
    p = _fspath(path)
    limits = limits or ReadLimits()
    scans = scans or ScanPolicy()
    if not os.path.exists(p):
        raise FileNotFoundError(f"Arquivo não encontrado: {p}")
    if os.path.isdir(p):
        raise NotAPDFError(p, "o caminho é um diretório, não um arquivo")
    try:
        with open(p, "rb") as fh:
            data = fh.read()
    except OSError as exc:
        raise PDFError(p, f"o arquivo não pôde ser lido ({exc.strerror or exc})") from None
    if not data:
        raise NotAPDFError(p, "o arquivo está vazio (0 bytes)")
    if b"%PDF-" not in data[:_HEADER_WINDOW]:
        raise NotAPDFError(p, "o arquivo não é um PDF (cabeçalho %PDF ausente)")
    if content_bytes(data, limits.max_content_bytes) > limits.max_content_bytes:
        raise DocumentTooLargeError(
            p, f"o conteúdo descomprimido passa de {limits.max_content_bytes // MiB} MiB "
               "(limite de leitura; max_content_bytes)")

    try:
        doc = pdfium.PdfDocument(data)
    except pdfium.PdfiumError as exc:
        raise _load_error(p, data, exc) from None
    result = DocumentPages(p)
    try:
        _read_open(p, doc, limits, scans, result, keep_open and len(doc) <= KEEP_OPEN_MAX_PAGES)
    except pdfium.PdfiumError as exc:
        result.close()
        doc.close()
        raise CorruptPDFError(p, f"o PDF está danificado ({exc})") from None
    except BaseException:
        result.close()
        doc.close()
        raise
    if result._open:
        result._doc = doc
    else:
        doc.close()
    return result


def _read_open(p: str, doc: pdfium.PdfDocument, limits: ReadLimits, scans: ScanPolicy, result: DocumentPages,
               keep: bool) -> None:
    n = len(doc)
    if n == 0:
        raise EmptyPDFError(p, "o documento não tem páginas")
    total = 0
    for i in range(n):
        try:
            page = doc[i]
        except pdfium.PdfiumError as exc:
            raise CorruptPDFError(p, f"a página {i + 1} não pôde ser carregada ({exc})") from None
        kept = False
        try:
            textpage = page.get_textpage()
            try:
                count = textpage.count_chars()
                if count > limits.max_page_chars:
                    raise DocumentTooLargeError(
                        p, f"a página {i + 1} tem {count} caracteres, acima do limite de "
                           f"{limits.max_page_chars} por página (max_page_chars)")
                total += count
                if total > limits.max_document_chars:
                    raise DocumentTooLargeError(
                        p, f"o documento passa de {limits.max_document_chars} caracteres na página {i + 1} "
                           "(limite por documento; max_document_chars)")
                text, rects, layout = page_reading(page, textpage, i + 1)
                scanned = looks_scanned(page, rects, text)
                if keep and text.strip():
                    result._open[i + 1] = (page, textpage)
                    kept = True
            finally:
                if not kept:
                    textpage.close()
        finally:
            if not kept:
                page.close()
        result.pages.append(PageText(i + 1, text, scanned, "skipped" if scanned else "text", layout=layout))

    scanned_numbers = [pg.number for pg in result.pages if pg.scanned]
    if scans.mode == "none" or not scanned_numbers:
        return
    chosen = sorted(_scan_priority(scanned_numbers)[:scans.max_pages])
    if scans.mode == "ocr":
        _ocr_into(p, doc, result, chosen)
    else:
        for number in chosen:
            page = doc[number - 1]
            try:
                png, w, h = _render(page, _image_scale(page), 9)
            finally:
                page.close()
            pg = result.pages[number - 1]
            pg.image, pg.image_size, pg.source = png, (w, h), "image"


def _ocr_into(p: str, doc: pdfium.PdfDocument, result: DocumentPages, chosen: List[int]) -> None:
    try:
        ocr.check_available()
    except ocr.OCRUnavailable as exc:
        if any(pg.text.strip() for pg in result.pages):
            return  # as páginas com texto seguem; quem chama avisa das digitalizadas
        raise OCRUnavailableError(
            p, f"nenhuma das {len(result.pages)} página(s) tem camada de texto (documento digitalizado) "
               f"e {exc}") from None
    images = []
    scales = []  # points per pixel of each page's image
    for number in chosen:
        page = doc[number - 1]
        try:
            _drop_text(page)
            png, w, _h = _render(page, ocr.OCR_DPI / 72.0, 1)
            images.append(png)
            scales.append(page.get_width() / max(1, w))
        finally:
            page.close()
    try:
        read = ocr.ocr_pages_words(images)
    except ocr.OCRFailed as exc:
        raise OCRError(p, str(exc)) from None
    for number, (text, words), k in zip(chosen, read, scales):
        pg = result.pages[number - 1]
        pg.stamp = pg.text.strip()
        pg.words = [ocr.Word(wd.text, wd.start, (wd.box[0] * k, wd.box[1] * k, wd.box[2] * k, wd.box[3] * k), wd.line)
                    for wd in words]
        pg.text, pg.source = (text + "\n\n" + pg.stamp if pg.stamp else text), "ocr"
        stamp = list(pg.layout.lines()) if pg.stamp else []
        pg.layout = build_from_words(number, [(wd.text, wd.box, wd.line) for wd in pg.words], stamp)


def _drop_text(page: pdfium.PdfPage) -> None:
    """Tira da página (só na memória) o texto de primeiro nível: o carimbo
    sobre uma digitalização não entra no OCR, que lê só a imagem."""
    objs = list(page.get_objects(filter=[pdfium_c.FPDF_PAGEOBJ_TEXT], max_depth=1))
    for obj in objs:
        page.remove_obj(obj)
        obj.close()


def read_pdf_pages(path: PathLike, *, limits: Optional[ReadLimits] = None) -> List[str]:
    """Lê o texto de cada página do PDF em `path`.

    Levanta FileNotFoundError se o arquivo não existe e uma subclasse de
    PDFError (ValueError) com o caminho e o motivo quando o arquivo não é
    um PDF, é protegido por senha, está danificado, passa dos limites de
    leitura, não tem páginas ou não tem camada de texto (documento
    digitalizado).
    """
    doc = read_document(path, limits=limits)
    pages = doc.texts
    if not any(t.strip() for t in pages):
        raise no_text_error(doc.path, len(pages))
    return pages


def no_text_error(path: str, n: int, extra: str = "") -> NoTextLayerError:
    return NoTextLayerError(
        path,
        f"nenhuma das {n} página(s) tem camada de texto (documento digitalizado ou em branco; "
        f"é preciso OCR antes da extração){extra}",
    )


def join_pages(pages: List[str]) -> str:
    """Texto único do documento, com uma linha em branco entre as páginas."""
    return "\n\n".join(t.strip("\n") for t in pages)
