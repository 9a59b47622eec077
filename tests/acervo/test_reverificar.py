"""acervo reverificar: the archive re-checked from its stored extraction
against two registry months served in-process, the second with chosen changes."""

import json

import pytest
from meses_apoio import REGISTRO, novembro
from meses_apoio import mes_do_registro as _mes
from painel_apoio import EXEMPLOS

from lexaro_contract.cli import main

@pytest.fixture
def acervo_verificado(registro_de_exemplo, destino, tmp_path, capsys):
    assert main(["verificar", *map(str, sorted(EXEMPLOS.glob("*.pdf"))), "--provider", "local", "--acervo",
                 destino, "--quiet"]) == 1
    capsys.readouterr()
    return destino, _mes(tmp_path / "outubro"), _mes(tmp_path / "novembro", novembro)


def _rodar(capsys, *args):
    codigo = main(["acervo", "reverificar", *args, "--json"])
    saida = capsys.readouterr()
    return codigo, json.loads(saida.out)["alertas"] if saida.out.strip() else None, saida.err


def test_the_second_month_raises_exactly_its_changes_once(acervo_verificado, capsys, abrir):
    destino, outubro, novembro = acervo_verificado
    antes = {c["id"]: c["verificacao_atual"] for c in abrir(destino).listar()[0]}
    assert _rodar(capsys, "--acervo", destino, "--registro", outubro, "--mes", "2026-10")[:2] == (0, [])
    acervo = abrir(destino)
    for cid, vid in antes.items():   # the same registry gives the same verification, from the archive alone
        c = acervo.contrato(cid)
        assert c["verificacao_atual"] != vid and c["verificacao"]["mes_registro"] == "2026-10"
    codigo, alertas, _ = _rodar(capsys, "--acervo", destino, "--registro", novembro, "--mes", "2026-11")
    assert codigo == 1
    achados = {(a["arquivo"], a["tipo"], a["cnpj"], a["pessoa"], a["depois"]) for a in alertas}
    alfa, beta = "10.203.040/0001-94", "20.304.050/0001-70"
    esperados = {(n, "situacao", alfa, None, "INAPTA desde 2026-11-03") for n in
                 ("01_servicos.pdf", "02_fornecimento.pdf", "03_locacao.pdf")}
    assert {a for a in achados if a[1] == "situacao"} == esperados
    assert {a[:4] for a in achados - esperados} == {
        ("01_servicos.pdf", "signatario_fora_do_qsa", beta, "MARIANA COSTA LIMA"),
        ("01_servicos.pdf", "endereco", beta, None),
        ("01_servicos.pdf", "veredito", None, None),
        ("02_fornecimento.pdf", "empresa_nao_encontrada", "30.405.060/0001-55", None),
        ("03_locacao.pdf", "razao_social", "40.506.070/0001-30", None),
        ("03_locacao.pdf", "veredito", None, None)}
    assert len(alertas) == len(achados)
    assert all(a["mes_anterior"] == "2026-10" and a["mes_novo"] == "2026-11" for a in alertas)
    assert len(abrir(destino).alertas()) == len(alertas)
    # The same month again: nothing new, nothing raised twice; an older month is refused.
    assert _rodar(capsys, "--acervo", destino, "--registro", novembro, "--mes", "2026-11")[:2] == (0, [])
    assert len(abrir(destino).alertas()) == len(alertas)
    codigo, _, err = _rodar(capsys, "--acervo", destino, "--registro", outubro, "--mes", "2026-10")
    assert codigo == 3 and "2026-11" in err and len(err.strip().splitlines()) == 1


def test_an_unreachable_registry_leaves_the_archive_as_it_was(acervo_verificado, capsys, abrir, monkeypatch):
    destino, outubro, _ = acervo_verificado
    antes = {c["id"]: c["verificacao_atual"] for c in abrir(destino).listar()[0]}
    for var in ("LEXARO_BRASILAPI_URL", "LEXARO_RECEITAWS_URL", "LEXARO_CASADOSDADOS_URL"):
        monkeypatch.setenv(var, "http://127.0.0.1:9")
    from lexaro_contract.enderecos import Enderecos, apontar

    apontar(Enderecos.na_base("http://127.0.0.1:9"))
    codigo, alertas, err = _rodar(capsys, "--acervo", destino, "--mes", "2026-10")
    assert codigo == 3 and alertas == [] and "indisponível" in err
    assert {c["id"]: c["verificacao_atual"] for c in abrir(destino).listar()[0]} == antes
    assert _rodar(capsys, "--acervo", destino, "--registro", outubro, "--mes", "2026-10")[:2] == (0, [])
    assert all(c["verificacao_atual"] != antes[c["id"]] for c in abrir(destino).listar()[0])


def test_a_record_without_extraction_asks_for_a_new_reading(tmp_path, capsys, abrir):
    destino = str(tmp_path / "acervo.db")
    acervo = abrir(destino)
    cid, _ = acervo.adicionar("velho.pdf", b"%PDF-1.4 velho", "ana")
    acervo.guardar_registro(cid, {"arquivo": "velho.pdf", "resultado": {
        "resultado_final": "PENDENTE", "justificativa": "Lexaro não disponível", "campos_aprovados": [],
        "campos_reprovados": [], "campos_pendentes": ["Extração de dados não disponível"], "empresas": [],
        "assinaturas": []}})
    codigo, alertas, err = _rodar(capsys, "--acervo", destino, "--registro", str(REGISTRO.parent), "--mes", "2026-10")
    assert (codigo, alertas) == (0, []) and "velho.pdf" in err and "nova leitura" in err
