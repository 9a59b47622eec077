"""The printed report of a verification (ContractChecker._imprimir_relatorio)."""

import inspect
from types import SimpleNamespace

import pytest

from checker_support import make_checker
from lexaro_contract import checker
from lexaro_contract.checker import ContractChecker
from lexaro_contract.models import AssinaturaVerificada, CampoVerificado, EmpresaVerificada

DUPLA = "=" * 60
SIMPLES = "─" * 60


def metricas(tokens=0, cost_usd=0.0, time_seconds=0.0):
    return SimpleNamespace(tokens=tokens, cost_usd=cost_usd, time_seconds=time_seconds)


def relatorio(c=None, **kw):
    args = dict(
        resultado_final="APROVADO",
        justificativa="ok",
        campos_aprovados=[],
        campos_reprovados=[],
        campos_pendentes=[],
        empresas=[],
        assinaturas=[],
        dados_contrato={},
        metricas=metricas(),
    )
    args.update(kw)
    return (c or make_checker())._imprimir_relatorio(**args)


def rodape(tokens="0", custo="0.0000", tempo="0.0"):
    return [
        "",
        SIMPLES,
        "💰 MÉTRICAS",
        SIMPLES,
        f"   Tokens: {tokens}",
        f"   Custo: ${custo}",
        f"   Tempo: {tempo}s",
        "",
        DUPLA,
    ]


def test_full_report_line_by_line(capsys):
    empresas = [
        EmpresaVerificada(
            cnpj="11.222.333/0001-81",
            razao_social_contrato="Aurora Tecnologia Ltda",
            razao_social_receita="AURORA TECNOLOGIA LTDA",
            campos=[
                CampoVerificado(campo="CNPJ", status="aprovado", mensagem="CNPJ encontrado"),
                CampoVerificado(campo="Situação Cadastral", status="reprovado", mensagem="Empresa BAIXADA"),
            ],
            empresa_ativa=False,
        ),
        EmpresaVerificada(
            cnpj="77.888.999/0001-55",
            razao_social_contrato="Cidra Alimentos Eireli",
            campos=[CampoVerificado(campo="Endereço", status="pendente", mensagem="Similaridade: 40%")],
            cnpj_buscado_por_nome=True,
            empresa_ativa=True,
        ),
    ]
    assinaturas = [
        AssinaturaVerificada(
            nome_signatario="Marcos Prado",
            cargo="Sócio-Administrador",
            campos=[CampoVerificado(campo="Poder de Assinatura", status="aprovado", mensagem="tem poder")],
            tem_poder_assinatura=True,
        ),
        AssinaturaVerificada(
            nome_signatario="Paulo Dias",
            campos=[CampoVerificado(campo="Poder de Assinatura", status="nao_verificado", mensagem="Testemunha")],
        ),
    ]
    assert (
        relatorio(
            resultado_final="REPROVADO",
            justificativa="1 campo(s) reprovado(s)",
            campos_aprovados=["CNPJ - AURORA TECNOLOGIA LTDA", "Poder de Assinatura - Marcos Prado"],
            campos_reprovados=["Situação Cadastral - AURORA TECNOLOGIA LTDA"],
            campos_pendentes=["Endereço - Cidra Alimentos Eireli"],
            empresas=empresas,
            assinaturas=assinaturas,
            dados_contrato={"objeto": "não impresso"},
            metricas=metricas(1234567, 0.5, 42),
        )
        is None
    )
    assert capsys.readouterr().out.split("\n") == [
        "",
        DUPLA,
        "❌❌❌ RESULTADO FINAL: REPROVADO ❌❌❌",
        DUPLA,
        "   1 campo(s) reprovado(s)",
        "",
        SIMPLES,
        "📋 CAMPOS VERIFICADOS",
        SIMPLES,
        "   ✅ Aprovados: 2",
        "   ❌ Reprovados: 1",
        "   ⚠️ Pendentes: 1",
        "",
        "   ✅ APROVADOS:",
        "      • CNPJ - AURORA TECNOLOGIA LTDA",
        "      • Poder de Assinatura - Marcos Prado",
        "",
        "   ❌ REPROVADOS:",
        "      • Situação Cadastral - AURORA TECNOLOGIA LTDA",
        "",
        "   ⚠️ PENDENTES:",
        "      • Endereço - Cidra Alimentos Eireli",
        "",
        SIMPLES,
        "🏢 EMPRESAS (2)",
        SIMPLES,
        "",
        "   ❌ AURORA TECNOLOGIA LTDA",
        "      CNPJ: 11.222.333/0001-81",
        "      ✅ CNPJ: CNPJ encontrado",
        "      ❌ Situação Cadastral: Empresa BAIXADA",
        "",
        "   ✅ Cidra Alimentos Eireli",
        "      CNPJ: 77.888.999/0001-55 (encontrado por busca)",
        "      ⚠️ Endereço: Similaridade: 40%",
        "",
        SIMPLES,
        "✍️ ASSINATURAS (2)",
        SIMPLES,
        "",
        "   ✅ Marcos Prado",
        "      Cargo: Sócio-Administrador",
        "      ✅ Poder de Assinatura: tem poder",
        "",
        "   ❌ Paulo Dias",
        "      ➖ Poder de Assinatura: Testemunha",
        *rodape("1,234,567", "0.5000", "42.0"),
        "",
    ]


