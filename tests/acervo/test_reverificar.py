"""acervo reverificar: the archive re-checked from its stored extraction
against two registry months served in-process, the second with chosen changes."""

import json

import pytest
from meses_apoio import REGISTRO, mes_aberto, novembro
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
    assert {abrir(destino).contrato(c)["verificacao"]["mes_registro"] for c in antes} == {"registro local sem mês"}
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


@pytest.fixture(params=["sqlite", "postgres"])
def banco_do_registro(request, tmp_path):
    """Where the registry months are imported, one after the other (the second swapped in)."""
    if request.param == "sqlite":
        return str(tmp_path / "registro.sqlite")
    return request.getfixturevalue("banco_postgres")


def test_imported_months_swapped_in_give_the_same_alerts(registro_de_exemplo, banco_do_registro, tmp_path, capsys):
    from lexaro_contract.registro.dados_abertos.importador import importar

    destino = str(tmp_path / "acervo.db")
    assert main(["verificar", *map(str, sorted(EXEMPLOS.glob("*.pdf"))), "--provider", "local", "--acervo",
                 destino, "--quiet"]) == 1
    importar(mes_aberto(tmp_path / "2026-10"), banco_do_registro, progresso=False)
    capsys.readouterr()
    assert _rodar(capsys, "--acervo", destino, "--registro", banco_do_registro)[:2] == (0, [])
    importar(mes_aberto(tmp_path / "2026-11", mudar=novembro), banco_do_registro, progresso=False)
    codigo, alertas, err = _rodar(capsys, "--acervo", destino, "--registro", banco_do_registro)
    assert codigo == 1 and "Registro de 2026-11" in err
    assert sorted((a["arquivo"], a["tipo"]) for a in alertas) == sorted(
        [(n, "situacao") for n in ("01_servicos.pdf", "02_fornecimento.pdf", "03_locacao.pdf")]
        + [("01_servicos.pdf", t) for t in ("signatario_fora_do_qsa", "endereco", "veredito")]
        + [("02_fornecimento.pdf", "empresa_nao_encontrada"), ("03_locacao.pdf", "razao_social"),
           ("03_locacao.pdf", "veredito")])
    assert {(a["mes_anterior"], a["mes_novo"]) for a in alertas} == {("2026-10", "2026-11")}
    assert "INAPTA desde 2026-11-03" in {a["depois"] for a in alertas}


def test_a_partial_month_is_refused_then_its_unknowns_are_errors_not_alerts(registro_de_exemplo, tmp_path, capsys):
    from lexaro_contract.registro.dados_abertos.importador import importar

    destino, banco = str(tmp_path / "acervo.db"), str(tmp_path / "registro.sqlite")
    assert main(["verificar", *map(str, sorted(EXEMPLOS.glob("*.pdf"))), "--provider", "local", "--acervo",
                 destino, "--quiet"]) == 1
    importar(mes_aberto(tmp_path / "2026-10"), banco, progresso=False)
    capsys.readouterr()
    assert _rodar(capsys, "--acervo", destino, "--registro", banco)[:2] == (0, [])
    pasta = mes_aberto(tmp_path / "2026-11", mudar=novembro)
    next(p for p in pasta.iterdir() if p.name.endswith("CNAECSV")).unlink()
    importar(pasta, banco, progresso=False, parcial=True)
    codigo, alertas, err = _rodar(capsys, "--acervo", destino, "--registro", banco)
    assert (codigo, alertas) == (3, None) and "--parcial" in err and len(err.strip().splitlines()) == 1
    codigo, alertas, err = _rodar(capsys, "--acervo", destino, "--registro", banco, "--parcial")
    assert codigo == 3 and "02_fornecimento.pdf" in err and "empresa_nao_encontrada" not in {a["tipo"] for a in alertas}
    assert {a["arquivo"] for a in alertas} == {"01_servicos.pdf", "03_locacao.pdf"}


