"""The verification pipeline (ContractChecker.verificar, verificar_contrato):
a fake extraction engine, a real local HTTP server playing the registry
services, and real PDF files."""

import inspect
import json
import sys
from collections import UserDict
from dataclasses import replace
from pathlib import Path
from types import SimpleNamespace

import pytest
from pytest_httpserver import HTTPServer

import checker_support
import lexaro_contract
from checker_support import campo, make_pdf
from fakes import AURORA_BRASILAPI, BOREAL_RECEITAWS, CIDRA_BRASILAPI, Documento, Motor, sdk_module
from lexaro_contract import checker, cnpj
from lexaro_contract.checker import ContractChecker
from lexaro_contract.enderecos import Enderecos
from lexaro_contract.models import AssinaturaVerificada, CampoVerificado, EmpresaVerificada

DUPLA = "=" * 60
SIMPLES = "─" * 60


# ---------------------------------------------------------------- fixtures


@pytest.fixture
def contrato(tmp_path):
    return make_pdf(tmp_path / "contrato_aurora.pdf")


def make_checker(motor=None, verbose=True, disponivel=True):
    return checker_support.make_checker(motor, verbose, disponivel)


@pytest.fixture
def sdk(monkeypatch):
    """A stand-in for the extraction SDK module, installed as `lexaro`."""
    mod = sdk_module(registrar=True)
    monkeypatch.setitem(sys.modules, "lexaro", mod)
    for var in ("LEXARO_PROVIDER", "LEXARO_API_TOKEN", "OPENAI_API_KEY", "OPENAI_BASE_URL"):
        monkeypatch.delenv(var, raising=False)
    return mod


@pytest.fixture(scope="module")
def servidor():
    s = HTTPServer(host="127.0.0.1", port=0)
    s.start()
    yield s
    s.clear()
    s.stop()


@pytest.fixture
def registry(servidor, apontar_registro):
    """The registry services (BrasilAPI, ReceitaWS, Casa dos Dados) on the local server."""
    servidor.clear()
    apontar_registro(servidor.url_for("").rstrip("/"))
    yield servidor
    servidor.clear()


# Registry answers in the services' own shapes (invented companies).


NAO_ENCONTRADO = {"message": "CNPJ 00.000.000/0000-00 não encontrado.", "name": "NotFoundError", "type": "not_found"}


def servir_cenario(srv):
    srv.expect_request("/api/cnpj/v1/11222333000181", method="GET").respond_with_json(AURORA_BRASILAPI)
    srv.expect_request("/api/cnpj/v1/44555666000102", method="GET").respond_with_json(NAO_ENCONTRADO, status=404)
    srv.expect_request("/v1/cnpj/44555666000102", method="GET").respond_with_json(BOREAL_RECEITAWS)
    srv.expect_request("/api/cnpj/v1/77888999000110", method="GET").respond_with_json(NAO_ENCONTRADO, status=404)
    srv.expect_request("/v1/cnpj/77888999000110", method="GET").respond_with_json(
        {"status": "ERROR", "message": "CNPJ inválido"}
    )
    srv.expect_request("/v2/public/cnpj/search", method="POST").respond_with_json(
        {
            "success": True,
            "data": {"count": 1, "cnpj": [{"cnpj": "77888999000155", "razao_social": "CIDRA ALIMENTOS LTDA"}]},
            "page": {"current": 1},
        }
    )
    srv.expect_request("/api/cnpj/v1/77888999000155", method="GET").respond_with_json(CIDRA_BRASILAPI)


DADOS_CONTRATO = {
    "tipo_contrato": "Prestação de serviços",
    "objeto": "Armazenagem e distribuição de alimentos",
    "data": "10/01/2026",
    "vigencia": "12 meses",
    "valor": "R$ 120.000,00",
    "foro": "Campinas/SP",
}
RESPOSTAS = {
    "empresas": {
        "empresas": [
            {
                "cnpj": "11.222.333/0001-81",
                "razao_social": "Aurora Tecnologia Ltda",
                "endereco": "Rua das Acácias, 120 - Jardim Primavera, Campinas/SP, CEP 13000-100",
                "papel_no_contrato": "contratante",
            },
            {
                "cnpj": "44.555.666/0001-02",
                "razao_social": "Boreal Logística S.A.",
                "endereco": None,
                "papel_no_contrato": "contratada",
            },
            {
                "cnpj": "77.888.999/0001-10",
                "razao_social": "Cidra Alimentos Eireli",
                "endereco": "Avenida Brasil, 500 - Centro, Ribeirão Preto/SP",
                "papel_no_contrato": "interveniente",
            },
        ]
    },
    "assinaturas": {
        "assinaturas": [
            {
                "nome_signatario": "Marcos Vinícius Prado",
                "cargo": "Sócio-Administrador",
                "empresa_representada": "Aurora Tecnologia Ltda",
                "cnpj_empresa": "11.222.333/0001-81",
                "tipo_assinatura": "representante",
            },
            {
                "nome_signatario": "Otávio Mendes",
                "cargo": "Diretor",
                "empresa_representada": "BOREAL LOGÍSTICA S.A.",
                "tipo_assinatura": "representante",
            },
            {
                "nome_signatario": "Lúcia Ferraz",
                "cargo": "Procuradora",
                "empresa_representada": "Cidra Alimentos",
                "tipo_assinatura": "representante",
            },
            {"nome_signatario": "Paulo Henrique Dias", "tipo_assinatura": "Testemunha"},
            {"nome_signatario": "N/A", "tipo_assinatura": "testemunha"},
            {"nome_signatario": "Sérgio Tavares", "empresa_representada": "Fantasma Participações"},
        ]
    },
    "dados_contrato": DADOS_CONTRATO,
}
METRICAS = SimpleNamespace(tokens=18342, cost_usd=0.0461, time_seconds=12.345)


