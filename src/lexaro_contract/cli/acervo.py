"""Os comandos ``acervo``: o acervo fora do painel (migrar, exportar)."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from .reverificar import adicionar_reverificar
from .verificar import abrir_acervo


def adicionar_acervo(sub: Any) -> None:
    a = sub.add_parser("acervo", help="o acervo dos contratos verificados (requer o extra [painel])")
    asub = a.add_subparsers(dest="acao", required=True, parser_class=type(a), title="ações")
    m = asub.add_parser("migrar", help="cria o acervo ou o leva à última versão do esquema")
    m.add_argument("--acervo", required=True, metavar="DESTINO", help="arquivo SQLite ou URL postgresql://")
    m.set_defaults(func=comando_migrar)
    e = asub.add_parser("exportar", help="a lista dos contratos em CSV ou JSON Lines (stdout)")
    e.add_argument("--acervo", required=True, metavar="DESTINO", help="arquivo SQLite ou URL postgresql://")
    e.add_argument("--formato", choices=("csv", "jsonl"), default="csv", help="csv (padrão) ou jsonl")
    e.set_defaults(func=comando_exportar)
    adicionar_reverificar(asub)


def comando_migrar(args: argparse.Namespace) -> int:
    abrir_acervo(args.acervo).fechar()
    print(f"Acervo {args.acervo} na última versão do esquema.")
    return 0


def comando_exportar(args: argparse.Namespace) -> int:
    from ..painel.formas import exportar

    acervo = abrir_acervo(args.acervo)
    try:
        for pedaco in exportar(acervo, args.formato, {}):
            sys.stdout.write(pedaco)
    finally:
        acervo.fechar()
    return 0
