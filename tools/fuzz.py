#!/usr/bin/env python3
"""Fuzz driver for the three native modules of lexaro_contract.

Every target is a hypothesis property run over and over with fresh random
seeds until its share of the time budget is spent:

    python3 tools/fuzz.py --minutes 5 [--target NAME ...] [--list]

The pure-text functions are compared with the plain Python oracles in
tests/apoio/ (exact results, same exception types); every other entry point is
driven with arbitrary Python values (wrong types, str subclasses, dicts and
lists holding odd values, objects whose __eq__/__hash__/__str__/__bool__/get
raise or mutate their container, deeply nested structures) and with fake
`requests`, fake engines and fake registry functions, and must either
return a value of the expected kind or raise an ordinary Exception: a
TypeError naming the first parameter of the wrong kind when there is one.

Run it against a sanitizer build by putting a staging copy of the package
first on PYTHONPATH and preloading the sanitizer runtime, e.g.

    LD_PRELOAD=$(g++ -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \\
        PYTHONPATH=/tmp/stage python3 tools/fuzz.py --minutes 30

The input being tried is kept in --last-input-dir (one file per target) so
that a hard crash leaves its input behind; failing inputs found by
hypothesis are written next to it.
"""
import argparse
import contextlib
import io
import os
import sys
import time
import traceback
import types
import warnings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "apoio"))
if not any(os.path.isdir(os.path.join(p, "lexaro_contract")) for p in sys.path if p):
    sys.path.insert(0, os.path.join(ROOT, "src"))

from hypothesis import HealthCheck, Phase, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import oracle  # noqa: E402
import oracle_address  # noqa: E402
import oracle_cnpj  # noqa: E402
import oracle_names  # noqa: E402
from lexaro_contract import checker, cnpj, keywords  # noqa: E402
from lexaro_contract.enderecos import Enderecos, apontando  # noqa: E402

CC = checker.ContractChecker


# ================================================================ text

COMBINING = ["\u0301", "\u0300", "\u0303", "\u0327", "\u0323", "\u0345", "\u20d0", "\U0001d167", "\u0e48",
             "\u302a", "\ufe20"]
HARD = ["İ", "Σ", "ς", "ΑΣ", "ẞ", "ß", "ﬃ", "ǅ", "Ω", "K", "Å", "ª", "º", "ﬁ", "\u1e9e", "한", "가", "ᄀ",
        "\u0130\u0301", "A\u0301", "e\u0301\u0327", "\U00010400", "\U0001f600", "\U0001d400", "\u2126",
        "\ufb2c", "\u0390", "\u1f80"]