def socios_registro(*socios):
    return [
        {
            "nome": n,
            "qualificacao": q,
            "data_entrada": d,
            "cpf_representante": cpf,
            "nome_representante": rep,
            "qualificacao_representante": qrep,
        }
        for n, q, d, cpf, rep, qrep in socios
    ]


def empresas_esperadas(sim_aurora, end_aurora, sim_cidra, end_cidra):
    return [
        {
            "cnpj": "11.222.333/0001-81",
            "razao_social_contrato": "Aurora Tecnologia Ltda",
            "razao_social_receita": "AURORA TECNOLOGIA LTDA",
            "papel_no_contrato": "contratante",
            "campos": [
                campo("CNPJ", "aprovado", "11.222.333/0001-81", "11.222.333/0001-81", "CNPJ encontrado"),
                campo("Situação Cadastral", "aprovado", "-", "ATIVA", "Empresa ATIVA"),
                campo("Razão Social", "aprovado", "Aurora Tecnologia Ltda", "AURORA TECNOLOGIA LTDA", "Confere"),
                campo(
                    "Endereço",
                    "aprovado",
                    "Rua das Acácias, 120 - Jardim Primavera, Campinas/SP, CEP 13000-100",
                    end_aurora,
                    f"Similaridade: {sim_aurora}",
                ),
            ],
            "cnpj_encontrado": True,
            "cnpj_buscado_por_nome": False,
            "empresa_ativa": True,
            "razao_social_confere": True,
            "socios": socios_registro(
                ("MARCOS VINICIUS PRADO", "Sócio-Administrador", "2018-05-02", "***000000**", "", "Não informada"),
                ("HELENA PRADO", "Sócio", "2018-05-02", "***000000**", "", "Não informada"),
            ),
            "problemas": [],
        },
        {
            "cnpj": "44.555.666/0001-02",
            "razao_social_contrato": "Boreal Logística S.A.",
            "razao_social_receita": "BOREAL LOGISTICA S.A.",
            "papel_no_contrato": "contratada",
            "campos": [
                campo("CNPJ", "aprovado", "44.555.666/0001-02", "44.555.666/0001-02", "CNPJ encontrado"),
                campo("Situação Cadastral", "reprovado", "-", "BAIXADA", "Empresa BAIXADA"),
                campo("Razão Social", "aprovado", "Boreal Logística S.A.", "BOREAL LOGISTICA S.A.", "Confere"),
            ],
            "cnpj_encontrado": True,
            "cnpj_buscado_por_nome": False,
            "empresa_ativa": False,
            "razao_social_confere": True,
            "socios": socios_registro(
                ("RENATA DUARTE", "10-Diretor", "", "", "", ""),
                ("CARLOS EDUARDO LIMA", "16-Presidente", "", "", "", ""),
            ),
            "problemas": ["Empresa com situação: BAIXADA"],
        },
        {
            "cnpj": "77.888.999/0001-55",
            "razao_social_contrato": "Cidra Alimentos Eireli",
            "razao_social_receita": "CIDRA ALIMENTOS LTDA",
            "papel_no_contrato": "interveniente",
            "campos": [
                campo(
                    "CNPJ",
                    "pendente",
                    "77.888.999/0001-10",
                    "77.888.999/0001-55",
                    "CNPJ do contrato não encontrado; empresa localizada pelo nome",
                ),
                campo("Situação Cadastral", "aprovado", "-", "ATIVA", "Empresa ATIVA"),
                campo("Razão Social", "aprovado", "Cidra Alimentos Eireli", "CIDRA ALIMENTOS LTDA", "Confere"),
                campo(
                    "Endereço",
                    "pendente",
                    "Avenida Brasil, 500 - Centro, Ribeirão Preto/SP",
                    end_cidra,
                    f"Similaridade: {sim_cidra}",
                ),
            ],
            "cnpj_encontrado": True,
            "cnpj_buscado_por_nome": True,
            "empresa_ativa": True,
            "razao_social_confere": True,
            "socios": socios_registro(
                ("HELENA CASTRO", "Sócio-Administrador", "2018-05-02", "***000000**", "", "Não informada"),
                ("PARTICIPACOES XYZ LTDA", "Sócio", "2018-05-02", "***000000**", "LUCIA FERRAZ", "Administrador"),
            ),
            "problemas": ["CNPJ do contrato não confere com o registro"],
        },
    ]


