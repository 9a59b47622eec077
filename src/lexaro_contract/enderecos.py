"""Os endereços dos serviços de registro e o seu dono.

O módulo nativo `cnpj` procura os seus globais a cada consulta: os modelos de
URL dos três serviços (`BRASIL_API_URL`, `RECEITA_WS_URL`, `CASADOSDADOS_API`)
e o cliente HTTP (`requests`). Esses globais valem para o processo inteiro, e
só este módulo os muda:

- `Enderecos` é o valor: os três modelos de URL e se as verificações feitas
  sob eles são observadas (as falhas do registro anotadas por fio). É imutável
  e vai com as tarefas de um lote para outros processos e para o Dask.
- `apontar` e `apontando` apontam o `cnpj` deste processo para um valor, uma
  vez por processo ou por lote, e restauram o que havia.
- `verificando` envolve cada verificação: sob os endereços de agora, entra;
  sob outros, espera terminarem as verificações em curso e só então troca.
  Um fio nunca troca o registro debaixo de uma verificação de outro fio, e
  uma restauração pedida com verificações em curso fica para quando a última
  terminar.
"""

from __future__ import annotations

import threading
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple

# Onde cada serviço responde sob a sua base: o que o módulo `cnpj` acrescenta
# a LEXARO_BRASILAPI_URL e às outras, e o que o registro local serve.
CAMINHO_BRASIL_API = "/api/cnpj/v1/{cnpj}"
CAMINHO_RECEITA_WS = "/v1/cnpj/{cnpj}"
CAMINHO_BUSCA = "/v2/public/cnpj/search"


@dataclass(frozen=True)
class Enderecos:
    """Os serviços de registro que o `cnpj` consulta: modelos de URL como o
    módulo os usa (`{cnpj}` no lugar do número) e se as verificações feitas
    sob eles anotam as falhas do registro (`verificando`)."""

    brasil_api: str
    receita_ws: str
    casa_dos_dados: str
    observado: bool = False

    @classmethod
    def atuais(cls, observado: bool = False) -> "Enderecos":
        """Os endereços que o `cnpj` deste processo consulta agora."""
        return cls(*_ler().urls, observado=observado)

    @classmethod
    def na_base(cls, base: str, observado: bool = False) -> "Enderecos":
        """Os três serviços sob uma base só, como os serve o registro local."""
        base = base.rstrip("/")
        return cls(base + CAMINHO_BRASIL_API, base + CAMINHO_RECEITA_WS, base + CAMINHO_BUSCA, observado)

    @property
    def urls(self) -> Tuple[str, str, str]:
        return self.brasil_api, self.receita_ws, self.casa_dos_dados


# ---------------------------------------------------------------- os globais do cnpj

class _Globais(NamedTuple):
    urls: Tuple[str, str, str]
    requests: Any


def _ler() -> _Globais:
    from . import cnpj

    return _Globais((cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API), cnpj.requests)


def _escrever(globais: _Globais) -> None:
    from . import cnpj

    cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API = globais.urls
    # O módulo procura o seu cliente HTTP a cada chamada: um observador no
    # lugar do `requests` vê o tráfego sem mudar o módulo.
    cnpj.requests = globais.requests


def _destino(enderecos: Enderecos, atuais: _Globais, cliente: Any = None) -> _Globais:
    cliente = atuais.requests if cliente is None else cliente
    if enderecos.observado and not isinstance(cliente, _RegistroObservado):
        cliente = _RegistroObservado(cliente)
    return _Globais(enderecos.urls, cliente)


def _servem(enderecos: Enderecos, atuais: _Globais) -> bool:
    return atuais.urls == enderecos.urls and (not enderecos.observado
                                              or isinstance(atuais.requests, _RegistroObservado))


# ---------------------------------------------------------------- o dono

_vez = threading.Condition()
_em_voo = 0                              # verificações em curso sob os globais de agora
_restauracao: Optional[_Globais] = None  # pedida com verificações em curso: vale quando terminarem


def apontar(enderecos: Enderecos, cliente: Any = None) -> Callable[[], None]:
    """Aponta o `cnpj` deste processo para `enderecos` (e para o cliente HTTP
    `cliente`, se dado) e devolve quem restaura o que havia. Com verificações
    em curso sob outros endereços, espera que terminem."""
    with _vez:
        while _em_voo and (_restauracao is not None or _destino(enderecos, _ler(), cliente) != _ler()):
            _vez.wait()
        anteriores = _ler()
        destino = _destino(enderecos, anteriores, cliente)
        if destino != anteriores:
            _escrever(destino)
    return lambda: _restaurar(anteriores)