BLANKS = [" ", "\t", "\n", "\r", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x1f", "\x85", "\xa0", "\u1680",
          "\u2000", "\u2007", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000", "\u200b", "\ufeff"]
DIGITS = list("0123456789") + ["٣", "۷", "६", "৪", "๔", "０", "９", "𝟎", "𝟗", "\U000104a0", "²", "½", "⑤"]
PUNCT = list(".,;:-/\\()[]{}'\"_*&%$#@!?") + ["–", "—", "“", "”", "‘", "’", "…", "§", "°"]
NUL = ["\x00", "\x00\x00", "\x7f", "\x80", "\xff", "\u0100", "\uffff", "\U0010ffff"]
SURROGATES = ["\ud800", "\udfff", "\udc00", "\ud83d", "\ud83d\ude00"]
WORDS = (oracle.KEYWORDS_VALIDACAO + oracle.KEYWORDS_EXCLUSAO
         + ["CONTRATO", "CLÁUSULA", "Vigência", "RESCISÃO", "Edital de Licitação", "ICP-BRASIL"]
         + ["rua", "Rua", "RUA", "avenida", "Av.", "avda", "av", "travessa", "praça", "praca", "pracas",
            "edifício", "prédio", "conjunto", "conj", "sala", "andar", "bairro", "cep", "CEP", "nº", "no", "n",
            "n°", "Nº", "S/N", "01310-100", "01310100", "13.010-100", "sp", "SP"]
         + ["LTDA", "S.A.", "S/A", "EIRELI", "ME", "EPP", "Sócio-Administrador", "Administrador", "Diretor",
            "João", "JOAO", "da", "de", "Silva", "SILVA", "Maria", "Ana", "aaa", "aaaa", "Padaria Aurora"]
         + ["12.345.678/0001-99", "12345678000199", "12.ABC.345/01DE-35", "12ABC34501DE35", "CNPJ:"])

single = st.sampled_from(COMBINING + HARD + BLANKS + DIGITS + PUNCT + NUL + SURROGATES)
any_char = st.characters(min_codepoint=0, max_codepoint=0x10FFFF, exclude_categories=())
surrogate = st.integers(0xD800, 0xDFFF).map(chr)
run = st.tuples(st.sampled_from(BLANKS + DIGITS + COMBINING + ["a", "A", "é", "aa", "ab", "a ", "0 ", "-", "\x00"]
                                + WORDS[:5]),
                st.one_of(st.integers(1, 64), st.integers(64, 4096), st.integers(4096, 70000))
                ).map(lambda t: t[0] * t[1])
segment = st.one_of(
    single, single, st.sampled_from(WORDS), st.sampled_from(WORDS), st.text(any_char, max_size=8),
    st.text(max_size=12), surrogate, run,
)
texts = st.lists(segment, max_size=24).map("".join)
short_texts = st.lists(st.one_of(single, st.sampled_from(WORDS), st.text(max_size=4)), max_size=8).map("".join)


class Texto(str):
    """A str subclass: never accepted where text is required."""

    def __str__(self):
        return "sub:" + str.__str__(self)

    def __eq__(self, other):
        return str.__eq__(self, other)

    __hash__ = str.__hash__


# ================================================================ hostile values


class Boom(Exception):
    pass


class Hostile:
    """An object that raises from whatever it is asked."""

    def __init__(self, what):
        self.what = what

    def _maybe(self, name):
        if self.what == name or self.what == "all":
            raise Boom(name)

    def __eq__(self, other):
        self._maybe("eq")
        return False

    def __hash__(self):
        self._maybe("hash")
        return 7

    def __str__(self):
        self._maybe("str")
        return "hostile"

    def __repr__(self):
        return f"Hostile({self.what!r})"

    def __bool__(self):
        self._maybe("bool")
        return True

    def __len__(self):
        self._maybe("len")
        return 3

    def __iter__(self):
        self._maybe("iter")
        return iter(["a", "b"])

    def __format__(self, spec):
        self._maybe("format")
        return "hostile"

    def get(self, key, default=None):
        self._maybe("get")
        return default

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        self._maybe("getattr")
        raise AttributeError(name)


class Collider:
    """Hashes like a given key, so that looking that key up in a dict calls our
    __eq__, which raises or empties the dict being searched."""

    def __init__(self, key, action, victim=None):
        self.key, self.action, self.victim = key, action, victim
        self.armed = False

    def __hash__(self):
        return hash(self.key)

    def __eq__(self, other):
        if not self.armed:
            return False
        if self.action == "raise":
            raise Boom("collider")
        if self.action == "clear" and self.victim is not None:
            self.victim.clear()
        return False

    def __repr__(self):
        return f"Collider({self.key!r}, {self.action!r})"


class Mutator:
    """A mapping-like element whose `get` empties the list that holds it and
    the dict that holds that list."""

    def __init__(self):
        self.owners = []

    def get(self, key, default=None):
        for owner in self.owners:
            owner.clear()
        self.owners = []
        return "JOAO DA SILVA" if key in ("nome", "nome_socio") else default

    def __repr__(self):
        return "Mutator()"


def nested(depth, kind):
    value = "x"
    keys = ["socios", "endereco", "nome", "logradouro", "cep"]
    for i in range(depth):
        value = [value] if kind == "list" else {keys[i % len(keys)]: value, "cep": "01310-100"}
    return value


leaf = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-2**70, 2**70), st.floats(allow_nan=True),
    st.just(float("inf")), st.binary(max_size=8), st.builds(bytearray, st.binary(max_size=4)), short_texts,
    short_texts.map(Texto), st.sampled_from(["", "ATIVA", "JOAO DA SILVA", "12345678000199", "Rua A 12"]),
    st.sampled_from(["eq", "hash", "str", "bool", "len", "iter", "get", "format", "getattr", "all", "none"])
    .map(Hostile),
    st.just(object()), st.just(Ellipsis), st.complex_numbers(max_magnitude=2),
    st.sampled_from([str, dict, list, type, len, print]),
    st.tuples(st.sampled_from([1, 50, 900]), st.sampled_from(["list", "dict"])).map(lambda t: nested(*t)),
)
values = st.recursive(
    leaf,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.tuples(inner, inner),
        st.dictionaries(st.one_of(short_texts, st.sampled_from(["socios", "endereco", "nome", "qualificacao",
                                                                "nome_representante", "cep", "logradouro",
                                                                "razao_social", "cnpj", "situacao"]),
                                  st.integers(0, 3)), inner, max_size=5),
        st.frozensets(st.integers(0, 3), max_size=2),
    ),
    max_leaves=12,
)

TEXT_PARAMS = st.one_of(texts, short_texts, values)


# ================================================================ helpers


class Mismatch(AssertionError):
    pass