def assinatura(nome, cargo, empresa, cnpj_, tipo, campo_, poder, qualificacao, problemas):
    return {
        "nome_signatario": nome,
        "cargo": cargo,
        "empresa_representada": empresa,
        "cnpj_empresa": cnpj_,
        "tipo_assinatura": tipo,
        "campos": [campo_],
        "tem_poder_assinatura": poder,
        "qualificacao_qsa": qualificacao,
        "problemas": problemas,
    }


PODER = "Poder de Assinatura"
ASSINATURAS_ESPERADAS = [
    assinatura(
        "Marcos Vinícius Prado",
        "Sócio-Administrador",
        "Aurora Tecnologia Ltda",
        "11.222.333/0001-81",
        "representante",
        campo(PODER, "aprovado", "Marcos Vinícius Prado", "Sócio-Administrador", "Signatário tem poder (Sócio-Administrador)"),
        True,
        "Sócio-Administrador",
        [],
    ),
    assinatura(
        "Otávio Mendes",
        "Diretor",
        "BOREAL LOGÍSTICA S.A.",
        None,
        "representante",
        campo(
            PODER, "reprovado", "Otávio Mendes", "QSA: RENATA DUARTE, CARLOS EDUARDO LIMA...", "Signatário NÃO encontrado no QSA"
        ),
        False,
        None,
        ["Signatário sem poder de assinatura"],
    ),
    assinatura(
        "Lúcia Ferraz",
        "Procuradora",
        "Cidra Alimentos",
        None,
        "representante",
        campo(PODER, "aprovado", "Lúcia Ferraz", "Administrador", "Signatário tem poder (Administrador)"),
        True,
        "Administrador",
        [],
    ),
    assinatura(
        "Paulo Henrique Dias",
        None,
        None,
        None,
        "Testemunha",
        campo(PODER, "nao_verificado", "Paulo Henrique Dias", None, "Testemunha: poder de assinatura não exigido"),
        False,
        None,
        [],
    ),
    assinatura(
        "(não identificado)",
        None,
        None,
        None,
        "testemunha",
        campo("Identificação", "nao_verificado", None, None, "Signatário não identificado"),
        False,
        None,
        ["Signatário não identificado"],
    ),
    assinatura(
        "Sérgio Tavares",
        None,
        "Fantasma Participações",
        None,
        None,
        campo(PODER, "pendente", "Sérgio Tavares", None, "Não foi possível verificar"),
        False,
        None,
        [],
    ),
]
APROVADOS = [
    "CNPJ - AURORA TECNOLOGIA LTDA",
    "Situação Cadastral - AURORA TECNOLOGIA LTDA",
    "Razão Social - AURORA TECNOLOGIA LTDA",
    "Endereço - AURORA TECNOLOGIA LTDA",
    "CNPJ - BOREAL LOGISTICA S.A.",
    "Razão Social - BOREAL LOGISTICA S.A.",
    "Situação Cadastral - CIDRA ALIMENTOS LTDA",
    "Razão Social - CIDRA ALIMENTOS LTDA",
    "Poder de Assinatura - Marcos Vinícius Prado",
    "Poder de Assinatura - Lúcia Ferraz",
]
REPROVADOS = ["Situação Cadastral - BOREAL LOGISTICA S.A.", "Poder de Assinatura - Otávio Mendes"]
PENDENTES = ["CNPJ - CIDRA ALIMENTOS LTDA", "Endereço - CIDRA ALIMENTOS LTDA", "Poder de Assinatura - Sérgio Tavares"]


# ---------------------------------------------------------------- the whole road


