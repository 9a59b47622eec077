"""Uma tarefa da reverificação do acervo: um pedaço de contratos, do texto
guardado da verificação atual de cada um até o texto da verificação nova, com
os seus alertas. Roda num fio ou num processo trabalhador; quem despacha só
lê e grava o banco (nenhum JSON lido nem escrito por ele).

Cada contrato passa pelo `lote.verificar_arquivo` do fio, com a extração
guardada entregue em memória ao motor do acervo: as mesmas falhas, os mesmos
poderes de assinatura e o mesmo `ContractChecker.verificar` de sempre.
"""

from __future__ import annotations

import json
import threading
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from .. import lote
from ..acervo.alertas import ParaReverificar
from ..acervo.contratos import do_contrato
from ..enderecos import apontar
from .alertas import Consulta, alertas_entre
from .reproducao import extracao_de

Json = Dict[str, Any]


@dataclass(frozen=True)
class Tarefa:
    """O que toda tarefa de uma passada leva (vai por cópia a um processo).

    `marcador` é o caminho (um arquivo que existe) que cada verificação
    recebe no lugar do PDF; `cliente`, num processo trabalhador, faz o
    cliente HTTP com que o `cnpj` dele pergunta ao registro (o do processo
    que despacha não atravessa processos)."""

    marcador: str
    config: lote.Configuracao
    mes: str
    parcial: bool = False
    consultar: Optional[Consulta] = None
    cliente: Optional[Callable[[], Any]] = None


_cliente_do_processo: Any = None


def _preparar(tarefa: Tarefa) -> Any:
    """O verificador deste fio (o do lote, feito pela `fabrica` da
    configuração); num processo trabalhador, na primeira tarefa, o `cnpj`
    dele passa a perguntar pelo cliente da tarefa (só um processo
    trabalhador a recebe, e ele faz uma tarefa de cada vez)."""
    global _cliente_do_processo
    if tarefa.cliente is not None and _cliente_do_processo is None:
        _cliente_do_processo = tarefa.cliente()
        if tarefa.config.enderecos is not None:
            apontar(tarefa.config.enderecos, _cliente_do_processo)
    return lote.verificador_do_fio(tarefa.config)


def reverificar_pedaco(tarefa: Tarefa, pedaco: Sequence[ParaReverificar],
                       parar: Optional[threading.Event] = None) -> List[Tuple[int, Json]]:
    """``(contrato, saída)`` de cada contrato verificado do pedaço. A saída é
    ``{"sem_extracao": True}``, um registro de erro do lote, ou
    ``{"registro": texto JSON, "contrato": colunas do contrato, "alertas": [...]}``.
    Um registro indisponível (fora de um mês `parcial`) encerra o pedaço e
    os contratos seguintes ficam sem saída, como num pedido de `parar`."""
    verificador = _preparar(tarefa)
    saida: List[Tuple[int, Json]] = []
    for cid, nome, vid, mes_anterior, texto in pedaco:
        if parar is not None and parar.is_set():
            break
        anterior: Json = json.loads(texto)
        extracao = extracao_de(anterior)
        if extracao is None:
            saida.append((cid, {"sem_extracao": True}))
            continue
        verificador._client.entregar({"extracao": extracao, "evidencias": anterior.get("evidencias")})
        r = lote.verificar_arquivo(tarefa.marcador, tarefa.config, verificador)
        if "erro" in r:
            saida.append((cid, r))
            if r.get("tipo_erro") == lote.ERRO_REGISTRO and not tarefa.parcial:
                if parar is not None:
                    parar.set()
                break
            continue
        saida.append((cid, _reverificado(tarefa, cid, nome, vid, mes_anterior, anterior, extracao, r)))
    return saida


def _reverificado(tarefa: Tarefa, cid: int, nome: str, vid: int, mes_anterior: Optional[str], anterior: Json,
                  extracao: Json, r: Json) -> Json:
    registro: Json = {**r, "arquivo": anterior.get("arquivo") or nome, "extracao": extracao,
                      "mes_registro": tarefa.mes, "reverificacao_de": vid}
    for chave in ("assinaturas_digitais", "evidencias"):
        if chave in anterior:
            registro[chave] = anterior[chave]
    base = {"contrato": cid, "arquivo": nome, "mes_anterior": mes_anterior, "mes_novo": tarefa.mes}
    alertas = [{**base, **a} for a in alertas_entre(anterior.get("resultado") or {}, r["resultado"], tarefa.consultar)]
    texto = json.dumps(registro, ensure_ascii=False, check_circular=False, separators=(",", ":"))
    return {"registro": texto, "contrato": do_contrato(r["resultado"]),
            "alertas": alertas}


__all__ = ["Tarefa", "reverificar_pedaco"]
