"""Leitura rápida dos arquivos CSV dos dados abertos do CNPJ."""

from typing import Dict, List, Optional, Tuple, Union

_Registros = List[Tuple[int, bytes]]
_Codigos = Dict[int, Dict[bytes, int]]
_Nomes = List[Tuple[int, str, int]]

def separar(
    dados: bytes, tipos: str, final: bool, nome: Optional[int] = None
) -> Union[Tuple[_Registros, int, Dict[str, int], _Codigos], Tuple[_Registros, int, Dict[str, int], _Codigos, _Nomes]]: ...
def cortes(
    registros: List[Tuple[int, bytes]], divisor: int, alvo: int, max_grupo: int, ultima: int, tamanho: int,
    quantos: int
) -> Tuple[List[int], int, int, int, int]: ...
def chave_basico(basico: str) -> int: ...
def chave_cnpj(cnpj: str) -> int: ...
