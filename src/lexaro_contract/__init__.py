"""Verificação de legitimidade de contratos comerciais brasileiros."""

from __future__ import annotations

import re
from pathlib import Path
from typing import TYPE_CHECKING, Any, List

if TYPE_CHECKING:
    from .checker import verificar_contrato as verificar_contrato

__all__ = ["verificar_contrato", "__version__"]

_DISTRIBUICAO = "lexaro-contract"


def _versao() -> str:
    """A versão da distribuição instalada; rodando da árvore de fontes sem
    instalar, a do pyproject.toml ao lado (a mesma fonte), senão
    "0+desconhecida"."""
    from importlib import metadata

    fontes = Path(__file__).resolve().parents[2] / "pyproject.toml"
    if fontes.is_file() and Path(__file__).resolve().parent.parent.name == "src":
        achada = re.search(r'(?m)^version\s*=\s*"([^"]+)"', fontes.read_text(encoding="utf-8"))
        if achada:
            return achada.group(1)
    try:
        return metadata.version(_DISTRIBUICAO)
    except metadata.PackageNotFoundError:
        return "0+desconhecida"


__version__ = _versao()


def __getattr__(name: str) -> Any:
    # The checker (and with it the registry client and the records) loads on
    # first use, so importing one module of the package does not load them all.
    if name == "verificar_contrato":
        from .checker import verificar_contrato

        globals()["verificar_contrato"] = verificar_contrato
        return verificar_contrato
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(__all__))
