"""As páginas do painel sobre HTTP: sessão, CSRF, freio de login, envio,
a página do contrato, a revisão, o escape e a exclusão."""

import re

from painel_apoio import PDFS, SENHA, arquivos


def _csrf(html):
    return re.search(r'name="csrf" value="([^"]+)"', html).group(1)


def entrar(cliente, nome, senha=SENHA):
    formulario = cliente.get("/entrar")
    return cliente.post("/entrar", data={"csrf": _csrf(formulario.text), "nome": nome, "senha": senha},
                        follow_redirects=False)


def test_sessao_csrf_e_freio_de_login(painel):
    c = painel.cliente
    painel.usuario("ana")
    assert c.get("/", follow_redirects=False).headers["location"] == "/entrar"
    assert c.get("/contratos/1", follow_redirects=False).status_code == 303
    assert c.post("/entrar", data={"nome": "ana", "senha": SENHA}).status_code == 403
    resposta = entrar(c, "ana")
    assert resposta.status_code == 303
    cookie = resposta.headers["set-cookie"].lower()
    assert "httponly" in cookie and "samesite=strict" in cookie and "lexaro_sessao=" in cookie
    assert c.get("/").status_code == 200
    assert c.post("/sair", data={}).status_code == 403           # sem o token CSRF
    assert c.post("/sair", data={"csrf": _csrf(c.get("/").text)}, follow_redirects=False).status_code == 303
    assert c.get("/", follow_redirects=False).status_code == 303
    c.cookies.clear()
    for _ in range(5):
        assert entrar(c, "ana", "errada-errada").status_code == 401
    assert entrar(c, "ana").status_code == 429                    # nem a senha certa passa agora


def test_envio_pagina_do_contrato_revisao_e_escape(painel):
    c = painel.cliente
    painel.usuario("ana")
    painel.usuario("chefe", "administrador")
    entrar(c, "ana")
    html = c.get("/enviar").text
    assert c.post("/enviar", files=arquivos(PDFS[2])).status_code == 403
    nome_mau = "<img src=x onerror=alert(1)>.pdf"
    resposta = c.post("/enviar", data={"csrf": _csrf(html)}, files=arquivos(PDFS[2], (nome_mau, PDFS[0].read_bytes())))
    assert resposta.status_code == 200 and "&lt;img src=x onerror=alert(1)&gt;.pdf" in resposta.text
    assert "<img src=x onerror=alert(1)>" not in resposta.text
    ids = [r["id"] for r in painel.acervo.listar()[0]]
    painel.esperar(ids)
    lista = c.get("/", params={"veredito": "PENDENTE"}).text
    assert "03_locacao.pdf" in lista and "<img src=x" not in c.get("/").text
    cid = painel.acervo.listar(veredito="PENDENTE")[0][0]["id"]
    pagina = c.get(f"/contratos/{cid}").text
    assert "PENDENTE" in pagina and "DELTA EMPREENDIMENTOS" in pagina and "Similaridade" in pagina
    assert "Sócio-Administrador" in pagina and f"/contratos/{cid}/paginas/1.png" in pagina
    assert 'class="evidencia"' in pagina and 'data-dono="DELTA EMPREENDIMENTOS IMOBILIARIOS LTDA"' in pagina
    imagem = c.get(f"/contratos/{cid}/paginas/1.png")
    assert imagem.status_code == 200 and imagem.content[:8] == b"\x89PNG\r\n\x1a\n"
    campo = re.search(r'<tr id="campo-([^"]+)" class="situacao-pendente"', pagina).group(1)
    visto = re.search(r'name="visto" value="([^"]+)"', pagina).group(1)
    decisao = {"campo": campo, "decisao": "aprovado", "comentario": '<img src=x onerror="alert(2)">', "visto": visto}
    assert c.post(f"/contratos/{cid}/decisoes", data=decisao).status_code == 403
    feita = c.post(f"/contratos/{cid}/decisoes", data={**decisao, "csrf": _csrf(pagina)}, follow_redirects=False)
    assert feita.status_code == 303
    pagina = c.get(f"/contratos/{cid}").text
    assert "&lt;img src=x onerror=" in pagina and "<img src=x" not in pagina
    assert 'id="decisao-final">aprovado<' in pagina
    # Outra analista com a página velha aberta: vê a decisão de Ana, nada é sobrescrito.
    painel.usuario("bia")
    c.cookies.clear()
    entrar(c, "bia")
    conflito = c.post(f"/contratos/{cid}/decisoes", data={**decisao, "decisao": "reprovado",
                                                          "csrf": _csrf(c.get("/").text)})
    assert conflito.status_code == 409 and "ana decidiu este campo antes" in conflito.text
    assert c.post(f"/contratos/{cid}/excluir", data={"csrf": _csrf(c.get("/").text)}).status_code == 403
    c.cookies.clear()
    entrar(c, "chefe")
    excluida = c.post(f"/contratos/{cid}/excluir", data={"csrf": _csrf(c.get("/").text)}, follow_redirects=False)
    assert excluida.status_code == 303 and painel.acervo.contrato(cid) is None
    assert "excluído por chefe" in c.get("/usuarios").text
    assert c.get("/estaticos/painel.js").status_code == 200


