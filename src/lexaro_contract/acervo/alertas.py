"""Os alertas do acervo: a reverificação de cada contrato (guardada com os
seus alertas na mesma transação; as de muitos contratos, numa transação só),
a lista dos alertas e quem os viu."""

from __future__ import annotations

from typing import Any, Dict, Iterator, List, Optional, Set, Tuple

import sqlalchemy as sa

from .base import agora
from .contratos import VERIFICADO, Contratos, do_contrato, indexar_varios, linha_da_verificacao
from .esquema import alertas, contratos, decisoes, verificacoes

# Quantos contratos a reverificação lê do banco de cada vez.
LOTE_DE_LEITURA = 1000
_CAMPOS_ALERTA = ("tipo", "cnpj", "pessoa", "antes", "depois", "mes_anterior", "mes_novo")
# Uma reverificação: (contrato, a verificação de que partiu, o registro novo, os seus alertas).
Reverificacao = Tuple[int, int, Dict[str, Any], List[Dict[str, Any]]]
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

    def para_reverificar(self, mes: str) -> Iterator[List[Dict[str, Any]]]:
        """Os contratos verificados cuja verificação atual não é do `mes`, em
        lotes: ``{"contrato_id", "nome", "verificacao_id", "mes_registro",
        "registro"}`` (o que já foi reverificado com este mês fica de fora)."""
        ultimo = 0
        while True:
            with self.motor.connect() as con:
                linhas = con.execute(
                    sa.select(contratos.c.id, contratos.c.nome, verificacoes.c.id, verificacoes.c.mes_registro,
                              verificacoes.c.registro)
                    .select_from(contratos.join(verificacoes, verificacoes.c.id == contratos.c.verificacao_atual))
                    .where(contratos.c.id > ultimo, contratos.c.estado == VERIFICADO,
                           sa.or_(verificacoes.c.mes_registro.is_(None), verificacoes.c.mes_registro != mes))
                    .order_by(contratos.c.id).limit(LOTE_DE_LEITURA)).all()
            if not linhas:
                return
            ultimo = int(linhas[-1][0])
            yield [{"contrato_id": int(c), "nome": n, "verificacao_id": int(v), "mes_registro": m, "registro": r}
                   for c, n, v, m, r in linhas]

    def guardar_reverificacao(self, contrato_id: int, anterior: int, registro: Dict[str, Any],
                              novos: List[Dict[str, Any]]) -> Optional[int]:
        """A verificação nova e os seus alertas, juntos; None (e nada gravado)
        se o contrato mudou de verificação ou foi excluído nesse meio tempo."""
        return self.guardar_reverificacoes([(contrato_id, anterior, registro, novos)]).get(contrato_id)

    def guardar_reverificacoes(self, itens: List[Reverificacao]) -> Dict[int, int]:
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
                .where(contratos.c.id.in_([i[0] for i in itens])))}
            validos = [i for i in itens if i[0] in atuais and atuais[i[0]][0] == i[1] and "resultado" in i[2]]
            if not validos:
                return {}
            vids = [int(v) for v in con.execute(
                verificacoes.insert().returning(verificacoes.c.id, sort_by_parameter_order=True),
                [linha_da_verificacao(c, r, quando, "acervo", None) for c, _, r, _ in validos]).scalars()]
            valores = [do_contrato(r["resultado"]) for _, _, r, _ in validos]
            con.execute(contratos.update().where(contratos.c.id == sa.bindparam("c_id")),
                        [dict(v, c_id=i[0], verificacao_atual=vid) for i, v, vid in zip(validos, valores, vids)])
            # Os termos de busca vêm do nome e das partes: só mudam com as partes.
            indexar_varios(con, [(i[0], atuais[i[0]][1], v["partes"]) for i, v in zip(validos, valores)
                                 if v["partes"] != atuais[i[0]][2]])
            novos = [{"contrato_id": c, "verificacao_id": vid, "criado_em": quando,
                      **{k: a.get(k) for k in _CAMPOS_ALERTA}}
                     for (c, _, _, lista), vid in zip(validos, vids) for a in lista]
            if novos:
                con.execute(alertas.insert(), novos)
        return {c: vid for (c, _, _, _), vid in zip(validos, vids)}

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
