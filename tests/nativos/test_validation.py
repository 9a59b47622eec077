"""Company validation (_validar_empresas) and signature validation
(_validar_assinaturas) of ContractChecker, against an in-process registry."""

import inspect
from collections import UserDict

import pytest

from checker_support import campo, make_checker
from fakes import registro, socio
from lexaro_contract import checker
from lexaro_contract.checker import ContractChecker
from lexaro_contract.models import AssinaturaExtraida, EmpresaExtraida


AURORA = registro("11.222.333/0001-81", "AURORA TECNOLOGIA LTDA", socios=[socio("MARCOS VINICIUS PRADO")])
CIDRA = registro(
    "77.888.999/0001-55",
    "CIDRA ALIMENTOS LTDA",
    socios=[
        socio("HELENA CASTRO", "Sócio"),
        socio("PARTICIPACOES XYZ LTDA", "Sócio", "LUCIA FERRAZ", "Administrador"),
    ],
)


class Registry:
    """Stands in for the registry functions of the module; records every call."""

    def __init__(self):
        self.por_cnpj = {}
        self.por_nome = {}
        self.endereco = (True, 1.0, "R DAS ACACIAS 120 JARDIM PRIMAVERA CAMPINAS SP 13000100")
        self.chamadas = []

    def consultar_cnpj(self, cnpj):
        self.chamadas.append(("consultar_cnpj", cnpj))
        return self.por_cnpj.get(cnpj)

    def buscar_cnpj_por_nome(self, nome):
        self.chamadas.append(("buscar_cnpj_por_nome", nome))
        return self.por_nome.get(nome)

    def comparar_enderecos(self, endereco, dados):
        self.chamadas.append(("comparar_enderecos", endereco, dados["cnpj"]))
        return self.endereco


@pytest.fixture
def reg(monkeypatch):
    r = Registry()
    for nome in ("consultar_cnpj", "buscar_cnpj_por_nome", "comparar_enderecos"):
        monkeypatch.setattr(checker, nome, getattr(r, nome))
    return r


@pytest.fixture
def logs():
    """A checker whose _log, replaced on the instance, records (emoji, msg)."""
    c = make_checker()
    linhas = []
    c._log = lambda msg, emoji="📋": linhas.append((emoji, msg))
    return c, linhas


def emp(**kw):
    return EmpresaExtraida(**kw)


def ass(**kw):
    return AssinaturaExtraida(**kw)


# ---------------------------------------------------------------- companies


def test_empty_company_list(capsys):
    r = make_checker()._validar_empresas([])
    assert type(r) is tuple and r == ([], {})
    assert capsys.readouterr().out == ""


def test_company_found_by_cnpj(reg, capsys):
    reg.por_cnpj["11222333000181"] = AURORA
    c = make_checker()
    empresas, cache = c._validar_empresas(
        [
            emp(
                cnpj="11.222.333/0001-81",
                razao_social="Aurora Tecnologia Ltda",
                endereco="Rua das Acácias, 120 - Campinas/SP",
                papel_no_contrato="contratante",
            )
        ]
    )
    assert capsys.readouterr().out.split("\n") == [
        "🏢 ",
        "--- Verificando: Aurora Tecnologia Ltda ---",
        "🔍 Consultando CNPJ 11.222.333/0001-81...",
        "",
    ]
    assert reg.chamadas == [
        ("consultar_cnpj", "11222333000181"),
        ("comparar_enderecos", "Rua das Acácias, 120 - Campinas/SP", "11.222.333/0001-81"),
    ]
    assert [e.model_dump() for e in empresas] == [
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
                    "Rua das Acácias, 120 - Campinas/SP",
                    "R DAS ACACIAS 120 JARDIM PRIMAVERA CAMPINAS SP 13000100",
                    "Similaridade: 100%",
                ),
            ],
            "cnpj_encontrado": True,
            "cnpj_buscado_por_nome": False,
            "empresa_ativa": True,
            "razao_social_confere": True,
            "socios": AURORA["socios"],
            "problemas": [],
        }
    ]
    assert list(cache) == ["11222333000181", "aurora tecnologia ltda"]
    assert all(v is AURORA for v in cache.values())


