"""Linha de comando: ``lexaro-contract`` (ou ``python -m lexaro_contract``).

Comandos:
  verificar ARQUIVO.pdf [...]   verifica contratos
  registro servir               serve um registro local de empresas
  demo                          verifica os contratos de exemplo, offline

Códigos de saída: 0 todos APROVADO; 1 algum REPROVADO; 2 algum PENDENTE e
nenhum REPROVADO; 3 erro de uso ou de configuração.
"""

import argparse
import contextlib
import io
import json
import logging
import os
import signal
import sys
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, NoReturn, Optional, Tuple

from . import lote
from .enderecos import Enderecos, apontando, apontar
from .lote import mascarar

if TYPE_CHECKING:
    from .checker import ContractChecker

SAIDA_APROVADO, SAIDA_REPROVADO, SAIDA_PENDENTE, SAIDA_ERRO = 0, 1, 2, 3
SAIDA_INTERROMPIDO = 130       # Ctrl-C (128 + SIGINT)
SAIDA_CANO_FECHADO = 141       # o leitor de stdout fechou o cano (128 + SIGPIPE)
VEREDITOS = ("APROVADO", "REPROVADO", "PENDENTE")
TEMPO_CHECAGEM = 4.0


class ErroDeUso(Exception):
    """Erro de uso ou de configuração: uma linha em stderr, saída 3."""


def _erro(msg: str) -> None:
    print(f"lexaro-contract: {msg}", file=sys.stderr)


# ---------------------------------------------------------------- registro

def _servicos_configurados() -> Dict[str, Any]:
    from . import cnpj

    return {
        "BrasilAPI": ("GET", cnpj.BRASIL_API_URL.format(cnpj="00000000000000")),
        "ReceitaWS": ("GET", cnpj.RECEITA_WS_URL.format(cnpj="00000000000000")),
        "Casa dos Dados": ("POST", cnpj.CASADOSDADOS_API),
    }


def checar_registro(tempo: float = TEMPO_CHECAGEM) -> List[str]:
    """Os serviços de registro que respondem (qualquer resposta HTTP conta)."""
    import requests

    respondem: List[str] = []

    def tentar(nome: str, metodo: str, url: str) -> None:
        try:
            if metodo == "GET":
                requests.get(url, timeout=tempo)
            else:
                requests.post(url, json={"query": {"termo": []}, "page": 1}, timeout=tempo)
            respondem.append(nome)
        except Exception:  # noqa: BLE001 - inalcançável é o que se quer saber
            pass

    threads = [threading.Thread(target=tentar, args=(n, m, u), daemon=True)
               for n, (m, u) in _servicos_configurados().items()]
    for t in threads:
        t.start()
    for t in threads:
        t.join(tempo + 1.0)
    return respondem


# ---------------------------------------------------------------- verificação

def _novo_verificador(provider: Optional[str], model: Optional[str], verbose: bool) -> "ContractChecker":
    try:
        return lote.novo_verificador(provider, model, verbose)
    except ValueError as e:
        raise ErroDeUso(str(e) + _o_que_fazer(provider)) from None


def _o_que_fazer(provider: Optional[str]) -> str:
    """O passo seguinte para credenciais que faltam, dito depois da mensagem
    do verificador: as configurações do Azure que faltam, ou o motor local."""
    from .auth import LexaroAuth

    try:
        auth = LexaroAuth(provider=provider)
    except ValueError:
        return ""  # provedor inválido: a mensagem já diz os aceitos
    if auth.has_api_key:
        return ""
    if auth.is_azure:
        faltam = [var for var, valor in (("AZURE_API_KEY", auth.azure_api_key),
                                         ("AZURE_API_ENDPOINT", auth.azure_endpoint),
                                         ("AZURE_DEPLOYMENT_NAME", auth.azure_deployment)) if not valor]
        if len(faltam) == 1:
            return f" Falta {faltam[0]}."
        return " Faltam " + ", ".join(faltam[:-1]) + " e " + faltam[-1] + "."
    return " Sem chave, --provider local verifica offline (motor por regras)."


def verificar_arquivo(verificador: Any, caminho: str, raizes: Optional[str] = None) -> Dict[str, Any]:
    """Um registro de saída: {"arquivo", "resultado", "assinaturas_digitais"} ou {"arquivo", "erro"},
    feito como num lote (o cliente HTTP do `cnpj` volta a ser o de antes ao fim)."""
    with apontando(Enderecos.atuais(observado=True)):
        return lote.verificar_arquivo(caminho, lote.Configuracao.atual(raizes=raizes), verificador)


def _raizes_de(args: argparse.Namespace) -> Optional[str]:
    """A pasta de raízes (--raizes, ou LEXARO_RAIZES), conferida antes do lote começar."""
    import os

    from . import assinaturas

    raizes = args.raizes or os.environ.get("LEXARO_RAIZES") or None
    if raizes:
        try:
            assinaturas.carregar_raizes(raizes)
        except assinaturas.ErroDeRaizes as e:
            raise ErroDeUso(str(e)) from None
        except ImportError:
            pass  # sem pyHanko: cada registro já diz que a conferência está indisponível
    return raizes