def test_rich_contract_end_to_end(registry, sdk, contrato, capsys):
    servir_cenario(registry)
    sdk.documento = Documento(RESPOSTAS, METRICAS, registrar=True)

    resultado = lexaro_contract.verificar_contrato(contrato, openai_api_key="sk-teste")

    # One engine, one run, over the path as text; the three questions in order.
    (cliente,) = sdk.clientes
    assert cliente.processados == [str(contrato)]
    assert [q.config.id for q in cliente.questions] == ["empresas", "assinaturas", "dados_contrato"]
    assert sdk.documento.perguntas == ["empresas", "assinaturas", "dados_contrato"]

    # The registry was asked exactly this, in this order; nothing more.
    pedidos = [(req.method, req.path) for req, _ in registry.log]
    assert pedidos == [
        ("GET", "/api/cnpj/v1/11222333000181"),
        ("GET", "/api/cnpj/v1/44555666000102"),
        ("GET", "/v1/cnpj/44555666000102"),
        ("GET", "/api/cnpj/v1/77888999000110"),
        ("GET", "/v1/cnpj/77888999000110"),
        ("POST", "/v2/public/cnpj/search"),
        ("GET", "/api/cnpj/v1/77888999000155"),
    ]
    assert json.loads(registry.log[5][0].get_data())["query"]["termo"] == ["Cidra Alimentos Eireli"]
    registry.check_assertions()

    sim_aurora, end_aurora = "80%", "DAS ACACIAS 120 JARDIM PRIMAVERA CAMPINAS SP 13000100"
    sim_cidra, end_cidra = "43%", "XV DE NOVEMBRO 45 CENTRO RIBEIRAO PRETO SP 14010000"
    assert list(resultado) == [
        "resultado_final",
        "justificativa",
        "campos_aprovados",
        "campos_reprovados",
        "campos_pendentes",
        "total_campos",
        "total_aprovados",
        "total_reprovados",
        "total_pendentes",
        "empresas",
        "assinaturas",
        "dados_contrato",
        "metricas",
    ]
    assert resultado == {
        "resultado_final": "REPROVADO",
        "justificativa": "2 campo(s) reprovado(s)",
        "campos_aprovados": APROVADOS,
        "campos_reprovados": REPROVADOS,
        "campos_pendentes": PENDENTES,
        "total_campos": 15,
        "total_aprovados": 10,
        "total_reprovados": 2,
        "total_pendentes": 3,
        "empresas": empresas_esperadas(sim_aurora, end_aurora, sim_cidra, end_cidra),
        "assinaturas": ASSINATURAS_ESPERADAS,
        "dados_contrato": DADOS_CONTRATO,
        "metricas": {"tokens": 18342, "custo_usd": 0.0461, "tempo_segundos": 12.345},
    }

    assert capsys.readouterr().out.split("\n") == [
        " ",
        DUPLA,
        "🔍 VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO",
        "📄 Arquivo: contrato_aurora.pdf",
        " " + DUPLA,
        " ",
        "📤 Extraindo dados do contrato...",
        "🏢 Empresas extraídas: 3",
        "✍️ Assinaturas extraídas: 6",
        " ",
        "🔍 Validando empresas na Receita Federal...",
        "🏢 ",
        "--- Verificando: Aurora Tecnologia Ltda ---",
        "🔍 Consultando CNPJ 11.222.333/0001-81...",
        "🏢 ",
        "--- Verificando: Boreal Logística S.A. ---",
        "🔍 Consultando CNPJ 44.555.666/0001-02...",
        "🏢 ",
        "--- Verificando: Cidra Alimentos Eireli ---",
        "🔍 Consultando CNPJ 77.888.999/0001-10...",
        "🔎 Buscando por nome: Cidra Alimentos Eireli...",
        " ✅ Encontrado: 77.888.999/0001-55",
        "✍️ ",
        "--- Verificando Assinaturas ---",
        "👤 Verificando: Marcos Vinícius Prado",
        " ✅ Marcos Vinícius Prado TEM PODER (Sócio-Administrador)",
        "👤 Verificando: Otávio Mendes",
        " ❌ Otávio Mendes NÃO TEM PODER",
        "👤 Verificando: Lúcia Ferraz",
        " ✅ Lúcia Ferraz TEM PODER (Administrador)",
        "👤 Verificando: Paulo Henrique Dias",
        " ℹ️ Paulo Henrique Dias - testemunha",
        "👤 Verificando: Sérgio Tavares",
        " ⚠️ Sérgio Tavares - não foi possível verificar",
        "",
        DUPLA,
        "❌❌❌ RESULTADO FINAL: REPROVADO ❌❌❌",
        DUPLA,
        "   2 campo(s) reprovado(s)",
        "",
        SIMPLES,
        "📋 CAMPOS VERIFICADOS",
        SIMPLES,
        "   ✅ Aprovados: 10",
        "   ❌ Reprovados: 2",
        "   ⚠️ Pendentes: 3",
        "",
        "   ✅ APROVADOS:",
        *[f"      • {i}" for i in APROVADOS],
        "",
        "   ❌ REPROVADOS:",
        *[f"      • {i}" for i in REPROVADOS],
        "",
        "   ⚠️ PENDENTES:",
        *[f"      • {i}" for i in PENDENTES],
        "",
        SIMPLES,
        "🏢 EMPRESAS (3)",
        SIMPLES,
        "",
        "   ✅ AURORA TECNOLOGIA LTDA",
        "      CNPJ: 11.222.333/0001-81",
        "      ✅ CNPJ: CNPJ encontrado",
        "      ✅ Situação Cadastral: Empresa ATIVA",
        "      ✅ Razão Social: Confere",
        f"      ✅ Endereço: Similaridade: {sim_aurora}",
        "",
        "   ❌ BOREAL LOGISTICA S.A.",
        "      CNPJ: 44.555.666/0001-02",
        "      ✅ CNPJ: CNPJ encontrado",
        "      ❌ Situação Cadastral: Empresa BAIXADA",
        "      ✅ Razão Social: Confere",
        "",
        "   ✅ CIDRA ALIMENTOS LTDA",
        "      CNPJ: 77.888.999/0001-55 (encontrado por busca)",
        "      ⚠️ CNPJ: CNPJ do contrato não encontrado; empresa localizada pelo nome",
        "      ✅ Situação Cadastral: Empresa ATIVA",
        "      ✅ Razão Social: Confere",
        f"      ⚠️ Endereço: Similaridade: {sim_cidra}",
        "",
        SIMPLES,
        "✍️ ASSINATURAS (6)",
        SIMPLES,
        "",
        "   ✅ Marcos Vinícius Prado",
        "      Cargo: Sócio-Administrador",
        "      ✅ Poder de Assinatura: Signatário tem poder (Sócio-Administrador)",
        "",
        "   ❌ Otávio Mendes",
        "      Cargo: Diretor",
        "      ❌ Poder de Assinatura: Signatário NÃO encontrado no QSA",
        "",
        "   ✅ Lúcia Ferraz",
        "      Cargo: Procuradora",
        "      ✅ Poder de Assinatura: Signatário tem poder (Administrador)",
        "",
        "   ❌ Paulo Henrique Dias",
        "      ➖ Poder de Assinatura: Testemunha: poder de assinatura não exigido",
        "",
        "   ❌ (não identificado)",
        "      ➖ Identificação: Signatário não identificado",
        "",
        "   ❌ Sérgio Tavares",
        "      ⚠️ Poder de Assinatura: Não foi possível verificar",
        "",
        SIMPLES,
        "💰 MÉTRICAS",
        SIMPLES,
        "   Tokens: 18,342",
        "   Custo: $0.0461",
        "   Tempo: 12.3s",
        "",
        DUPLA,
        "",
    ]