def test_registro_importar_re_checks_the_archive_after_the_swap(registro_de_exemplo, tmp_path, capsys, abrir):
    destino, banco = str(tmp_path / "acervo.db"), str(tmp_path / "registro.sqlite")
    assert main(["verificar", str(EXEMPLOS / "03_locacao.pdf"), "--provider", "local", "--acervo", destino,
                 "--quiet"]) == 2
    assert main(["registro", "importar", str(mes_aberto(tmp_path / "2026-10")), "--banco", banco, "-q",
                 "--reverificar-acervo", destino]) == 0
    assert main(["registro", "importar", str(mes_aberto(tmp_path / "2026-11", mudar=novembro)), "--banco", banco, "-q",
                 "--reverificar-acervo", destino]) == 1
    assert "razao_social" in capsys.readouterr().out
    assert {(a["tipo"], a["mes_novo"]) for a in abrir(destino).alertas()} == {
        ("situacao", "2026-11"), ("razao_social", "2026-11"), ("veredito", "2026-11")}


@pytest.mark.parametrize("destino", ["pasta", "sqlite", "ausente"])
def test_verificar_with_its_own_registry_served_in_process(destino, apontar_registro, tmp_path, capsys):
    from lexaro_contract import cli
    from lexaro_contract.registro.dados_abertos.importador import importar

    apontar_registro("http://127.0.0.1:9")   # the configured services answer nothing
    if destino == "pasta":
        registro = str(REGISTRO.parent)
    elif destino == "sqlite":
        registro = str(tmp_path / "registro.sqlite")
        importar(mes_aberto(tmp_path / "2026-10"), registro, progresso=False)
    else:
        registro = str(tmp_path / "nada.sqlite")
    pdfs = sorted(str(p) for p in (REGISTRO.parents[1] / "contratos").glob("*.pdf"))
    codigo = cli.main(["verificar", *pdfs, "--provider", "local", "--quiet", "--registro", registro])
    out, err = capsys.readouterr()
    if destino == "ausente":
        assert codigo == 3 and out == ""
        assert err == f"lexaro-contract: não foi possível abrir o registro {registro}: " \
                      f"banco do registro não encontrado: {registro}\n"
    else:
        assert codigo == 1 and err == ""
        assert [linha.split(": ")[1].split(" ")[0] for linha in out.splitlines()] == \
            ["APROVADO", "REPROVADO", "PENDENTE"]


def test_process_workers_answer_from_the_registry_they_open_with_the_http_server_gone(acervo_verificado, abrir):
    from lexaro_contract.enderecos import Enderecos, apontando
    from lexaro_contract.monitoramento.reverificar import reverificar_acervo
    from lexaro_contract.registro.em_processo import servir_no_processo

    destino, _, novembro = acervo_verificado
    with servir_no_processo(novembro) as reg, apontando(Enderecos.na_base(reg.base, observado=True)):
        reg.servidor.shutdown()   # nothing answers on the socket: the workers ask the folder they load
        resumo = reverificar_acervo(abrir(destino), "2026-11", processos=True, cliente=reg.fabrica_de_clientes())
    assert resumo.erros == [] and resumo.reverificados == 3
    assert sorted((a["arquivo"], a["tipo"]) for a in resumo.alertas) == sorted(
        [(n, "situacao") for n in ("01_servicos.pdf", "02_fornecimento.pdf", "03_locacao.pdf")]
        + [("01_servicos.pdf", t) for t in ("signatario_fora_do_qsa", "endereco", "veredito")]
        + [("02_fornecimento.pdf", "empresa_nao_encontrada"), ("03_locacao.pdf", "razao_social"),
           ("03_locacao.pdf", "veredito")])
    assert {a["depois"] for a in resumo.alertas if a["tipo"] == "situacao"} == {"INAPTA"}
    # The search terms follow the parties that changed, as a full re-indexing would leave them.
    import sqlalchemy as sa
    from lexaro_contract.acervo.esquema import termos
    from lexaro_contract.acervo.termos import termos_de

    acervo = abrir(destino)
    with acervo.motor.connect() as con:
        for c in acervo.listar()[0]:
            assert set(con.execute(sa.select(termos.c.termo).where(termos.c.contrato_id == c["id"])).scalars()) \
                == termos_de(c["nome"], c["partes"])
