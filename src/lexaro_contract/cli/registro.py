"""Os comandos ``lexaro-contract registro``: ``servir`` (o registro local
nos caminhos dos três serviços, com o encaminhamento opcional aos públicos)
e os dos dados abertos do CNPJ (``importar``, ``info``, ``gerar-exemplo`` e
``baixar``)."""

from __future__ import annotations

import argparse
import errno
import gc
import os
import signal
import sys
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

from ..erros import ErroDeUso
from ..registro.fonte import Fonte
from ..registro.dados_abertos.leitor import ErroDeImportacao

_SERVICOS = {"brasilapi": "BrasilAPI", "receitaws": "ReceitaWS", "casadosdados": "Casa dos Dados"}
_RITMOS_PADRAO = {"brasilapi": "60/min", "receitaws": "3/min", "casadosdados": "10/min"}


def adicionar_servir(rsub: Any) -> argparse.ArgumentParser:
    """Registra ``servir`` nos subcomandos de ``registro``."""
    s: argparse.ArgumentParser = rsub.add_parser(
        "servir", help="serve os caminhos da BrasilAPI, da ReceitaWS e da Casa dos Dados em 127.0.0.1",
        description="Serve um registro local de empresas nos caminhos dos três serviços de registro.")
    origem = s.add_mutually_exclusive_group(required=True)
    origem.add_argument("--banco", metavar="DESTINO",
                        help="banco do registro importado: arquivo SQLite ou URL postgresql://")
    origem.add_argument("--dados", metavar="PASTA_JSON",
                        help="pasta com registros JSON no formato da BrasilAPI (um ou uma lista por arquivo)")
    s.add_argument("--porta", type=int, default=8088, help="porta TCP (padrão: 8088)")
    s.add_argument("--host", default="127.0.0.1", help="endereço de escuta (padrão: 127.0.0.1)")
    s.add_argument("--permitir-vazio", action="store_true",
                   help="serve mesmo sem nenhuma empresa (toda consulta dará 'não encontrado')")
    s.add_argument("--trabalhadores", type=int, default=8, metavar="N",
                   help="threads para consultas ao banco e buscas por nome (padrão: 8)")
    s.add_argument("--conexoes-por-endereco", type=int, default=512, metavar="N",
                   help="conexões abertas ao mesmo tempo por endereço de cliente; no limite, a ociosa há mais "
                        "tempo fecha para dar lugar à nova (padrão: 512)")
    e = s.add_argument_group("encaminhamento aos serviços públicos")
    e.add_argument("--encaminhar", action="store_true",
                   help="o que não estiver no registro local é pedido à BrasilAPI, à ReceitaWS e à Casa dos "
                        "Dados, respeitando o ritmo de cada uma, e guardado em cache")
    e.add_argument("--cache", metavar="ARQUIVO",
                   help="arquivo SQLite do cache de respostas (padrão: ao lado do banco, ou em "
                        "~/.cache/lexaro-contract/encaminhamento.sqlite)")
    e.add_argument("--limite", action="append", default=[], metavar="SERVICO=RITMO",
                   help="ritmo de um serviço, por exemplo receitaws=3/min (serviços: brasilapi, receitaws, "
                        "casadosdados; padrão: " + ", ".join(f"{k}={v}" for k, v in _RITMOS_PADRAO.items()) + ")")
    e.add_argument("--validade", type=float, default=168.0, metavar="HORAS",
                   help="por quanto tempo uma resposta encontrada vale no cache (padrão: 168 horas)")
    e.add_argument("--validade-nao-encontrado", type=float, default=6.0, metavar="HORAS",
                   help="por quanto tempo um 'não encontrado' vale no cache (padrão: 6 horas)")
    e.add_argument("--espera-maxima", type=float, default=8.0, metavar="SEGUNDOS",
                   help="quanto um pedido espera pela vez de um serviço antes de responder 503 (padrão: 8)")
    for chave, nome in _SERVICOS.items():
        e.add_argument(f"--url-{chave}", metavar="URL", help=f"URL base da {nome} (padrão: o serviço público)")
    s.set_defaults(func=comando_registro_servir)
    return s