@pytest.mark.parametrize(
    "veredito, cabecalho",
    [
        ("APROVADO", "✅✅✅ RESULTADO FINAL: APROVADO ✅✅✅"),
        ("REPROVADO", "❌❌❌ RESULTADO FINAL: REPROVADO ❌❌❌"),
        ("PENDENTE", "⚠️⚠️⚠️ RESULTADO FINAL: PENDENTE ⚠️⚠️⚠️"),
        ("X", "❓❓❓ RESULTADO FINAL: X ❓❓❓"),
        ("aprovado", "❓❓❓ RESULTADO FINAL: aprovado ❓❓❓"),
    ],
)
def test_verdict_header(capsys, veredito, cabecalho):
    relatorio(resultado_final=veredito)
    assert capsys.readouterr().out.split("\n")[2] == cabecalho


def test_empty_report_has_counts_zero_and_no_lists(capsys):
    relatorio(justificativa="nada")
    assert capsys.readouterr().out.split("\n") == [
        "",
        DUPLA,
        "✅✅✅ RESULTADO FINAL: APROVADO ✅✅✅",
        DUPLA,
        "   nada",
        "",
        SIMPLES,
        "📋 CAMPOS VERIFICADOS",
        SIMPLES,
        "   ✅ Aprovados: 0",
        "   ❌ Reprovados: 0",
        "   ⚠️ Pendentes: 0",
        "",
        SIMPLES,
        "🏢 EMPRESAS (0)",
        SIMPLES,
        "",
        SIMPLES,
        "✍️ ASSINATURAS (0)",
        SIMPLES,
        *rodape(),
        "",
    ]


@pytest.mark.parametrize(
    "empresa, linhas",
    [
        (EmpresaVerificada(cnpj="", razao_social_contrato="", razao_social_receita=""), ["   ❌ N/A", "      CNPJ: N/A"]),
        (EmpresaVerificada(), ["   ❌ N/A", "      CNPJ: N/A"]),
        (
            EmpresaVerificada(razao_social_contrato="Beta", cnpj="123", empresa_ativa=True),
            ["   ✅ Beta", "      CNPJ: 123"],
        ),
        (
            EmpresaVerificada(razao_social_receita="GAMA SA", razao_social_contrato="Gama", cnpj_buscado_por_nome=True),
            ["   ❌ GAMA SA", "      CNPJ: N/A (encontrado por busca)"],
        ),
    ],
)
def test_company_heading(capsys, empresa, linhas):
    relatorio(empresas=[empresa])
    out = capsys.readouterr().out.split("\n")
    i = out.index("🏢 EMPRESAS (1)")
    assert out[i + 2 : i + 5] == [""] + linhas


def test_cnpj_row_is_two_prints(monkeypatch):
    chamadas = []
    monkeypatch.setattr(checker, "print", lambda *a, **k: chamadas.append((a, k)), raising=False)
    relatorio(
        empresas=[
            EmpresaVerificada(cnpj="1", razao_social_contrato="A", cnpj_buscado_por_nome=True),
            EmpresaVerificada(cnpj="2", razao_social_contrato="B"),
        ]
    )
    cnpj_rows = [i for i, (a, k) in enumerate(chamadas) if a and str(a[0]).startswith("      CNPJ: ")]
    assert [chamadas[i : i + 2] for i in cnpj_rows] == [
        [(("      CNPJ: 1",), {"end": ""}), ((" (encontrado por busca)",), {})],
        [(("      CNPJ: 2",), {"end": ""}), ((), {})],
    ]
    # Every other line is a single positional print.
    assert all(len(a) == 1 and not k for j, (a, k) in enumerate(chamadas) if j not in cnpj_rows and j - 1 not in cnpj_rows)


