"""O servidor local de registro: a frente HTTP que só traduz.

Responde às mesmas requisições que o módulo `lexaro_contract.cnpj` faz aos
serviços públicos, a partir de uma fonte de registros (pasta JSON ou banco):

- ``GET  /api/cnpj/v1/{cnpj}``         na forma da BrasilAPI;
- ``GET  /v1/cnpj/{cnpj}``             na forma da ReceitaWS;
- ``POST /v2/public/cnpj/search``      na forma da busca da Casa dos Dados;
- ``GET  /saude``                      o que a fonte contém.

Um CNPJ desconhecido é 404 na forma de cada serviço; com encaminhamento, um
serviço público fora do ar ou sem cota é 503 (nunca 404: indisponível não é
"não encontrado"); um pedido de forma errada é 400 com um erro em JSON.
"""

from __future__ import annotations

import asyncio
import collections
import json
import threading
import time
from pathlib import Path
from typing import Any, Awaitable, Callable, Deque, Dict, List, Optional, Protocol, Tuple, Union

from ...enderecos import CAMINHO_BRASIL_API, CAMINHO_BUSCA, CAMINHO_RECEITA_WS, Enderecos, apontar
from ..fonte import Ficha, Fonte, FonteIndisponivel, chave_texto, cnpj_valido
from .formas import (ConsultaBusca, ConsultaInvalida, corpo_da_saude, erro_busca, erro_por_cnpj, fonte_parcial,
                     ler_consulta_busca, resposta_busca, resposta_por_cnpj)
from .http11 import Pedido, Resposta, ServidorHttp, Trabalhadores
from .pasta_json import PastaJson, carregar_dados

# Os caminhos dos três serviços, como `enderecos` aponta o `cnpj` para eles.
BRASIL_API_PATH = CAMINHO_BRASIL_API.split("{", 1)[0]
RECEITA_WS_PATH = CAMINHO_RECEITA_WS.split("{", 1)[0]
BUSCA_PATH = CAMINHO_BUSCA
ITENS_POR_PAGINA = 20
# Uma busca (todos os termos e UFs do corpo) para de juntar resultados depois
# deste tempo e responde o que achou; no máximo `MAX_BUSCAS_ESPERANDO` esperam
# a vez, as outras recebem 503. As buscas ocupam no máximo metade das threads:
# as consultas por CNPJ e /saude nunca esperam atrás delas.
PRAZO_BUSCA = 2.0
MAX_BUSCAS_ESPERANDO = 1024

Dados = Union[str, Path, Dict[str, Ficha], Fonte, Callable[[], Fonte]]


class ServicosPublicos(Protocol):
    """Os serviços públicos vistos da frente: o que ela pede a quem encaminha
    para eles o que a fonte não tem (o `Encaminhador`, em `registro.encaminhamento`)."""

    def consultar(self, chave: str) -> Optional[Ficha]:
        """A ficha do CNPJ, None se não existe; FonteIndisponivel se não se sabe."""

    def buscar(self, corpo: Dict[str, Any]) -> Dict[str, Any]:
        """A resposta da busca da Casa dos Dados para `corpo`; FonteIndisponivel se não veio."""

    def do_cache(self, chave: str) -> Tuple[bool, Optional[Ficha]]:
        """(True, ficha ou None) se a resposta já guardada decide, sem perguntar a ninguém."""

    def estatisticas(self) -> Dict[str, Any]:
        """Os contadores do encaminhamento, mostrados em /saude."""

    def close(self) -> None:
        """Libera as conexões e o cache."""


def _json(status: int, corpo: Any, extras: Tuple[Tuple[str, str], ...] = ()) -> Resposta:
    return Resposta(status, json.dumps(corpo, ensure_ascii=False).encode("utf-8"), extras)


def _tentar_em(e: FonteIndisponivel) -> Tuple[Tuple[str, str], ...]:
    if e.tentar_em is None:
        return ()
    return (("Retry-After", str(max(1, int(e.tentar_em + 0.999)))),)


def juntar_buscas(fonte: Fonte, consulta: ConsultaBusca, limite: int = ITENS_POR_PAGINA,
                  prazo: Optional[float] = None) -> List[Ficha]:
    """Uma busca por termo e por UF, sem repetir empresa, na ordem em que vieram;
    com `prazo` (segundos), para de buscar quando ele vence."""
    vistos = set()
    achados: List[Ficha] = []
    fim = time.monotonic() + prazo if prazo is not None else None
    for termo in consulta.termos:
        ufs: List[Optional[str]] = list(consulta.ufs) or [None]
        for uf in ufs:
            if fim is not None and time.monotonic() > fim:
                return achados
            for reg in fonte.buscar(termo, uf=uf, situacao=consulta.situacao, limite=limite):
                chave = chave_texto(reg.get("cnpj") or "")
                if chave not in vistos:
                    vistos.add(chave)
                    achados.append(reg)
    return achados


