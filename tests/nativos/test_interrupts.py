"""KeyboardInterrupt raised by anything the native modules call (the HTTP
client, the extraction engine, the credentials manager, a rebound module
global, `print`) comes out of the native function unchanged: the very same
exception object, never absorbed like an ordinary error."""

import sys
from types import SimpleNamespace

import pytest

from checker_support import make_checker, make_pdf
from fakes import AURORA_BRASILAPI as BRASILAPI
from fakes import BUSCA_AURORA as BUSCA
from fakes import Credenciais, Pergunta, Resposta, engine_for, metricas, sdk_module
from lexaro_contract import checker, cnpj, keywords
from lexaro_contract.checker import ContractChecker

CNPJ = "11222333000181"
ENDERECO = "Rua das Acácias, 120 - Jardim Primavera, Campinas/SP, CEP 13000-100"
DADOS = {"razao_social": "AURORA TECNOLOGIA LTDA", "situacao": "ATIVA",
         "endereco": {"logradouro": "RUA DAS ACACIAS", "numero": "120", "bairro": "JARDIM PRIMAVERA",
                      "cidade": "CAMPINAS", "uf": "SP", "cep": "13000100"}}
RESPOSTAS = {
    "empresas": {"empresas": [
        {"cnpj": "11.222.333/0001-81", "razao_social": "Aurora Tecnologia Ltda", "endereco": ENDERECO,
         "papel_no_contrato": "contratante"},
        {"cnpj": None, "razao_social": "Aurora Tecnologia", "papel_no_contrato": "contratada"},
    ]},
    "assinaturas": {"assinaturas": [
        {"nome_signatario": "Marcos Vinícius Prado", "cargo": "Sócio-Administrador",
         "empresa_representada": "Aurora Tecnologia Ltda", "cnpj_empresa": "11.222.333/0001-81",
         "tipo_assinatura": "representante"},
    ]},
    "dados_contrato": {"objeto": "Serviços"},
}


# ---------------------------------------------------------------- fakes


class Boom:
    """Raises the test's KeyboardInterrupt object when called."""

    def __init__(self, exc):
        self.exc = exc

    def __call__(self, *args, **kwargs):
        raise self.exc


def raising_property(exc):
    return property(Boom(exc))


class Registro:
    """The registry services; the hook named in `quebra` raises."""

    def __init__(self, exc, quebra=None):
        self.exc, self.quebra = exc, quebra

    def get(self, url, **kw):
        if self.quebra == "get":
            raise self.exc
        if self.quebra == "receita" and url.startswith("http://receita/"):
            raise self.exc
        if self.quebra == "receita":
            return Resposta({"message": "não encontrado"}, 404)
        return self.resposta(BRASILAPI)

    def post(self, url, **kw):
        if self.quebra == "post":
            raise self.exc
        return self.resposta(BUSCA)

    def resposta(self, corpo):
        r = Resposta(corpo)
        if self.quebra == "json":
            r.json = Boom(self.exc)
        if self.quebra == "status_code":
            r = object.__new__(type("R", (Resposta,), {"status_code": raising_property(self.exc)}))
            r.corpo = corpo
        return r


Documento, Motor = engine_for(RESPOSTAS, metricas(tokens=1, cost_usd=0.0, time_seconds=0.1))


def sdk():
    return sdk_module(Documento(), motor=Motor)


def montar(motor=None, verbose=False, disponivel=True, auth=None):
    return make_checker(motor if motor is not None else Motor(), verbose, disponivel, auth)


@pytest.fixture(scope="module")
def pdf(tmp_path_factory):
    return make_pdf(tmp_path_factory.mktemp("interrupts") / "contrato.pdf", "CONTRATO")


@pytest.fixture
def ambiente(monkeypatch):
    """Registry on fake hosts with a working fake client, the fake engine SDK,
    fake credentials, and the checker's output discarded."""
    monkeypatch.setattr(cnpj, "BRASIL_API_URL", "http://brasil/{cnpj}")
    monkeypatch.setattr(cnpj, "RECEITA_WS_URL", "http://receita/{cnpj}")
    monkeypatch.setattr(cnpj, "CASADOSDADOS_API", "http://casa/search")
    monkeypatch.setattr(cnpj, "requests", Registro(None))
    monkeypatch.setattr(checker, "LexaroAuth", Credenciais)
    monkeypatch.setitem(sys.modules, "lexaro", sdk())
    monkeypatch.setattr(checker, "print", lambda *a, **k: None, raising=False)
    return monkeypatch


