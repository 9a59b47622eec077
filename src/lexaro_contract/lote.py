"""Lotes de verificação sobre qualquer executor no estilo `concurrent.futures`.

`verificar_lote(arquivos, executor)` despacha um arquivo por tarefa e devolve
os registros à medida que terminam. O executor pode ser um pool de fios, um de
processos, um cliente do Dask (`distributed.Client`) ou uma função sem
argumentos que cria um executor (então o lote é dono dele e o troca por outro
novo se um processo trabalhador morrer).

Regras que valem para todo executor:

- No máximo `simultaneos` tarefas em voo: nada espera numa fila, então parar o
  lote (`parar`) não deixa nenhuma verificação começar depois do pedido.
- A tarefa nunca levanta: toda falha de um arquivo vira um registro de erro.
  Uma exceção que sai do futuro é, portanto, do trabalhador (processo morto,
  trabalhador do Dask perdido): o arquivo é tentado mais uma vez, sozinho, e
  na segunda falha vira um registro de erro; o lote continua.
- Só quem consome o iterador escreve a saída; um trabalhador que morre não
  perde nem corrompe nada.

Cada registro é um dicionário: ``{"arquivo", "resultado"}`` ou
``{"arquivo", "erro", "tipo_erro"}``.
"""

from __future__ import annotations

import concurrent.futures as cf
import os
import sys
import threading
import time
from collections import deque
from contextlib import nullcontext
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, ContextManager, Deque, Dict, Iterable, Iterator, Optional, Set, Tuple, Union

from .enderecos import Enderecos, verificando
from .lote_executores import ExecutorDeFios as ExecutorDeFios
from .lote_executores import como_executor, matar_processos, sem_ctrl_c
from .lote_executores import fabrica_de_processos as fabrica_de_processos
from .lote_executores import fios_ocupados as fios_ocupados

if TYPE_CHECKING:
    from .checker import ContractChecker

Registro = Dict[str, Any]

# Tipos de erro de um registro (`tipo_erro`).
ERRO_ARQUIVO = "arquivo"            # não existe, é um diretório
ERRO_PDF = "pdf"                    # ilegível, protegido, sem texto, grande demais
ERRO_REGISTRO = "registro"          # um serviço de registro falhou durante a verificação
ERRO_CREDENCIAL = "credencial"      # o serviço do modelo recusou a chave
ERRO_MODELO = "modelo"              # o serviço do modelo não responde
ERRO_PROCESSO = "processo"          # o trabalhador morreu duas vezes com o arquivo
ERRO_VERIFICACAO = "verificacao"    # qualquer outra falha

INDISPONIVEL = "registro indisponível durante a verificação"

# Variáveis de ambiente cujos valores nunca saem em mensagens.
VARIAVEIS_SECRETAS = ("OPENAI_API_KEY", "AZURE_API_KEY", "LEXARO_API_TOKEN")
_MASCARA = "***"
_MENOR_SEGREDO = 4


# ---------------------------------------------------------------- segredos

def segredos_configurados(extras: Iterable[Optional[str]] = ()) -> Tuple[str, ...]:
    """As chaves e tokens do ambiente e os passados, do mais longo ao mais
    curto (um segredo que contém outro é mascarado inteiro)."""
    valores = {os.environ.get(v) for v in VARIAVEIS_SECRETAS} | set(extras)
    return tuple(sorted((s for s in valores if s and len(s) >= _MENOR_SEGREDO), key=len, reverse=True))


def mascarar(texto: str, segredos: Iterable[str]) -> str:
    for s in segredos:
        if s in texto:
            texto = texto.replace(s, _MASCARA)
    return texto


# ---------------------------------------------------------------- uma verificação

