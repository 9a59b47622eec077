"""As páginas das contas: entrar (com o freio das tentativas), sair, a
própria conta (senha e tokens da API) e os usuários (administrador)."""

from __future__ import annotations

import hmac

from starlette.requests import Request
from starlette.responses import RedirectResponse, Response
from starlette.routing import Route

from ..acervo import PAPEIS, ContaInvalida
from .acesso import COOKIE, acervo_de, exigir_papel, sessao_de
from .visual import (COOKIE_CSRF_LOGIN, apagar_sessao, csrf_do_login, exigir_sessao, formulario_com_csrf, pagina,
                     pôr_cookie)


def _pagina_de_login(request: Request, status: int = 200, erro: str = "") -> Response:
    csrf = csrf_do_login(request)
    resposta = pagina(request, "entrar.html", status=status, sessao=None, csrf_login=csrf, erro=erro)
    pôr_cookie(resposta, request, COOKIE_CSRF_LOGIN, csrf, 3600)
    return resposta


async def entrar_form(request: Request) -> Response:
    if sessao_de(request) is not None:
        return RedirectResponse("/", status_code=303)
    return _pagina_de_login(request)


async def entrar(request: Request) -> Response:
    formulario = await request.form()
    enviado, esperado = str(formulario.get("csrf") or ""), request.cookies.get(COOKIE_CSRF_LOGIN) or ""
    if not esperado or not hmac.compare_digest(enviado, esperado):
        return _pagina_de_login(request, 403, "O formulário expirou; tente de novo.")
    nome, senha = str(formulario.get("nome") or "").strip(), str(formulario.get("senha") or "")
    freio = request.app.state.freio
    chaves = (f"ip:{request.client.host if request.client else '-'}", f"nome:{nome.lower()}")
    if freio.bloqueado(*chaves):
        return _pagina_de_login(request, 429, "Tentativas demais. Espere alguns minutos e tente de novo.")
    usuario = acervo_de(request).autenticar(nome, senha)
    if usuario is None:
        freio.falhou(*chaves)
        return _pagina_de_login(request, 401, "Usuário ou senha incorretos.")
    freio.limpar(chaves[1])
    sessao = acervo_de(request).abrir_sessao(int(usuario["id"]))
    resposta = RedirectResponse("/", status_code=303)
    pôr_cookie(resposta, request, COOKIE, sessao["segredo"])
    resposta.delete_cookie(COOKIE_CSRF_LOGIN, path="/")
    return resposta


async def sair(request: Request) -> Response:
    await formulario_com_csrf(request)
    segredo = request.cookies.get(COOKIE)
    if segredo:
        acervo_de(request).fechar_sessao(segredo)
    resposta = RedirectResponse("/entrar", status_code=303)
    apagar_sessao(resposta)
    return resposta


async def conta(request: Request, status: int = 200, aviso: str = "", token: str = "") -> Response:
    sessao = exigir_sessao(request)
    return pagina(request, "conta.html", status=status, sessao=sessao, aviso=aviso, token_novo=token,
                  tokens=acervo_de(request).tokens(int(sessao["id"])))


async def trocar_senha(request: Request) -> Response:
    dados = await formulario_com_csrf(request)
    sessao, campos = dados["sessao"], dados["campos"]
    acervo = acervo_de(request)
    if acervo.autenticar(sessao["nome"], str(campos.get("atual") or "")) is None:
        return await conta(request, 400, "A senha atual não confere.")
    try:
        acervo.trocar_senha(int(sessao["id"]), str(campos.get("nova") or ""))
    except ContaInvalida as e:
        return await conta(request, 400, str(e))
    return await conta(request, 200, "Senha trocada.")


async def criar_token(request: Request) -> Response:
    dados = await formulario_com_csrf(request)
    token = acervo_de(request).criar_token(int(dados["sessao"]["id"]))
    return await conta(request, 201, "Token criado: copie-o agora, ele não será mostrado de novo.", token)


async def revogar_token(request: Request) -> Response:
    dados = await formulario_com_csrf(request)
    sessao = dados["sessao"]
    dono = None if sessao["papel"] == "administrador" else int(sessao["id"])
    acervo_de(request).revogar_token(int(request.path_params["id"]), dono)
    destino = "/usuarios" if str(dados["campos"].get("voltar") or "") == "usuarios" else "/conta"
    return RedirectResponse(destino, status_code=303)


async def usuarios(request: Request, status: int = 200, aviso: str = "") -> Response:
    sessao = exigir_sessao(request)
    exigir_papel(sessao, ("administrador",))
    acervo = acervo_de(request)
    return pagina(request, "usuarios.html", status=status, sessao=sessao, usuarios=acervo.usuarios(),
                  tokens=acervo.tokens(), papeis=PAPEIS, aviso=aviso, exclusoes=acervo.exclusoes())


async def criar_usuario(request: Request) -> Response:
    dados = await formulario_com_csrf(request)
    exigir_papel(dados["sessao"], ("administrador",))
    campos = dados["campos"]
    try:
        acervo_de(request).criar_usuario(str(campos.get("nome") or ""), str(campos.get("papel") or ""),
                                         str(campos.get("senha") or ""))
    except ContaInvalida as e:
        return await usuarios(request, 400, str(e))
    return await usuarios(request, 201, f"Usuário {campos.get('nome')} criado.")


async def mudar_papel(request: Request) -> Response:
    dados = await formulario_com_csrf(request)
    exigir_papel(dados["sessao"], ("administrador",))
    try:
        acervo_de(request).mudar_papel(int(request.path_params["id"]), str(dados["campos"].get("papel") or ""))
    except ContaInvalida as e:
        return await usuarios(request, 400, str(e))
    return RedirectResponse("/usuarios", status_code=303)


ROTAS = [
    Route("/entrar", entrar_form, methods=["GET"]),
    Route("/entrar", entrar, methods=["POST"]),
    Route("/sair", sair, methods=["POST"]),
    Route("/conta", conta, methods=["GET"]),
    Route("/conta/senha", trocar_senha, methods=["POST"]),
    Route("/conta/tokens", criar_token, methods=["POST"]),
    Route("/tokens/{id:int}/revogar", revogar_token, methods=["POST"]),
    Route("/usuarios", usuarios, methods=["GET"]),
    Route("/usuarios", criar_usuario, methods=["POST"]),
    Route("/usuarios/{id:int}/papel", mudar_papel, methods=["POST"]),
]