def test_quiet_run_prints_nothing_and_returns_the_same(registry, sdk, contrato, capsys):
    servir_cenario(registry)
    sdk.documento = Documento(RESPOSTAS, METRICAS)
    falado = lexaro_contract.verificar_contrato(contrato, openai_api_key="sk-teste", verbose=True)
    capsys.readouterr()
    calado = lexaro_contract.verificar_contrato(contrato, openai_api_key="sk-teste", verbose=0)
    assert capsys.readouterr().out == ""
    assert calado == falado
    assert len(sdk.clientes) == 2  # a new checker, and engine, per call


def test_registry_unreachable_rejects_every_company(registry, sdk, contrato, apontar_registro):
    # Nothing answers: every lookup yields None, no error reaches the caller.
    apontar_registro(replace(Enderecos.atuais(), brasil_api=registry.url_for("/fora/{cnpj}"),
                             receita_ws=registry.url_for("/fora2/{cnpj}")))
    registry.expect_request("/v2/public/cnpj/search", method="POST").respond_with_data("", status=503)
    sdk.documento = Documento(RESPOSTAS, METRICAS)
    r = lexaro_contract.verificar_contrato(contrato, openai_api_key="sk-teste", verbose=False)
    assert r["campos_reprovados"] == [
        "CNPJ - Aurora Tecnologia Ltda",
        "CNPJ - Boreal Logística S.A.",
        "CNPJ - Cidra Alimentos Eireli",
    ]
    assert r["campos_pendentes"] == [
        "Poder de Assinatura - Marcos Vinícius Prado",
        "Poder de Assinatura - Otávio Mendes",
        "Poder de Assinatura - Lúcia Ferraz",
        "Poder de Assinatura - Sérgio Tavares",
    ]
    assert r["resultado_final"] == "REPROVADO" and r["justificativa"] == "3 campo(s) reprovado(s)"


# ---------------------------------------------------------------- verdict rules


def empresa_com(*status, receita="ALFA LTDA", contrato="Alfa", cnpj_="1"):
    return EmpresaVerificada(
        cnpj=cnpj_,
        razao_social_receita=receita,
        razao_social_contrato=contrato,
        campos=[CampoVerificado(campo=f"C{i}", status=s) for i, s in enumerate(status)],
    )


def assinatura_com(*status, nome="Ana"):
    return AssinaturaVerificada(
        nome_signatario=nome, campos=[CampoVerificado(campo=f"P{i}", status=s) for i, s in enumerate(status)]
    )


@pytest.fixture
def pdf(tmp_path):
    return make_pdf(tmp_path / "c.pdf")


def verificar_com(pdf, empresas, assinaturas, verbose=False):
    c = make_checker(Motor(Documento({})), verbose=verbose)
    c._validar_empresas = lambda lista: (empresas, {})
    c._validar_assinaturas = lambda lista, cache: assinaturas
    return c.verificar(pdf)