@dataclass(frozen=True)
class Configuracao:
    """O que uma tarefa precisa para verificar um arquivo em qualquer
    trabalhador: o motor e os endereços dos serviços de registro do cliente
    (um trabalhador remoto usa o mesmo registro que quem despachou)."""

    provider: Optional[str] = None
    model: Optional[str] = None
    enderecos: Optional[Enderecos] = None   # None: os do processo onde a tarefa roda
    segredos: Tuple[str, ...] = ()
    raizes: Optional[str] = None   # pasta das raízes de confiança das assinaturas digitais
    poderes: bool = True           # confere os poderes de assinatura de cada signatário
    # Quem faz o verificador de cada fio (uma função de módulo, que vai a um
    # processo trabalhador por nome); None: `novo_verificador(provider, model)`.
    fabrica: Optional[Callable[[], Any]] = None
    digitais: bool = True          # lê as assinaturas digitais do PDF

    @classmethod
    def atual(cls, provider: Optional[str] = None, model: Optional[str] = None,
              segredos: Iterable[str] = (), raizes: Optional[str] = None,
              poderes: bool = True) -> "Configuracao":
        return cls(provider, model, Enderecos.atuais(observado=True), tuple(segredos), raizes, poderes)


def novo_verificador(provider: Optional[str] = None, model: Optional[str] = None,
                     verbose: bool = False) -> "ContractChecker":
    """Um ContractChecker com as opções da linha de comando (provedor,
    modelo, verbose). ValueError se o provedor não existe ou faltam as suas
    credenciais."""
    from .checker import ContractChecker

    kwargs: Dict[str, Any] = {"verbose": verbose}
    if provider:
        kwargs["provider"] = provider
    if model:
        kwargs["model"] = model
    return ContractChecker(**kwargs)


_local = threading.local()


def verificador_do_fio(config: Configuracao) -> Any:
    """Um ContractChecker por fio e por motor (ou por `config.fabrica`): o
    cliente do motor não é compartilhado entre verificações simultâneas."""
    cache: Dict[Any, Any] = getattr(_local, "verificadores", None) or {}
    _local.verificadores = cache
    chave = (config.provider, config.model) if config.fabrica is None else config.fabrica
    if chave not in cache:
        cache[chave] = config.fabrica() if config.fabrica is not None else novo_verificador(config.provider,
                                                                                            config.model)
    return cache[chave]


def _classificar(exc: BaseException) -> str:
    openai = sys.modules.get("openai")
    if openai is not None:
        if isinstance(exc, (openai.AuthenticationError, openai.PermissionDeniedError)):
            return ERRO_CREDENCIAL
        if isinstance(exc, openai.APIConnectionError):
            return ERRO_MODELO
    if isinstance(exc, (FileNotFoundError, IsADirectoryError)):
        return ERRO_ARQUIVO
    lexaro_errors = sys.modules.get("lexaro.errors")
    if lexaro_errors is not None and isinstance(exc, lexaro_errors.PDFError):
        return ERRO_PDF
    return ERRO_VERIFICACAO


def erro(arquivo: str, mensagem: str, tipo: str) -> Registro:
    return {"arquivo": arquivo, "erro": mensagem, "tipo_erro": tipo}


def verificar_arquivo(arquivo: str, config: Configuracao, verificador: Any = None) -> Registro:
    """Verifica um arquivo e devolve o seu registro; nunca levanta uma
    exceção comum (a interrupção do programa passa). Sem `verificador`, usa
    um ContractChecker silencioso deste fio, feito com `config`."""
    p = Path(arquivo)
    if not p.exists():
        return erro(arquivo, f"Arquivo não encontrado: {arquivo}", ERRO_ARQUIVO)
    if p.is_dir():
        return erro(arquivo, f"É um diretório, não um PDF: {arquivo}", ERRO_ARQUIVO)
    try:
        if verificador is None:
            verificador = verificador_do_fio(config)
        # Sob os endereços de quem despachou: um trabalhador troca de
        # registro só quando nenhuma verificação sua está em curso.
        with verificando(config.enderecos) as falhas, _registros_usados(verificador, config) as registros:
            resultado = verificador.verificar(arquivo)
    except Exception as e:  # noqa: BLE001 - o lote segue com o próximo arquivo
        return erro(arquivo, mascarar(f"{type(e).__name__}: {e}", config.segredos), _classificar(e))
    if falhas:
        # Um serviço que não atendeu fez a consulta parecer "não encontrado":
        # o veredito não vale e o arquivo é verificado de novo ao retomar.
        distintas = list(dict.fromkeys(falhas))
        return erro(arquivo, f"{INDISPONIVEL}: {'; '.join(distintas)}", ERRO_REGISTRO)
    registro: Registro = {"arquivo": arquivo, "resultado": resultado}
    if config.digitais:
        registro["assinaturas_digitais"] = assinaturas_digitais(arquivo, resultado, config.raizes)
    if registros is not None:
        registro["poderes"] = poderes_de_assinatura(resultado, registros)
    registro["evidencias"] = evidencias(verificador, arquivo)
    return registro


