"""Importação de um mês dos dados abertos do CNPJ num banco do registro.

O banco novo é construído ao lado do atual e só então trocado por ele (SQLite:
arquivo ao lado e `os.replace`; PostgreSQL: esquema novo e troca de nomes numa
transação; os dois destinos ficam em `destinos`). Uma importação interrompida,
com erro ou morta deixa o banco anterior servindo, intacto.
"""

from __future__ import annotations

import datetime
import sqlite3
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from collections import Counter
from dataclasses import dataclass, field
from bisect import bisect_left
from operator import itemgetter
from pathlib import Path
from typing import Callable, Dict, Iterator, List, Optional, Tuple

from ..banco.codigos import TABELAS_DE_CODIGOS
from ..banco.esquema import MARCA_EMPRESA, MARCA_SIMPLES, MARCA_SOCIO, VERSAO_FORMATO, chave_armazenada, registros_do_bloco
from .destinos import abrir_destino
from .empacotador import DIVISOR_GRUPO, Empacotador
from .fila_ordenada import FilaOrdenada
from .leiaute import CODIGOS, TIPOS
from .leitor import ErroDeImportacao, adiantar, mes_da_pasta, registros, tabela_de_codigos
from .pasta_do_mes import localizar

_MOTIVOS = {
    "colunas": "linhas com número errado de colunas (descartadas)",
    "cnpj": "CNPJ malformado (descartadas)",
    "nul": "bytes NUL removidos",
    "data": "datas impossíveis (guardadas como nulas)",
    "capital_ficticio": "capital fictício 999999999999 (mantido)",
    "capital": "capital ilegível (guardado como nulo)",
    "linha_longa": "linhas de mais de 64 KiB (descartadas)",
}
_NOME_CAMPO = {
    ("Empresas", 2): "natureza jurídica", ("Empresas", 3): "qualificação do responsável",
    ("Estabelecimentos", 7): "motivo da situação", ("Estabelecimentos", 9): "país",
    ("Estabelecimentos", 11): "CNAE", ("Estabelecimentos", 20): "município",
    ("Socios", 4): "qualificação do sócio", ("Socios", 6): "país do sócio",
    ("Socios", 9): "qualificação do representante",
}

@dataclass
class Resumo:
    mes: str
    linhas: Dict[str, int] = field(default_factory=dict)
    ocorrencias: Dict[str, int] = field(default_factory=dict)
    bytes_csv: int = 0
    tamanho: int = 0
    segundos: float = 0.0
    segundos_por_familia: Dict[str, float] = field(default_factory=dict)
    segundos_por_etapa: Dict[str, float] = field(default_factory=dict)
    faltam: List[str] = field(default_factory=list)   # com --parcial: os arquivos que o mês não tinha

    @property
    def total(self) -> int:
        return sum(self.linhas.values())


# ---------------------------------------------------------------- importação

def intercalar(fluxos: List[Iterator[List[Tuple[int, bytes]]]]) -> Iterator[List[Tuple[int, bytes]]]:
    """Intercala fluxos de lotes ordenados por chave num fluxo de lotes ordenados.

    Trabalha por lote, não por registro: a cada volta sai de cada fluxo tudo o
    que tem chave menor que o menor dos últimos valores dos fluxos vivos (nada
    maior pode chegar antes disso), e a ordenação estável do Python, que acha
    as sequências já ordenadas, junta os pedaços mantendo, para a mesma chave,
    a ordem dos fluxos. Registros fora de ordem num fluxo saem assim mesmo, uma
    vez cada; quem consome percebe a desordem pela chave.
    """
    buffers: List[List[Tuple[int, bytes]]] = [[] for _ in fluxos]
    vivos = [True] * len(fluxos)
    chave = itemgetter(0)

    def encher(i: int) -> None:
        while vivos[i]:
            try:
                lote = next(fluxos[i])
            except StopIteration:
                vivos[i] = False
                return
            if lote:
                buffers[i].extend(lote)
                return

    for i in range(len(fluxos)):
        encher(i)
    while True:
        ultimos = [buffers[i][-1][0] for i in range(len(fluxos)) if vivos[i] and buffers[i]]
        if not ultimos:
            resto = [r for b in buffers for r in b]
            if resto:
                resto.sort(key=chave)
                yield resto
            return
        limite = min(ultimos)
        saida: List[Tuple[int, bytes]] = []
        for i, b in enumerate(buffers):
            j = bisect_left(list(map(chave, b)), limite)
            if j:
                saida.extend(b[:j])
                buffers[i] = b[j:]
        for i in range(len(fluxos)):
            if vivos[i] and (not buffers[i] or buffers[i][-1][0] <= limite):
                encher(i)
        if saida:
            saida.sort(key=chave)
            yield saida