def test_company_without_cnpj_and_name(reg, logs):
    c, linhas = logs
    empresas, cache = c._validar_empresas([emp(papel_no_contrato="fiadora")])
    assert linhas == [("🏢", "\n--- Verificando: Empresa ---")]
    assert reg.chamadas == [] and cache == {}
    assert empresas[0].model_dump() == {
        "cnpj": "",
        "razao_social_contrato": None,
        "razao_social_receita": None,
        "papel_no_contrato": "fiadora",
        "campos": [campo("CNPJ", "reprovado", "(não informado)", None, "CNPJ não encontrado na Receita Federal")],
        "cnpj_encontrado": False,
        "cnpj_buscado_por_nome": False,
        "empresa_ativa": False,
        "razao_social_confere": False,
        "socios": [],
        "problemas": ["CNPJ não encontrado"],
    }


def test_short_cnpj_goes_straight_to_name_search(reg, logs):
    c, linhas = logs
    empresas, cache = c._validar_empresas([emp(cnpj="1234567890123", razao_social="Boreal")])
    assert linhas == [("🏢", "\n--- Verificando: Boreal ---"), ("🔎", "Buscando por nome: Boreal...")]
    assert reg.chamadas == [("buscar_cnpj_por_nome", "Boreal")]
    e = empresas[0]
    assert e.cnpj == "1234567890123" and e.razao_social_contrato == "Boreal"
    assert e.campos[0].valor_contrato == "1234567890123" and e.problemas == ["CNPJ não encontrado"]


@pytest.mark.parametrize("cnpj_contrato", ["77.888.999/0001-10", "7788899900011", "CNPJ 77888999000110"])
def test_contract_cnpj_differing_from_record_found_by_name_is_pending(reg, logs, cnpj_contrato):
    reg.por_nome["Cidra Alimentos Eireli"] = CIDRA
    c, linhas = logs
    empresas, cache = c._validar_empresas(
        [emp(cnpj=cnpj_contrato, razao_social="Cidra Alimentos Eireli", papel_no_contrato="contratada")]
    )
    assert linhas[-2:] == [("🔎", "Buscando por nome: Cidra Alimentos Eireli..."), ("", "✅ Encontrado: 77.888.999/0001-55")]
    d = empresas[0].model_dump()
    assert d["campos"][0] == campo(
        "CNPJ",
        "pendente",
        cnpj_contrato,
        "77.888.999/0001-55",
        "CNPJ do contrato não encontrado; empresa localizada pelo nome",
    )
    assert d["problemas"] == ["CNPJ do contrato não confere com o registro"]
    assert d["cnpj"] == "77.888.999/0001-55" and d["cnpj_buscado_por_nome"] is True
    assert d["campos"][1]["status"] == "aprovado" and d["campos"][2]["status"] == "aprovado"
    assert list(cache) == ["77888999000155", "cidra alimentos eireli"]


@pytest.mark.parametrize("cnpj_contrato", ["77.888.999/0001-55", "77888999000155"])
def test_contract_cnpj_equal_to_record_found_by_name_is_approved(reg, logs, cnpj_contrato):
    # The lookup by CNPJ found nothing (service down), the name search did.
    reg.por_nome["Cidra"] = CIDRA
    c, linhas = logs
    empresas, cache = c._validar_empresas([emp(cnpj=cnpj_contrato, razao_social="Cidra")])
    assert reg.chamadas == [("consultar_cnpj", "77888999000155"), ("buscar_cnpj_por_nome", "Cidra")]
    e = empresas[0]
    assert e.campos[0].model_dump() == campo(
        "CNPJ", "aprovado", cnpj_contrato, "77.888.999/0001-55", "CNPJ encontrado"
    )
    assert e.problemas == [] and e.cnpj_buscado_por_nome is True


