"""Os contratos do acervo: o arquivo guardado uma vez por conteúdo, a fila
de verificação, as verificações que o lote devolve, a lista e a exclusão."""

from __future__ import annotations

import hashlib
from pathlib import Path
from typing import Any, Dict, List, Optional, Set, Tuple

import sqlalchemy as sa

from .base import Base, agora
from .esquema import arquivos, contratos, decisoes, exclusoes, termos, verificacoes
from .termos import fim_do_prefixo, termos_da_busca, termos_de

NA_FILA, VERIFICANDO, VERIFICADO, ERRO = "na_fila", "verificando", "verificado", "erro"
ESTADOS = (NA_FILA, VERIFICANDO, VERIFICADO, ERRO)
POR_PAGINA = 50
_AMOSTRA = 2000   # até onde se contam os contratos de um termo para escolher o mais raro


def _paginas(caminho: Path) -> Optional[int]:
    try:
        import pypdfium2

        pdf = pypdfium2.PdfDocument(str(caminho))
        try:
            return len(pdf)
        finally:
            pdf.close()
    except Exception:  # noqa: BLE001 - a contagem é informativa
        return None


def _partes(resultado: Dict[str, Any]) -> str:
    nomes = []
    for e in resultado.get("empresas") or []:
        nome = e.get("razao_social_receita") or e.get("razao_social_contrato") or ""
        nomes.append(f"{nome} ({e.get('cnpj') or 'sem CNPJ'})")
    return "; ".join(nomes)


def do_contrato(resultado: Dict[str, Any]) -> Dict[str, Any]:
    """O que o contrato repete da sua verificação mais recente (menos o id dela)."""
    return {"estado": VERIFICADO, "erro": None, "veredito": resultado.get("resultado_final"),
            "partes": _partes(resultado), "data_contrato": (resultado.get("dados_contrato") or {}).get("data"),
            "pendente_revisao": bool(resultado.get("campos_pendentes")), "decisao_final": None}


