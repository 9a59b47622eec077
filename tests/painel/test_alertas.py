"""The desk's Alertas page: the alerts of a re-check, marked as seen with a
comment that lands in the decision log; the same list on the API."""

import re

from meses_apoio import mes_do_registro, novembro
from painel_apoio import PDFS
from test_paginas import _csrf, entrar

from lexaro_contract import lote
from lexaro_contract.enderecos import Enderecos, apontando
from lexaro_contract.monitoramento.reverificar import reverificar_acervo
from lexaro_contract.registro.em_processo import servir_no_processo


def test_alerts_page_marks_seen_with_a_comment(painel, tmp_path):
    acervo, c = painel.acervo, painel.cliente
    cid, _ = acervo.adicionar(PDFS[0].name, PDFS[0].read_bytes(), "ana", estado="verificando")
    acervo.guardar_registro(cid, lote.verificar_arquivo(str(PDFS[0]), lote.Configuracao.atual("local")))
    with servir_no_processo(mes_do_registro(tmp_path / "novembro", novembro)) as reg, \
            apontando(Enderecos.na_base(reg.base, observado=True)):
        resumo = reverificar_acervo(acervo, "2026-11")
    assert resumo.reverificados == 1 and len(resumo.alertas) == 4
    painel.usuario("ana")
    entrar(c, "ana")
    html = c.get("/alertas").text
    assert html.count('action="/alertas/') == 4 and "MARIANA COSTA LIMA" in html and "INAPTA" in html
    primeiro = int(re.search(r'action="/alertas/(\d+)/visto"', html).group(1))
    assert c.post(f"/alertas/{primeiro}/visto", data={"comentario": "visto"}).status_code == 403
    assert c.post(f"/alertas/{primeiro}/visto", data={"csrf": _csrf(html), "comentario": " "}).status_code == 400
    r = c.post(f"/alertas/{primeiro}/visto", data={"csrf": _csrf(html), "comentario": "<b>fornecedor avisado</b>"})
    assert r.status_code == 200 and "marcado como visto" in r.text and r.text.count('action="/alertas/') == 3
    assert "&lt;b&gt;" not in r.text and "visto por ana" in c.get("/alertas?todos=1").text
    log = acervo.decisoes(cid)
    assert [(d["campo"], d["decisao"], d["comentario"]) for d in log] == [
        (f"alerta-{primeiro}", "visto", "<b>fornecedor avisado</b>")]
    again = c.post(f"/alertas/{primeiro}/visto", data={"csrf": _csrf(html), "comentario": "de novo"})
    assert "já tinha sido visto por ana" in again.text and len(acervo.decisoes(cid)) == 1
    api = c.get("/api/alertas?todos=1", headers=painel.token("bia", "leitor")).json()["alertas"]
    assert len(api) == 4 and {a["contrato"] for a in api} == {cid} and sum(bool(a["visto_em"]) for a in api) == 1