def test_name_search_without_contract_cnpj(reg):
    reg.por_nome["Cidra Alimentos"] = CIDRA
    empresas, cache = make_checker(False)._validar_empresas([emp(razao_social="Cidra Alimentos")])
    assert empresas[0].campos[0].model_dump() == campo(
        "CNPJ", "aprovado", "(buscado automaticamente)", "77.888.999/0001-55", "CNPJ encontrado"
    )
    assert list(cache) == ["77888999000155", "cidra alimentos"]


@pytest.mark.parametrize(
    "situacao, ativa, mostrada",
    [
        ("ATIVA", True, "ATIVA"),
        ("ativa", True, "ATIVA"),
        ("INATIVA", True, "INATIVA"),
        ("Baixada", False, "BAIXADA"),
        ("SUSPENSA", False, "SUSPENSA"),
        ("", False, ""),
    ],
)
def test_registration_status(reg, situacao, ativa, mostrada):
    reg.por_cnpj["11222333000181"] = registro("11.222.333/0001-81", "AURORA", situacao)
    empresas, cache = make_checker(False)._validar_empresas(
        [emp(cnpj="11222333000181", razao_social="Aurora", endereco="Rua")]
    )
    e = empresas[0]
    assert e.empresa_ativa is ativa
    assert e.campos[1].model_dump() == campo(
        "Situação Cadastral",
        "aprovado" if ativa else "reprovado",
        "-",
        mostrada,
        "Empresa ATIVA" if ativa else f"Empresa {mostrada}",
    )
    assert e.problemas == ([] if ativa else [f"Empresa com situação: {mostrada}"])
    # Name and address are still checked and the record cached.
    assert [f.campo for f in e.campos] == ["CNPJ", "Situação Cadastral", "Razão Social", "Endereço"]
    assert list(cache) == ["11222333000181", "aurora"]


def test_missing_status_key(reg):
    rec = registro("11.222.333/0001-81", "AURORA")
    del rec["situacao"], rec["razao_social"]
    reg.por_cnpj["11222333000181"] = rec
    empresas, _ = make_checker(False)._validar_empresas([emp(cnpj="11222333000181", razao_social="Aurora")])
    e = empresas[0]
    assert e.problemas == ["Empresa com situação: "]
    assert e.campos[2].model_dump() == campo("Razão Social", "pendente", "Aurora", "", "Divergente")
    assert e.razao_social_receita == ""


def test_name_mismatch_is_pending(reg):
    reg.por_cnpj["11222333000181"] = AURORA
    empresas, _ = make_checker(False)._validar_empresas([emp(cnpj="11222333000181", razao_social="Zenite Ltda")])
    assert empresas[0].campos[2].model_dump() == campo(
        "Razão Social", "pendente", "Zenite Ltda", "AURORA TECNOLOGIA LTDA", "Divergente"
    )
    assert empresas[0].razao_social_confere is False


@pytest.mark.parametrize(
    "confere, similaridade, status, texto",
    [
        (True, 1.0, "aprovado", "100%"),
        (False, 0.0, "pendente", "0%"),
        (True, 0.9, "aprovado", "90%"),
        (False, 0.555, "pendente", "56%"),
        (1, 0.125, "aprovado", "12%"),
    ],
)
def test_address_field(reg, confere, similaridade, status, texto):
    reg.por_cnpj["11222333000181"] = AURORA
    reg.endereco = (confere, similaridade, "ENDERECO NA RECEITA")
    empresas, _ = make_checker(False)._validar_empresas([emp(cnpj="11222333000181", endereco="Av. Brasil, 1")])
    assert empresas[0].campos[3].model_dump() == campo(
        "Endereço", status, "Av. Brasil, 1", "ENDERECO NA RECEITA", f"Similaridade: {texto}"
    )


