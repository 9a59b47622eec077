"""The offline rule-based provider on real contract PDFs, and the client frame."""
import pytest
from hypothesis import given
from hypothesis import strategies as st
from pydantic import BaseModel

import lexaro
from contract_pdfs import SAMPLES, make_contract_pdf, make_long_contract_pdf
from lexaro.providers.local import analisar
from lexaro_contract.models import (
    AssinaturaExtraida,
    EmpresaExtraida,
    ExtracaoAssinaturas,
    ExtracaoDadosContrato,
    ExtracaoEmpresas,
)

MODELS = {"empresas": ExtracaoEmpresas, "assinaturas": ExtracaoAssinaturas, "dados_contrato": ExtracaoDadosContrato}


def question(qid, model=None):
    return lexaro.Question(
        config=lexaro.QuestionConfig(id=qid, name=f"Pergunta {qid}", tag=qid),
        system_prompt="Você é um especialista em análise de contratos.",
        user_prompt="Analise:\n\n{texto}",
        keywords=["cnpj"],
        response_model=model or MODELS[qid],
    )


def local_client(**kw):
    # exactly what the credentials manager hands over for "local", plus model and verbose
    client = lexaro.Lexaro(**{"provider": "local", "api_token": None, "model": "gpt-4o", "verbose": False, **kw})
    for qid in MODELS:
        client.add_question(question(qid))
    return client


@pytest.fixture(scope="module")
def pdfs(tmp_path_factory):
    base = tmp_path_factory.mktemp("contratos")
    out = {}
    for name, sample in SAMPLES.items():
        out[name, "ttf"] = make_contract_pdf(base / f"{name}.pdf", sample.text)
        out[name, "core"] = make_contract_pdf(base / f"{name}-latin1.pdf", sample.text, font_path="")
    return out


@pytest.mark.parametrize("font", ["ttf", "core"])
@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_every_sample_is_extracted_exactly(pdfs, name, font):
    sample = SAMPLES[name]
    doc = local_client().process(str(pdfs[name, font]))
    assert doc.get_result("empresas").raw_result == {"empresas": sample.empresas}
    assert doc.get_result("assinaturas").raw_result == {"assinaturas": sample.assinaturas}
    assert doc.get_result("dados_contrato").raw_result == sample.dados
    m = doc.total_metrics
    assert (m.tokens, m.cost_usd) == (0, 0.0) and m.time_seconds > 0
    # the checker expands every entry into the record types
    for e in sample.empresas:
        assert EmpresaExtraida(**e).model_dump() == e
    for a in sample.assinaturas:
        assert AssinaturaExtraida(**a).model_dump() == a


def test_ten_page_contract(tmp_path):
    path = make_long_contract_pdf(tmp_path / "longo.pdf", pages=10)
    doc = local_client().process(path)
    assert doc.pages == 10
    sample = SAMPLES["servicos"]
    assert doc.get_result("empresas").raw_result["empresas"] == sample.empresas
    assert doc.get_result("assinaturas").raw_result["assinaturas"] == sample.assinaturas
    assert doc.get_result("dados_contrato").raw_result == sample.dados


def test_answers_are_fresh_objects(pdfs):
    client = local_client()
    first = client.process(pdfs["servicos", "ttf"])
    first.get_result("empresas").raw_result["empresas"][0]["cnpj"] = "alterado"
    first.get_result("dados_contrato").raw_result.clear()
    second = client.process(pdfs["servicos", "ttf"])
    assert second.get_result("empresas").raw_result["empresas"] == SAMPLES["servicos"].empresas
    assert second.get_result("dados_contrato").raw_result == SAMPLES["servicos"].dados


def test_verbose_progress_in_portuguese_and_silence_otherwise(pdfs, capsys):
    local_client().process(pdfs["locacao", "ttf"])
    assert capsys.readouterr().out == ""
    local_client(verbose=True).process(pdfs["locacao", "ttf"])
    out = capsys.readouterr().out
    assert "Lendo PDF: locacao.pdf" in out and "Pergunta registrada: empresas" in out
    assert "❓ Pergunta dados_contrato [local/" in out and "📊 Total: 0 tokens, US$ 0.0000" in out


# --- questions recognised by their response model -------------------------


class Partes(ExtracaoEmpresas):
    """A subclass keeps working: the answer is shaped by it."""


class Resumo(BaseModel):
    resumo: str = ""


