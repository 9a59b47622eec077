"""`Registro`: consulta a um banco do registro importado dos dados abertos.

Abre um arquivo SQLite ou uma URL ``postgresql://``; `consultar(cnpj)` devolve
o registro no formato da BrasilAPI (ou None), `buscar(nome)` procura pela razão
social e pelo nome fantasia, melhor resultado primeiro. Seguro para várias
threads (cada thread tem a sua conexão).
"""

from __future__ import annotations

import re
import sqlite3
import threading
from pathlib import Path
from typing import Any, Dict, List, Optional, Set, Tuple, Union

from ..fonte import Ficha, chave_texto, cnpj_valido
from .codigos import FAIXAS_ETARIAS, MATRIZ_FILIAL, PORTES, SITUACOES, TABELAS_DE_CODIGOS
from .conexao import ESQUEMA_PG, BancoTrocado, ErroDeBanco, conectar_pg, eh_url_pg
from . import busca
from .lotes import Candidato, Empresas, Fichas, campos_dos_blocos, montar, sql_candidatos, sql_lote
from .lotes import achar_todos as _achar_todos
from .esquema import SEP_REGISTRO, chave_armazenada, descompressor, descomprimir

def _int(s: str) -> Optional[int]:
    return int(s) if s.isdigit() else None


def _iso(s: str) -> Optional[str]:
    return f"{s[:4]}-{s[4:6]}-{s[6:]}" if s else None


def _capital(s: str) -> Union[int, float]:
    if not s:
        return 0
    inteiro, _, centavos = s.partition(",")
    if centavos.strip("0"):
        return float(f"{inteiro}.{centavos}")
    return int(inteiro)


def _sim_nao(s: str) -> Optional[bool]:
    return True if s == "S" else False if s == "N" else None


def _achar(bloco: bytes, prefixo: bytes) -> Optional[str]:
    i = bloco.find(prefixo)
    if i < 0:
        return None
    j = bloco.find(SEP_REGISTRO, i + 1)
    return bloco[i + 1:j if j >= 0 else len(bloco)].decode("latin-1")


