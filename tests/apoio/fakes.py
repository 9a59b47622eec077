"""The stand-ins the tests and benchmarks share: the extraction engine (its
client, documents and answers, and the `lexaro` SDK module), the
credentials manager, HTTP answers, and registry records in the services'
own shapes and in the module's record shape (invented companies)."""

from __future__ import annotations

import types
from types import SimpleNamespace
from typing import Any, Dict, Iterable, List, Optional, Tuple, Type

Json = Dict[str, Any]

# ---------------------------------------------------------------- engine


class Pergunta:
    """The engine's answer to one question."""

    __slots__ = ("raw",)

    def __init__(self, raw: Any) -> None:
        self.raw = raw

    @property
    def raw_result(self) -> Any:
        return self.raw


def metricas(tokens: int = 0, cost_usd: float = 0.0, time_seconds: float = 0.0) -> SimpleNamespace:
    """The engine's run metrics."""
    return SimpleNamespace(tokens=tokens, cost_usd=cost_usd, time_seconds=time_seconds)


class Documento:
    """The engine's document result: answers by question id and run metrics.
    With `registrar`, the question ids asked are kept in `perguntas`."""

    respostas_padrao: Json = {}

    def __init__(self, respostas: Optional[Json] = None, metricas_: Optional[SimpleNamespace] = None,
                 registrar: bool = False) -> None:
        self.respostas = self.respostas_padrao if respostas is None else respostas
        self.metricas = metricas_ or metricas()
        self.perguntas: Optional[List[str]] = [] if registrar else None

    @property
    def total_metrics(self) -> SimpleNamespace:
        return self.metricas

    def get_result(self, qid: str) -> Optional[Pergunta]:
        if self.perguntas is not None:
            self.perguntas.append(qid)
        raw = self.respostas.get(qid)
        return None if raw is None else Pergunta(raw)


class Motor:
    """The engine client: process(path) gives `documento` (a new Documento
    when none is given), or raises erro("process") when `erro` is set. With
    `registrar`, the paths processed are kept in `processados`."""

    documento_cls: Type[Documento] = Documento

    def __init__(self, documento: Optional[Documento] = None, erro: Optional[Type[BaseException]] = None,
                 registrar: bool = False) -> None:
        self.documento = documento if documento is not None else self.documento_cls()
        self.erro = erro
        self.processados: Optional[List[str]] = [] if registrar else None

    def add_question(self, q: Any) -> None:
        pass

    def process(self, path: str) -> Documento:
        if self.processados is not None:
            self.processados.append(path)
        if self.erro is not None:
            raise self.erro("process")  # a fresh exception: a reused one keeps growing its traceback
        return self.documento


def engine_for(respostas: Json, metricas_: Optional[SimpleNamespace] = None) -> Tuple[Type[Documento], Type[Motor]]:
    """Documento and Motor classes of their own whose documents answer with
    `respostas` unless told otherwise (a test may patch them freely)."""
    padrao = metricas_

    class DocumentoPadrao(Documento):
        respostas_padrao = respostas

        def __init__(self, respostas: Optional[Json] = None, metricas_: Optional[SimpleNamespace] = None,
                     registrar: bool = False) -> None:
            super().__init__(respostas, metricas_ or padrao, registrar)

    class MotorPadrao(Motor):
        documento_cls = DocumentoPadrao

    return DocumentoPadrao, MotorPadrao


def sdk_module(documento: Optional[Documento] = None, motor: Type[Motor] = Motor,
               registrar: bool = False) -> types.ModuleType:
    """A stand-in for the extraction SDK, to install as `lexaro`: Question
    and QuestionConfig keep their keywords as attributes; a Lexaro client is
    a `motor` whose documents are the module's `documento` (settable later).
    With `registrar`, the clients made are kept in `clientes`, each with its
    keywords (`kwargs`), its questions and the paths it processed."""
    mod = types.ModuleType("lexaro")
    mod.documento = documento  # type: ignore[attr-defined]
    mod.clientes = []  # type: ignore[attr-defined]

    class Generico:
        def __init__(self, **kw: Any) -> None:
            self.__dict__.update(kw)

    class Lexaro(motor):  # type: ignore[valid-type,misc]
        def __init__(self, **kw: Any) -> None:
            super().__init__(mod.documento, registrar=registrar)
            if registrar:
                self.kwargs = kw
                self.questions: List[Any] = []
                mod.clientes.append(self)

        def add_question(self, q: Any) -> None:
            if registrar:
                self.questions.append(q)

        def process(self, path: str) -> Documento:
            self.documento = mod.documento
            return super().process(path)  # type: ignore[no-any-return]

    mod.Lexaro, mod.Question, mod.QuestionConfig = Lexaro, Generico, Generico  # type: ignore[attr-defined]
    return mod


# ---------------------------------------------------------------- credentials


class Credenciais:
    """The credentials manager: an OpenAI key, the engine available."""

    has_api_key = True
    is_azure = False
    is_lexaro_available = True
    provider = "openai"
    token = "tok"

    def __init__(self, **kw: Any) -> None:
        self.kw = kw

    def get_token(self) -> str:
        return self.token

    def get_lexaro_kwargs(self) -> Json:
        return {"provider": "openai", "api_key": "sk-x", "base_url": None, "api_token": None}


# ---------------------------------------------------------------- HTTP


class Resposta:
    """An HTTP answer of the client library: status_code and json() (which
    raises `erro` when one is given)."""

    status_code = 200
    corpo: Any = None
    erro: Optional[BaseException] = None

    def __init__(self, corpo: Any = None, status: int = 200, erro: Optional[BaseException] = None) -> None:
        self.status_code = status
        self.corpo = corpo
        if erro is not None:
            self.erro = erro

    def json(self) -> Any:
        if self.erro is not None:
            raise self.erro
        return self.corpo


