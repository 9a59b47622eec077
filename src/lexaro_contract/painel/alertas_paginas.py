"""A página dos alertas da reverificação (o que mudou num contrato de um mês
do registro para o outro), onde um analista os marca como vistos com um
comentário (que vai ao log das decisões), e a mesma lista na API."""

from __future__ import annotations

from urllib.parse import urlencode

from starlette.requests import Request
from starlette.responses import JSONResponse, RedirectResponse, Response
from starlette.routing import Route

from ..acervo.alertas import CAMPOS_ALERTA
from .acesso import PODE_DECIDIR, Recusado, acervo_de, exigir_papel, usuario_da_api
from .visual import exigir_sessao, formulario_com_csrf, pagina

CHAVES = ("id", "contrato", "arquivo", *CAMPOS_ALERTA, "criado_em", "visto_em", "visto_por")


def _vistos(request: Request) -> "bool | None":
    return None if request.query_params.get("todos") else False


async def lista(request: Request) -> Response:
    sessao = exigir_sessao(request)
    todos = bool(request.query_params.get("todos"))
    return pagina(request, "alertas.html", sessao=sessao, alertas=acervo_de(request).alertas(_vistos(request)),
                  todos=todos, pode_marcar=sessao["papel"] in PODE_DECIDIR, aviso=request.query_params.get("aviso"))


async def marcar(request: Request) -> Response:
    dados = await formulario_com_csrf(request)
    sessao = dados["sessao"]
    exigir_papel(sessao, PODE_DECIDIR)
    comentario = str(dados["campos"].get("comentario") or "").strip()
    if not comentario:
        raise Recusado(400, "o comentário é obrigatório")
    try:
        alerta_id = int(request.path_params["id"])
    except ValueError:
        raise Recusado(404, "alerta não encontrado") from None
    feito, alerta = acervo_de(request).marcar_visto(alerta_id, sessao["nome"], comentario)
    if alerta is None:
        raise Recusado(404, "alerta não encontrado")
    aviso = f"Alerta {alerta_id} marcado como visto." if feito else \
        f"O alerta {alerta_id} já tinha sido visto por {alerta['visto_por']}."
    return RedirectResponse("/alertas?" + urlencode({"aviso": aviso}), status_code=303)


async def api_lista(request: Request) -> Response:
    usuario_da_api(request)
    linhas = acervo_de(request).alertas(_vistos(request))
    return JSONResponse({"alertas": [{k: (a["contrato_id"] if k == "contrato" else a.get(k)) for k in CHAVES}
                                     for a in linhas]})


ROTAS = [
    Route("/alertas", lista, methods=["GET"]),
    Route("/alertas/{id}/visto", marcar, methods=["POST"]),
    Route("/api/alertas", api_lista, methods=["GET"]),
]
