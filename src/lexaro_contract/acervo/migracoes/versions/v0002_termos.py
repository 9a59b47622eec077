"""Os termos de busca de cada contrato (palavras das partes e do nome do
arquivo, CNPJs inteiros e raízes), para a lista filtrar sem ler todas as linhas.

Revision ID: 0002
"""

import sqlalchemy as sa
from alembic import op

revision = "0002"
down_revision = "0001"
branch_labels = None
depends_on = None


def upgrade() -> None:
    op.create_table(
        "termos",
        sa.Column("termo", sa.String(64), primary_key=True),
        sa.Column("contrato_id", sa.Integer, sa.ForeignKey("contratos.id", ondelete="CASCADE"), primary_key=True),
    )
    op.create_index("ix_termos_contrato", "termos", ["contrato_id", "termo"])
    # Os contratos já guardados ganham os seus termos.
    from lexaro_contract.acervo.termos import termos_de

    conexao = op.get_bind()
    contratos = sa.table("contratos", sa.column("id", sa.Integer), sa.column("nome", sa.Text),
                         sa.column("partes", sa.Text))
    termos = sa.table("termos", sa.column("termo", sa.String), sa.column("contrato_id", sa.Integer))
    linhas = [{"termo": t, "contrato_id": cid}
              for cid, nome, partes in conexao.execute(sa.select(contratos.c.id, contratos.c.nome, contratos.c.partes))
              for t in termos_de(nome, partes)]
    if linhas:
        conexao.execute(termos.insert(), linhas)


def downgrade() -> None:
    op.drop_table("termos")