def outcome(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - compared, not absorbed
        return ("err", exc)


def same_value(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (a != a and b != b)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)
    return a == b


def compare(name, native, expected, message=True):
    kn, vn = native
    ke, ve = expected
    if kn != ke:
        raise Mismatch(f"{name}: native {kn} {vn!r} vs oracle {ke} {ve!r}")
    if kn == "err":
        if type(vn) is not type(ve) or (message and str(vn) != str(ve)):
            raise Mismatch(f"{name}: native raised {type(vn).__name__}({vn}) vs oracle {type(ve).__name__}({ve})")
    elif not same_value(vn, ve):
        raise Mismatch(f"{name}: native {vn!r} vs oracle {ve!r}")


def exact(value, kind):
    return type(value) is kind


OPTIONAL = object()


def first_bad(spec, args):
    """Name of the first parameter whose value is of the wrong kind."""
    for (name, kind), value in zip(spec, args):
        if kind == "str" and type(value) is not str:
            return name
        if kind == "str?" and value is not None and type(value) is not str:
            return name
        if kind == "dict" and type(value) is not dict:
            return name
        if kind == "list" and type(value) is not list:
            return name
    return None


def check_call(label, fn, spec, args, result_ok, extra_errors=()):
    """Call fn(*args); a parameter of the wrong kind must give a TypeError
    naming it, any other outcome must satisfy result_ok or be an ordinary
    Exception of the kinds allowed."""
    bad = first_bad(spec, args)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            result = fn(*args)
    except TypeError as exc:
        if bad is not None and f"'{bad}'" not in str(exc):
            raise Mismatch(f"{label}: TypeError not naming {bad!r}: {exc}") from exc
        if bad is None and extra_errors != "any" and TypeError not in extra_errors:
            raise Mismatch(f"{label}: unexpected TypeError {exc}") from exc
        return
    except Exception as exc:  # noqa: BLE001
        if bad is not None:
            raise Mismatch(f"{label}: {type(exc).__name__}({exc}) instead of TypeError for {bad!r}") from exc
        if extra_errors != "any" and not isinstance(exc, tuple(extra_errors)):
            raise Mismatch(f"{label}: unexpected {type(exc).__name__}({exc})") from exc
        return
    if bad is not None:
        raise Mismatch(f"{label}: accepted {bad!r} of the wrong kind")
    if not result_ok(result):
        raise Mismatch(f"{label}: unexpected result {result!r}")


# ================================================================ fakes


class FakeResponse:
    def __init__(self, status, body, json_error):
        self.status_code = status
        self._body = body
        self._error = json_error

    def json(self):
        if self._error is not None:
            raise self._error
        return self._body


class FakeRequests:
    """Plays `requests` for the registry and search functions."""

    exceptions = types.SimpleNamespace(RequestException=OSError)

    def __init__(self, answers):
        self.answers = list(answers)

    def _next(self):
        if not self.answers:
            return FakeResponse(404, None, None)
        answer = self.answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def get(self, url, headers=None, timeout=None):
        return self._next()

    def post(self, url, json=None, headers=None, timeout=None):
        return self._next()


# Registry addresses where nothing answers: every lookup is FakeRequests' answer.
FORA_DO_AR = Enderecos("http://127.0.0.1:9/a/{cnpj}", "http://127.0.0.1:9/b/{cnpj}", "http://127.0.0.1:9/c")


registry_body = st.one_of(
    st.fixed_dictionaries({}, optional={
        "razao_social": values, "nome": values, "descricao_situacao_cadastral": values, "status": st.one_of(
            st.just("ERROR"), st.just("OK"), values), "capital_social": st.one_of(
            st.sampled_from(["", "0", "3000.00", "50.000,00", "R$ 1,00", "1.2.3", ",", ".", "1e400", "nan",
                             "\x00", "١٢٣", "１２"]), values, short_texts),
        "qsa": st.one_of(st.lists(st.one_of(values, st.dictionaries(st.sampled_from(
            ["nome_socio", "nome", "qual", "qualificacao_socio", "nome_representante_legal"]), values)),
            max_size=4), values),
        "logradouro": values, "municipio": values, "cep": values, "data": values,
    }),
    values,
)
search_body = st.one_of(
    st.fixed_dictionaries({"data": st.one_of(st.fixed_dictionaries({}, optional={
        "count": st.one_of(st.integers(-1, 3), values), "cnpj": st.one_of(st.lists(st.one_of(
            st.fixed_dictionaries({}, optional={"cnpj": st.one_of(st.just("12345678000199"), values)}),
            values), max_size=3), values)}), values)}),
    values,
)
response = st.one_of(
    st.builds(FakeResponse, st.one_of(st.just(200), st.just(200), st.sampled_from([404, 429, 500, "200", 200.0,
                                                                                   True])), st.one_of(
        registry_body, search_body), st.one_of(st.none(), st.none(), st.sampled_from(
            [ValueError("not json"), RecursionError("deep"), UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad"),
             Boom("json"), MemoryError()]))),
    st.sampled_from([OSError("refused"), TimeoutError("slow"), Boom("get"), ValueError("x")]),
    st.sampled_from(["eq", "bool", "getattr", "all"]).map(Hostile),
)


@contextlib.contextmanager
def rebound(module, **names):
    old = {k: module.__dict__.get(k, OPTIONAL) for k in names}
    module.__dict__.update(names)
    try:
        yield
    finally:
        for k, v in old.items():
            if v is OPTIONAL:
                module.__dict__.pop(k, None)
            else:
                module.__dict__[k] = v


def fake_ai_module(result):
    mod = types.ModuleType("lexaro_contract.ai_search")

    def buscar_cnpj_via_ai(nome, key):
        if isinstance(result, BaseException):
            raise result
        return result

    mod.buscar_cnpj_via_ai = buscar_cnpj_via_ai
    return mod


# ================================================================ targets

TARGETS = {}


def target(strategy):
    def register(fn):
        TARGETS[fn.__name__] = (strategy, fn)
        return fn
    return register


@target(texts)
def normalizar_texto(s):
    compare("normalizar_texto", outcome(keywords.normalizar_texto, s), outcome(oracle.normalizar_texto, s))


doc_texts = st.lists(st.one_of(segment, st.sampled_from(WORDS), st.sampled_from(WORDS).map(str.upper)),
                     max_size=40).map(" ".join)
keyword_lists = st.lists(st.one_of(short_texts, st.sampled_from(WORDS)), max_size=6)


@target(st.tuples(st.one_of(doc_texts, texts),
                  st.one_of(st.none(), st.tuples(keyword_lists, keyword_lists,
                                                 st.one_of(st.integers(-1, 6), st.just(2**65))))))
def validar_documento_contrato(case):
    s, rebind = case
    if rebind is None:
        compare("validar_documento_contrato", outcome(keywords.validar_documento_contrato, s),
                outcome(oracle.validar_documento_contrato, s))
        return
    exclusao, validacao, minimo = rebind
    with rebound(keywords, KEYWORDS_EXCLUSAO=exclusao, KEYWORDS_VALIDACAO=validacao, MIN_KEYWORDS=minimo):
        native = outcome(keywords.validar_documento_contrato, s)
    compare("validar_documento_contrato(rebound)", native,
            outcome(oracle.validar_documento_contrato, s, list(exclusao), list(validacao), minimo))


@target(st.one_of(texts, st.lists(st.one_of(st.sampled_from(DIGITS), st.sampled_from(PUNCT + BLANKS + NUL),
                                            st.sampled_from(WORDS[-5:]), st.text(max_size=2)), max_size=30)
                  .map("".join)))
def cnpj_identifiers(s):
    for name in ("limpar_cnpj", "validar_cnpj", "formatar_cnpj"):
        compare(name, outcome(getattr(cnpj, name), s), outcome(getattr(oracle_cnpj, name), s))


address_texts = st.one_of(texts, st.lists(st.tuples(st.one_of(st.sampled_from(WORDS), short_texts, run),
                                                    st.sampled_from(BLANKS[:4] + PUNCT[:8] + [""])),
                                          max_size=16).map(lambda ps: "".join(a + b for a, b in ps)))


@target(address_texts)
def normalizar_endereco(s):
    compare("_normalizar_endereco", outcome(cnpj._normalizar_endereco, s),
            outcome(oracle_address._normalizar_endereco, s))


CAMPOS = ["logradouro", "numero", "complemento", "bairro", "cidade", "uf", "cep"]
field_value = st.one_of(address_texts, st.sampled_from(["", None, 0, [], "SP", "01310-100", "01310100"]), leaf)


@st.composite
def address_case(draw):
    contrato = draw(address_texts)
    shape = draw(st.sampled_from(["record", "record", "bare", "odd", "collider"]))
    end = {c: draw(field_value) for c in CAMPOS if draw(st.booleans())}
    if shape == "record":
        return contrato, ("record", end)
    if shape == "bare":
        return contrato, ("bare", end)
    if shape == "collider":
        return contrato, ("collider", draw(st.sampled_from(["endereco"] + CAMPOS)),
                          draw(st.sampled_from(["raise", "clear", "none"])), end)
    return contrato, ("odd", draw(values))


def build_address(spec):
    kind = spec[0]
    if kind == "record":
        return {"cnpj": "1", "endereco": dict(spec[1])}
    if kind == "bare":
        return dict(spec[1])
    if kind == "collider":
        _, key, action, end = spec
        end = dict(end)
        dados = {"endereco": end}
        victim = dados if key == "endereco" else end
        collider = Collider(key, action, victim)
        victim[collider] = "x"
        collider.armed = True
        return dados
    return {"endereco": spec[1]}


@target(address_case())
def comparar_enderecos(case):
    contrato, spec = case
    native = outcome(cnpj.comparar_enderecos, contrato, build_address(spec))
    expected = outcome(oracle_address.comparar_enderecos, contrato, build_address(spec))
    compare("comparar_enderecos", native, expected)


name_texts = st.one_of(texts, st.lists(st.one_of(st.sampled_from(WORDS[-30:]), short_texts, single),
                                       max_size=10).map(" ".join))


@st.composite
def names_case(draw):
    nome = draw(name_texts)
    other = draw(name_texts)
    socios = draw(st.lists(st.one_of(
        st.fixed_dictionaries({}, optional={"nome": st.one_of(name_texts, st.just(other), leaf),
                                            "qualificacao": st.one_of(short_texts, leaf),
                                            "nome_representante": st.one_of(name_texts, st.just(nome), leaf),
                                            "qualificacao_representante": leaf}),
        st.just("mutator"), leaf), max_size=5))
    shape = draw(st.sampled_from(["socios", "socios", "missing", "odd", "collider"]))
    return nome, other, socios, shape, draw(values)


def build_names(nome, socios, shape, odd):
    socios = [Mutator() if isinstance(s, str) and s == "mutator" else (dict(s) if isinstance(s, dict) else s) for s in socios]
    if shape == "missing":
        return {"razao_social": "X"}
    if shape == "odd":
        return {"socios": odd}
    dados = {"socios": socios}
    for s in socios:
        if isinstance(s, Mutator):
            s.owners = [socios, dados]
    if shape == "collider":
        collider = Collider("socios", "raise" if nome[:1] < "m" else "clear", dados)
        dados[collider] = 1
        collider.armed = True
    return dados


@target(names_case())
def nomes(case):
    nome, other, socios, shape, odd = case
    inst = CC.__new__(CC)
    compare("_normalizar_texto", outcome(CC._normalizar_texto, inst, nome),
            outcome(oracle_names.normalizar_texto, nome))
    compare("_comparar_nomes", outcome(CC._comparar_nomes, inst, nome, other),
            outcome(oracle_names.comparar_nomes, nome, other))
    native = outcome(CC._verificar_poder_assinatura, inst, nome, build_names(nome, socios, shape, odd))
    expected = outcome(oracle_names.verificar_poder_assinatura, nome, build_names(nome, socios, shape, odd))
    # The native messages carry the qualified method name.
    compare("_verificar_poder_assinatura", native, expected, message=isinstance(native[1], tuple) or
            type(native[1]) is not TypeError)


# ---------------------------------------------------------------- arbitrary values at every boundary

record_or_none = lambda r: r is None or type(r) is dict  # noqa: E731
text_result = lambda r: type(r) is str  # noqa: E731
KW_SPECS = {
    "normalizar_texto": ([("texto", "str")], text_result),
    "validar_documento_contrato": ([("texto", "str")], lambda r: type(r) is tuple and len(r) == 3),
}
CNPJ_SPECS = {
    "limpar_cnpj": ([("cnpj", "str")], text_result),
    "validar_cnpj": ([("cnpj", "str")], lambda r: type(r) is bool),
    "formatar_cnpj": ([("cnpj", "str")], text_result),
    "_consultar_brasil_api": ([("cnpj", "str")], record_or_none),
    "_consultar_receita_ws": ([("cnpj", "str")], record_or_none),
    "consultar_cnpj": ([("cnpj", "str")], record_or_none),
    "buscar_cnpj_por_nome": ([("nome_empresa", "str"), ("uf", "str?")], record_or_none),
    "buscar_empresa": ([("cnpj", "str?"), ("nome", "str?"), ("uf", "str?")], record_or_none),
    "buscar_empresa_completo": ([("cnpj", "str?"), ("nome", "str?"), ("uf", "str?"), ("usar_ai_search", "any"),
                                 ("openai_api_key", "str?")], record_or_none),
    "_normalizar_endereco": ([("endereco", "str")], text_result),
    "comparar_enderecos": ([("endereco_contrato", "str"), ("dados_receita", "dict")],
                           lambda r: type(r) is tuple and len(r) == 3),
}
arg_value = st.one_of(short_texts, st.none(), values, st.sampled_from(["12345678000199", "Padaria Aurora", "SP"]))


@target(st.tuples(st.sampled_from(sorted(KW_SPECS)), st.lists(arg_value, min_size=1, max_size=2)))
def valores_keywords(case):
    name, args = case
    spec, ok = KW_SPECS[name]
    fn = getattr(keywords, name)
    if len(args) != len(spec):
        check_call(name, fn, [], args, ok, extra_errors=(TypeError,))
        return
    check_call(name, fn, spec, args, ok)


@target(st.tuples(st.sampled_from(sorted(CNPJ_SPECS)), st.lists(arg_value, min_size=0, max_size=6),
                  st.lists(response, max_size=4), st.one_of(st.none(), values, st.sampled_from(
                      ["12345678000199", "", ImportError("no ai"), Boom("ai")]))))
def valores_cnpj(case):
    name, args, answers, ai_result = case
    spec, ok = CNPJ_SPECS[name]
    fn = getattr(cnpj, name)
    saved_ai = sys.modules.get("lexaro_contract.ai_search", OPTIONAL)
    sys.modules["lexaro_contract.ai_search"] = fake_ai_module(ai_result)
    try:
        with apontando(FORA_DO_AR, cliente=FakeRequests(answers)):
            required = {"buscar_empresa": 0, "buscar_empresa_completo": 0, "buscar_cnpj_por_nome": 1}.get(
                name, len(spec))
            if len(args) > len(spec) or len(args) < required:
                check_call(name, fn, [], args, lambda r: True, extra_errors=(TypeError,))
                return
            extra = ()
            if name == "buscar_empresa_completo":
                # The AI component's own errors and a non-text CNPJ from it propagate.
                extra = (TypeError, Boom, ImportError)
            if name == "comparar_enderecos":
                extra = "any"  # a record's odd values raise what Python raises for them
            check_call(name, fn, spec[:len(args)], args, ok, extra_errors=extra)
    finally:
        if saved_ai is OPTIONAL:
            sys.modules.pop("lexaro_contract.ai_search", None)
        else:
            sys.modules["lexaro_contract.ai_search"] = saved_ai


# ---------------------------------------------------------------- argument binding

def all_functions():
    return ([(f"keywords.{n}", getattr(keywords, n), [p for p, _ in spec[0]]) for n, spec in KW_SPECS.items()]
                 + [(f"cnpj.{n}", getattr(cnpj, n), [p for p, _ in spec[0]]) for n, spec in CNPJ_SPECS.items()]
                 + [(f"ContractChecker.{n}", getattr(CC.__new__(CC), n), ["msg", "emoji"] if n == "_log" else
                     [p for p, _ in METHOD_SPECS[n]])
                    for n in ("_log", "_normalizar_texto", "_comparar_nomes", "_verificar_poder_assinatura")])


ALL_FUNCTIONS = []
kw_name = st.one_of(st.sampled_from(["cnpj", "nome", "uf", "texto", "endereco", "dados_receita", "self", "x",
                                     "nome_empresa", "usar_ai_search", "openai_api_key", "endereco_contrato"]),
                    st.text(max_size=6), surrogate, st.sampled_from(["", "\x00", "cnpj\x00", "\udcff", "é", "𝒞"]))


@target(st.tuples(st.integers(0, 16), st.lists(arg_value, max_size=3),
                  st.dictionaries(kw_name, arg_value, max_size=3), st.lists(response, max_size=3)))
def argumentos(case):
    """Keyword names of every kind (lone surrogates, NUL, repeated
    positionals): TypeError or a normal outcome, never a crash."""
    index, args, kwargs, answers = case
    if not ALL_FUNCTIONS:
        ALL_FUNCTIONS.extend(all_functions())
    label, fn, params = ALL_FUNCTIONS[index % len(ALL_FUNCTIONS)]
    known = set(params)
    with apontando(FORA_DO_AR, cliente=FakeRequests(answers)):
        try:
            fn(*args, **kwargs)
        except TypeError:
            return
        except Exception:  # noqa: BLE001 - odd values may raise what Python raises for them
            if not label.endswith(("comparar_enderecos", "_verificar_poder_assinatura", "_log")):
                raise
            return
    if len(args) > len(params) or any(k not in known for k in kwargs) or any(
            params.index(k) < len(args) for k in kwargs):
        raise Mismatch(f"{label}: accepted {args!r} {kwargs!r}")


# ---------------------------------------------------------------- the checker with fakes

METHOD_SPECS = {
    "_log": [("msg", "str"), ("emoji", "str")],
    "_normalizar_texto": [("texto", "str")],
    "_comparar_nomes": [("nome1", "str"), ("nome2", "str")],
    "_verificar_poder_assinatura": [("nome_signatario", "str"), ("dados_receita", "dict")],
    "_validar_empresas": [("empresas", "list")],
    "_validar_assinaturas": [("assinaturas", "list"), ("dados_receita_cache", "dict")],
    "_imprimir_relatorio": [("resultado_final", "str"), ("justificativa", "str"), ("campos_aprovados", "list"),
                            ("campos_reprovados", "list"), ("campos_pendentes", "list"), ("empresas", "list"),
                            ("assinaturas", "list"), ("dados_contrato", "dict"), ("metricas", "any")],
    "_init_lexaro": [],
    "_setup_questions": [],
    "verificar": [("documento", "any")],
    "auth": [], "token": [], "provider": [],
}


def fake_record(value):
    if isinstance(value, dict):
        return value
    return {"razao_social": "PADARIA AURORA LTDA", "situacao": value, "endereco": {"logradouro": value},
            "socios": [{"nome": "JOAO DA SILVA", "qualificacao": value}], "cnpj": "12.345.678/0001-99"}


def empresa_like(draw):
    kind = draw(st.sampled_from(["model", "ns", "value"]))
    fields = {k: draw(st.one_of(short_texts, leaf)) for k in ("cnpj", "razao_social", "nome_fantasia", "endereco", "papel_no_contrato")}
    if kind == "model":
        try:
            return checker.EmpresaExtraida(**{k: v for k, v in fields.items() if type(v) is str})
        except Exception:  # noqa: BLE001 - a record the model refuses
            return types.SimpleNamespace(**fields)
    if kind == "ns":
        return types.SimpleNamespace(**fields)
    return draw(values)


def assinatura_like(draw):
    kind = draw(st.sampled_from(["model", "ns", "value"]))
    fields = {k: draw(st.one_of(short_texts, leaf)) for k in ("nome_signatario", "cargo", "cpf", "empresa_representada", "cnpj_empresa", "tipo_assinatura")}
    if kind == "model":
        try:
            return checker.AssinaturaExtraida(**{k: v for k, v in fields.items() if type(v) is str})
        except Exception:  # noqa: BLE001
            return types.SimpleNamespace(**fields)
    if kind == "ns":
        return types.SimpleNamespace(**fields)
    return draw(values)


class FakeResult:
    def __init__(self, answers, metrics):
        self.answers, self.total_metrics = answers, metrics

    def get_result(self, key):
        value = self.answers.get(key)
        if isinstance(value, BaseException):
            raise value
        return value


class FakeClient:
    def __init__(self, result):
        self.result = result

    def process(self, path):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@st.composite
def checker_case(draw):
    method = draw(st.sampled_from(sorted(METHOD_SPECS)))
    spec = METHOD_SPECS[method]
    args = []
    for pname, kind in spec:
        if kind == "list" and draw(st.booleans()):
            maker = assinatura_like if "assinatura" in pname else empresa_like
            args.append([maker(draw) for _ in range(draw(st.integers(0, 3)))])
        elif kind == "dict" and draw(st.booleans()):
            args.append(draw(st.dictionaries(st.one_of(short_texts, st.sampled_from(["socios", "x"])),
                                             values, max_size=3)))
        else:
            args.append(draw(arg_value))
    if draw(st.integers(0, 9)) == 0:
        args.append(draw(arg_value))  # one too many
    attrs = {k: draw(st.one_of(st.booleans(), leaf)) for k in ("verbose", "usar_ai_search", "model",
                                                                 "_lexaro_available") if draw(st.booleans())}
    registry = draw(st.lists(st.one_of(st.none(), values, st.just("record"),
                                       st.sampled_from([Boom("registry"), ValueError("v")])), min_size=1,
                             max_size=4))
    answers = {"empresas": draw(st.one_of(st.none(), values, st.builds(
        types.SimpleNamespace, raw_result=values, empresas=st.lists(st.one_of(values, st.fixed_dictionaries(
            {"cnpj": st.one_of(short_texts, leaf), "razao_social": st.one_of(short_texts, leaf)})), max_size=3)))),
        "assinaturas": draw(st.one_of(st.none(), values, st.builds(
            types.SimpleNamespace, raw_result=values, assinaturas=st.lists(values, max_size=3)))),
        "dados_contrato": draw(st.one_of(st.none(), values, st.builds(types.SimpleNamespace, raw_result=values)))}
    metrics = draw(st.one_of(values, st.builds(types.SimpleNamespace, tokens=values, cost_usd=values,
                                               time_seconds=values)))
    overrides = draw(st.sampled_from([None, "_validar_empresas", "_validar_assinaturas", "_log"]))
    override_value = draw(values)
    return method, args, attrs, registry, answers, metrics, overrides, override_value


@target(checker_case())
def valores_checker(case):
    method, args, attrs, registry, answers, metrics, override, override_value = case
    inst = CC.__new__(CC)
    inst.__dict__.update(attrs)
    calls = iter(registry * 8)

    def fake_registry(*a, **k):
        value = next(calls, None)
        if isinstance(value, BaseException):
            raise value
        return fake_record(value) if value == "record" else value

    def fake_compare(*a, **k):
        value = next(calls, None)
        if isinstance(value, BaseException):
            raise value
        return value

    doc = None
    if method == "verificar" and args and args[0] == "12345678000199":
        doc = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"fuzz-contrato-{os.getpid()}.pdf")
        with open(doc, "wb") as f:
            f.write(b"%PDF-1.4\n")
        args[0] = doc
        inst._init_lexaro = lambda: True
        inst._client = FakeClient(FakeResult(answers, metrics))
    if override is not None:
        setattr(inst, override, lambda *a, **k: override_value)
    spec = METHOD_SPECS[method]
    descriptor = CC.__dict__[method]
    if isinstance(descriptor, property):
        fn, call_args = descriptor.fget, [inst] + args
        spec_for_call = [("self", "any")]
    else:
        fn, call_args = descriptor, [inst] + args
        spec_for_call = [("self", "any")] + spec
    with rebound(checker, consultar_cnpj=fake_registry, buscar_cnpj_por_nome=fake_registry,
                 comparar_enderecos=fake_compare, LexaroAuth=lambda **k: types.SimpleNamespace(
                     has_api_key=False, is_azure=False)):
        if len(call_args) != len(spec_for_call):
            check_call(method, fn, [], call_args, lambda r: True, extra_errors="any")
        else:
            check_call(method, fn, spec_for_call, call_args, lambda r: True, extra_errors="any")
    if doc:
        os.unlink(doc)