def _cache_padrao(banco: Optional[str]) -> Path:
    if banco and "://" not in banco:
        p = Path(banco)
        return p.with_name(p.stem + ".encaminhamento.sqlite")
    base = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(base) / "lexaro-contract" / "encaminhamento.sqlite"


def _montar_encaminhador(args: argparse.Namespace) -> Any:
    from ..registro.encaminhamento.cache_respostas import CacheRespostas
    from ..registro.encaminhamento.cota import Cota, ler_ritmo
    from ..registro.encaminhamento.encaminhador import BRASIL_API, CASA_DOS_DADOS, RECEITA_WS, Encaminhador, Servico

    ritmos = dict(_RITMOS_PADRAO)
    for item in args.limite:
        servico, sep, ritmo = item.partition("=")
        if not sep or servico.strip().lower() not in _SERVICOS:
            raise ErroDeUso(f"--limite {item!r}: use SERVICO=RITMO com SERVICO em {', '.join(_SERVICOS)}")
        ritmos[servico.strip().lower()] = ritmo
    urls = {"brasilapi": args.url_brasilapi or BRASIL_API, "receitaws": args.url_receitaws or RECEITA_WS,
            "casadosdados": args.url_casadosdados or CASA_DOS_DADOS}
    servicos: Dict[str, Any] = {}
    for chave, nome in _SERVICOS.items():
        try:
            quantas, periodo = ler_ritmo(ritmos[chave])
        except ValueError as e:
            raise ErroDeUso(f"--limite {chave}: {e}") from None
        servicos[chave] = Servico(nome, urls[chave], Cota(quantas, periodo))
    if args.validade <= 0 or args.validade_nao_encontrado <= 0 or args.espera_maxima <= 0:
        raise ErroDeUso("--validade, --validade-nao-encontrado e --espera-maxima devem ser positivos")
    caminho = Path(args.cache) if args.cache else _cache_padrao(args.banco)
    try:
        cache = CacheRespostas(caminho)
    except Exception as e:  # noqa: BLE001 - sqlite3.Error, OSError: uma linha
        raise ErroDeUso(f"não foi possível abrir o cache {caminho}: {e}") from None
    return Encaminhador(cache, brasil_api=servicos["brasilapi"], receita_ws=servicos["receitaws"],
                        casa_dos_dados=servicos["casadosdados"], validade=args.validade * 3600.0,
                        validade_nao_encontrado=args.validade_nao_encontrado * 3600.0,
                        espera_maxima=args.espera_maxima), caminho, ritmos


def _abrir_banco(destino: str) -> Tuple[Callable[[], Fonte], int]:
    """A função que abre o banco (uma conexão por thread, que segue um banco
    trocado por `registro importar` sem reiniciar o servidor) e quantas
    empresas ele tem."""
    try:
        from ..registro.banco import seguir  # noqa: F401 - só saber se o suporte a banco está instalado
    except ImportError:
        raise ErroDeUso("--banco: o suporte a banco do registro não está disponível nesta instalação") from None
    from ..registro.em_processo import abrir_banco

    try:
        info, abrir = abrir_banco(destino)
    except Exception as e:  # noqa: BLE001 - arquivo ausente, URL inalcançável, banco incompleto: uma linha
        raise ErroDeUso(f"não foi possível abrir o banco {_sem_senha(destino)}: {e}") from None
    return abrir, _contagem(info)


def _sem_senha(destino: str) -> str:
    if "://" in destino and "@" in destino:
        esquema, resto = destino.split("://", 1)
        credenciais, _, host = resto.rpartition("@")
        return f"{esquema}://{credenciais.split(':', 1)[0]}@{host}"
    return destino