class Contratos(Base):
    def adicionar(self, nome: str, conteudo: bytes, enviado_por: Optional[str] = None,
                  estado: str = NA_FILA) -> Tuple[int, bool]:
        """Guarda um PDF e o seu contrato; devolve (id, novo). O mesmo conteúdo
        enviado de novo é o contrato que já existe (achado pelo hash)."""
        hash_ = hashlib.sha256(conteudo).hexdigest()
        with self.motor.begin() as con:
            existente = con.execute(sa.select(contratos.c.id).where(contratos.c.hash == hash_)).scalar()
            if existente is not None:
                return int(existente), False
        self._guardar_bytes(conteudo, hash_)
        try:
            with self.motor.begin() as con:
                if con.execute(sa.select(arquivos.c.hash).where(arquivos.c.hash == hash_)).scalar() is None:
                    con.execute(arquivos.insert().values(hash=hash_, tamanho=len(conteudo), criado_em=agora(),
                                                         paginas=_paginas(self.caminho_do_arquivo(hash_))))
                novo = con.execute(contratos.insert().values(
                    hash=hash_, nome=nome, enviado_por=enviado_por, criado_em=agora(), estado=estado,
                    pendente_revisao=False)).inserted_primary_key
                assert novo is not None
                _indexar(con, int(novo[0]), nome, None)
                return int(novo[0]), True
        except sa.exc.IntegrityError:  # o mesmo arquivo enviado ao mesmo tempo por outro
            with self.motor.begin() as con:
                return int(con.execute(sa.select(contratos.c.id).where(contratos.c.hash == hash_)).scalar_one()), False

    def guardar_registro(self, contrato_id: int, registro: Dict[str, Any], motor: Optional[str] = None,
                         modelo: Optional[str] = None) -> Optional[int]:
        """Guarda o registro de uma verificação (como o lote o devolve) e
        atualiza o contrato; devolve o id da verificação (None para um erro, ou
        se o contrato foi excluído nesse meio tempo)."""
        with self.motor.begin() as con:
            if con.execute(sa.select(contratos.c.id).where(contratos.c.id == contrato_id)).scalar() is None:
                return None
            if "resultado" not in registro:
                con.execute(contratos.update().where(contratos.c.id == contrato_id).values(
                    estado=ERRO, erro=str(registro.get("erro") or "erro desconhecido")))
                return None
            resultado = registro["resultado"]
            vid = con.execute(verificacoes.insert().values(
                contrato_id=contrato_id, criada_em=agora(), veredito=resultado.get("resultado_final"), motor=motor,
                modelo=modelo, mes_registro=registro.get("mes_registro"), registro=registro)).inserted_primary_key
            assert vid is not None
            nome = con.execute(sa.select(contratos.c.nome).where(contratos.c.id == contrato_id)).scalar_one()
            _indexar(con, contrato_id, nome, _partes(resultado))
            con.execute(contratos.update().where(contratos.c.id == contrato_id).values(
                **do_contrato(resultado), verificacao_atual=int(vid[0])))
            return int(vid[0])

    def guardar_do_lote(self, registro: Dict[str, Any], motor: Optional[str] = None,
                        modelo: Optional[str] = None, enviado_por: Optional[str] = None) -> Optional[int]:
        """Um registro de `verificar`: o arquivo (se legível) e a verificação; devolve o id do contrato."""
        try:
            conteudo = Path(registro["arquivo"]).read_bytes()
        except OSError:
            return None
        cid, _ = self.adicionar(Path(registro["arquivo"]).name, conteudo, enviado_por, estado=VERIFICANDO)
        self.guardar_registro(cid, registro, motor, modelo)
        return cid

    # ------------------------------------------------------------ a fila

    def tomar_da_fila(self, limite: int) -> List[Tuple[int, Path]]:
        """Os próximos contratos na fila, marcados `verificando` (um só os toma)."""
        tomados: List[Tuple[int, Path]] = []
        with self.motor.begin() as con:
            linhas = con.execute(sa.select(contratos.c.id, contratos.c.hash).where(contratos.c.estado == NA_FILA)
                                 .order_by(contratos.c.id).limit(limite)).all()
            for cid, hash_ in linhas:
                feito = con.execute(contratos.update().where(contratos.c.id == cid, contratos.c.estado == NA_FILA)
                                    .values(estado=VERIFICANDO))
                if feito.rowcount == 1:
                    tomados.append((int(cid), self.caminho_do_arquivo(hash_)))
        return tomados

    def retomar_fila(self) -> int:
        """Volta à fila o que ficou `verificando` quando o servidor parou."""
        with self.motor.begin() as con:
            return int(con.execute(contratos.update().where(contratos.c.estado == VERIFICANDO)
                                   .values(estado=NA_FILA)).rowcount)

    def repetir(self, contrato_id: int) -> bool:
        """Põe de novo na fila um contrato que deu erro."""
        with self.motor.begin() as con:
            return con.execute(contratos.update().where(contratos.c.id == contrato_id, contratos.c.estado == ERRO)
                               .values(estado=NA_FILA, erro=None)).rowcount == 1

    # ------------------------------------------------------------ leitura

    def listar(self, veredito: Optional[str] = None, pendentes: bool = False, busca: Optional[str] = None,
               desde: Optional[str] = None, ate: Optional[str] = None, estado: Optional[str] = None,
               pagina: int = 1, por_pagina: int = POR_PAGINA) -> Tuple[List[Dict[str, Any]], int]:
        """Uma página da lista (mais novos primeiro) e o total com os filtros."""
        c = contratos.c
        condicoes: List[Any] = []
        if veredito:
            condicoes.append(c.veredito == veredito)
        if estado:
            condicoes.append(c.estado == estado)
        if pendentes:
            condicoes.append(sa.and_(c.pendente_revisao.is_(True), c.decisao_final.is_(None)))
        if desde:
            condicoes.append(c.criado_em >= desde)
        if ate:
            condicoes.append(c.criado_em < ate + "\uffff")
        pagina, por_pagina = max(1, pagina), max(1, min(por_pagina, 500))
        with self.motor.connect() as con:
            condicoes += self._condicoes_da_busca(con, busca or "")
            total = con.execute(sa.select(sa.func.count()).select_from(contratos).where(*condicoes)).scalar_one()
            linhas = con.execute(sa.select(contratos).where(*condicoes).order_by(c.id.desc())
                                 .limit(por_pagina).offset((pagina - 1) * por_pagina)).mappings().all()
        return [dict(linha) for linha in linhas], int(total)

    @staticmethod
    def _condicoes_da_busca(con: sa.Connection, busca: str) -> List[Any]:
        """Cada termo da busca, pelo começo: o mais raro escolhe os contratos
        (IN), os outros só os conferem um a um (EXISTS, no índice por contrato)."""
        faixas = [(termos.c.termo >= t, termos.c.termo < fim_do_prefixo(t)) for t in termos_da_busca(busca)]
        if not faixas:
            return []

        def frequencia(faixa: Tuple[Any, Any]) -> int:
            amostra = sa.select(sa.literal(1)).select_from(termos).where(*faixa).limit(_AMOSTRA).subquery()
            return int(con.execute(sa.select(sa.func.count()).select_from(amostra)).scalar_one())

        faixas.sort(key=frequencia)
        condicoes: List[Any] = [contratos.c.id.in_(sa.select(termos.c.contrato_id).where(*faixas[0]))]
        for faixa in faixas[1:]:
            condicoes.append(sa.exists().where(termos.c.contrato_id == contratos.c.id, *faixa))
        return condicoes

    def contrato(self, contrato_id: int) -> Optional[Dict[str, Any]]:
        """O contrato com a sua verificação mais recente (`verificacao`, ou None)."""
        with self.motor.connect() as con:
            linha = con.execute(sa.select(contratos).where(contratos.c.id == contrato_id)).mappings().first()
            if linha is None:
                return None
            dados = dict(linha)
            dados["verificacao"] = None
            if dados["verificacao_atual"] is not None:
                v = con.execute(sa.select(verificacoes).where(verificacoes.c.id == dados["verificacao_atual"])
                                ).mappings().first()
                dados["verificacao"] = dict(v) if v is not None else None
        return dados

    def excluir(self, contrato_id: int, usuario: str) -> bool:
        """Apaga o contrato, as suas verificações e decisões e o PDF (se nenhum
        outro contrato o usa); a exclusão fica anotada (quem, quando)."""
        with self.motor.begin() as con:
            hash_ = con.execute(sa.select(contratos.c.hash).where(contratos.c.id == contrato_id)).scalar()
            if hash_ is None:
                return False
            con.execute(decisoes.delete().where(decisoes.c.contrato_id == contrato_id))
            con.execute(termos.delete().where(termos.c.contrato_id == contrato_id))
            con.execute(verificacoes.delete().where(verificacoes.c.contrato_id == contrato_id))
            con.execute(contratos.delete().where(contratos.c.id == contrato_id))
            con.execute(arquivos.delete().where(arquivos.c.hash == hash_))
            con.execute(exclusoes.insert().values(contrato_id=contrato_id, hash=hash_, usuario=usuario,
                                                  quando=agora()))
        self.caminho_do_arquivo(hash_).unlink(missing_ok=True)
        return True

    def exclusoes(self) -> List[Dict[str, Any]]:
        with self.motor.connect() as con:
            return [dict(m) for m in con.execute(sa.select(exclusoes).order_by(exclusoes.c.id)).mappings()]


