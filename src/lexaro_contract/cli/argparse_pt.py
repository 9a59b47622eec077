"""O argparse do comando: as suas palavras em português, e os erros de uso
como ErroDeUso (uma linha em stderr, saída 3)."""

import argparse
import contextlib
import sys
from typing import Any, Dict, Iterator, NoReturn, Tuple

from ..erros import ErroDeUso

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


class FaltaOComando(ErroDeUso):
    """Nenhum argumento onde um comando é obrigatório: o erro vem com a ajuda
    (o uso e a lista dos comandos), que é mostrada antes da linha do erro."""

    def __init__(self, mensagem: str, ajuda: str) -> None:
        super().__init__(mensagem)
        self.ajuda = ajuda


def _sem_argumentos(args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> bool:
    lista = args[0] if args else kwargs.get("args")
    return not (sys.argv[1:] if lista is None else list(lista))


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
            try:
                return super().parse_known_args(*args, **kwargs)
            except ErroDeUso as e:
                if self._subparsers is None or isinstance(e, FaltaOComando) or not _sem_argumentos(args, kwargs):
                    raise
                raise FaltaOComando(str(e), self.format_help()) from None

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