def _contagem(info: Dict[str, Any]) -> int:
    for chave in ("empresas", "estabelecimentos", "registros"):
        valor = info.get(chave)
        if isinstance(valor, int):
            return valor
    linhas = info.get("linhas")
    if isinstance(linhas, dict) and isinstance(linhas.get("estabelecimentos"), int):
        return int(linhas["estabelecimentos"])
    contagens = info.get("contagens")
    if isinstance(contagens, dict):
        for chave in ("estabelecimentos", "empresas"):
            if isinstance(contagens.get(chave), int):
                return int(contagens[chave])
    return -1


def comando_registro_servir(args: argparse.Namespace) -> int:
    from ..registro.servidor.pasta_json import ErroDeDados, PastaJson
    from ..registro.servidor import criar_servidor, url_base

    if not 0 <= args.porta <= 65535:
        raise ErroDeUso(f"--porta {args.porta}: use um número de 0 a 65535")
    if args.trabalhadores < 1:
        raise ErroDeUso("--trabalhadores deve ser pelo menos 1")
    if args.conexoes_por_endereco < 1:
        raise ErroDeUso("--conexoes-por-endereco deve ser pelo menos 1")
    dados: Any
    if args.dados is not None:
        try:
            dados = PastaJson.abrir(args.dados)
        except (OSError, ErroDeDados) as e:
            raise ErroDeUso(str(e)) from None
        empresas = len(dados.registros)
        onde = f"a pasta {args.dados}"
    else:
        dados, empresas = _abrir_banco(args.banco)
        onde = f"o banco {_sem_senha(args.banco)}"

    avisos: List[str] = []
    if empresas == 0:
        if not (args.permitir_vazio or args.encaminhar):
            raise ErroDeUso(f"{onde} não tem nenhuma empresa; confira o caminho, ou use --permitir-vazio")
        if not args.encaminhar:
            avisos.append(f"aviso: {onde} não tem nenhuma empresa: toda consulta dará 'não encontrado'")

    encaminhador = None
    if args.encaminhar:
        encaminhador, cache, ritmos = _montar_encaminhador(args)
        avisos.append("Encaminhando o que faltar: " + ", ".join(
            f"{_SERVICOS[k]} {ritmos[k]}" for k in _SERVICOS) + f"; cache em {cache}")
    try:
        servidor = criar_servidor(dados, args.porta, args.host, encaminhador=encaminhador,
                                  trabalhadores=args.trabalhadores, max_por_endereco=args.conexoes_por_endereco)
    except OSError as e:
        if encaminhador is not None:
            encaminhador.close()
        if e.errno == errno.EADDRINUSE:
            raise ErroDeUso(f"a porta {args.porta} já está em uso em {args.host}; escolha outra com --porta") from None
        if e.errno == errno.EACCES:
            raise ErroDeUso(f"sem permissão para usar a porta {args.porta} em {args.host}") from None
        raise ErroDeUso(f"não foi possível escutar em {args.host}:{args.porta}: {e.strerror or e}") from None
    # Os registros carregados vivem até o fim: tirá-los das coletas de lixo
    # evita pausas que cresceriam com a pasta (cada coleta completa percorreria
    # todos eles) e que apareceriam como picos de latência.
    gc.collect()
    gc.freeze()
    base = url_base(servidor)
    contagem = f"{empresas} empresas" if empresas >= 0 else "empresas do banco"
    print(f"Registro local em {base} ({contagem})")
    print(f"  export LEXARO_BRASILAPI_URL={base}")
    print(f"  export LEXARO_RECEITAWS_URL={base}")
    print(f"  export LEXARO_CASADOSDADOS_URL={base}", flush=True)
    for aviso in avisos:
        print(aviso, file=sys.stderr, flush=True)
    anterior = signal.signal(signal.SIGTERM, lambda *_: servidor.parar())
    try:
        servidor.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        signal.signal(signal.SIGTERM, anterior)
        servidor.server_close()
    return 0


