"""OCR de páginas digitalizadas com o programa Tesseract (dados de português).

O programa é chamado diretamente, uma página por processo, com a imagem
PNG pela entrada padrão e o texto pela saída padrão: nenhum arquivo
temporário, um tempo-limite por página e nenhuma dependência em Python (os
pacotes que "embrulham" o Tesseract fazem a mesma chamada, por arquivos
temporários). O que precisa ser instalado é o programa e os seus dados:
no Debian/Ubuntu, ``apt-get install tesseract-ocr tesseract-ocr-por``.

O caminho do programa pode ser trocado pela variável de ambiente
``LEXARO_TESSERACT`` (padrão: ``tesseract``, procurado no PATH).
"""

from __future__ import annotations

import os
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

LANGUAGE = "por"
# 300 dpi: a 200 dpi o Tesseract já troca "CNPJ" por "CNP)" num corpo de 10 pt.
OCR_DPI = 300
PAGE_TIMEOUT_SECONDS = 120.0
INSTALL_HINT = (
    "instale o Tesseract com os dados de português "
    "(Debian/Ubuntu: apt-get install tesseract-ocr tesseract-ocr-por)"
)


class OCRUnavailable(Exception):
    """O Tesseract ou os seus dados de português não estão instalados; a
    mensagem diz o que instalar."""


class OCRFailed(Exception):
    """O Tesseract terminou com erro ou passou do tempo-limite numa página."""


def tesseract_program() -> str:
    return os.environ.get("LEXARO_TESSERACT") or "tesseract"


def _env() -> "dict[str, str]":
    env = dict(os.environ)
    # uma linha de execução por processo: as páginas rodam em paralelo
    env["OMP_THREAD_LIMIT"] = "1"
    return env


_checked: "dict[str, Optional[str]]" = {}


def check_available() -> None:
    """Levanta OCRUnavailable, dizendo o que instalar, quando o programa ou
    os dados de português faltam. O resultado fica guardado por programa."""
    program = tesseract_program()
    if program not in _checked:
        _checked[program] = _probe(program)
    problem = _checked[program]
    if problem is not None:
        raise OCRUnavailable(problem)


def _probe(program: str) -> Optional[str]:
    path = shutil.which(program)
    if path is None:
        return f"o programa de OCR '{program}' não foi encontrado: {INSTALL_HINT}"
    try:
        out = subprocess.run([path, "--list-langs"], capture_output=True, timeout=30, env=_env())
    except (OSError, subprocess.SubprocessError) as exc:
        return f"o programa de OCR '{program}' não pôde ser executado ({exc}): {INSTALL_HINT}"
    langs = {line.strip() for line in (out.stdout + out.stderr).decode("utf-8", "replace").splitlines()}
    if LANGUAGE not in langs:
        return (f"o Tesseract está instalado, mas sem os dados de português ('{LANGUAGE}'): "
                "instale-os (Debian/Ubuntu: apt-get install tesseract-ocr-por)")
    return None


@dataclass(frozen=True)
class Word:
    """Uma palavra lida por OCR: `start` é a posição dela no texto da página;
    `box` é (x0, y0, x1, y1) em pixels da imagem, origem no canto de cima à
    esquerda (as de `PageText.words` já vêm em pontos da página: `pdf` as
    reescala); `line` numera as linhas da página a partir de 0."""

    text: str
    start: int
    box: Tuple[float, float, float, float]
    line: int


def words_text(tsv: str) -> Tuple[str, List[Word]]:
    """Texto e palavras de uma saída TSV do Tesseract.

    O texto é o que a saída de texto do programa daria: as palavras de uma
    linha separadas por um espaço, as linhas por uma quebra, os parágrafos
    por uma linha em branco."""
    out: List[str] = []
    words: List[Word] = []
    pos = 0
    prev: Optional[Tuple[str, str, str, str]] = None
    line_no = -1
    for raw in tsv.splitlines():
        cols = raw.split("\t")
        if len(cols) < 12 or cols[0] != "5" or not cols[11].strip():
            continue
        try:
            left, top, width, height = (float(c) for c in cols[6:10])
        except ValueError:
            continue
        key = (cols[1], cols[2], cols[3], cols[4])
        if prev is None:
            line_no = 0
        elif key != prev:
            sep = "\n\n" if key[:3] != prev[:3] else "\n"
            out.append(sep)
            pos += len(sep)
            line_no += 1
        else:
            out.append(" ")
            pos += 1
        text = cols[11]
        words.append(Word(text, pos, (left, top, left + width, top + height), line_no))
        out.append(text)
        pos += len(text)
        prev = key
    return "".join(out), words


def ocr_png_words(png: bytes, timeout: float = PAGE_TIMEOUT_SECONDS) -> Tuple[str, List[Word]]:
    """Texto de uma imagem PNG de página e as palavras com as suas caixas."""
    program = tesseract_program()
    try:
        out = subprocess.run(
            [program, "stdin", "stdout", "-l", LANGUAGE, "--psm", "3", "tsv"],
            input=png, capture_output=True, timeout=timeout, env=_env(),
        )
    except subprocess.TimeoutExpired:
        raise OCRFailed(f"o OCR passou de {timeout:.0f} s numa página") from None
    except OSError as exc:
        raise OCRFailed(f"o programa de OCR não pôde ser executado ({exc})") from None
    if out.returncode != 0:
        detail = out.stderr.decode("utf-8", "replace").strip().splitlines()
        raise OCRFailed(f"o OCR falhou (código {out.returncode}: {detail[-1] if detail else 'sem mensagem'})")
    return words_text(out.stdout.decode("utf-8", "replace"))


def ocr_pages_words(images: Sequence[bytes], workers: Optional[int] = None) -> List[Tuple[str, List[Word]]]:
    """Texto e palavras de várias páginas, em paralelo (um processo por núcleo)."""
    check_available()
    if not images:
        return []
    n = max(1, min(len(images), workers or os.cpu_count() or 1))
    if n == 1:
        return [ocr_png_words(img) for img in images]
    with ThreadPoolExecutor(max_workers=n) as pool:
        return list(pool.map(ocr_png_words, images))
