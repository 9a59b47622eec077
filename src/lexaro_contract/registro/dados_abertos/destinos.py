"""Os destinos de uma importação: o banco novo em construção ao lado do atual.

SQLite: um arquivo ao lado do banco, trocado por ele com `os.replace`;
PostgreSQL: um esquema novo, trocado pelo atual com uma troca de nomes numa
transação. Uma importação que não termina apaga o que construiu, e o banco
anterior fica onde estava. O desenho das tabelas está em `banco.esquema`.
"""

from __future__ import annotations

import os
import sqlite3
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from ..banco.conexao import ESQUEMA_PG, ErroDeBanco, conectar_pg, eh_url_pg
from ..banco.esquema import MAX_PALAVRAS, dobrar
from .leitor import ErroDeImportacao


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

    def concluir(self, meta: Dict[str, str]) -> int:
        con = self._c()
        con.executemany("INSERT INTO meta VALUES (?, ?)", sorted(meta.items()))
        for t in ("nome_razao", "nome_fantasia"):
            con.execute(f"INSERT INTO {t} ({t}) VALUES ('optimize')")
        con.execute("COMMIT")
        con.close()
        self.con = None
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
        try:
            self.novo.unlink()
        except OSError:
            pass


class DestinoPostgres(_Destino):
    def __init__(self, url: str, esquema: str = ESQUEMA_PG) -> None:
        self.url = url
        self.esquema = esquema
        self.novo = f"{esquema}_novo_{os.getpid()}"
        self.con: Any = None

    def _conectar(self) -> Any:
        try:
            return conectar_pg(self.url)
        except ErroDeBanco as e:
            raise ErroDeImportacao(str(e)) from None

    def iniciar(self) -> None:
        self.con = self._conectar()
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
        self.con.commit()

    def _copiar(self, tabela: str, colunas: str, linhas: List[Any], tipos: Optional[List[str]] = None) -> None:
        """COPY das linhas; com `tipos`, no formato binário."""
        binario = " (FORMAT BINARY)" if tipos else ""
        with self.con.cursor() as cur:
            with cur.copy(f"COPY {self.novo}.{tabela} ({colunas}) FROM STDIN{binario}") as cp:
                if tipos:
                    cp.set_types(tipos)
                for linha in linhas:
                    cp.write_row(linha)

    def codigos(self, tabelas: Dict[str, Dict[int, str]]) -> None:
        self._copiar("codigo", "tabela, codigo, descricao",
                     [(t, c, d) for t, cods in tabelas.items() for c, d in cods.items()])

    def dicionario(self, tabela: str, dados: bytes) -> None:
        self._copiar("dicionario", "tabela, dados", [(tabela, dados)])

    def gravar_blocos(self, tabela: str, linhas: List[Tuple[int, bytes]]) -> None:
        # COPY binário: os blocos vão como bytes, sem virar texto hexadecimal
        # que o servidor teria de ler de volta.
        self._copiar(tabela, "chave, dados", linhas, ["int8", "bytea"])

    def nomes(self, qual: str, linhas: List[Tuple[int, str, int]]) -> None:
        self._copiar(f"nome_{qual}", "chave, palavras, nome",
                     [(k, min(p, MAX_PALAVRAS), dobrar(n)) for k, n, p in linhas])

    def _indices(self) -> None:
        """Os índices em duas conexões ao mesmo tempo: cada construção ocupa um
        processo do servidor (um índice GIN não se reparte entre processos), e a
        leitura do mês já terminou, então os dois núcleos estão livres. O índice
        de razões sociais, o maior, vai sozinho; as chaves e os nomes fantasia,
        juntos, custam perto dele."""
        s = self.novo
        gin = "USING gin (to_tsvector('simple', nome))"
        grupos = ([f"CREATE INDEX ON {s}.nome_razao {gin}"],
                  [f"ALTER TABLE {s}.estabelecimento ADD PRIMARY KEY (chave)",
                   f"ALTER TABLE {s}.empresa ADD PRIMARY KEY (chave)",
                   f"CREATE INDEX ON {s}.nome_fantasia {gin}"])

        def construir(con: Any, comandos: List[str]) -> None:
            with con.cursor() as cur:
                # A memória de manutenção é o lote que o GIN ordena de cada vez.
                cur.execute("SET maintenance_work_mem = '256MB'")
                for comando in comandos:
                    cur.execute(comando)
            con.commit()

        outra = self._conectar()
        try:
            with ThreadPoolExecutor(1) as fio:
                ao_lado = fio.submit(construir, outra, grupos[1])
                try:
                    construir(self.con, grupos[0])
                except BaseException:
                    # Se as duas falham, sobe o erro desta conexão: a outra é esperada
                    # sem que o erro dela tome o lugar deste.
                    ao_lado.exception()
                    raise
                ao_lado.result()
        finally:
            outra.close()

    def concluir(self, meta: Dict[str, str]) -> int:
        s, final = self.novo, self.esquema
        with self.con.cursor() as cur:
            self._copiar("meta", "chave, valor", sorted(meta.items()))
            self.con.commit()
            self._indices()
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


def abrir_destino(destino: str) -> _Destino:
    if eh_url_pg(destino):
        return DestinoPostgres(destino)
    return DestinoSQLite(Path(destino).expanduser().resolve())
