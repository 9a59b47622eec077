"""Signing powers over real verifications: the example contracts, verified by the local engine
against a local registry whose records are changed per case; the qualification table against
the Receita's full code table; bad input."""

import csv
import json
from pathlib import Path

import pytest

from contract_pdfs import make_contract_pdf
from meses_apoio import mes_do_registro
from lexaro_contract import poderes, registro
from lexaro_contract.checker import ContractChecker

RAIZ = Path(__file__).resolve().parents[2]
EXEMPLOS = RAIZ / "examples"
# The public material lies in ../shared/real beside the project (or beside the folder of its worktrees).
REAL = next((p / "shared" / "real" for p in RAIZ.parents if (p / "shared" / "real").is_dir()), RAIZ.parent / "shared" / "real")
QUALIFICACOES = REAL / "opendata" / "cnpj-data-pipeline-fixtures" / "F.K03200$Z.D51110.QUALSCSV"
ALFA, BETA, GAMA = "10203040000194", "20304050000170", "30405060000155"
JOAO, MARIANA = "JOÃO CARLOS PEREIRA", "MARIANA COSTA LIMA"


def test_every_receita_code_is_classified_once():
    if not QUALIFICACOES.is_file():
        pytest.skip(f"tabela de qualificações ausente: {QUALIFICACOES}")
    with QUALIFICACOES.open(encoding="iso-8859-1", newline="") as f:
        receita = {int(codigo): descricao for codigo, descricao in csv.reader(f, delimiter=";")}
    codigos = [q.codigo for q in poderes.QUALIFICACOES]
    assert len(receita) == 68 and len(codigos) == len(set(codigos))
    assert {q.codigo: q.descricao for q in poderes.QUALIFICACOES} == receita
    for q in poderes.QUALIFICACOES:
        assert q.classe in poderes.CLASSES and q.motivo
        for forma in (q.codigo, f"{q.codigo:02d}-{q.descricao}", q.descricao.upper()):
            assert poderes.classificar(forma) == (q.classe, q)
    assert sum(poderes.contar_classes().values()) == 68
    assert poderes.classificar("99-Cargo Novo")[0] == poderes.classificar("Diretor Comercial")[0] == "nao_classificada"


@pytest.fixture(scope="module")
def pdfs(tmp_path_factory):
    pasta = tmp_path_factory.mktemp("contratos")
    texto = (EXEMPLOS / "contratos" / "01_servicos.txt").read_text(encoding="utf-8")
    variantes = {
        "01_procuradora": texto.replace("por sua sócia administradora MARIANA", "por sua procuradora MARIANA")
                               .replace(f"Nome: {MARIANA}\nCargo: Sócia Administradora", f"p.p. {MARIANA}"),
        "01_sem_data": texto.replace("Campinas, 3 de fevereiro de 2025.\n", ""),
    }
    caminhos = {p.stem: p for p in (EXEMPLOS / "contratos").glob("*.pdf")}
    for nome, variante in variantes.items():
        assert variante != texto
        caminhos[nome] = make_contract_pdf(pasta / f"{nome}.pdf", variante)
    return caminhos


@pytest.fixture(scope="module")
def verificador():
    return ContractChecker(provider="local", verbose=False)


@pytest.fixture
def verificar(pdfs, verificador, tmp_path, apontar_registro):
    """Verifies an example contract against the example registry changed by `mudar`."""
    servidores = []

    def rodar(contrato, mudar):
        srv, base = registro.iniciar_em_segundo_plano(mes_do_registro(tmp_path / f"registro{len(servidores)}", mudar))
        servidores.append(srv)
        apontar_registro(base)
        with poderes.registros_da_verificacao(verificador) as registros:
            resultado = verificador.verificar(str(pdfs[contrato]))
        assert "_validar_empresas" not in verificador.__dict__
        return resultado, registros

    yield rodar
    for srv in servidores:
        srv.shutdown()
        srv.server_close()