# Uma resposta já decidida antes de a fonte ser perguntada: (status, corpo).
Pronta = Tuple[int, Dict[str, Any]]


def chave_por_cnpj(texto: str, receita_ws: bool) -> Union[str, Pronta]:
    """A chave do CNPJ pedido em `texto`, ou o 400 de um CNPJ inválido. A
    frente HTTP e o cliente no processo passam por aqui (e pelas duas
    seguintes): as duas respostas não podem divergir."""
    chave = chave_texto(texto)
    if not cnpj_valido(chave):
        return 400, erro_por_cnpj(400, texto[:40], receita_ws)
    return chave


def consulta_por_busca(corpo: Any) -> Union[ConsultaBusca, Pronta]:
    """A consulta do corpo (já lido) de uma busca, ou a resposta que ela já
    tem: 400 para uma consulta inválida, 200 sem achados para nenhum termo."""
    try:
        consulta = ler_consulta_busca(corpo)
    except ConsultaInvalida as e:
        return 400, erro_busca(str(e))
    if not consulta.termos:
        return 200, resposta_busca([])
    return consulta


def pagina_da_busca(achados: List[Ficha]) -> Dict[str, Any]:
    """O corpo de uma busca com `achados`: a primeira página e o total."""
    return resposta_busca(achados[:ITENS_POR_PAGINA], len(achados))


def rota(metodo: str, caminho: str) -> Tuple[str, Any]:
    """Que rota atende `metodo caminho`: ("cnpj", (texto do CNPJ, forma da
    ReceitaWS?)), ("saude", None), ("busca", None), ou ("erro", (status,
    corpo, cabeçalhos)) para um método errado (405) ou um caminho desconhecido (404)."""
    if metodo == "GET":
        if caminho.startswith(BRASIL_API_PATH):
            return "cnpj", (caminho[len(BRASIL_API_PATH):], False)
        if caminho.startswith(RECEITA_WS_PATH):
            return "cnpj", (caminho[len(RECEITA_WS_PATH):], True)
        if caminho in ("/", "/saude"):
            return "saude", None
    elif metodo == "POST" and caminho == BUSCA_PATH:
        return "busca", None
    if caminho.startswith((BRASIL_API_PATH, RECEITA_WS_PATH)) or caminho in ("/", "/saude", BUSCA_PATH):
        return "erro", (405, {"message": f"Método {metodo} não aceito em {caminho}"},
                        (("Allow", "POST" if caminho == BUSCA_PATH else "GET"),))
    return "erro", (404, {"message": "Caminho desconhecido"}, ())


