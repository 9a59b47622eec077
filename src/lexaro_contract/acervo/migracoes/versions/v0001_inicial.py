"""O acervo inicial: arquivos, contratos, verificações, decisões, contas.

Revision ID: 0001
"""

import sqlalchemy as sa
from alembic import op

revision = "0001"
down_revision = None
branch_labels = None
depends_on = None

_DATA = sa.String(32)


def upgrade() -> None:
    op.create_table(
        "arquivos",
        sa.Column("hash", sa.String(64), primary_key=True),
        sa.Column("tamanho", sa.BigInteger, nullable=False),
        sa.Column("paginas", sa.Integer),
        sa.Column("criado_em", _DATA, nullable=False),
    )
    op.create_table(
        "contratos",
        sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
        sa.Column("hash", sa.String(64), sa.ForeignKey("arquivos.hash"), nullable=False, unique=True),
        sa.Column("nome", sa.Text, nullable=False),
        sa.Column("enviado_por", sa.Text),
        sa.Column("criado_em", _DATA, nullable=False),
        sa.Column("estado", sa.String(16), nullable=False),
        sa.Column("erro", sa.Text),
        sa.Column("veredito", sa.String(16)),
        sa.Column("partes", sa.Text),
        sa.Column("data_contrato", sa.Text),
        sa.Column("pendente_revisao", sa.Boolean, nullable=False),
        sa.Column("decisao_final", sa.String(16)),
        sa.Column("verificacao_atual", sa.Integer),
    )
    op.create_index("ix_contratos_estado", "contratos", ["estado"])
    op.create_index("ix_contratos_veredito", "contratos", ["veredito"])
    op.create_index("ix_contratos_criado_em", "contratos", ["criado_em"])
    op.create_table(
        "verificacoes",
        sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
        sa.Column("contrato_id", sa.Integer, sa.ForeignKey("contratos.id", ondelete="CASCADE"), nullable=False),
        sa.Column("criada_em", _DATA, nullable=False),
        sa.Column("veredito", sa.String(16)),
        sa.Column("motor", sa.Text),
        sa.Column("modelo", sa.Text),
        sa.Column("mes_registro", sa.Text),
        sa.Column("registro", sa.JSON, nullable=False),
    )
    op.create_index("ix_verificacoes_contrato", "verificacoes", ["contrato_id"])
    op.create_table(
        "usuarios",
        sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
        sa.Column("nome", sa.String(200), nullable=False, unique=True),
        sa.Column("papel", sa.String(16), nullable=False),
        sa.Column("senha_hash", sa.Text, nullable=False),
        sa.Column("criado_em", _DATA, nullable=False),
    )
    op.create_table(
        "decisoes",
        sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
        sa.Column("contrato_id", sa.Integer, sa.ForeignKey("contratos.id", ondelete="CASCADE"), nullable=False),
        sa.Column("verificacao_id", sa.Integer, sa.ForeignKey("verificacoes.id", ondelete="CASCADE"),
                  nullable=False),
        sa.Column("campo", sa.String(32)),
        sa.Column("decisao", sa.String(16), nullable=False),
        sa.Column("comentario", sa.Text, nullable=False),
        sa.Column("usuario", sa.Text, nullable=False),
        sa.Column("quando", _DATA, nullable=False),
    )
    op.create_index("ix_decisoes_verificacao", "decisoes", ["verificacao_id"])
    op.create_table(
        "exclusoes",
        sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
        sa.Column("contrato_id", sa.Integer, nullable=False),
        sa.Column("hash", sa.String(64), nullable=False),
        sa.Column("usuario", sa.Text, nullable=False),
        sa.Column("quando", _DATA, nullable=False),
    )
    op.create_table(
        "leituras",
        sa.Column("usuario_id", sa.Integer, sa.ForeignKey("usuarios.id", ondelete="CASCADE"), primary_key=True),
        sa.Column("verificacao_id", sa.Integer, sa.ForeignKey("verificacoes.id", ondelete="CASCADE"),
                  primary_key=True),
        sa.Column("ultima_decisao", sa.Integer, nullable=False),
    )
    op.create_table(
        "tokens",
        sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
        sa.Column("usuario_id", sa.Integer, sa.ForeignKey("usuarios.id", ondelete="CASCADE"), nullable=False),
        sa.Column("hash", sa.String(64), nullable=False, unique=True),
        sa.Column("criado_em", _DATA, nullable=False),
        sa.Column("revogado_em", _DATA),
    )
    op.create_table(
        "sessoes",
        sa.Column("hash", sa.String(64), primary_key=True),
        sa.Column("usuario_id", sa.Integer, sa.ForeignKey("usuarios.id", ondelete="CASCADE"), nullable=False),
        sa.Column("csrf", sa.String(64), nullable=False),
        sa.Column("expira_em", _DATA, nullable=False),
    )


def downgrade() -> None:
    for tabela in ("sessoes", "tokens", "leituras", "exclusoes", "decisoes", "usuarios", "verificacoes",
                   "contratos", "arquivos"):
        op.drop_table(tabela)
