"""Linha de comando: ``lexaro-contract`` (ou ``python -m lexaro_contract``).

Comandos:
  verificar ARQUIVO.pdf [...]   verifica contratos
  registro servir               serve um registro local de empresas
  demo                          verifica os contratos de exemplo, offline

Códigos de saída: 0 todos APROVADO; 1 algum REPROVADO; 2 algum PENDENTE e
nenhum REPROVADO; 3 erro de uso ou de configuração.
"""

import argparse
import concurrent.futures
import json
import sys
import threading
from pathlib import Path
from typing import Any, Dict, Iterable, List, Optional

SAIDA_APROVADO, SAIDA_REPROVADO, SAIDA_PENDENTE, SAIDA_ERRO = 0, 1, 2, 3
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

def _novo_verificador(provider: Optional[str], model: Optional[str], verbose: bool):
    from .checker import ContractChecker

    kwargs: Dict[str, Any] = {"verbose": verbose}
    if provider:
        kwargs["provider"] = provider
    if model:
        kwargs["model"] = model
    try:
        return ContractChecker(**kwargs)
    except ValueError as e:
        raise ErroDeUso(str(e)) from None


def _checar_arquivo(caminho: str) -> Optional[str]:
    p = Path(caminho)
    if not p.exists():
        return f"Arquivo não encontrado: {caminho}"
    if p.is_dir():
        return f"É um diretório, não um PDF: {caminho}"
    return None


def verificar_arquivo(verificador, caminho: str) -> Dict[str, Any]:
    """Um registro de saída: {"arquivo", "resultado"} ou {"arquivo", "erro"}."""
    problema = _checar_arquivo(caminho)
    if problema:
        return {"arquivo": caminho, "erro": problema}
    try:
        return {"arquivo": caminho, "resultado": verificador.verificar(caminho)}
    except Exception as e:  # noqa: BLE001 - o lote segue com o próximo arquivo
        return {"arquivo": caminho, "erro": f"{type(e).__name__}: {e}"}


_VERIFICADOR_DO_PROCESSO = None


def _iniciar_processo(provider, model):
    global _VERIFICADOR_DO_PROCESSO
    _VERIFICADOR_DO_PROCESSO = _novo_verificador(provider, model, False)


def _verificar_no_processo(caminho: str) -> Dict[str, Any]:
    return verificar_arquivo(_VERIFICADOR_DO_PROCESSO, caminho)


def _ja_feitos(saida: Path) -> set:
    feitos = set()
    if not saida.exists():
        return feitos
    with open(saida, encoding="utf-8") as f:
        for linha in f:
            try:
                item = json.loads(linha)
            except ValueError:
                continue  # linha incompleta de uma execução interrompida
            # Só conta o que chegou a um veredito: um arquivo que deu erro
            # (rede, PDF ilegível) é tentado de novo.
            if isinstance(item, dict) and isinstance(item.get("arquivo"), str) and "resultado" in item:
                feitos.add(str(Path(item["arquivo"]).resolve()))
    return feitos


def _abrir_saida(saida: Path):
    """Abre o JSON Lines para acrescentar; uma linha cortada por uma execução
    interrompida é encerrada antes, para não colar no próximo registro."""
    cortada = False
    if saida.exists() and saida.stat().st_size > 0:
        with open(saida, "rb") as f:
            f.seek(-1, 2)
            cortada = f.read(1) != b"\n"
    f = open(saida, "a", encoding="utf-8")
    if cortada:
        f.write("\n")
    return f


def codigo_de_saida(registros: Iterable[Dict[str, Any]]) -> int:
    vereditos = []
    for r in registros:
        if "erro" in r:
            return SAIDA_ERRO
        vereditos.append(r["resultado"].get("resultado_final"))
    if "REPROVADO" in vereditos:
        return SAIDA_REPROVADO
    if "PENDENTE" in vereditos:
        return SAIDA_PENDENTE
    return SAIDA_APROVADO


