"""The frame of lexaro_contract.checker: load-time bindings, the class, the
constructor, the properties, logging and the start of the extraction engine.

The engine and the credentials manager are replaced the way a caller would:
a fake `lexaro` in sys.modules and a fake class bound as checker.LexaroAuth.
"""
import builtins
import inspect
import pathlib
import subprocess
import sys
import textwrap
import types
import typing

import pytest

from lexaro_contract import auth as auth_mod
from lexaro_contract import checker
from lexaro_contract import cnpj, models

ContractChecker = checker.ContractChecker

MSG_AZURE = "Credenciais Azure não configuradas. Defina AZURE_API_KEY, AZURE_API_ENDPOINT e AZURE_DEPLOYMENT_NAME."
MSG_OPENAI = "OpenAI API key não configurada. Defina OPENAI_API_KEY ou passe openai_api_key."

AUTH_KEYWORDS = [
    "api_token", "openai_api_key", "provider", "azure_api_key", "azure_endpoint", "azure_deployment",
    "azure_api_version",
]


# ---------------------------------------------------------------- fakes

class FakeAuth:
    """Credentials manager double; class attributes configure it per test."""

    has_api_key = True
    is_azure = False
    is_lexaro_available = True
    provider = "openai"
    token = "tok-123"
    kwargs = {"provider": "openai", "api_key": "sk-x", "base_url": None, "api_token": None}
    calls = None

    def __init__(self, **kwargs):
        type(self).calls.append(("init", kwargs))
        self.received = kwargs

    def get_token(self):
        type(self).calls.append(("get_token",))
        return self.token

    def get_lexaro_kwargs(self):
        type(self).calls.append(("get_lexaro_kwargs",))
        kw = type(self).kwargs
        return dict(kw) if isinstance(kw, dict) else kw


@pytest.fixture
def fake_auth(monkeypatch):
    cls = type("FakeAuth", (FakeAuth,), {"calls": []})
    monkeypatch.setattr(checker, "LexaroAuth", cls)
    return cls


def make_engine(fail_on=None, fail_with=None):
    """A fake `lexaro` module that records what the checker builds."""
    mod = types.ModuleType("lexaro")
    mod.clients = []

    class QuestionConfig:
        def __init__(self, *, id, name, tag):
            self.id, self.name, self.tag = id, name, tag

    class Question:
        def __init__(self, *, config, system_prompt, user_prompt, keywords, response_model):
            self.config = config
            self.system_prompt = system_prompt
            self.user_prompt = user_prompt
            self.keywords = keywords
            self.response_model = response_model

    class Lexaro:
        def __init__(self, *, provider, api_token=None, api_key=None, base_url=None, azure_endpoint=None,
                     azure_deployment=None, api_version=None, model="gpt-4o", verbose=False):
            if fail_on == "init":
                raise fail_with
            self.kwargs = dict(provider=provider, api_token=api_token, api_key=api_key, base_url=base_url,
                               azure_endpoint=azure_endpoint, azure_deployment=azure_deployment,
                               api_version=api_version, model=model, verbose=verbose)
            self.questions = []
            mod.clients.append(self)

        def add_question(self, question):
            if fail_on == len(self.questions):
                raise fail_with
            self.questions.append(question)
            return "ignored"

    mod.Lexaro, mod.Question, mod.QuestionConfig = Lexaro, Question, QuestionConfig
    return mod


@pytest.fixture
def engine(monkeypatch):
    mod = make_engine()
    monkeypatch.setitem(sys.modules, "lexaro", mod)
    return mod


def bare(**attrs):
    """An instance made without the constructor, with attributes set by hand."""
    obj = ContractChecker.__new__(ContractChecker)
    for k, v in attrs.items():
        setattr(obj, k, v)
    return obj


# ---------------------------------------------------------------- module

def test_module_docstring():
    assert checker.__doc__ == (
        "\nContractChecker - Verificador de Legitimidade de Contratos.\n\n"
        "Usa Lexaro para extrair dados e valida contra Receita Federal.\n"
    )