@pytest.mark.parametrize("endereco", [None, ""])
def test_company_without_address_has_three_fields(reg, endereco):
    reg.por_cnpj["11222333000181"] = AURORA
    empresas, _ = make_checker(False)._validar_empresas([emp(cnpj="11222333000181", endereco=endereco)])
    assert [f.campo for f in empresas[0].campos] == ["CNPJ", "Situação Cadastral", "Razão Social"]
    assert all(ch[0] != "comparar_enderecos" for ch in reg.chamadas)


def test_cache_replacement_keeps_first_position(reg, monkeypatch):
    outra = registro("11.222.333/0001-81", "AURORA TECNOLOGIA LTDA FILIAL")
    respostas = iter([AURORA, outra])
    monkeypatch.setattr(checker, "consultar_cnpj", lambda cnpj: next(respostas))
    empresas, cache = make_checker(False)._validar_empresas(
        [
            emp(cnpj="11.222.333/0001-81", razao_social="Aurora Tecnologia Ltda"),
            emp(cnpj="11222333000181", razao_social="Beta Sistemas"),
        ]
    )
    assert list(cache) == ["11222333000181", "aurora tecnologia ltda", "beta sistemas"]
    assert cache["11222333000181"] is outra and cache["aurora tecnologia ltda"] is AURORA


def test_record_as_other_mapping(reg):
    reg.por_cnpj["11222333000181"] = UserDict(AURORA)
    empresas, cache = make_checker(False)._validar_empresas([emp(cnpj="11222333000181", razao_social="Aurora")])
    assert empresas[0].razao_social_receita == "AURORA TECNOLOGIA LTDA"
    assert [f.status for f in empresas[0].campos] == ["aprovado", "aprovado", "aprovado"]


def test_steps_dispatch_through_self(reg):
    reg.por_cnpj["11222333000181"] = AURORA
    c = make_checker(False)
    vistos = []
    c._comparar_nomes = lambda a, b: vistos.append((a, b)) or 1
    c._normalizar_texto = lambda t: "chave:" + t
    empresas, cache = c._validar_empresas([emp(cnpj="11222333000181", razao_social="Zz")])
    assert vistos == [("Zz", "AURORA TECNOLOGIA LTDA")]
    assert empresas[0].razao_social_confere is True
    assert list(cache) == ["11222333000181", "chave:Zz"]


def test_module_globals_are_late_bound(reg, monkeypatch):
    monkeypatch.setattr(checker, "validar_cnpj", lambda cnpj: False)
    make_checker(False)._validar_empresas([emp(cnpj="11222333000181")])
    assert reg.chamadas == []


@pytest.mark.parametrize("valor", [None, (), "x", UserDict()])
def test_companies_must_be_a_list(valor):
    with pytest.raises(TypeError, match="'empresas' must be list"):
        make_checker()._validar_empresas(valor)


def test_companies_argument_binding():
    c = make_checker()
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'empresas'"):
        c._validar_empresas()
    assert c._validar_empresas(empresas=[]) == ([], {})
    assert list(inspect.signature(ContractChecker._validar_empresas).parameters) == ["self", "empresas"]


class Falha(Exception):
    pass


def test_errors_of_called_functions_pass_through(reg, monkeypatch):
    erro = Falha("registro fora do ar")

    def quebra(cnpj):
        raise erro

    monkeypatch.setattr(checker, "consultar_cnpj", quebra)
    with pytest.raises(Falha) as info:
        make_checker(False)._validar_empresas([emp(cnpj="11222333000181")])
    assert info.value is erro


@pytest.mark.parametrize("resposta", [(True, 1.0), None, [True, 1.0, "x", 0], "ab"])
def test_address_comparison_result_unpacked_like_python(reg, resposta):
    reg.por_cnpj["11222333000181"] = AURORA
    reg.endereco = resposta
    with pytest.raises((TypeError, ValueError)) as nativo:
        make_checker(False)._validar_empresas([emp(cnpj="11222333000181", endereco="Rua")])
    with pytest.raises((TypeError, ValueError)) as python:
        a, b, c = resposta
    assert type(nativo.value) is type(python.value) and str(nativo.value) == str(python.value)


