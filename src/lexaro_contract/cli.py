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
import contextlib
import json
import sys
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, NoReturn, Optional

if TYPE_CHECKING:
    from .checker import ContractChecker

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

def _novo_verificador(provider: Optional[str], model: Optional[str], verbose: bool) -> "ContractChecker":
    from .checker import ContractChecker

    kwargs: Dict[str, Any] = {"verbose": verbose}
    if provider:
        kwargs["provider"] = provider
    if model:
        kwargs["model"] = model
    try:
        return ContractChecker(**kwargs)
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


def comando_demo(args: argparse.Namespace) -> int:
    from .registro import apontar_cnpj_para, iniciar_em_segundo_plano

    pasta = pasta_exemplos()
    contratos = sorted((pasta / "contratos").glob("*.pdf"))
    if not contratos:
        raise ErroDeUso(f"nenhum contrato de exemplo em {pasta / 'contratos'}")
    servidor, base = iniciar_em_segundo_plano(pasta / "registro")
    try:
        apontar_cnpj_para(base)
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
    v.add_argument("--saida", metavar="RESULTADOS.jsonl", help="acrescenta cada resultado a um arquivo JSON Lines")
    v.add_argument("--retomar", action="store_true",
                   help="pula os arquivos que já têm veredito em --saida (os que deram erro são refeitos)")
    v.add_argument("--jobs", "-j", type=int, default=1, help="verificações em paralelo (processos)")
    v.add_argument("--sem-checagem-registro", action="store_true",
                   help="não checa se os serviços de registro respondem antes de começar")
    v.set_defaults(func=comando_verificar)

    r = sub.add_parser("registro", help="registro local de empresas")
    rsub = r.add_subparsers(dest="acao", required=True, parser_class=_Parser, title="ações")
    s = rsub.add_parser("servir", help="serve um conjunto de registros JSON em 127.0.0.1")
    s.add_argument("--dados", required=True, metavar="DIR", help="diretório com registros JSON")
    s.add_argument("--porta", type=int, default=8088, help="porta TCP (padrão: 8088; 0 escolhe uma livre)")
    s.add_argument("--host", default="127.0.0.1", help="endereço em que escuta (padrão: 127.0.0.1)")
    s.set_defaults(func=comando_registro_servir)

    d = sub.add_parser("demo", help="verifica os contratos de exemplo, offline")
    d.add_argument("--quiet", "-q", action="store_true", help="imprime só a tabela dos vereditos")
    d.add_argument("--completo", action="store_true", help="imprime também os relatórios inteiros dos três contratos")
    d.set_defaults(func=comando_demo)
    return p


def main(argv: Optional[List[str]] = None) -> int:
    try:
        args = montar_parser().parse_args(argv)
        if getattr(args, "jobs", 1) < 1:
            raise ErroDeUso("--jobs deve ser pelo menos 1")
        if getattr(args, "retomar", False) and not args.saida:
            raise ErroDeUso("--retomar exige --saida")
        codigo: int = args.func(args)
        return codigo
    except ErroDeUso as e:
        _erro(str(e))
        return SAIDA_ERRO
    except KeyboardInterrupt:
        _erro("interrompido")
        return 130


if __name__ == "__main__":
    sys.exit(main())
