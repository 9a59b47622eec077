"""The cnpj module as a whole and its identifier functions."""
import inspect
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

import oracle_cnpj as oracle
from lexaro_contract import cnpj

SRC = str(Path(cnpj.__file__).resolve().parent.parent)

# ---------------------------------------------------------------- the module

FUNCTIONS = [
    "limpar_cnpj", "validar_cnpj", "formatar_cnpj", "_consultar_brasil_api", "_consultar_receita_ws",
    "consultar_cnpj", "consultar_cnpj_online", "buscar_cnpj_por_nome", "buscar_empresa",
    "buscar_empresa_completo",
]


def test_namespace_order():
    names = [n for n in vars(cnpj) if not n.startswith("__")]
    head = ["re", "unicodedata", "Dict", "Optional", "Any", "Tuple", "requests",
            "BRASIL_API_URL", "RECEITA_WS_URL", "CASADOSDADOS_API", "REQUEST_TIMEOUT"]
    assert names[: len(head)] == head
    assert names[len(head): len(head) + len(FUNCTIONS)] == FUNCTIONS
    import re as re_mod, typing, unicodedata, requests
    assert cnpj.re is re_mod and cnpj.unicodedata is unicodedata and cnpj.requests is requests
    assert cnpj.Optional is typing.Optional and cnpj.Tuple is typing.Tuple


def test_constants_default_to_public_services():
    assert cnpj.BRASIL_API_URL == "https://brasilapi.com.br/api/cnpj/v1/{cnpj}"
    assert cnpj.RECEITA_WS_URL == "https://receitaws.com.br/v1/cnpj/{cnpj}"
    assert cnpj.CASADOSDADOS_API == "https://api.casadosdados.com.br/v2/public/cnpj/search"
    assert type(cnpj.REQUEST_TIMEOUT) is int and cnpj.REQUEST_TIMEOUT == 10


def run_python(code, **env):
    full = dict(os.environ, PYTHONPATH=SRC, **env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full, capture_output=True,
                          text=True, timeout=60)


def test_environment_overrides_service_hosts():
    out = run_python(
        """
        from lexaro_contract import cnpj
        print(cnpj.BRASIL_API_URL); print(cnpj.RECEITA_WS_URL); print(cnpj.CASADOSDADOS_API)
        """,
        LEXARO_BRASILAPI_URL="http://127.0.0.1:8080/",
        LEXARO_RECEITAWS_URL="http://127.0.0.1:8081",
        LEXARO_CASADOSDADOS_URL="http://10.0.0.5:9000/proxy//",
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "http://127.0.0.1:8080/api/cnpj/v1/{cnpj}",
        "http://127.0.0.1:8081/v1/cnpj/{cnpj}",
        "http://10.0.0.5:9000/proxy/v2/public/cnpj/search",
    ]


def test_missing_requests_fails_the_import():
    out = run_python(
        """
        import sys
        sys.modules["requests"] = None
        try:
            import lexaro_contract.cnpj
        except ImportError as e:
            print(type(e).__name__, e)
        """
    )
    assert out.stdout.strip() == "ModuleNotFoundError import of requests halted; None in sys.modules", out.stderr


def test_second_name_is_the_same_object():
    assert cnpj.consultar_cnpj_online is cnpj.consultar_cnpj


