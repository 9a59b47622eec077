"""Os alertas da reverificação: o que mudou entre duas verificações de um
contrato, e quem os viu.

Revision ID: 0003
"""

import sqlalchemy as sa
from alembic import op

revision = "0003"
down_revision = "0002"
branch_labels = None
depends_on = None


def upgrade() -> None:
    op.create_table(
        "alertas",
        sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
        sa.Column("contrato_id", sa.Integer, sa.ForeignKey("contratos.id", ondelete="CASCADE"), nullable=False),
        sa.Column("verificacao_id", sa.Integer, sa.ForeignKey("verificacoes.id", ondelete="CASCADE"),
                  nullable=False),
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
    op.create_index("ix_alertas_contrato", "alertas", ["contrato_id"])
    op.create_index("ix_alertas_visto", "alertas", ["visto_em", "id"])


def downgrade() -> None:
    op.drop_table("alertas")
