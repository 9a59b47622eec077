"""O acervo em SQLite e em PostgreSQL: arquivos por hash, verificações, fila,
decisões (o log, o conflito, a decisão final), contas e exclusão."""

import json

import pytest
from painel_apoio import EXEMPLOS

from lexaro_contract.acervo import ContaInvalida, Conflito, DecisaoInvalida, campos
from lexaro_contract.cli import main

PENDENTE = {"arquivo": "x.pdf", "resultado": {
    "resultado_final": "PENDENTE", "justificativa": "1 campo(s) requer(em) análise manual",
    "campos_aprovados": ["CNPJ - ALFA LTDA"], "campos_reprovados": [],
    "campos_pendentes": ["Endereço - ALFA LTDA", "Endereço - BETA SA"],
    "empresas": [{"cnpj": "10.203.040/0001-94", "razao_social_receita": "ALFA LTDA"}],
    "dados_contrato": {"data": "2 de junho de 2025"}}}


def test_mesmo_arquivo_e_o_mesmo_contrato_e_a_fila_retoma(destino, abrir):
    acervo = abrir(destino)
    a, novo_a = acervo.adicionar("a.pdf", b"%PDF-1.4 um", "maria")
    b, novo_b = acervo.adicionar("outro-nome.pdf", b"%PDF-1.4 um", "joao")
    c, _ = acervo.adicionar("c.pdf", b"%PDF-1.4 dois", "maria")
    assert (a, novo_a, novo_b) == (b, True, False) and c != a
    assert acervo.caminho_do_arquivo(acervo.contrato(a)["hash"]).read_bytes() == b"%PDF-1.4 um"
    assert [cid for cid, _ in acervo.tomar_da_fila(1)] == [a]
    # O servidor morreu com `a` em verificação: ao reabrir, volta à fila, uma vez.
    acervo = abrir(destino)
    assert acervo.retomar_fila() == 1
    assert [cid for cid, _ in acervo.tomar_da_fila(10)] == [a, c]
    assert acervo.tomar_da_fila(10) == []
    acervo.guardar_registro(c, {"arquivo": "c.pdf", "erro": "PDF ilegível", "tipo_erro": "pdf"})
    assert acervo.contrato(c)["estado"] == "erro" and acervo.repetir(c)
    assert acervo.contrato(c)["estado"] == "na_fila"


def test_decisoes_conflito_e_decisao_final(destino, abrir):
    acervo = abrir(destino)
    cid, _ = acervo.adicionar("x.pdf", b"%PDF-1.4 x", "maria")
    acervo.guardar_registro(cid, PENDENTE, "local")
    ana = acervo.criar_usuario("ana", "analista", "senha-da-ana")
    bia = acervo.criar_usuario("bia", "analista", "senha-da-bia")
    contrato = acervo.contrato(cid)
    ids = {c["texto"]: c["id"] for c in campos(contrato["verificacao"]["registro"]["resultado"])}
    endereco_alfa, endereco_beta = ids["Endereço - ALFA LTDA"], ids["Endereço - BETA SA"]
    acervo.revisao(contrato, ana)
    acervo.revisao(contrato, bia)
    with pytest.raises(DecisaoInvalida):
        acervo.decidir(cid, endereco_alfa, "aprovado", "  ", "ana", ana)
    acervo.decidir(cid, endereco_alfa, "aprovado", "mesmo endereço, outra grafia", "ana", ana)
    # Bia leu antes da decisão de Ana: a sua decisão é recusada, nada é sobrescrito.
    with pytest.raises(Conflito) as conflito:
        acervo.decidir(cid, endereco_alfa, "reprovado", "não confere", "bia", bia)
    assert conflito.value.decisao["usuario"] == "ana"
    revisao = acervo.revisao(acervo.contrato(cid), bia)
    assert revisao["decisao_final"] is None
    acervo.decidir(cid, endereco_beta, "reprovado", "filial <b>errada</b>", "bia", bia)
    revisao = acervo.revisao(acervo.contrato(cid))
    assert revisao["decisao_final"]["decisao"] == "reprovado"
    assert [d["usuario"] for d in revisao["decisoes"]] == ["ana", "bia", "bia"]
    assert acervo.contrato(cid)["veredito"] == "PENDENTE"      # o veredito automático fica
    assert acervo.listar(pendentes=True)[1] == 0
    # Uma verificação nova começa sem decisões e mostra as anteriores ao lado.
    acervo.guardar_registro(cid, PENDENTE, "local")
    revisao = acervo.revisao(acervo.contrato(cid))
    alfa = next(c for c in revisao["campos"] if c["id"] == endereco_alfa)
    assert alfa["decisao"] is None and alfa["anteriores"][0]["usuario"] == "ana"
    assert revisao["decisao_final"] is None and acervo.listar(pendentes=True)[1] == 1


