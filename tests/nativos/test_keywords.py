import inspect
import subprocess
import sys
import unicodedata

import pytest
from hypothesis import given, strategies as st

import oracle
from lexaro_contract import keywords

# Characters that exercise every branch of the folding: accents, combining
# marks alone and stacked, Greek capital sigma (final-sigma rule), U+0130
# (lower-cases to two characters), Hangul syllables and jamo, digits of other
# scripts, the masculine ordinal, blanks, and the combining Mc characters
# whose canonical order NFD rearranges.
INTERESTING = (
    "aAçÇãÃéÉíÍõÕúÜßµÿ ºª\u00a0\u2003\u3000\t\n-_.,"
    "\u0301\u0303\u0327\u0308\u034f"
    "\u03a3\u03c3\u03c2\u0391\u03b1\u0345\u1f88"
    "\u0130\u0131Ǆǅǆ\u1e9e\u2126\u212a"
    "한글\u1100\u1161\u11a8"
    "٣٤۵४\uff11"
    "\u201c\u201d\u2013\u2014\u2019"
    "\u302e\u302f\u1715"
    "\U0001d15e\U0001d165\U0001d16d\U0001d16e\U0001f4cb\U00010400"
)

texts = st.one_of(
    st.text(alphabet=st.sampled_from(INTERESTING), max_size=40),
    st.text(max_size=40),
    st.text(alphabet=st.characters(max_codepoint=0xFF), max_size=40),
    st.text(alphabet=st.characters(max_codepoint=0xFFFF), max_size=40),
)


@given(texts)
def test_normalizar_texto_equals_python(s):
    assert keywords.normalizar_texto(s) == oracle.normalizar_texto(s)


@given(texts)
def test_normalized_text_is_a_valid_str(s):
    r = keywords.normalizar_texto(s)
    # The result is stored in the narrowest width: equal to a copy rebuilt by
    # the interpreter itself, with the same size in memory.
    # (Single characters are left out: the interpreter may hand back one of
    # its own statically allocated strings for them.)
    rebuilt = "".join(list(r))
    assert r == rebuilt
    if len(r) > 1:
        assert sys.getsizeof(r) == sys.getsizeof(rebuilt)


@pytest.mark.parametrize("s, expected", [
    ("São Paulo – Ação", "sao paulo – acao"),
    ("", ""),
    ("  ÁRVORE\n", "  arvore\n"),
    ("ΟΔΟΣ ΣΑΣ Σ", "οδος σας σ"),
    ("İstanbul", "istanbul"),
    ("ǅ", "ǆ"),
    ("한", "\u1112\u1161\u11ab"),
    ("\U0001d16d\U0001d165", "\U0001d165\U0001d16d"),
])
def test_normalizar_texto_examples(s, expected):
    assert keywords.normalizar_texto(s) == expected == oracle.normalizar_texto(s)


WORDS = (oracle.KEYWORDS_VALIDACAO + oracle.KEYWORDS_EXCLUSAO
         + ["prestação", "serviços", "CONTRATO", "Cláusula", "VIGÊNCIA", "Recibos", "ICP-Brasil",
            "neste  ato representada", "neste ato\nrepresentada", "x", "de", "termos", "valores"])
doc_texts = st.one_of(
    texts,
    st.lists(st.sampled_from(WORDS), max_size=12).map(" ".join),
    st.lists(st.one_of(st.sampled_from(WORDS), texts), max_size=8).map("".join),
)


@given(doc_texts)
def test_validar_documento_equals_python(s):
    assert keywords.validar_documento_contrato(s) == oracle.validar_documento_contrato(s)


@given(st.lists(st.sampled_from(WORDS), min_size=1, max_size=40), st.integers(0, 3))
def test_long_texts_use_every_segment(words, width):
    # Long enough for the segmented scan; keywords land on segment borders.
    filler = ["a" * 997, "é" * 1009, "\u2014" * 1013, "\U0001f4cb" * 1019][width]
    s = filler.join(words) + filler * 5
    assert keywords.validar_documento_contrato(s) == oracle.validar_documento_contrato(s)


