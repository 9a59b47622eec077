"""A reverificação do acervo: cada contrato verificado, da sua extração
guardada, contra o registro para onde o processo aponta, pelos trabalhadores
do lote; a verificação nova fica guardada com o mês do registro e com os
alertas do que mudou desde a anterior.

Um contrato cuja verificação atual já é do mês não é refeito (uma segunda
passada com o mesmo mês não acha nada novo nem repete alertas, e termina o que
uma passada interrompida deixou). Um registro que para de responder
interrompe a passada: o que não foi reverificado fica como estava.
"""

from __future__ import annotations

import re
import tempfile
import threading
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional

from .. import lote
from .alertas import Consulta, alertas_entre
from .reproducao import escrever_documento, extracao_de, novo_verificador_do_acervo

Json = Dict[str, Any]
_MES = re.compile(r"\d{4}-\d{2}")


class MesAnterior(ValueError):
    """O mês do registro é anterior ao de contratos já verificados."""


@dataclass
class Resumo:
    reverificados: int = 0
    sem_extracao: List[str] = field(default_factory=list)   # precisam de uma nova leitura
    erros: List[str] = field(default_factory=list)
    alertas: List[Json] = field(default_factory=list)
    interrompido: bool = False


def conferir_mes(meses: Any, mes: str) -> None:
    """MesAnterior se algum contrato já foi verificado com um mês depois de `mes`."""
    if not _MES.fullmatch(mes):
        return
    depois = sorted(m for m in meses if _MES.fullmatch(str(m)) and str(m) > mes)
    if depois:
        raise MesAnterior(f"o registro é de {mes}, anterior a {depois[-1]}, com que há contratos verificados; "
                          "use --permitir-mes-anterior para reverificar mesmo assim")


def reverificar_acervo(acervo: Any, mes: str, *, jobs: int = 2, consultar: Optional[Consulta] = None,
                       parar: Optional[threading.Event] = None, parcial: bool = False, processos: bool = False,
                       ao_guardar: Optional[Callable[[Json], None]] = None) -> Resumo:
    """Reverifica o acervo com o registro atual do processo (os endereços do
    `cnpj`), que é do `mes`. `consultar(cnpj)` dá a data de uma mudança de
    situação; `ao_guardar` recebe cada alerta guardado. `parcial`: o mês é
    parcial, e um CNPJ que ele não sabe dizer é o erro daquele contrato (a
    passada segue); senão, um registro indisponível interrompe a passada.
    `processos`: os trabalhadores são processos (cada um lê o seu documento
    da pasta temporária), e não fios deste processo."""
    parar = parar or threading.Event()
    resumo = Resumo()
    executor = lote.fabrica_de_processos(jobs)() if processos else lote.ExecutorDeFios(jobs)
    try:
        with tempfile.TemporaryDirectory(prefix="reverificar-") as pasta:
            for bloco in acervo.para_reverificar(mes):
                _um_bloco(acervo, mes, bloco, Path(pasta), executor, jobs, consultar, parar, resumo, ao_guardar,
                          parcial)
                if parar.is_set():
                    resumo.interrompido = True
                    break
    finally:
        executor.shutdown(wait=True)
    return resumo


def _um_bloco(acervo: Any, mes: str, bloco: List[Json], pasta: Path, executor: Any, jobs: int,
              consultar: Optional[Consulta], parar: threading.Event, resumo: Resumo,
              ao_guardar: Optional[Callable[[Json], None]], parcial: bool) -> None:
    por_caminho: Dict[str, Json] = {}
    for item in bloco:
        extracao = extracao_de(item["registro"])
        if extracao is None:
            resumo.sem_extracao.append(item["nome"])
            continue
        caminho = str(pasta / f"{item['contrato_id']}.json")
        escrever_documento(caminho, extracao, item["registro"].get("evidencias"))
        por_caminho[caminho] = dict(item, extracao=extracao)
    for r in lote.verificar_lote(list(por_caminho), executor, simultaneos=jobs, fabrica=novo_verificador_do_acervo,
                                 digitais=False, parar=parar):
        item = por_caminho[r["arquivo"]]
        Path(r["arquivo"]).unlink(missing_ok=True)
        if "erro" in r:
            resumo.erros.append(f"{item['nome']}: {r['erro']}")
            if r.get("tipo_erro") == lote.ERRO_REGISTRO and not parcial:
                parar.set()   # o registro parou de responder: o resto fica para a próxima passada
            continue
        _guardar(acervo, mes, item, r, consultar, resumo, ao_guardar)


def _guardar(acervo: Any, mes: str, item: Json, r: Json, consultar: Optional[Consulta], resumo: Resumo,
             ao_guardar: Optional[Callable[[Json], None]]) -> None:
    anterior: Json = item["registro"]
    registro: Json = {**r, "arquivo": anterior.get("arquivo") or item["nome"], "extracao": item["extracao"],
                      "mes_registro": mes, "reverificacao_de": item["verificacao_id"]}
    for chave in ("assinaturas_digitais", "evidencias"):
        if chave in anterior:
            registro[chave] = anterior[chave]
    base = {"contrato": item["contrato_id"], "arquivo": item["nome"], "mes_anterior": item["mes_registro"],
            "mes_novo": mes}
    novos = [{**base, **a} for a in alertas_entre(anterior.get("resultado") or {}, r["resultado"], consultar)]
    if acervo.guardar_reverificacao(item["contrato_id"], item["verificacao_id"], registro, novos) is None:
        return
    resumo.reverificados += 1
    resumo.alertas.extend(novos)
    if ao_guardar is not None:
        for a in novos:
            ao_guardar(a)


__all__ = ["MesAnterior", "Resumo", "conferir_mes", "reverificar_acervo"]
