"""As páginas do painel: a lista, o envio, a página de um contrato com as
suas páginas em imagem e a revisão, e a exclusão."""

from __future__ import annotations

import re
from typing import Any, Dict, List, Tuple
from urllib.parse import urlencode

from starlette.requests import Request
from starlette.responses import RedirectResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from ..acervo import Conflito, DecisaoInvalida
from ..acervo.termos import normalizar
from .acesso import PODE_DECIDIR, PODE_ENVIAR, Recusado, acervo_de, contrato_ou_404, exigir_papel
from .api import receber_arquivos
from .contas_paginas import ROTAS as ROTAS_CONTAS
from .envio import LIMITE_PEDIDO, MAXIMO_ARQUIVOS, CorpoGrande
from .formas import detalhe, filtros_de, resumo
from .visual import (PASTA, exigir_sessao, formulario_com_csrf, imagem_da_pagina, pagina, pagina_de_erro,
                     tamanhos_das_paginas)

__all__ = ["ROTAS", "pagina_de_erro"]


async def lista(request: Request) -> Response:
    sessao = exigir_sessao(request)
    filtros = filtros_de(request.query_params)
    linhas, total = acervo_de(request).listar(**filtros)
    paginas = max(1, -(-total // filtros["por_pagina"]))
    base = {k: v for k, v in request.query_params.items() if k != "pagina" and v}
    return pagina(request, "lista.html", sessao=sessao, contratos=[resumo(c) for c in linhas], total=total,
                  filtros=filtros, paginas=paginas,
                  anterior="?" + urlencode({**base, "pagina": filtros["pagina"] - 1}) if filtros["pagina"] > 1 else None,
                  proxima="?" + urlencode({**base, "pagina": filtros["pagina"] + 1})
                  if filtros["pagina"] < paginas else None,
                  consulta=urlencode(base), aviso=request.query_params.get("aviso"))


async def envio(request: Request) -> Response:
    sessao = exigir_sessao(request)
    exigir_papel(sessao, PODE_ENVIAR)
    return pagina(request, "enviar.html", sessao=sessao, resultados=None, limite=LIMITE_PEDIDO // (1024 * 1024))


async def enviar(request: Request) -> Response:
    sessao = exigir_sessao(request)
    exigir_papel(sessao, PODE_ENVIAR)
    try:
        # O formulário é lido aqui uma vez só; `receber_arquivos` o reencontra.
        await formulario_com_csrf(request, max_files=MAXIMO_ARQUIVOS)
        resultados = await receber_arquivos(request, sessao)
    except CorpoGrande:
        return pagina(request, "enviar.html", status=413, sessao=sessao, resultados=None,
                      limite=LIMITE_PEDIDO // (1024 * 1024),
                      erro=f"Envio grande demais: o limite é {LIMITE_PEDIDO // (1024 * 1024)} MB. Nada foi guardado.")
    return pagina(request, "enviar.html", status=200 if resultados else 400, sessao=sessao, resultados=resultados,
                  limite=LIMITE_PEDIDO // (1024 * 1024), erro=None if resultados else "Escolha um ou mais PDFs.")


def dono(texto: str) -> str:
    """O nome de quem um campo ou uma evidência fala, comparável: sem acento,
    em maiúsculas, só letras e algarismos ("Endereço - DELTA LTDA" → "DELTA LTDA")."""
    return " ".join(re.findall(r"[A-Z0-9]+", normalizar(texto.split(" - ", 1)[-1])))


def _caixas(evidencias: Any, tamanhos: Tuple[Any, ...]) -> Dict[int, List[Dict[str, Any]]]:
    """As caixas das evidências do motor por página (índice 0), em frações da
    página: cada empresa e signatário com os lugares (`onde`) em que foi lido,
    retângulos em pontos com a origem no canto de cima à esquerda."""
    caixas: Dict[int, List[Dict[str, Any]]] = {}
    if not isinstance(evidencias, dict):
        return caixas
    for grupo in ("empresas", "signatarios"):
        for item in evidencias.get(grupo) or []:
            if not isinstance(item, dict):
                continue
            nome = str(item.get("nome") or "")
            for onde in item.get("onde") or []:
                try:
                    indice = int(onde["pagina"]) - 1
                    largura, altura = tamanhos[indice]
                    x0, y0, x1, y1 = (float(v) for v in onde["retangulo"])
                except (KeyError, TypeError, ValueError, IndexError):
                    continue
                caixas.setdefault(indice, []).append({
                    "dono": dono(nome), "rotulo": f"{nome} ({onde.get('campo') or grupo})",
                    "linha": str(onde.get("linha") or ""), "x": round(x0 / largura, 4),
                    "y": round(y0 / altura, 4), "l": round((x1 - x0) / largura, 4),
                    "a": round((y1 - y0) / altura, 4)})
    return caixas


async def contrato(request: Request, status: int = 200, erro: str = "") -> Response:
    sessao = exigir_sessao(request)
    acervo = acervo_de(request)
    dados = contrato_ou_404(request)
    info = detalhe(acervo, dados, int(sessao["id"]), anteriores=True)
    verificacao = dados.get("verificacao") or {}
    registro = verificacao.get("registro") or {}
    caminho = str(acervo.caminho_do_arquivo(dados["hash"]))
    try:
        tamanhos = tamanhos_das_paginas(caminho)
    except Exception:  # noqa: BLE001 - um PDF que o pdfium não abre: a página sai sem imagens
        tamanhos = ()
    visto = max((d["id"] for d in info["decisoes"]), default=0)
    return pagina(request, "contrato.html", status=status, sessao=sessao, c=dados, info=info,
                  resultado=info["resultado"] or {}, digitais=registro.get("assinaturas_digitais"),
                  poderes=registro.get("poderes"), verificacao=verificacao, paginas=len(tamanhos),
                  caixas=_caixas(info["evidencias"], tamanhos) if info["evidencias"] else {},
                  visto=visto, pode_decidir=sessao["papel"] in PODE_DECIDIR, erro=erro, dono=dono)


async def decidir(request: Request) -> Response:
    dados = await formulario_com_csrf(request)
    sessao, campos = dados["sessao"], dados["campos"]
    exigir_papel(sessao, PODE_DECIDIR)
    c = contrato_ou_404(request)
    try:
        visto = int(str(campos.get("visto") or "0"))
        acervo_de(request).decidir(int(c["id"]), str(campos.get("campo") or ""), str(campos.get("decisao") or ""),
                                   str(campos.get("comentario") or ""), sessao["nome"], int(sessao["id"]), visto)
    except Conflito as conflito:
        d = conflito.decisao
        return await contrato(request, 409, f"{d['usuario']} decidiu este campo antes ({d['decisao']}: "
                                            f"{d['comentario']}). Releia a decisão e decida de novo se preciso.")
    except (DecisaoInvalida, ValueError) as e:
        return await contrato(request, 400, str(e))
    return RedirectResponse(f"/contratos/{c['id']}#revisao", status_code=303)


async def repetir(request: Request) -> Response:
    dados = await formulario_com_csrf(request)
    exigir_papel(dados["sessao"], PODE_ENVIAR)
    c = contrato_ou_404(request)
    if acervo_de(request).repetir(int(c["id"])):
        fila = getattr(request.app.state, "fila", None)
        if fila is not None:
            fila.avisar()
    return RedirectResponse(f"/contratos/{c['id']}", status_code=303)


async def excluir(request: Request) -> Response:
    dados = await formulario_com_csrf(request)
    exigir_papel(dados["sessao"], ("administrador",))
    c = contrato_ou_404(request)
    acervo_de(request).excluir(int(c["id"]), dados["sessao"]["nome"])
    return RedirectResponse("/?" + urlencode({"aviso": f"Contrato {c['id']} ({c['nome']}) excluído."}),
                            status_code=303)


async def imagem(request: Request) -> Response:
    exigir_sessao(request)
    c = contrato_ou_404(request)
    try:
        png = imagem_da_pagina(str(acervo_de(request).caminho_do_arquivo(c["hash"])),
                               int(request.path_params["pagina"]) - 1)
    except Exception:  # noqa: BLE001 - PDF ilegível
        png = None
    if png is None:
        raise Recusado(404, "página não encontrada")
    return Response(png, media_type="image/png", headers={"Cache-Control": "private, max-age=3600"})


ROTAS = [
    Route("/", lista, methods=["GET"]),
    Route("/enviar", envio, methods=["GET"]),
    Route("/enviar", enviar, methods=["POST"]),
    Route("/contratos/{id}", contrato, methods=["GET"]),
    Route("/contratos/{id}/decisoes", decidir, methods=["POST"]),
    Route("/contratos/{id}/repetir", repetir, methods=["POST"]),
    Route("/contratos/{id}/excluir", excluir, methods=["POST"]),
    Route("/contratos/{id}/paginas/{pagina:int}.png", imagem, methods=["GET"]),
    *ROTAS_CONTAS,
    Mount("/estaticos", app=StaticFiles(directory=str(PASTA / "estaticos")), name="estaticos"),
]