# ---------------------------------------------------------------- registry answers (the services' shapes)


def brasilapi(cnpj: str, razao: str, situacao: str, tipo: str, logradouro: str, numero: str, bairro: str,
              municipio: str, cep: str, qsa: List[Json]) -> Json:
    """A BrasilAPI answer."""
    return {
        "cnpj": cnpj,
        "razao_social": razao,
        "nome_fantasia": "",
        "natureza_juridica": "Sociedade Empresária Limitada",
        "descricao_situacao_cadastral": situacao,
        "data_situacao_cadastral": "2018-05-02",
        "data_inicio_atividade": "2018-05-02",
        "porte": "DEMAIS",
        "capital_social": 250000,
        "descricao_tipo_de_logradouro": tipo,
        "logradouro": logradouro,
        "numero": numero,
        "complemento": "",
        "bairro": bairro,
        "municipio": municipio,
        "uf": "SP",
        "cep": cep,
        "email": None,
        "codigo_natureza_juridica": 2062,
        "qsa": qsa,
    }


def socio_brasilapi(nome: str, qualificacao: str, representante: str = "", qualificacao_rep: str = "Não informada",
                    identificador: int = 2) -> Json:
    """A partner in a BrasilAPI answer."""
    return {
        "identificador_de_socio": identificador,
        "nome_socio": nome,
        "cnpj_cpf_do_socio": "***123456**",
        "qualificacao_socio": qualificacao,
        "data_entrada_sociedade": "2018-05-02",
        "cpf_representante_legal": "***000000**",
        "nome_representante_legal": representante,
        "qualificacao_representante_legal": qualificacao_rep,
        "codigo_qualificacao_socio": 49,
    }


AURORA_BRASILAPI = brasilapi(
    "11222333000181", "AURORA TECNOLOGIA LTDA", "ATIVA", "RUA", "DAS ACACIAS", "120", "JARDIM PRIMAVERA",
    "CAMPINAS", "13000100",
    [socio_brasilapi("MARCOS VINICIUS PRADO", "Sócio-Administrador"), socio_brasilapi("HELENA PRADO", "Sócio")],
)
BOREAL_RECEITAWS: Json = {
    "status": "OK",
    "nome": "BOREAL LOGISTICA S.A.",
    "fantasia": "BOREAL",
    "situacao": "BAIXADA",
    "data_situacao": "15/03/2024",
    "abertura": "02/01/2010",
    "tipo": "MATRIZ",
    "porte": "DEMAIS",
    "natureza_juridica": "205-4 - Sociedade Anônima Fechada",
    "logradouro": "AV DOS ESTIVADORES",
    "numero": "S/N",
    "complemento": "GALPAO 3",
    "bairro": "PORTO",
    "municipio": "SANTOS",
    "uf": "SP",
    "cep": "11.010-000",
    "email": "",
    "telefone": "(13) 3333-0000",
    "capital_social": "3000000.00",
    "atividade_principal": [{"code": "52.11-7-99", "text": "Depósitos de mercadorias para terceiros"}],
    "qsa": [
        {"nome": "RENATA DUARTE", "qual": "10-Diretor", "pais_origem": "", "nome_rep_legal": "", "qual_rep_legal": ""},
        {"nome": "CARLOS EDUARDO LIMA", "qual": "16-Presidente"},
    ],
}
CIDRA_BRASILAPI = brasilapi(
    "77888999000155", "CIDRA ALIMENTOS LTDA", "ATIVA", "RUA", "XV DE NOVEMBRO", "45", "CENTRO", "RIBEIRAO PRETO",
    "14010000",
    [socio_brasilapi("HELENA CASTRO", "Sócio-Administrador"),
     socio_brasilapi("PARTICIPACOES XYZ LTDA", "Sócio", "LUCIA FERRAZ", "Administrador", identificador=1)],
)
# A Casa dos Dados search that finds Aurora.
BUSCA_AURORA: Json = {"success": True,
                      "data": {"count": 1, "cnpj": [{"cnpj": "11222333000181", "razao_social": "AURORA TECNOLOGIA LTDA"}]}}


# ---------------------------------------------------------------- records (the module's shape)


def socio(nome: str, qualificacao: str = "Sócio-Administrador", nome_representante: str = "",
          qualificacao_representante: str = "") -> Json:
    """A partner of a registry record."""
    return {
        "nome": nome,
        "qualificacao": qualificacao,
        "data_entrada": "2019-03-01",
        "cpf_representante": "",
        "nome_representante": nome_representante,
        "qualificacao_representante": qualificacao_representante,
    }


def endereco(logradouro: str = "DAS ACACIAS", numero: str = "120", bairro: str = "JARDIM PRIMAVERA",
             cidade: str = "CAMPINAS", cep: str = "13000100") -> Json:
    """The address of a registry record (in São Paulo state)."""
    return {"logradouro": logradouro, "numero": numero, "complemento": "", "bairro": bairro, "cidade": cidade,
            "uf": "SP", "cep": cep}


def registro(cnpj: str, razao: str, situacao: str = "ATIVA", socios: Iterable[Json] = (),
             endereco_: Optional[Json] = None) -> Json:
    """A registry record as consultar_cnpj returns it."""
    return {
        "fonte": "BrasilAPI",
        "cnpj": cnpj,
        "razao_social": razao,
        "nome_fantasia": "",
        "situacao": situacao,
        "data_situacao": "2019-03-01",
        "data_abertura": "2019-03-01",
        "natureza_juridica": "Sociedade Empresária Limitada",
        "porte": "",
        "capital_social": 50000,
        "endereco": endereco_ if endereco_ is not None else endereco(),
        "email": "",
        "socios": list(socios),
    }