def test_question_recognised_by_response_model_not_id(pdfs):
    client = lexaro.Lexaro(provider="local")
    client.add_question(question("partes", Partes))
    res = client.process(pdfs["servicos", "ttf"]).get_result("partes")
    assert isinstance(res.result, Partes)
    assert res.raw_result == {"empresas": SAMPLES["servicos"].empresas}


def test_unknown_question_is_refused_at_registration():
    client = lexaro.Lexaro(provider="local")
    with pytest.raises(ValueError, match="não sabe responder à pergunta 'resumo'"):
        client.add_question(question("resumo", Resumo))
    assert client.questions == []


def test_registration_rules():
    client = lexaro.Lexaro(provider="local")
    client.add_question(question("empresas"))
    with pytest.raises(ValueError, match="Já existe uma pergunta com id 'empresas'"):
        client.add_question(question("empresas"))
    with pytest.raises(TypeError, match="question deve ser Question"):
        client.add_question({"id": "x"})
    assert [q.id for q in client.questions] == ["empresas"]


@pytest.mark.parametrize("kwargs, exc, fragment", [
    ({"config": "empresas"}, TypeError, "config deve ser QuestionConfig"),
    ({"system_prompt": None}, TypeError, "system_prompt deve ser str"),
    ({"keywords": "cnpj"}, TypeError, "keywords deve ser uma lista de str"),
    ({"keywords": ["cnpj", 3]}, TypeError, "keywords deve ser uma lista de str"),
    ({"response_model": dict}, TypeError, "response_model deve ser uma classe pydantic"),
    ({"response_model": ExtracaoEmpresas()}, TypeError, "response_model deve ser uma classe pydantic"),
])
def test_question_arguments_are_checked(kwargs, exc, fragment):
    base = dict(config=lexaro.QuestionConfig(id="q"), system_prompt="s", user_prompt="u {texto}",
                keywords=["a"], response_model=ExtracaoEmpresas)
    with pytest.raises(exc, match=fragment):
        lexaro.Question(**{**base, **kwargs})


def test_question_copies_its_keywords_and_fills_the_placeholder():
    words = ["cnpj"]
    q = lexaro.Question(config=lexaro.QuestionConfig(id="q"), system_prompt="s",
                        user_prompt="A {texto} B {outra}", keywords=words, response_model=ExtracaoEmpresas)
    words.append("x")
    assert q.keywords == ["cnpj"]
    assert q.render_user_prompt("TXT {texto}") == "A TXT {texto} B {outra}"


# --- client constructor ---------------------------------------------------


@pytest.mark.parametrize("kwargs, exc, fragment", [
    ({"provider": "local", "usar_ai_search": True}, TypeError, "usar_ai_search"),
    ({"provider": "gemini"}, ValueError, "aceitos: openai, azure, local"),
    ({"provider": None}, TypeError, "provider deve ser str"),
    ({"provider": "local", "model": None}, TypeError, "model deve ser str"),
    ({"provider": "local", "api_token": 5}, TypeError, "api_token deve ser str ou None"),
    ({"provider": "local", "max_retries": 1.5}, TypeError, "max_retries deve ser int"),
])
def test_constructor_rejects_bad_arguments(kwargs, exc, fragment):
    with pytest.raises(exc, match=fragment):
        lexaro.Lexaro(**kwargs)


def test_constructor_positional_arguments_are_refused():
    with pytest.raises(TypeError):
        lexaro.Lexaro("local")


def test_local_needs_no_key_and_provider_is_case_insensitive(monkeypatch):
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    client = lexaro.Lexaro(provider="Local", api_token="tok", model="gpt-4o", verbose=True)
    assert (client.provider, client.api_token, client.verbose) == ("local", "tok", True)


def test_process_rejects_bad_paths(tmp_path):
    client = local_client()
    with pytest.raises(TypeError, match="path deve ser str ou os.PathLike"):
        client.process(None)
    with pytest.raises(FileNotFoundError, match="Arquivo não encontrado"):
        client.process(str(tmp_path / "nada.pdf"))


def test_get_result_checks_its_argument(pdfs):
    doc = local_client().process(pdfs["servicos", "ttf"])
    with pytest.raises(TypeError):
        doc.get_result(1)
    assert doc.get_result("nenhuma") is None
    assert doc.question_ids == ["empresas", "assinaturas", "dados_contrato"]


