"""Um registro servido dentro do processo que verifica: uma pasta JSON, um
banco importado (arquivo SQLite) ou uma URL postgresql://, em 127.0.0.1 numa
porta livre, com o mês que ele diz ter. O painel (`painel --registro`) e a
reverificação do acervo (`acervo reverificar --registro`) passam por aqui.

    with servir_no_processo("registro.sqlite") as reg:
        reg.base, reg.mes          # "http://127.0.0.1:40123", "2026-11"

Uma passada longa deste processo (a reverificação do acervo) pergunta sem
rede, pelas mesmas rotas: `reg.cliente()` no lugar do `requests` do `cnpj`.
"""

from __future__ import annotations

import functools
from pathlib import Path
from typing import Any, Callable, Dict, Mapping, Optional, Tuple

from .cliente import ClienteNoProcesso, Memorizado
from .fonte import Fonte
from .servidor.frente import ServidorRegistro, iniciar_em_segundo_plano


class RegistroNoProcesso:
    """O servidor em segundo plano, a sua URL base e o que a fonte diz de si."""

    def __init__(self, servidor: ServidorRegistro, base: str, info: Dict[str, Any],
                 abrir: Callable[[], Fonte], destino: str) -> None:
        self.servidor, self.base, self.info, self.destino = servidor, base, info, destino
        self._abrir = abrir

    def cliente(self) -> ClienteNoProcesso:
        """Um cliente que responde às URLs deste registro sem sair do
        processo (uma fonte por fio, aberta como as do servidor); o resto vai
        a uma sessão `requests` por fio. Feche-o com `fechar()`."""
        return ClienteNoProcesso(self.base, self._abrir)

    def fabrica_de_clientes(self) -> Callable[[], Memorizado]:
        """Quem faz, noutro processo (um trabalhador), um cliente como o de
        `cliente()` que abre lá o mesmo destino, com as respostas lembradas
        pela passada; vai por cópia ao processo."""
        return functools.partial(cliente_do_destino, self.destino, self.base)

    @property
    def mes(self) -> Optional[str]:
        """O mês dos dados (``AAAA-MM``) de um banco importado; None para uma pasta."""
        return mes_conhecido(self.info)

    @property
    def parcial(self) -> bool:
        """Um mês importado com --parcial: não sabe se um CNPJ que não tem existe."""
        return self.info.get("parcial") is True

    def fechar(self) -> None:
        self.servidor.shutdown()
        self.servidor.server_close()

    def __enter__(self) -> "RegistroNoProcesso":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.fechar()


def servir_no_processo(destino: str) -> RegistroNoProcesso:
    """Serve `destino` (pasta JSON, arquivo SQLite do registro importado ou
    URL postgresql://) numa thread deste processo. Levanta a exceção da fonte
    (arquivo ausente, banco incompleto, pasta inválida) sem nada iniciado."""
    if e_pasta(destino):
        servidor, base = iniciar_em_segundo_plano(destino)
        pasta = servidor.frente.fonte
        assert pasta is not None
        # A pasta fica em memória, compartilhada com o servidor (fechá-la não faz nada).
        return RegistroNoProcesso(servidor, base, pasta.info(), lambda: pasta, destino)
    info, abrir = abrir_banco(destino)
    servidor, base = iniciar_em_segundo_plano(abrir)
    return RegistroNoProcesso(servidor, base, info, abrir, destino)


def mes_conhecido(info: Mapping[str, Any]) -> Optional[str]:
    """O mês dos dados (``AAAA-MM``) que o `info()` (ou o /saude) de um
    registro diz, ou None se ele não diz (uma pasta, um banco sem mês)."""
    mes = info.get("mes")
    return str(mes) if mes and mes != "desconhecido" else None


def e_pasta(destino: str) -> bool:
    """`destino` é uma pasta JSON (e não um banco: arquivo SQLite ou URL)."""
    return "://" not in destino and Path(destino).is_dir()


def seguindo(destino: str) -> Callable[[], Fonte]:
    """A função que abre a fonte de cada thread sobre o banco `destino`: cada
    uma segue o destino, e um mês novo importado por cima passa a responder
    em poucos segundos, sem reiniciar."""
    from .banco.seguir import RegistroQueSegue

    def abrir() -> Fonte:
        fonte: Fonte = RegistroQueSegue(destino)
        return fonte
    return abrir


def abrir_banco(destino: str) -> Tuple[Dict[str, Any], Callable[[], Fonte]]:
    """O que o banco `destino` diz de si (aberto só para isso) e a função que
    abre a fonte de cada thread (`seguindo`). Levanta a exceção do banco
    (arquivo ausente, URL inalcançável, banco incompleto)."""
    from .banco.consultas import Registro

    primeira = Registro(destino)
    try:
        info = primeira.info()
    finally:
        primeira.close()
    return info, seguindo(destino)


def cliente_do_destino(destino: str, base: str) -> Memorizado:
    """O cliente sem rede de um registro servido em `base` por outro processo,
    com a fonte aberta aqui: a pasta lida de novo, ou o banco (uma conexão
    por fio), com as respostas lembradas pela passada."""
    if e_pasta(destino):
        from .servidor.pasta_json import PastaJson

        pasta = PastaJson.abrir(destino)
        cliente = ClienteNoProcesso(base, lambda: pasta)
    else:
        cliente = ClienteNoProcesso(base, seguindo(destino))
    return Memorizado(cliente)


__all__ = ["RegistroNoProcesso", "abrir_banco", "cliente_do_destino", "e_pasta", "mes_conhecido", "seguindo",
           "servir_no_processo"]