def _linha_veredito(r: Dict[str, Any]) -> str:
    if "erro" in r:
        return f"{r['arquivo']}: ERRO — {r['erro']}"
    res = r["resultado"]
    return f"{r['arquivo']}: {res.get('resultado_final')} — {res.get('justificativa')}"


class _Progresso:
    """Barra de progresso em stderr (tqdm), silenciosa quando desligada."""

    def __init__(self, total: int, ligado: bool):
        self._barra = None
        if ligado:
            from tqdm import tqdm

            self._barra = tqdm(total=total, unit="contrato", file=sys.stderr, dynamic_ncols=True)

    def avancar(self, descricao: str) -> None:
        if self._barra is not None:
            self._barra.set_postfix_str(descricao, refresh=False)
            self._barra.update(1)

    def fechar(self) -> None:
        if self._barra is not None:
            self._barra.close()


def comando_verificar(args) -> int:
    arquivos: List[str] = list(args.arquivos)
    unico = len(arquivos) == 1
    verbose = unico and not (args.json or args.quiet)
    verificador = _novo_verificador(args.provider, args.model, verbose)

    if not args.sem_checagem_registro and not checar_registro():
        raise ErroDeUso(
            "nenhum serviço de registro respondeu (BrasilAPI, ReceitaWS, Casa dos Dados); "
            "verifique a rede ou as variáveis LEXARO_*_URL, ou use --sem-checagem-registro")

    saida = Path(args.saida) if args.saida else None
    if saida and args.retomar:
        feitos = _ja_feitos(saida)
        pulados = [a for a in arquivos if str(Path(a).resolve()) in feitos]
        arquivos = [a for a in arquivos if str(Path(a).resolve()) not in feitos]
        if pulados:
            print(f"Retomando: {len(pulados)} arquivo(s) já verificado(s) em {saida}", file=sys.stderr)

    registros: List[Dict[str, Any]] = []
    arquivo_saida = _abrir_saida(saida) if saida else None
    progresso = _Progresso(len(arquivos), ligado=not unico and not args.quiet)
    try:
        def registrar(r: Dict[str, Any]) -> None:
            registros.append(r)
            if arquivo_saida:
                arquivo_saida.write(json.dumps(r, ensure_ascii=False, default=str) + "\n")
                arquivo_saida.flush()
            if "erro" in r:
                _erro(f"{r['arquivo']}: {r['erro']}")
            if args.json:
                if unico and "resultado" in r:
                    print(json.dumps(r["resultado"], ensure_ascii=False, indent=2, default=str))
                elif not unico:
                    print(json.dumps(r, ensure_ascii=False, default=str), flush=True)
            elif args.quiet or not unico:
                print(_linha_veredito(r), flush=True)
            progresso.avancar(Path(r["arquivo"]).name)

        if args.jobs > 1 and len(arquivos) > 1:
            with concurrent.futures.ProcessPoolExecutor(
                    max_workers=args.jobs, initializer=_iniciar_processo,
                    initargs=(args.provider, args.model)) as pool:
                futuros = [pool.submit(_verificar_no_processo, a) for a in arquivos]
                for fut in concurrent.futures.as_completed(futuros):
                    registrar(fut.result())
        else:
            for a in arquivos:
                registrar(verificar_arquivo(verificador, a))
    finally:
        progresso.fechar()
        if arquivo_saida:
            arquivo_saida.close()
    return codigo_de_saida(registros)


# ---------------------------------------------------------------- registro servir

def comando_registro_servir(args) -> int:
    from .registro import criar_servidor, url_base

    try:
        servidor = criar_servidor(args.dados, args.porta, args.host)
    except (FileNotFoundError, ValueError, OSError) as e:
        raise ErroDeUso(str(e)) from None
    base = url_base(servidor)
    print(f"Registro local em {base} ({len(servidor.RequestHandlerClass.registros)} empresas)")
    print(f"  export LEXARO_BRASILAPI_URL={base}")
    print(f"  export LEXARO_RECEITAWS_URL={base}")
    print(f"  export LEXARO_CASADOSDADOS_URL={base}", flush=True)
    try:
        servidor.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        servidor.server_close()
    return 0


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


