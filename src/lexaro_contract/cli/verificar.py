"""O comando ``verificar``: a conferência dos serviços de registro antes
de começar, o verificador feito das opções, e um arquivo ou um lote
verificado com a saída na tela e no arquivo de resultados."""

import argparse
import contextlib
import json
import os
import signal
import sys
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, Optional, Tuple

from .. import lote
from ..enderecos import Enderecos, apontando, apontar
from ..erros import ErroDeUso
from .estados import (SAIDA_CANO_FECHADO, SAIDA_ERRO, SAIDA_INTERROMPIDO, VEREDITOS, _codigo, _estado,
                      _veredito_digital, _veredito_poderes)
from .saida import _chave, _Saida
from .terminal import _erro, _ouvindo_esperas, _Progresso

if TYPE_CHECKING:
    from ..checker import ContractChecker

TEMPO_CHECAGEM = 4.0


# ---------------------------------------------------------------- registro

def _servicos_configurados() -> Dict[str, Any]:
    atuais = Enderecos.atuais()
    return {
        "BrasilAPI": ("GET", atuais.brasil_api.format(cnpj="00000000000000")),
        "ReceitaWS": ("GET", atuais.receita_ws.format(cnpj="00000000000000")),
        "Casa dos Dados": ("POST", atuais.casa_dos_dados),
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
        verificador = lote.novo_verificador(provider, model, verbose)
    except ValueError as e:
        raise ErroDeUso(str(e) + _o_que_fazer(provider)) from None
    _conferir_endpoint(provider)
    return verificador


def _conferir_endpoint(provider: Optional[str]) -> None:
    """Um endpoint do Azure que não é um endereço (o "https://..." de um
    exemplo) é um erro de configuração: o verificador o calaria num PENDENTE
    "Lexaro não disponível" por arquivo."""
    from lexaro.client import usable_endpoint

    from ..auth import LexaroAuth

    auth = LexaroAuth(provider=provider)
    if auth.is_azure and auth.azure_endpoint and not usable_endpoint(auth.azure_endpoint):
        raise ErroDeUso(f"AZURE_API_ENDPOINT não é um endereço utilizável: {auth.azure_endpoint!r}")


def _o_que_fazer(provider: Optional[str]) -> str:
    """O passo seguinte para credenciais que faltam, dito depois da mensagem
    do verificador: as configurações do Azure que faltam, ou o motor local."""
    from ..auth import LexaroAuth

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

    from .. import assinaturas

    raizes = args.raizes or os.environ.get("LEXARO_RAIZES") or None
    if raizes:
        try:
            assinaturas.carregar_raizes(raizes)
        except assinaturas.ErroDeRaizes as e:
            raise ErroDeUso(str(e)) from None
        except ImportError:
            pass  # sem pyHanko: cada registro já diz que a conferência está indisponível
    return raizes

def _linha_veredito(r: Dict[str, Any]) -> str:
    if "erro" in r:
        return f"{r['arquivo']}: ERRO — {r['erro']}"
    res = r["resultado"]
    digital, poderes = _veredito_digital(r), _veredito_poderes(r)
    sufixo = f" [assinaturas digitais: {digital}]" if digital else ""
    sufixo += f" [poderes de assinatura: {poderes}]" if poderes else ""
    return f"{r['arquivo']}: {res.get('resultado_final')} — {res.get('justificativa')}{sufixo}"


def _objeto_json(r: Dict[str, Any], unico: bool) -> Dict[str, Any]:
    """O que `--json` imprime: o registro inteiro num lote; num arquivo só, o
    resultado com as conferências ao lado das suas chaves."""
    if not unico or "resultado" not in r:
        return r
    return {**r["resultado"], **{k: r[k] for k in ("assinaturas_digitais", "poderes", "evidencias") if k in r}}


def _secoes_do_relatorio(r: Dict[str, Any], progresso: _Progresso) -> None:
    """As seções que seguem o relatório da verificação de um arquivo."""
    if r.get("assinaturas_digitais"):
        from ..assinaturas import relatorio_assinaturas

        progresso.escrever("\n".join(relatorio_assinaturas(r["assinaturas_digitais"])), sys.stdout)
    if r.get("poderes"):
        from ..poderes import relatorio_poderes

        progresso.escrever("\n".join(relatorio_poderes(r["poderes"])), sys.stdout)


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

    registro = registro_no_processo(args.registro) if args.registro else None
    acervo: Any = None
    saida: Optional[_Saida] = None
    try:
        acervo = abrir_acervo(args.acervo) if getattr(args, "acervo", None) else None
        saida = _Saida(Path(args.saida), segredos) if args.saida else None
        # Um registro próprio, servido neste processo: a verificação, os
        # processos trabalhadores e a checagem inicial falam com ele.
        with contextlib.ExitStack() as pilha:
            if registro is not None:
                pilha.enter_context(apontando(Enderecos.na_base(registro.base)))
            return _verificar(args, arquivos, unico, verificador, provider, segredos, saida, raizes, acervo)
    finally:
        if saida is not None:
            saida.fechar()
        if acervo is not None:
            acervo.fechar()
        if registro is not None:
            registro.fechar()


def mes_dos_servicos() -> str:
    """O mês de um `registro servir` por trás dos endereços configurados (o
    seu /saude), ou "serviços públicos" com a data de hoje."""
    import datetime as dt

    import requests

    from ..enderecos import CAMINHO_BRASIL_API
    from ..registro.em_processo import mes_conhecido

    modelo = Enderecos.atuais().brasil_api
    if modelo.endswith(CAMINHO_BRASIL_API):
        try:
            saude = requests.get(modelo[:-len(CAMINHO_BRASIL_API)] + "/saude", timeout=TEMPO_CHECAGEM).json()
            if isinstance(saude, dict):
                mes = mes_conhecido(saude)
                if mes is not None:
                    return mes
                if saude.get("status") == "ok":
                    return "registro local sem mês"
        except Exception:  # noqa: BLE001 - sem /saude: os serviços públicos
            pass
    return f"serviços públicos {dt.date.today().isoformat()}"


def registro_no_processo(destino: str) -> Any:
    """O `--registro` de um comando: o registro importado (SQLite ou
    postgresql://) ou a pasta JSON servido neste processo, ou um erro de uso."""
    from ..registro.em_processo import servir_no_processo

    try:
        return servir_no_processo(destino)
    except Exception as e:  # noqa: BLE001 - registro ilegível ou inalcançável: uma linha
        raise ErroDeUso(f"não foi possível abrir o registro {destino}: {e}") from None


def abrir_acervo(destino: str) -> Any:
    """O acervo de `--acervo` (criado e migrado se preciso), ou um erro de uso."""
    try:
        from ..acervo import Acervo
    except ImportError:
        raise ErroDeUso('--acervo precisa das bibliotecas do painel: pip install "lexaro-contract[painel]"') from None
    try:
        return Acervo(destino)
    except ErroDeUso:
        raise
    except Exception as e:  # noqa: BLE001 - banco inalcançável, arquivo que não é SQLite
        raise ErroDeUso(f"não foi possível abrir o acervo {destino}: {type(e).__name__}: {e}") from None


def _verificar(args: argparse.Namespace, arquivos: List[str], unico: bool, verificador: Any, provider: str,
               segredos: Tuple[str, ...], saida: Optional[_Saida], raizes: Optional[str], acervo: Any = None) -> int:
    if not args.sem_checagem_registro and not checar_registro():
        raise ErroDeUso(
            "nenhum serviço de registro respondeu (BrasilAPI, ReceitaWS, Casa dos Dados); "
            "verifique a rede ou as variáveis LEXARO_*_URL, use um registro próprio (--registro DESTINO, "
            "ou um 'lexaro-contract registro servir'), ou use --sem-checagem-registro")

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
        if acervo is not None:
            acervo.guardar_do_lote(dict(r, mes_registro=mes) if "resultado" in r else r, provider, args.model)
        tipo = r.get("tipo_erro")
        if tipo in _FATAIS:
            parar.set()
            if tipo not in fatal:
                fatal.append(tipo)
                progresso.escrever("lexaro-contract: " + _linha_fatal(r, provider), sys.stderr)
        elif "erro" in r:
            progresso.escrever(f"lexaro-contract: {r['arquivo']}: {r['erro']}", sys.stderr)
        if args.json:
            progresso.escrever(json.dumps(_objeto_json(r, unico), ensure_ascii=json_ascii,
                                          indent=2 if unico else None, default=str), sys.stdout)
        elif (args.quiet or not unico) and "resultado" in r:
            progresso.escrever(_linha_veredito(r), sys.stdout)
        elif unico:
            _secoes_do_relatorio(r, progresso)
        progresso.avancar(Path(r["arquivo"]).name)
        if getattr(sys.stdout, "fechado", False):  # o leitor fechou o cano: fim quieto
            cano.set()
            parar.set()
            desistir.set()

    mes = mes_dos_servicos() if acervo is not None else None   # o mês do registro, para o acervo
    restaurar = apontar(Enderecos.atuais(observado=True))
    try:
        config = lote.Configuracao.atual(provider, args.model, segredos, raizes, not args.sem_poderes)
        if unico:
            if arquivos:
                registrar(lote.verificar_arquivo(arquivos[0], config, verificador))
        else:
            executor = _executor(args, provider)
            try:
                with _ctrl_c_do_lote(parar, desistir), _ouvindo_esperas(progresso):
                    for r in lote.verificar_lote(arquivos, executor, provider=provider, model=args.model,
                                                 segredos=segredos, raizes=raizes,
                                                 poderes=not args.sem_poderes, parar=parar,
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
