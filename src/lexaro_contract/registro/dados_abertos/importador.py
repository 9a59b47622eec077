"""Importação de um mês dos dados abertos do CNPJ num banco do registro.

O banco novo é construído ao lado do atual e só então trocado por ele (SQLite:
arquivo ao lado e `os.replace`; PostgreSQL: esquema novo e troca de nomes numa
transação). Uma importação interrompida, com erro ou morta deixa o banco
anterior servindo, intacto.
"""

from __future__ import annotations

import datetime
import os
import sqlite3
import time
from concurrent.futures import ThreadPoolExecutor
from collections import Counter
from dataclasses import dataclass, field
from bisect import bisect_left
from operator import itemgetter
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

from ..banco.codigos import TABELAS_DE_CODIGOS
from ..banco.conexao import ESQUEMA_PG, ErroDeBanco, conectar_pg, eh_url_pg
from ..banco.esquema import (MARCA_EMPRESA, MARCA_SIMPLES, MARCA_SOCIO, MAX_PALAVRAS, VERSAO_FORMATO, chave_armazenada,
                             dobrar, registros_do_bloco)
from .empacotador import DIVISOR_GRUPO, Empacotador
from .leiaute import CODIGOS, TIPOS
from .leitor import ErroDeImportacao, adiantar, localizar, mes_da_pasta, registros, tabela_de_codigos

