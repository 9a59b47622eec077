"""A revisão de uma verificação: os seus campos (com ids estáveis), as
decisões dos analistas (um log que só cresce) e a decisão final."""

from __future__ import annotations

import hashlib
import threading
from typing import Any, Dict, List, Optional

import sqlalchemy as sa

from .base import Base, agora
from .esquema import contratos, decisoes, leituras, verificacoes

APROVADO, REPROVADO, PENDENTE = "aprovado", "reprovado", "pendente"
DECISOES = (APROVADO, REPROVADO)
_LISTAS = (("campos_aprovados", APROVADO), ("campos_reprovados", REPROVADO), ("campos_pendentes", PENDENTE))


class Conflito(Exception):
    """O campo já tem a decisão de outra pessoa que quem decide não leu."""

    def __init__(self, decisao: Dict[str, Any]) -> None:
        super().__init__(f"o campo já foi decidido por {decisao['usuario']}")
        self.decisao = decisao


class DecisaoInvalida(ValueError):
    pass


def id_do_campo(texto: str) -> str:
    """O id de um campo: o mesmo texto dá o mesmo id em qualquer verificação
    (uma verificação nova mostra as decisões anteriores ao lado do campo)."""
    return "c" + hashlib.sha1(texto.encode("utf-8")).hexdigest()[:10]


def campos(resultado: Dict[str, Any]) -> List[Dict[str, Any]]:
    """Os campos do resultado, na ordem: aprovados, reprovados, pendentes."""
    vistos: Dict[str, int] = {}
    saida: List[Dict[str, Any]] = []
    for chave, situacao in _LISTAS:
        for texto in resultado.get(chave) or []:
            base = id_do_campo(str(texto))
            vistos[base] = vistos.get(base, 0) + 1
            cid = base if vistos[base] == 1 else f"{base}-{vistos[base]}"
            saida.append({"id": cid, "texto": str(texto), "situacao": situacao})
    return saida


def _como_dict(linha: Any) -> Dict[str, Any]:
    return {k: linha[k] for k in ("id", "verificacao_id", "campo", "decisao", "comentario", "usuario", "quando")}


