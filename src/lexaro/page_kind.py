"""Que tipo de página é esta: texto, ou digitalização (com ou sem carimbo).

A decisão é pela área, não pela contagem de caracteres. Uma digitalização
é uma imagem que cobre a maior parte da página; um serviço de documentos
costuma carimbar em cada página digitalizada umas poucas linhas de texto
("consulta à autenticidade em ...", "Assinado com senha por ..."), que
somam centenas de caracteres mas cobrem uma parte pequena da área. Uma
página de texto impressa sobre um papel timbrado ou uma imagem de fundo
tem o mesmo fundo, mas o texto dela cobre boa parte da página: continua
página de texto. Uma camada de OCR invisível sobre a digitalização também
cobre a página inteira: o texto dela é lido como texto.
"""

from __future__ import annotations

import ctypes
from typing import Any, Callable, Iterator, List, Tuple

import pypdfium2 as pdfium
import pypdfium2.raw as pdfium_c

# uma imagem que cobre metade da página ou mais é o fundo dela
IMAGE_SHARE_MIN = 0.5
# texto que cobre menos de 8% da área é carimbo ou rodapé: uma página de
# contrato escrita cobre de 25% a 45% (um terço de página já passa de 10%)
TEXT_SHARE_MAX = 0.08
# imagens olhadas por página (uma página hostil pode ter milhares)
_MAX_IMAGES = 64
# objects looked at per page (their count is bounded by the characters, and an image is rarely deep)
_MAX_OBJECTS = 50_000

Box = Tuple[float, float, float, float]


def _clip(box: Box, page: Box) -> float:
    w = min(box[2], page[2]) - max(box[0], page[0])
    h = min(box[3], page[3]) - max(box[1], page[1])
    return w * h if w > 0 and h > 0 else 0.0


def _form_getter(form: Any) -> Callable[[int], Any]:
    return lambda i: pdfium_c.FPDFFormObj_GetObject(form, i)


def _images(page: pdfium.PdfPage) -> Iterator[Box]:
    """Retângulos (no espaço da página) das imagens, também dentro de formulários
    (até 3 níveis), por chamadas diretas: uma página pode ter milhares de objetos."""
    left, bottom, right, top = (ctypes.c_float() for _ in range(4))
    refs = [ctypes.byref(v) for v in (left, bottom, right, top)]
    budget = [_MAX_OBJECTS]

    def walk(count: int, get: Callable[[int], Any], depth: int) -> Iterator[Box]:
        for k in range(count):
            if budget[0] <= 0:
                return
            budget[0] -= 1
            obj = get(k)
            if not obj:
                continue
            kind = pdfium_c.FPDFPageObj_GetType(obj)
            if kind == pdfium_c.FPDF_PAGEOBJ_IMAGE:
                if pdfium_c.FPDFPageObj_GetBounds(obj, *refs):
                    yield (left.value, bottom.value, right.value, top.value)
            elif kind == pdfium_c.FPDF_PAGEOBJ_FORM and depth < 3:
                yield from walk(pdfium_c.FPDFFormObj_CountObjects(obj), _form_getter(obj), depth + 1)

    yield from walk(pdfium_c.FPDFPage_CountObjects(page), lambda i: pdfium_c.FPDFPage_GetObject(page, i), 1)


def image_share(page: pdfium.PdfPage) -> float:
    """Parte da área da página coberta pela maior imagem (0 sem imagem)."""
    bbox = page.get_bbox()
    area = max(1.0, (bbox[2] - bbox[0]) * (bbox[3] - bbox[1]))
    best = 0.0
    for k, pos in enumerate(_images(page)):
        if k >= _MAX_IMAGES:
            break
        best = max(best, _clip(pos, bbox) / area)
    return min(1.0, best)


def text_share(page: pdfium.PdfPage, rects: List[Box]) -> float:
    """Parte da área da página coberta pelos retângulos de texto."""
    bbox = page.get_bbox()
    area = max(1.0, (bbox[2] - bbox[0]) * (bbox[3] - bbox[1]))
    return float(min(1.0, sum(_clip(r, bbox) for r in rects) / area))


def looks_scanned(page: pdfium.PdfPage, rects: List[Box], text: str) -> bool:
    """A página é uma digitalização: uma imagem cobre a maior parte dela e o
    texto que houver cobre pouco da área (um carimbo). Uma página sem texto
    visível nenhum e com alguma imagem também é. O texto é medido primeiro:
    numa página de texto, as imagens nem são procuradas."""
    if text.strip():
        if text_share(page, rects) >= TEXT_SHARE_MAX:
            return False
        return image_share(page) >= IMAGE_SHARE_MIN
    return image_share(page) > 0.0