@pytest.mark.parametrize(
    "empresas, assinaturas, veredito, justificativa",
    [
        ([empresa_com("aprovado", "aprovado")], [assinatura_com("aprovado")], "APROVADO", "Todos os 3 campos verificados foram aprovados"),
        ([empresa_com("aprovado", "reprovado", "pendente")], [], "REPROVADO", "1 campo(s) reprovado(s)"),
        ([empresa_com("aprovado")] * 5 + [empresa_com("reprovado")], [], "REPROVADO", "1 campo(s) reprovado(s)"),
        ([empresa_com("reprovado")], [assinatura_com("reprovado", "reprovado")], "REPROVADO", "3 campo(s) reprovado(s)"),
        ([empresa_com("aprovado", "pendente")], [assinatura_com("pendente")], "PENDENTE", "2 campo(s) requer(em) análise manual"),
        ([empresa_com("aprovado", "nao_verificado")], [assinatura_com("nao_verificado")], "APROVADO", "Todos os 1 campos verificados foram aprovados"),
        ([empresa_com("Aprovado", "APROVADO", "outro")], [], "PENDENTE", "Nenhum campo verificado: nenhuma empresa ou signatário identificado no contrato"),
        # Nothing counted at all: no company, only witnesses or unidentified signatories.
        ([], [], "PENDENTE", "Nenhum campo verificado: nenhuma empresa ou signatário identificado no contrato"),
        ([], [assinatura_com("nao_verificado")], "PENDENTE", "Nenhum campo verificado: nenhuma empresa ou signatário identificado no contrato"),
    ],
)
def test_verdict_rules(pdf, empresas, assinaturas, veredito, justificativa):
    r = verificar_com(pdf, empresas, assinaturas)
    assert (r["resultado_final"], r["justificativa"]) == (veredito, justificativa)
    assert r["total_campos"] == r["total_aprovados"] + r["total_reprovados"] + r["total_pendentes"]
    assert r["total_aprovados"] == len(r["campos_aprovados"])


def test_items_companies_first_with_owner_fallbacks(pdf):
    empresas = [
        empresa_com("pendente", receita="RECEITA SA", contrato="Contrato"),
        empresa_com("pendente", receita="", contrato="Só Contrato"),
        empresa_com("pendente", receita=None, contrato="", cnpj_="12.345"),
        empresa_com("aprovado", receita=None, contrato=None, cnpj_=None),
    ]
    r = verificar_com(pdf, empresas, [assinatura_com("pendente", "aprovado", nome="Zé")])
    assert r["campos_pendentes"] == ["C0 - RECEITA SA", "C0 - Só Contrato", "C0 - 12.345", "P0 - Zé"]
    assert r["campos_aprovados"] == ["C0 - None", "P1 - Zé"]


def test_records_of_other_kinds_are_read_by_attribute(pdf):
    campo_ = SimpleNamespace(campo=7, status="reprovado")
    emp = SimpleNamespace(razao_social_receita=0, razao_social_contrato=b"x", cnpj=None, campos=(campo_,))
    emp.model_dump = lambda: {"emp": 1}
    r = verificar_com(pdf, [emp], [])
    assert r["campos_reprovados"] == ["7 - b'x'"] and r["empresas"] == [{"emp": 1}]


# ---------------------------------------------------------------- engine, answers, report


def test_engine_unavailable_gives_seven_keys(pdf, capsys):
    c = make_checker(None, disponivel=False)
    r1 = c.verificar(pdf)
    assert r1 == {
        "resultado_final": "PENDENTE",
        "justificativa": "Lexaro não disponível. Instale com: pip install lexaro",
        "campos_aprovados": [],
        "campos_reprovados": [],
        "campos_pendentes": ["Extração de dados não disponível"],
        "empresas": [],
        "assinaturas": [],
    }
    assert list(r1) == [
        "resultado_final",
        "justificativa",
        "campos_aprovados",
        "campos_reprovados",
        "campos_pendentes",
        "empresas",
        "assinaturas",
    ]
    assert capsys.readouterr().out.split("\n") == [
        " ",
        DUPLA,
        "🔍 VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO",
        "📄 Arquivo: c.pdf",
        " " + DUPLA,
        "",
    ]
    r1["campos_pendentes"].append("x")
    r1["empresas"].append(1)
    r2 = c.verificar(pdf)
    assert r2["campos_pendentes"] == ["Extração de dados não disponível"] and r2["empresas"] == []


def test_engine_that_fails_to_start(pdf, sdk, capsys, monkeypatch):
    def quebra(**kw):
        raise RuntimeError("sem rede")

    monkeypatch.setattr(sys.modules["lexaro"], "Lexaro", quebra)
    c = ContractChecker(openai_api_key="sk-teste")
    r = c.verificar(pdf)
    assert r["resultado_final"] == "PENDENTE" and len(r) == 7
    assert "❌ Erro ao inicializar Lexaro: sem rede" in capsys.readouterr().out.split("\n")


def test_empty_answers(pdf, capsys):
    doc = Documento({"empresas": {}, "assinaturas": {"outra": [1]}, "dados_contrato": {}}, registrar=True)
    c = make_checker(Motor(doc), verbose=False)
    r = c.verificar(str(pdf))
    assert r["empresas"] == [] and r["assinaturas"] == [] and r["dados_contrato"] == {}
    assert r["total_campos"] == 0 and r["resultado_final"] == "PENDENTE"
    assert doc.perguntas == ["empresas", "assinaturas", "dados_contrato"]
    assert capsys.readouterr().out == ""


