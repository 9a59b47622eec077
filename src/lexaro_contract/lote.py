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
import queue
import signal
import sys
import threading
import time
from collections import deque
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Deque, Dict, Iterable, Iterator, List, Optional, Set, Tuple, Union

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


def instalar_observador() -> Any:
    """Põe o observador em `cnpj.requests` (uma vez); devolve o que estava lá."""
    from . import cnpj

    anterior = cnpj.requests
    if not isinstance(anterior, _RegistroObservado):
        # O módulo procura o seu cliente HTTP a cada chamada: um observador no
        # lugar do `requests` vê o tráfego sem mudar o módulo.
        cnpj.requests = _RegistroObservado(anterior)  # type: ignore[assignment]
    return anterior


@contextmanager
def _observando() -> Iterator[List[str]]:
    falhas: List[str] = []
    _local.falhas = falhas
    try:
        yield falhas
    finally:
        _local.falhas = None


# ---------------------------------------------------------------- uma verificação

@dataclass(frozen=True)
class Configuracao:
    """O que uma tarefa precisa para verificar um arquivo em qualquer
    trabalhador: o motor e os endereços dos serviços de registro do cliente
    (um trabalhador remoto usa o mesmo registro que quem despachou)."""

    provider: Optional[str] = None
    model: Optional[str] = None
    urls: Optional[Tuple[str, str, str]] = None
    segredos: Tuple[str, ...] = ()
    raizes: Optional[str] = None   # pasta das raízes de confiança das assinaturas digitais

    @classmethod
    def atual(cls, provider: Optional[str] = None, model: Optional[str] = None,
              segredos: Iterable[str] = (), raizes: Optional[str] = None) -> "Configuracao":
        from . import cnpj

        return cls(provider, model, (cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API),
                   tuple(segredos), raizes)


def _verificador(config: Configuracao) -> Any:
    """Um ContractChecker por fio e por motor: o cliente do motor não é
    compartilhado entre verificações simultâneas."""
    cache: Dict[Tuple[Optional[str], Optional[str]], Any] = getattr(_local, "verificadores", None) or {}
    _local.verificadores = cache
    chave = (config.provider, config.model)
    if chave not in cache:
        from .checker import ContractChecker

        kwargs: Dict[str, Any] = {"verbose": False}
        if config.provider:
            kwargs["provider"] = config.provider
        if config.model:
            kwargs["model"] = config.model
        cache[chave] = ContractChecker(**kwargs)
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
    from . import cnpj

    if config.urls is not None and (cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API) != config.urls:
        cnpj.BRASIL_API_URL, cnpj.RECEITA_WS_URL, cnpj.CASADOSDADOS_API = config.urls
    instalar_observador()
    try:
        if verificador is None:
            verificador = _verificador(config)
        with _observando() as falhas:
            resultado = verificador.verificar(arquivo)
    except Exception as e:  # noqa: BLE001 - o lote segue com o próximo arquivo
        return erro(arquivo, mascarar(f"{type(e).__name__}: {e}", config.segredos), _classificar(e))
    if falhas:
        # Um serviço que não atendeu fez a consulta parecer "não encontrado":
        # o veredito não vale e o arquivo é verificado de novo ao retomar.
        distintas = list(dict.fromkeys(falhas))
        return erro(arquivo, f"{INDISPONIVEL}: {'; '.join(distintas)}", ERRO_REGISTRO)
    return {"arquivo": arquivo, "resultado": resultado,
            "assinaturas_digitais": assinaturas_digitais(arquivo, resultado, config.raizes)}


def assinaturas_digitais(arquivo: str, resultado: Dict[str, Any], raizes: Optional[str]) -> Dict[str, Any]:
    """As assinaturas digitais do PDF cruzadas com o resultado; uma falha vira achado pendente."""
    from . import assinaturas

    try:
        digitais = assinaturas.verificar_assinaturas(arquivo, raizes)
    except Exception as e:  # noqa: BLE001 - o veredito do texto não se perde por isso
        digitais = {"assinaturas": [], "achados": [
            {"status": "pendente", "mensagem": f"falha ao conferir as assinaturas digitais: {type(e).__name__}: {e}"}]}
    return assinaturas.cruzar_com_verificacao(digitais, resultado)


# ---------------------------------------------------------------- executores

_fios_ocupados = 0
_trava_ocupados = threading.Lock()


def fios_ocupados() -> int:
    """Quantos fios de `ExecutorDeFios` estão no meio de uma tarefa.

    Um programa que termina com verificações abandonadas em voo (um lote
    interrompido) deve sair com `os._exit`: um fio daemon que acorda durante
    o encerramento do interpretador dentro do verificador nativo não tem
    como ser desfeito com segurança."""
    return _fios_ocupados