def qsa(cnpj_, i, **campos):
    return lambda regs: regs[cnpj_]["qsa"][i].update(campos)


def empresa(cnpj_, **campos):
    return lambda regs: regs[cnpj_].update(campos)


def _mei(regs):
    regs[BETA].update(natureza_juridica="Empresário (Individual)", razao_social=f"{MARIANA} 98765432100", qsa=[])


def _outro_no_lugar(regs):
    regs[BETA]["qsa"][0]["nome_socio"] = "OTAVIO DE SOUZA"


CASOS = {
    "como_registrado": ("01_servicos", lambda regs: None, []),
    "socio_sem_administracao": ("01_servicos", lambda regs: (
        qsa(ALFA, 0, qualificacao_socio="Sócio", codigo_qualificacao_socio=22)(regs),
        qsa(ALFA, 1, qualificacao_socio="Sócio-Administrador", codigo_qualificacao_socio=49)(regs)),
        [("sem_administracao", "pendente", JOAO)]),
    "entrou_depois": ("01_servicos", qsa(BETA, 0, data_entrada_sociedade="2025-06-01"),
                      [("entrada_posterior", "pendente", MARIANA)]),
    "cargo_desconhecido": ("01_servicos", qsa(ALFA, 0, qualificacao_socio="Diretor Comercial"),
                           [("nao_classificada", "informacao", JOAO)]),
    "data_de_entrada_ilegivel": ("01_servicos", qsa(ALFA, 0, data_entrada_sociedade="4100813"),
                                 [("data_ilegivel", "informacao", JOAO)]),
    "baixada_antes": ("02_fornecimento", lambda regs: None, [("situacao", "informacao", None)]),
    "baixada_depois": ("02_fornecimento", empresa(GAMA, data_situacao_cadastral="2025-09-01"),
                       [("situacao", "informacao", None)]),
    "baixada_sem_data": ("02_fornecimento", empresa(GAMA, data_situacao_cadastral="0"),
                         [("situacao", "informacao", None)]),
    "contrato_sem_data": ("01_sem_data", lambda regs: None, [("sem_data", "informacao", None)]),
    "procuradora_fora_do_qsa": ("01_procuradora", _outro_no_lugar, [("procuracao", "informacao", MARIANA)]),
    "empresario_individual": ("01_servicos", _mei, []),
}


@pytest.mark.parametrize("caso", CASOS)
def test_rules_on_the_example_contracts(caso, verificar):
    contrato, mudar, esperado = CASOS[caso]
    resultado, registros = verificar(contrato, mudar)
    achados = poderes.avaliar_poderes(resultado, registros)["achados"]
    assert [(a["regra"], a["status"], a["pessoa"]) for a in achados] == esperado
    assert poderes.veredito_poderes({"achados": achados}) == ("PENDENTE" if "pendente" in str(esperado) else None)
    # Without the registry records, the result alone gives the same, but the date of a situation.
    sem_registros = poderes.avaliar_poderes(resultado)["achados"]
    assert [a for a in sem_registros if a["regra"] != "situacao"] == [a for a in achados if a["regra"] != "situacao"]
    mensagens = " | ".join(a["mensagem"] for a in achados)
    if caso == "socio_sem_administracao":
        assert f"{JOAO} assina por ALFA SERVICOS DE TECNOLOGIA LTDA como Sócio no QSA (sem administração)" in mensagens
        assert "HELENA PEREIRA (Sócio-Administrador)" in mensagens
    if caso.startswith("baixada"):
        fato = achados[0]["fato"]
        assert fato["antes_do_contrato"] is {"baixada_antes": True, "baixada_depois": False}.get(caso)
        assert "já estava BAIXADA" in mensagens if caso == "baixada_antes" else "depois da assinatura" in mensagens \
            if caso == "baixada_depois" else "data da situação não informada" in mensagens
    if caso == "procuradora_fora_do_qsa":
        assert resultado["resultado_final"] == "REPROVADO" and "confira a procuração" in mensagens
    if caso == "empresario_individual":
        (assinatura,) = [a for a in resultado["assinaturas"] if a["nome_signatario"] == MARIANA]
        assert assinatura["campos"][0]["valor_receita"] == "Titular da empresa individual"
        assert assinatura["campos"][0]["status"] == "aprovado" and assinatura["tem_poder_assinatura"]
        assert "Poder de Assinatura - MARIANA COSTA LIMA" in resultado["campos_aprovados"]
        assert [s["nome"] for s in poderes.avaliar_poderes(resultado, registros)["signatarios"]
                if s["titular_individual"]] == [MARIANA]