def test_status_that_is_not_text_fails_like_python(reg):
    rec = dict(AURORA, situacao=None)
    reg.por_cnpj["11222333000181"] = rec
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'upper'"):
        make_checker(False)._validar_empresas([emp(cnpj="11222333000181")])


# ---------------------------------------------------------------- signatories


def cache_de(*registros_por_chave):
    return dict(registros_por_chave)


def test_empty_signatory_list(logs):
    c, linhas = logs
    assert c._validar_assinaturas([], {}) == []
    assert linhas == [("✍️", "\n--- Verificando Assinaturas ---")]


@pytest.mark.parametrize("nome", [None, "", "N/A"])
def test_unidentified_signatory(logs, nome):
    c, linhas = logs
    r = c._validar_assinaturas([ass(nome_signatario=nome, tipo_assinatura="representante", cargo="Diretor")], {})
    assert linhas == [("✍️", "\n--- Verificando Assinaturas ---")]
    assert [a.model_dump() for a in r] == [
        {
            "nome_signatario": "(não identificado)",
            "cargo": None,
            "empresa_representada": None,
            "cnpj_empresa": None,
            "tipo_assinatura": "representante",
            "campos": [campo("Identificação", "nao_verificado", None, None, "Signatário não identificado")],
            "tem_poder_assinatura": False,
            "qualificacao_qsa": None,
            "problemas": ["Signatário não identificado"],
        }
    ]


def test_partner_found_by_punctuated_cnpj(logs):
    c, linhas = logs
    cache = {"11222333000181": AURORA, "aurora tecnologia ltda": AURORA}
    r = c._validar_assinaturas(
        [
            ass(
                nome_signatario="Marcos Vinícius Prado",
                cargo="Sócio-Administrador",
                cnpj_empresa="11.222.333/0001-81",
                empresa_representada="Outra Coisa",
                tipo_assinatura="representante",
            )
        ],
        cache,
    )
    assert linhas[1:] == [
        ("👤", "Verificando: Marcos Vinícius Prado"),
        ("", "✅ Marcos Vinícius Prado TEM PODER (Sócio-Administrador)"),
    ]
    assert r[0].model_dump() == {
        "nome_signatario": "Marcos Vinícius Prado",
        "cargo": "Sócio-Administrador",
        "empresa_representada": "Outra Coisa",
        "cnpj_empresa": "11.222.333/0001-81",
        "tipo_assinatura": "representante",
        "campos": [
            campo(
                "Poder de Assinatura",
                "aprovado",
                "Marcos Vinícius Prado",
                "Sócio-Administrador",
                "Signatário tem poder (Sócio-Administrador)",
            )
        ],
        "tem_poder_assinatura": True,
        "qualificacao_qsa": "Sócio-Administrador",
        "problemas": [],
    }
    assert cache == {"11222333000181": AURORA, "aurora tecnologia ltda": AURORA}


@pytest.mark.parametrize("empresa", ["AURORA TECNOLOGIA LTDA", "  Aurora Tecnologia Ltda ", "Áurora Tecnologia LTDA"])
def test_company_found_by_normalised_name(empresa):
    c = make_checker(False)
    chamados = []
    c._verificar_poder_assinatura = lambda nome, dados: chamados.append(dados["cnpj"]) or (False, None)
    cache = {"77888999000155": CIDRA, "aurora tecnologia ltda": AURORA}
    r = c._validar_assinaturas([ass(nome_signatario="Otávio Mendes", empresa_representada=empresa)], cache)
    assert chamados == ["11.222.333/0001-81"]
    assert r[0].campos[0].model_dump() == campo(
        "Poder de Assinatura",
        "reprovado",
        "Otávio Mendes",
        "QSA: MARCOS VINICIUS PRADO...",
        "Signatário NÃO encontrado no QSA",
    )
    assert r[0].problemas == ["Signatário sem poder de assinatura"]