class ExecutorDeFios(cf.Executor):
    """Pool de fios daemon: um lote interrompido abandona as esperas de rede
    em curso sem segurar a saída do interpretador (os fios de
    `ThreadPoolExecutor` são esperados no fim do programa)."""

    def __init__(self, max_workers: int) -> None:
        self._max_workers = max_workers
        self._fila: "queue.SimpleQueue[Optional[Tuple[cf.Future[Any], Callable[..., Any], Tuple[Any, ...], Dict[str, Any]]]]" = queue.SimpleQueue()
        self._fios: List[threading.Thread] = []
        self._fechado = False

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> "cf.Future[Any]":
        if self._fechado:
            raise RuntimeError("executor encerrado")
        futuro: "cf.Future[Any]" = cf.Future()
        self._fila.put((futuro, fn, args, kwargs))
        if len(self._fios) < self._max_workers:
            fio = threading.Thread(target=self._trabalhar, name=f"lote-{len(self._fios)}", daemon=True)
            self._fios.append(fio)
            fio.start()
        return futuro

    def _trabalhar(self) -> None:
        while True:
            item = self._fila.get()
            if item is None:
                return
            futuro, fn, args, kwargs = item
            if not futuro.set_running_or_notify_cancel():
                continue
            global _fios_ocupados
            with _trava_ocupados:
                _fios_ocupados += 1
            try:
                futuro.set_result(fn(*args, **kwargs))
            except BaseException as e:  # noqa: BLE001 - entregue a quem espera o futuro
                futuro.set_exception(e)
            finally:
                with _trava_ocupados:
                    _fios_ocupados -= 1

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        self._fechado = True
        for _ in self._fios:
            self._fila.put(None)
        if wait:
            for fio in self._fios:
                fio.join()


_PR_SET_PDEATHSIG = 1


def _vigiar_pai(pid_pai: int) -> None:
    while True:
        time.sleep(1.0)
        if os.getppid() != pid_pai:
            os._exit(1)


def _iniciar_trabalhador(pid_pai: int) -> None:
    """Início de cada processo trabalhador: o Ctrl-C do terminal é do lote
    (que decide o que parar), e o trabalhador morre com o processo que o
    criou, mesmo se este levar um SIGKILL."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if sys.platform.startswith("linux"):
        try:
            import ctypes

            ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        except (OSError, AttributeError):
            pass
    if os.getppid() != pid_pai:  # o pai morreu antes do prctl
        os._exit(1)
    # Também fora do Linux (e se o pai for adotado por outro processo).
    threading.Thread(target=_vigiar_pai, args=(pid_pai,), daemon=True).start()


def fabrica_de_processos(n: int) -> Callable[[], cf.Executor]:
    """Cria pools de `n` processos (início "spawn": nada herdado de fios do
    pai) cujos trabalhadores ignoram o Ctrl-C e morrem com o pai."""
    import multiprocessing

    def criar() -> cf.Executor:
        return cf.ProcessPoolExecutor(max_workers=n, mp_context=multiprocessing.get_context("spawn"),
                                      initializer=_iniciar_trabalhador, initargs=(os.getpid(),))
    return criar


@contextmanager
def _sem_ctrl_c() -> Iterator[None]:
    """Bloqueia o SIGINT neste fio enquanto se submete: um processo
    trabalhador criado agora herda a máscara e nunca recebe o Ctrl-C do
    terminal, nem antes de o seu inicializador o ignorar. Um Ctrl-C que
    chegue aqui fica pendente e é entregue ao desbloquear."""
    bloquear = hasattr(signal, "pthread_sigmask") and threading.current_thread() is threading.main_thread()
    if bloquear:
        anterior = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        if bloquear:
            signal.pthread_sigmask(signal.SIG_SETMASK, anterior)


def _matar_processos(executor: cf.Executor) -> None:
    # Um Ctrl-C não espera uma verificação em curso num processo: o pool não
    # tem como cancelar o que já começou, então os processos são encerrados.
    for processo in list((getattr(executor, "_processes", None) or {}).values()):
        try:
            processo.kill()
        except (OSError, AttributeError):
            pass


def _como_executor(executor: Any) -> Tuple[cf.Executor, Optional[Callable[[], cf.Executor]], Optional[int]]:
    """(executor, fábrica para trocá-lo ou None, tarefas simultâneas sugeridas)."""
    if hasattr(executor, "get_executor") and hasattr(executor, "nthreads"):  # distributed.Client
        fios = sum(executor.nthreads().values()) or 1
        # pure=False: a nova tentativa de um arquivo é outra tarefa, não o
        # mesmo resultado (com erro) guardado pelo agendador.
        return executor.get_executor(pure=False), None, 2 * fios
    if isinstance(executor, cf.Executor):
        return executor, None, getattr(executor, "_max_workers", None)
    if callable(executor):
        novo = executor()
        return novo, executor, getattr(novo, "_max_workers", None)
    raise TypeError("executor deve ser um concurrent.futures.Executor, um distributed.Client "
                    "ou uma função que cria um executor")


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
    """
    parar = parar or threading.Event()
    desistir = desistir or threading.Event()
    config = Configuracao.atual(provider, model, segredos_configurados(segredos), raizes)
    atual, fabrica, sugerido = _como_executor(executor)
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
        with _sem_ctrl_c():
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
            if abandonados or quebrado is not None:
                _matar_processos(atual)
                atual.shutdown(wait=False, cancel_futures=True)
            else:
                atual.shutdown(wait=True)
        elif atual is not executor:  # o executor de um cliente do Dask
            atual.shutdown(wait=False)