_MOTIVOS = {
    "colunas": "linhas com número errado de colunas (descartadas)",
    "cnpj": "CNPJ malformado (descartadas)",
    "nul": "bytes NUL removidos",
    "data": "datas impossíveis (guardadas como nulas)",
    "capital_ficticio": "capital fictício 999999999999 (mantido)",
    "capital": "capital ilegível (guardado como nulo)",
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

    @property
    def total(self) -> int:
        return sum(self.linhas.values())


# ---------------------------------------------------------------- destinos

class _Destino:
    """Um banco em construção: o SQLite ao lado do arquivo, ou o esquema novo do PostgreSQL."""

    def iniciar(self) -> None:
        raise NotImplementedError

    def codigos(self, tabelas: Dict[str, Dict[int, str]]) -> None:
        raise NotImplementedError

    def gravar_blocos(self, tabela: str, linhas: List[Tuple[int, bytes]]) -> None:
        raise NotImplementedError

    def dicionario(self, tabela: str, dados: bytes) -> None:
        raise NotImplementedError

    def nomes(self, qual: str, linhas: List[Tuple[int, str, int]]) -> None:
        """(chave, nome, palavras) para o índice de nomes."""
        raise NotImplementedError

    def enfileirar(self, linhas: List[Tuple[int, bytes]]) -> None:
        raise NotImplementedError

    def ordenados(self) -> Iterator[List[Tuple[int, bytes]]]:
        raise NotImplementedError

    def limpar_fila(self) -> None:
        raise NotImplementedError

    def retirar_blocos(self, tabela: str) -> Iterator[bytes]:
        raise NotImplementedError

    def concluir(self, meta: Dict[str, str]) -> int:
        raise NotImplementedError

    def abortar(self) -> None:
        raise NotImplementedError


_TABELAS_SQL = """
CREATE TABLE meta (chave TEXT PRIMARY KEY, valor TEXT NOT NULL);
CREATE TABLE dicionario (tabela TEXT PRIMARY KEY, dados BLOB NOT NULL);
CREATE TABLE codigo (tabela TEXT NOT NULL, codigo INTEGER NOT NULL, descricao TEXT NOT NULL,
                     PRIMARY KEY (tabela, codigo)) WITHOUT ROWID;
CREATE TABLE empresa (chave INTEGER PRIMARY KEY, dados BLOB NOT NULL);
CREATE TABLE estabelecimento (chave INTEGER PRIMARY KEY, dados BLOB NOT NULL);
CREATE VIRTUAL TABLE nome_razao USING fts5(nome, content='', columnsize=0, detail=none,
                                           tokenize='unicode61 remove_diacritics 2');
CREATE VIRTUAL TABLE nome_fantasia USING fts5(nome, content='', columnsize=0, detail=none,
                                              tokenize='unicode61 remove_diacritics 2');
"""


def _limpar_restos(final: Path) -> None:
    """Apaga os arquivos de importações mortas (de processos que não existem mais)."""
    for p in final.parent.glob(f".{final.name}.*-*"):
        pid = p.name.rsplit("-", 1)[-1]
        if not pid.isdigit():
            continue
        try:
            if int(pid) != os.getpid():
                os.kill(int(pid), 0)
                continue
        except ProcessLookupError:
            pass
        except OSError:
            continue
        try:
            p.unlink()
        except OSError:
            pass


def _eh_banco_do_registro(caminho: Path) -> bool:
    try:
        con = sqlite3.connect(f"file:{caminho}?mode=ro", uri=True)
        try:
            return con.execute("SELECT valor FROM meta WHERE chave = 'versao_formato'").fetchone() is not None
        finally:
            con.close()
    except sqlite3.Error:
        return False


class DestinoSQLite(_Destino):
    def __init__(self, caminho: Path) -> None:
        self.final = caminho
        self.novo = caminho.with_name(f".{caminho.name}.novo-{os.getpid()}")
        self.fila = caminho.with_name(f".{caminho.name}.fila-{os.getpid()}")
        self.con: Optional[sqlite3.Connection] = None

    def iniciar(self) -> None:
        pasta = self.final.parent
        if not pasta.is_dir():
            raise ErroDeImportacao(f"pasta do banco não existe: {pasta}")
        if self.final.is_dir():
            raise ErroDeImportacao(f"o destino é uma pasta: {self.final}")
        if self.final.exists() and not _eh_banco_do_registro(self.final):
            # Só um banco do registro é substituído: nunca outro arquivo por engano.
            raise ErroDeImportacao(f"o destino existe e não é um banco do registro: {self.final}")
        _limpar_restos(self.final)
        con = sqlite3.connect(self.novo, isolation_level=None, check_same_thread=False)
        self.con = con
        con.execute("PRAGMA page_size=8192")
        con.execute("PRAGMA journal_mode=OFF")
        con.execute("PRAGMA synchronous=OFF")
        con.execute("PRAGMA locking_mode=EXCLUSIVE")
        con.execute("PRAGMA cache_size=-131072")
        con.executescript(_TABELAS_SQL)
        con.execute("ATTACH DATABASE ? AS fila", (str(self.fila),))
        con.execute("PRAGMA fila.journal_mode=OFF")
        con.execute("PRAGMA fila.synchronous=OFF")
        con.execute("CREATE TABLE fila.fila (k INTEGER NOT NULL, v BLOB NOT NULL)")
        con.execute("BEGIN")

    def _c(self) -> sqlite3.Connection:
        assert self.con is not None
        return self.con

    def codigos(self, tabelas: Dict[str, Dict[int, str]]) -> None:
        self._c().executemany("INSERT INTO codigo VALUES (?, ?, ?)",
                              [(t, c, d) for t, cods in tabelas.items() for c, d in cods.items()])

    def dicionario(self, tabela: str, dados: bytes) -> None:
        self._c().execute("INSERT INTO dicionario VALUES (?, ?)", (tabela, dados))

    def gravar_blocos(self, tabela: str, linhas: List[Tuple[int, bytes]]) -> None:
        self._c().executemany(f"INSERT INTO {tabela} (chave, dados) VALUES (?, ?)", linhas)

    def nomes(self, qual: str, linhas: List[Tuple[int, str, int]]) -> None:
        limite = 1 << 56
        self._c().executemany(f"INSERT INTO nome_{qual} (rowid, nome) VALUES (?, ?)",
                              [(k * 64 + min(p, MAX_PALAVRAS) if k < limite else -k, n) for k, n, p in linhas])

    def enfileirar(self, linhas: List[Tuple[int, bytes]]) -> None:
        self._c().executemany("INSERT INTO fila.fila (k, v) VALUES (?, ?)", linhas)

    def ordenados(self) -> Iterator[List[Tuple[int, bytes]]]:
        cur = self._c().execute("SELECT k, v FROM fila.fila ORDER BY k, rowid")
        while True:
            lote = cur.fetchmany(20000)
            if not lote:
                return
            yield lote

    def limpar_fila(self) -> None:
        self._c().execute("DELETE FROM fila.fila")

    def retirar_blocos(self, tabela: str) -> Iterator[bytes]:
        cur = self._c().execute(f"SELECT dados FROM {tabela}")
        while True:
            lote = cur.fetchmany(256)
            if not lote:
                break
            for (dados,) in lote:
                yield dados
        self._c().execute(f"DELETE FROM {tabela}")

    def concluir(self, meta: Dict[str, str]) -> int:
        con = self._c()
        con.executemany("INSERT INTO meta VALUES (?, ?)", sorted(meta.items()))
        for t in ("nome_razao", "nome_fantasia"):
            con.execute(f"INSERT INTO {t} ({t}) VALUES ('optimize')")
        con.execute("COMMIT")
        con.execute("DETACH DATABASE fila")
        con.close()
        self.con = None
        self.fila.unlink(missing_ok=True)
        fd = os.open(self.novo, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(self.novo, self.final)
        return self.final.stat().st_size

    def abortar(self) -> None:
        if self.con is not None:
            try:
                self.con.close()
            except sqlite3.Error:
                pass
            self.con = None
        for p in (self.novo, self.fila):
            try:
                p.unlink()
            except OSError:
                pass


class DestinoPostgres(_Destino):
    def __init__(self, url: str, esquema: str = ESQUEMA_PG) -> None:
        self.url = url
        self.esquema = esquema
        self.novo = f"{esquema}_novo_{os.getpid()}"
        self.con: Any = None

    def iniciar(self) -> None:
        try:
            self.con = conectar_pg(self.url)
        except ErroDeBanco as e:
            raise ErroDeImportacao(str(e)) from None
        s = self.novo
        with self.con.cursor() as cur:
            cur.execute(f"DROP SCHEMA IF EXISTS {s} CASCADE")
            cur.execute(f"CREATE SCHEMA {s}")
            cur.execute(f"CREATE TABLE {s}.meta (chave text PRIMARY KEY, valor text NOT NULL)")
            cur.execute(f"CREATE TABLE {s}.dicionario (tabela text PRIMARY KEY, dados bytea NOT NULL)")
            cur.execute(f"CREATE TABLE {s}.codigo (tabela text NOT NULL, codigo integer NOT NULL, "
                        "descricao text NOT NULL, PRIMARY KEY (tabela, codigo))")
            for t in ("empresa", "estabelecimento"):
                cur.execute(f"CREATE TABLE {s}.{t} (chave bigint NOT NULL, dados bytea NOT NULL)")
            for t in ("nome_razao", "nome_fantasia"):
                cur.execute(f"CREATE TABLE {s}.{t} (chave bigint NOT NULL, palavras smallint NOT NULL, "
                            "nome text NOT NULL)")
            cur.execute(f"CREATE UNLOGGED TABLE {s}.fila (n bigserial, k bigint NOT NULL, v bytea NOT NULL)")
        self.con.commit()

    def _copiar(self, tabela: str, colunas: str, linhas: List[Any]) -> None:
        with self.con.cursor() as cur:
            with cur.copy(f"COPY {self.novo}.{tabela} ({colunas}) FROM STDIN") as cp:
                for linha in linhas:
                    cp.write_row(linha)

    def codigos(self, tabelas: Dict[str, Dict[int, str]]) -> None:
        self._copiar("codigo", "tabela, codigo, descricao",
                     [(t, c, d) for t, cods in tabelas.items() for c, d in cods.items()])

    def dicionario(self, tabela: str, dados: bytes) -> None:
        self._copiar("dicionario", "tabela, dados", [(tabela, dados)])

    def gravar_blocos(self, tabela: str, linhas: List[Tuple[int, bytes]]) -> None:
        self._copiar(tabela, "chave, dados", linhas)

    def nomes(self, qual: str, linhas: List[Tuple[int, str, int]]) -> None:
        self._copiar(f"nome_{qual}", "chave, palavras, nome",
                     [(k, min(p, MAX_PALAVRAS), dobrar(n)) for k, n, p in linhas])

    def enfileirar(self, linhas: List[Tuple[int, bytes]]) -> None:
        self._copiar("fila", "k, v", linhas)

    def _em_lotes(self, cursor: str, consulta: str, tamanho: int) -> Iterator[List[Any]]:
        """As linhas de `consulta` em lotes, por um cursor do servidor (a memória fica limitada)."""
        with self.con.cursor(name=cursor) as cur:
            cur.execute(consulta)
            while True:
                lote = cur.fetchmany(tamanho)
                if not lote:
                    return
                yield lote

    def ordenados(self) -> Iterator[List[Tuple[int, bytes]]]:
        for lote in self._em_lotes("fila_ordenada", f"SELECT k, v FROM {self.novo}.fila ORDER BY k, n", 20000):
            yield [(k, bytes(v)) for k, v in lote]

    def limpar_fila(self) -> None:
        with self.con.cursor() as cur:
            cur.execute(f"TRUNCATE {self.novo}.fila")

    def retirar_blocos(self, tabela: str) -> Iterator[bytes]:
        for lote in self._em_lotes("retirar_blocos", f"SELECT dados FROM {self.novo}.{tabela}", 256):
            for (dados,) in lote:
                yield bytes(dados)
        with self.con.cursor() as cur:
            cur.execute(f"TRUNCATE {self.novo}.{tabela}")

    def concluir(self, meta: Dict[str, str]) -> int:
        s, final = self.novo, self.esquema
        with self.con.cursor() as cur:
            cur.execute(f"DROP TABLE {s}.fila")
            self._copiar("meta", "chave, valor", sorted(meta.items()))
            for t in ("empresa", "estabelecimento"):
                cur.execute(f"ALTER TABLE {s}.{t} ADD PRIMARY KEY (chave)")
            for t in ("nome_razao", "nome_fantasia"):
                cur.execute(f"CREATE INDEX ON {s}.{t} USING gin (to_tsvector('simple', nome))")
            self.con.commit()
            velho = f"{final}_velho_{os.getpid()}"
            cur.execute("SELECT 1 FROM pg_namespace WHERE nspname = %s", (final,))
            existe = cur.fetchone() is not None
            if existe:
                cur.execute(f"ALTER SCHEMA {final} RENAME TO {velho}")
            cur.execute(f"ALTER SCHEMA {s} RENAME TO {final}")
            if existe:
                cur.execute(f"DROP SCHEMA {velho} CASCADE")
            self.con.commit()
            for t in ("empresa", "estabelecimento", "nome_razao", "nome_fantasia"):
                cur.execute(f"ANALYZE {final}.{t}")
            self.con.commit()
            cur.execute("SELECT sum(pg_total_relation_size(c.oid)) FROM pg_class c JOIN pg_namespace n "
                        "ON n.oid = c.relnamespace WHERE n.nspname = %s AND c.relkind IN ('r', 'm')", (final,))
            tamanho = int(cur.fetchone()[0] or 0)
        self.con.close()
        self.con = None
        return tamanho

    def abortar(self) -> None:
        if self.con is None:
            return
        try:
            self.con.rollback()
            with self.con.cursor() as cur:
                cur.execute(f"DROP SCHEMA IF EXISTS {self.novo} CASCADE")
            self.con.commit()
        except Exception:  # noqa: BLE001 - a conexão pode já estar perdida
            pass
        finally:
            try:
                self.con.close()
            except Exception:  # noqa: BLE001
                pass
            self.con = None


def _destino(destino: str) -> _Destino:
    if eh_url_pg(destino):
        return DestinoPostgres(destino)
    return DestinoSQLite(Path(destino).expanduser().resolve())


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


def importar(pasta: "str | Path", destino: str, progresso: bool = True,
             ao_progredir: Optional[Callable[[int], None]] = None) -> Resumo:
    """Importa o mês da `pasta` para `destino` (caminho SQLite ou URL postgresql://)."""
    inicio = time.perf_counter()
    arquivos = localizar(pasta)
    resumo = Resumo(mes=mes_da_pasta(pasta, arquivos))
    dest = _destino(destino)
    familias = ("Empresas", "Estabelecimentos", "Socios", "Simples")
    resumo.bytes_csv = sum(a.tamanho for lista in arquivos.values() for a in lista)
    total = sum(a.tamanho for f in familias for a in arquivos[f])
    ocorrencias: Counter[str] = Counter()
    from tqdm import tqdm

    dest.iniciar()
    executor = ThreadPoolExecutor(max_workers=2, thread_name_prefix="comprimir")
    try:
        codigos = {t: tabela_de_codigos(arquivos[t][0]) for t in TABELAS_DE_CODIGOS}
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
                fora_de_ordem = False
                for lote in (fluxos[0] if len(fluxos) == 1 else intercalar(fluxos)):
                    if fora_de_ordem:
                        dest.enfileirar(lote)
                        continue
                    i = emp.adicionar(lote)
                    if i is not None:
                        fora_de_ordem = True
                        dest.enfileirar(lote[i:])
                emp.terminar()
                if fora_de_ordem:
                    # Arquivos fora de ordem: o que já virou bloco volta à fila,
                    # e a fila inteira sai ordenada pelo próprio banco.
                    for dados in dest.retirar_blocos(tabela):
                        dest.enfileirar([(_chave_do_registro(tabela, r), r)
                                         for r in registros_do_bloco(dados, emp.zdict or b"")])
                    emp = Empacotador(DIVISOR_GRUPO[tabela], gravar, executor, emp.zdict)
                    for lote in dest.ordenados():
                        if emp.adicionar(lote) is not None:
                            raise RuntimeError("fila ordenada fora de ordem")
                    emp.terminar()
                    dest.limpar_fila()
                dest.dicionario(tabela, emp.zdict or b"")
                resumo.segundos_por_etapa[tabela] = time.perf_counter() - t_tabela
        meta = {
            "mes": resumo.mes,
            "importado_em": datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0).isoformat(),
            "versao_formato": VERSAO_FORMATO,
            "bytes_csv": str(resumo.bytes_csv),
            **{f"linhas_{f.lower()}": str(n) for f, n in resumo.linhas.items()},
        }
        t_fim = time.perf_counter()
        resumo.tamanho = dest.concluir(meta)
        resumo.segundos_por_etapa["índices e troca"] = time.perf_counter() - t_fim
    except BaseException as e:
        executor.shutdown(wait=True, cancel_futures=True)
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