def test_walk_over_cache_finds_partner_of_another_company(logs):
    c, linhas = logs
    cache = {"11222333000181": AURORA, "aurora tecnologia ltda": AURORA, "77888999000155": CIDRA}
    r = c._validar_assinaturas(
        [ass(nome_signatario="Lúcia Ferraz", empresa_representada="Cidra Alimentos", cnpj_empresa="123")], cache
    )
    # Matched through the legal representative of a partner company.
    assert r[0].tem_poder_assinatura is True and r[0].qualificacao_qsa == "Administrador"
    assert r[0].campos[0].mensagem == "Signatário tem poder (Administrador)"
    assert linhas[-1] == ("", "✅ Lúcia Ferraz TEM PODER (Administrador)")


def test_walk_visits_each_key_and_stops_at_first_power():
    c = make_checker(False)
    visitas = []

    def poder(nome, dados):
        visitas.append(dados["cnpj"])
        return (dados is CIDRA, "Sócio" if dados is CIDRA else None)

    c._verificar_poder_assinatura = poder
    cache = {"a": AURORA, "b": AURORA, "c": CIDRA, "d": AURORA}
    r = c._validar_assinaturas([ass(nome_signatario="X")], cache)
    assert visitas == ["11.222.333/0001-81", "11.222.333/0001-81", "77.888.999/0001-55"]
    assert r[0].qualificacao_qsa == "Sócio"


@pytest.mark.parametrize(
    "socios, texto",
    [
        ([], "QSA vazio"),
        ([socio("Ana Souza"), socio("Rui Lima")], "QSA: Ana Souza, Rui Lima..."),
        ([socio("A1"), socio("B2"), socio("C3"), socio("D4")], "QSA: A1, B2, C3..."),
        ([{"qualificacao": "Sócio"}, socio("Rui Lima")], "QSA: , Rui Lima..."),
    ],
)
def test_rejected_signatory_qsa_text(logs, socios, texto):
    c, linhas = logs
    rec = registro("11.222.333/0001-81", "AURORA", socios=socios)
    r = c._validar_assinaturas([ass(nome_signatario="Zeca Tatu", cnpj_empresa="11222333000181")], {"11222333000181": rec})
    assert r[0].campos[0].valor_receita == texto
    assert r[0].tem_poder_assinatura is False and r[0].qualificacao_qsa is None
    assert linhas[-1] == ("", "❌ Zeca Tatu NÃO TEM PODER")


def test_record_without_socios_key_is_empty_qsa():
    rec = {"cnpj": "1"}
    r = make_checker(False)._validar_assinaturas([ass(nome_signatario="Zeca", cnpj_empresa="1")], {"1": rec})
    assert r[0].campos[0].valor_receita == "QSA vazio"


def test_empty_cache_gives_pending(logs):
    c, linhas = logs
    r = c._validar_assinaturas([ass(nome_signatario="Sérgio Tavares", empresa_representada="Fantasma")], {})
    assert r[0].campos[0].model_dump() == campo(
        "Poder de Assinatura", "pendente", "Sérgio Tavares", None, "Não foi possível verificar"
    )
    assert r[0].problemas == [] and r[0].tem_poder_assinatura is False
    assert linhas[-1] == ("", "⚠️ Sérgio Tavares - não foi possível verificar")


@pytest.mark.parametrize("qualificacao, receita, texto, log", [("", "Encontrado no QSA", "Sócio/Admin", ""), (None, "Encontrado no QSA", "Sócio/Admin", "None")])
def test_power_without_qualification(logs, qualificacao, receita, texto, log):
    c, linhas = logs
    c._verificar_poder_assinatura = lambda nome, dados: (True, qualificacao)
    r = c._validar_assinaturas([ass(nome_signatario="Ana", cnpj_empresa="1")], {"1": AURORA})
    assert r[0].campos[0].valor_receita == receita
    assert r[0].campos[0].mensagem == f"Signatário tem poder ({texto})"
    assert r[0].qualificacao_qsa == qualificacao
    assert linhas[-1] == ("", f"✅ Ana TEM PODER ({log})")


