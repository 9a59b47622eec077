"""A API HTTP do painel, para scripts: enviar contratos, listá-los, ler um
contrato com os seus campos e decisões, e decidir um campo."""

from __future__ import annotations

from typing import Any, Dict, List

from starlette.datastructures import UploadFile
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from ..acervo import Conflito, DecisaoInvalida
from .acesso import PODE_DECIDIR, PODE_ENVIAR, acervo_de, contrato_ou_404, exigir_papel, usuario_da_api
from .envio import LIMITE_PEDIDO, MAXIMO_ARQUIVOS, CorpoGrande, problema_do_pdf
from .formas import detalhe, exportar, filtros_de, resumo


def _erro(status: int, mensagem: str, **extra: Any) -> JSONResponse:
    return JSONResponse({"erro": mensagem, **extra}, status_code=status)


async def receber_arquivos(request: Request, usuario: Dict[str, Any]) -> List[Dict[str, Any]]:
    """Guarda e põe na fila os `arquivo` de um formulário multipart; uma
    entrada por arquivo, na ordem. CorpoGrande se o envio passa do limite."""
    acervo = acervo_de(request)
    formulario = await request.form(max_files=MAXIMO_ARQUIVOS)
    entradas: List[Dict[str, Any]] = []
    try:
        for item in formulario.getlist("arquivo"):
            if not isinstance(item, UploadFile):
                continue
            nome = (item.filename or "sem-nome.pdf").replace("\\", "/").rsplit("/", 1)[-1][:255]
            conteudo = await item.read()
            problema = problema_do_pdf(conteudo)
            if problema is not None:
                entradas.append({"id": None, "arquivo": nome, "estado": "erro", "erro": problema})
                continue
            cid, _novo = acervo.adicionar(nome, conteudo, usuario["nome"])
            contrato = acervo.contrato(cid) or {}
            entradas.append({"id": cid, "arquivo": nome, "estado": contrato.get("estado"),
                             "erro": contrato.get("erro")})
    finally:
        await formulario.close()
    fila = getattr(request.app.state, "fila", None)
    if fila is not None:
        fila.avisar()
    return entradas


async def enviar(request: Request) -> Response:
    usuario = usuario_da_api(request)
    exigir_papel(usuario, PODE_ENVIAR)
    try:
        entradas = await receber_arquivos(request, usuario)
    except CorpoGrande:
        return _erro(413, f"envio grande demais (limite: {LIMITE_PEDIDO // (1024 * 1024)} MB)")
    if not entradas:
        return _erro(400, "nenhum campo 'arquivo' no envio")
    return JSONResponse({"contratos": entradas}, status_code=201 if any(e["id"] for e in entradas) else 200)


async def listar(request: Request) -> Response:
    usuario_da_api(request)
    filtros = filtros_de(request.query_params)
    linhas, total = acervo_de(request).listar(**filtros)
    return JSONResponse({"contratos": [resumo(c) for c in linhas], "total": total, "pagina": filtros["pagina"],
                         "por_pagina": filtros["por_pagina"]})


async def ler(request: Request) -> Response:
    usuario = usuario_da_api(request)
    acervo = acervo_de(request)
    contrato = contrato_ou_404(request)
    return JSONResponse(detalhe(acervo, contrato, int(usuario["id"])))


async def decidir(request: Request) -> Response:
    usuario = usuario_da_api(request)
    exigir_papel(usuario, PODE_DECIDIR)
    acervo = acervo_de(request)
    cid = int(contrato_ou_404(request)["id"])
    try:
        corpo = await request.json()
    except ValueError:
        return _erro(400, "o corpo deve ser JSON")
    if not isinstance(corpo, dict):
        return _erro(400, "o corpo deve ser um objeto JSON")
    try:
        decisao = acervo.decidir(cid, str(corpo.get("campo") or ""), str(corpo.get("decisao") or ""),
                                 str(corpo.get("comentario") or ""), usuario["nome"], int(usuario["id"]))
    except Conflito as c:
        return _erro(409, str(c), decisao=c.decisao)
    except DecisaoInvalida as e:
        return _erro(400, str(e))
    final = acervo.revisao(acervo.contrato(cid) or {"id": cid})["decisao_final"]
    return JSONResponse({"decisao": decisao, "decisao_final": final}, status_code=201)


async def exportacao(request: Request) -> Response:
    usuario_da_api(request)
    formato = request.path_params["formato"]
    if formato not in ("csv", "jsonl"):
        return _erro(404, "formato desconhecido (csv ou jsonl)")
    tipo = "text/csv; charset=utf-8" if formato == "csv" else "application/x-ndjson; charset=utf-8"
    return StreamingResponse(exportar(acervo_de(request), formato, filtros_de(request.query_params)),
                             media_type=tipo,
                             headers={"Content-Disposition": f'attachment; filename="contratos.{formato}"'})


ROTAS = [
    Route("/api/contratos", enviar, methods=["POST"]),
    Route("/api/contratos", listar, methods=["GET"]),
    Route("/api/contratos.{formato}", exportacao, methods=["GET"]),
    Route("/api/contratos/{id}", ler, methods=["GET"]),
    Route("/api/contratos/{id}/decisoes", decidir, methods=["POST"]),
]
