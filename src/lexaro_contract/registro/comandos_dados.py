"""Comandos `registro importar`, `registro info`, `registro gerar-exemplo` e
`registro baixar` da linha de comando."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Dict

from .dados_abertos.leitor import ErroDeImportacao


def _cli() -> Any:
    from .. import cli

    return cli


def _tamanho(n: float) -> str:
    for unidade in ("B", "KB", "MB", "GB"):
        if n < 1024 or unidade == "GB":
            return f"{n:.1f} {unidade}" if unidade != "B" else f"{int(n)} B"
        n /= 1024
    return f"{n:.1f} GB"


def _mostrar_destino(destino: str) -> str:
    import re

    return re.sub(r"//[^@/]*@", "//", destino)


def comando_importar(args: argparse.Namespace) -> int:
    from .dados_abertos.importador import importar

    try:
        r = importar(args.pasta, args.banco, progresso=not args.quiet and sys.stderr.isatty() or args.progresso)
    except ErroDeImportacao as e:
        raise _cli().ErroDeUso(str(e)) from None
    print(f"Registro de {r.mes} importado em {_mostrar_destino(args.banco)} ({r.segundos:.1f} s, "
          f"{r.total / max(r.segundos, 1e-9):,.0f} linhas/s)")
    for familia, n in r.linhas.items():
        print(f"  {familia:<17} {n:>12,} linhas")
    if r.ocorrencias:
        print("Ocorrências nos dados:")
        for motivo, n in r.ocorrencias.items():
            print(f"  {n:>10,}  {motivo}")
    print(f"Tamanho: {_tamanho(r.tamanho)} (CSV: {_tamanho(r.bytes_csv)}, "
          f"{r.tamanho / max(r.bytes_csv, 1):.2f} do CSV)")
    return 0


def comando_info(args: argparse.Namespace) -> int:
    from .banco import ErroDeBanco, Registro

    try:
        with Registro(args.banco) as reg:
            info: Dict[str, Any] = reg.info()
    except ErroDeBanco as e:
        raise _cli().ErroDeUso(str(e)) from None
    print(f"Banco: {info['destino']}")
    print(f"Mês: {info['mes']} (importado em {info['importado_em']})")
    for familia, n in sorted(info["linhas"].items()):
        print(f"  {familia:<17} {n:>12,} linhas")
    print(f"Tamanho: {_tamanho(info['tamanho'])}")
    return 0


def comando_gerar_exemplo(args: argparse.Namespace) -> int:
    from .dados_abertos.gerador import gerar

    if args.empresas < 1:
        raise _cli().ErroDeUso("--empresas deve ser pelo menos 1")
    try:
        linhas = gerar(args.pasta, args.empresas, semente=args.semente, zips=not args.csv)
    except OSError as e:
        raise _cli().ErroDeUso(f"não foi possível escrever em {args.pasta}: {e.strerror or e}") from None
    total = sum(linhas.values())
    print(f"Mês de exemplo em {args.pasta}: {total:,} linhas inventadas "
          + ", ".join(f"{f} {n:,}" for f, n in linhas.items()))
    return 0


def comando_baixar(args: argparse.Namespace) -> int:
    from .dados_abertos.baixar import ErroDeDownload, baixar_mes

    try:
        pasta = baixar_mes(mes=args.mes, pasta=args.pasta, progresso=not args.quiet)
    except ErroDeDownload as e:
        raise _cli().ErroDeUso(str(e)) from None
    print(f"Mês baixado em {pasta}")
    return 0


def adicionar_comandos(rsub: Any) -> None:
    """Acrescenta os comandos dos dados abertos ao subcomando `registro`."""
    i = rsub.add_parser("importar", help="importa um mês dos dados abertos do CNPJ num banco do registro")
    i.add_argument("pasta", metavar="PASTA", help="pasta com os 37 zips do mês ou os CSVs extraídos")
    i.add_argument("--banco", required=True, metavar="DESTINO", help="arquivo SQLite ou URL postgresql://")
    i.add_argument("--quiet", "-q", action="store_true", help="sem barra de progresso")
    i.add_argument("--progresso", action="store_true", help="barra de progresso mesmo fora de um terminal")
    i.set_defaults(func=comando_importar)

    n = rsub.add_parser("info", help="mês, contagens e tamanho de um banco do registro")
    n.add_argument("--banco", required=True, metavar="DESTINO", help="arquivo SQLite ou URL postgresql://")
    n.set_defaults(func=comando_info)

    g = rsub.add_parser("gerar-exemplo", help="escreve um mês de dados abertos inventados")
    g.add_argument("pasta", metavar="PASTA", help="pasta onde o mês é escrito (criada se não existe)")
    g.add_argument("--empresas", type=int, required=True, metavar="N",
                   help="quantas empresas inventar (cada uma com matriz, filiais e sócios)")
    g.add_argument("--semente", type=int, default=0, metavar="S",
                   help="semente do gerador: a mesma semente dá o mesmo mês (padrão: 0)")
    g.add_argument("--csv", action="store_true", help="CSVs soltos em vez de zips")
    g.set_defaults(func=comando_gerar_exemplo)

    b = rsub.add_parser("baixar", help="baixa um mês dos dados abertos do CNPJ (o mais recente por padrão)")
    b.add_argument("--mes", metavar="AAAA-MM", help="mês a baixar (padrão: o mais recente publicado)")
    b.add_argument("--pasta", metavar="PASTA", help="destino (padrão: ./dados-abertos/AAAA-MM)")
    b.add_argument("--quiet", "-q", action="store_true", help="sem barra de progresso")
    b.set_defaults(func=comando_baixar)
