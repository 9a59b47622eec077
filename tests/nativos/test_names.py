"""Name matching and signing authority of ContractChecker against the plain
Python rule in oracle_names.py."""
import collections

import pytest
from hypothesis import given, strategies as st

import oracle_names as oracle
from lexaro_contract import checker

ContractChecker = checker.ContractChecker


@pytest.fixture
def cc():
    # Name matching needs no configuration: an instance made without the
    # constructor must do.
    return ContractChecker.__new__(ContractChecker)


CC = ContractChecker.__new__(ContractChecker)


class StrSub(str):
    pass


# ---------------------------------------------------------------- examples

@pytest.mark.parametrize("texto, esperado", [
    ("  São  PAULO \t", "sao  paulo"),
    ("", ""),
    ("   ", ""),
    ("João", "joao"),
    ("Conceição", "conceicao"),
    ("ACME Comércio Ltda.", "acme comercio ltda."),
    ("Ⅻ ΣΑΣ", "ⅻ σας"),          # full lower-casing, final sigma
    ("\u2003Ｆｕｌｌ\u3000", "ｆｕｌｌ"),  # wide forms; Unicode blanks stripped
    ("e\u0301\u0327X", "ex"),        # combining marks removed
])
def test_normalizar_texto(cc, texto, esperado):
    assert cc._normalizar_texto(texto) == esperado
    assert oracle.normalizar_texto(texto) == esperado


NAME_CASES = [
    # documented behaviour
    ("", "Ana", False),
    ("   ", "Ana", False),
    ("ACME", "acme comércio ltda", True),
    ("Maria da Silva Souza", "Souza, Maria", False),
    ("João Carlos Pereira", "Joao Pereira Lima", True),
    ("Ana Li Wu", "Ana Wu", False),
    ("Ana Li Wu Costa", "Costa Ana", True),
    ("Li Wu", "Wu Li", False),
    ("José da Silva", "JOSE DA SILVA", True),
    ("acme ltda", "ACME LTDA.", True),
    # containment only at word boundaries
    ("Ana", "Mariana Costa", False),
    ("a", "Maria", False),
    ("a", "Joana A Souza", True),
    ("Ana", "Mariana Ana", True),        # a later occurrence can stand alone
    ("Ana", "Ana-Maria", True),
    ("Ana", "(ana)", True),
    ("ana", "anaº", False),               # º is alphanumeric
    ("acme 2", "acme 20", False),
    ("acme 2", "acme 2 ltda", True),
    ("silva", "silva_souza", True),       # "_" is not alphanumeric
    ("Lúcia", "Maria Lucia", True),
    ("Pedro", "Pedro²", False),           # superscript two is alphanumeric
    ("Ana", "d'\u0301ana", True),         # marks go before comparing
    ("Ana", "x\u0301ana", False),
    ("ana", "anana", False),              # overlapping occurrences, none standing alone
    ("ana", "anana ana", True),
]


@pytest.mark.parametrize("nome1, nome2, esperado", NAME_CASES)
def test_comparar_nomes(cc, nome1, nome2, esperado):
    assert oracle.comparar_nomes(nome1, nome2) is esperado
    assert cc._comparar_nomes(nome1, nome2) is esperado
    assert cc._comparar_nomes(nome2=nome1, nome1=nome2) is esperado  # symmetric


# ---------------------------------------------------------------- differential

LETTERS = "aAbeéÉçÇnãõoOsSıİßΣσςᾼ"
BLANKS = " \t\n\u00a0\u2003\u3000\x1c"
MARKS = "\u0301\u0327\u0303\u0345"
OTHER = ".,-_/º²0١Ⅻ😀"
ALPHABET = LETTERS + BLANKS + MARKS + OTHER


def names(max_size=14):
    return st.text(alphabet=ALPHABET, max_size=max_size)


@st.composite
def contained_pairs(draw):
    hay = draw(names(24))
    i = draw(st.integers(0, len(hay)))
    j = draw(st.integers(i, len(hay)))
    pair = [hay[i:j], hay]
    return tuple(draw(st.permutations(pair)))


