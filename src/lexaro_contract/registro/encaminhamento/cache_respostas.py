"""As respostas dos serviços públicos, guardadas num arquivo SQLite com validade.

Uma chave (o CNPJ, ou a busca normalizada) leva à resposta em JSON ou a NULL
("não encontrado"), com o instante em que deixa de valer. "Não encontrado"
vale menos tempo: uma empresa aberta ontem aparece nos serviços em dias. Uma
falha (429, 5xx, tempo esgotado) nunca é guardada: indisponível não é
"não encontrado". O arquivo aguenta várias threads (uma conexão, uma trava,
WAL) e sobrevive a reinícios do servidor.
"""

from __future__ import annotations

import json
import sqlite3
import threading
import time
from pathlib import Path
from typing import Any, Dict, Optional, Tuple, Union

AUSENTE = object()


class CacheRespostas:
    def __init__(self, caminho: Union[str, Path]) -> None:
        self.caminho = Path(caminho)
        self.caminho.parent.mkdir(parents=True, exist_ok=True)
        self._trava = threading.Lock()
        self._con = sqlite3.connect(str(self.caminho), check_same_thread=False, isolation_level=None, timeout=10)
        try:
            self._con.execute("PRAGMA journal_mode=WAL")
            self._con.execute("PRAGMA synchronous=NORMAL")
            self._con.execute("CREATE TABLE IF NOT EXISTS respostas ("
                              "chave TEXT PRIMARY KEY, corpo TEXT, expira REAL NOT NULL)")
        except sqlite3.Error:
            self._con.close()
            raise
        self._gravacoes = 0

    def ler(self, chave: str) -> Any:
        """A resposta guardada (um dict, ou None para "não encontrado"), ou AUSENTE."""
        with self._trava:
            linha: Optional[Tuple[Optional[str], float]] = self._con.execute(
                "SELECT corpo, expira FROM respostas WHERE chave = ?", (chave,)).fetchone()
        if linha is None or linha[1] <= time.time():
            return AUSENTE
        return None if linha[0] is None else json.loads(linha[0])

    def gravar(self, chave: str, valor: Optional[Dict[str, Any]], validade: float) -> None:
        corpo = None if valor is None else json.dumps(valor, ensure_ascii=False)
        agora = time.time()
        with self._trava:
            self._con.execute("INSERT OR REPLACE INTO respostas (chave, corpo, expira) VALUES (?, ?, ?)",
                              (chave, corpo, agora + validade))
            self._gravacoes += 1
            if self._gravacoes % 1000 == 0:
                self._con.execute("DELETE FROM respostas WHERE expira <= ?", (agora,))

    def close(self) -> None:
        with self._trava:
            self._con.close()
