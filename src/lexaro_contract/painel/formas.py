"""As formas JSON de um contrato, iguais na API, nas páginas e na exportação."""

from __future__ import annotations

import csv
import io
import json
from typing import Any, Dict, Iterator, List, Optional

from ..acervo import Acervo

_COLUNAS = ("id", "arquivo", "estado", "veredito", "decisao_final", "partes", "data_contrato", "enviado_por",
            "criado_em", "erro")


def resumo(contrato: Dict[str, Any]) -> Dict[str, Any]:
    """Uma linha da lista."""
    return {"id": contrato["id"], "arquivo": contrato["nome"], "estado": contrato["estado"],
            "erro": contrato["erro"], "veredito": contrato["veredito"], "decisao_final": contrato["decisao_final"],
            "pendente_revisao": bool(contrato["pendente_revisao"]) and contrato["decisao_final"] is None,
            "partes": contrato["partes"], "data_contrato": contrato["data_contrato"],
            "enviado_por": contrato["enviado_por"], "criado_em": contrato["criado_em"]}


def detalhe(acervo: Acervo, contrato: Dict[str, Any], usuario_id: Optional[int] = None,
            anteriores: bool = False) -> Dict[str, Any]:
    """Um contrato com a sua verificação atual, os campos e as decisões."""
    revisao = acervo.revisao(contrato, usuario_id)
    verificacao = contrato.get("verificacao")
    registro = verificacao["registro"] if verificacao else {}
    chaves = ("id", "texto", "situacao", "decisao") + (("anteriores",) if anteriores else ())
    return {"id": contrato["id"], "arquivo": contrato["nome"], "estado": contrato["estado"],
            "erro": contrato["erro"], "resultado": registro.get("resultado"),
            "evidencias": registro.get("evidencias"),
            "campos": [{k: c[k] for k in chaves} for c in revisao["campos"]],
            "decisao_final": revisao["decisao_final"], "decisoes": revisao["decisoes"]}


def filtros_de(parametros: Any) -> Dict[str, Any]:
    """Os filtros da lista a partir dos parâmetros da URL (os mesmos na API e na página)."""
    def inteiro(nome: str, padrao: int) -> int:
        try:
            return int(parametros.get(nome) or padrao)
        except ValueError:
            return padrao

    return {"veredito": (parametros.get("veredito") or None), "estado": (parametros.get("estado") or None),
            "pendentes": parametros.get("pendentes") in ("1", "true", "sim", "on"),
            "busca": (parametros.get("busca") or None), "desde": (parametros.get("desde") or None),
            "ate": (parametros.get("ate") or None), "pagina": inteiro("pagina", 1),
            "por_pagina": inteiro("por_pagina", 50)}


def exportar(acervo: Acervo, formato: str, filtros: Dict[str, Any]) -> Iterator[str]:
    """A lista inteira (com os filtros) em CSV ou JSON Lines, o veredito
    automático e a decisão final lado a lado."""
    filtros = {**filtros, "por_pagina": 500}
    if formato == "csv":
        buffer = io.StringIO()
        escritor = csv.writer(buffer)
        escritor.writerow(_COLUNAS)
        yield buffer.getvalue()
    pagina = 1
    while True:
        linhas, total = acervo.listar(**{**filtros, "pagina": pagina})
        for linha in linhas:
            item = resumo(linha)
            if formato == "csv":
                buffer = io.StringIO()
                csv.writer(buffer).writerow([_texto_csv(item.get(c)) for c in _COLUNAS])
                yield buffer.getvalue()
            else:
                item["decisoes"] = acervo.decisoes(int(linha["id"]))
                yield json.dumps(item, ensure_ascii=False) + "\n"
        if pagina * 500 >= total or not linhas:
            return
        pagina += 1


def _texto_csv(valor: Any) -> str:
    texto = "" if valor is None else str(valor)
    # Uma célula que começa com = + - @ vira fórmula numa planilha.
    return "'" + texto if texto[:1] in ("=", "+", "-", "@") else texto


__all__: List[str] = ["resumo", "detalhe", "filtros_de", "exportar"]