@pytest.mark.parametrize("texto, expected", [
    ("", (False, 0, [])),
    ("muitos recibos, contrato, cláusula, vigência", (False, 0, ["EXCLUSÃO: recibo"])),
    ("Nota Fiscal e Boleto", (False, 0, ["EXCLUSÃO: nota fiscal"])),
    ("PREGÃO ELETRÔNICO", (False, 0, ["EXCLUSÃO: pregão eletrônico"])),
    ("CONTRATO DE PRESTAÇÃO DE SERVIÇOS", (False, 1, ["contrato"])),
    ("cláusula vigência", (True, 4, ["cláusula", "clausula", "vigência", "vigencia"])),
    ("contrato acordo termo", (True, 3, ["contrato", "acordo", "termo"])),
    ("contrato acordo", (False, 2, ["contrato", "acordo"])),
    ("a prestadora", (False, 2, ["prestador", "prestadora"])),
    ("contratante", (False, 1, ["contratante"])),
    ("ICP-Brasil", (False, 1, ["icp-brasil"])),
])
def test_screening_examples(texto, expected):
    assert keywords.validar_documento_contrato(texto) == expected


@pytest.mark.parametrize("texto", ["neste  ato representada", "neste ato\nrepresentada"])
def test_multiword_keywords_need_the_same_blanks(texto):
    assert "neste ato representada" not in keywords.validar_documento_contrato(texto)[2]


def test_listed_keyword_objects_are_returned():
    r = keywords.validar_documento_contrato("Cláusula")
    assert r[2][0] is keywords.KEYWORDS_VALIDACAO[13]


class TestModuleGlobals:
    def test_replaced_lists_and_threshold(self, monkeypatch):
        monkeypatch.setattr(keywords, "KEYWORDS_VALIDACAO", ["alfa", "Beta"])
        monkeypatch.setattr(keywords, "KEYWORDS_EXCLUSAO", ["GAMA"])
        monkeypatch.setattr(keywords, "MIN_KEYWORDS", 2)
        assert keywords.validar_documento_contrato("ALFA beta") == (True, 2, ["alfa", "Beta"])
        assert keywords.validar_documento_contrato("gama alfa") == (False, 0, ["EXCLUSÃO: GAMA"])

    def test_mutated_list_is_seen(self, monkeypatch):
        monkeypatch.setattr(keywords, "KEYWORDS_VALIDACAO", list(keywords.KEYWORDS_VALIDACAO))
        assert keywords.validar_documento_contrato("zebra")[1] == 0
        keywords.KEYWORDS_VALIDACAO.append("zebra")
        assert keywords.validar_documento_contrato("zebra")[1] == 1

    def test_rebound_normalizer_is_called(self, monkeypatch):
        calls = []

        def fake(texto):
            calls.append(texto)
            return texto.upper()

        monkeypatch.setattr(keywords, "normalizar_texto", fake)
        monkeypatch.setattr(keywords, "KEYWORDS_EXCLUSAO", [])
        monkeypatch.setattr(keywords, "KEYWORDS_VALIDACAO", ["abc", "Abd"])
        assert keywords.validar_documento_contrato("xabcx") == (False, 1, ["abc"])
        assert calls == ["xabcx", "abc", "Abd"]

    def test_tuple_and_generator_lists(self, monkeypatch):
        monkeypatch.setattr(keywords, "KEYWORDS_VALIDACAO", ("contrato", "termo", "valor"))
        monkeypatch.setattr(keywords, "KEYWORDS_EXCLUSAO", (k for k in ["boleto"]))
        assert keywords.validar_documento_contrato("contrato termo valor") == (
            True, 3, ["contrato", "termo", "valor"])

    def test_threshold_comparison_is_python_comparison(self, monkeypatch):
        monkeypatch.setattr(keywords, "MIN_KEYWORDS", 2.5)
        assert keywords.validar_documento_contrato("contrato termo")[0] is False
        monkeypatch.setattr(keywords, "MIN_KEYWORDS", "3")
        with pytest.raises(TypeError):
            keywords.validar_documento_contrato("contrato termo")

    @pytest.mark.parametrize("name", ["MIN_KEYWORDS", "KEYWORDS_VALIDACAO", "KEYWORDS_EXCLUSAO",
                                      "normalizar_texto"])
    def test_missing_global_is_a_name_error(self, monkeypatch, name):
        monkeypatch.delattr(keywords, name)
        with pytest.raises(NameError, match=name):
            keywords.validar_documento_contrato("contrato")

    def test_exclusion_hit_never_reads_the_validation_list(self, monkeypatch):
        monkeypatch.delattr(keywords, "KEYWORDS_VALIDACAO")
        assert keywords.validar_documento_contrato("boleto") == (False, 0, ["EXCLUSÃO: boleto"])