class Revisao(Base):
    _trava_decisoes = threading.Lock()

    def decisoes(self, contrato_id: int) -> List[Dict[str, Any]]:
        """O log de decisões do contrato, em ordem."""
        with self.motor.connect() as con:
            return [_como_dict(m) for m in con.execute(
                sa.select(decisoes).where(decisoes.c.contrato_id == contrato_id).order_by(decisoes.c.id)).mappings()]

    def revisao(self, contrato: Dict[str, Any], usuario_id: Optional[int] = None) -> Dict[str, Any]:
        """Campos com a decisão vigente e as anteriores, decisão final e log. Com
        `usuario_id`, anota até onde essa pessoa leu (o 409 de `decidir`)."""
        verificacao = contrato.get("verificacao")
        log = self.decisoes(int(contrato["id"]))
        if verificacao is None:
            return {"campos": [], "decisao_final": None, "decisoes": log}
        vid = verificacao["id"]
        lista = campos(verificacao["registro"].get("resultado") or {})
        for campo in lista:
            desta = [d for d in log if d["verificacao_id"] == vid and d["campo"] == campo["id"]]
            campo["decisao"] = desta[-1] if desta else None
            campo["anteriores"] = [d for d in log if d["verificacao_id"] != vid and d["campo"] == campo["id"]]
        finais = [d for d in log if d["verificacao_id"] == vid and d["campo"] is None]
        if usuario_id is not None:
            self._marcar_leitura(usuario_id, vid, max((d["id"] for d in log), default=0))
        return {"campos": lista, "decisao_final": finais[-1] if finais else None, "decisoes": log}

    def _marcar_leitura(self, usuario_id: int, verificacao_id: int, ultima: int) -> None:
        with self.motor.begin() as con:
            con.execute(leituras.delete().where(leituras.c.usuario_id == usuario_id,
                                                leituras.c.verificacao_id == verificacao_id))
            con.execute(leituras.insert().values(usuario_id=usuario_id, verificacao_id=verificacao_id,
                                                 ultima_decisao=ultima))

    def decidir(self, contrato_id: int, campo: str, decisao: str, comentario: str, usuario: str,
                usuario_id: Optional[int] = None, visto: Optional[int] = None) -> Dict[str, Any]:
        """Acrescenta a decisão de um campo da verificação atual e, quando todo
        campo pendente está decidido, a decisão final. Conflito se o campo tem
        uma decisão de outra pessoa posterior ao que quem decide leu (`visto`,
        ou a sua última leitura). Devolve a decisão gravada."""
        if decisao not in DECISOES:
            raise DecisaoInvalida("a decisão deve ser aprovado ou reprovado")
        comentario = (comentario or "").strip()
        if not comentario:
            raise DecisaoInvalida("o comentário é obrigatório")
        with self._trava_decisoes, self.motor.begin() as con:
            linha = con.execute(sa.select(contratos.c.verificacao_atual).where(contratos.c.id == contrato_id)
                                .with_for_update()).first()
            if linha is None or linha[0] is None:
                raise DecisaoInvalida("contrato sem verificação")
            vid = int(linha[0])
            registro = con.execute(sa.select(verificacoes.c.registro).where(verificacoes.c.id == vid)).scalar_one()
            lista = campos(registro.get("resultado") or {})
            if campo not in {c["id"] for c in lista}:
                raise DecisaoInvalida(f"campo desconhecido: {campo}")
            if visto is None and usuario_id is not None:
                visto = con.execute(sa.select(leituras.c.ultima_decisao).where(
                    leituras.c.usuario_id == usuario_id, leituras.c.verificacao_id == vid)).scalar()
            ultima = con.execute(sa.select(decisoes).where(decisoes.c.verificacao_id == vid,
                                                           decisoes.c.campo == campo)
                                 .order_by(decisoes.c.id.desc()).limit(1)).mappings().first()
            if ultima is not None and ultima["usuario"] != usuario and ultima["id"] > (visto or 0):
                raise Conflito(_como_dict(ultima))
            quando = agora()
            novo = con.execute(decisoes.insert().values(
                contrato_id=contrato_id, verificacao_id=vid, campo=campo, decisao=decisao, comentario=comentario,
                usuario=usuario, quando=quando)).inserted_primary_key
            assert novo is not None
            self._decisao_final(con, contrato_id, vid, lista, usuario)
            return {"id": int(novo[0]), "verificacao_id": vid, "campo": campo, "decisao": decisao,
                    "comentario": comentario, "usuario": usuario, "quando": quando}

    def _decisao_final(self, con: sa.Connection, contrato_id: int, vid: int, lista: List[Dict[str, Any]],
                       usuario: str) -> None:
        vigentes: Dict[str, str] = {}
        for campo_id, decisao in con.execute(sa.select(decisoes.c.campo, decisoes.c.decisao).where(
                decisoes.c.verificacao_id == vid, decisoes.c.campo.is_not(None)).order_by(decisoes.c.id)):
            vigentes[campo_id] = decisao
        if any(c["situacao"] == PENDENTE and c["id"] not in vigentes for c in lista):
            return
        reprovado = any(c["situacao"] == REPROVADO for c in lista) or REPROVADO in vigentes.values()
        final = REPROVADO if reprovado else APROVADO
        anterior = con.execute(sa.select(decisoes.c.decisao).where(
            decisoes.c.verificacao_id == vid, decisoes.c.campo.is_(None)).order_by(decisoes.c.id.desc())
            .limit(1)).scalar()
        if anterior != final:
            con.execute(decisoes.insert().values(
                contrato_id=contrato_id, verificacao_id=vid, campo=None, decisao=final, usuario=usuario,
                comentario="decisão final: todos os campos pendentes decididos", quando=agora()))
        con.execute(contratos.update().where(contratos.c.id == contrato_id).values(
            decisao_final=final, pendente_revisao=False))
