"""Linha de comando: ``lexaro-contract`` (ou ``python -m lexaro_contract``).

Comandos:
  verificar ARQUIVO.pdf [...]   verifica contratos
  registro servir               serve um registro local de empresas
  demo                          verifica os contratos de exemplo, offline
  painel                        serve o painel de revisão (e painel usuario criar)
  acervo                        o acervo dos contratos verificados

Códigos de saída: 0 todos APROVADO; 1 algum REPROVADO; 2 algum PENDENTE e
nenhum REPROVADO; 3 erro de uso ou de configuração.

Aqui ficam o analisador da linha de comando e a entrada do programa; cada
família de comandos tem o seu módulo (``verificar``, ``demo``,
``registro``), e o que eles usam também: ``saida`` (o arquivo de
resultados), ``terminal`` (os fluxos mascarados e a barra de progresso),
``estados`` (os códigos de saída) e ``argparse_pt`` (o argparse em
português). O resto do pacote não importa a linha de comando: ela fica por
cima dele.
"""

import argparse
import contextlib
import os
import signal
import sys
import threading
from typing import List, Optional

from .. import lote
from ..erros import ErroDeUso
from .argparse_pt import FaltaOComando, _Parser
from .acervo import adicionar_acervo
from .demo import comando_demo, pasta_exemplos
from .estados import (SAIDA_APROVADO, SAIDA_CANO_FECHADO, SAIDA_ERRO, SAIDA_INTERROMPIDO, SAIDA_PENDENTE,
                      SAIDA_REPROVADO, VEREDITOS, codigo_de_saida)
from .painel import adicionar_painel
from .registro import adicionar_comandos, adicionar_servir
from .terminal import _erro, _Fluxo
from .verificar import TEMPO_CHECAGEM, checar_registro, comando_verificar, verificar_arquivo

__all__ = [
    "programa", "main", "montar_parser", "ErroDeUso", "comando_verificar", "comando_demo", "verificar_arquivo",
    "checar_registro", "codigo_de_saida", "pasta_exemplos", "SAIDA_APROVADO", "SAIDA_REPROVADO", "SAIDA_PENDENTE",
    "SAIDA_ERRO", "SAIDA_INTERROMPIDO", "SAIDA_CANO_FECHADO", "VEREDITOS", "TEMPO_CHECAGEM",
]


def _versao() -> str:
    from .. import __version__

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
    v.add_argument("--saida", metavar="RESULTADOS.jsonl",
                   help="grava um registro por arquivo em JSON Lines, à medida que cada um termina")
    v.add_argument("--acervo", metavar="DESTINO",
                   help="guarda cada contrato e a sua verificação no acervo (arquivo SQLite ou URL postgresql://); "
                        "requer o extra [painel]")
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
    v.add_argument("--registro", metavar="DESTINO",
                   help="um registro próprio servido neste processo durante a verificação: o banco importado "
                        "dos dados abertos (arquivo SQLite ou URL postgresql://) ou uma pasta JSON")
    v.add_argument("--sem-poderes", action="store_true",
                   help="não confere os poderes de assinatura (cargo no QSA, data de entrada, situação na data)")
    v.set_defaults(func=comando_verificar)

    r = sub.add_parser("registro", help="registro local de empresas")
    rsub = r.add_subparsers(dest="acao", required=True, parser_class=_Parser, title="ações")
    adicionar_servir(rsub)
    adicionar_comandos(rsub)

    adicionar_painel(sub)
    adicionar_acervo(sub)

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
        if isinstance(e, FaltaOComando):
            sys.stderr.write(e.ajuda)
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