def _chave_do_registro(tabela: str, r: bytes) -> int:
    from ... import _dados_abertos

    if tabela == "estabelecimento":
        return chave_armazenada((r[:8] + r[9:13] + r[14:16]).decode("latin-1"))
    return int(_dados_abertos.chave_basico(r[1:9].decode("latin-1")))


def _empresas_no_banco(destino: str) -> Optional[int]:
    """Quantas empresas o banco que seria substituído tem (None se não há um legível)."""
    from ..banco.consultas import Registro

    try:
        with Registro(destino) as atual:
            n = atual.info()["linhas"].get("empresas")
    except Exception:  # noqa: BLE001 - sem banco anterior, ou um que não se lê: nada a proteger
        return None
    return int(n) if isinstance(n, int) else None


def conferir_tamanho(resumo: Resumo, destino: str, forcar: bool) -> None:
    """Recusa trocar um registro por um mês vazio, ou por um com menos da metade
    das empresas do atual (uma pasta de zips vazios, um download cortado)."""
    if forcar:
        return
    novas = resumo.linhas.get("Empresas", 0)
    if novas == 0:
        raise ErroDeImportacao("o mês não tem nenhuma empresa; o banco anterior não foi alterado "
                               "(confira a pasta, ou use --forcar)")
    anteriores = _empresas_no_banco(destino)
    if anteriores is not None and novas < anteriores / 2:
        raise ErroDeImportacao(f"o mês tem {novas:,} empresas, menos da metade das {anteriores:,} do banco atual; "
                               "o banco anterior não foi alterado (confira a pasta, ou use --forcar)")