# ---------------------------------------------------------------- cases
# Each case installs the raising hook with `mp` and makes the native call.


def requests_broken_at(quebra):
    def install(mp, exc):
        mp.setattr(cnpj, "requests", Registro(exc, quebra))
    return install


LOOKUPS_GET = [
    ("cnpj._consultar_brasil_api", lambda pdf: cnpj._consultar_brasil_api(CNPJ)),
    ("cnpj.consultar_cnpj", lambda pdf: cnpj.consultar_cnpj(CNPJ)),
    ("cnpj.consultar_cnpj_online", lambda pdf: cnpj.consultar_cnpj_online("11.222.333/0001-81")),
    ("cnpj.buscar_empresa", lambda pdf: cnpj.buscar_empresa(cnpj=CNPJ)),
    ("cnpj.buscar_empresa_completo", lambda pdf: cnpj.buscar_empresa_completo(cnpj=CNPJ)),
    ("checker.consultar_cnpj", lambda pdf: checker.consultar_cnpj(CNPJ)),
    ("ContractChecker.verificar", lambda pdf: montar().verificar(pdf)),
    ("ContractChecker._validar_empresas",
     lambda pdf: montar()._validar_empresas([checker.EmpresaExtraida(cnpj=CNPJ, razao_social="Aurora")])),
]
LOOKUPS_POST = [
    ("cnpj.buscar_cnpj_por_nome", lambda pdf: cnpj.buscar_cnpj_por_nome("Aurora Tecnologia", "SP")),
    ("cnpj.buscar_empresa", lambda pdf: cnpj.buscar_empresa(nome="Aurora Tecnologia")),
    ("cnpj.buscar_empresa_completo", lambda pdf: cnpj.buscar_empresa_completo(nome="Aurora Tecnologia")),
    ("checker.buscar_cnpj_por_nome", lambda pdf: checker.buscar_cnpj_por_nome("Aurora Tecnologia")),
    ("ContractChecker.verificar", lambda pdf: montar().verificar(pdf)),
]
CASES = (
    [(f"requests.get/{n}", requests_broken_at("get"), f) for n, f in LOOKUPS_GET]
    + [(f"response.json/{n}", requests_broken_at("json"), f) for n, f in LOOKUPS_GET[:3]]
    + [(f"response.status_code/{n}", requests_broken_at("status_code"), f) for n, f in LOOKUPS_GET[:3]]
    + [("requests.get/cnpj._consultar_receita_ws", requests_broken_at("get"),
        lambda pdf: cnpj._consultar_receita_ws(CNPJ)),
       ("requests.get-second-service/cnpj.consultar_cnpj", requests_broken_at("receita"),
        lambda pdf: cnpj.consultar_cnpj(CNPJ))]
    + [(f"requests.post/{n}", requests_broken_at("post"), f) for n, f in LOOKUPS_POST]
    + [("response.json-post/cnpj.buscar_cnpj_por_nome", requests_broken_at("json"),
        lambda pdf: cnpj.buscar_cnpj_por_nome("Aurora"))]
)


def engine_hook(attr, prop=False):
    def install(mp, exc):
        mod = sys.modules["lexaro"]
        if attr == "Lexaro":
            mp.setattr(mod, "Lexaro", Boom(exc))
        elif attr in ("Question", "QuestionConfig"):
            mp.setattr(mod, attr, Boom(exc))
        else:
            mp.setattr(mod.Lexaro, "add_question", Boom(exc))
    return install


def document_hook(where):
    def install(mp, exc):
        if where == "process":
            mp.setattr(Motor, "process", Boom(exc))
        elif where == "get_result":
            mp.setattr(Documento, "get_result", Boom(exc))
        else:
            mp.setattr(Pergunta if where == "raw_result" else Documento, where, raising_property(exc))
    return install