def test_load_time_bindings_in_order():
    names = [n for n in vars(checker) if not n.startswith("__")]
    assert names == [
        "unicodedata", "Path", "List", "Optional", "Dict", "Any", "LexaroAuth", "AuthenticatedClient",
        "EmpresaExtraida", "ExtracaoEmpresas", "AssinaturaExtraida", "ExtracaoAssinaturas",
        "ExtracaoDadosContrato", "CampoVerificado", "EmpresaVerificada", "AssinaturaVerificada",
        "ClassificacaoLegitimidade", "consultar_cnpj", "validar_cnpj", "formatar_cnpj", "limpar_cnpj",
        "buscar_cnpj_por_nome", "comparar_enderecos", "ContractChecker", "verificar_contrato",
    ]


@pytest.mark.parametrize("name, source", [
    ("Path", pathlib), ("List", typing), ("Optional", typing), ("Dict", typing), ("Any", typing),
    ("LexaroAuth", auth_mod), ("AuthenticatedClient", auth_mod),
    *[(n, models) for n in ["EmpresaExtraida", "ExtracaoEmpresas", "AssinaturaExtraida", "ExtracaoAssinaturas",
                            "ExtracaoDadosContrato", "CampoVerificado", "EmpresaVerificada",
                            "AssinaturaVerificada", "ClassificacaoLegitimidade"]],
    *[(n, cnpj) for n in ["consultar_cnpj", "validar_cnpj", "formatar_cnpj", "limpar_cnpj",
                          "buscar_cnpj_por_nome", "comparar_enderecos"]],
])
def test_bound_names_are_the_source_objects(name, source):
    assert getattr(checker, name) is getattr(source, name)
    assert checker.unicodedata is sys.modules["unicodedata"]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env={"PYTHONPATH": str(pathlib.Path(checker.__file__).parents[1])}, timeout=60)