def importar(pasta: "str | Path", destino: str, progresso: bool = True,
             ao_progredir: Optional[Callable[[int], None]] = None, parcial: bool = False,
             forcar: bool = False) -> Resumo:
    """Importa o mês da `pasta` para `destino` (caminho SQLite ou URL postgresql://).

    `parcial`: importa o que a pasta tem, falte o que faltar; o banco fica
    marcado como parcial. Sem ele, um mês sem empresas, ou com menos da metade
    das empresas do banco que substituiria, é recusado, salvo com `forcar`."""
    inicio = time.perf_counter()
    arquivos, faltam = localizar(pasta, parcial)
    resumo = Resumo(mes=mes_da_pasta(pasta, arquivos), faltam=faltam)
    dest = abrir_destino(destino)
    familias = ("Empresas", "Estabelecimentos", "Socios", "Simples")
    resumo.bytes_csv = sum(a.tamanho for lista in arquivos.values() for a in lista)
    total = sum(a.tamanho for f in familias for a in arquivos[f])
    ocorrencias: Counter[str] = Counter()
    from tqdm import tqdm

    dest.iniciar()
    executor = ThreadPoolExecutor(max_workers=2, thread_name_prefix="comprimir")
    filas: List[FilaOrdenada] = []
    try:
        codigos = {t: tabela_de_codigos(arquivos[t][0]) if arquivos[t] else {} for t in TABELAS_DE_CODIGOS}
        dest.codigos(codigos)
        lidas = 0
        with tqdm(total=total, unit="B", unit_scale=True, desc="importando", disable=not progresso,
                  dynamic_ncols=True, smoothing=0.1) as barra:
            def fluxo(familia: str, marca: bytes) -> Iterator[List[Tuple[int, bytes]]]:
                """Os registros de uma família, contando ocorrências e nomes pelo caminho."""
                nonlocal lidas
                t0 = time.perf_counter()
                tipos = TIPOS[familia]
                aceitas = 0
                campo_nome = {"Empresas": 1, "Estabelecimentos": 4}.get(familia)
                qual = "razao" if familia == "Empresas" else "fantasia"
                for arq in arquivos[familia]:
                    for regs, nbytes, contagens, vistos, nomes in adiantar(registros(arq, tipos, campo_nome)):
                        aceitas += contagens["linhas"]
                        for motivo, n in contagens.items():
                            if motivo != "linhas" and n:
                                ocorrencias[f"{familia}: {_MOTIVOS[motivo]}"] += n
                        for coluna, valores in vistos.items():
                            tab = CODIGOS.get((familia, coluna))
                            if tab is None:
                                continue
                            conhecidos = codigos[tab]
                            for valor, n in valores.items():
                                if valor and not (valor.isdigit() and int(valor) in conhecidos):
                                    nome = _NOME_CAMPO[(familia, coluna)]
                                    ocorrencias[f"{familia}: código desconhecido ({nome})"] += n
                        if nomes:
                            dest.nomes(qual, nomes)
                        lidas += len(regs)
                        barra.update(nbytes)
                        decorrido = time.perf_counter() - inicio
                        barra.set_postfix_str(f"{familia}, {lidas / max(decorrido, 1e-9):,.0f} linhas/s",
                                              refresh=False)
                        if ao_progredir is not None:
                            ao_progredir(lidas)
                        if marca:
                            yield [(k, marca + v) for k, v in regs]
                        elif regs:
                            yield regs
                resumo.linhas[familia] = aceitas
                resumo.segundos_por_familia[familia] = time.perf_counter() - t0

            # Estabelecimentos numa tabela; Empresas, Sócios e Simples, que se
            # consultam pelo mesmo CNPJ básico, juntos noutra (marcados E, S, I),
            # intercalados em ordem de chave: uma consulta lê dois blocos.
            fontes = {
                "estabelecimento": [fluxo("Estabelecimentos", b"")],
                "empresa": [fluxo("Empresas", MARCA_EMPRESA), fluxo("Socios", MARCA_SOCIO),
                            fluxo("Simples", MARCA_SIMPLES)],
            }
            for tabela, fluxos in fontes.items():
                t_tabela = time.perf_counter()

                def gravar(linhas: List[Tuple[int, bytes]], tabela: str = tabela) -> None:
                    dest.gravar_blocos(tabela, linhas)

                emp = Empacotador(DIVISOR_GRUPO[tabela], gravar, executor)
                fila = FilaOrdenada(executor)
                filas.append(fila)
                fora_de_ordem = False
                for lote in (fluxos[0] if len(fluxos) == 1 else intercalar(fluxos)):
                    if fora_de_ordem:
                        fila.enfileirar(lote)
                        continue
                    i = emp.adicionar(lote)
                    if i is not None:
                        fora_de_ordem = True
                        fila.enfileirar(lote[i:])
                emp.terminar()
                if fora_de_ordem:
                    # Arquivos fora de ordem (os reais vêm assim): o que já virou
                    # bloco volta à fila, e a fila sai ordenada por uma ordenação
                    # externa de memória limitada.
                    for dados in dest.retirar_blocos(tabela):
                        fila.enfileirar([(_chave_do_registro(tabela, r), r)
                                         for r in registros_do_bloco(dados, emp.zdict or b"")])
                    emp = Empacotador(DIVISOR_GRUPO[tabela], gravar, executor, emp.zdict)
                    for lote in fila.ordenados():
                        if emp.adicionar(lote) is not None:
                            raise RuntimeError("fila ordenada fora de ordem")
                    emp.terminar()
                fila.fechar()
                dest.dicionario(tabela, emp.zdict or b"")
                resumo.segundos_por_etapa[tabela] = time.perf_counter() - t_tabela
        meta = {
            "mes": resumo.mes,
            "importado_em": datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0).isoformat(),
            "versao_formato": VERSAO_FORMATO,
            "id_importacao": uuid.uuid4().hex,
            "bytes_csv": str(resumo.bytes_csv),
            **{f"linhas_{f.lower()}": str(n) for f, n in resumo.linhas.items()},
        }
        if faltam:
            meta["parcial"] = "1"
            meta["faltam"] = ", ".join(faltam)
        if not parcial:
            conferir_tamanho(resumo, destino, forcar)
        t_fim = time.perf_counter()
        resumo.tamanho = dest.concluir(meta)
        resumo.segundos_por_etapa["índices e troca"] = time.perf_counter() - t_fim
    except BaseException as e:
        executor.shutdown(wait=True, cancel_futures=True)
        for f in filas:
            f.fechar()
        dest.abortar()
        if isinstance(e, (sqlite3.Error, OSError)) or type(e).__module__.startswith("psycopg"):
            # Disco cheio, permissão, conexão perdida: uma linha, e o banco
            # anterior continua onde estava.
            detalhe = " ".join(str(e).split())
            raise ErroDeImportacao(f"falha ao gravar o banco ({type(e).__name__}: {detalhe}); "
                                   "o banco anterior não foi alterado") from e
        raise
    executor.shutdown(wait=True)
    resumo.ocorrencias = dict(sorted(ocorrencias.items()))
    resumo.segundos = time.perf_counter() - inicio
    return resumo