@given(st.one_of(names(), st.text()))
def test_normalizar_matches_oracle(texto):
    assert CC._normalizar_texto(texto) == oracle.normalizar_texto(texto)


@given(st.one_of(st.tuples(names(), names()), contained_pairs(), st.tuples(st.text(), st.text())))
def test_comparar_matches_oracle(pair):
    assert CC._comparar_nomes(*pair) is oracle.comparar_nomes(*pair)


@given(st.tuples(st.text(alphabet="aAáb .", max_size=12), st.text(alphabet="aAáb .", max_size=12)))
def test_repetitive_names_match_oracle(pair):
    # Overlapping and repeated occurrences: every one must be tried.
    assert CC._comparar_nomes(*pair) is oracle.comparar_nomes(*pair)


def test_containment_scan_on_long_repetitive_names():
    # Periodic texts are the worst case of a naive scan at every offset.
    assert CC._comparar_nomes("a" * 20000 + "b", "a" * 400000) is False
    assert CC._comparar_nomes("ab" * 10000, "ab" * 200000) is False
    assert CC._comparar_nomes("ab " * 10000, "ab " * 200000) is True


@st.composite
def words_pairs(draw):
    vocab = draw(st.lists(st.text(alphabet=LETTERS + OTHER, min_size=1, max_size=5), min_size=1, max_size=6))
    sep = st.text(alphabet=BLANKS, min_size=1, max_size=2)
    def name():
        ws = draw(st.lists(st.sampled_from(vocab), max_size=5))
        return "".join(w + draw(sep) for w in ws)
    return name(), name()


@given(words_pairs())
def test_shared_words_match_oracle(pair):
    assert CC._comparar_nomes(*pair) is oracle.comparar_nomes(*pair)


# ---------------------------------------------------------------- signing power

SOCIOS = {
    "cnpj": "11222333000181",
    "socios": [
        {"nome": "MARIA DA SILVA SOUZA", "qualificacao": "Sócio-Administrador", "nome_representante": "",
         "qualificacao_representante": None, "cpf_cnpj": "***123456**", "data_entrada": "2019-03-01"},
        {"nome": "HOLDING ALFA PARTICIPACOES LTDA", "qualificacao": "Sócio",
         "nome_representante": "CARLOS EDUARDO LIMA", "qualificacao_representante": "Administrador",
         "cpf_cnpj": "12345678000199", "data_entrada": "2020-01-15"},
        {"nome": "CARLOS EDUARDO LIMA", "qualificacao": "Diretor"},
    ],
}


@pytest.mark.parametrize("nome, dados, esperado", [
    ("Maria da Silva Souza", SOCIOS, (True, "Sócio-Administrador")),
    ("Carlos Eduardo Lima", SOCIOS, (True, "Administrador")),   # representative of the 2nd, before the 3rd
    ("Ana Souza", SOCIOS, (False, None)),
    ("Ana", {"socios": [{"nome": "MARIANA COSTA", "qualificacao": "Sócia"}]}, (False, None)),
    ("Maria", {"socios": [{"nome": "Maria Silva"}]}, (True, None)),
    ("Pedro Alves", {"socios": [{"nome": "X", "nome_representante": "PEDRO ALVES"}]}, (True, None)),
    ("Qualquer", {}, (False, None)),
    ("Qualquer", {"socios": []}, (False, None)),
    ("Qualquer", {"socios": ()}, (False, None)),
    ("Qualquer", {"socios": [{"nome_representante": 0}]}, (False, None)),  # falsy: not compared
    ("Qualquer", {"socios": [{}]}, (False, None)),
])
def test_verificar_poder_assinatura(cc, nome, dados, esperado):
    assert oracle.verificar_poder_assinatura(nome, dados) == esperado
    r = cc._verificar_poder_assinatura(nome, dados)
    assert type(r) is tuple and r == esperado


