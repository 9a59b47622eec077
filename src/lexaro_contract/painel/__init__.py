"""O painel de revisão: a aplicação web (Starlette) sobre o acervo, com a
fila que entrega os envios ao lote. `criar_app(acervo, fila)` monta o
aplicativo ASGI; a linha de comando (`lexaro-contract painel`) o serve com
uvicorn."""