def test_signatory_without_cargo_and_field_emoji_of_record(capsys):
    campo = SimpleNamespace(emoji="🔶", campo="Poder", mensagem="m", status="ignored")
    ass = SimpleNamespace(tem_poder_assinatura=0, nome_signatario="Ana", cargo="", campos=[campo])
    relatorio(assinaturas=[ass])
    out = capsys.readouterr().out.split("\n")
    i = out.index("✍️ ASSINATURAS (1)")
    assert out[i + 2 : i + 5] == ["", "   ❌ Ana", "      🔶 Poder: m"]


@pytest.mark.parametrize(
    "m, linhas",
    [
        (metricas(1234567, 0.5, 42), ["   Tokens: 1,234,567", "   Custo: $0.5000", "   Tempo: 42.0s"]),
        (metricas(0, 0, 0), ["   Tokens: 0", "   Custo: $0.0000", "   Tempo: 0.0s"]),
        (metricas(999, 0.123456, 3.26), ["   Tokens: 999", "   Custo: $0.1235", "   Tempo: 3.3s"]),
        (metricas(-1000, 12, 0.04), ["   Tokens: -1,000", "   Custo: $12.0000", "   Tempo: 0.0s"]),
        (metricas(1.5, 1, 1), ["   Tokens: 1.5", "   Custo: $1.0000", "   Tempo: 1.0s"]),
    ],
)
def test_metric_formats(capsys, m, linhas):
    relatorio(metricas=m)
    assert capsys.readouterr().out.split("\n")[-6:-3] == linhas


@pytest.mark.parametrize(
    "campo, valor",
    [
        ("resultado_final", None),
        ("resultado_final", 1),
        ("justificativa", b"x"),
        ("campos_aprovados", ()),
        ("campos_reprovados", None),
        ("campos_pendentes", "abc"),
        ("empresas", (EmpresaVerificada(),)),
        ("assinaturas", None),
        ("dados_contrato", None),
        ("dados_contrato", []),
    ],
)
def test_wrong_types_rejected_before_printing(capsys, campo, valor):
    with pytest.raises(TypeError, match=f"'{campo}'"):
        relatorio(**{campo: valor})
    assert capsys.readouterr().out == ""


def test_subclass_of_str_rejected(capsys):
    class S(str):
        pass

    with pytest.raises(TypeError, match="'resultado_final'"):
        relatorio(resultado_final=S("APROVADO"))
    assert capsys.readouterr().out == ""


def test_metricas_missing_attribute_propagates_after_lines(capsys):
    with pytest.raises(AttributeError, match="cost_usd"):
        relatorio(metricas=SimpleNamespace(tokens=5))
    assert capsys.readouterr().out.endswith("💰 MÉTRICAS\n" + SIMPLES + "\n   Tokens: 5\n")


def test_bad_number_format_propagates():
    with pytest.raises(ValueError, match="Cannot specify ','"):
        relatorio(metricas=metricas(tokens="12"))


def test_error_from_record_attribute_propagates():
    class Boom(Exception):
        pass

    class Rec:
        @property
        def empresa_ativa(self):
            raise Boom("x")

    with pytest.raises(Boom):
        relatorio(empresas=[Rec()])


def test_arguments_bind_like_python():
    c = make_checker()
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'metricas'"):
        c._imprimir_relatorio("APROVADO", "j", [], [], [], [], [], {})
    with pytest.raises(TypeError, match=r"takes 10 positional arguments but 11 were given"):
        c._imprimir_relatorio("APROVADO", "j", [], [], [], [], [], {}, None, None)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'extra'"):
        relatorio(extra=1)
    assert list(inspect.signature(ContractChecker._imprimir_relatorio).parameters) == [
        "self",
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


def test_positional_call_and_non_verbose_checker_still_prints(capsys):
    # The report prints whatever the flag; only verificar decides to call it.
    make_checker(verbose=False)._imprimir_relatorio("PENDENTE", "j", ["a"], [], [], [], [], {}, metricas())
    out = capsys.readouterr().out.split("\n")
    assert out[2] == "⚠️⚠️⚠️ RESULTADO FINAL: PENDENTE ⚠️⚠️⚠️"
    assert out[13:15] == ["   ✅ APROVADOS:", "      • a"]