# --- rules on plain text ------------------------------------------------------


@pytest.mark.parametrize("qualificacao, nome, cargo, cpf", [
    ("neste ato representada por seu Diretor Presidente CARLOS ALBERTO NUNES, brasileiro, casado, inscrito no "
     "CPF/MF sob o nº 321.321.321-32", "CARLOS ALBERTO NUNES", "Diretor Presidente", "321.321.321-32"),
    ("neste ato representada por PEDRO HENRIQUE LOPES, sócio administrador, brasileiro, inscrito no CPF sob "
     "o nº 11111111111", "PEDRO HENRIQUE LOPES", "Sócio Administrador", "11111111111"),
    ("representada pela Sra. Maria José dos Santos, administradora, portadora do RG nº 1.234.567 SSP/MG e do "
     "CPF nº 222.222.222-22", "Maria José dos Santos", "Administradora", "222.222.222-22"),
])
def test_qualification_variants(qualificacao, nome, cargo, cpf):
    text = ("ÔMEGA COMÉRCIO LTDA., pessoa jurídica de direito privado, inscrita no CNPJ sob o nº "
            f"10.203.040/0001-50, com sede na Rua A, nº 1, Centro, Belo Horizonte/MG, {qualificacao}, doravante "
            "denominada CONTRATANTE.")
    a = analisar(text)
    assert a.empresas == [{"cnpj": "10.203.040/0001-50", "razao_social": "ÔMEGA COMÉRCIO LTDA.",
                           "nome_fantasia": None, "endereco": "Rua A, nº 1, Centro, Belo Horizonte/MG",
                           "papel_no_contrato": "contratante"}]
    assert a.assinaturas == [{"nome_signatario": nome, "cargo": cargo, "cpf": cpf,
                              "empresa_representada": "ÔMEGA COMÉRCIO LTDA.", "cnpj_empresa": "10.203.040/0001-50",
                              "tipo_assinatura": "representante legal"}]


@pytest.mark.parametrize("paragrafo, razao, cnpj_esperado", [
    ("ALFA COMÉRCIO LTDA., com CNPJ nº 11.222.333/0001-81, sediada na Rua X, 10", "ALFA COMÉRCIO LTDA.",
     "11.222.333/0001-81"),
    ("BETA ME, microempresa, inscrita sob o nº 22.333.444/0001-92 no CNPJ", "BETA ME", "22.333.444/0001-92"),
    ("Gama Serviços Ltda., inscrita no C.N.P.J. sob o número 33 444 555 0001 03", "Gama Serviços Ltda.",
     "33444555000103"),
    ("(2) DELTA & CIA. S/A, companhia fechada, CNPJ/ME n° 12.ABC.345/01DE-35", "DELTA & CIA. S/A",
     "12.ABC.345/01DE-35"),
    ("ÉPSILON LTDA. (nome fantasia \u201cÉPSI\u201d), por sua filial inscrita no CNPJ sob o nº 44.555.666/0002-07",
     "ÉPSILON LTDA.", "44.555.666/0002-07"),
    ("LUMEN AGÊNCIA LTDA. - ME, inscrita no Cadastro Nacional da Pessoa Jurídica (CNPJ) sob o nº 57.990.643/0001-85",
     "LUMEN AGÊNCIA LTDA. - ME", "57.990.643/0001-85"),
    ("Partes: ZETA COMÉRCIO LTDA. – CNPJ nº 11.222.333/0001-81", "ZETA COMÉRCIO LTDA.", "11.222.333/0001-81"),
    ("Partes: ETA SERVIÇOS S.A. (CNPJ 22.333.444/0001-92)", "ETA SERVIÇOS S.A.", "22.333.444/0001-92"),
    ("CONTRATANTE: TETA COMÉRCIO LTDA.\nCNPJ: 33.444.555/0001-03\nEndereço: Rua A, 1", "TETA COMÉRCIO LTDA.",
     "33.444.555/0001-03"),
    # lido por OCR de uma cópia digitalizada: o J de CNPJ vira parêntese
    ("IOTA LTDA., inscrita no CNP) sob o nº 11.222.333/0001-81", "IOTA LTDA.", "11.222.333/0001-81"),
])
def test_company_wordings(paragrafo, razao, cnpj_esperado):
    a = analisar(f"CONTRATO DE SERVIÇOS\n{paragrafo}, doravante denominada CONTRATANTE.")
    assert [(e["razao_social"], e["cnpj"]) for e in a.empresas] == [(razao, cnpj_esperado)]


