"""Os comandos ``painel`` (serve o painel de revisão) e ``painel usuario
criar`` (uma conta no acervo, feita na própria máquina)."""

from __future__ import annotations

import argparse
import getpass
import sys
from pathlib import Path
from typing import Any, Optional

from ..erros import ErroDeUso
from .verificar import abrir_acervo, registro_no_processo

PORTA = 8765


def adicionar_painel(sub: Any) -> None:
    p = sub.add_parser("painel", help="serve o painel de revisão (requer o extra [painel])",
                       description="Serve o painel de revisão: envio, lista, revisão e decisões dos contratos.")
    p.add_argument("--acervo", metavar="DESTINO", help="o acervo: arquivo SQLite ou URL postgresql://")
    p.add_argument("--host", default="127.0.0.1", help="endereço de escuta (padrão: 127.0.0.1)")
    p.add_argument("--porta", type=int, default=PORTA, help=f"porta TCP (padrão: {PORTA})")
    p.add_argument("--registro", metavar="DESTINO",
                   help="um registro importado (SQLite ou postgresql://) ou uma pasta JSON, servido neste processo "
                        "à verificação; sem ele, os serviços de registro configurados")
    p.add_argument("--provider", choices=("openai", "azure", "local"),
                   help="motor de extração (padrão: LEXARO_PROVIDER ou openai)")
    p.add_argument("--model", help="modelo de linguagem")
    p.add_argument("--jobs", "-j", type=int, default=2, help="verificações simultâneas (padrão: 2)")
    p.add_argument("--dask", metavar="ENDERECO", help="verifica num cluster Dask")
    p.add_argument("--raizes", metavar="PASTA", help="raízes de confiança das assinaturas digitais")
    p.set_defaults(func=comando_painel)
    psub = p.add_subparsers(dest="acao_painel", parser_class=type(p), title="ações")
    u = psub.add_parser("usuario", help="contas do painel")
    usub = u.add_subparsers(dest="acao_usuario", required=True, parser_class=type(p), title="ações")
    c = usub.add_parser("criar", help="cria uma conta (e, com --token, um token da API)")
    c.add_argument("nome", metavar="NOME", help="o nome com que a pessoa entra no painel")
    c.add_argument("--papel", required=True, choices=("administrador", "analista", "leitor"),
                   help="administrador (contas e exclusões), analista (envia e decide) ou leitor (só lê)")
    c.add_argument("--acervo", required=True, metavar="DESTINO", help="o acervo: arquivo SQLite ou URL postgresql://")
    c.add_argument("--senha-arquivo", metavar="ARQUIVO", help="lê a senha da primeira linha do arquivo")
    c.add_argument("--token", action="store_true", help="cria também um token da API e o imprime na última linha")
    c.set_defaults(func=comando_usuario_criar)


def _senha(arquivo: Optional[str]) -> str:
    if arquivo:
        try:
            linhas = Path(arquivo).read_text(encoding="utf-8").splitlines()
        except OSError as e:
            raise ErroDeUso(f"não foi possível ler {arquivo}: {e.strerror or e}") from None
        return linhas[0] if linhas else ""
    if not sys.stdin.isatty():
        raise ErroDeUso("sem terminal para pedir a senha: use --senha-arquivo ARQUIVO")
    senha = getpass.getpass("Senha: ")
    if getpass.getpass("Repita a senha: ") != senha:
        raise ErroDeUso("as senhas não conferem")
    return senha


def comando_usuario_criar(args: argparse.Namespace) -> int:
    from ..acervo import ContaInvalida

    senha = _senha(args.senha_arquivo)
    acervo = abrir_acervo(args.acervo)
    try:
        uid = acervo.criar_usuario(args.nome, args.papel, senha)
        print(f"Usuário {args.nome.strip()} criado ({args.papel}) em {args.acervo}.")
        if args.token:
            print("Token da API (guarde-o; ele não será mostrado de novo):")
            print(acervo.criar_token(uid))
    except ContaInvalida as e:
        raise ErroDeUso(str(e)) from None
    finally:
        acervo.fechar()
    return 0


def comando_painel(args: argparse.Namespace) -> int:
    if not args.acervo:
        raise ErroDeUso("painel precisa de --acervo DESTINO")
    if args.jobs < 1:
        raise ErroDeUso("--jobs deve ser pelo menos 1")
    try:
        import uvicorn

        from ..painel.app import criar_app
        from ..painel.fila import Fila
    except ImportError:
        raise ErroDeUso('o painel precisa das suas bibliotecas: pip install "lexaro-contract[painel]"') from None
    from ..enderecos import Enderecos, apontando
    from .verificar import _cliente_dask, _novo_verificador, _raizes_de

    provider = str(_novo_verificador(args.provider, args.model, False).provider)
    raizes = _raizes_de(args)
    executor = _cliente_dask(args.dask) if args.dask else None
    servidor_registro = None
    destino_enderecos = Enderecos.atuais(observado=True)
    if args.registro:
        servidor_registro = registro_no_processo(args.registro)
        destino_enderecos = Enderecos.na_base(servidor_registro.base, observado=True)
    acervo = abrir_acervo(args.acervo)
    try:
        with apontando(destino_enderecos):
            fila = Fila(acervo, provider, args.model, args.jobs, executor, raizes)
            print(f"Painel de revisão em http://{args.host}:{args.porta}/ (acervo {args.acervo}); Ctrl-C para parar.",
                  file=sys.stderr)
            uvicorn.run(criar_app(acervo, fila), host=args.host, port=args.porta, log_level="warning")
    finally:
        acervo.fechar()
        if servidor_registro is not None:
            servidor_registro.fechar()
        if executor is not None:
            executor.close()
    return 0


__all__ = ["adicionar_painel", "comando_painel", "comando_usuario_criar"]
