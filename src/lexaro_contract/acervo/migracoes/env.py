"""O ambiente das migrações: sempre numa conexão aberta pelo acervo."""

from alembic import context

conexao = context.config.attributes["conexao"]
context.configure(connection=conexao, render_as_batch=True)
with context.begin_transaction():
    context.run_migrations()