@pytest.mark.parametrize("dados, exc, message", [
    ({"socios": None}, TypeError, "'NoneType' object is not iterable"),
    ({"socios": ["MARIA"]}, AttributeError, "'str' object has no attribute 'get'"),
    ({"socios": [{"nome": 1}]}, TypeError, "argument 'nome2' must be str, not int"),
    ({"socios": [{"nome": None}]}, TypeError, "argument 'nome2' must be str, not NoneType"),
    ({"socios": [{"nome": "x", "nome_representante": b"y"}]}, TypeError, "argument 'nome2' must be str, not bytes"),
    ({"socios": [{"nome": StrSub("Ana")}]}, TypeError, "argument 'nome2' must be str, not StrSub"),
])
def test_bad_registry_entries_fail_as_python_would(cc, dados, exc, message):
    with pytest.raises(exc, match=message):
        oracle.verificar_poder_assinatura("Ana", dados)
    with pytest.raises(exc, match=message):
        cc._verificar_poder_assinatura("Ana", dados)


def test_partners_with_their_own_get(cc):
    class Registro(collections.UserDict):
        def get(self, key, default=None):
            return {"nome": "Ana Paula", "qualificacao": "vinda do get"}.get(key, default)

    sub = type("DictSub", (dict,), {"get": lambda self, k, d=None: "Ana Maria" if k == "nome" else d})
    assert cc._verificar_poder_assinatura("Ana Paula", {"socios": [Registro()]}) == (True, "vinda do get")
    assert cc._verificar_poder_assinatura("Ana Maria", {"socios": [sub(nome="outro")]}) == (True, None)
    assert cc._verificar_poder_assinatura("Ana", {"socios": iter([{"nome": "Ana"}])}) == (True, None)


def test_first_match_wins_and_later_partners_are_not_read(cc):
    class Explode(dict):
        def get(self, *a):
            raise AssertionError("lido")

    dados = {"socios": [{"nome": "Ana Lima", "qualificacao": "1"}, Explode()]}
    assert cc._verificar_poder_assinatura("ana lima", dados) == (True, "1")


@st.composite
def registros(draw):
    pool = draw(st.lists(names(10), min_size=1, max_size=4))
    campo = st.one_of(st.sampled_from(pool), names(8))
    qual = st.one_of(st.none(), st.sampled_from(["Sócio", "Administrador", "Diretor"]))
    socio = st.fixed_dictionaries({}, optional={
        "nome": campo, "nome_representante": campo, "qualificacao": qual, "qualificacao_representante": qual})
    dados = draw(st.fixed_dictionaries({}, optional={"socios": st.lists(socio, max_size=4)}))
    return draw(st.one_of(st.sampled_from(pool), names())), dados


@given(registros())
def test_verificar_matches_oracle(caso):
    nome, dados = caso
    assert CC._verificar_poder_assinatura(nome, dados) == oracle.verificar_poder_assinatura(nome, dados)


# ---------------------------------------------------------------- dispatch

def test_comparar_dispatches_normalizar_through_self():
    class Sub(ContractChecker):
        def _normalizar_texto(self, texto):
            return texto.replace("-", " ").lower()

    sub = Sub.__new__(Sub)
    assert sub._comparar_nomes("ana-maria", "ANA") is True
    assert CC._comparar_nomes("ANA", "xana-mar") is False
    sub._normalizar_texto = lambda t: ""
    assert sub._comparar_nomes("Ana", "Ana") is False
    sub._normalizar_texto = lambda t: 7
    with pytest.raises(TypeError, match="_normalizar_texto\\(\\) must return str, not int"):
        sub._comparar_nomes("Ana", "Ana")


def test_verificar_dispatches_comparar_through_self(cc):
    seen = []

    def comparar(a, b):
        seen.append((a, b))
        return b == "rep"

    cc._comparar_nomes = comparar
    dados = {"socios": [{"nome": "n1", "nome_representante": "rep", "qualificacao_representante": "Q"}]}
    assert cc._verificar_poder_assinatura("sig", dados) == (True, "Q")
    assert seen == [("sig", "n1"), ("sig", "rep")]
    cc._comparar_nomes = lambda a, b: [0]  # truth value of whatever it returns
    assert cc._verificar_poder_assinatura("sig", {"socios": [{"qualificacao": "Z"}]}) == (True, "Z")


