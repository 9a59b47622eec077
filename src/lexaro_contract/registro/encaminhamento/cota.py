"""O ritmo que um serviço público aceita: cota, Retry-After e recuo.

A cota é uma janela deslizante: no máximo `quantas` pedidos em quaisquer
`periodo` segundos seguidos, que é como os serviços contam (a ReceitaWS gratuita
aceita 3 por minuto). Um balde de fichas com a mesma taxa não serve: cheio no
começo e reabastecido durante o minuto, ele deixa passar até 5 pedidos num
minuto e o serviço responde 429 aos excedentes. Um pedido ocupa o seu lugar
na janela desde a reserva e conta a partir de quando termina (`concluir`): o
serviço o vê chegar em algum instante entre os dois, e contar do fim garante
que dois pedidos separados por um lugar chegam lá a `periodo` segundos um do
outro, por mais que a rede ou o agendador atrasem o envio. Um 429 ou um 5xx fecha o serviço até o instante que o
`Retry-After` diz ou, sem ele, por um recuo que dobra a cada falha seguida
(`recuo_inicial`, 2x, 4x, ... até `recuo_maximo`) e volta ao início no primeiro
sucesso. Tudo sob uma trava: várias threads dividem a mesma cota.
"""

from __future__ import annotations

import email.utils
import re
import threading
import time
import math
from typing import Callable, List, Optional

_UNIDADES = {"s": 1.0, "seg": 1.0, "min": 60.0, "m": 60.0, "h": 3600.0}


def ler_ritmo(texto: str) -> "tuple[int, float]":
    """"3/min", "10/s", "100/h" -> (quantas, período em segundos). ValueError se não for isso."""
    m = re.fullmatch(r"\s*(\d+)\s*/\s*(\d*(?:\.\d+)?)\s*([a-z]+)\s*", texto.lower())
    if not m or m.group(3) not in _UNIDADES or int(m.group(1)) < 1:
        raise ValueError(f"ritmo inválido: {texto!r} (use por exemplo 3/min, 10/s, 100/h)")
    periodo = (float(m.group(2)) if m.group(2) else 1.0) * _UNIDADES[m.group(3)]
    if periodo <= 0:
        raise ValueError(f"ritmo inválido: {texto!r}")
    return int(m.group(1)), periodo


def ler_retry_after(valor: Optional[str], agora: Optional[float] = None, maximo: float = 3600.0) -> Optional[float]:
    """Segundos de espera de um cabeçalho Retry-After (segundos ou data HTTP), ou None."""
    if not valor:
        return None
    valor = valor.strip()
    try:
        segundos = float(valor)
    except ValueError:
        try:
            data = email.utils.parsedate_to_datetime(valor)
        except (TypeError, ValueError, IndexError):
            return None
        if data is None:
            return None
        segundos = data.timestamp() - (time.time() if agora is None else agora)
    if segundos != segundos:  # NaN
        return None
    return min(max(segundos, 0.0), maximo)


class Cota:
    def __init__(self, quantas: int, periodo: float, recuo_inicial: float = 1.0, recuo_maximo: float = 300.0,
                 relogio: Callable[[], float] = time.monotonic) -> None:
        self.quantas = quantas
        self.periodo = periodo
        self.recuo_inicial = recuo_inicial
        self.recuo_maximo = recuo_maximo
        self._relogio = relogio
        self._envios: List[float] = []  # fim de cada pedido; inf enquanto ele corre
        self._fechado_ate = 0.0
        self._falhas = 0
        self._trava = threading.Lock()

    def _falta(self, agora: float) -> float:
        """Segundos até a janela ter lugar (0 se já tem)."""
        self._envios = [t for t in self._envios if t > agora - self.periodo]
        if len(self._envios) < self.quantas:
            return 0.0
        # Cheia: o primeiro lugar a vagar; um pedido ainda correndo vaga no
        # mínimo `periodo` depois de agora.
        return min(min(self._envios), agora) + self.periodo - agora

    def espera(self) -> float:
        """Quantos segundos até poder pedir (0: agora), sem ocupar lugar."""
        with self._trava:
            agora = self._relogio()
            return max(self._falta(agora), self._fechado_ate - agora, 0.0)

    def reservar(self) -> float:
        """Ocupa um lugar na janela e devolve 0 se pode pedir agora; senão, a espera em segundos."""
        with self._trava:
            agora = self._relogio()
            espera = max(self._falta(agora), self._fechado_ate - agora)
            if espera > 0:
                return espera
            self._envios.append(math.inf)
            return 0.0

    def concluir(self) -> None:
        """O pedido reservado terminou: o seu lugar conta a partir de agora."""
        with self._trava:
            for i, t in enumerate(self._envios):
                if t == math.inf:
                    self._envios[i] = self._relogio()
                    return

    def sucesso(self) -> None:
        with self._trava:
            self._falhas = 0

    def falha(self, retry_after: Optional[float] = None) -> float:
        """Fecha o serviço depois de um 429/5xx; devolve por quantos segundos."""
        with self._trava:
            agora = self._relogio()
            if retry_after is not None:
                espera = retry_after
            else:
                espera = min(self.recuo_maximo, self.recuo_inicial * (2 ** min(self._falhas, 30)))
            self._falhas += 1
            self._fechado_ate = max(self._fechado_ate, agora + espera)
            return espera
