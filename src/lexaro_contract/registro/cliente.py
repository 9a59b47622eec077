"""Clientes HTTP para o módulo `cnpj` numa passada longa (a reverificação do
acervo): ficam no lugar do `requests` que o módulo procura a cada consulta
(instalados por `enderecos.apontando(..., cliente)`, nunca à mão).

- `ClienteNoProcesso` responde às URLs de um registro servido neste processo
  sem socket nem JSON: as mesmas rotas e formas da frente HTTP
  (`servidor.frente` e `servidor.formas`), perguntadas à fonte de cada fio. O
  servidor HTTP segue de pé para quem chega pela rede; uma URL de fora da base
  vai ao cliente remoto.
- `SessoesPorFio`: os serviços configurados, com uma sessão `requests` (que
  mantém a conexão aberta) por fio.
- `Memorizado`: guarda as respostas que dizem algo da empresa (200, 404, 400)
  por URL durante a passada, em que o mês do registro não muda e o mesmo
  fornecedor aparece em muitos contratos. Respostas de indisponibilidade
  nunca ficam guardadas.
"""

from __future__ import annotations

import collections
import threading
from typing import Any, Callable, Hashable, List, Optional, Tuple

from .fonte import Fonte, FonteIndisponivel
from .servidor.formas import (ConsultaBusca, corpo_da_saude, erro_busca, erro_por_cnpj, fonte_parcial,
                              resposta_por_cnpj)
from .servidor.frente import PRAZO_BUSCA, chave_por_cnpj, consulta_por_busca, juntar_buscas, pagina_da_busca, rota

# Quantas respostas a memória de uma passada guarda (as mais antigas saem primeiro).
LIMITE_MEMORIA = 20_000


class RespostaLocal:
    """O que o `cnpj` e o observador do registro leem de uma resposta
    (`status_code`, `json()`), sem o corpo ter virado texto."""

    __slots__ = ("status_code", "url", "_corpo")

    def __init__(self, status_code: int, corpo: Any, url: str = "") -> None:
        self.status_code, self._corpo, self.url = status_code, corpo, url

    def json(self, **_: Any) -> Any:
        return self._corpo


class SessoesPorFio:
    """`get` e `post` numa sessão `requests` deste fio (conexões reaproveitadas)."""

    def __init__(self) -> None:
        self._local = threading.local()
        self._sessoes: List[Any] = []
        self._trava = threading.Lock()

    def _sessao(self) -> Any:
        sessao = getattr(self._local, "sessao", None)
        if sessao is None:
            import requests

            sessao = self._local.sessao = requests.Session()
            with self._trava:
                self._sessoes.append(sessao)
        return sessao

    def get(self, url: str, **kwargs: Any) -> Any:
        return self._sessao().get(url, **kwargs)

    def post(self, url: str, **kwargs: Any) -> Any:
        return self._sessao().post(url, **kwargs)

    def fechar(self) -> None:
        with self._trava:
            sessoes, self._sessoes = self._sessoes, []
        for s in sessoes:
            s.close()


