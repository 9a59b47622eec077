"""The owner of an individual enterprise signs for it: its QSA is empty by nature and its name is
the owner's name (often followed by the CPF). Native signature validation against the plain
Python one, on chosen cases and on random ones."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from checker_support import make_checker
from fakes import registro, socio
from lexaro_contract.models import AssinaturaExtraida
from oracle_pipeline import PythonChecker

INDIVIDUAL = "Empresário (Individual)"
TITULAR = ("aprovado", "Titular da empresa individual", "Signatário é o titular da empresa individual", True, [])
REPROVADO_VAZIO = ("reprovado", "QSA vazio", "Signatário NÃO encontrado no QSA", False, ["Signatário sem poder de assinatura"])


def validar(checker_cls, nome, natureza, razao, socios=()):
    rec = dict(registro("12.345.678/0001-95", razao, socios=list(socios)), natureza_juridica=natureza)
    c = make_checker(verbose=False)
    ass = AssinaturaExtraida(nome_signatario=nome, cnpj_empresa="12345678000195")
    (r,) = checker_cls._validar_assinaturas(c, [ass], {"12345678000195": rec})
    f = r.campos[0]
    return f.status, f.valor_receita, f.mensagem, r.tem_poder_assinatura, r.problemas


@pytest.mark.parametrize(
    "nome, natureza, razao, esperado",
    [
        ("Maria da Silva", INDIVIDUAL, "MARIA DA SILVA 12345678901", TITULAR),
        ("MARIA  DA SILVA ", "213-5 - Empresário (Individual)", "MARIA DA SILVA", TITULAR),   # ReceitaWS
        ("Maria da Silva", INDIVIDUAL, "MARIA DA SILVA - 123.456.789-01", TITULAR),
        ("Dani Fontenelle", "EMPRESARIO (INDIVIDUAL)", "DANI FONTENELLE 131.227.39763", TITULAR),
        # The word-for-word rule: part of the name, more than the name, another name.
        ("Maria Silva", INDIVIDUAL, "MARIA DA SILVA 12345678901", REPROVADO_VAZIO),
        ("Maria", INDIVIDUAL, "MARIA DA SILVA", REPROVADO_VAZIO),
        ("Maria da Silva", INDIVIDUAL, "MARIA DA SILVA COMERCIO 12345678901", REPROVADO_VAZIO),
        ("12345678901", INDIVIDUAL, "12345678901", REPROVADO_VAZIO),
        # Any other company with an empty QSA keeps the rejection.
        ("Maria da Silva", "Sociedade Empresária Limitada", "MARIA DA SILVA", REPROVADO_VAZIO),
        ("Maria da Silva", "Empresa Individual de Responsabilidade Limitada (de Natureza Empresária)",
         "MARIA DA SILVA", REPROVADO_VAZIO),
        ("Maria da Silva", None, "MARIA DA SILVA", REPROVADO_VAZIO),
        ("Maria da Silva", 2135, "MARIA DA SILVA", REPROVADO_VAZIO),
        ("Maria da Silva", INDIVIDUAL, None, REPROVADO_VAZIO),
    ],
)
def test_owner_of_an_individual_enterprise(nome, natureza, razao, esperado):
    assert validar(type(make_checker()), nome, natureza, razao) == esperado
    assert validar(PythonChecker, nome, natureza, razao) == esperado


def test_an_individual_enterprise_with_partners_keeps_the_specified_rule():
    socios = [socio("JOAO PEREIRA", "Procurador")]
    esperado = ("reprovado", "QSA: JOAO PEREIRA...", "Signatário NÃO encontrado no QSA", False,
                ["Signatário sem poder de assinatura"])
    assert validar(type(make_checker()), "Maria da Silva", INDIVIDUAL, "MARIA DA SILVA", socios) == esperado


def test_owner_log_line():
    c = make_checker()
    linhas = []
    c._log = lambda msg, emoji="📋": linhas.append(msg)
    rec = dict(registro("1", "ANA LIMA 11122233344"), natureza_juridica=INDIVIDUAL)
    (r,) = c._validar_assinaturas([AssinaturaExtraida(nome_signatario="Ana Lima", cnpj_empresa="1")], {"1": rec})
    assert linhas[-1] == "✅ Ana Lima TEM PODER (Titular da empresa individual)"
    assert r.qualificacao_qsa is None


NOMES = st.sampled_from(["Ana Lima", "ANA LIMA", "Ána  Lima", "Ana", "Lima Ana", "Ǆo Ωmega", "ǆo ωmega", "", "Zé"])
RAZOES = st.builds(lambda n, sufixo: n + sufixo, NOMES,
                   st.sampled_from(["", " 12345678901", " - 123.456.789-01", " ME", "-12345678901", " ١٢٣", "\t0"]))
NATUREZAS = st.sampled_from([INDIVIDUAL, "213-5 - EMPRESÁRIO (INDIVIDUAL)", "Sociedade Empresária Limitada", "", None, 7])


@given(NOMES, NATUREZAS, RAZOES | st.none(), st.booleans())
def test_native_matches_plain_python(nome, natureza, razao, com_socio):
    socios = [socio("RUI COSTA")] if com_socio else []
    assert validar(type(make_checker()), nome, natureza, razao, socios) == \
        validar(PythonChecker, nome, natureza, razao, socios)
