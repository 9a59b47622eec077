"""O encaminhamento aos serviços públicos, para o que a fonte local não tem.

Por CNPJ: BrasilAPI e depois ReceitaWS; por nome: a busca da Casa dos Dados.
Cada serviço tem a sua `Cota` (ritmo, Retry-After, recuo). As respostas ficam
num `CacheRespostas` com validade. Pedidos simultâneos da mesma chave viram um
pedido só ao serviço (os demais esperam a resposta do primeiro).

A regra que importa: "não encontrado" só quando todos os serviços perguntados
disseram que não existe. Um 429, um 5xx, um tempo esgotado, um corpo cortado ou
uma cota sem folga dentro da espera máxima dão `FonteIndisponivel` (o servidor
responde 503): um lote que esbarra no limite de um serviço não reprova um
contrato por "CNPJ não encontrado".
"""

from __future__ import annotations

import json
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple, TypeVar

import requests

from .cache_respostas import AUSENTE, CacheRespostas
from .cota import Cota, ler_retry_after
from .prazo_http import Vigia, lendo, sessao_com_prazo
from ..fonte import Ficha, FonteIndisponivel, chave_texto
from ..servidor.formas import de_receita_ws

T = TypeVar("T")

BRASIL_API = "https://brasilapi.com.br"
RECEITA_WS = "https://receitaws.com.br"
CASA_DOS_DADOS = "https://api.casadosdados.com.br"

# Uma resposta maior que isto não é um registro nem uma página de busca.
MAX_CORPO_RESPOSTA = 1 << 20

ACHOU, NAO_EXISTE, INDISPONIVEL = "achou", "nao_existe", "indisponivel"
Resultado = Tuple[str, Optional[Dict[str, Any]], Optional[float]]


def _eh_registro_de(dados: Any, chave: str, campo_nome: str) -> bool:
    """Se `dados` é o registro do CNPJ `chave` (um objeto com esse CNPJ e um nome)."""
    if not isinstance(dados, dict) or "error" in dados:
        return False
    cnpj = dados.get("cnpj")
    return isinstance(cnpj, str) and chave_texto(cnpj) == chave and isinstance(dados.get(campo_nome), str) \
        and bool(dados[campo_nome].strip())


class Servico:
    """Um serviço público: nome, URL base e cota."""

    def __init__(self, nome: str, url: str, cota: Cota) -> None:
        self.nome = nome
        self.url = url.rstrip("/")
        self.cota = cota
        self.pedidos = 0
        self.recusas = 0  # 429, 5xx, 403, tempo esgotado, corpo cortado


class _Voo:
    __slots__ = ("pronto", "resultado", "erro")

    def __init__(self) -> None:
        self.pronto = threading.Event()
        self.resultado: Any = None
        self.erro: Optional[FonteIndisponivel] = None