def comando_demo(args) -> int:
    from .registro import apontar_cnpj_para, iniciar_em_segundo_plano

    pasta = pasta_exemplos()
    contratos = sorted((pasta / "contratos").glob("*.pdf"))
    if not contratos:
        raise ErroDeUso(f"nenhum contrato de exemplo em {pasta / 'contratos'}")
    servidor, base = iniciar_em_segundo_plano(pasta / "registro")
    try:
        apontar_cnpj_para(base)
        verificador = _novo_verificador("local", None, not args.quiet)
        registros = []
        for pdf in contratos:
            r = verificar_arquivo(verificador, str(pdf))
            registros.append(r)
            if "erro" in r:
                _erro(f"{pdf.name}: {r['erro']}")
        print("\nResumo da demonstração (registro local em " + base + "):")
        for r in registros:
            veredito = r["resultado"]["resultado_final"] if "resultado" in r else "ERRO"
            print(f"   {veredito:10} {Path(r['arquivo']).name}")
    finally:
        servidor.shutdown()
        servidor.server_close()
    return SAIDA_ERRO if any("erro" in r for r in registros) else 0


# ---------------------------------------------------------------- entrada

class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise ErroDeUso(message)


def montar_parser() -> argparse.ArgumentParser:
    p = _Parser(prog="lexaro-contract", description="Verificação de legitimidade de contratos.")
    sub = p.add_subparsers(dest="comando", required=True, parser_class=_Parser)

    v = sub.add_parser("verificar", help="verifica um ou mais contratos em PDF")
    v.add_argument("arquivos", nargs="+", metavar="ARQUIVO.pdf")
    v.add_argument("--json", action="store_true", help="imprime o resultado como JSON")
    v.add_argument("--quiet", "-q", action="store_true", help="imprime só a linha do veredito")
    v.add_argument("--provider", choices=("openai", "azure", "local"),
                   help="motor de extração (padrão: LEXARO_PROVIDER ou openai)")
    v.add_argument("--model", help="modelo de linguagem (padrão: gpt-4o)")
    v.add_argument("--saida", metavar="RESULTADOS.jsonl", help="acrescenta cada resultado a um arquivo JSON Lines")
    v.add_argument("--retomar", action="store_true",
                   help="pula os arquivos que já têm veredito em --saida (os que deram erro são refeitos)")
    v.add_argument("--jobs", "-j", type=int, default=1, help="verificações em paralelo (processos)")
    v.add_argument("--sem-checagem-registro", action="store_true",
                   help="não checa se os serviços de registro respondem antes de começar")
    v.set_defaults(func=comando_verificar)

    r = sub.add_parser("registro", help="registro local de empresas")
    rsub = r.add_subparsers(dest="acao", required=True, parser_class=_Parser)
    s = rsub.add_parser("servir", help="serve um conjunto de registros JSON em 127.0.0.1")
    s.add_argument("--dados", required=True, metavar="DIR", help="diretório com registros JSON")
    s.add_argument("--porta", type=int, default=8088)
    s.add_argument("--host", default="127.0.0.1")
    s.set_defaults(func=comando_registro_servir)
    from .registro.comandos_dados import adicionar_comandos
    adicionar_comandos(rsub)

    d = sub.add_parser("demo", help="verifica os contratos de exemplo, offline")
    d.add_argument("--quiet", "-q", action="store_true", help="imprime só o resumo")
    d.set_defaults(func=comando_demo)
    return p


def main(argv: Optional[List[str]] = None) -> int:
    try:
        args = montar_parser().parse_args(argv)
        if getattr(args, "jobs", 1) < 1:
            raise ErroDeUso("--jobs deve ser pelo menos 1")
        if getattr(args, "retomar", False) and not args.saida:
            raise ErroDeUso("--retomar exige --saida")
        return args.func(args)
    except ErroDeUso as e:
        _erro(str(e))
        return SAIDA_ERRO
    except KeyboardInterrupt:
        _erro("interrompido")
        return 130


if __name__ == "__main__":
    sys.exit(main())