def test_token_da_pagina_da_conta_serve_a_api_ate_ser_revogado(painel):
    c = painel.cliente
    painel.usuario("ana")
    entrar(c, "ana")
    conta = c.get("/conta").text
    criado = c.post("/conta/tokens", data={"csrf": _csrf(conta)})
    token = re.search(r'<code id="token-novo">([^<]+)</code>', criado.text).group(1)
    api = {"Authorization": "Bearer " + token}
    assert c.get("/api/contratos", headers=api).status_code == 200
    tid = painel.acervo.tokens()[0]["id"]
    assert c.post(f"/tokens/{tid}/revogar", data={"csrf": _csrf(conta)}, follow_redirects=False).status_code == 303
    c.cookies.clear()
    assert c.get("/api/contratos", headers=api).status_code == 401


def test_por_https_o_cookie_da_sessao_e_secure(painel):
    from starlette.testclient import TestClient

    painel.usuario("ana")
    with TestClient(painel.cliente.app, base_url="https://painel.exemplo") as c:
        assert "secure" in entrar(c, "ana").headers["set-cookie"].lower()
    assert "secure" not in entrar(painel.cliente, "ana").headers["set-cookie"].lower()


def test_contrato_que_falhou_mostra_o_erro_e_volta_a_fila(painel):
    c = painel.cliente
    painel.usuario("ana")
    cid, _ = painel.acervo.adicionar(PDFS[0].name, PDFS[0].read_bytes(), "ana", estado="erro")
    painel.acervo.guardar_registro(cid, {"arquivo": "x", "erro": "o processo de <verificação> morreu", "tipo_erro": "processo"})
    entrar(c, "ana")
    pagina = c.get(f"/contratos/{cid}").text
    assert "Falhou: o processo de &lt;verificação&gt; morreu" in pagina and "Tentar de novo" in pagina
    assert c.post(f"/contratos/{cid}/repetir", data={}).status_code == 403
    assert c.post(f"/contratos/{cid}/repetir", data={"csrf": _csrf(pagina)}, follow_redirects=False).status_code == 303
    assert painel.esperar([cid]) == ["verificado"]
    assert painel.acervo.contrato(cid)["veredito"] == "APROVADO" and painel.acervo.contrato(cid)["erro"] is None
    assert 'class="evidencia"' in c.get(f"/contratos/{cid}").text
    # Um registro guardado sem evidências: as páginas, sem caixas.
    registro = dict(painel.acervo.contrato(cid)["verificacao"]["registro"])
    del registro["evidencias"]
    painel.acervo.guardar_registro(cid, registro, "local")
    pagina = c.get(f"/contratos/{cid}").text
    assert 'class="evidencia"' not in pagina and f"/contratos/{cid}/paginas/1.png" in pagina


def test_o_administrador_muda_papeis_e_o_ultimo_administrador_fica(painel):
    c = painel.cliente
    chefe, ana = painel.usuario("chefe", "administrador"), painel.usuario("ana")
    api_da_ana = {"Authorization": "Bearer " + painel.acervo.criar_token(ana)}
    assert c.get("/api/contratos", headers=api_da_ana).status_code == 200
    entrar(c, "chefe")
    csrf = _csrf(c.get("/usuarios").text)
    assert c.post(f"/usuarios/{ana}/papel", data={"papel": "leitor"}).status_code == 403   # sem CSRF
    mudou = c.post(f"/usuarios/{ana}/papel", data={"papel": "leitor", "csrf": csrf}, follow_redirects=False)
    assert mudou.status_code == 303 and painel.acervo.usuario(ana)["papel"] == "leitor"
    # Vale já: a leitora lê, mas não envia.
    envio = c.post("/api/contratos", headers=api_da_ana, files={"arquivo": ("a.pdf", b"%PDF-1.4\n", "application/pdf")})
    assert envio.status_code == 403
    for papel in ("analista", "administrador-nao"):
        recusa = c.post(f"/usuarios/{chefe}/papel", data={"papel": papel, "csrf": csrf})
        assert recusa.status_code == 400 and painel.acervo.usuario(chefe)["papel"] == "administrador"
    assert "pelo menos um administrador" in c.post(f"/usuarios/{chefe}/papel",
                                                   data={"papel": "leitor", "csrf": csrf}).text