class Encaminhador:
    def __init__(self, cache: CacheRespostas, *, brasil_api: Optional[Servico] = None,
                 receita_ws: Optional[Servico] = None, casa_dos_dados: Optional[Servico] = None,
                 validade: float = 7 * 86400.0, validade_nao_encontrado: float = 6 * 3600.0,
                 espera_maxima: float = 8.0, tempo_limite: float = 10.0) -> None:
        self.cache = cache
        self.brasil_api = brasil_api or Servico("BrasilAPI", BRASIL_API, Cota(60, 60.0))
        self.receita_ws = receita_ws or Servico("ReceitaWS", RECEITA_WS, Cota(3, 60.0))
        self.casa_dos_dados = casa_dos_dados or Servico("Casa dos Dados", CASA_DOS_DADOS, Cota(10, 60.0))
        self.validade = validade
        self.validade_nao_encontrado = validade_nao_encontrado
        self.espera_maxima = espera_maxima
        self.tempo_limite = tempo_limite
        self._voos: Dict[str, _Voo] = {}
        self._trava = threading.Lock()
        self._local = threading.local()
        self._sessoes: List[requests.Session] = []
        self.acertos_cache = 0
        self.juntados = 0

    # ------------------------------------------------------------ interface

    def consultar(self, chave: str) -> Optional[Ficha]:
        """O registro do CNPJ nos serviços públicos, None se não existe; FonteIndisponivel se não se sabe."""
        resultado: Optional[Ficha] = self._uma_vez("cnpj:" + chave, lambda: self._consultar(chave))
        return resultado

    def buscar(self, corpo: Dict[str, Any]) -> Dict[str, Any]:
        """A resposta da busca da Casa dos Dados para `corpo`; FonteIndisponivel se não veio."""
        chave = "busca:" + json.dumps(corpo, sort_keys=True, ensure_ascii=False)
        resultado: Dict[str, Any] = self._uma_vez(chave, lambda: self._buscar(chave, corpo))
        return resultado

    def do_cache(self, chave: str) -> Tuple[bool, Optional[Ficha]]:
        """(True, ficha ou None) se o cache sabe do CNPJ, (False, None) se não:
        sem esperar por nenhum serviço."""
        guardado = self.cache.ler("cnpj:" + chave)
        if guardado is AUSENTE:
            return False, None
        with self._trava:
            self.acertos_cache += 1
        return True, guardado

    def estatisticas(self) -> Dict[str, Any]:
        return {
            "acertos_cache": self.acertos_cache, "juntados": self.juntados,
            **{s.nome: {"pedidos": s.pedidos, "recusas": s.recusas}
               for s in (self.brasil_api, self.receita_ws, self.casa_dos_dados)},
        }

    def close(self) -> None:
        for s in self._sessoes:
            s.close()
        self.cache.close()

    # ------------------------------------------------------------ um pedido por chave

    def _uma_vez(self, chave: str, perguntar: Callable[[], T]) -> T:
        with self._trava:
            voo = self._voos.get(chave)
            lider = voo is None
            if voo is None:
                voo = self._voos[chave] = _Voo()
            else:
                self.juntados += 1
        if not lider:
            voo.pronto.wait()
            if voo.erro is not None:
                raise FonteIndisponivel(str(voo.erro), voo.erro.tentar_em)
            return voo.resultado  # type: ignore[no-any-return]
        try:
            guardado = self.cache.ler(chave)
            if guardado is not AUSENTE:
                with self._trava:
                    self.acertos_cache += 1
                voo.resultado = guardado
            else:
                voo.resultado = perguntar()
            return voo.resultado  # type: ignore[no-any-return]
        except FonteIndisponivel as e:
            voo.erro = e
            raise
        finally:
            with self._trava:
                del self._voos[chave]
            voo.pronto.set()

    # ------------------------------------------------------------ HTTP

    def _sessao(self) -> requests.Session:
        s: Optional[requests.Session] = getattr(self._local, "sessao", None)
        if s is None:
            s = self._local.sessao = sessao_com_prazo()
            with self._trava:
                self._sessoes.append(s)
        return s

    def _pedir(self, servico: Servico, metodo: str, url: str, **kwargs: Any) -> Tuple[Optional[requests.Response], Any]:
        """(resposta, JSON) ou (resposta ou None, AUSENTE) quando não veio um JSON inteiro.

        O pedido inteiro tem `tempo_limite` segundos: um serviço que pinga um byte
        de cada vez não renova o prazo a cada leitura. Um corpo maior que
        `MAX_CORPO_RESPOSTA` é descartado, e nenhum redirecionamento é seguido (um
        registro que vem de outro endereço não é o do serviço)."""
        with self._trava:
            servico.pedidos += 1
        fim = time.monotonic() + self.tempo_limite
        vigia = Vigia(self.tempo_limite)
        try:
            try:
                r = self._sessao().request(metodo, url, timeout=(min(5.0, self.tempo_limite), self.tempo_limite),
                                           stream=True, allow_redirects=False, **kwargs)
            except requests.RequestException:
                return None, AUSENTE
            # O corpo também: uma leitura espera um pedaço inteiro, e cada byte
            # que pinga renova o tempo limite dela.
            try:
                with lendo(getattr(r.raw, "connection", None)):
                    corpo = bytearray()
                    for parte in r.iter_content(65536):
                        corpo += parte
                        if len(corpo) > MAX_CORPO_RESPOSTA or time.monotonic() > fim:
                            return r, AUSENTE
                    # Sem Content-Length, o socket cortado pelo vigia termina o
                    # corpo sem erro: o que chegou até ali está truncado.
                    if time.monotonic() > fim:
                        return r, AUSENTE
            except requests.RequestException:
                return r, AUSENTE
            finally:
                r.close()
        finally:
            vigia.parar()
        try:
            return r, json.loads(bytes(corpo))
        except (ValueError, RecursionError):
            return r, AUSENTE

    def _recusa(self, servico: Servico, r: Optional[requests.Response]) -> Resultado:
        with self._trava:
            servico.recusas += 1
        retry = ler_retry_after(r.headers.get("Retry-After")) if r is not None else None
        servico.cota.falha(retry)
        return INDISPONIVEL, None, retry

    def _brasil_api(self, chave: str) -> Resultado:
        s = self.brasil_api
        r, dados = self._pedir(s, "GET", f"{s.url}/api/cnpj/v1/{chave}")
        if r is not None and r.status_code in (400, 404):
            s.cota.sucesso()
            return NAO_EXISTE, None, None
        # Um registro da BrasilAPI sempre traz o CNPJ pedido e a razão social; um
        # 200 sem eles (ou com o CNPJ de outra empresa) é uma página de erro de
        # algum intermediário ou um engano, não esta empresa: nunca vai ao cache.
        if r is None or r.status_code != 200 or not _eh_registro_de(dados, chave, "razao_social"):
            return self._recusa(s, r)
        s.cota.sucesso()
        return ACHOU, dados, None

    def _receita_ws(self, chave: str) -> Resultado:
        s = self.receita_ws
        r, dados = self._pedir(s, "GET", f"{s.url}/v1/cnpj/{chave}", headers={"Accept": "application/json"})
        if r is None or r.status_code not in (200, 400, 404) or not isinstance(dados, dict):
            return self._recusa(s, r)
        if dados.get("status") == "ERROR" or r.status_code != 200:
            mensagem = str(dados.get("message") or "").lower()
            if "inválido" in mensagem or "invalido" in mensagem or "não encontrado" in mensagem \
                    or "nao encontrado" in mensagem or r.status_code == 404:
                s.cota.sucesso()
                return NAO_EXISTE, None, None
            return self._recusa(s, r)  # "Timeout", "CNPJ rejeitado", ...
        if dados.get("status") != "OK" or not _eh_registro_de(dados, chave, "nome"):
            return self._recusa(s, r)
        s.cota.sucesso()
        return ACHOU, de_receita_ws(dados, chave), None

    # ------------------------------------------------------------ a espera pela vez

    def _na_vez(self, candidatos: List[Tuple[Servico, Callable[[], Resultado]]],
                prazo: float) -> Tuple[Optional[Servico], Optional[Resultado], float]:
        """Espera a cota do primeiro serviço livre (na ordem dada) e pergunta.

        (serviço, resultado, 0) ou (None, None, espera que faltou) se o prazo acaba antes.
        """
        while True:
            esperas = [(s.cota.espera(), i) for i, (s, _) in enumerate(candidatos)]
            espera, i = min(esperas)
            agora = time.monotonic()
            if agora + espera > prazo:
                return None, None, espera
            if espera > 0:
                time.sleep(espera)
                continue
            servico, perguntar = candidatos[i]
            if servico.cota.reservar() > 0:
                continue  # outra thread levou a ficha
            try:
                return servico, perguntar(), 0.0
            finally:
                servico.cota.concluir()

    def _consultar(self, chave: str) -> Optional[Ficha]:
        prazo = time.monotonic() + self.espera_maxima
        pendentes: List[Tuple[Servico, Callable[[], Resultado]]] = [
            (self.brasil_api, lambda: self._brasil_api(chave)),
            (self.receita_ws, lambda: self._receita_ws(chave)),
        ]
        while pendentes:
            servico, resultado, faltou = self._na_vez(pendentes, prazo)
            if servico is None or resultado is None:
                raise FonteIndisponivel(
                    "serviços públicos sem resposta ou sem cota agora (" +
                    ", ".join(s.nome for s, _ in pendentes) + "); tente de novo mais tarde", faltou)
            tipo, registro, _ = resultado
            if tipo == ACHOU:
                self.cache.gravar("cnpj:" + chave, registro, self.validade)
                return registro
            if tipo == NAO_EXISTE:
                pendentes = [(s, f) for s, f in pendentes if s is not servico]
        self.cache.gravar("cnpj:" + chave, None, self.validade_nao_encontrado)
        return None

    def _buscar(self, chave: str, corpo: Dict[str, Any]) -> Dict[str, Any]:
        s = self.casa_dos_dados

        def perguntar() -> Resultado:
            r, dados = self._pedir(s, "POST", f"{s.url}/v2/public/cnpj/search", json=corpo,
                                   headers={"Accept": "application/json"})
            if r is None or r.status_code != 200 or not isinstance(dados, dict) \
                    or dados.get("success") is False or not isinstance(dados.get("data"), dict) \
                    or not isinstance(dados["data"].get("cnpj"), list) \
                    or not all(isinstance(i, dict) for i in dados["data"]["cnpj"]):
                return self._recusa(s, r)
            s.cota.sucesso()
            return ACHOU, dados, None

        prazo = time.monotonic() + self.espera_maxima
        while True:
            servico, resultado, faltou = self._na_vez([(s, perguntar)], prazo)
            if servico is None or resultado is None:
                raise FonteIndisponivel("busca da Casa dos Dados sem resposta ou sem cota agora", faltou)
            if resultado[0] == ACHOU and resultado[1] is not None:
                self.cache.gravar(chave, resultado[1], self.validade)
                return resultado[1]