SIGNATURES = {
    "limpar_cnpj": "(cnpj)",
    "validar_cnpj": "(cnpj)",
    "formatar_cnpj": "(cnpj)",
    "_consultar_brasil_api": "(cnpj)",
    "_consultar_receita_ws": "(cnpj)",
    "consultar_cnpj": "(cnpj)",
    "buscar_cnpj_por_nome": "(nome_empresa, uf=None)",
    "buscar_empresa": "(cnpj=None, nome=None, uf=None)",
    "buscar_empresa_completo": "(cnpj=None, nome=None, uf=None, usar_ai_search=False, openai_api_key=None)",
}
SUMMARIES = {
    "limpar_cnpj": "Remove formatação do CNPJ (pontos, barras, hífens).",
    "validar_cnpj": "Valida se o CNPJ tem 14 dígitos.",
    "formatar_cnpj": "Formata CNPJ no padrão XX.XXX.XXX/XXXX-XX.",
    "_consultar_brasil_api": "Consulta CNPJ na BrasilAPI (fonte principal).",
    "_consultar_receita_ws": "Consulta CNPJ na ReceitaWS (fallback).",
    "consultar_cnpj": "Consulta CNPJ online usando BrasilAPI com fallback para ReceitaWS.",
    "buscar_cnpj_por_nome": "Busca CNPJ pelo nome da empresa usando Casa dos Dados API.",
    "buscar_empresa": "Busca empresa por CNPJ ou nome.",
    "buscar_empresa_completo": "Busca empresa usando todas as estratégias disponíveis.",
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signature_and_summary(name):
    fn = getattr(cnpj, name)
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    assert fn.__doc__.splitlines()[0] == SUMMARIES[name]
    assert fn.__name__ == name


def test_documented_texts():
    assert "Primeiro tenta por CNPJ, se não tiver, busca por nome." in cnpj.buscar_empresa.__doc__
    doc = cnpj.buscar_empresa_completo.__doc__
    steps = ["1. Por CNPJ direto (se fornecido)", "2. Por nome na API Casa dos Dados",
             "3. Por nome via AI web search (se habilitado e configurado)",
             "Dict com dados da empresa incluindo metadados de busca"]
    assert [doc.index(s) for s in steps] == sorted(doc.index(s) for s in steps)
    assert 'limpar_cnpj("12.345.678/0001-99")' in cnpj.limpar_cnpj.__doc__
    assert cnpj.__doc__.strip()


# ---------------------------------------------------------------- identifiers

ARABIC = "".join(chr(0x660 + int(d)) for d in "12345678000199")
FULLWIDTH = "".join(chr(0xFF10 + int(d)) for d in "12345678000199")
MATH_BOLD = "".join(chr(0x1D7CE + int(d)) for d in "12345678000199")


@pytest.mark.parametrize("given_text, cleaned", [
    ("12.345.678/0001-99", "12345678000199"),
    ("", ""),
    ("abc", ""),
    ("  12.345.678/0001-99  ", "12345678000199"),
    ("CNPJ: 12.345.678/0001-99", "12345678000199"),
    ("12 345 678 0001 99\n", "12345678000199"),
    ("nº ١٢٣", "١٢٣"),
    (ARABIC, ARABIC),
    (f"CNPJ {FULLWIDTH[:2]}.{FULLWIDTH[2:]}", FULLWIDTH),
    (MATH_BOLD + "🙂", MATH_BOLD),
    ("²³¹½", ""),  # superscripts and fractions are not decimal digits
    # alphanumeric CNPJs
    ("12.ABC.345/01DE-35", "12ABC34501DE35"),
    ("12.abc.345/01de-35", "12ABC34501DE35"),
    ("12ABC34501DE35", "12ABC34501DE35"),
    ("  12ABC34501DE35 ", "12ABC34501DE35"),
    ("12.ABC.345/01DE-36", "123450136"),      # wrong check digit
    ("12.ABC.345/01DE-3A", "12345013"),       # letter among the check digits
    ("CNPJ 12.ABC.345/01DE-35", "123450135"),  # 18 letters and digits
    ("ABCDEFGHIJKLMN", ""),
    ("12ABC34501DE35" + ARABIC[:1], "12ABC34501DE35"),
])
def test_limpar_cnpj(given_text, cleaned):
    assert cnpj.limpar_cnpj(given_text) == cleaned
    assert cnpj.limpar_cnpj(cnpj=given_text) == cleaned


@pytest.mark.parametrize("given_text, valid", [
    ("12345678000199", True), ("12.345.678/0001-99", True), ("123456", False),
    ("1234567800019", False), ("123456780001990", False), ("00000000000000", True),
    ("11111111111111", True), ("", False), ("abc", False), (ARABIC, True), (MATH_BOLD, True),
    ("12.ABC.345/01DE-35", True), ("12.ABC.345/01DE-36", False), ("12abc34501de35", True),
])
def test_validar_cnpj(given_text, valid):
    assert cnpj.validar_cnpj(given_text) is valid


@pytest.mark.parametrize("given_text, shown", [
    ("12345678000199", "12.345.678/0001-99"),
    ("12.345.678/0001-99", "12.345.678/0001-99"),
    ("CNPJ: 12.345.678/0001-99", "12.345.678/0001-99"),
    ("12ABC34501DE35", "12.ABC.345/01DE-35"),
    ("12abc34501de35", "12.ABC.345/01DE-35"),
    (ARABIC, "١٢.٣٤٥.٦٧٨/٠٠٠١-٩٩"),
    (MATH_BOLD, f"{MATH_BOLD[:2]}.{MATH_BOLD[2:5]}.{MATH_BOLD[5:8]}/{MATH_BOLD[8:12]}-{MATH_BOLD[12:]}"),
])
def test_formatar_cnpj(given_text, shown):
    assert cnpj.formatar_cnpj(given_text) == shown


@pytest.mark.parametrize("given_text", ["12.345", "", "abc", "123456780001990", "12.ABC.345/01DE-36"])
def test_formatar_cnpj_hands_back_the_argument(given_text):
    assert cnpj.formatar_cnpj(given_text) is given_text


@pytest.mark.parametrize("name", FUNCTIONS[:6] + ["buscar_cnpj_por_nome"])
@pytest.mark.parametrize("bad", [None, 12345678000199, b"12345678000199", ["1"]])
def test_text_parameter_type_errors(name, bad):
    param = "nome_empresa" if name == "buscar_cnpj_por_nome" else "cnpj"
    fn_name = getattr(cnpj, name).__name__
    with pytest.raises(TypeError, match=rf"^{fn_name}\(\) argument '{param}' must be str"):
        getattr(cnpj, name)(bad)


def test_str_subclass_is_refused():
    class Texto(str):
        pass

    with pytest.raises(TypeError, match="'cnpj' must be str, not Texto"):
        cnpj.limpar_cnpj(Texto("12"))


@pytest.mark.parametrize("call, message", [
    (lambda: cnpj.limpar_cnpj(), "missing 1 required positional argument: 'cnpj'"),
    (lambda: cnpj.validar_cnpj("1", "2"), "takes 1 positional argument but 2 were given"),
    (lambda: cnpj.formatar_cnpj(texto="1"), "unexpected keyword argument 'texto'"),
    (lambda: cnpj.buscar_empresa("1", "2", "3", "4"), "takes from 0 to 3 positional arguments but 4 were given"),
])
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()


def test_late_binding_of_limpar(monkeypatch):
    monkeypatch.setattr(cnpj, "limpar_cnpj", lambda c: "ab" * 7)
    assert cnpj.validar_cnpj("1") is True
    assert cnpj.formatar_cnpj("1") == "ab.aba.bab/abab-ab"
    monkeypatch.setattr(cnpj, "limpar_cnpj", lambda c: [])
    assert cnpj.validar_cnpj("12345678000199") is False
    monkeypatch.setattr(cnpj, "limpar_cnpj", lambda c: 7)
    with pytest.raises(TypeError, match="has no len"):
        cnpj.validar_cnpj("12345678000199")


def test_errors_of_a_rebound_cleaner_pass_through(monkeypatch):
    class Falha(Exception):
        pass

    def explode(c):
        raise Falha(c)

    monkeypatch.setattr(cnpj, "limpar_cnpj", explode)
    with pytest.raises(Falha):
        cnpj.formatar_cnpj("12345678000199")


# ---------------------------------------------------------------- against the oracle

NON_ASCII_DIGITS = [chr(c) for c in (0x660, 0x669, 0x6F4, 0x966, 0x9E6, 0xFF10, 0xFF19, 0x1D7CE, 0x1D7FF, 0x104A0)]
PIECES = st.one_of(
    st.sampled_from(list("0123456789.-/ ABCDEFGHJXYZabcz:")),
    st.sampled_from(NON_ASCII_DIGITS + ["²", "½", "\u00a0", "é", "ç", "–", "\u2028", "🙂", "\x00"]),
    st.characters(exclude_categories=("Cs",)),
)
TEXTS = st.lists(PIECES, max_size=30).map("".join)


@st.composite
def alphanumeric_cnpjs(draw):
    base = draw(st.text(alphabet="0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ", min_size=12, max_size=12))
    if draw(st.booleans()):
        base = base[:5] + "Q" + base[6:]
    full = base + oracle.digitos_verificadores(base)
    if draw(st.booleans()):
        full = full.lower()
    seps = draw(st.lists(st.sampled_from([".", "/", "-", " ", "", "٣", "é", "🙂"]), min_size=15, max_size=15))
    return "".join(s + c for s, c in zip(seps, full)) + seps[-1]


@given(st.one_of(TEXTS, alphanumeric_cnpjs()))
def test_identifiers_match_the_oracle(text):
    assert cnpj.limpar_cnpj(text) == oracle.limpar_cnpj(text)
    assert cnpj.validar_cnpj(text) is oracle.validar_cnpj(text)
    assert cnpj.formatar_cnpj(text) == oracle.formatar_cnpj(text)


@given(TEXTS.filter(lambda t: not re.search("[A-Za-z]", t)))
def test_numeric_text_cleans_as_before(text):
    assert cnpj.limpar_cnpj(text) == re.sub(r"\D", "", text)


def test_oracle_check_digits():
    assert oracle.digitos_verificadores("12ABC34501DE") == "35"
    assert oracle.digitos_verificadores("112223330001") == "81"  # a known numeric CNPJ