init_specs = [("self", "any"), ("api_token", "str?"), ("openai_api_key", "str?"), ("provider", "str?"),
              ("azure_api_key", "str?"), ("azure_endpoint", "str?"), ("azure_deployment", "str?"),
              ("azure_api_version", "str"), ("model", "str"), ("verbose", "any"), ("usar_ai_search", "any")]


@target(st.tuples(st.lists(st.one_of(st.none(), st.none(), short_texts, values), min_size=0, max_size=11),
                  st.one_of(st.booleans(), values)))
def valores_construtor(case):
    args, has_key = case
    full = args + [None] * (6 - len(args)) if len(args) < 6 else list(args)
    if len(full) < 8:
        full += ["2024-02-15-preview", "gpt-4o"][len(full) - 6:]
    inst = CC.__new__(CC)

    def auth(**kwargs):
        if isinstance(has_key, Hostile):
            return has_key
        return types.SimpleNamespace(has_api_key=has_key, is_azure=not has_key, **kwargs)

    with rebound(checker, LexaroAuth=auth):
        if len(full) > 10:
            check_call("__init__", CC.__init__, [], [inst] + full, lambda r: True, extra_errors="any")
        else:
            check_call("__init__", CC.__init__, init_specs[:len(full) + 1], [inst] + full,
                       lambda r: r is None, extra_errors="any")
        check_call("verificar_contrato", checker.verificar_contrato,
                   [("documento", "any"), ("openai_api_key", "str?"), ("verbose", "any")],
                   ["/nonexistent/contrato.pdf", full[1], full[-1]], lambda r: True, extra_errors="any")