def test_loads_without_the_engine_and_does_not_import_it():
    r = run_python("""
        import sys
        sys.modules["lexaro"] = None
        import lexaro_contract.checker as c
        assert sys.modules["lexaro"] is None
        print(c.ContractChecker.__name__)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "ContractChecker\n"


@pytest.mark.parametrize("module, keep, missing", [
    ("lexaro_contract.auth", ["LexaroAuth"], "AuthenticatedClient"),
    ("lexaro_contract.models", ["EmpresaExtraida"], "ExtracaoEmpresas"),
    ("lexaro_contract.cnpj", ["consultar_cnpj", "validar_cnpj", "formatar_cnpj", "limpar_cnpj",
                              "buscar_cnpj_por_nome"], "comparar_enderecos"),
])
def test_a_missing_name_fails_the_load_with_the_import_error(module, keep, missing):
    r = run_python(f"""
        import sys, types, importlib
        real = importlib.import_module({module!r})
        stub = types.ModuleType({module!r})
        for n in {keep!r}:
            setattr(stub, n, getattr(real, n))
        sys.modules[{module!r}] = stub
        try:
            import lexaro_contract.checker
        except ImportError as e:
            print(type(e).__name__, e, e.name, sep="|")
        else:
            print("loaded")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"ImportError|cannot import name {missing!r} from {module!r} (unknown location)|{module}\n"


# ---------------------------------------------------------------- class

def test_class_shape_and_member_order():
    assert ContractChecker.__bases__ == (object,)
    assert ContractChecker.__module__ == "lexaro_contract.checker"
    members = [n for n in vars(ContractChecker) if n == "__init__" or not n.startswith("__")]
    assert members == [
        "__init__", "auth", "token", "provider", "_log", "_init_lexaro", "_setup_questions",
        "_normalizar_texto", "_comparar_nomes", "_verificar_poder_assinatura", "_validar_empresas",
        "_validar_assinaturas", "verificar", "_imprimir_relatorio",
    ]


def test_class_docstring():
    doc = ContractChecker.__doc__
    assert doc.startswith("Verificador de Legitimidade de Contratos.")
    descriptions = ["Token de autenticação Lexaro", "Chave da API OpenAI", "(openai ou azure)",
                    "Chave da API Azure", "Endpoint Azure OpenAI", "Nome do deployment Azure",
                    "Versão da API Azure", "Modelo a usar", "Se deve exibir logs",
                    "Se deve usar AI para buscar CNPJs"]
    positions = [doc.index(d) for d in descriptions]
    assert positions == sorted(positions)
    assert 'ContractChecker(openai_api_key="sk-...")' in doc
    azure = doc[doc.index("provider=\"azure\""):]
    assert all(k in azure for k in ("azure_api_key=", "azure_endpoint=", "azure_deployment="))


@pytest.mark.parametrize("name, doc", [
    ("auth", "Retorna o gerenciador de autenticação."),
    ("token", "Retorna o token de autenticação atual."),
    ("provider", "Retorna o provider configurado (openai ou azure)."),
])
def test_properties_are_plain_read_only_properties(name, doc):
    prop = vars(ContractChecker)[name]
    assert type(prop) is property
    assert prop.fset is None and prop.fdel is None
    assert prop.__doc__ == doc
    with pytest.raises(AttributeError):
        setattr(bare(), name, 1)


@pytest.mark.parametrize("name, doc", [
    ("_log", "Log condicional."),
    ("_init_lexaro", "Inicializa Lexaro se disponível."),
    ("_setup_questions", "Configura as perguntas de extração."),
])
def test_method_docstrings(name, doc):
    assert getattr(ContractChecker, name).__doc__ == doc


@pytest.mark.parametrize("name, sig", [
    ("__init__", "(self, /, api_token=None, openai_api_key=None, provider=None, azure_api_key=None, "
                 "azure_endpoint=None, azure_deployment=None, azure_api_version='2024-02-15-preview', "
                 "model='gpt-4o', verbose=True, usar_ai_search=True)"),
    ("_log", "(self, /, msg, emoji='📋')"),
    ("_init_lexaro", "(self, /)"),
    ("_setup_questions", "(self, /)"),
    ("_normalizar_texto", "(self, /, texto)"),
    ("_comparar_nomes", "(self, /, nome1, nome2)"),
    ("_verificar_poder_assinatura", "(self, /, nome_signatario, dados_receita)"),
])
def test_method_signatures(name, sig):
    assert str(inspect.signature(getattr(ContractChecker, name))) == sig


def test_class_signature_and_bound_signature(fake_auth):
    assert str(inspect.signature(ContractChecker)).startswith("(api_token=None, openai_api_key=None,")
    assert str(inspect.signature(ContractChecker()._log)) == "(msg, emoji='📋')"


# ---------------------------------------------------------------- constructor

def test_constructor_defaults_and_attribute_order(fake_auth):
    c = ContractChecker()
    assert list(vars(c)) == ["verbose", "model", "usar_ai_search", "_auth", "_client", "_lexaro_available"]
    assert (c.verbose, c.model, c.usar_ai_search) == (True, "gpt-4o", True)
    assert type(c._auth) is fake_auth
    assert c._client is None and c._lexaro_available is None
    assert fake_auth.calls == [("init", {
        "api_token": None, "openai_api_key": None, "provider": None, "azure_api_key": None,
        "azure_endpoint": None, "azure_deployment": None, "azure_api_version": "2024-02-15-preview"})]


def test_constructor_positional_order_and_exactly_seven_keywords(fake_auth):
    c = ContractChecker("t", "k", "azure", "ak", "ep", "dep", "v1", "m", 0, "")
    (kind, kwargs), = fake_auth.calls
    assert list(kwargs) == AUTH_KEYWORDS
    assert list(kwargs.values()) == ["t", "k", "azure", "ak", "ep", "dep", "v1"]
    assert (c.verbose, c.model, c.usar_ai_search) == (False, "m", False)


@pytest.mark.parametrize("value, stored", [(0, False), ("x", True), ([], False), ([0], True), (None, False),
                                           (2.5, True)])
def test_flags_store_truth_values(fake_auth, value, stored):
    c = ContractChecker(verbose=value, usar_ai_search=value)
    assert c.verbose is stored and c.usar_ai_search is stored


def test_failing_truth_value_propagates(fake_auth):
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("nope")

    with pytest.raises(ZeroDivisionError, match="nope"):
        ContractChecker(verbose=Bad())
    assert fake_auth.calls == []


class StrSub(str):
    pass


@pytest.mark.parametrize("param", AUTH_KEYWORDS[:6] + ["azure_api_version", "model"])
@pytest.mark.parametrize("value", [1, b"x", StrSub("x"), ["x"]])
def test_wrong_types_rejected_before_anything_is_stored(fake_auth, param, value):
    obj = ContractChecker.__new__(ContractChecker)
    with pytest.raises(TypeError, match=f"'{param}'"):
        obj.__init__(**{param: value})
    assert vars(obj) == {}
    assert fake_auth.calls == []


@pytest.mark.parametrize("param", ["azure_api_version", "model"])
def test_none_rejected_where_default_is_text(fake_auth, param):
    with pytest.raises(TypeError, match=f"'{param}' must be str, not NoneType"):
        ContractChecker(**{param: None})


@pytest.mark.parametrize("args, kwargs, message", [
    (tuple("abcdefghij") + (1,), {}, r"takes from 1 to 11 positional arguments but 12 were given"),
    ((), {"modelo": "x"}, r"got an unexpected keyword argument 'modelo'"),
    (("t",), {"api_token": "u"}, r"got multiple values for argument 'api_token'"),
])
def test_argument_binding_errors(fake_auth, args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        ContractChecker(*args, **kwargs)


def test_credentials_manager_looked_up_at_each_call(monkeypatch, fake_auth):
    assert type(ContractChecker()._auth) is fake_auth
    other = type("Other", (FakeAuth,), {"calls": []})
    monkeypatch.setattr(checker, "LexaroAuth", other)
    assert type(ContractChecker()._auth) is other
    monkeypatch.delattr(checker, "LexaroAuth")
    with pytest.raises(NameError, match="name 'LexaroAuth' is not defined"):
        ContractChecker()


def test_credentials_manager_error_propagates_unchanged(monkeypatch):
    err = RuntimeError("credenciais quebradas")

    def broken(**kwargs):
        raise err

    monkeypatch.setattr(checker, "LexaroAuth", broken)
    with pytest.raises(RuntimeError) as info:
        ContractChecker()
    assert info.value is err


@pytest.mark.parametrize("is_azure, message", [(True, MSG_AZURE), (False, MSG_OPENAI), (0, MSG_OPENAI)])
def test_missing_credentials(fake_auth, is_azure, message):
    fake_auth.has_api_key = 0
    fake_auth.is_azure = is_azure
    with pytest.raises(ValueError) as info:
        ContractChecker()
    assert str(info.value) == message
    assert type(info.value) is ValueError


def test_has_api_key_is_read_not_called(fake_auth):
    fake_auth.has_api_key = staticmethod(lambda: False)  # a function is true
    ContractChecker()


def test_with_the_real_credentials_manager(monkeypatch):
    for var in ("OPENAI_API_KEY", "AZURE_API_KEY", "AZURE_API_ENDPOINT", "AZURE_DEPLOYMENT_NAME",
                "LEXARO_PROVIDER", "LEXARO_API_TOKEN"):
        monkeypatch.delenv(var, raising=False)
    with pytest.raises(ValueError, match="^OpenAI API key não configurada"):
        ContractChecker()
    with pytest.raises(ValueError, match="^Credenciais Azure não configuradas"):
        ContractChecker(provider="azure", azure_api_key="k")
    c = ContractChecker(openai_api_key="sk-1", verbose=False)
    assert (c.provider, c.token) == ("openai", "sk-1")
    assert isinstance(c.auth, auth_mod.LexaroAuth)
    assert ContractChecker(provider="local").provider == "local"


# ---------------------------------------------------------------- properties

def test_properties_read_the_credentials_manager(fake_auth):
    c = ContractChecker()
    assert c.auth is c._auth
    assert c.token == "tok-123"
    assert c.provider == "openai"
    c._auth.token = None
    c._auth.provider = None
    assert c.token is None and c.provider is None
    c._auth = "replaced"
    assert c.auth == "replaced"


class Texto(str):
    pass


@pytest.mark.parametrize("prop, attr", [("token", "token"), ("provider", "provider")])
@pytest.mark.parametrize("value, type_name", [(1, "int"), (b"x", "bytes"), (["a"], "list"),
                                              (Texto("a"), "Texto"), (__import__("decimal").Decimal(1), "Decimal")])
def test_property_type_errors(fake_auth, prop, attr, value, type_name):
    c = ContractChecker()
    setattr(c._auth, attr, value)
    with pytest.raises(TypeError) as info:
        getattr(c, prop)
    assert str(info.value) == f"Expected str, got {type_name}"


# ---------------------------------------------------------------- _log

@pytest.mark.parametrize("args, out", [
    (("Olá",), "📋 Olá\n"),
    (("Olá", ""), " Olá\n"),
    (("linha 1\nlinha 2", "✅"), "✅ linha 1\nlinha 2\n"),
    (("", "x"), "x \n"),
])
def test_log_prints_emoji_space_message(capsys, args, out):
    assert bare(verbose=True)._log(*args) is None
    assert capsys.readouterr() == (out, "")


def test_log_reads_verbose_at_each_call(capsys):
    c = bare(verbose=False)
    c._log("silêncio")
    c.verbose = [1]
    c._log("agora", emoji="⚙️")
    c.verbose = ""
    c._log("de novo")
    assert capsys.readouterr().out == "⚙️ agora\n"


def test_log_goes_through_the_module_print(monkeypatch):
    seen = []
    monkeypatch.setattr(checker, "print", lambda *a, **k: seen.append((a, k)), raising=False)
    bare(verbose=True)._log("m", "e")
    assert seen == [(("e m",), {})]


@pytest.mark.parametrize("kwargs, param", [
    ({"msg": None}, "msg"), ({"msg": 1}, "msg"), ({"msg": "x", "emoji": None}, "emoji"),
    ({"msg": "x", "emoji": StrSub("!")}, "emoji"),
])
def test_log_type_errors(capsys, kwargs, param):
    with pytest.raises(TypeError, match=f"argument '{param}' must be str"):
        bare(verbose=True)._log(**kwargs)
    assert capsys.readouterr().out == ""


def test_log_argument_binding():
    c = bare(verbose=False)
    with pytest.raises(TypeError, match=r"_log\(\) missing 1 required positional argument: 'msg'"):
        c._log()
    with pytest.raises(TypeError, match=r"takes from 2 to 3 positional arguments but 4 were given"):
        c._log("a", "b", "c")


# ---------------------------------------------------------------- _init_lexaro

SYSTEM_1 = (
    "Você é um especialista em análise de contratos brasileiros.\n"
    "Extraia TODAS as empresas mencionadas com CNPJ, razão social e papel no contrato.\n\n"
    "REGRAS:\n1. CNPJ deve ter 14 dígitos (com ou sem formatação)\n"
    "2. Identifique claramente: contratante (quem paga) vs contratada (quem presta serviço)\n"
    "3. Extraia TODAS as empresas, incluindo intervenientes e fiadoras"
)
USER_1 = (
    "Analise o contrato e extraia todas as empresas:\n\n{texto}\n\n"
    "Para cada empresa extraia: CNPJ, razão social, nome fantasia, endereço e papel no contrato."
)
SYSTEM_2 = (
    "Você é um especialista em análise de contratos.\n"
    "Extraia TODAS as pessoas físicas que assinaram ou são representantes.\n\n"
    "ONDE PROCURAR:\n1. Bloco de assinaturas no final\n2. Cláusula de representação legal\n"
    "3. Qualificação das partes\n4. Cláusula de NOTIFICAÇÕES\n5. Assinaturas digitais\n6. Testemunhas"
)
USER_2 = (
    "Extraia todas as pessoas físicas mencionadas como representantes:\n\n{texto}\n\n"
    "Para cada pessoa extraia: nome completo, cargo, CPF (se houver), empresa que representa."
)
SYSTEM_3 = "Você é um especialista em análise de contratos.\nExtraia os dados gerais do contrato."
USER_3 = (
    "Extraia os dados gerais do contrato:\n\n{texto}\n\n"
    "Extraia: tipo de contrato, objeto, data, vigência, valor, foro."
)
QUESTIONS = [
    ("empresas", "Empresas do Contrato", "empresas", "ExtracaoEmpresas", SYSTEM_1, USER_1,
     ["cnpj", "contratante", "contratada", "inscrita", "razão social", "ltda", "s/a"]),
    ("assinaturas", "Assinaturas do Contrato", "assinaturas", "ExtracaoAssinaturas", SYSTEM_2, USER_2,
     ["assinatura", "assinado", "certificado", "representante", "testemunha", "cpf"]),
    ("dados_contrato", "Dados do Contrato", "dados_contrato", "ExtracaoDadosContrato", SYSTEM_3, USER_3,
     ["contrato", "objeto", "vigência", "valor", "cláusula", "foro"]),
]


def test_engine_start_registers_the_three_questions(fake_auth, engine, capsys):
    c = ContractChecker(model="gpt-x", verbose=False)
    assert c._init_lexaro() is True
    client, = engine.clients
    assert c._client is client and c._lexaro_available is True
    got = [(q.config.id, q.config.name, q.config.tag, q.response_model, q.system_prompt, q.user_prompt,
            q.keywords) for q in client.questions]
    assert got == [(i, n, t, getattr(models, m), s, u, k) for i, n, t, m, s, u, k in QUESTIONS]
    assert all(type(q.keywords) is list for q in client.questions)
    assert capsys.readouterr() == ("", "")


def test_prompts_reach_the_engine_byte_for_byte(fake_auth, engine):
    c = ContractChecker(verbose=False)
    c._init_lexaro()
    encoded = [(q.system_prompt.encode(), q.user_prompt.encode()) for q in engine.clients[0].questions]
    assert encoded == [(s.encode(), u.encode()) for _, _, _, _, s, u, _ in QUESTIONS]
    assert all(not s.endswith("\n") and not u.endswith("\n") and u.count("{texto}") == 1
               for s, u in (map(bytes.decode, pair) for pair in encoded))


def test_model_and_verbose_override_the_credentials_kwargs(fake_auth, engine):
    fake_auth.kwargs = {"provider": "local", "model": "do-gerenciador", "verbose": "sim", "api_token": "t"}
    c = ContractChecker(model="meu-modelo", verbose=False)
    assert c._init_lexaro() is True
    kw = engine.clients[0].kwargs
    assert (kw["provider"], kw["model"], kw["verbose"], kw["api_token"]) == ("local", "meu-modelo", False, "t")


def test_kwargs_read_at_start_time(fake_auth, engine):
    c = ContractChecker(verbose=False)
    c.model, c.verbose = "depois", 0
    c._init_lexaro()
    assert (engine.clients[0].kwargs["model"], engine.clients[0].kwargs["verbose"]) == ("depois", 0)


def test_response_models_looked_up_at_call_time(monkeypatch, fake_auth, engine):
    sentinel = type("Outro", (), {})
    monkeypatch.setattr(checker, "ExtracaoAssinaturas", sentinel)
    c = ContractChecker(verbose=False)
    c._init_lexaro()
    assert [q.response_model for q in engine.clients[0].questions] == [
        models.ExtracaoEmpresas, sentinel, models.ExtracaoDadosContrato]


def test_success_is_remembered(fake_auth, engine):
    c = ContractChecker(verbose=False)
    assert c._init_lexaro() is True
    calls = len(fake_auth.calls)
    assert c._init_lexaro() is True
    assert len(engine.clients) == 1 and len(engine.clients[0].questions) == 3
    assert len(fake_auth.calls) == calls


def test_engine_reported_unavailable(fake_auth, engine, capsys):
    fake_auth.is_lexaro_available = False
    c = ContractChecker()
    assert c._init_lexaro() is False
    assert capsys.readouterr().out == "⚠️ Lexaro não disponível. Instale com: pip install lexaro\n"
    fake_auth.is_lexaro_available = True
    assert c._init_lexaro() is False
    assert capsys.readouterr().out == ""
    assert engine.clients == [] and c._client is None and c._lexaro_available is False


def fail_engine(monkeypatch, **kw):
    mod = make_engine(**kw)
    monkeypatch.setitem(sys.modules, "lexaro", mod)
    return mod


@pytest.mark.parametrize("setup, text", [
    (lambda mp, fa: mp.setitem(sys.modules, "lexaro", None), "import of lexaro halted; None in sys.modules"),
    (lambda mp, fa: mp.setitem(sys.modules, "lexaro", types.ModuleType("lexaro")),
     "cannot import name 'Lexaro' from 'lexaro' (unknown location)"),
    (lambda mp, fa: fail_engine(mp, fail_on="init", fail_with=ValueError("chave recusada")), "chave recusada"),
    (lambda mp, fa: setattr(fa, "kwargs", None), "'NoneType' object does not support item assignment"),
    (lambda mp, fa: setattr(fa, "kwargs", {"provider": "openai", "desconhecida": 1}),
     # The interpreter words this one itself (with the qualified name from 3.10 on).
     ("make_engine.<locals>.Lexaro." if sys.version_info >= (3, 10) else "")
     + "__init__() got an unexpected keyword argument 'desconhecida'"),
    (lambda mp, fa: fail_engine(mp, fail_on=1, fail_with=KeyError("q2")), "'q2'"),
])
def test_start_failures_logged_and_remembered(monkeypatch, fake_auth, engine, capsys, setup, text):
    setup(monkeypatch, fake_auth)
    c = ContractChecker()
    assert c._init_lexaro() is False
    assert capsys.readouterr().out == f"❌ Erro ao inicializar Lexaro: {text}\n"
    calls = len(fake_auth.calls)
    assert c._init_lexaro() is False
    assert capsys.readouterr().out == "" and len(fake_auth.calls) == calls
    assert c._lexaro_available is False


def test_failure_on_second_question_keeps_the_first(monkeypatch, fake_auth):
    mod = fail_engine(monkeypatch, fail_on=1, fail_with=RuntimeError("x"))
    c = ContractChecker(verbose=False)
    assert c._init_lexaro() is False
    client, = mod.clients
    assert c._client is client
    assert [q.config.id for q in client.questions] == ["empresas"]


def test_failures_are_silent_when_not_verbose(monkeypatch, fake_auth, capsys):
    monkeypatch.setitem(sys.modules, "lexaro", None)
    c = ContractChecker(verbose=False)
    assert c._init_lexaro() is False
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("where", ["init", 0])
def test_interrupts_pass_through(monkeypatch, fake_auth, capsys, where):
    interrupt = KeyboardInterrupt()
    fail_engine(monkeypatch, fail_on=where, fail_with=interrupt)
    c = ContractChecker()
    with pytest.raises(KeyboardInterrupt) as info:
        c._init_lexaro()
    assert info.value is interrupt
    assert c._lexaro_available is None
    assert capsys.readouterr().out == ""


def test_non_mapping_kwargs_with_item_assignment(fake_auth, engine):
    class Slots:
        def __setitem__(self, k, v):
            pass

    fake_auth.kwargs = Slots()
    c = ContractChecker(verbose=False)
    seen = []
    c._log = lambda msg, emoji="📋": seen.append((msg, emoji))
    assert c._init_lexaro() is False
    (msg, emoji), = seen
    assert emoji == "❌"
    assert msg.endswith("Lexaro() argument after ** must be a mapping, not Slots")


def test_mapping_kwargs_are_expanded(fake_auth, engine):
    import collections

    fake_auth.kwargs = collections.UserDict({"provider": "local"})
    c = ContractChecker(verbose=False)
    assert c._init_lexaro() is True
    assert engine.clients[0].kwargs["provider"] == "local"


def test_steps_dispatch_through_self(fake_auth, engine):
    calls = []

    class Sub(ContractChecker):
        def _setup_questions(self):
            calls.append(self._client)
            raise LookupError("sem perguntas")

        def _log(self, msg, emoji="📋"):
            calls.append((msg, emoji))

    c = Sub()
    assert c._init_lexaro() is False
    assert calls == [engine.clients[0], ("Erro ao inicializar Lexaro: sem perguntas", "❌")]


def test_error_in_the_log_keeps_the_absorbed_error_as_context(monkeypatch, fake_auth):
    monkeypatch.setitem(sys.modules, "lexaro", None)
    c = ContractChecker()

    def bad_log(msg, emoji="📋"):
        raise OSError("stdout fechado")

    c._log = bad_log
    with pytest.raises(OSError) as info:
        c._init_lexaro()
    assert isinstance(info.value.__context__, ImportError)


def test_hand_made_instance(engine):
    auth = FakeAuth.__new__(FakeAuth)
    type(auth).calls = []
    c = bare(verbose=False, model="m", _auth=auth, _client=None, _lexaro_available=None)
    assert c._init_lexaro() is True
    assert engine.clients[0].kwargs["model"] == "m"
    del c._lexaro_available
    with pytest.raises(AttributeError):
        c._init_lexaro()


def test_setup_questions_imports_the_engine_each_time(monkeypatch, engine):
    client = engine.Lexaro(provider="local")
    c = bare(_client=client)
    assert c._setup_questions() is None
    other = make_engine()
    monkeypatch.setitem(sys.modules, "lexaro", other)
    c._setup_questions()
    assert [type(q).__module__ for q in client.questions] == [__name__] * 6
    assert [type(q) for q in client.questions] == [engine.Question] * 3 + [other.Question] * 3
    c._client = None
    with pytest.raises(AttributeError, match="add_question"):
        c._setup_questions()


def test_import_honours_a_replaced_import_hook(monkeypatch, fake_auth, engine):
    seen = []
    real = builtins.__import__

    def hook(name, *args):
        seen.append((name, args[2]))
        return real(name, *args)

    monkeypatch.setattr(builtins, "__import__", hook)
    ContractChecker(verbose=False)._init_lexaro()
    assert [s for s in seen if s[0] == "lexaro"] == [
        ("lexaro", ("Lexaro",)), ("lexaro", ("Question", "QuestionConfig"))]