_SEM_EVIDENCIAS: Dict[str, Any] = {"empresas": [], "signatarios": []}


def evidencias(verificador: Any, arquivo: str) -> Dict[str, Any]:
    """Onde o motor leu cada empresa, CNPJ e signatário do arquivo que o
    verificador acabou de verificar (o cliente do motor guarda só o último
    documento: chamada no mesmo fio, antes da próxima verificação). Sem
    motor, ou numa falha, as listas vêm vazias."""
    obter = getattr(getattr(verificador, "_client", None), "evidencias", None)
    try:
        achadas = obter(arquivo) if callable(obter) else None
    except Exception:  # noqa: BLE001 - a evidência não derruba o veredito
        achadas = None
    return achadas if isinstance(achadas, dict) else {k: list(v) for k, v in _SEM_EVIDENCIAS.items()}


def _registros_usados(verificador: Any, config: Configuracao) -> "ContextManager[Optional[Dict[str, Any]]]":
    """Os registros da Receita que a verificação usar (para os poderes de
    assinatura), ou None quando a conferência está desligada."""
    if not config.poderes:
        return nullcontext(None)
    from .poderes import registros_da_verificacao

    return registros_da_verificacao(verificador)


def poderes_de_assinatura(resultado: Dict[str, Any], registros: Dict[str, Any]) -> Dict[str, Any]:
    """Os poderes de assinatura dos signatários; uma falha vira achado pendente."""
    from .poderes import avaliar_poderes

    try:
        return avaliar_poderes(resultado, registros)
    except Exception as e:  # noqa: BLE001 - o veredito do texto não se perde por isso
        return {"signatarios": [], "achados": [
            {"status": "pendente", "mensagem": f"falha ao conferir os poderes de assinatura: {type(e).__name__}: {e}"}]}


def assinaturas_digitais(arquivo: str, resultado: Dict[str, Any], raizes: Optional[str]) -> Dict[str, Any]:
    """As assinaturas digitais do PDF cruzadas com o resultado; uma falha vira achado pendente."""
    from . import assinaturas

    try:
        digitais = assinaturas.verificar_assinaturas(arquivo, raizes)
    except Exception as e:  # noqa: BLE001 - o veredito do texto não se perde por isso
        digitais = {"assinaturas": [], "achados": [
            {"status": "pendente", "mensagem": f"falha ao conferir as assinaturas digitais: {type(e).__name__}: {e}"}]}
    return assinaturas.cruzar_com_verificacao(digitais, resultado)


# ---------------------------------------------------------------- o lote