def codigo_de_saida(registros: Iterable[Dict[str, Any]]) -> int:
    return _codigo([_estado(r) for r in registros])


def _estado(r: Dict[str, Any]) -> str:
    """"ERRO", ou o pior entre o veredito e os achados das assinaturas digitais."""
    if "erro" in r:
        return "ERRO"
    veredito = str(r["resultado"].get("resultado_final"))
    estados = [veredito, _veredito_digital(r)]
    return next((e for e in ("REPROVADO", "PENDENTE") if e in estados), veredito)


def _veredito_digital(r: Dict[str, Any]) -> Optional[str]:
    """O pior achado das assinaturas digitais do registro, se houver."""
    if not r.get("assinaturas_digitais"):
        return None
    from .assinaturas import veredito_assinaturas

    return veredito_assinaturas(r["assinaturas_digitais"])


def _codigo(estados: Iterable[str]) -> int:
    estados = list(estados)
    if "ERRO" in estados:
        return SAIDA_ERRO
    if "REPROVADO" in estados:
        return SAIDA_REPROVADO
    if "PENDENTE" in estados:
        return SAIDA_PENDENTE
    return SAIDA_APROVADO


def _chave(arquivo: str) -> str:
    return str(Path(arquivo).resolve())


def _linha_veredito(r: Dict[str, Any]) -> str:
    if "erro" in r:
        return f"{r['arquivo']}: ERRO — {r['erro']}"
    res = r["resultado"]
    digital = _veredito_digital(r)
    sufixo = f" [assinaturas digitais: {digital}]" if digital else ""
    return f"{r['arquivo']}: {res.get('resultado_final')} — {res.get('justificativa')}{sufixo}"


# ---------------------------------------------------------------- fluxos de saída

class _Fluxo(io.TextIOBase):
    """stdout/stderr do comando: mascara chaves e tokens, troca o que a
    codificação do terminal ou do arquivo não representa (Latin-1, ASCII)
    e, se o leitor fechou o cano (``| head``), cala em vez de levantar."""

    def __init__(self, real: Any, segredos: Tuple[str, ...]) -> None:
        super().__init__()
        self._real = real
        self._segredos = segredos
        self.fechado = False

    @property
    def encoding(self) -> str:  # type: ignore[override]
        return getattr(self._real, "encoding", None) or "utf-8"

    def isatty(self) -> bool:
        return bool(getattr(self._real, "isatty", lambda: False)())

    def fileno(self) -> int:
        return int(self._real.fileno())

    def writable(self) -> bool:
        return True

    def write(self, texto: str) -> int:
        if self.fechado:
            return len(texto)
        limpo = mascarar(texto, self._segredos)
        try:
            try:
                self._real.write(limpo)
            except UnicodeEncodeError:
                self._real.write(limpo.encode(self.encoding, "replace").decode(self.encoding))
        except (BrokenPipeError, ConnectionResetError):
            self._cano_fechado()
        return len(texto)

    def flush(self) -> None:
        if not self.fechado:
            try:
                self._real.flush()
            except (BrokenPipeError, ConnectionResetError):
                self._cano_fechado()

    def _cano_fechado(self) -> None:
        self.fechado = True
        # O interpretador ainda esvazia o fluxo ao sair: que escreva no nada.
        try:
            nulo = os.open(os.devnull, os.O_WRONLY)
            os.dup2(nulo, self._real.fileno())
            os.close(nulo)
        except (OSError, AttributeError, ValueError, io.UnsupportedOperation):
            pass


# ---------------------------------------------------------------- arquivo de saída

_INICIO_DE_REGISTRO = b'{"arquivo": '


