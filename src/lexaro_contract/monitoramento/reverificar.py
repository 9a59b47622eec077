"""A reverificação do acervo: cada contrato verificado, da sua extração
guardada, contra o registro para onde o processo aponta, pelos trabalhadores
do lote; a verificação nova fica guardada com o mês do registro e com os
alertas do que mudou desde a anterior.

Os contratos vão aos trabalhadores em pedaços (`PEDACO` por tarefa, o
registro guardado como texto; cada trabalhador o lê, verifica, compara e
escreve o novo: `pedaco`) e as verificações novas voltam ao banco em
transações grandes (`ESCRITA` contratos cada), com os seus alertas; uma
transação que falha não deixa nada dela gravado.

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
from ..acervo.alertas import ParaReverificar, Reverificada
from ..lote_executores import sem_ctrl_c
from .alertas import Consulta
from .pedaco import Tarefa, reverificar_pedaco
from .reproducao import novo_verificador_do_acervo

Json = Dict[str, Any]
_MES = re.compile(r"\d{4}-\d{2}")
# Contratos por tarefa de um trabalhador; pedaços em voo por trabalhador: o
# bastante para nenhum trabalhador parar enquanto quem despacha grava mil
# contratos ou lê os próximos.
PEDACO = 32
EM_VOO_POR_TRABALHADOR = 16
# Reverificações gravadas por transação.
ESCRITA = 1000
# A partir de quantos contratos os trabalhadores são processos: cada um leva
# um ou dois segundos para começar, e num processo só os fios disputam o GIL.
LIMIAR_PROCESSOS = 2000


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
                       parar: Optional[threading.Event] = None, parcial: bool = False,
                       processos: Optional[bool] = None,
                       cliente: Optional[Callable[[], Any]] = None,
                       ao_guardar: Optional[Callable[[Json], None]] = None) -> Resumo:
    """Reverifica o acervo com o registro atual do processo (os endereços do
    `cnpj`), que é do `mes`. `consultar(cnpj)` dá a data de uma mudança de
    situação; `ao_guardar` recebe cada alerta guardado. `parcial`: o mês é
    parcial, e um CNPJ que ele não sabe dizer é o erro daquele contrato (a
    passada segue); senão, um registro indisponível interrompe a passada.
    `processos`: os trabalhadores são processos, e não fios deste processo
    (None: processos a partir de `LIMIAR_PROCESSOS` contratos, quando o
    trabalho de CPU compensa o início deles); `cliente` faz, em cada um, o
    cliente HTTP com que o seu `cnpj` pergunta ao registro (sem ele, o
    `requests` de sempre, pela rede)."""
    parar = parar or threading.Event()
    if processos is None:
        processos = acervo.quantos_para_reverificar(mes) >= LIMIAR_PROCESSOS
    resumo = Resumo()
    config = replace(lote.Configuracao.atual(segredos=lote.segredos_configurados()),
                     fabrica=novo_verificador_do_acervo, digitais=False)
    executor = lote.fabrica_de_processos(jobs)() if processos else lote.ExecutorDeFios(jobs)
    gravacao = _Gravacao(acervo, mes, resumo, ao_guardar)
    em_voo: Dict["cf.Future[List[Tuple[int, Json]]]", Dict[int, ParaReverificar]] = {}
    try:
        with tempfile.TemporaryDirectory(prefix="reverificar-") as pasta:
            # O caminho que cada verificação recebe: o documento vai em memória ao motor.
            marcador = Path(pasta) / "extracao-guardada.json"
            marcador.write_text("{}", encoding="utf-8")
            tarefa = Tarefa(str(marcador), config, mes, parcial, consultar, cliente if processos else None)
            for pedaco in _pedacos(acervo.para_reverificar(mes)):
                while len(em_voo) >= EM_VOO_POR_TRABALHADOR * jobs and not parar.is_set():
                    _colher(em_voo, cf.FIRST_COMPLETED, gravacao, parar, parcial)
                if parar.is_set():
                    break
                with sem_ctrl_c():   # um processo trabalhador que nasce agora não recebe o Ctrl-C do terminal
                    futuro = executor.submit(reverificar_pedaco, tarefa, list(pedaco.values()),
                                             None if processos else parar)
                em_voo[futuro] = pedaco
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


def _pedacos(blocos: Iterable[List[ParaReverificar]]) -> Iterator[Dict[int, ParaReverificar]]:
    pedaco: Dict[int, ParaReverificar] = {}
    for bloco in blocos:
        for item in bloco:
            pedaco[item[0]] = item
            if len(pedaco) >= PEDACO:
                yield pedaco
                pedaco = {}
    if pedaco:
        yield pedaco


def _colher(em_voo: Dict["cf.Future[List[Tuple[int, Json]]]", Dict[int, ParaReverificar]], quando: str,
            gravacao: "_Gravacao", parar: threading.Event, parcial: bool) -> None:
    feitos, _ = cf.wait(list(em_voo), return_when=quando)
    for futuro in feitos:
        pedaco = em_voo.pop(futuro)
        if futuro.cancelled():
            continue   # nem começou: os contratos dele ficam como estavam
        try:
            saidas = futuro.result()
        except Exception as e:  # noqa: BLE001 - o trabalhador (um processo morto), não um contrato, falhou
            parar.set()
            motivo = f"o processo de verificação terminou de forma anormal ({type(e).__name__}: {e})"
            saidas = [(cid, lote.erro(c[1], motivo, lote.ERRO_PROCESSO)) for cid, c in pedaco.items()]
        for cid, saida in saidas:
            _cid, nome, vid, _mes, _texto = pedaco[cid]
            if saida.get("sem_extracao"):
                gravacao.resumo.sem_extracao.append(nome)
            elif "erro" in saida:
                gravacao.resumo.erros.append(f"{nome}: {saida['erro']}")
                if saida.get("tipo_erro") == lote.ERRO_REGISTRO and not parcial:
                    parar.set()   # o registro parou de responder: o resto fica para a próxima passada
                    for outro in em_voo:
                        outro.cancel()   # os que ainda não começaram
            else:
                gravacao.acrescentar(Reverificada(cid, vid, saida["registro"], saida["contrato"], gravacao.mes,
                                                  saida["alertas"]))


class _Gravacao:
    """As reverificações prontas, gravadas com os seus alertas a cada `ESCRITA`."""

    def __init__(self, acervo: Any, mes: str, resumo: Resumo, ao_guardar: Optional[Callable[[Json], None]]) -> None:
        self.acervo, self.mes, self.resumo, self.ao_guardar = acervo, mes, resumo, ao_guardar
        self.prontas: List[Reverificada] = []

    def acrescentar(self, pronta: Reverificada) -> None:
        self.prontas.append(pronta)
        if len(self.prontas) >= ESCRITA:
            self.gravar()

    def gravar(self) -> None:
        prontas, self.prontas = self.prontas, []
        gravadas = self.acervo.guardar_reverificacoes(prontas)
        for p in prontas:
            if p.contrato_id not in gravadas:
                continue
            self.resumo.reverificados += 1
            self.resumo.alertas.extend(p.alertas)
            if self.ao_guardar is not None:
                for a in p.alertas:
                    self.ao_guardar(a)


__all__ = ["MesAnterior", "Resumo", "conferir_mes", "reverificar_acervo"]