class Registro:
    """Um banco do registro (SQLite ou PostgreSQL), só para leitura."""

    def __init__(self, destino: "str | Path", esquema: str = ESQUEMA_PG) -> None:
        self.destino = str(destino)
        self._pg = eh_url_pg(self.destino)
        if not re.fullmatch(r"[a-z_][a-z0-9_]*", esquema):
            raise ValueError(f"esquema inválido: {esquema!r}")
        self._esquema = esquema
        self._local = threading.local()
        self._conexoes: List[Any] = []
        self._trava = threading.Lock()
        if not self._pg:
            caminho = Path(self.destino).expanduser()
            if not caminho.is_file():
                raise ErroDeBanco(f"banco do registro não encontrado: {caminho}")
            self._caminho = caminho.resolve()
            self._inode = self._caminho.stat().st_ino
        sql = self._sql
        try:
            linhas = self._todas(sql("SELECT chave, valor FROM {s}meta"), ())
            cods = self._todas(sql("SELECT tabela, codigo, descricao FROM {s}codigo"), ())
            dics = self._todas(sql("SELECT tabela, dados FROM {s}dicionario"), ())
        except ErroDeBanco:
            raise
        except Exception as e:  # noqa: BLE001 - sqlite3 ou psycopg: não é um banco do registro
            self.close()
            raise ErroDeBanco(f"não é um banco do registro: {self.destino} "
                                   f"({' '.join(str(e).split())})") from None
        self._dic: Dict[str, Any] = {t: descompressor(bytes(d)) for t, d in dics}
        self._meta: Dict[str, str] = {k: v for k, v in linhas}
        # Um mês importado com --parcial: um CNPJ que ele não tem pode existir
        # (`consultar` devolver None não quer dizer "não existe").
        self.parcial = self._meta.get("parcial") == "1"
        self._codigos: Dict[str, Dict[int, str]] = {}
        for nome in TABELAS_DE_CODIGOS:
            self._codigos[nome] = {}
        for tabela, codigo, descricao in cods:
            self._codigos.setdefault(tabela, {})[int(codigo)] = descricao
        q = "SELECT dados FROM {s}%s WHERE chave <= ? ORDER BY chave DESC LIMIT 1"
        self._q = {t: sql(q % t) for t in ("empresa", "estabelecimento")}
        self._q_par = sql("SELECT (SELECT dados FROM {s}estabelecimento WHERE chave <= ? ORDER BY chave DESC LIMIT 1), "
                          "(SELECT dados FROM {s}empresa WHERE chave <= ? ORDER BY chave DESC LIMIT 1)"
                          + (", (SELECT valor FROM {s}meta WHERE chave = 'id_importacao')" if self._pg else ""))

    # ------------------------------------------------------------ conexão

    def _sql(self, texto: str) -> str:
        if self._pg:
            return texto.replace("{s}", f"{self._esquema}.").replace("?", "%s")
        return texto.replace("{s}", "")

    def _con(self) -> Any:
        con = getattr(self._local, "con", None)
        if con is None:
            if self._pg:
                con = conectar_pg(self.destino)
                con.autocommit = True
            else:
                try:
                    con = sqlite3.connect(f"file:{self._caminho}?mode=ro", uri=True, check_same_thread=False)
                except sqlite3.Error as e:
                    raise ErroDeBanco(f"banco do registro ilegível: {e}") from None
                con.execute("PRAGMA cache_size=-65536")
                con.execute("PRAGMA mmap_size=1073741824")
            self._local.con = con
            with self._trava:
                self._conexoes.append(con)
        return con

    def _todas(self, sql: str, args: Tuple[Any, ...]) -> List[Any]:
        con = self._con()
        if self._pg:
            with con.cursor() as cur:
                cur.execute(sql, args)
                return list(cur.fetchall())
        linhas: List[Any] = con.execute(sql, args).fetchall()
        return linhas

    def _um(self, sql: str, args: Tuple[Any, ...]) -> Any:
        if not self._pg:
            con = getattr(self._local, "con", None) or self._con()
            return con.execute(sql, args).fetchone()
        con = self._con()
        if self._pg:
            with con.cursor() as cur:
                cur.execute(sql, args)
                return cur.fetchone()
        return con.execute(sql, args).fetchone()

    def _bloco(self, tabela: str, chave: int) -> bytes:
        if self._pg:
            linha = self._um(self._q[tabela], (chave,))
        else:
            con = getattr(self._local, "con", None) or self._con()
            linha = con.execute(self._q[tabela], (chave,)).fetchone()
        return descomprimir(bytes(linha[0]), self._dic[tabela]) if linha else b""

    def close(self) -> None:
        with self._trava:
            conexoes, self._conexoes = self._conexoes, []
        for con in conexoes:
            try:
                con.close()
            except Exception:  # noqa: BLE001
                pass
        self._local = threading.local()

    def mudou(self) -> bool:
        """Se o destino já é outro banco (uma importação nova trocou o arquivo ou o esquema)."""
        if self._pg:
            linha = self._um(self._sql("SELECT valor FROM {s}meta WHERE chave = 'id_importacao'"), ())
            return (linha[0] if linha else None) != self._meta.get("id_importacao")
        try:
            return self._caminho.stat().st_ino != self._inode
        except OSError:
            return False   # no meio da troca: o arquivo novo ainda não tem o nome

    def __enter__(self) -> "Registro":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ------------------------------------------------------------ consultas

    def info(self) -> Dict[str, Any]:
        """O mês, as contagens e o tamanho do banco."""
        linhas = {k[len("linhas_"):]: int(v) for k, v in self._meta.items() if k.startswith("linhas_")}
        if self._pg:
            tam = self._um("SELECT coalesce(sum(pg_total_relation_size(c.oid)), 0) FROM pg_class c JOIN "
                           "pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = %s AND c.relkind IN "
                           "('r', 'm')", (self._esquema,))
            tamanho = int(tam[0])
        else:
            # O tamanho do banco aberto (não o do arquivo que hoje tem o nome).
            paginas, pagina = self._um("PRAGMA page_count", ())[0], self._um("PRAGMA page_size", ())[0]
            tamanho = int(paginas) * int(pagina)
        return {
            "destino": self.destino if not self._pg else re.sub(r"//[^@/]*@", "//", self.destino),
            "mes": self._meta.get("mes", "desconhecido"),
            "importado_em": self._meta.get("importado_em"),
            "linhas": linhas,
            "tamanho": tamanho,
            "bytes_csv": int(self._meta.get("bytes_csv", "0")),
            **({"parcial": True, "faltam": self._meta.get("faltam", "")} if self.parcial else {}),
        }

    def consultar(self, cnpj: str) -> Optional[Ficha]:
        """O registro do estabelecimento no formato da BrasilAPI, ou None."""
        if not isinstance(cnpj, str):
            raise TypeError(f"consultar() argument 'cnpj' must be str, not {type(cnpj).__name__}")
        c = chave_texto(cnpj)
        if not cnpj_valido(c):
            return None
        chave = chave_armazenada(c)
        if chave < 0:
            return None
        # Os dois blocos (o do estabelecimento e o da empresa) numa ida só ao banco.
        linha = self._um(self._q_par, (chave, chave // 1_000_000))
        if self._pg and linha is not None:
            self._conferir_importacao(linha[2])
        if linha is None or linha[0] is None:
            return None
        return self._ficha_de(c, descomprimir(bytes(linha[0]), self._dic["estabelecimento"]), linha[1])

    def _ficha_de(self, c: str, bloco: bytes, dados_empresa: Any) -> Optional[Ficha]:
        """A ficha do CNPJ `c` a partir do bloco (já descomprimido) do
        estabelecimento e do bloco (comprimido) da empresa, se houver."""
        basico = c[:8]
        texto = _achar(bloco, b"\x1e%s\x1f%s\x1f%s\x1f" % (basico.encode(), c[8:12].encode(), c[12:].encode()))
        if texto is None:
            return None
        bloco_empresa = descomprimir(bytes(dados_empresa), self._dic["empresa"]) if dados_empresa is not None else b""
        return self._montar(basico, bloco_empresa, texto.split("\x1f"))

    def _conferir_importacao(self, id_importacao: Any) -> None:
        if id_importacao != self._meta.get("id_importacao"):
            # O esquema foi trocado por uma importação nova: os blocos lidos são
            # dela, os dicionários e códigos deste objeto são da anterior.
            raise BancoTrocado(self.destino)

    def _montar(self, basico: str, bloco: bytes, e: List[str]) -> Ficha:
        b = basico.encode()
        emp_txt = _achar(bloco, b"\x1eE%s\x1f" % b)
        emp = emp_txt[1:].split("\x1f") if emp_txt is not None else [basico, "", "", "", "", "", ""]
        sim_txt = _achar(bloco, b"\x1eI%s\x1f" % b)
        sim = sim_txt[1:].split("\x1f") if sim_txt is not None else None
        socios = [t[1:] for t in _achar_todos(bloco, b"\x1eS%s\x1f" % b)]
        cod = self._codigos
        quals = cod["Qualificacoes"]
        paises = cod["Paises"]
        cnaes = cod["Cnaes"]
        qsa = []
        for txt in socios:
            s = txt.split("\x1f")
            q, qr, pais, faixa = _int(s[4]), _int(s[9]), _int(s[6]), _int(s[10])
            qsa.append({
                "identificador_de_socio": _int(s[1]),
                "nome_socio": s[2],
                "cnpj_cpf_do_socio": s[3],
                "codigo_qualificacao_socio": q,
                "qualificacao_socio": quals.get(q) if q is not None else None,
                "data_entrada_sociedade": _iso(s[5]),
                "codigo_pais": pais,
                "pais": paises.get(pais) if pais is not None else None,
                "cpf_representante_legal": s[7],
                "nome_representante_legal": s[8],
                "codigo_qualificacao_representante_legal": qr,
                "qualificacao_representante_legal": quals.get(qr) if qr is not None else None,
                "codigo_faixa_etaria": faixa,
                "faixa_etaria": FAIXAS_ETARIAS.get(faixa) if faixa is not None else None,
            })
        mf, sit, mot, pais_e, cnae, mun, nat, porte = (_int(e[3]), _int(e[5]), _int(e[7]), _int(e[9]),
                                                       _int(e[11]), _int(e[20]), _int(emp[2]), _int(emp[5]))
        municipio = cod["Municipios"].get(mun) if mun is not None else None
        secundarios = []
        for x in e[12].split(","):
            x = x.strip()
            if x.isdigit():
                secundarios.append({"codigo": int(x), "descricao": cnaes.get(int(x))})
        descricao_porte = PORTES.get(porte) if porte is not None else None
        return {
            "cnpj": e[0] + e[1] + e[2],
            "identificador_matriz_filial": mf,
            "descricao_identificador_matriz_filial": MATRIZ_FILIAL.get(mf) if mf is not None else None,
            "razao_social": emp[1],
            "nome_fantasia": e[4],
            "codigo_natureza_juridica": nat,
            "natureza_juridica": cod["Naturezas"].get(nat) if nat is not None else None,
            "qualificacao_do_responsavel": _int(emp[3]),
            "capital_social": _capital(emp[4]),
            "codigo_porte": porte,
            "porte": descricao_porte,
            "descricao_porte": descricao_porte,
            "ente_federativo_responsavel": emp[6],
            "situacao_cadastral": sit,
            "descricao_situacao_cadastral": SITUACOES.get(sit) if sit is not None else None,
            "data_situacao_cadastral": _iso(e[6]),
            "motivo_situacao_cadastral": mot,
            "descricao_motivo_situacao_cadastral": cod["Motivos"].get(mot) if mot is not None else None,
            "nome_cidade_no_exterior": e[8],
            "codigo_pais": pais_e,
            "pais": paises.get(pais_e) if pais_e is not None else None,
            "data_inicio_atividade": _iso(e[10]),
            "cnae_fiscal": cnae,
            "cnae_fiscal_descricao": cnaes.get(cnae) if cnae is not None else None,
            "cnaes_secundarios": secundarios,
            "descricao_tipo_de_logradouro": e[13],
            "logradouro": e[14],
            "numero": e[15],
            "complemento": e[16],
            "bairro": e[17],
            "cep": e[18],
            "uf": e[19],
            "codigo_municipio": mun,
            "municipio": municipio,
            "codigo_municipio_ibge": None,
            "ddd_telefone_1": e[21] + e[22],
            "ddd_telefone_2": e[23] + e[24],
            "ddd_fax": e[25] + e[26],
            "email": e[27] or None,
            "situacao_especial": e[28],
            "data_situacao_especial": _iso(e[29]),
            "opcao_pelo_simples": _sim_nao(sim[1]) if sim else None,
            "data_opcao_pelo_simples": _iso(sim[2]) if sim else None,
            "data_exclusao_do_simples": _iso(sim[3]) if sim else None,
            "opcao_pelo_mei": _sim_nao(sim[4]) if sim else None,
            "data_opcao_pelo_mei": _iso(sim[5]) if sim else None,
            "data_exclusao_do_mei": _iso(sim[6]) if sim else None,
            "qsa": qsa,
        }

    # ------------------------------------------------------------ busca por nome

    def buscar(self, nome: str, uf: Optional[str] = None, situacao: Optional[str] = None,
               limite: int = 20) -> List[Ficha]:
        """Estabelecimentos cujo nome (a razão social da empresa ou o nome fantasia
        do estabelecimento) contém as palavras de `nome`, melhor resultado
        primeiro; cada um no formato da BrasilAPI.

        `uf` e `situacao` (por exemplo "ATIVA") filtram os estabelecimentos: de
        uma empresa achada pela razão social vale qualquer estabelecimento que
        passe nos filtros (o ativo na UF pedida antes dos outros, a matriz antes
        das filiais), não só a matriz."""
        if not isinstance(nome, str):
            raise TypeError(f"buscar() argument 'nome' must be str, not {type(nome).__name__}")
        return busca.buscar(self, nome, uf, situacao, limite)

    def _estabelecimentos(self, chave_basico: int, maximo: int) -> List[List[str]]:
        """Os campos dos estabelecimentos da empresa (até `maximo`), na ordem do CNPJ."""
        inicio, fim = chave_basico * 1_000_000, chave_basico * 1_000_000 + 999_999
        blocos = [self._bloco("estabelecimento", inicio)]
        blocos += [descomprimir(bytes(d), self._dic["estabelecimento"]) for (d,) in self._todas(
            self._sql("SELECT dados FROM {s}estabelecimento WHERE chave > ? AND chave <= ? ORDER BY chave LIMIT ?"),
            (inicio, fim, 1 + maximo // 4))]
        return campos_dos_blocos(chave_basico, blocos, maximo)

    def _cnpj_da_chave(self, chave: int, bloco: Optional[bytes] = None) -> Optional[str]:
        if chave // 1_000_000 < 100_000_000:
            return f"{chave:014d}"
        for r in (self._bloco("estabelecimento", chave) if bloco is None else bloco).split(SEP_REGISTRO):
            c = (r[:8] + r[9:13] + r[14:16]).decode("latin-1")
            if len(r) > 16 and chave_armazenada(c) == chave:
                return c
        return None

    def _lote(self, razoes: List[int], fantasias: List[int], maximo: int) -> Tuple[Empresas, Fichas]:
        """Das empresas achadas pela razão social: os campos dos estabelecimentos
        (até `maximo`) e o bloco da empresa; dos estabelecimentos achados pelo
        nome fantasia: a ficha. No PostgreSQL, numa ida só ao servidor (`lotes`)."""
        if self._pg:
            _c, empresas, fichas = montar(self, self._todas(sql_lote(self._esquema, maximo), (
                razoes, razoes, razoes, fantasias, fantasias)), maximo)
            return empresas, fichas
        fichas_: Fichas = {}
        for k in fantasias:
            c = self._cnpj_da_chave(k)
            fichas_[k] = self.consultar(c) if c is not None else None
        return {k: (self._estabelecimentos(k, maximo), self._bloco("empresa", k)) for k in razoes}, fichas_

    def _candidatos(self, termos: List[str], n: int, lote: int,
                    maximo: int) -> Tuple[List[Candidato], Empresas, Fichas]:
        """Os nomes com todas as palavras, (palavras do nome, "razao"/"fantasia",
        chave) em ordem, até `n` de cada tabela; no PostgreSQL, com os dados dos
        `lote` primeiros (os de `_lote`) na mesma ida ao servidor."""
        if self._pg:
            consulta = " & ".join(termos)
            return montar(self, self._todas(sql_candidatos(self._esquema, maximo),
                                            (consulta, n, consulta, n, lote)), maximo)
        saida: List[Candidato] = []
        consulta = " AND ".join(f'"{t}"' for t in termos)
        for qual in ("razao", "fantasia"):
            sql = (f"SELECT rowid FROM nome_{qual} WHERE nome_{qual} MATCH ? "
                   f"ORDER BY CASE WHEN rowid >= 0 THEN rowid & 63 ELSE 64 END, rowid LIMIT ?")
            for (rowid,) in self._todas(sql, (consulta, n)):
                if rowid >= 0:
                    saida.append((rowid & 63, qual, rowid >> 6))
                else:
                    saida.append((64, qual, -rowid))
        saida.sort()
        return saida, {}, {}