class TestBadInput:
    class S(str):
        pass

    @pytest.mark.parametrize("func", [keywords.normalizar_texto, keywords.validar_documento_contrato])
    @pytest.mark.parametrize("value", [None, b"abc", S("abc"), 12, ["a"]])
    def test_non_str_is_type_error_naming_texto(self, func, value):
        with pytest.raises(TypeError, match="texto"):
            func(value)

    @pytest.mark.parametrize("call", [
        lambda f: f(),
        lambda f: f("a", "b"),
        lambda f: f("a", texto="b"),
        lambda f: f(text="a"),
    ])
    def test_argument_binding(self, call):
        with pytest.raises(TypeError):
            call(keywords.validar_documento_contrato)

    def test_keyword_argument(self):
        assert keywords.normalizar_texto(texto="Á") == "a"

    @pytest.mark.parametrize("where, entry", [("KEYWORDS_EXCLUSAO", 7), ("KEYWORDS_VALIDACAO", None)])
    def test_non_text_keyword_fails_like_normalizar_texto(self, monkeypatch, where, entry):
        monkeypatch.setattr(keywords, where, ["contrato", entry])
        with pytest.raises(TypeError, match="texto"):
            keywords.validar_documento_contrato("xyz")

    def test_non_text_keyword_after_an_exclusion_hit_is_not_reached(self, monkeypatch):
        monkeypatch.setattr(keywords, "KEYWORDS_EXCLUSAO", ["boleto", 7])
        assert keywords.validar_documento_contrato("boleto")[2] == ["EXCLUSÃO: boleto"]


def test_signatures_and_docs():
    assert str(inspect.signature(keywords.normalizar_texto)) == "(texto)"
    assert str(inspect.signature(keywords.validar_documento_contrato)) == "(texto)"
    assert keywords.validar_documento_contrato.__doc__.startswith("Valida se o texto")
    # Other tests rebind globals, so look at the order in a fresh interpreter.
    out = subprocess.run(
        [sys.executable, "-c", "import lexaro_contract.keywords as k; print([n for n in vars(k) if n[:2] != '__'])"],
        capture_output=True, text=True, check=True).stdout
    assert out.strip() == str(["unicodedata", "Tuple", "List", "KEYWORDS_VALIDACAO", "KEYWORDS_EXCLUSAO",
                               "MIN_KEYWORDS", "normalizar_texto", "validar_documento_contrato"])
    assert keywords.unicodedata is unicodedata
    assert len(keywords.KEYWORDS_VALIDACAO) == 38 and len(keywords.KEYWORDS_EXCLUSAO) == 9


def test_large_text():
    s = ("Cláusula primeira – do objeto. " * 40000) + "boleto"
    assert keywords.validar_documento_contrato(s) == (False, 0, ["EXCLUSÃO: boleto"])
    assert len(keywords.normalizar_texto(s)) == len(s)


@given(st.lists(st.one_of(st.sampled_from(WORDS), st.text(alphabet=st.sampled_from(INTERESTING), max_size=5)),
                min_size=1, max_size=30),
       st.sampled_from(["a" * 613, "ç" * 613, "\u201c" * 613, "\U0001f4cb" * 613]))
def test_long_texts_with_rare_characters(pieces, filler):
    # Hangul, capital sigma and reordered marks send the scan to its exact
    # path; the answer must not change.
    s = filler.join(pieces) + filler * 8
    assert keywords.validar_documento_contrato(s) == oracle.validar_documento_contrato(s)
    assert keywords.normalizar_texto(s) == oracle.normalizar_texto(s)


@pytest.mark.parametrize("func", [keywords.normalizar_texto, keywords.validar_documento_contrato])
@pytest.mark.parametrize("nome", ["\ud800", "texto\x00", "ç"])
def test_odd_keyword_names_are_type_errors(func, nome):
    with pytest.raises(TypeError, match="unexpected keyword argument") as info:
        func("a", **{nome: 1})
    assert repr(nome)[1:-1] in repr(str(info.value)) or nome in str(info.value)


@pytest.mark.parametrize("call, message", [
    (lambda f: f("a", "b", texto="c"), "got multiple values for argument 'texto'"),
    (lambda f: f("a", "b", nome="x"), "got an unexpected keyword argument 'nome'"),
    (lambda f: f("a", "b"), "takes 1 positional argument but 2 were given"),
])
def test_binding_errors_in_the_interpreters_order(call, message):
    def normalizar_texto(texto):
        return texto

    for func in (normalizar_texto, keywords.normalizar_texto):
        with pytest.raises(TypeError, match=message):
            call(func)
