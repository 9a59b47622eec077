"""Shared pieces of the checker tests: a checker made without its
constructor (as a plain Python class allows) and verified-field dumps."""

from lexaro_contract.checker import ContractChecker
from lexaro_contract.models import CampoVerificado


def make_checker(motor=None, verbose=True, disponivel=None):
    """A ContractChecker with its attributes set by hand: no credentials
    manager, `motor` as the engine client and `disponivel` as the
    remembered engine start."""
    c = ContractChecker.__new__(ContractChecker)
    c.verbose = verbose
    c.model = "gpt-4o"
    c.usar_ai_search = True
    c._auth = None
    c._client = motor
    c._lexaro_available = disponivel
    return c


def campo(nome, status, valor_contrato=None, valor_receita=None, mensagem=""):
    """The dump of one verified field."""
    return CampoVerificado(
        campo=nome, status=status, valor_contrato=valor_contrato, valor_receita=valor_receita, mensagem=mensagem
    ).model_dump()