@pytest.mark.parametrize("representacao, nome, cpf", [
    ("representada por JOÃO DA SILVA (CPF 123.456.789-09)", "JOÃO DA SILVA", "123.456.789-09"),
    ("representada por seus diretores, Ana Maria Lopes, inscrita no CPF nº 111.222.333-44", "Ana Maria Lopes",
     "111.222.333-44"),
    ("representada por seu Diretor Presidente, Sr. PAULO REIS, inscrito no CPF nº 555.666.777-88", "PAULO REIS",
     "555.666.777-88"),
    ("representada na forma de seu contrato social, por seu administrador JOSÉ PEREIRA LIMA, inscrito no CPF sob o nº "
     "123.456.789-09", "JOSÉ PEREIRA LIMA", "123.456.789-09"),
])
def test_representative_wordings(representacao, nome, cpf):
    a = analisar(f"ALFA LTDA., inscrita no CNPJ sob o nº 11.222.333/0001-81, {representacao}, doravante CONTRATANTE.")
    assert [(p["nome_signatario"], p["cpf"], p["cnpj_empresa"]) for p in a.assinaturas] == [
        (nome, cpf, "11.222.333/0001-81")]


@pytest.mark.parametrize("linhas, esperado", [
    (["_" * 20, "ALFA LTDA.", "João da Silva – CPF 123.456.789-09"],
     ("João da Silva", "123.456.789-09", "ALFA LTDA.", "representante legal")),
    (["Testemunha 1: Nome: Ana Lima Reis CPF: 111.222.333-44"], ("Ana Lima Reis", "111.222.333-44", None, "testemunha")),
    (["Assinado de forma digital por BRUNO CASTANHEIRA REIS:85259912437 Dados: 2025.03.10 10:00:00 -03'00'"],
     ("BRUNO CASTANHEIRA REIS", "85259912437", None, "assinatura eletrônica")),
    (["CONTRATANTE: " + "_" * 20, "JOÃO DA SILVA", "CPF 123.456.789-09"],
     ("JOÃO DA SILVA", "123.456.789-09", "ALFA LTDA.", "representante legal")),
    (["Documento assinado digitalmente", "CARLOS EDUARDO PRATES", "Data: 10/03/2025 10:00:00-0300"],
     ("CARLOS EDUARDO PRATES", None, None, "assinatura eletrônica")),
])
def test_signature_wordings(linhas, esperado):
    a = analisar("ALFA LTDA., inscrita no CNPJ sob o nº 11.222.333/0001-81, doravante CONTRATANTE.\n" + "\n".join(linhas))
    assert [(p["nome_signatario"], p["cpf"], p["empresa_representada"], p["tipo_assinatura"])
            for p in a.assinaturas] == [esperado]


def test_three_signature_columns_in_a_pipe_table():
    # in plain text only cells drawn with pipes split a line; on a page, the gaps do
    # (test_leitura_posicoes)
    partes = ", ".join(f"{n}, inscrita no CNPJ sob o nº {c}, doravante {p}" for n, c, p in (
        ("ALFA LTDA.", "11.222.333/0001-81", "CONTRATANTE"), ("BETA S.A.", "22.333.444/0001-92", "CONTRATADA"),
        ("GAMA EPP", "33.444.555/0001-03", "INTERVENIENTE")))
    a = analisar(partes + ".\n" + "\n".join([
        "| ________________ | ________________ | ________________ |",
        "| JOÃO DA SILVA | MARIA CLARA DE SOUZA | PEDRO ALVES |",
        "| Diretor Presidente | Diretora | Sócio |", "| ALFA LTDA. | BETA S.A. | GAMA EPP |"]))
    assert [(p["nome_signatario"], p["cargo"], p["cnpj_empresa"]) for p in a.assinaturas] == [
        ("JOÃO DA SILVA", "Diretor Presidente", "11.222.333/0001-81"),
        ("MARIA CLARA DE SOUZA", "Diretora", "22.333.444/0001-92"), ("PEDRO ALVES", "Sócio", "33.444.555/0001-03")]


def test_text_without_parties_gives_empty_answers():
    a = analisar("Ata da reunião de condomínio. Presentes os moradores.")
    assert a.empresas == [] and a.assinaturas == []
    assert a.dados == dict.fromkeys(["tipo_contrato", "objeto", "data", "vigencia", "valor", "foro"])