class ClienteNoProcesso:
    """As rotas da frente de registro chamadas direto, com a fonte deste fio
    (`abrir()` faz uma por fio, como os trabalhadores do servidor)."""

    def __init__(self, base: str, abrir: Callable[[], Fonte]) -> None:
        self.base = base.rstrip("/")
        self._abrir = abrir
        self._remoto = SessoesPorFio()
        self._local = threading.local()
        self._fontes: List[Fonte] = []
        self._trava = threading.Lock()

    def _fonte(self) -> Fonte:
        fonte: Optional[Fonte] = getattr(self._local, "fonte", None)
        if fonte is None:
            fonte = self._local.fonte = self._abrir()
            with self._trava:
                self._fontes.append(fonte)
        return fonte

    def _caminho(self, url: str) -> Optional[str]:
        if not url.startswith(self.base) or url[len(self.base):len(self.base) + 1] not in ("/", ""):
            return None
        return url[len(self.base):].split("?", 1)[0] or "/"

    def get(self, url: str, **kwargs: Any) -> Any:
        caminho = self._caminho(url)
        if caminho is None:
            return self._remoto.get(url, **kwargs)
        return self._responder("GET", caminho, url, None)

    def post(self, url: str, json: Any = None, **kwargs: Any) -> Any:
        caminho = self._caminho(url)
        if caminho is None:
            return self._remoto.post(url, json=json, **kwargs)
        return self._responder("POST", caminho, url, {} if json is None else json)

    def _responder(self, metodo: str, caminho: str, url: str, corpo: Any) -> RespostaLocal:
        """A mesma rota que a frente HTTP daria a `metodo caminho`."""
        qual, detalhe = rota(metodo, caminho)
        if qual == "cnpj":
            return RespostaLocal(*self._por_cnpj(*detalhe), url)
        if qual == "saude":
            return RespostaLocal(*self._protegido(lambda f: (200, corpo_da_saude(f.info()))), url)
        if qual == "busca":
            return RespostaLocal(*self._buscar(corpo), url)
        status, corpo_erro, _cabecalhos = detalhe
        return RespostaLocal(status, corpo_erro, url)

    def _protegido(self, pergunta: Callable[[Fonte], Tuple[int, Any]]) -> Tuple[int, Any]:
        try:
            return pergunta(self._fonte())
        except Exception:  # noqa: BLE001 - como no servidor: uma falha da fonte é 500, nunca um rastro
            return 500, {"message": "Erro interno"}

    def _por_cnpj(self, texto: str, receita_ws: bool) -> Tuple[int, Any]:
        chave = chave_por_cnpj(texto, receita_ws)
        if not isinstance(chave, str):
            return chave

        def pergunta(fonte: Fonte) -> Tuple[int, Any]:
            try:
                reg = fonte.consultar(chave)
            except FonteIndisponivel as e:
                return 503, erro_por_cnpj(503, chave, receita_ws, str(e))
            return resposta_por_cnpj(chave, reg, receita_ws, fonte_parcial(fonte))
        return self._protegido(pergunta)

    def _buscar(self, corpo: Any) -> Tuple[int, Any]:
        consulta = consulta_por_busca(corpo)
        if not isinstance(consulta, ConsultaBusca):
            return consulta

        def pergunta(fonte: Fonte) -> Tuple[int, Any]:
            try:
                achados = juntar_buscas(fonte, consulta, prazo=PRAZO_BUSCA)
            except FonteIndisponivel as e:
                return 503, erro_busca(str(e))
            return 200, pagina_da_busca(achados)
        return self._protegido(pergunta)

    def fechar(self) -> None:
        with self._trava:
            fontes, self._fontes = self._fontes, []
        for f in fontes:
            fechar = getattr(f, "close", None)
            if callable(fechar):
                fechar()
        self._remoto.fechar()


# Respostas que dizem algo da empresa e valem pela passada inteira.
_GUARDAVEIS = frozenset({200, 400, 404})


class Memorizado:
    """As respostas de `cliente` por pedido, enquanto durar a passada."""

    def __init__(self, cliente: Any, limite: int = LIMITE_MEMORIA) -> None:
        self.cliente = cliente
        self.limite = limite
        self._memoria: "collections.OrderedDict[Hashable, Any]" = collections.OrderedDict()
        self._trava = threading.Lock()

    def _lembrar(self, chave: Hashable, pedir: Callable[[], Any]) -> Any:
        with self._trava:
            resposta = self._memoria.get(chave)
            if resposta is not None:
                return resposta
        resposta = pedir()
        if getattr(resposta, "status_code", None) in _GUARDAVEIS:
            with self._trava:
                self._memoria[chave] = resposta
                if len(self._memoria) > self.limite:
                    self._memoria.popitem(last=False)
        return resposta

    def get(self, url: str, **kwargs: Any) -> Any:
        if kwargs.keys() - {"timeout", "headers"}:
            return self.cliente.get(url, **kwargs)
        return self._lembrar(("GET", url), lambda: self.cliente.get(url, **kwargs))

    def post(self, url: str, json: Any = None, **kwargs: Any) -> Any:
        if json is None or kwargs.keys() - {"timeout", "headers"}:
            return self.cliente.post(url, json=json, **kwargs)
        import json as json_

        chave = ("POST", url, json_.dumps(json, sort_keys=True, ensure_ascii=False))
        return self._lembrar(chave, lambda: self.cliente.post(url, json=json, **kwargs))

    def fechar(self) -> None:
        self._memoria.clear()
        fechar = getattr(self.cliente, "fechar", None)
        if callable(fechar):
            fechar()


def sessoes_memorizadas() -> Memorizado:
    """Os serviços configurados, uma sessão por fio, com as respostas
    lembradas pela passada (uma função de módulo: vai por nome a um processo)."""
    return Memorizado(SessoesPorFio())


__all__ = ["ClienteNoProcesso", "LIMITE_MEMORIA", "Memorizado", "RespostaLocal", "SessoesPorFio",
           "sessoes_memorizadas"]