def _restaurar(anteriores: _Globais) -> None:
    global _restauracao
    with _vez:
        if _em_voo:
            _restauracao = anteriores
        else:
            _escrever(anteriores)


@contextmanager
def apontando(enderecos: Enderecos, cliente: Any = None) -> Iterator[Enderecos]:
    """`apontar` durante o bloco; ao fim, o `cnpj` volta ao que era."""
    restaurar = apontar(enderecos, cliente)
    try:
        yield enderecos
    finally:
        restaurar()


@contextmanager
def verificando(enderecos: Optional[Enderecos] = None) -> Iterator[List[str]]:
    """Uma verificação sob `enderecos` (None: os de agora, observados).

    Sob os endereços de agora, a verificação entra junto com as que já estão
    em curso; sob outros, espera que terminem e então troca. Se observada,
    devolve a lista onde as falhas do registro vistas neste fio são anotadas."""
    global _em_voo, _restauracao
    with _vez:
        while True:
            atuais = _ler()
            desejados = Enderecos(*atuais.urls, observado=True) if enderecos is None else enderecos
            if _restauracao is None and _servem(desejados, atuais):
                break
            if not _em_voo:
                _escrever(_destino(desejados, atuais))
                break
            _vez.wait()
        _em_voo += 1
    try:
        if desejados.observado:
            with _observando() as falhas:
                yield falhas
        else:
            yield []
    finally:
        with _vez:
            _em_voo -= 1
            if not _em_voo:
                if _restauracao is not None:
                    _escrever(_restauracao)
                    _restauracao = None
                _vez.notify_all()


# ---------------------------------------------------------------- registro observado

_local = threading.local()

# Respostas que dizem algo da empresa (200, ou "não existe": 404, e 400 da
# BrasilAPI para um CNPJ de dígitos verificadores errados) contra respostas
# que só dizem que o serviço não atendeu.
_STATUS_INDISPONIVEL = frozenset({401, 403, 408, 429})


def _servico(url: str) -> str:
    from . import cnpj

    for nome, modelo in (("BrasilAPI", cnpj.BRASIL_API_URL), ("ReceitaWS", cnpj.RECEITA_WS_URL),
                         ("Casa dos Dados", cnpj.CASADOSDADOS_API)):
        if url.startswith(modelo.split("{", 1)[0]):
            return nome
    return url.split("/")[2] if url.count("/") >= 2 else url


def _motivo_da_excecao(exc: BaseException) -> str:
    import requests

    if isinstance(exc, requests.Timeout):
        return "tempo esgotado"
    if isinstance(exc, requests.ConnectionError):
        return "sem conexão"
    return type(exc).__name__


class _RegistroObservado:
    """Fica no lugar de `requests` no módulo `cnpj` (que o procura a cada
    chamada): repassa cada pedido sem mudar nada do que o módulo vê e anota,
    na verificação em curso neste fio, as falhas que não são "não
    encontrado". Fora de uma verificação observada, só repassa."""

    def __init__(self, real: Any) -> None:
        self._real = real

    def __getattr__(self, nome: str) -> Any:
        return getattr(self._real, nome)

    def get(self, url: str, *args: Any, **kwargs: Any) -> Any:
        return self._pedir(self._real.get, url, args, kwargs)

    def post(self, url: str, *args: Any, **kwargs: Any) -> Any:
        return self._pedir(self._real.post, url, args, kwargs)

    def _pedir(self, metodo: Callable[..., Any], url: str, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Any:
        falhas: Optional[List[str]] = getattr(_local, "falhas", None)
        if falhas is None:
            return metodo(url, *args, **kwargs)
        try:
            resposta = metodo(url, *args, **kwargs)
        except Exception as e:
            falhas.append(f"{_servico(url)}: {_motivo_da_excecao(e)}")
            raise
        status = getattr(resposta, "status_code", None)
        if status in _STATUS_INDISPONIVEL or (isinstance(status, int) and status >= 500):
            falhas.append(f"{_servico(url)}: HTTP {status}")
        elif status == 200:
            try:
                corpo = resposta.json()
            except Exception:
                falhas.append(f"{_servico(url)}: resposta ilegível (não é JSON)")
            else:
                if not isinstance(corpo, dict):
                    falhas.append(f"{_servico(url)}: resposta ilegível (JSON que não é um objeto)")
        return resposta


@contextmanager
def _observando() -> Iterator[List[str]]:
    falhas: List[str] = []
    _local.falhas = falhas
    try:
        yield falhas
    finally:
        _local.falhas = None
