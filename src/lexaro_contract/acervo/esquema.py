"""As tabelas do acervo (SQLAlchemy Core), como a última migração as deixa.

As migrações (`migracoes/versions/`) criam e mudam o banco; estas definições
são o que o código consulta. Datas são texto ISO 8601 em UTC
(``2026-12-10T02:15:00Z``): comparam-se como texto, iguais no SQLite e no
PostgreSQL.
"""

from __future__ import annotations

import sqlalchemy as sa

metadata = sa.MetaData()

# Um arquivo por conteúdo: o PDF fica na pasta de arquivos, com o hash por nome.
arquivos = sa.Table(
    "arquivos", metadata,
    sa.Column("hash", sa.String(64), primary_key=True),
    sa.Column("tamanho", sa.BigInteger, nullable=False),
    sa.Column("paginas", sa.Integer),
    sa.Column("criado_em", sa.String(32), nullable=False),
)

# Um contrato por arquivo; as colunas do veredito e das partes repetem a
# verificação mais recente, para a lista filtrar sem abrir o JSON.
contratos = sa.Table(
    "contratos", metadata,
    sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
    sa.Column("hash", sa.String(64), sa.ForeignKey("arquivos.hash"), nullable=False, unique=True),
    sa.Column("nome", sa.Text, nullable=False),
    sa.Column("enviado_por", sa.Text),
    sa.Column("criado_em", sa.String(32), nullable=False),
    sa.Column("estado", sa.String(16), nullable=False),
    sa.Column("erro", sa.Text),
    sa.Column("veredito", sa.String(16)),
    sa.Column("partes", sa.Text),
    sa.Column("data_contrato", sa.Text),
    sa.Column("pendente_revisao", sa.Boolean, nullable=False, default=False),
    sa.Column("decisao_final", sa.String(16)),
    sa.Column("verificacao_atual", sa.Integer),
)
sa.Index("ix_contratos_estado", contratos.c.estado)
sa.Index("ix_contratos_veredito", contratos.c.veredito)
sa.Index("ix_contratos_criado_em", contratos.c.criado_em)

# Cada verificação de um contrato: o registro inteiro que o lote devolveu.
verificacoes = sa.Table(
    "verificacoes", metadata,
    sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
    sa.Column("contrato_id", sa.Integer, sa.ForeignKey("contratos.id", ondelete="CASCADE"), nullable=False),
    sa.Column("criada_em", sa.String(32), nullable=False),
    sa.Column("veredito", sa.String(16)),
    sa.Column("motor", sa.Text),
    sa.Column("modelo", sa.Text),
    sa.Column("mes_registro", sa.Text),
    sa.Column("registro", sa.JSON, nullable=False),
)
sa.Index("ix_verificacoes_contrato", verificacoes.c.contrato_id)

# Os termos de busca de cada contrato (acervo.termos).
termos = sa.Table(
    "termos", metadata,
    sa.Column("termo", sa.String(64), primary_key=True),
    sa.Column("contrato_id", sa.Integer, sa.ForeignKey("contratos.id", ondelete="CASCADE"), primary_key=True),
)
sa.Index("ix_termos_contrato", termos.c.contrato_id, termos.c.termo)

usuarios = sa.Table(
    "usuarios", metadata,
    sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
    sa.Column("nome", sa.String(200), nullable=False, unique=True),
    sa.Column("papel", sa.String(16), nullable=False),
    sa.Column("senha_hash", sa.Text, nullable=False),
    sa.Column("criado_em", sa.String(32), nullable=False),
)

# O log das decisões: só se acrescenta. `campo` nulo é a decisão final.
decisoes = sa.Table(
    "decisoes", metadata,
    sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
    sa.Column("contrato_id", sa.Integer, sa.ForeignKey("contratos.id", ondelete="CASCADE"), nullable=False),
    sa.Column("verificacao_id", sa.Integer, sa.ForeignKey("verificacoes.id", ondelete="CASCADE"), nullable=False),
    sa.Column("campo", sa.String(32)),
    sa.Column("decisao", sa.String(16), nullable=False),
    sa.Column("comentario", sa.Text, nullable=False),
    sa.Column("usuario", sa.Text, nullable=False),
    sa.Column("quando", sa.String(32), nullable=False),
)
sa.Index("ix_decisoes_verificacao", decisoes.c.verificacao_id)

# O que a exclusão de um contrato deixa: quem, quando, e o nome do arquivo.
exclusoes = sa.Table(
    "exclusoes", metadata,
    sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
    sa.Column("contrato_id", sa.Integer, nullable=False),
    sa.Column("hash", sa.String(64), nullable=False),
    sa.Column("usuario", sa.Text, nullable=False),
    sa.Column("quando", sa.String(32), nullable=False),
)

# Até que decisão cada usuário leu cada verificação (o 409 de quem decide às cegas).
leituras = sa.Table(
    "leituras", metadata,
    sa.Column("usuario_id", sa.Integer, sa.ForeignKey("usuarios.id", ondelete="CASCADE"), primary_key=True),
    sa.Column("verificacao_id", sa.Integer, sa.ForeignKey("verificacoes.id", ondelete="CASCADE"),
              primary_key=True),
    sa.Column("ultima_decisao", sa.Integer, nullable=False),
)

tokens = sa.Table(
    "tokens", metadata,
    sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
    sa.Column("usuario_id", sa.Integer, sa.ForeignKey("usuarios.id", ondelete="CASCADE"), nullable=False),
    sa.Column("hash", sa.String(64), nullable=False, unique=True),
    sa.Column("criado_em", sa.String(32), nullable=False),
    sa.Column("revogado_em", sa.String(32)),
)

sessoes = sa.Table(
    "sessoes", metadata,
    sa.Column("hash", sa.String(64), primary_key=True),
    sa.Column("usuario_id", sa.Integer, sa.ForeignKey("usuarios.id", ondelete="CASCADE"), nullable=False),
    sa.Column("csrf", sa.String(64), nullable=False),
    sa.Column("expira_em", sa.String(32), nullable=False),
)

# O que mudou de uma verificação para a seguinte do mesmo contrato (a
# reverificação os cria; `visto_em` nulo: ninguém os viu ainda).
alertas = sa.Table(
    "alertas", metadata,
    sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
    sa.Column("contrato_id", sa.Integer, sa.ForeignKey("contratos.id", ondelete="CASCADE"), nullable=False),
    sa.Column("verificacao_id", sa.Integer, sa.ForeignKey("verificacoes.id", ondelete="CASCADE"), nullable=False),
    sa.Column("tipo", sa.String(32), nullable=False),
    sa.Column("cnpj", sa.Text),
    sa.Column("pessoa", sa.Text),
    sa.Column("antes", sa.Text),
    sa.Column("depois", sa.Text),
    sa.Column("mes_anterior", sa.Text),
    sa.Column("mes_novo", sa.Text),
    sa.Column("criado_em", sa.String(32), nullable=False),
    sa.Column("visto_em", sa.String(32)),
    sa.Column("visto_por", sa.Text),
)
sa.Index("ix_alertas_contrato", alertas.c.contrato_id)
sa.Index("ix_alertas_visto", alertas.c.visto_em, alertas.c.id)