@pytest.mark.parametrize(
    "tipo, cargo",
    [
        ("Testemunha", None),
        (None, "1ª TESTEMUNHA"),
        ("testemunhá", "Diretor"),
        ("assinatura de Testemunha instrumentária", ""),
        ("representante", "Testemunha do ato"),
    ],
)
def test_witness_needs_no_signing_power(logs, tipo, cargo):
    c, linhas = logs

    def nao_chamar(nome, dados):
        raise AssertionError("a witness is not checked against the QSA")

    c._verificar_poder_assinatura = nao_chamar
    # A witness who is also a partner of a cached company is still a witness.
    r = c._validar_assinaturas(
        [
            ass(
                nome_signatario="Marcos Vinícius Prado",
                tipo_assinatura=tipo,
                cargo=cargo,
                cnpj_empresa="11222333000181",
                empresa_representada="Aurora",
            )
        ],
        {"11222333000181": AURORA},
    )
    assert linhas[1:] == [
        ("👤", "Verificando: Marcos Vinícius Prado"),
        ("", "ℹ️ Marcos Vinícius Prado - testemunha"),
    ]
    assert r[0].model_dump() == {
        "nome_signatario": "Marcos Vinícius Prado",
        "cargo": cargo,
        "empresa_representada": "Aurora",
        "cnpj_empresa": "11222333000181",
        "tipo_assinatura": tipo,
        "campos": [
            campo(
                "Poder de Assinatura",
                "nao_verificado",
                "Marcos Vinícius Prado",
                None,
                "Testemunha: poder de assinatura não exigido",
            )
        ],
        "tem_poder_assinatura": False,
        "qualificacao_qsa": None,
        "problemas": [],
    }


def test_unnamed_witness_is_unidentified():
    r = make_checker(False)._validar_assinaturas([ass(nome_signatario="N/A", tipo_assinatura="Testemunha")], {})
    assert r[0].nome_signatario == "(não identificado)" and r[0].campos[0].campo == "Identificação"


def test_witness_test_uses_checker_folding():
    c = make_checker(False)
    c._normalizar_texto = lambda t: "testemunha" if t == "T" else t
    r = c._validar_assinaturas([ass(nome_signatario="Ana", tipo_assinatura="T")], {})
    assert r[0].campos[0].status == "nao_verificado"


@pytest.mark.parametrize(
    "args, match",
    [
        (((), {}), "'assinaturas' must be list"),
        (([], UserDict()), "'dados_receita_cache' must be dict"),
        ((None, {}), "'assinaturas' must be list"),
        (([], None), "'dados_receita_cache' must be dict"),
    ],
)
def test_signatory_argument_types(args, match):
    with pytest.raises(TypeError, match=match):
        make_checker()._validar_assinaturas(*args)


def test_signatory_argument_binding():
    c = make_checker(False)
    assert c._validar_assinaturas(dados_receita_cache={}, assinaturas=[]) == []
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'dados_receita_cache'"):
        c._validar_assinaturas([])
    assert list(inspect.signature(ContractChecker._validar_assinaturas).parameters) == [
        "self",
        "assinaturas",
        "dados_receita_cache",
    ]


def test_partner_name_not_text_fails_in_join():
    rec = {"socios": [{"nome": 5}]}
    c = make_checker(False)
    c._verificar_poder_assinatura = lambda nome, dados: (False, None)
    with pytest.raises(TypeError, match="sequence item 0: expected str instance, int found"):
        c._validar_assinaturas([ass(nome_signatario="Ana", cnpj_empresa="1")], {"1": rec})


