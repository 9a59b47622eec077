"""Raízes de confiança: os certificados (e listas de revogação) de uma pasta do usuário.

As raízes ICP-Brasil e gov.br são públicas, mas devem vir de quem as publica; por isso não vêm
com o pacote: o usuário aponta a pasta (``--raizes PASTA`` ou ``LEXARO_RAIZES``).
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Dict, List, Tuple, Union

Caminho = Union[str, "os.PathLike[str]"]

_EXTENSOES_CERT = {".pem", ".crt", ".cer", ".der"}
_EXTENSOES_CRL = {".crl"}


class ErroDeRaizes(ValueError):
    """Pasta de raízes de confiança inexistente, vazia ou com um arquivo ilegível."""


class Raizes:
    """Certificados de uma pasta: os autoassinados são âncoras; os demais, intermediários.
    Listas de revogação (.crl) da mesma pasta entram na conferência de revogação."""

    def __init__(self, pasta: Path, ancoras: List[Any], intermediarios: List[Any], crls: List[Any]):
        self.pasta = pasta
        self.ancoras = ancoras
        self.intermediarios = intermediarios
        self.crls = crls


_CACHE_RAIZES: Dict[Tuple[str, Tuple[Tuple[str, int, int], ...]], Raizes] = {}


def _blocos_pem(dados: bytes, rotulo: bytes) -> List[bytes]:
    from asn1crypto import pem  # type: ignore[import-untyped]

    return [der for tipo, _, der in pem.unarmor(dados, multiple=True) if tipo.encode() == rotulo]


def carregar_raizes(pasta: Caminho) -> Raizes:
    """Lê os certificados (.pem, .crt, .cer, .der; PEM pode trazer vários) e as listas de
    revogação (.crl) de uma pasta. Erro claro (ErroDeRaizes) se a pasta não existe, não tem
    certificado algum, ou se um desses arquivos não se lê. Outros arquivos são ignorados."""
    from asn1crypto import crl as acrl
    from asn1crypto import x509 as ax

    p = Path(pasta)
    if not p.is_dir():
        raise ErroDeRaizes(f"pasta de raízes de confiança não encontrada: {pasta}")
    arquivos = sorted(f for f in p.iterdir() if f.is_file()
                      and f.suffix.lower() in _EXTENSOES_CERT | _EXTENSOES_CRL)
    chave = (str(p.resolve()), tuple((f.name, f.stat().st_mtime_ns, f.stat().st_size) for f in arquivos))
    if chave in _CACHE_RAIZES:
        return _CACHE_RAIZES[chave]
    ancoras: List[Any] = []
    intermediarios: List[Any] = []
    crls: List[Any] = []
    for f in arquivos:
        dados = f.read_bytes()
        e_crl = f.suffix.lower() in _EXTENSOES_CRL
        try:
            if dados.lstrip().startswith(b"-----BEGIN"):
                ders = _blocos_pem(dados, b"X509 CRL" if e_crl else b"CERTIFICATE")
            else:
                ders = [dados]
            for der in ders:
                if e_crl:
                    lista = acrl.CertificateList.load(der)
                    lista.native  # força a leitura completa: um arquivo truncado falha aqui
                    crls.append(lista)
                    continue
                cert = ax.Certificate.load(der)
                cert.native
                (ancoras if cert.self_signed != "no" else intermediarios).append(cert)
        except Exception as e:  # noqa: BLE001 - vira uma linha de erro com o nome do arquivo
            raise ErroDeRaizes(f"arquivo ilegível na pasta de raízes: {f} ({type(e).__name__})") from None
    if not ancoras:
        raise ErroDeRaizes(f"nenhum certificado raiz (autoassinado) em {pasta}")
    raizes = Raizes(p, ancoras, intermediarios, crls)
    _CACHE_RAIZES.clear()  # uma pasta por execução; não acumula entre pastas
    _CACHE_RAIZES[chave] = raizes
    return raizes