def verificar_lote(
    arquivos: Iterable[str],
    executor: Union[cf.Executor, Callable[[], cf.Executor], Any],
    *,
    provider: Optional[str] = None,
    model: Optional[str] = None,
    simultaneos: Optional[int] = None,
    segredos: Iterable[str] = (),
    raizes: Optional[str] = None,
    poderes: bool = True,
    parar: Optional[threading.Event] = None,
    desistir: Optional[threading.Event] = None,
    espera_final: float = 0.5,
) -> Iterator[Registro]:
    """Verifica `arquivos` no `executor` e devolve cada registro ao terminar.

    `parar` (um `threading.Event`) encerra o despacho: nada novo começa, o que
    está em voo tem até `espera_final` segundos para terminar (ou até
    `desistir`), e o resto é abandonado. As chaves do ambiente e `segredos`
    são mascarados nas mensagens de erro. `raizes`: a pasta das raízes de
    confiança com que as assinaturas digitais de cada PDF são conferidas.
    `poderes`: confere os poderes de assinatura de cada signatário (cada
    registro ganha `poderes`).
    """
    parar = parar or threading.Event()
    desistir = desistir or threading.Event()
    config = Configuracao.atual(provider, model, segredos_configurados(segredos), raizes, poderes)
    atual, fabrica, sugerido = como_executor(executor)
    limite = max(1, simultaneos or sugerido or (os.cpu_count() or 1))
    proprio = fabrica is not None

    fila: Deque[str] = deque(arquivos)
    de_novo: Deque[str] = deque()     # trabalhador morreu: tentar uma vez, sozinho
    tentados: Set[str] = set()
    em_voo: Dict["cf.Future[Registro]", str] = {}
    quebrado: Optional[BaseException] = None

    def submeter(arquivo: str) -> None:
        nonlocal atual, quebrado
        if quebrado is not None:
            if fabrica is None:
                raise quebrado
            atual.shutdown(wait=False)
            atual, quebrado = fabrica(), None
        with sem_ctrl_c():
            em_voo[atual.submit(verificar_arquivo, arquivo, config)] = arquivo

    try:
        while True:
            if not parar.is_set():
                try:
                    # Um arquivo que derrubou o seu trabalhador roda sozinho:
                    # se derrubar outro, a culpa é dele e não de um vizinho.
                    if de_novo:
                        if not em_voo:
                            submeter(de_novo.popleft())
                    elif not (tentados & set(em_voo.values())):
                        while fila and len(em_voo) < limite:
                            submeter(fila[0])
                            fila.popleft()
                except Exception as e:  # noqa: BLE001 - o executor não aceita mais tarefas
                    motivo = mascarar(f"o executor parou: {type(e).__name__}: {e}", config.segredos)
                    for a in list(de_novo) + list(fila):
                        yield erro(a, motivo, ERRO_PROCESSO)
                    de_novo.clear()
                    fila.clear()
            if not em_voo:
                if parar.is_set() or not (fila or de_novo):
                    return
                continue
            feitos, _ = cf.wait(list(em_voo), timeout=0.1, return_when=cf.FIRST_COMPLETED)
            for futuro in feitos:
                arquivo = em_voo.pop(futuro)
                try:
                    yield futuro.result()
                    continue
                except cf.CancelledError:
                    continue
                except Exception as e:  # noqa: BLE001 - o trabalhador, não o arquivo, falhou
                    falha: BaseException = e
                if isinstance(falha, cf.BrokenExecutor):
                    quebrado = falha
                if arquivo in tentados:
                    yield erro(arquivo, mascarar(
                        f"o processo de verificação terminou de forma anormal duas vezes com este arquivo "
                        f"({type(falha).__name__}: {falha})", config.segredos), ERRO_PROCESSO)
                else:
                    tentados.add(arquivo)
                    de_novo.append(arquivo)
            if parar.is_set():
                prazo = time.monotonic() + espera_final
                while em_voo and time.monotonic() < prazo and not desistir.is_set():
                    feitos, _ = cf.wait(list(em_voo), timeout=0.05, return_when=cf.FIRST_COMPLETED)
                    for futuro in feitos:
                        em_voo.pop(futuro)
                        if not futuro.cancelled() and futuro.exception() is None:
                            yield futuro.result()
                return
    finally:
        abandonados = bool(em_voo)
        for futuro in em_voo:
            futuro.cancel()
        if proprio:
            # Um lote parado não espera o fim dos processos ociosos: o Ctrl-C
            # promete a saída em cerca de um segundo, e encerrar intérpretes
            # ocupa a máquina por mais que isso.
            if abandonados or quebrado is not None or parar.is_set():
                matar_processos(atual)
                atual.shutdown(wait=False, cancel_futures=True)
            else:
                atual.shutdown(wait=True)
        elif atual is not executor:  # o executor de um cliente do Dask
            atual.shutdown(wait=False)
