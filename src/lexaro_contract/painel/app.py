"""A aplicação do painel (Starlette): a API, as páginas e os seus arquivos,
sobre um acervo aberto e a fila que verifica os envios."""

from __future__ import annotations

import contextlib
from typing import Any, AsyncIterator, Optional

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, RedirectResponse, Response

from ..acervo import Acervo
from .acesso import FreioDeLogin, Recusado
from .alertas_paginas import ROTAS as ROTAS_ALERTAS
from .api import ROTAS as ROTAS_API
from .envio import LIMITE_PEDIDO, LimiteDeCorpo
from .fila import Fila


async def _recusado(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, Recusado)
    if request.url.path.startswith("/api/"):
        return JSONResponse({"erro": exc.mensagem}, status_code=exc.status)
    if exc.status == 401:
        return RedirectResponse("/entrar", status_code=303)
    from .paginas import pagina_de_erro

    return pagina_de_erro(request, exc.status, exc.mensagem)


def criar_app(acervo: Acervo, fila: Optional[Fila] = None, seguro: bool = False,
              limite: int = LIMITE_PEDIDO) -> Any:
    """O aplicativo ASGI. `seguro`: servido por HTTPS (cookies Secure). A
    fila, se dada, é iniciada e parada com o aplicativo."""
    from .paginas import ROTAS as ROTAS_PAGINAS

    @contextlib.asynccontextmanager
    async def ciclo(_app: Starlette) -> AsyncIterator[None]:
        if fila is not None:
            fila.iniciar()
        try:
            yield
        finally:
            if fila is not None:
                fila.parar()

    app = Starlette(routes=[*ROTAS_API, *ROTAS_ALERTAS, *ROTAS_PAGINAS], exception_handlers={Recusado: _recusado},
                    lifespan=ciclo)
    app.state.acervo, app.state.fila, app.state.seguro = acervo, fila, seguro
    app.state.freio = FreioDeLogin()
    return LimiteDeCorpo(app, limite)