def test_contract_data_is_the_raw_answer_and_metrics_are_read(pdf):
    dados = {"objeto": "x", "extra": [1, 2]}
    m = SimpleNamespace(tokens=5, cost_usd=1, time_seconds=None)
    c = make_checker(Motor(Documento({"dados_contrato": dados}, m)), verbose=False)
    r = c.verificar(pdf)
    assert r["dados_contrato"] is dados
    assert r["metricas"] == {"tokens": 5, "custo_usd": 1, "tempo_segundos": None}


def test_answers_build_records_by_keyword(pdf, monkeypatch):
    recebidos = []

    def empresa(**kw):
        recebidos.append(("E", kw))
        return SimpleNamespace(cnpj=None, razao_social=None, endereco=None, papel_no_contrato=None, **kw)

    def assinatura_(**kw):
        recebidos.append(("A", kw))
        return SimpleNamespace(nome_signatario=None, tipo_assinatura=None, **kw)

    monkeypatch.setattr(checker, "EmpresaExtraida", empresa)
    monkeypatch.setattr(checker, "AssinaturaExtraida", assinatura_)
    respostas = {
        "empresas": {"empresas": [{"x": 1}, UserDict({"y": 2})]},
        "assinaturas": {"assinaturas": ({"z": 3},)},
    }
    c = make_checker(Motor(Documento(respostas)), verbose=False)
    vistos = {}
    c._validar_empresas = lambda lista: vistos.setdefault("e", lista) and ([], {"k": 1})
    c._validar_assinaturas = lambda lista, cache: vistos.setdefault("a", (lista, cache)) and []
    c.verificar(pdf)
    assert recebidos == [("E", {"x": 1}), ("E", {"y": 2}), ("A", {"z": 3})]
    assert type(vistos["e"]) is list and len(vistos["e"]) == 2
    assert vistos["a"][1] == {"k": 1}


@pytest.mark.parametrize("entrada", [None, [("cnpj", "1")], 5, "abc"])
def test_bad_answer_entry_fails_like_keyword_expansion(pdf, entrada):
    c = make_checker(Motor(Documento({"empresas": {"empresas": [entrada]}})), verbose=False)
    with pytest.raises(TypeError) as nativo:
        c.verificar(pdf)
    with pytest.raises(TypeError) as python:
        checker.EmpresaExtraida(**entrada)
    assert str(nativo.value) == str(python.value)
    assert "argument after ** must be a mapping" in str(nativo.value)


def test_answer_entry_rejected_by_record_type(pdf):
    from pydantic import ValidationError

    c = make_checker(Motor(Documento({"assinaturas": {"assinaturas": [{"nome_signatario": ["lista"]}]}})))
    with pytest.raises(ValidationError):
        c.verificar(pdf)


@pytest.mark.parametrize("par", [None, ([],), ([], {}, []), 3])
def test_company_step_must_return_a_pair(pdf, par):
    c = make_checker(Motor(Documento({})), verbose=False)
    c._validar_empresas = lambda lista: par
    with pytest.raises((TypeError, ValueError)) as nativo:
        c.verificar(pdf)
    with pytest.raises((TypeError, ValueError)) as python:
        a, b = par
    assert type(nativo.value) is type(python.value) and str(nativo.value) == str(python.value)


class Falha(Exception):
    pass


@pytest.mark.parametrize("onde", ["process", "get_result", "raw_result", "validar", "relatorio", "model_dump", "metricas"])
def test_errors_pass_through_unchanged(pdf, onde):
    erro = Falha(onde)

    def levanta(*a, **k):
        raise erro

    class PerguntaQuebrada:
        @property
        def raw_result(self):
            raise erro

    doc = Documento({"empresas": {"empresas": []}})
    motor = Motor(doc)
    c = make_checker(motor, verbose=True)
    if onde == "process":
        motor.process = levanta
    elif onde == "get_result":
        doc.get_result = levanta
    elif onde == "raw_result":
        doc.get_result = lambda q: PerguntaQuebrada()
    elif onde == "validar":
        c._validar_assinaturas = levanta
    elif onde == "relatorio":
        c._imprimir_relatorio = levanta
    elif onde == "model_dump":
        emp = empresa_com("aprovado")
        object.__setattr__(emp, "model_dump", levanta)
        c._validar_empresas = lambda lista: ([emp], {})
    elif onde == "metricas":
        c.verbose = False
        doc.metricas = type("M", (), {"tokens": 1, "cost_usd": property(levanta), "time_seconds": 0})()
    with pytest.raises(Falha) as info:
        c.verificar(pdf)
    assert info.value is erro