def test_contas_tokens_e_exclusao(destino, abrir):
    acervo = abrir(destino)
    uid = acervo.criar_usuario("admin", "administrador", "senha-longa")
    with pytest.raises(ContaInvalida):
        acervo.criar_usuario("admin", "leitor", "outra-senha")
    assert acervo.autenticar("admin", "senha-longa")["papel"] == "administrador"
    assert acervo.autenticar("admin", "errada!!") is None and acervo.autenticar("ninguem", "x") is None
    token = acervo.criar_token(uid)
    assert acervo.usuario_do_token(token)["nome"] == "admin"
    assert token not in json.dumps(acervo.tokens(uid))
    assert acervo.revogar_token(acervo.tokens(uid)[0]["id"], uid) and acervo.usuario_do_token(token) is None
    cid, _ = acervo.adicionar("x.pdf", b"%PDF-1.4 x", "admin")
    acervo.guardar_registro(cid, PENDENTE)
    caminho = acervo.caminho_do_arquivo(acervo.contrato(cid)["hash"])
    assert acervo.excluir(cid, "admin") and not caminho.exists() and acervo.contrato(cid) is None
    assert [e["usuario"] for e in acervo.exclusoes()] == ["admin"]


def test_lista_filtra_e_pagina(tmp_path, abrir):
    acervo = abrir(str(tmp_path / "a.db"))
    for i in range(7):
        cid, _ = acervo.adicionar(f"{i}.pdf", b"%PDF-1.4 " + bytes([i]), "maria")
        registro = json.loads(json.dumps(PENDENTE))
        registro["resultado"]["resultado_final"] = "APROVADO" if i % 2 else "PENDENTE"
        acervo.guardar_registro(cid, registro)
    pagina, total = acervo.listar(veredito="APROVADO", por_pagina=2, pagina=2)
    assert total == 3 and [c["nome"] for c in pagina] == ["1.pdf"]
    assert acervo.listar(busca="10203040000194")[1] == 7 and acervo.listar(busca="alfa")[1] == 7
    assert acervo.listar(busca="10.203.040")[1] == 7 and acervo.listar(busca="alf ltda")[1] == 7
    assert acervo.listar(busca="gama")[1] == 0 and acervo.listar(busca="3.pdf")[1] == 1


def test_verificar_guarda_no_acervo(registro_de_exemplo, tmp_path, capsys, abrir):
    destino = str(tmp_path / "acervo.db")
    pdfs = [str(EXEMPLOS / n) for n in ("01_servicos.pdf", "03_locacao.pdf")]
    codigo = main(["verificar", *pdfs, "--provider", "local", "--acervo", destino, "--quiet"])
    assert codigo == 2
    contratos, total = abrir(destino).listar()
    assert total == 2 and {c["veredito"] for c in contratos} == {"APROVADO", "PENDENTE"}
    registro = abrir(destino).contrato(contratos[0]["id"])["verificacao"]["registro"]
    assert {"resultado", "assinaturas_digitais", "poderes"} <= set(registro)
    assert main(["verificar", pdfs[0], "--provider", "local", "--acervo", str(tmp_path)]) == 3
    assert "acervo" in capsys.readouterr().err


def test_um_acervo_da_primeira_versao_e_migrado_com_os_seus_dados(tmp_path, abrir):
    import sqlalchemy as sa
    from alembic import command
    from alembic.config import Config

    from lexaro_contract.acervo.base import PASTA_MIGRACOES

    destino = tmp_path / "antigo.db"
    motor = sa.create_engine(f"sqlite:///{destino}")
    cfg = Config()
    cfg.set_main_option("script_location", str(PASTA_MIGRACOES))
    with motor.begin() as con:
        cfg.attributes["conexao"] = con
        command.upgrade(cfg, "0001")
        con.execute(sa.text("INSERT INTO arquivos VALUES ('h', 1, 1, 'x')"))
        con.execute(sa.text("INSERT INTO contratos (hash, nome, criado_em, estado, pendente_revisao, partes) "
                            "VALUES ('h', 'velho.pdf', 'x', 'verificado', 0, 'ÔMEGA LTDA (10.203.040/0001-94)')"))
    motor.dispose()
    acervo = abrir(str(destino))
    assert [c["nome"] for c in acervo.listar(busca="omega")[0]] == ["velho.pdf"]
    assert acervo.listar(busca="10203040")[1] == 1