def test_socios_that_cannot_be_sliced():
    c = make_checker(False)
    c._verificar_poder_assinatura = lambda nome, dados: (False, None)
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        c._validar_assinaturas([ass(nome_signatario="Ana", cnpj_empresa="1")], {"1": {"socios": None}})


@pytest.mark.parametrize("resposta", [None, (True,), (True, "a", "b"), 7])
def test_power_result_unpacked_like_python(resposta):
    c = make_checker(False)
    c._verificar_poder_assinatura = lambda nome, dados: resposta
    with pytest.raises((TypeError, ValueError)) as nativo:
        c._validar_assinaturas([ass(nome_signatario="Ana")], {"k": AURORA})
    with pytest.raises((TypeError, ValueError)) as python:
        a, b = resposta
    assert type(nativo.value) is type(python.value) and str(nativo.value) == str(python.value)


def test_cache_changed_during_walk():
    c = make_checker(False)
    cache = {"a": AURORA}

    def poder(nome, dados):
        cache["novo"] = CIDRA
        return (False, None)

    c._verificar_poder_assinatura = poder
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        c._validar_assinaturas([ass(nome_signatario="Ana")], cache)


def test_name_that_is_not_text_fails_in_name_matching():
    with pytest.raises(TypeError):
        make_checker(False)._validar_assinaturas([ass(nome_signatario="Ana").model_copy(update={"nome_signatario": 5})], {"k": AURORA})


# ---------------------------------------------------------------- differential test

from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from oracle_pipeline import PythonChecker  # noqa: E402


def resumo(r):
    """What a signature record says: its first field and the verdict."""
    f = r.campos[0]
    if f.campo == "Identificação":
        return ("short", r.tipo_assinatura)
    return (f.status, f.valor_contrato, f.valor_receita, f.mensagem, r.tem_poder_assinatura, r.qualificacao_qsa)


def oracle_assinaturas(c, assinaturas, cache):
    """Signature validation as the plain Python pipeline writes it, on the same checker steps."""
    return [resumo(r) for r in PythonChecker._validar_assinaturas(c, assinaturas, cache)]


NOMES = st.sampled_from(["Ana Souza", "ANA SOUZA", "Ána  Souza ", "Rui Lima", "Luís Gama Neto", "Bia", "N/A", "", "ǅana Ωmega", "Zé"])
EMPRESAS = st.sampled_from(["Alfa Ltda", "ALFA LTDA", "Beta S.A.", "Gama", None, ""])
TIPOS = st.sampled_from([None, "", "representante", "Testemunha", "TESTEMUNHA 2", "testemunhá", "procurador"])
CNPJS = st.sampled_from([None, "", "11.111.111/0001-11", "11111111000111", "22222222000122", "3"])


@st.composite
def cenarios(draw):
    cache = {}
    for chave in draw(st.lists(st.sampled_from(["11111111000111", "22222222000122", "alfa ltda", "beta s.a."]), max_size=4)):
        socios = [
            socio(draw(NOMES), draw(st.sampled_from(["Sócio", "", "Diretor"])), draw(st.sampled_from(["", "Rui Lima", "Bia"])), "Procurador")
            for _ in range(draw(st.integers(0, 4)))
        ]
        cache[chave] = {"cnpj": chave, "socios": socios}
    assinaturas = [
        ass(nome_signatario=draw(NOMES), cargo=draw(TIPOS), tipo_assinatura=draw(TIPOS), empresa_representada=draw(EMPRESAS), cnpj_empresa=draw(CNPJS))
        for _ in range(draw(st.integers(0, 5)))
    ]
    return assinaturas, cache


@given(cenarios())
def test_signatures_match_plain_python(cenario):
    assinaturas, cache = cenario
    c = make_checker(False)
    esperado = oracle_assinaturas(c, assinaturas, cache)
    obtido = [resumo(r) for r in c._validar_assinaturas(assinaturas, cache)]
    assert obtido == esperado
