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
from collections import Counter
from contextlib import closing
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, List, Optional

from ..banco.codigos import TABELAS_DE_CODIGOS
from ..banco.esquema import MARCA_EMPRESA, MARCA_SIMPLES, MARCA_SOCIO, VERSAO_FORMATO
from .destinos import abrir_destino
from .fila_ordenada import FilaOrdenada, comprimir_corridas
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
    filas: List[FilaOrdenada] = []
    try:
        codigos = {t: tabela_de_codigos(arquivos[t][0]) if arquivos[t] else {} for t in TABELAS_DE_CODIGOS}
        dest.codigos(codigos)
        lidas = 0
        with tqdm(total=total, unit="B", unit_scale=True, desc="importando", disable=not progresso,
                  dynamic_ncols=True, smoothing=0.1) as barra:
            def gravar(filas: List[FilaOrdenada], esperar: bool) -> None:
                """Grava o que as filas têm pronto: sem `esperar`, um lote de cada no
                máximo (a leitura da tabela seguinte não fica parada); com ele, tudo.
                Os blocos e, no fim, o dicionário da tabela; os nomes, no índice de
                nomes. As filas se alternam, para que nenhuma espere cheia enquanto
                outra é gravada; a que termina solta a sua memória."""
                while True:
                    vivas = [f for f in filas if not f.terminada]
                    if not vivas:
                        return
                    prontos = [(f, lote) for f in vivas if (lote := f.blocos(esperar=False)) is not None]
                    if not prontos:
                        if not esperar:
                            return
                        lote = vivas[0].blocos(esperar=True)
                        assert lote is not None
                        prontos = [(vivas[0], lote)]
                    for fila, lote in prontos:
                        if fila.nomes:
                            if lote:
                                dest.nomes(fila.nomes, [(k, v[1:].decode("latin-1"), v[0]) for k, v in lote])
                        elif lote:
                            dest.gravar_blocos(fila.tabela, lote)
                        else:
                            dest.dicionario(fila.tabela, fila.dicionario())
                        if fila.terminada:
                            fila.fechar()
                    if not esperar:
                        return

            def ler(familia: str, marca: bytes, fila: FilaOrdenada, nomes: FilaOrdenada,
                    anteriores: List[FilaOrdenada]) -> None:
                """Lê uma família para a fila da sua tabela, contando ocorrências e
                gravando pelo caminho o que as filas `anteriores` já têm pronto."""
                nonlocal lidas
                t0 = time.perf_counter()
                tipos = TIPOS[familia]
                aceitas = 0
                campo_nome = {"Empresas": 1, "Estabelecimentos": 4}.get(familia)
                for arq in arquivos[familia]:
                    # Fechada já na saída, com erro ou não: a thread de leitura para
                    # antes que as filas que ela alimenta sejam fechadas.
                    with closing(adiantar(registros(arq, tipos, campo_nome, fila, marca, nomes))) as leitura:
                        for _regs, nbytes, contagens, vistos, _nomes in leitura:
                            n = contagens.get("linhas", 0)
                            aceitas += n
                            for motivo, k in contagens.items():
                                if motivo != "linhas" and k:
                                    ocorrencias[f"{familia}: {_MOTIVOS[motivo]}"] += k
                            for coluna, valores in vistos.items():
                                tab = CODIGOS.get((familia, coluna))
                                if tab is None:
                                    continue
                                conhecidos = codigos[tab]
                                for valor, k in valores.items():
                                    if valor and not (valor.isdigit() and int(valor) in conhecidos):
                                        nome = _NOME_CAMPO[(familia, coluna)]
                                        ocorrencias[f"{familia}: código desconhecido ({nome})"] += k
                            gravar(anteriores, esperar=False)
                            lidas += n
                            barra.update(nbytes)
                            decorrido = time.perf_counter() - inicio
                            barra.set_postfix_str(f"{familia}, {lidas / max(decorrido, 1e-9):,.0f} linhas/s",
                                                  refresh=False)
                            if ao_progredir is not None:
                                ao_progredir(lidas)
                resumo.linhas[familia] = aceitas
                resumo.segundos_por_familia[familia] = time.perf_counter() - t0

            # Estabelecimentos numa tabela; Empresas, Sócios e Simples, que se
            # consultam pelo mesmo CNPJ básico, juntos noutra (marcados E, S, I;
            # para a mesma empresa, nessa ordem: a ordenação é estável e as
            # famílias entram uma depois da outra): uma consulta lê dois blocos.
            # Os registros vão para a fila da tabela em qualquer ordem e saem
            # ordenados, em blocos; os nomes, para a sua fila, e saem em ordem de
            # chave (o índice de nomes os recebe muito mais depressa assim). O
            # que sai de uma tabela se grava enquanto a seguinte é lida.
            # A tabela de empresas, que tem mais linhas, vai primeiro: os seus
            # blocos saem enquanto os estabelecimentos são lidos, e o que fica
            # para o fim é a saída da tabela menor.
            fontes = {
                "empresa": ([("Empresas", MARCA_EMPRESA), ("Socios", MARCA_SOCIO), ("Simples", MARCA_SIMPLES)],
                            "razao"),
                "estabelecimento": ([("Estabelecimentos", b"")], "fantasia"),
            }
            anteriores: List[FilaOrdenada] = []
            comprimir = comprimir_corridas(total)
            for tabela, (da_tabela, qual) in fontes.items():
                t_tabela = time.perf_counter()
                fila = FilaOrdenada(tabela, comprimir=comprimir)
                nomes = FilaOrdenada(tabela, nomes=qual, comprimir=comprimir)
                filas.extend((fila, nomes))
                for familia, marca in da_tabela:
                    ler(familia, marca, fila, nomes, anteriores)
                nomes.iniciar_blocos()
                fila.iniciar_blocos()
                gravar(anteriores, esperar=True)
                anteriores = [nomes, fila]
                resumo.segundos_por_etapa[tabela] = time.perf_counter() - t_tabela
            t_blocos = time.perf_counter()
            gravar(anteriores, esperar=True)
            resumo.segundos_por_etapa[tabela] += time.perf_counter() - t_blocos  # a última tabela lida
            for fila in filas:
                fila.fechar()
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
    resumo.ocorrencias = dict(sorted(ocorrencias.items()))
    resumo.segundos = time.perf_counter() - inicio
    return resumo
