"""O que os testes do acervo e do painel partilham: os contratos de exemplo,
a senha das contas de teste e os campos `arquivo` de um envio multipart."""

from pathlib import Path

EXEMPLOS = Path(__file__).resolve().parents[2] / "examples" / "contratos"
PDFS = sorted(EXEMPLOS.glob("*.pdf"))
SENHA = "senha-do-teste"


def arquivos(*caminhos_ou_pares):
    """Os campos `arquivo` de um envio multipart (caminhos ou pares nome, bytes)."""
    saida = []
    for item in caminhos_ou_pares:
        nome, conteudo = (item.name, item.read_bytes()) if isinstance(item, Path) else item
        saida.append(("arquivo", (nome, conteudo, "application/pdf")))
    return saida