# ---------------------------------------------------------------- dados abertos

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
    from ..registro.dados_abertos.importador import importar

    try:
        r = importar(args.pasta, args.banco, progresso=not args.quiet and sys.stderr.isatty() or args.progresso,
                     parcial=args.parcial, forcar=args.forcar)
    except ErroDeImportacao as e:
        raise ErroDeUso(str(e)) from None
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
    if r.faltam:
        print("Mês PARCIAL (faltam: " + ", ".join(r.faltam) + "): um CNPJ ausente responde 503, não 'não "
              "encontrado', e uma busca sem resultado não prova nada")
    if getattr(args, "reverificar_acervo", None):
        from .argparse_pt import _Parser
        from .reverificar import adicionar_reverificar, comando_reverificar

        # Os argumentos de `acervo reverificar`, lidos pelo seu próprio analisador (os padrões são os dele).
        analisador = _Parser(prog="lexaro-contract acervo")
        adicionar_reverificar(analisador.add_subparsers(dest="acao", required=True, parser_class=_Parser))
        reverificar = analisador.parse_args(["reverificar", f"--acervo={args.reverificar_acervo}",
                                             f"--registro={args.banco}"] + (["--parcial"] if args.parcial else []))
        sys.stdout.flush()
        return comando_reverificar(reverificar)
    return 0


def comando_info(args: argparse.Namespace) -> int:
    from ..registro.banco import ErroDeBanco, Registro

    try:
        with Registro(args.banco) as reg:
            info: Dict[str, Any] = reg.info()
    except ErroDeBanco as e:
        raise ErroDeUso(str(e)) from None
    print(f"Banco: {info['destino']}")
    print(f"Mês: {info['mes']} (importado em {info['importado_em']})")
    for familia, n in sorted(info["linhas"].items()):
        print(f"  {familia:<17} {n:>12,} linhas")
    print(f"Tamanho: {_tamanho(info['tamanho'])}")
    if info.get("parcial"):
        print(f"Mês PARCIAL (faltam: {info.get('faltam') or '?'}): um CNPJ ausente não quer dizer que não exista")
    return 0


def comando_gerar_exemplo(args: argparse.Namespace) -> int:
    from ..registro.dados_abertos.gerador import gerar

    if args.empresas < 1:
        raise ErroDeUso("--empresas deve ser pelo menos 1")
    try:
        linhas = gerar(args.pasta, args.empresas, semente=args.semente, zips=not args.csv)
    except OSError as e:
        raise ErroDeUso(f"não foi possível escrever em {args.pasta}: {e.strerror or e}") from None
    total = sum(linhas.values())
    print(f"Mês de exemplo em {args.pasta}: {total:,} linhas inventadas "
          + ", ".join(f"{f} {n:,}" for f, n in linhas.items()))
    return 0


def comando_baixar(args: argparse.Namespace) -> int:
    from ..registro.dados_abertos.baixar import ErroDeDownload, baixar_mes

    try:
        pasta = baixar_mes(mes=args.mes, pasta=args.pasta, progresso=not args.quiet)
    except ErroDeDownload as e:
        raise ErroDeUso(str(e)) from None
    print(f"Mês baixado em {pasta}")
    return 0


def adicionar_comandos(rsub: Any) -> None:
    """Acrescenta os comandos dos dados abertos ao subcomando `registro`."""
    i = rsub.add_parser("importar", help="importa um mês dos dados abertos do CNPJ num banco do registro")
    i.add_argument("pasta", metavar="PASTA", help="pasta com os 37 zips do mês ou os CSVs extraídos")
    i.add_argument("--banco", required=True, metavar="DESTINO", help="arquivo SQLite ou URL postgresql://")
    i.add_argument("--quiet", "-q", action="store_true", help="sem barra de progresso")
    i.add_argument("--progresso", action="store_true", help="barra de progresso mesmo fora de um terminal")
    i.add_argument("--parcial", action="store_true",
                   help="importa um mês incompleto (faltem as tabelas que faltarem); o banco fica marcado como "
                        "parcial e um CNPJ que ele não tem responde 503")
    i.add_argument("--forcar", action="store_true",
                   help="substitui o banco mesmo por um mês sem empresas ou com menos da metade das empresas dele")
    i.add_argument("--reverificar-acervo", metavar="DESTINO",
                   help="depois da importação, reverifica o acervo DESTINO com o mês novo (acervo reverificar)")
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
