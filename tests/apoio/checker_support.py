"""Shared pieces of the checker tests: a checker made without its
constructor (as a plain Python class allows) and verified-field dumps."""

from pathlib import Path

from fpdf import FPDF

from lexaro_contract.checker import ContractChecker
from lexaro_contract.models import CampoVerificado


def make_checker(motor=None, verbose=True, disponivel=None, auth=None, cls=ContractChecker):
    """A ContractChecker (or `cls`) with its attributes set by hand: `auth`
    as the credentials manager, `motor` as the engine client and
    `disponivel` as the remembered engine start."""
    c = cls.__new__(cls)
    c.verbose = verbose
    c.model = "gpt-4o"
    c.usar_ai_search = True
    c._auth = auth
    c._client = motor
    c._lexaro_available = disponivel
    return c


def campo(nome, status, valor_contrato=None, valor_receita=None, mensagem=""):
    """The dump of one verified field."""
    return CampoVerificado(
        campo=nome, status=status, valor_contrato=valor_contrato, valor_receita=valor_receita, mensagem=mensagem
    ).model_dump()


def make_pdf(path, text="CONTRATO DE PRESTAÇÃO DE SERVIÇOS"):
    """A one-page PDF with a text layer (core font, Latin-1)."""
    pdf = FPDF()
    pdf.add_page()
    pdf.set_font("Helvetica", size=11)
    pdf.multi_cell(0, 6, text.encode("latin-1", "replace").decode("latin-1"))
    pdf.output(str(path))
    return Path(path)