def test_report_called_with_the_records_themselves(pdf):
    empresas = [empresa_com("aprovado")]
    assinaturas = [assinatura_com("pendente")]
    m = SimpleNamespace(tokens=1, cost_usd=2, time_seconds=3)
    dados = {"valor": "R$ 1,00"}
    c = make_checker(Motor(Documento({"dados_contrato": dados}, m)))
    c._validar_empresas = lambda lista: (empresas, {})
    c._validar_assinaturas = lambda lista, cache: assinaturas
    chamadas = []
    c._imprimir_relatorio = lambda *a, **k: chamadas.append((a, k))
    r = c.verificar(pdf)
    ((args, kw),) = chamadas
    assert args == ()
    assert list(kw) == [
        "resultado_final",
        "justificativa",
        "campos_aprovados",
        "campos_reprovados",
        "campos_pendentes",
        "empresas",
        "assinaturas",
        "dados_contrato",
        "metricas",
    ]
    assert kw["empresas"] is empresas and kw["assinaturas"] is assinaturas
    assert kw["dados_contrato"] is dados and kw["metricas"] is m
    assert kw["campos_pendentes"] == r["campos_pendentes"] == ["P0 - Ana"]
    assert (kw["resultado_final"], kw["justificativa"]) == ("PENDENTE", "1 campo(s) requer(em) análise manual")


def test_verbose_is_read_at_each_call(pdf, capsys):
    c = make_checker(Motor(Documento({})), verbose=False)
    c.verificar(pdf)
    assert capsys.readouterr().out == ""
    c.verbose = True
    c.verificar(pdf)
    assert "⚠️⚠️⚠️ RESULTADO FINAL: PENDENTE ⚠️⚠️⚠️" in capsys.readouterr().out.split("\n")


# ---------------------------------------------------------------- path and arguments


def test_missing_file_raises_before_any_output(tmp_path, capsys):
    c = make_checker(Motor(Documento({})))
    falta = tmp_path / "nao_existe.pdf"
    for doc in (falta, str(falta)):
        with pytest.raises(FileNotFoundError) as info:
            c.verificar(doc)
        assert str(info.value) == f"Arquivo não encontrado: {falta}"
        assert info.value.args == (f"Arquivo não encontrado: {falta}",)
    assert capsys.readouterr().out == ""


def test_path_is_converted_through_module_path(pdf, monkeypatch):
    vistos = []

    class Caminho(type(Path())):
        pass

    def fabrica(x):
        vistos.append(x)
        return Caminho(x)

    monkeypatch.setattr(checker, "Path", fabrica)
    motor = Motor(Documento({}), registrar=True)
    make_checker(motor, verbose=False).verificar(pdf)
    assert vistos == [pdf] and motor.processados == [str(pdf)]
    assert type(motor.processados[0]) is str


@pytest.mark.parametrize("doc", [123, None, ["a"]])
def test_path_conversion_error(doc):
    with pytest.raises(TypeError) as nativo:
        make_checker().verificar(doc)
    with pytest.raises(TypeError) as python:
        Path(doc)
    assert str(nativo.value) == str(python.value)


def test_method_arguments():
    c = make_checker()
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'documento'"):
        c.verificar()
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        c.verificar("a", "b")
    assert str(inspect.signature(ContractChecker.verificar)) == "(self, /, documento)"
    assert ContractChecker.verificar.__doc__ == "Verifica a legitimidade de um contrato."


def test_member_order():
    nomes = [n for n in vars(ContractChecker) if not n.startswith("__")]
    assert nomes[-4:] == ["_validar_empresas", "_validar_assinaturas", "verificar", "_imprimir_relatorio"]


# ---------------------------------------------------------------- verificar_contrato


def test_verificar_contrato_builds_a_checker_with_two_keywords(pdf, monkeypatch):
    recebidos = []

    class Falso:
        def __init__(self, **kw):
            recebidos.append(kw)

        def verificar(self, documento):
            return ("ok", documento)

    monkeypatch.setattr(checker, "ContractChecker", Falso)
    assert checker.verificar_contrato(pdf) == ("ok", pdf)
    assert checker.verificar_contrato(documento="x", verbose=0, openai_api_key="k") == ("ok", "x")
    assert recebidos == [{"openai_api_key": None, "verbose": True}, {"openai_api_key": "k", "verbose": 0}]


@pytest.mark.parametrize("chave", [1, b"k", ["k"]])
def test_verificar_contrato_key_type_checked_first(chave, monkeypatch):
    monkeypatch.setattr(checker, "ContractChecker", None)
    with pytest.raises(TypeError, match="'openai_api_key'"):
        checker.verificar_contrato("x", chave)


def test_verificar_contrato_missing_credentials(monkeypatch, pdf):
    for var in ("LEXARO_PROVIDER", "OPENAI_API_KEY", "LEXARO_API_TOKEN"):
        monkeypatch.delenv(var, raising=False)
    with pytest.raises(ValueError, match="OpenAI API key não configurada"):
        checker.verificar_contrato(pdf)


def test_verificar_contrato_interface():
    assert lexaro_contract.verificar_contrato is checker.verificar_contrato
    assert str(inspect.signature(checker.verificar_contrato)) == "(documento, openai_api_key=None, verbose=True)"
    assert checker.verificar_contrato.__doc__.startswith("Função de conveniência para verificar um contrato.")
    assert "from lexaro_contract import verificar_contrato" in checker.verificar_contrato.__doc__
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'documento'"):
        checker.verificar_contrato()