def _fragments():
    pieces = []
    for s in SAMPLES.values():
        pieces.extend(s.text.split("\n"))
    return pieces


@given(st.lists(st.one_of(st.sampled_from(_fragments()), st.text(max_size=40)), max_size=30))
def test_any_mix_of_contract_lines_gives_valid_answers(lines):
    a = analisar("\n".join(lines))
    ExtracaoEmpresas.model_validate({"empresas": a.empresas})
    ExtracaoAssinaturas.model_validate({"assinaturas": a.assinaturas})
    ExtracaoDadosContrato.model_validate(a.dados)
    for p in a.assinaturas:
        assert p["nome_signatario"]


# --- the whole verification on a contract PDF, offline engine -----------------


def brasil_api(cnpj_digits, razao, logradouro, numero, complemento, bairro, cidade, uf, cep, socios):
    return {
        "cnpj": cnpj_digits, "razao_social": razao, "nome_fantasia": "", "descricao_situacao_cadastral": "ATIVA",
        "data_situacao_cadastral": "2015-03-02", "data_inicio_atividade": "2015-03-02",
        "natureza_juridica": "Sociedade Empresária Limitada", "porte": "DEMAIS", "capital_social": 100000,
        "descricao_tipo_de_logradouro": "", "logradouro": logradouro, "numero": numero, "complemento": complemento,
        "bairro": bairro, "municipio": cidade, "uf": uf, "cep": cep, "email": None,
        "qsa": [{"nome_socio": n, "qualificacao_socio": q, "cnpj_cpf_do_socio": "***000000**",
                 "data_entrada_sociedade": "2015-03-02", "identificador_de_socio": 2,
                 "nome_representante_legal": "", "qualificacao_representante_legal": None} for n, q in socios],
    }


def test_contract_checker_verifies_a_pdf_with_the_local_engine(pdfs, apontar_registro, capsys):
    from pytest_httpserver import HTTPServer

    from lexaro_contract import checker

    server = HTTPServer(host="127.0.0.1", threaded=True)
    server.start()
    try:
        apontar_registro(server.url_for("").rstrip("/"))
        server.expect_request("/api/cnpj/v1/12345678000199").respond_with_json(brasil_api(
            "12345678000199", "ALFA SERVICOS LTDA", "RUA DAS FLORES", "100", "SALA 2", "CENTRO", "SAO PAULO", "SP",
            "01010000", [("JOAO DA SILVA", "Sócio-Administrador")]))
        server.expect_request("/api/cnpj/v1/98765432000110").respond_with_json(brasil_api(
            "98765432000110", "BETA TECNOLOGIA DA INFORMACAO S.A.", "AVENIDA PAULISTA", "1500", "ANDAR 10",
            "BELA VISTA", "SAO PAULO", "SP", "01310100", [("MARIA APARECIDA SOUZA", "Diretor")]))
        result = checker.ContractChecker(provider="local", verbose=False).verificar(str(pdfs["servicos", "ttf"]))
    finally:
        server.clear()
        server.stop()

    assert capsys.readouterr().out == ""
    # every company and representative checks out; how witnesses count is the checker's policy
    assert result["campos_reprovados"] == []
    assert result["resultado_final"] in ("APROVADO", "PENDENTE")
    assert {"CNPJ - ALFA SERVICOS LTDA", "Razão Social - ALFA SERVICOS LTDA",
            "CNPJ - BETA TECNOLOGIA DA INFORMACAO S.A.", "Poder de Assinatura - JOÃO DA SILVA",
            "Poder de Assinatura - MARIA APARECIDA SOUZA"} <= set(result["campos_aprovados"])
    assert not any("CARLOS PEREIRA LIMA" in c or "ANA PAULA COSTA" in c for c in result["campos_aprovados"])
    assert [e["razao_social_contrato"] for e in result["empresas"]] == [e["razao_social"]
                                                                        for e in SAMPLES["servicos"].empresas]
    assert [a["tipo_assinatura"] for a in result["assinaturas"]] == [
        "representante legal", "representante legal", "testemunha", "testemunha"]
    assert result["dados_contrato"] == SAMPLES["servicos"].dados
    assert result["metricas"]["tokens"] == 0 and result["metricas"]["custo_usd"] == 0.0
    assert result["metricas"]["tempo_segundos"] > 0