def fresh(pdf):
    return ContractChecker(openai_api_key="sk-x", verbose=False)


CASES += [
    ("Lexaro()/ContractChecker._init_lexaro", engine_hook("Lexaro"), lambda pdf: fresh(pdf)._init_lexaro()),
    ("Lexaro()/ContractChecker.verificar", engine_hook("Lexaro"), lambda pdf: fresh(pdf).verificar(pdf)),
    ("Lexaro()/checker.verificar_contrato", engine_hook("Lexaro"),
     lambda pdf: checker.verificar_contrato(pdf, openai_api_key="sk-x", verbose=False)),
    ("add_question/ContractChecker._init_lexaro", engine_hook("add_question"),
     lambda pdf: fresh(pdf)._init_lexaro()),
    ("add_question/ContractChecker._setup_questions", engine_hook("add_question"),
     lambda pdf: montar(sys.modules["lexaro"].Lexaro())._setup_questions()),
    ("Question()/ContractChecker._setup_questions", engine_hook("Question"),
     lambda pdf: montar()._setup_questions()),
    ("QuestionConfig()/ContractChecker._init_lexaro", engine_hook("QuestionConfig"),
     lambda pdf: fresh(pdf)._init_lexaro()),
]
for where in ("process", "get_result", "raw_result", "total_metrics"):
    CASES += [
        (f"{where}/ContractChecker.verificar", document_hook(where), lambda pdf: montar().verificar(pdf)),
        (f"{where}/checker.verificar_contrato", document_hook(where),
         lambda pdf: checker.verificar_contrato(pdf, openai_api_key="sk-x", verbose=True)),
    ]


def auth_hook(where):
    def install(mp, exc):
        if where == "init":
            mp.setattr(Credenciais, "__init__", Boom(exc))
        elif where in ("get_token", "get_lexaro_kwargs"):
            mp.setattr(Credenciais, where, Boom(exc))
        else:
            if where == "is_azure":
                mp.setattr(Credenciais, "has_api_key", False)
            mp.setattr(Credenciais, where, raising_property(exc))
    return install


CASES += [
    ("LexaroAuth()/ContractChecker", auth_hook("init"), fresh),
    ("LexaroAuth()/checker.verificar_contrato", auth_hook("init"),
     lambda pdf: checker.verificar_contrato(pdf, openai_api_key="sk-x")),
    ("has_api_key/ContractChecker", auth_hook("has_api_key"), fresh),
    ("is_azure/ContractChecker", auth_hook("is_azure"), fresh),
    ("is_lexaro_available/ContractChecker._init_lexaro", auth_hook("is_lexaro_available"),
     lambda pdf: montar(disponivel=None, auth=Credenciais())._init_lexaro()),
    ("get_lexaro_kwargs/ContractChecker._init_lexaro", auth_hook("get_lexaro_kwargs"),
     lambda pdf: fresh(pdf)._init_lexaro()),
    ("get_lexaro_kwargs/ContractChecker.verificar", auth_hook("get_lexaro_kwargs"),
     lambda pdf: montar(disponivel=None, auth=Credenciais()).verificar(pdf)),
    ("get_token/ContractChecker.token", auth_hook("get_token"), lambda pdf: fresh(pdf).token),
    ("provider/ContractChecker.provider", auth_hook("provider"),
     lambda pdf: montar(auth=Credenciais()).provider),
]


def rebound(mod, name):
    def install(mp, exc):
        mp.setattr(mod, name, Boom(exc))
    return install


