"""Os alertas do acervo: a reverificação de cada contrato (guardada com os
seus alertas na mesma transação; as de muitos contratos, numa transação só),
a lista dos alertas e quem os viu."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional, Set, Tuple

import sqlalchemy as sa

from .base import agora
from .contratos import VERIFICADO, Contratos, reindexar_partes
from .esquema import alertas, contratos, decisoes, verificacoes

# As colunas de um alerta guardado além do contrato e da verificação: o que
# `monitoramento.alertas` diz do que mudou e os meses comparados.
CAMPOS_ALERTA = ("tipo", "cnpj", "pessoa", "antes", "depois", "mes_anterior", "mes_novo")
# Quantos contratos a reverificação lê do banco de cada vez.
LOTE_DE_LEITURA = 1000
# Um contrato a reverificar: (contrato_id, nome, verificacao_id, mes_registro, registro em texto JSON).
ParaReverificar = Tuple[int, str, int, Optional[str], str]


def _a_reverificar(consulta: sa.Select[Any], mes: str) -> sa.Select[Any]:
    """`consulta` sobre os contratos verificados (com a sua verificação atual)
    cuja verificação atual não é do `mes`."""
    return (consulta.select_from(contratos.join(verificacoes, verificacoes.c.id == contratos.c.verificacao_atual))
            .where(contratos.c.estado == VERIFICADO,
                   sa.or_(verificacoes.c.mes_registro.is_(None), verificacoes.c.mes_registro != mes)))


@dataclass
class Reverificada:
    """Uma reverificação pronta para gravar: o registro novo já em JSON, as
    colunas que o contrato repete dele (`contratos.do_contrato`) e os alertas."""

    contrato_id: int
    anterior: int                      # a verificação de que partiu
    registro: str
    contrato: Dict[str, Any]
    mes_registro: Optional[str]
    alertas: List[Dict[str, Any]]
# A decisão que marca um alerta como visto, no log das decisões.
VISTO = "visto"


class Alertas(Contratos):
    def meses_atuais(self) -> Set[str]:
        """Os meses do registro das verificações atuais dos contratos."""
        with self.motor.connect() as con:
            return {m for (m,) in con.execute(
                sa.select(verificacoes.c.mes_registro).distinct().select_from(
                    contratos.join(verificacoes, verificacoes.c.id == contratos.c.verificacao_atual)))
                if m}

    def quantos_para_reverificar(self, mes: str) -> int:
        """Quantos contratos `para_reverificar` daria."""
        with self.motor.connect() as con:
            return int(con.execute(_a_reverificar(sa.select(sa.func.count()), mes)).scalar_one())

    def para_reverificar(self, mes: str) -> Iterator[List[ParaReverificar]]:
        """Os contratos verificados cuja verificação atual não é do `mes`, em
        lotes: ``(contrato_id, nome, verificacao_id, mes_registro, registro)``,
        o registro como o texto JSON guardado, sem ser lido (o que já foi
        reverificado com este mês fica de fora)."""
        ultimo = 0
        while True:
            with self.motor.connect() as con:
                linhas = con.execute(
                    _a_reverificar(sa.select(contratos.c.id, contratos.c.nome, verificacoes.c.id,
                                             verificacoes.c.mes_registro, sa.cast(verificacoes.c.registro, sa.Text)),
                                   mes)
                    .where(contratos.c.id > ultimo).order_by(contratos.c.id).limit(LOTE_DE_LEITURA)).all()
            if not linhas:
                return
            ultimo = int(linhas[-1][0])
            yield [(int(c), n, int(v), m, r) for c, n, v, m, r in linhas]

    def guardar_reverificacoes(self, itens: List[Reverificada]) -> Dict[int, int]:
        """As verificações novas e os seus alertas, todas numa transação (ou
        nenhuma); devolve o id da verificação nova de cada contrato gravado.
        Fica de fora (nada gravado) o contrato que mudou de verificação ou foi
        excluído nesse meio tempo."""
        if not itens:
            return {}
        quando = agora()
        with self.motor.begin() as con:
            atuais = {int(c): (v, n, p) for c, v, n, p in con.execute(
                sa.select(contratos.c.id, contratos.c.verificacao_atual, contratos.c.nome, contratos.c.partes)
                .where(contratos.c.id.in_([i.contrato_id for i in itens])))}
            validos = [i for i in itens if i.contrato_id in atuais and atuais[i.contrato_id][0] == i.anterior]
            if not validos:
                return {}
            vids = self._inserir_verificacoes(con, validos, quando)
            con.execute(contratos.update().where(contratos.c.id == sa.bindparam("c_id")),
                        [dict(i.contrato, c_id=i.contrato_id, verificacao_atual=vid) for i, vid in zip(validos, vids)])
            # Os termos de busca vêm do nome e das partes: só mudam com as partes.
            reindexar_partes(con, [(i.contrato_id, atuais[i.contrato_id][1], i.contrato["partes"]) for i in validos
                                   if i.contrato["partes"] != atuais[i.contrato_id][2]])
            novos = [{"contrato_id": i.contrato_id, "verificacao_id": vid, "criado_em": quando,
                      **{k: a.get(k) for k in CAMPOS_ALERTA}} for i, vid in zip(validos, vids) for a in i.alertas]
            if novos:
                con.execute(alertas.insert(), novos)
        return {i.contrato_id: vid for i, vid in zip(validos, vids)}

    def _inserir_verificacoes(self, con: sa.Connection, itens: List[Reverificada], quando: str) -> List[int]:
        """As linhas das verificações novas, na ordem de `itens`; os seus ids.
        O registro já vem em JSON (feito pelo trabalhador): gravado como veio."""
        inserir = verificacoes.insert().values(registro=sa.bindparam("registro_json", type_=sa.Text))
        linhas = [{"contrato_id": i.contrato_id, "criada_em": quando, "veredito": i.contrato["veredito"],
                   "motor": "acervo", "modelo": None, "mes_registro": i.mes_registro, "registro_json": i.registro}
                  for i in itens]
        if con.dialect.name != "sqlite":
            return [int(v) for v in con.execute(
                inserir.returning(verificacoes.c.id, sort_by_parameter_order=True), linhas).scalars()]
        # O SQLite não garante a ordem das linhas do RETURNING de um INSERT de
        # várias linhas (o SQLAlchemy as inseriria uma a uma). Dentro desta
        # transação de escrita ninguém mais insere: a verificação mais nova de
        # cada contrato é a que acaba de entrar.
        con.execute(inserir, linhas)
        novas = dict(con.execute(sa.select(verificacoes.c.contrato_id, sa.func.max(verificacoes.c.id))
                                 .where(verificacoes.c.contrato_id.in_([i.contrato_id for i in itens]))
                                 .group_by(verificacoes.c.contrato_id)).all())
        return [int(novas[i.contrato_id]) for i in itens]

    def alertas(self, vistos: Optional[bool] = None, contrato_id: Optional[int] = None,
                limite: int = 500) -> List[Dict[str, Any]]:
        """Os alertas, os mais novos primeiro, com o contrato e o arquivo."""
        condicoes: List[Any] = []
        if vistos is not None:
            condicoes.append(alertas.c.visto_em.isnot(None) if vistos else alertas.c.visto_em.is_(None))
        if contrato_id is not None:
            condicoes.append(alertas.c.contrato_id == contrato_id)
        with self.motor.connect() as con:
            linhas = con.execute(sa.select(alertas, contratos.c.nome.label("arquivo"))
                                 .select_from(alertas.join(contratos, contratos.c.id == alertas.c.contrato_id))
                                 .where(*condicoes).order_by(alertas.c.id.desc()).limit(limite)).mappings().all()
        return [dict(m) for m in linhas]

    def marcar_visto(self, alerta_id: int, usuario: str, comentario: str) -> Tuple[bool, Optional[Dict[str, Any]]]:
        """Marca o alerta como visto; o comentário vai ao log das decisões.
        (False, alerta) se alguém já o tinha visto; (False, None) se não existe."""
        with self.motor.begin() as con:
            alerta = con.execute(sa.select(alertas).where(alertas.c.id == alerta_id)).mappings().first()
            if alerta is None:
                return False, None
            quando = agora()
            feito = con.execute(alertas.update().where(alertas.c.id == alerta_id, alertas.c.visto_em.is_(None))
                                .values(visto_em=quando, visto_por=usuario)).rowcount == 1
            if feito:
                con.execute(decisoes.insert().values(
                    contrato_id=alerta["contrato_id"], verificacao_id=alerta["verificacao_id"],
                    campo=f"alerta-{alerta_id}", decisao=VISTO, comentario=comentario, usuario=usuario,
                    quando=quando))
            return feito, dict(alerta)