def _indexar(con: sa.Connection, contrato_id: int, nome: str, partes: Optional[str]) -> None:
    indexar_varios(con, [(contrato_id, nome, partes)])


def reindexar_partes(con: sa.Connection, itens: List[Tuple[int, str, Optional[str]]]) -> None:
    """Os termos de busca de cada ``(contrato, nome, partes de agora)``,
    contra os guardados: sai só o que as partes de agora não dão, e entra só
    o que falta (o nome e quase todas as partes ficam)."""
    if not itens:
        return
    existentes: Dict[int, Set[str]] = {c: set() for c, _, _ in itens}
    for t, c in con.execute(sa.select(termos.c.termo, termos.c.contrato_id)
                            .where(termos.c.contrato_id.in_(sorted(existentes)))):
        existentes[int(c)].add(t)
    sai: List[Dict[str, Any]] = []
    entra: List[Dict[str, Any]] = []
    for c, nome, partes in itens:
        novos = termos_de(nome, partes)
        sai += [{"t": t, "c": c} for t in sorted(existentes[c] - novos)]
        entra += [{"termo": t, "contrato_id": c} for t in sorted(novos - existentes[c])]
    if sai:
        con.execute(termos.delete().where(termos.c.termo == sa.bindparam("t"),
                                          termos.c.contrato_id == sa.bindparam("c")), sai)
    if entra:
        con.execute(termos.insert(), entra)


def indexar_varios(con: sa.Connection, itens: List[Tuple[int, str, Optional[str]]]) -> None:
    """Os termos de busca de cada ``(contrato, nome, partes)``, no lugar dos que havia."""
    if not itens:
        return
    con.execute(termos.delete().where(termos.c.contrato_id.in_([c for c, _, _ in itens])))
    novos = [{"termo": t, "contrato_id": c} for c, nome, partes in itens for t in sorted(termos_de(nome, partes))]
    if novos:
        con.execute(termos.insert(), novos)