class _Saida:
    """O JSON Lines de resultados, travado (flock) enquanto o lote roda.

    Guarda um registro por arquivo: o último escrito vale, e ao fechar os
    registros substituídos (um erro refeito) saem do arquivo, que é
    regravado de uma vez (arquivo novo + rename). Um arquivo que não é
    deste formato é recusado sem ser tocado."""

    def __init__(self, caminho: Path, segredos: Tuple[str, ...]) -> None:
        self.caminho = caminho
        self._segredos = segredos
        try:
            self._f = open(caminho, "a+b")
        except OSError as e:
            raise ErroDeUso(f"não foi possível abrir {caminho}: {e.strerror or e}") from None
        try:
            self._travar(self._f)
            self.estados: Dict[str, str] = {}
            self._ultima: Dict[str, int] = {}
            self._linhas = 0
            self._ler()
        except BaseException:
            self._f.close()
            raise

    def _travar(self, f: Any) -> None:
        try:
            import fcntl
        except ImportError:  # sem flock (Windows): sem trava
            return
        try:
            fcntl.flock(f.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise ErroDeUso(f"{self.caminho} está em uso por outro lote (arquivo travado); "
                            "espere ele terminar ou use outra --saida") from None

    def _ler(self) -> None:
        self._f.seek(0)
        dados = self._f.read()
        corpo, quebra, resto = dados.rpartition(b"\n")
        linhas = corpo.split(b"\n") if quebra else []
        for n, linha in enumerate(linhas + [resto], 1):
            if not linha.strip():
                continue
            registro = _registro_da_linha(linha)
            if registro is None:
                if n > len(linhas) and linha.startswith(_INICIO_DE_REGISTRO):
                    continue  # o fim cortado de uma execução interrompida (abaixo)
                trecho = linha[:60].decode("utf-8", "replace")
                raise ErroDeUso(f"{self.caminho}: a linha {n} não é um registro de resultados em JSON Lines "
                                f"({trecho!r}); nada foi alterado — use outra --saida")
            self._anotar(registro, n)
        self._linhas = len(linhas)
        if resto.strip():
            if resto.startswith(_INICIO_DE_REGISTRO) and _registro_da_linha(resto) is None:
                # Registro cortado: o arquivo dele não tem veredito e será
                # verificado de novo; a sobra sai.
                self._f.truncate(len(dados) - len(resto))
            else:
                self._f.write(b"\n")
                self._linhas += 1

    def _anotar(self, registro: Dict[str, Any], n: int) -> None:
        chave = _chave(registro["arquivo"])
        self.estados[chave] = _estado(registro)
        self._ultima[chave] = n

    def escrever(self, registro: Dict[str, Any]) -> None:
        linha = mascarar(json.dumps(registro, ensure_ascii=False, default=str), self._segredos)
        self._f.seek(0, os.SEEK_END)
        self._f.write(linha.encode("utf-8") + b"\n")
        self._f.flush()
        self._linhas += 1
        self._anotar(registro, self._linhas)

    def fechar(self) -> None:
        try:
            if len(self._ultima) < self._linhas_com_registro():
                self._compactar()
        finally:
            self._f.close()

    def _linhas_com_registro(self) -> int:
        self._f.seek(0)
        return sum(1 for linha in self._f if linha.strip())

    def _compactar(self) -> None:
        manter = set(self._ultima.values())
        temporario = self.caminho.with_name(f".{self.caminho.name}.{os.getpid()}.tmp")
        novo = open(temporario, "wb")
        try:
            self._f.seek(0)
            for n, linha in enumerate(self._f, 1):
                if n in manter:
                    novo.write(linha)
            novo.flush()
            os.fsync(novo.fileno())
            os.chmod(temporario, os.stat(self.caminho).st_mode & 0o7777)
            self._travar(novo)  # o arquivo novo já nasce travado
            os.replace(temporario, self.caminho)
        except BaseException:
            novo.close()
            with contextlib.suppress(OSError):
                os.unlink(temporario)
            raise
        novo.close()


def _registro_da_linha(linha: bytes) -> Optional[Dict[str, Any]]:
    try:
        item = json.loads(linha.decode("utf-8"))
    except ValueError:
        return None
    if isinstance(item, dict) and isinstance(item.get("arquivo"), str) and ("resultado" in item or "erro" in item):
        if "resultado" in item and not isinstance(item["resultado"], dict):
            return None
        return item
    return None


# ---------------------------------------------------------------- progresso

class _Progresso:
    """Barra de progresso em stderr (tqdm), só num terminal: num log
    redirecionado ela não deixaria quadros com retorno de carro. As linhas
    de veredito e de erro são escritas em volta da barra."""

    def __init__(self, total: int, ligado: bool):
        self._barra: Any = None
        if ligado:
            from tqdm import tqdm

            self._barra = tqdm(total=total, unit="contrato", file=sys.stderr, dynamic_ncols=True)

    def escrever(self, linha: str, fluxo: Any) -> None:
        if self._barra is None:
            print(linha, file=fluxo, flush=True)
            return
        with self._barra.external_write_mode(file=fluxo):
            print(linha, file=fluxo, flush=True)

    def avancar(self, descricao: str) -> None:
        if self._barra is not None:
            self._barra.set_postfix_str(descricao, refresh=False)
            self._barra.update(1)

    def nota(self, texto: str) -> None:
        if self._barra is not None:
            self._barra.set_postfix_str(texto, refresh=True)

    def fechar(self) -> None:
        if self._barra is not None:
            self._barra.close()


class _EsperaDoModelo(logging.Handler):
    """Mostra na barra as esperas do cliente do modelo (429 e falhas
    temporárias: ele espera o que o serviço pede, até 2 minutos, e tenta de
    novo um número limitado de vezes)."""

    def __init__(self, progresso: _Progresso) -> None:
        super().__init__(logging.INFO)
        self._progresso = progresso

    def emit(self, record: logging.LogRecord) -> None:
        if not str(record.msg).startswith("Retrying request"):
            return
        segundos = next((a for a in record.args or () if isinstance(a, float)), None)
        if segundos is not None:
            self._progresso.nota(f"o serviço do modelo pediu espera: {segundos:.0f} s")


@contextlib.contextmanager
def _ouvindo_esperas(progresso: _Progresso) -> Iterator[None]:
    log = logging.getLogger("openai._base_client")
    ouvinte, nivel = _EsperaDoModelo(progresso), log.level
    log.addHandler(ouvinte)
    if log.getEffectiveLevel() > logging.INFO:
        log.setLevel(logging.INFO)
    try:
        yield
    finally:
        log.removeHandler(ouvinte)
        log.setLevel(nivel)


# ---------------------------------------------------------------- o comando

_FATAIS = {
    lote.ERRO_CREDENCIAL: "o serviço do modelo recusou a credencial ({variavel}): {erro}",
    lote.ERRO_MODELO: "o serviço do modelo não responde ({endereco}): {erro}",
}


def _linha_fatal(r: Dict[str, Any], provider: Optional[str]) -> str:
    azure = provider == "azure"
    return _FATAIS[r["tipo_erro"]].format(
        variavel="AZURE_API_KEY" if azure else "OPENAI_API_KEY",
        endereco="AZURE_API_ENDPOINT" if azure else os.environ.get("OPENAI_BASE_URL") or "OPENAI_BASE_URL",
        erro=r["erro"]) + " — lote interrompido; corrija e rode de novo (com --retomar, se houver --saida)"


@contextlib.contextmanager
def _ctrl_c_do_lote(parar: threading.Event, desistir: threading.Event) -> Iterator[None]:
    """O primeiro Ctrl-C para o despacho; o segundo para também a espera
    pelo que está em voo. Nenhum dos dois levanta no meio de uma escrita."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def ao_interromper(signum: int, frame: Any) -> None:
        (desistir if parar.is_set() else parar).set()

    anterior = signal.signal(signal.SIGINT, ao_interromper)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, anterior)


def _sem_repetidos(arquivos: Iterable[str]) -> List[str]:
    vistos: Dict[str, str] = {}
    for a in arquivos:
        vistos.setdefault(_chave(a), a)
    return list(vistos.values())


def comando_verificar(args: argparse.Namespace) -> int:
    arquivos = _sem_repetidos(args.arquivos)
    unico = len(arquivos) == 1 and not args.dask
    verbose = unico and not (args.json or args.quiet)
    segredos = lote.segredos_configurados()
    verificador = _novo_verificador(args.provider, args.model, verbose)
    provider = str(verificador.provider)
    raizes = _raizes_de(args)

    if args.dask:
        try:
            import distributed  # noqa: F401
        except ImportError:
            raise ErroDeUso('--dask precisa do Dask distribuído: pip install "lexaro-contract[dask]"') from None

    saida = _Saida(Path(args.saida), segredos) if args.saida else None
    try:
        return _verificar(args, arquivos, unico, verificador, provider, segredos, saida, raizes)
    finally:
        if saida is not None:
            saida.fechar()


def _verificar(args: argparse.Namespace, arquivos: List[str], unico: bool, verificador: Any, provider: str,
               segredos: Tuple[str, ...], saida: Optional[_Saida], raizes: Optional[str]) -> int:
    if not args.sem_checagem_registro and not checar_registro():
        raise ErroDeUso(
            "nenhum serviço de registro respondeu (BrasilAPI, ReceitaWS, Casa dos Dados); "
            "verifique a rede ou as variáveis LEXARO_*_URL, ou use --sem-checagem-registro")

    estados: Dict[str, str] = {}
    anteriores = 0
    if saida is not None and args.retomar:
        feitos = [a for a in arquivos if saida.estados.get(_chave(a), "ERRO") != "ERRO"]
        for a in feitos:
            estados[_chave(a)] = saida.estados[_chave(a)]
        anteriores = len(feitos)
        arquivos = [a for a in arquivos if _chave(a) not in estados]
        if feitos and not args.quiet:
            print(f"Retomando: {len(feitos)} arquivo(s) já verificado(s) em {saida.caminho}", file=sys.stderr)

    json_ascii = args.json and not sys.stdout.encoding.lower().replace("-", "").startswith("utf")
    parar, desistir, cano = threading.Event(), threading.Event(), threading.Event()
    fatal: List[str] = []
    progresso = _Progresso(len(arquivos), ligado=not unico and not args.quiet and sys.stderr.isatty())

    def registrar(r: Dict[str, Any]) -> None:
        estados[_chave(r["arquivo"])] = _estado(r)
        if saida is not None:
            saida.escrever(r)
        tipo = r.get("tipo_erro")
        if tipo in _FATAIS:
            parar.set()
            if tipo not in fatal:
                fatal.append(tipo)
                progresso.escrever("lexaro-contract: " + _linha_fatal(r, provider), sys.stderr)
        elif "erro" in r:
            progresso.escrever(f"lexaro-contract: {r['arquivo']}: {r['erro']}", sys.stderr)
        if args.json:
            corpo = r["resultado"] if unico and "resultado" in r else r
            progresso.escrever(json.dumps(corpo, ensure_ascii=json_ascii, indent=2 if unico else None,
                                          default=str), sys.stdout)
        elif (args.quiet or not unico) and "resultado" in r:
            progresso.escrever(_linha_veredito(r), sys.stdout)
        elif unico and r.get("assinaturas_digitais"):
            from .assinaturas import relatorio_assinaturas

            progresso.escrever("\n".join(relatorio_assinaturas(r["assinaturas_digitais"])), sys.stdout)
        progresso.avancar(Path(r["arquivo"]).name)
        if getattr(sys.stdout, "fechado", False):  # o leitor fechou o cano: fim quieto
            cano.set()
            parar.set()
            desistir.set()

    restaurar = apontar(Enderecos.atuais(observado=True))
    try:
        config = lote.Configuracao.atual(provider, args.model, segredos, raizes)
        if unico:
            if arquivos:
                registrar(lote.verificar_arquivo(arquivos[0], config, verificador))
        else:
            executor = _executor(args, provider)
            try:
                with _ctrl_c_do_lote(parar, desistir), _ouvindo_esperas(progresso):
                    for r in lote.verificar_lote(arquivos, executor, provider=provider, model=args.model,
                                                 segredos=segredos, raizes=raizes, parar=parar,
                                                 desistir=desistir):
                        registrar(r)
            finally:
                if args.dask:
                    with contextlib.suppress(Exception):
                        executor.close(timeout=2)
    finally:
        restaurar()
        progresso.fechar()

    faltam = sum(1 for a in args.arquivos if _chave(a) not in estados)
    if cano.is_set():
        return SAIDA_CANO_FECHADO
    if fatal:
        return SAIDA_ERRO
    if parar.is_set():
        _erro(f"interrompido: {faltam} arquivo(s) sem registro"
              + (f"; retome com --retomar --saida {saida.caminho}" if saida is not None else ""))
        return SAIDA_INTERROMPIDO
    if not unico and not args.quiet:
        contagem = {e: list(estados.values()).count(e) for e in (*VEREDITOS, "ERRO")}
        print("Resumo: " + ", ".join(f"{n} {e if e != 'ERRO' else 'com erro'}" for e, n in contagem.items() if n)
              + (f" ({anteriores} já verificado(s) em {saida.caminho})" if anteriores and saida else ""),
              file=sys.stderr)
    return _codigo(estados.values())


def _executor(args: argparse.Namespace, provider: str) -> Any:
    """Processos para o motor local (trabalho de CPU, e um PDF que derruba o
    seu processo não derruba o lote), fios para os modelos hospedados (a
    verificação espera a rede), ou o cluster do Dask."""
    if args.dask:
        return _cliente_dask(args.dask)
    if provider == "local":
        return lote.fabrica_de_processos(args.jobs)
    return lambda: lote.ExecutorDeFios(args.jobs)


def _cliente_dask(endereco: str) -> Any:
    from distributed import Client

    try:
        cliente = Client(endereco, timeout="10s")  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError, ValueError) as e:
        raise ErroDeUso(f"não foi possível conectar ao Dask em {endereco}: {e}") from None
    return cliente


# ---------------------------------------------------------------- demo

def pasta_exemplos() -> Path:
    """Os exemplos instalados com o pacote, ou os da árvore de fontes."""
    instalados = Path(__file__).resolve().parent / "exemplos"
    if instalados.is_dir():
        return instalados
    fontes = Path(__file__).resolve().parents[2] / "examples"
    if fontes.is_dir():
        return fontes
    raise ErroDeUso("exemplos não encontrados (reinstale o pacote)")


def comando_demo(args: argparse.Namespace) -> int:
    from .registro import iniciar_em_segundo_plano

    pasta = pasta_exemplos()
    contratos = sorted((pasta / "contratos").glob("*.pdf"))
    if not contratos:
        raise ErroDeUso(f"nenhum contrato de exemplo em {pasta / 'contratos'}")
    servidor, base = iniciar_em_segundo_plano(pasta / "registro")
    try:
        with apontando(Enderecos.na_base(base)):
            verificador = _novo_verificador("local", None, False)
            registros = [verificar_arquivo(verificador, str(pdf)) for pdf in contratos]
    finally:
        servidor.shutdown()
        servidor.server_close()

    if not args.quiet:
        print(f"Demonstração: {len(registros)} contratos de exemplo, motor local (regras, offline) e "
              f"registro local de exemplo em {base}.\n")
    print(_tabela_demo(registros))
    if args.completo:
        for r in registros:
            if "resultado" in r:
                print(f"\n{_REGUA_FINA}\nRelatório de {Path(r['arquivo']).name}")
                _relatorio_completo(verificador, r["resultado"])
    elif not args.quiet:
        com_veredito = [r for r in registros if "resultado" in r]
        if com_veredito:
            # O contrato reprovado mostra todas as conferências e o motivo da recusa.
            escolhido = next((r for r in com_veredito if r["resultado"]["resultado_final"] == "REPROVADO"),
                             com_veredito[0])
            print()
            print(_relatorio_resumido(Path(escolhido["arquivo"]).name, escolhido["resultado"]))
            print("\nOs relatórios inteiros de todos os contratos: demo --completo")
    for r in registros:
        if "erro" in r:
            _erro(f"{Path(r['arquivo']).name}: {r['erro']}")
    return SAIDA_ERRO if any("erro" in r for r in registros) else 0


_REGUA_FINA = "─" * 60
_MARCA = {"APROVADO": "✅", "REPROVADO": "❌", "PENDENTE": "⚠️"}
_MARCA_CAMPO = {"aprovado": "✅", "reprovado": "❌", "pendente": "⚠️"}
_NEUTRA = "➖"


def _campos_com_dono(resultado: Dict[str, Any]) -> List[Dict[str, Any]]:
    """Cada campo verificado com o nome de quem ele confere, empresas antes
    de signatários (a ordem das listas do resultado)."""
    campos: List[Dict[str, Any]] = []
    for emp in resultado.get("empresas", []):
        dono = emp.get("razao_social_receita") or emp.get("razao_social_contrato") or emp.get("cnpj") or "?"
        campos += [dict(c, dono=dono) for c in emp.get("campos", [])]
    for ass in resultado.get("assinaturas", []):
        campos += [dict(c, dono=ass.get("nome_signatario") or "?") for c in ass.get("campos", [])]
    return campos


def _motivo(resultado: Dict[str, Any]) -> str:
    """O porquê de um veredito em uma linha: os campos que o decidiram."""
    decisivo = {"REPROVADO": "reprovado", "PENDENTE": "pendente"}.get(resultado.get("resultado_final", ""))
    if decisivo is None:
        return str(resultado.get("justificativa", ""))
    campos = [c for c in _campos_com_dono(resultado) if c.get("status") == decisivo]
    if not campos:
        return str(resultado.get("justificativa", ""))
    c = campos[0]
    motivo = f"{c['campo']} de {c['dono']}: {c.get('mensagem', '')}"
    return motivo + (f" (e mais {len(campos) - 1})" if len(campos) > 1 else "")


def _tabela_demo(registros: List[Dict[str, Any]]) -> str:
    largura = max(len("CONTRATO"), *(len(Path(r["arquivo"]).name) for r in registros))
    linhas = [f"   {'VEREDITO':10} {'CONTRATO':{largura}}  MOTIVO"]
    for r in registros:
        nome = Path(r["arquivo"]).name
        if "erro" in r:
            linhas.append(f"   {'ERRO':10} {nome:{largura}}  {r['erro']}")
        else:
            linhas.append(f"   {r['resultado']['resultado_final']:10} {nome:{largura}}  {_motivo(r['resultado'])}")
    return "\n".join(linhas)


def _eh_testemunha(ass: Dict[str, Any]) -> bool:
    """Um signatário que assina como testemunha: o verificador não exige dele
    poder de assinatura e marca seu campo como não verificado."""
    campos = ass.get("campos", [])
    return bool(campos) and all(c.get("status") == "nao_verificado" for c in campos) and any(
        "testemunha" in str(ass.get(k) or "").lower() for k in ("tipo_assinatura", "cargo"))


def _relatorio_resumido(nome: str, resultado: Dict[str, Any]) -> str:
    """Um contrato numa tela: o veredito, cada empresa com suas conferências
    na Receita e cada signatário com o que o QSA diz dele."""
    veredito = resultado.get("resultado_final", "?")
    linhas = [f"{_MARCA.get(veredito, '❓')} {nome}: {veredito} ({resultado.get('justificativa', '')})"]
    linhas.append("   Empresas, conferidas na Receita Federal:")
    for emp in resultado.get("empresas", []):
        titulo = emp.get("razao_social_receita") or emp.get("razao_social_contrato") or "(sem nome)"
        marca = "✅" if emp.get("empresa_ativa") else "❌"
        linhas.append(f"   {marca} {titulo} (CNPJ {emp.get('cnpj') or 'não encontrado'})")
        linhas += [f"        {_MARCA_CAMPO.get(c.get('status'), _NEUTRA)} {c.get('campo')}: {c.get('mensagem')}"
                   for c in emp.get("campos", [])]
    linhas.append("   Signatários, conferidos no quadro de sócios (QSA):")
    for ass in resultado.get("assinaturas", []):
        nome_ass = ass.get("nome_signatario") or "(não identificado)"
        cargo = f" ({ass['cargo']})" if ass.get("cargo") else ""
        if _eh_testemunha(ass):
            linhas.append(f"   {_NEUTRA} {nome_ass}{cargo}: testemunha: poder de assinatura não exigido")
            continue
        for c in ass.get("campos", []):
            linhas.append(f"   {_MARCA_CAMPO.get(c.get('status'), _NEUTRA)} {nome_ass}{cargo}: {c.get('mensagem')}")
    return "\n".join(linhas)


def _relatorio_completo(verificador: "ContractChecker", resultado: Dict[str, Any]) -> None:
    """O relatório do verificador, refeito a partir do resultado (sem as
    linhas de progresso da verificação)."""
    from types import SimpleNamespace

    from .models import AssinaturaVerificada, EmpresaVerificada

    metricas = resultado.get("metricas", {})
    verificador._imprimir_relatorio(
        resultado_final=resultado["resultado_final"], justificativa=resultado["justificativa"],
        campos_aprovados=resultado["campos_aprovados"], campos_reprovados=resultado["campos_reprovados"],
        campos_pendentes=resultado["campos_pendentes"],
        empresas=[EmpresaVerificada(**e) for e in resultado["empresas"]],
        assinaturas=[AssinaturaVerificada(**a) for a in resultado["assinaturas"]],
        dados_contrato=resultado.get("dados_contrato", {}),
        metricas=SimpleNamespace(tokens=metricas.get("tokens", 0), cost_usd=metricas.get("custo_usd", 0.0),
                                 time_seconds=metricas.get("tempo_segundos", 0.0)))


# ---------------------------------------------------------------- entrada

# argparse writes its own words (usage, option groups, its errors) through
# gettext; these are the ones it uses, in the language of the rest of the tool.
_ARGPARSE_PT = {
    "usage: ": "uso: ",
    "positional arguments": "argumentos",
    "options": "opções",
    "optional arguments": "opções",
    "show this help message and exit": "mostra esta ajuda e sai",
    "show program's version number and exit": "mostra a versão e sai",
    "the following arguments are required: %s": "faltam argumentos obrigatórios: %s",
    "one of the arguments %s is required": "um dos argumentos %s é obrigatório",
    "invalid choice: %(value)r (choose from %(choices)s)": "valor inválido: %(value)r (escolha entre %(choices)s)",
    "invalid choice: %(value)r, maybe you meant %(closest)r? (choose from %(choices)s)":
        "valor inválido: %(value)r; quis dizer %(closest)r? (escolha entre %(choices)s)",
    "unrecognized arguments: %s": "argumentos não reconhecidos: %s",
    "expected one argument": "espera um valor",
    "expected at least one argument": "espera pelo menos um valor",
    "expected at most one argument": "espera no máximo um valor",
    "argument %(argument_name)s: %(message)s": "argumento %(argument_name)s: %(message)s",
    "invalid %(type)s value: %(value)r": "valor inválido (%(type)s): %(value)r",
    "ambiguous option: %(option)s could match %(matches)s": "opção ambígua: %(option)s pode ser %(matches)s",
    "ignored explicit argument %r": "valor não aceito: %r",
    "not allowed with argument %s": "não pode ser usado com %s",
    "unknown parser %(parser_name)r (choices: %(choices)s)": "comando desconhecido %(parser_name)r (escolha entre %(choices)s)",
    "%(prog)s: error: %(message)s\n": "%(prog)s: erro: %(message)s\n",
}
_ARGPARSE_PT_PLURAL = {
    ("expected %s argument", "expected %s arguments"): ("espera %s valor", "espera %s valores"),
}


def _traduzir(texto: str) -> str:
    return _ARGPARSE_PT.get(texto, texto)


def _traduzir_plural(singular: str, plural: str, n: int) -> str:
    um, varios = _ARGPARSE_PT_PLURAL.get((singular, plural), (singular, plural))
    return um if n == 1 else varios


@contextlib.contextmanager
def _argparse_em_portugues() -> Iterator[None]:
    """Troca, durante o bloco, as funções de tradução que o argparse chama."""
    if not (hasattr(argparse, "_") and hasattr(argparse, "ngettext")):
        yield
        return
    antes = (getattr(argparse, "_"), getattr(argparse, "ngettext"))
    setattr(argparse, "_", _traduzir)
    setattr(argparse, "ngettext", _traduzir_plural)
    try:
        yield
    finally:
        setattr(argparse, "_", antes[0])
        setattr(argparse, "ngettext", antes[1])


class _Parser(argparse.ArgumentParser):
    """Um ArgumentParser que fala português e transforma erros de uso em
    ErroDeUso (uma linha em stderr, saída 3)."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        with _argparse_em_portugues():
            super().__init__(*args, **kwargs)

    def add_subparsers(self, **kwargs: Any) -> Any:
        with _argparse_em_portugues():
            return super().add_subparsers(**kwargs)

    def parse_known_args(self, *args: Any, **kwargs: Any) -> Any:
        with _argparse_em_portugues():
            return super().parse_known_args(*args, **kwargs)

    def parse_args(self, *args: Any, **kwargs: Any) -> Any:
        with _argparse_em_portugues():
            return super().parse_args(*args, **kwargs)

    def format_usage(self) -> str:
        with _argparse_em_portugues():
            return super().format_usage()

    def format_help(self) -> str:
        with _argparse_em_portugues():
            return super().format_help()

    def error(self, message: str) -> NoReturn:
        raise ErroDeUso(message)


def _versao() -> str:
    from . import __version__

    return __version__


def montar_parser() -> argparse.ArgumentParser:
    from .registro.comandos import adicionar_servir
    from .registro.comandos_dados import adicionar_comandos

    p = _Parser(prog="lexaro-contract", description="Verificação de legitimidade de contratos.")
    p.add_argument("--version", action="version", version=f"%(prog)s {_versao()}",
                   help="mostra a versão e sai")
    sub = p.add_subparsers(dest="comando", required=True, parser_class=_Parser, title="comandos")

    v = sub.add_parser("verificar", help="verifica um ou mais contratos em PDF")
    v.add_argument("arquivos", nargs="+", metavar="ARQUIVO.pdf", help="os contratos a verificar")
    v.add_argument("--json", action="store_true", help="imprime o resultado como JSON")
    v.add_argument("--quiet", "-q", action="store_true", help="imprime só a linha do veredito")
    v.add_argument("--provider", choices=("openai", "azure", "local"),
                   help="motor de extração (padrão: LEXARO_PROVIDER ou openai; local: regras, offline, sem chave)")
    v.add_argument("--model", help="modelo de linguagem (padrão: gpt-4o)")
    v.add_argument("--saida", metavar="RESULTADOS.jsonl",
                   help="grava um registro por arquivo em JSON Lines, à medida que cada um termina")
    v.add_argument("--retomar", action="store_true",
                   help="pula os arquivos que já têm veredito em --saida (os que deram erro são refeitos)")
    v.add_argument("--jobs", "-j", type=int, default=1,
                   help="verificações simultâneas (processos no motor local, fios nos modelos hospedados)")
    v.add_argument("--dask", metavar="ENDERECO",
                   help="roda o lote num cluster Dask (ex.: tcp://10.0.0.5:8786); requer o extra [dask]")
    v.add_argument("--sem-checagem-registro", action="store_true",
                   help="não checa se os serviços de registro respondem antes de começar")
    v.add_argument("--raizes", metavar="PASTA",
                   help="pasta com os certificados raiz de confiança das assinaturas digitais "
                        "(padrão: LEXARO_RAIZES; sem ela, cadeia não verificada)")
    v.set_defaults(func=comando_verificar)

    r = sub.add_parser("registro", help="registro local de empresas")
    rsub = r.add_subparsers(dest="acao", required=True, parser_class=_Parser, title="ações")
    adicionar_servir(rsub)
    adicionar_comandos(rsub)

    d = sub.add_parser("demo", help="verifica os contratos de exemplo, offline")
    d.add_argument("--quiet", "-q", action="store_true", help="imprime só a tabela dos vereditos")
    d.add_argument("--completo", action="store_true", help="imprime também os relatórios inteiros dos três contratos")
    d.set_defaults(func=comando_demo)
    return p


def programa() -> None:
    """O programa `lexaro-contract`: `main` e a saída do processo."""
    codigo = main()
    # Daqui em diante o processo só termina: um Ctrl-C a mais não tem o que
    # interromper (e não deve virar um traceback no encerramento).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if lote.fios_ocupados():
        # Verificações abandonadas por um Ctrl-C ainda esperam a rede: sair
        # sem encerrar o interpretador, com tudo já escrito.
        for fluxo in (sys.stdout, sys.stderr):
            with contextlib.suppress(Exception):
                fluxo.flush()
        os._exit(codigo)
    sys.exit(codigo)


def main(argv: Optional[List[str]] = None) -> int:
    reais = sys.stdout, sys.stderr
    if reais[0] is not None and reais[1] is not None:
        segredos = lote.segredos_configurados()
        sys.stdout, sys.stderr = _Fluxo(reais[0], segredos), _Fluxo(reais[1], segredos)
    try:
        return _main(argv)
    finally:
        for fluxo in (sys.stdout, sys.stderr):
            with contextlib.suppress(Exception):
                fluxo.flush()
        sys.stdout, sys.stderr = reais


def _main(argv: Optional[List[str]]) -> int:
    try:
        args = montar_parser().parse_args(argv)
        if getattr(args, "jobs", 1) < 1:
            raise ErroDeUso("--jobs deve ser pelo menos 1")
        if getattr(args, "retomar", False) and not args.saida:
            raise ErroDeUso("--retomar exige --saida")
        return int(args.func(args))
    except ErroDeUso as e:
        _erro(str(e))
        return SAIDA_ERRO
    except KeyboardInterrupt:
        # Um segundo Ctrl-C enquanto se despede não vira um traceback.
        principal = threading.current_thread() is threading.main_thread()
        anterior = signal.signal(signal.SIGINT, signal.SIG_IGN) if principal else None
        try:
            _erro("interrompido")
        finally:
            if principal:
                signal.signal(signal.SIGINT, anterior)
        return SAIDA_INTERROMPIDO


if __name__ == "__main__":
    programa()