# ================================================================ driver


def run(name, seconds, chunk, found_dir, last_dir):
    strategy, body = TARGETS[name]
    count = [0]
    failures = []
    last_path = os.path.join(last_dir, f"{name}.last")
    fd = os.open(last_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)

    def remember(case):
        data = repr(case).encode("utf-8", "backslashreplace")
        os.ftruncate(fd, 0)
        os.pwrite(fd, data, 0)

    @settings(max_examples=chunk, deadline=None, database=None, derandomize=False, report_multiple_bugs=False,
              suppress_health_check=list(HealthCheck), phases=[Phase.generate])
    @given(strategy)
    def prop(case):
        count[0] += 1
        remember(case)
        body(case)

    end = time.monotonic() + seconds
    while time.monotonic() < end and len(failures) < 3:
        try:
            prop()
        except Exception as exc:  # noqa: BLE001 - reported and kept
            text = "".join(traceback.format_exception(exc))
            failures.append(text)
            path = os.path.join(found_dir, f"{name}-{int(time.time())}-{len(failures)}.txt")
            with open(path, "w", encoding="utf-8", errors="backslashreplace") as f:
                f.write(text)
            print(f"[{name}] FAILURE kept in {path}:\n{text[-3000:]}", flush=True)
    os.close(fd)
    return count[0], failures


