"""O que o painel aceita num envio: o limite de tamanho, conferido enquanto
o corpo chega, e um PDF legível (não vazio, não protegido por senha)."""

from __future__ import annotations

from typing import Any, Awaitable, Callable, Dict, MutableMapping, Optional

LIMITE_ARQUIVO = 50 * 1024 * 1024       # um PDF
LIMITE_PEDIDO = 105 * 1024 * 1024       # um envio com vários
MAXIMO_PAGINAS = 2000
MAXIMO_ARQUIVOS = 200   # arquivos num envio, pela API ou pela página

Mensagem = MutableMapping[str, Any]


class CorpoGrande(Exception):
    """O pedido passou do limite enquanto chegava."""


class LimiteDeCorpo:
    """Middleware ASGI: corta um pedido cujo corpo passa de `limite` bytes,
    contados à medida que chegam (um Content-Length falso não engana)."""

    def __init__(self, app: Callable[..., Awaitable[None]], limite: int = LIMITE_PEDIDO) -> None:
        self.app, self.limite = app, limite

    async def __call__(self, scope: Dict[str, Any], receive: Callable[[], Awaitable[Mensagem]],
                       send: Callable[[Mensagem], Awaitable[None]]) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        for nome, valor in scope.get("headers") or []:
            if nome == b"content-length" and valor.isdigit() and int(valor) > self.limite:
                scope["corpo_grande"] = True
        recebido = 0

        async def receber() -> Mensagem:
            nonlocal recebido
            if scope.get("corpo_grande"):
                raise CorpoGrande()
            mensagem = await receive()
            recebido += len(mensagem.get("body", b""))
            if recebido > self.limite:
                scope["corpo_grande"] = True
                raise CorpoGrande()
            return mensagem

        await self.app(scope, receber, send)


def problema_do_pdf(conteudo: bytes) -> Optional[str]:
    """Por que o conteúdo não é um contrato que se possa verificar, ou None."""
    if not conteudo:
        return "arquivo vazio"
    if len(conteudo) > LIMITE_ARQUIVO:
        return f"arquivo grande demais (limite: {LIMITE_ARQUIVO // (1024 * 1024)} MB)"
    if b"%PDF-" not in conteudo[:1024]:
        return "não é um PDF"
    try:
        import pypdfium2

        pdf = pypdfium2.PdfDocument(conteudo)
    except Exception as e:  # noqa: BLE001 - pdfium diz por que não abre
        texto = str(e).lower()
        if "password" in texto or "senha" in texto:
            return "PDF protegido por senha"
        return "PDF ilegível"
    try:
        paginas = len(pdf)
    finally:
        pdf.close()
    if paginas == 0:
        return "PDF sem páginas"
    if paginas > MAXIMO_PAGINAS:
        return f"PDF com páginas demais ({paginas}; limite: {MAXIMO_PAGINAS})"
    return None
