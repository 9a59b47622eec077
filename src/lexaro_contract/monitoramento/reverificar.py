"""A reverificação do acervo: cada contrato verificado, da sua extração
guardada, contra o registro para onde o processo aponta, pelos trabalhadores
do lote; a verificação nova fica guardada com o mês do registro e com os
alertas do que mudou desde a anterior.

Os contratos vão aos trabalhadores em pedaços (`PEDACO` por tarefa, a
extração entregue em memória, sem arquivo por contrato) e as verificações
novas voltam ao banco em transações grandes (`ESCRITA` contratos cada), com
os seus alertas; uma transação que falha não deixa nada dela gravado.

Um contrato cuja verificação atual já é do mês não é refeito (uma segunda
passada com o mesmo mês não acha nada novo nem repete alertas, e termina o que
uma passada interrompida deixou). Um registro que para de responder
interrompe a passada: o que não foi reverificado fica como estava.
"""

from __future__ import annotations

import concurrent.futures as cf
import re
import tempfile
import threading
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple

from .. import lote
from .alertas import Consulta, alertas_entre
from .reproducao import extracao_de, novo_verificador_do_acervo, reverificar_pedaco

Json = Dict[str, Any]
_MES = re.compile(r"\d{4}-\d{2}")
# Contratos por tarefa de um trabalhador; pedaços em voo por trabalhador.
PEDACO = 32
EM_VOO_POR_TRABALHADOR = 2
# Reverificações gravadas por transação.
ESCRITA = 1000


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
    `processos`: os trabalhadores são processos (os pedaços vão a eles por
    cópia), e não fios deste processo."""
    parar = parar or threading.Event()
    resumo = Resumo()
    config = replace(lote.Configuracao.atual(segredos=lote.segredos_configurados()),
                     fabrica=novo_verificador_do_acervo, digitais=False)
    executor = lote.fabrica_de_processos(jobs)() if processos else lote.ExecutorDeFios(jobs)
    gravacao = _Gravacao(acervo, mes, consultar, resumo, ao_guardar)
    em_voo: Dict["cf.Future[List[Tuple[int, Json]]]", Dict[int, Json]] = {}
    try:
        with tempfile.TemporaryDirectory(prefix="reverificar-") as pasta:
            # O caminho que cada verificação recebe: o documento vai em memória ao motor.
            marcador = Path(pasta) / "extracao-guardada.json"
            marcador.write_text("{}", encoding="utf-8")
            for pedaco in _pedacos(acervo.para_reverificar(mes), resumo):
                while len(em_voo) >= EM_VOO_POR_TRABALHADOR * jobs and not parar.is_set():
                    _colher(em_voo, cf.FIRST_COMPLETED, gravacao, parar, parcial)
                if parar.is_set():
                    break
                documentos = [(cid, {"extracao": item["extracao"], "evidencias": item["evidencias"]})
                              for cid, item in pedaco.items()]
                em_voo[executor.submit(reverificar_pedaco, str(marcador), documentos, config, parcial,
                                       None if processos else parar)] = pedaco
            while em_voo:
                _colher(em_voo, cf.ALL_COMPLETED, gravacao, parar, parcial)
            gravacao.gravar()
    except BaseException:
        parar.set()   # os pedaços em voo param no próximo contrato; o que não foi gravado fica como estava
        raise
    finally:
        executor.shutdown(wait=True)
    resumo.interrompido = parar.is_set()
    return resumo


def _pedacos(blocos: Iterable[List[Json]], resumo: Resumo) -> Iterator[Dict[int, Json]]:
    """Os contratos lidos do acervo, em pedaços, só com o que a passada usa."""
    pedaco: Dict[int, Json] = {}
    for bloco in blocos:
        for item in bloco:
            anterior: Json = item["registro"]
            extracao = extracao_de(anterior)
            if extracao is None:
                resumo.sem_extracao.append(item["nome"])
                continue
            pedaco[item["contrato_id"]] = {
                "nome": item["nome"], "verificacao_id": item["verificacao_id"], "mes_registro": item["mes_registro"],
                "extracao": extracao, "evidencias": anterior.get("evidencias"),
                "resultado": anterior.get("resultado") or {}, "arquivo": anterior.get("arquivo") or item["nome"],
                "copiar": {k: anterior[k] for k in ("assinaturas_digitais", "evidencias") if k in anterior}}
            if len(pedaco) >= PEDACO:
                yield pedaco
                pedaco = {}
    if pedaco:
        yield pedaco


def _colher(em_voo: Dict["cf.Future[List[Tuple[int, Json]]]", Dict[int, Json]], quando: str,
            gravacao: "_Gravacao", parar: threading.Event, parcial: bool) -> None:
    feitos, _ = cf.wait(list(em_voo), return_when=quando)
    for futuro in feitos:
        pedaco = em_voo.pop(futuro)
        try:
            registros = futuro.result()
        except Exception as e:  # noqa: BLE001 - o trabalhador (um processo morto), não um contrato, falhou
            parar.set()
            motivo = f"o processo de verificação terminou de forma anormal ({type(e).__name__}: {e})"
            registros = [(cid, lote.erro(item["nome"], motivo, lote.ERRO_PROCESSO)) for cid, item in pedaco.items()]
        for cid, r in registros:
            item = pedaco[cid]
            if "erro" in r:
                gravacao.resumo.erros.append(f"{item['nome']}: {r['erro']}")
                if r.get("tipo_erro") == lote.ERRO_REGISTRO and not parcial:
                    parar.set()   # o registro parou de responder: o resto fica para a próxima passada
                continue
            gravacao.acrescentar(cid, item, r)


class _Gravacao:
    """As reverificações prontas, gravadas com os seus alertas a cada `ESCRITA`."""

    def __init__(self, acervo: Any, mes: str, consultar: Optional[Consulta], resumo: Resumo,
                 ao_guardar: Optional[Callable[[Json], None]]) -> None:
        self.acervo, self.mes, self.consultar, self.resumo, self.ao_guardar = acervo, mes, consultar, resumo, ao_guardar
        self.prontas: List[Tuple[int, int, Json, List[Json]]] = []

    def acrescentar(self, cid: int, item: Json, r: Json) -> None:
        registro: Json = {**r, "arquivo": item["arquivo"], "extracao": item["extracao"], "mes_registro": self.mes,
                          "reverificacao_de": item["verificacao_id"], **item["copiar"]}
        base = {"contrato": cid, "arquivo": item["nome"], "mes_anterior": item["mes_registro"], "mes_novo": self.mes}
        novos = [{**base, **a} for a in alertas_entre(item["resultado"], r["resultado"], self.consultar)]
        self.prontas.append((cid, item["verificacao_id"], registro, novos))
        if len(self.prontas) >= ESCRITA:
            self.gravar()

    def gravar(self) -> None:
        prontas, self.prontas = self.prontas, []
        gravadas = self.acervo.guardar_reverificacoes(prontas)
        for cid, _, _, novos in prontas:
            if cid not in gravadas:
                continue
            self.resumo.reverificados += 1
            self.resumo.alertas.extend(novos)
            if self.ao_guardar is not None:
                for a in novos:
                    self.ao_guardar(a)


__all__ = ["MesAnterior", "Resumo", "conferir_mes", "reverificar_acervo"]
