"""O que as páginas têm em comum: os modelos Jinja2 (com escape automático),
a resposta de uma página, o token CSRF dos formulários e as imagens das
páginas do PDF."""

from __future__ import annotations

import functools
import io
import secrets
import threading
from pathlib import Path
from typing import Any, Dict, Optional

from jinja2 import Environment, FileSystemLoader, select_autoescape
from starlette.requests import Request
from starlette.responses import HTMLResponse, Response

from .acesso import COOKIE, Recusado, csrf_confere, sessao_de

PASTA = Path(__file__).resolve().parent
COOKIE_CSRF_LOGIN = "lexaro_csrf"
ESCALA = 1.5   # pixels por ponto da página

_ambiente = Environment(loader=FileSystemLoader(str(PASTA / "modelos")), autoescape=select_autoescape(["html"]))


def pagina(request: Request, modelo: str, status: int = 200, **contexto: Any) -> HTMLResponse:
    sessao = contexto.pop("sessao", None) or sessao_de(request)
    html = _ambiente.get_template(modelo).render(request=request, sessao=sessao, **contexto)
    resposta = HTMLResponse(html, status_code=status)
    resposta.headers["Content-Security-Policy"] = "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'"
    resposta.headers["X-Content-Type-Options"] = "nosniff"
    resposta.headers["Referrer-Policy"] = "same-origin"
    return resposta


def pagina_de_erro(request: Request, status: int, mensagem: str) -> HTMLResponse:
    return pagina(request, "erro.html", status=status, status_http=status, mensagem=mensagem)


def exigir_sessao(request: Request) -> Dict[str, Any]:
    sessao = sessao_de(request)
    if sessao is None:
        raise Recusado(401, "entre para continuar")
    return sessao


async def formulario_com_csrf(request: Request, max_files: int = 1000) -> Dict[str, Any]:
    """A sessão e os campos de um formulário cujo token CSRF confere; Recusado senão.
    O formulário é lido uma vez por pedido: `max_files` vale para quem o lê depois."""
    sessao = exigir_sessao(request)
    formulario = await request.form(max_files=max_files)
    if not csrf_confere(sessao, str(formulario.get("csrf") or "")):
        await formulario.close()
        raise Recusado(403, "formulário sem token CSRF válido; recarregue a página e tente de novo")
    return {"sessao": sessao, "campos": formulario}


def pôr_cookie(resposta: Response, request: Request, nome: str, valor: str, idade: Optional[int] = None) -> None:
    resposta.set_cookie(nome, valor, max_age=idade, httponly=True, samesite="strict",
                        secure=bool(request.app.state.seguro) or request.url.scheme == "https", path="/")


def csrf_do_login(request: Request) -> str:
    return request.cookies.get(COOKIE_CSRF_LOGIN) or secrets.token_urlsafe(24)


def apagar_sessao(resposta: Response) -> None:
    resposta.delete_cookie(COOKIE, path="/")


# ---------------------------------------------------------------- as páginas do PDF

_trava_pdf = threading.Lock()   # o pdfium não aceita dois fios ao mesmo tempo


@functools.lru_cache(maxsize=64)
def imagem_da_pagina(caminho: str, indice: int) -> Optional[bytes]:
    """A página `indice` (0 é a primeira) do PDF em PNG, ou None se não existe."""
    import pypdfium2

    with _trava_pdf:
        pdf = pypdfium2.PdfDocument(caminho)
        try:
            if not 0 <= indice < len(pdf):
                return None
            imagem = pdf[indice].render(scale=ESCALA).to_pil()
        finally:
            pdf.close()
    saida = io.BytesIO()
    imagem.save(saida, format="PNG", optimize=False)
    return saida.getvalue()


@functools.lru_cache(maxsize=64)
def tamanhos_das_paginas(caminho: str) -> tuple:  # type: ignore[type-arg]
    """(largura, altura) em pontos de cada página."""
    import pypdfium2

    with _trava_pdf:
        pdf = pypdfium2.PdfDocument(caminho)
        try:
            return tuple(tuple(pdf[i].get_size()) for i in range(len(pdf)))
        finally:
            pdf.close()
