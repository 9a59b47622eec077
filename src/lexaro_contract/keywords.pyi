# Types of the compiled module `lexaro_contract.keywords` (checked against the
# binary by tests/nativos/test_stubs.py).
import unicodedata as unicodedata
from typing import List as List, Tuple as Tuple

KEYWORDS_VALIDACAO: list[str]
KEYWORDS_EXCLUSAO: list[str]
MIN_KEYWORDS: int

def normalizar_texto(texto: str) -> str: ...
def validar_documento_contrato(texto: str) -> tuple[bool, int, list[str]]: ...