def test_a_bound_method_of_another_instance_is_not_taken_for_ours():
    class Sub(ContractChecker):
        def _normalizar_texto(self, texto):
            return "sempre"

    a, b = Sub.__new__(Sub), ContractChecker.__new__(ContractChecker)
    a._comparar_nomes = b._comparar_nomes  # bound to b: normalises with b's own method
    assert a._verificar_poder_assinatura("x", {"socios": [{"nome": "y"}]}) == (False, None)
    assert a._comparar_nomes("x", "y") is False and Sub._comparar_nomes(a, "x", "y") is True


def test_keyboard_interrupt_from_a_partner_passes_through(cc):
    class Stop(dict):
        def get(self, *a):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        cc._verificar_poder_assinatura("x", {"socios": [Stop()]})


# ---------------------------------------------------------------- boundaries

objects = st.one_of(
    st.sampled_from([int, float, complex, bool, bytes, bytearray, list, tuple, dict, set, frozenset,
                     range, type(None), slice, Exception]).flatmap(st.from_type),
    st.builds(object), st.sampled_from([str, int, ContractChecker, Ellipsis]),
    st.builds(StrSub, st.text(max_size=3)),
    st.none(), st.binary(max_size=3), st.integers(), st.lists(st.text(max_size=2), max_size=2),
)


@given(objects)
def test_normalizar_rejects_non_str(value):
    with pytest.raises(TypeError, match="argument 'texto' must be str"):
        CC._normalizar_texto(value)


@given(objects, st.booleans())
def test_comparar_rejects_non_str(value, first):
    args = (value, "Ana") if first else ("Ana", value)
    with pytest.raises(TypeError, match=f"argument '{'nome1' if first else 'nome2'}' must be str"):
        CC._comparar_nomes(*args)


@given(objects)
def test_verificar_rejects_wrong_kinds(value):
    with pytest.raises(TypeError, match="argument 'nome_signatario' must be str"):
        CC._verificar_poder_assinatura(value, {})
    if type(value) is not dict:
        with pytest.raises(TypeError, match="argument 'dados_receita' must be dict"):
            CC._verificar_poder_assinatura("Ana", value)


@given(objects)
def test_any_partner_list_or_entry_gives_a_result_or_a_python_error(value):
    for dados in ({"socios": value}, {"socios": [value]}, {"socios": [{"nome": value}]},
                  {"socios": [{"nome": "", "nome_representante": value}]}):
        try:
            expected = oracle.verificar_poder_assinatura("Ana", dados)
        except Exception as e:  # the native method fails the same way
            with pytest.raises(type(e)):
                CC._verificar_poder_assinatura("Ana", dados)
        else:
            assert CC._verificar_poder_assinatura("Ana", dados) == expected


@pytest.mark.parametrize("call, message", [
    (lambda: CC._normalizar_texto(), r"_normalizar_texto\(\) missing 1 required positional argument: 'texto'"),
    (lambda: CC._comparar_nomes("a"), r"missing 1 required positional argument: 'nome2'"),
    (lambda: CC._comparar_nomes("a", "b", "c"), r"takes 3 positional arguments but 4 were given"),
    (lambda: CC._comparar_nomes("a", nome1="b"), r"got multiple values for argument 'nome1'"),
    (lambda: CC._verificar_poder_assinatura(nome="a", dados_receita={}), r"unexpected keyword argument 'nome'"),
    (lambda: ContractChecker._comparar_nomes(), r"needs an argument"),
    (lambda: ContractChecker._comparar_nomes(1, "a", "b"), r"doesn't apply to a 'int' object"),
])
def test_argument_binding(call, message):
    with pytest.raises(TypeError, match=message):
        call()