def main(argv=None):
    sys.setrecursionlimit(20000)
    warnings.simplefilter("ignore")
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--minutes", type=float, default=1.0, help="total time budget, shared by the targets")
    ap.add_argument("--target", action="append", choices=sorted(TARGETS), help="target to run (repeatable)")
    ap.add_argument("--list", action="store_true", help="list the targets and exit")
    ap.add_argument("--chunk", type=int, default=300, help="examples per hypothesis run")
    ap.add_argument("--found-dir", default="/tmp/lexaro-fuzz/found")
    ap.add_argument("--last-input-dir", default="/tmp/lexaro-fuzz/last")
    ns = ap.parse_args(argv)
    if ns.list:
        print("\n".join(TARGETS))
        return 0
    names = ns.target or list(TARGETS)
    os.makedirs(ns.found_dir, exist_ok=True)
    os.makedirs(ns.last_input_dir, exist_ok=True)
    per = ns.minutes * 60 / len(names)
    print(f"modules: {keywords.__file__}, {cnpj.__file__}, {checker.__file__}", flush=True)
    print(f"{len(names)} target(s), {per:.0f} s each", flush=True)
    total_failures = 0
    rows = []
    for name in names:
        start = time.monotonic()
        tried, failures = run(name, per, ns.chunk, ns.found_dir, ns.last_input_dir)
        took = time.monotonic() - start
        total_failures += len(failures)
        rows.append((name, tried, took, len(failures)))
        print(f"{name:30s} {tried:9d} inputs {took:8.1f} s {len(failures)} failure(s)", flush=True)
    print("\ntarget                           inputs  seconds  failures")
    for name, tried, took, nf in rows:
        print(f"{name:30s} {tried:9d} {took:8.1f} {nf:9d}")
    return 1 if total_failures else 0


if __name__ == "__main__":
    sys.exit(main())
