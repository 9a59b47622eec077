"""O acervo: os contratos verificados, as suas verificações e as decisões
das pessoas, num banco SQLite (padrão) ou PostgreSQL, com os PDFs numa pasta
ao lado. É o único código que fala com esse banco: o painel, a linha de
comando e o lote chamam os métodos de `Acervo`.

    acervo = Acervo("acervo.db")            # cria e migra, se preciso
    cid, novo = acervo.adicionar("c.pdf", conteudo, "maria")
"""

from __future__ import annotations

from .alertas import Alertas
from .base import agora, eh_postgres, migrar
from .contas import PAPEIS, ContaInvalida, Contas
from .contratos import ERRO, ESTADOS, NA_FILA, VERIFICADO, VERIFICANDO, Contratos
from .revisao import DECISOES, Conflito, DecisaoInvalida, Revisao, campos, id_do_campo


class Acervo(Alertas, Contratos, Revisao, Contas):
    """Um acervo aberto (`Acervo(destino)`): arquivo SQLite ou URL postgresql://."""


__all__ = ["Acervo", "PAPEIS", "DECISOES", "ESTADOS", "NA_FILA", "VERIFICANDO", "VERIFICADO", "ERRO", "Conflito",
           "ContaInvalida", "DecisaoInvalida", "campos", "id_do_campo", "agora", "eh_postgres", "migrar"]