CASES += [
    ("checker.consultar_cnpj/ContractChecker.verificar", rebound(checker, "consultar_cnpj"),
     lambda pdf: montar().verificar(pdf)),
    ("checker.buscar_cnpj_por_nome/ContractChecker.verificar", rebound(checker, "buscar_cnpj_por_nome"),
     lambda pdf: montar().verificar(pdf)),
    ("checker.comparar_enderecos/ContractChecker.verificar", rebound(checker, "comparar_enderecos"),
     lambda pdf: montar().verificar(pdf)),
    ("checker.validar_cnpj/ContractChecker.verificar", rebound(checker, "validar_cnpj"),
     lambda pdf: montar().verificar(pdf)),
    ("checker.limpar_cnpj/ContractChecker.verificar", rebound(checker, "limpar_cnpj"),
     lambda pdf: montar().verificar(pdf)),
    ("checker.EmpresaVerificada/ContractChecker.verificar", rebound(checker, "EmpresaVerificada"),
     lambda pdf: montar().verificar(pdf)),
    ("checker.Path/ContractChecker.verificar", rebound(checker, "Path"), lambda pdf: montar().verificar(pdf)),
    ("checker.ContractChecker/checker.verificar_contrato", rebound(checker, "ContractChecker"),
     lambda pdf: checker.verificar_contrato(pdf)),
    ("cnpj.consultar_cnpj/cnpj.buscar_empresa", rebound(cnpj, "consultar_cnpj"),
     lambda pdf: cnpj.buscar_empresa(cnpj=CNPJ)),
    ("cnpj.consultar_cnpj/cnpj.buscar_empresa_completo", rebound(cnpj, "consultar_cnpj"),
     lambda pdf: cnpj.buscar_empresa_completo(cnpj=CNPJ)),
    ("cnpj._consultar_brasil_api/cnpj.consultar_cnpj", rebound(cnpj, "_consultar_brasil_api"),
     lambda pdf: cnpj.consultar_cnpj(CNPJ)),
    ("cnpj.buscar_cnpj_por_nome/cnpj.buscar_empresa", rebound(cnpj, "buscar_cnpj_por_nome"),
     lambda pdf: cnpj.buscar_empresa(nome="Aurora")),
    ("cnpj._normalizar_endereco/cnpj.comparar_enderecos", rebound(cnpj, "_normalizar_endereco"),
     lambda pdf: cnpj.comparar_enderecos(ENDERECO, DADOS)),
    ("cnpj._normalizar_endereco/checker.comparar_enderecos", rebound(cnpj, "_normalizar_endereco"),
     lambda pdf: checker.comparar_enderecos(ENDERECO, DADOS)),
    ("keywords.normalizar_texto/keywords.validar_documento_contrato", rebound(keywords, "normalizar_texto"),
     lambda pdf: keywords.validar_documento_contrato("contrato acordo termo")),
]


def method_on_instance(name):
    def install(mp, exc):
        mp.setattr(ContractChecker, name, Boom(exc))
    return install


CASES += [
    ("self._normalizar_texto/ContractChecker._comparar_nomes", method_on_instance("_normalizar_texto"),
     lambda pdf: montar()._comparar_nomes("Aurora", "AURORA")),
    ("self._comparar_nomes/ContractChecker.verificar", method_on_instance("_comparar_nomes"),
     lambda pdf: montar().verificar(pdf)),
    ("self._verificar_poder_assinatura/ContractChecker.verificar",
     method_on_instance("_verificar_poder_assinatura"), lambda pdf: montar().verificar(pdf)),
    ("self._init_lexaro/ContractChecker.verificar", method_on_instance("_init_lexaro"),
     lambda pdf: montar().verificar(pdf)),
    ("self._imprimir_relatorio/ContractChecker.verificar", method_on_instance("_imprimir_relatorio"),
     lambda pdf: montar(verbose=True).verificar(pdf)),
]

CASES += [
    ("print/ContractChecker._log", rebound(checker, "print"), lambda pdf: montar(verbose=True)._log("oi")),
    ("print/ContractChecker.verificar", rebound(checker, "print"),
     lambda pdf: montar(verbose=True).verificar(pdf)),
    ("print/ContractChecker._init_lexaro", rebound(checker, "print"),
     lambda pdf: montar(disponivel=None, auth=SimpleNamespace(is_lexaro_available=False),
                        verbose=True)._init_lexaro()),
    ("print/checker.verificar_contrato", rebound(checker, "print"),
     lambda pdf: checker.verificar_contrato(pdf, openai_api_key="sk-x")),
]


@pytest.mark.parametrize("install, call", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_keyboard_interrupt_passes_through(ambiente, pdf, install, call):
    raised = KeyboardInterrupt("interrompido")
    install(ambiente, raised)
    with pytest.raises(KeyboardInterrupt) as e:
        call(pdf)
    assert e.value is raised