RUIM = {"cnpj_encontrado": True, "cnpj": 5, "razao_social_contrato": ["x"], "campos": [None, {"campo": "Situação Cadastral"}],
        "socios": [None, {"nome": None, "qualificacao": 5, "data_entrada": "2025-02-30"}, {"nome": "Ana Lima"}]}


@pytest.mark.parametrize("resultado, registros", [
    (None, None), ([], {}), ({"empresas": None, "assinaturas": "x", "dados_contrato": []}, []),
    ({"empresas": [RUIM], "assinaturas": [None, 5, {"nome_signatario": 5}, {"nome_signatario": "Ana Lima", "cargo": 3,
      "cnpj_empresa": 7, "campos": "x"}], "dados_contrato": {"data": "4100813"}}, None),
    ({"empresas": [dict(RUIM, cnpj="1")], "assinaturas": [{"nome_signatario": "Ana Lima", "empresa_representada": "x"}],
      "dados_contrato": {"data": 20250101}},
     {"1": {"situacao": None, "data_situacao": "31/02/2025", "socios": {"nome": "Ana Lima"}}}),
    ({"empresas": [dict(RUIM, cnpj="1")], "assinaturas": [{"nome_signatario": "Ana Lima", "tipo_assinatura": "p.p."}],
      "dados_contrato": {"data": ""}}, {"1": {"situacao": "BAIXADA", "data_situacao": "0", "socios": None}}),
])
def test_bad_input_never_raises(resultado, registros):
    r = poderes.avaliar_poderes(resultado, registros)
    assert set(r) == {"signatarios", "achados"}
    assert {a["status"] for a in r["achados"]} <= {"informacao", "pendente"}
    json.dumps(r)
    poderes.relatorio_poderes(r)


@pytest.mark.parametrize("desligado", [False, True], ids=["conferido", "sem_poderes"])
def test_the_command_writes_the_findings_and_counts_them_in_the_status(desligado, pdfs, tmp_path, apontar_registro,
                                                                     capsys):
    from lexaro_contract import cli

    srv, base = registro.iniciar_em_segundo_plano(mes_do_registro(tmp_path / "registro",
                                                                  CASOS["socio_sem_administracao"][1]))
    try:
        apontar_registro(base)
        saida = tmp_path / "r.jsonl"
        argv = ["verificar", str(pdfs["01_servicos"]), "--provider", "local", "--sem-checagem-registro"]
        argv += ["--sem-poderes"] if desligado else []
        assert cli.main([*argv, "--quiet", "--saida", str(saida)]) == (0 if desligado else 2)
        linha = capsys.readouterr().out
        assert linha.rstrip().endswith("APROVADO — Todos os 10 campos verificados foram aprovados"
                                       + ("" if desligado else " [poderes de assinatura: PENDENTE]"))
        (gravado,) = [json.loads(r) for r in saida.read_text(encoding="utf-8").splitlines()]
        assert cli.main([*argv, "--json"]) == (0 if desligado else 2)
        impresso = json.loads(capsys.readouterr().out)
    finally:
        srv.shutdown()
        srv.server_close()
    if desligado:
        assert "poderes" not in gravado and "poderes" not in impresso
    else:
        assert [a["regra"] for a in gravado["poderes"]["achados"]] == ["sem_administracao"]
        assert impresso["poderes"] == gravado["poderes"] and impresso["resultado_final"] == "APROVADO"
