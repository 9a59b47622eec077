"""O que o servidor de registro pede de uma fonte de empresas.

Uma fonte responde por CNPJ (o registro no formato da BrasilAPI, ou None) e por
nome (os registros que casam, o melhor primeiro). A pasta de arquivos JSON e o
banco importado dos dados abertos são as duas fontes; o encaminhamento aos
serviços públicos fica por cima de qualquer uma delas. Daqui também a ficha de
uma empresa e a chave de texto de um CNPJ, que o servidor, o banco e o
encaminhamento usam igualmente.
"""

from __future__ import annotations

import re
from typing import Any, Dict, List, Optional, Protocol

# A ficha de uma empresa: o registro no formato da BrasilAPI, um dicionário de JSON.
Ficha = Dict[str, Any]

_NAO_ALFANUM = re.compile(r"[^0-9A-Za-z]")
# Catorze caracteres: doze letras maiúsculas ou dígitos (os CNPJs alfanuméricos
# só trocam a raiz e a ordem) e dois dígitos verificadores.
_FORMA_CNPJ = re.compile(r"[0-9A-Z]{12}[0-9]{2}")


class Fonte(Protocol):
    """Uma fonte de registros de empresas."""

    def consultar(self, cnpj: str) -> Optional[Ficha]:
        """O registro do CNPJ (14 caracteres sem pontuação), ou None."""

    def buscar(self, nome: str, uf: Optional[str] = None, situacao: Optional[str] = None,
               limite: int = 20) -> List[Ficha]:
        """Os registros cujo nome casa com `nome`, o melhor primeiro."""

    def info(self) -> Dict[str, Any]:
        """O que a fonte contém (ao menos ``empresas``: quantas)."""


class FonteIndisponivel(Exception):
    """A fonte não pôde responder agora (um serviço fora do ar ou sem cota).

    Não é "não encontrado": quem pergunta deve tentar de novo mais tarde.
    `tentar_em` é o número de segundos sugerido, quando se sabe.
    """

    def __init__(self, mensagem: str, tentar_em: Optional[float] = None) -> None:
        super().__init__(mensagem)
        self.tentar_em = tentar_em


def chave_texto(cnpj: str) -> str:
    """O CNPJ sem pontuação, em maiúsculas: a chave de todas as fontes.

    No banco, cada estabelecimento se guarda por uma chave inteira, outra coisa:
    `banco.esquema.chave_armazenada`."""
    if len(cnpj) == 14 and cnpj.isascii() and cnpj.isdigit():
        return cnpj   # já é a chave: o caso de quase toda consulta
    return _NAO_ALFANUM.sub("", cnpj).upper()


def cnpj_valido(chave: str) -> bool:
    return len(chave) == 14 and _FORMA_CNPJ.fullmatch(chave) is not None


def formatar(chave: str) -> str:
    """00.000.000/0000-00, para mensagens."""
    if len(chave) != 14:
        return chave
    return f"{chave[:2]}.{chave[2:5]}.{chave[5:8]}/{chave[8:12]}-{chave[12:]}"
