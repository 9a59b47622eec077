"""The local reader over the corpus of invented contracts: each read as a careful reader would."""

import pytest

import lexaro
from contract_pdfs import make_contract_pdf
from corpus_local import carregar, chave_cnpj, escrever_registro, pontuar
from lexaro_contract import registro
from lexaro_contract.checker import ContractChecker
from lexaro_contract.models import (AssinaturaExtraida, EmpresaExtraida, ExtracaoAssinaturas,
                                    ExtracaoDadosContrato, ExtracaoEmpresas)

CONTRATOS = {c.nome: c for c in carregar()}
MODELOS = {"empresas": ExtracaoEmpresas, "assinaturas": ExtracaoAssinaturas, "dados_contrato": ExtracaoDadosContrato}


@pytest.fixture(scope="module")
def base_registro(tmp_path_factory):
    pasta = tmp_path_factory.mktemp("registro")
    escrever_registro(list(CONTRATOS.values()), pasta)
    srv, base = registro.iniciar_em_segundo_plano(pasta)
    yield base
    srv.shutdown()
    srv.server_close()


@pytest.fixture
def verificador_do_corpus(base_registro, apontar_registro):
    apontar_registro(base_registro)
    return ContractChecker(provider="local", verbose=False)


@pytest.fixture(scope="module")
def motor():
    client = lexaro.Lexaro(provider="local")
    for qid, modelo in MODELOS.items():
        client.add_question(lexaro.Question(config=lexaro.QuestionConfig(id=qid), system_prompt="",
                                            user_prompt="{texto}", keywords=[], response_model=modelo))
    return client


def test_corpus_covers_the_families():
    assert len([c for c in CONTRATOS.values() if not c.reservado]) >= 30
    cnpjs = [chave_cnpj(r["cnpj"]) for c in CONTRATOS.values() for r in c.esperado["registro"]]
    assert len(cnpjs) == len(set(cnpjs)), "each invented company appears in one contract only"


@pytest.mark.parametrize("nome", sorted(CONTRATOS))
def test_registry_gives_the_expected_verdict_to_the_expected_answers(nome, verificador_do_corpus):
    """The records agree with the answers: read perfectly, the contract gets the expected verdict."""
    esp = CONTRATOS[nome].esperado
    empresas = [EmpresaExtraida(cnpj=e["cnpj"], razao_social=e["razao_social"], papel_no_contrato=e["papel"])
                for e in esp["empresas"]]
    razao = {chave_cnpj(e["cnpj"]): e["razao_social"] for e in esp["empresas"]}
    assinaturas = [AssinaturaExtraida(nome_signatario=s["nome"], cnpj_empresa=s["empresa"],
                                      empresa_representada=razao.get(chave_cnpj(s["empresa"])),
                                      tipo_assinatura="testemunha" if s["tipo"] == "testemunha" else s["tipo"])
                   for s in esp["signatarios"]]
    verificadas, cache = verificador_do_corpus._validar_empresas(empresas)
    campos = [c for v in verificadas + verificador_do_corpus._validar_assinaturas(assinaturas, cache) for c in v.campos]
    status = {c.status for c in campos}
    veredito = "REPROVADO" if "reprovado" in status else "PENDENTE" if "pendente" in status else "APROVADO"
    assert veredito == esp["veredito"]


@pytest.mark.parametrize("nome", sorted(CONTRATOS))
def test_each_contract_is_read_as_a_careful_reader_reads_it(nome, motor, verificador_do_corpus, tmp_path):
    contrato = CONTRATOS[nome]
    pdf = make_contract_pdf(tmp_path / f"{nome}.pdf", contrato.texto)
    doc = motor.process(str(pdf))
    empresas = doc.get_result("empresas").raw_result["empresas"]
    assinaturas = doc.get_result("assinaturas").raw_result["assinaturas"]
    veredito = verificador_do_corpus.verificar(str(pdf))["resultado_final"]
    placar = pontuar(contrato, empresas, assinaturas, veredito)
    assert placar.faltas == [] and placar.perfeito, placar