class FrenteRegistro:
    """Traduz pedidos HTTP em perguntas à fonte e respostas na forma de cada serviço."""

    def __init__(self, fonte: Optional[Fonte], abrir: Optional[Callable[[], Fonte]] = None,
                 encaminhador: Optional[ServicosPublicos] = None, trabalhadores: int = 8) -> None:
        if (fonte is None) == (abrir is None):
            raise ValueError("informe a fonte compartilhada ou a função que abre uma por thread")
        self.fonte = fonte
        self.encaminhador = encaminhador
        # Uma fonte em memória responde por CNPJ no próprio laço (microssegundos);
        # o resto (banco, buscas, encaminhamento) vai para threads.
        self.em_linha = isinstance(fonte, PastaJson)
        compartilhada = fonte
        self.locais: Trabalhadores[Fonte] = Trabalhadores(
            trabalhadores, abrir if abrir is not None else (lambda: compartilhada), "registro")  # type: ignore[arg-type,return-value]  # noqa: E501
        # As buscas ocupam no máximo metade das threads: a outra metade fica
        # para as consultas por CNPJ e /saude.
        self.max_buscas = max(1, trabalhadores // 2)
        self.buscas_ativas = 0
        self.buscas_esperando = 0
        self._vez_das_buscas: Deque["asyncio.Future[None]"] = collections.deque()
        self.remotos: Optional[Trabalhadores[None]] = (
            Trabalhadores(32, lambda: None, "encaminhamento") if encaminhador is not None else None)
        self._corpos: Dict[str, bytes] = {}

    def fechar(self) -> None:
        self.locais.parar()
        if self.remotos is not None:
            self.remotos.parar()
        if self.encaminhador is not None:
            self.encaminhador.close()

    # ------------------------------------------------------------ rotas

    def atender(self, p: Pedido) -> Union[Resposta, Awaitable[Resposta]]:
        qual, detalhe = rota(p.metodo, p.caminho)
        if qual == "cnpj":
            return self._por_cnpj(*detalhe)
        if qual == "saude":
            return self._saude()
        if qual == "busca":
            return self._buscar(p.corpo)
        return _json(*detalhe)

    def _resposta_registro(self, chave: str, reg: Optional[Ficha], receita_ws: bool,
                           da_pasta: bool = False, parcial: bool = False) -> Resposta:
        if reg is not None and da_pasta and not receita_ws:
            # Os registros da pasta não mudam: o corpo é montado uma vez.
            corpo = self._corpos.get(chave)
            if corpo is None:
                corpo = self._corpos[chave] = json.dumps(reg, ensure_ascii=False).encode("utf-8")
            return Resposta(200, corpo)
        return _json(*resposta_por_cnpj(chave, reg, receita_ws, parcial))

    def _por_cnpj(self, texto: str, receita_ws: bool) -> Union[Resposta, Awaitable[Resposta]]:
        chave = chave_por_cnpj(texto, receita_ws)
        if not isinstance(chave, str):
            return _json(*chave)
        if self.em_linha:
            assert isinstance(self.fonte, PastaJson)
            reg = self.fonte.registros.get(chave)
            if reg is not None or self.encaminhador is None:
                return self._resposta_registro(chave, reg, receita_ws, da_pasta=True)
        return self._por_cnpj_em_thread(chave, receita_ws)

    async def _por_cnpj_em_thread(self, chave: str, receita_ws: bool) -> Resposta:
        laco = asyncio.get_running_loop()
        reg: Optional[Ficha] = None
        parcial = False
        if not self.em_linha:
            reg, parcial = await self.locais.executar(
                laco, lambda f: (f.consultar(chave), fonte_parcial(f)))
        if reg is None and self.encaminhador is not None and self.remotos is not None:
            enc = self.encaminhador
            # O que o cache já sabe responde já, mesmo com todos os encaminhamentos
            # presos num serviço lento.
            sabe, guardado = await self.locais.executar(laco, lambda _f: enc.do_cache(chave))
            if sabe:
                return self._resposta_registro(chave, guardado, receita_ws)
            espera = float(getattr(enc, "espera_maxima", 8.0))
            try:
                reg = await asyncio.wait_for(self.remotos.executar(laco, lambda _: enc.consultar(chave)), espera)
            except (FonteIndisponivel, asyncio.TimeoutError) as e:
                if not isinstance(e, FonteIndisponivel):
                    e = FonteIndisponivel("serviços públicos sem resposta no prazo; tente de novo mais tarde", espera)
                return _json(503, erro_por_cnpj(503, chave, receita_ws, str(e)), _tentar_em(e))
            parcial = False   # os serviços públicos responderam: "não existe" vale
        return self._resposta_registro(chave, reg, receita_ws, parcial=parcial)

    def _saude(self) -> Union[Resposta, Awaitable[Resposta]]:
        def resposta(info: Dict[str, Any]) -> Resposta:
            extras = {"encaminhamento": self.encaminhador.estatisticas()} if self.encaminhador is not None else {}
            return _json(200, corpo_da_saude(info, **extras))

        if self.em_linha:
            assert self.fonte is not None
            return resposta(self.fonte.info())

        async def em_thread() -> Resposta:
            return resposta(await self.locais.executar(asyncio.get_running_loop(), lambda f: f.info()))
        return em_thread()

    def _buscar(self, bruto: bytes) -> Union[Resposta, Awaitable[Resposta]]:
        try:
            corpo = json.loads(bruto or b"{}")
        except (ValueError, RecursionError):
            return _json(400, erro_busca("JSON inválido"))
        consulta = consulta_por_busca(corpo)
        if not isinstance(consulta, ConsultaBusca):
            return _json(*consulta)
        if self.buscas_esperando >= MAX_BUSCAS_ESPERANDO:
            return _json(503, erro_busca("Buscas demais ao mesmo tempo; tente de novo"), (("Retry-After", "1"),))
        return self._buscar_em_thread(consulta, corpo)

    async def _buscar_em_thread(self, consulta: ConsultaBusca, corpo: Dict[str, Any]) -> Resposta:
        laco = asyncio.get_running_loop()
        self.buscas_esperando += 1
        try:
            while self.buscas_ativas >= self.max_buscas:
                vez = laco.create_future()
                self._vez_das_buscas.append(vez)
                await vez
            self.buscas_ativas += 1
        finally:
            self.buscas_esperando -= 1
        try:
            achados = await self.locais.executar(laco, lambda f: juntar_buscas(f, consulta, prazo=PRAZO_BUSCA))
        finally:
            self.buscas_ativas -= 1
            while self._vez_das_buscas:
                vez = self._vez_das_buscas.popleft()
                if not vez.done():
                    vez.set_result(None)
                    break
        if not achados and self.encaminhador is not None and self.remotos is not None:
            enc = self.encaminhador
            try:
                return _json(200, await self.remotos.executar(laco, lambda _: enc.buscar(corpo)))
            except FonteIndisponivel as e:
                return _json(503, erro_busca(str(e)), _tentar_em(e))
        return _json(200, pagina_da_busca(achados))


class ServidorRegistro(ServidorHttp):
    """O servidor HTTP com a sua frente de registro (`frente`)."""

    frente: FrenteRegistro


def _fonte_de(dados: Dados) -> Tuple[Optional[Fonte], Optional[Callable[[], Fonte]]]:
    if isinstance(dados, (str, Path)):
        return PastaJson.abrir(dados), None
    if isinstance(dados, dict):
        return PastaJson(dados), None
    if hasattr(dados, "consultar"):
        return dados, None  # type: ignore[return-value]
    if callable(dados):
        return None, dados
    raise TypeError("dados: uma pasta, um dicionário de registros, uma fonte ou uma função que abre uma fonte")


def criar_servidor(dados: Dados, porta: int = 0, host: str = "127.0.0.1", *,
                   encaminhador: Optional[ServicosPublicos] = None, trabalhadores: int = 8,
                   backlog: int = 1024, **prazos: Any) -> ServidorRegistro:
    """Cria o servidor (já escutando, ainda sem atender) sobre `dados`.

    `dados`: uma pasta de JSON, um dicionário CNPJ -> registro, uma fonte pronta
    (compartilhada entre as threads) ou uma função sem argumentos que abre uma
    fonte (uma por thread, para bancos cuja conexão não muda de thread).
    """
    fonte, abrir = _fonte_de(dados)
    frente = FrenteRegistro(fonte, abrir, encaminhador, trabalhadores)
    try:
        servidor = ServidorRegistro(frente.atender, host, porta, backlog=backlog, **prazos)
    except BaseException:
        frente.fechar()
        raise
    servidor.frente = frente
    servidor.ao_fechar(frente.fechar)
    return servidor


def url_base(servidor: ServidorHttp) -> str:
    host, porta = servidor.server_address[:2]
    return f"http://{host}:{porta}"


def iniciar_em_segundo_plano(dados: Dados, porta: int = 0, **opcoes: Any) -> Tuple[ServidorRegistro, str]:
    """Inicia o servidor numa thread; devolve o servidor e a URL base.

    Pare com ``servidor.shutdown(); servidor.server_close()``.
    """
    servidor = criar_servidor(dados, porta, **opcoes)
    threading.Thread(target=servidor.serve_forever, name="registro-local", daemon=True).start()
    return servidor, url_base(servidor)


def apontar_cnpj_para(base: str) -> None:
    """Faz o módulo `cnpj` deste processo consultar o servidor em `base`."""
    apontar(Enderecos.na_base(base))


def buscar(registros: Dict[str, Ficha], corpo: Any) -> Dict[str, Any]:
    """Busca por nome nos `registros`, com o corpo e a resposta da Casa dos Dados.

    ConsultaInvalida (um ValueError) se o corpo não tem a forma esperada.
    """
    achados = juntar_buscas(PastaJson(registros), ler_consulta_busca(corpo))
    return pagina_da_busca(achados)


__all__ = ["BRASIL_API_PATH", "RECEITA_WS_PATH", "BUSCA_PATH", "FrenteRegistro", "ServidorRegistro",
           "apontar_cnpj_para", "buscar", "carregar_dados", "criar_servidor", "iniciar_em_segundo_plano",
           "juntar_buscas", "rota", "url_base"]
