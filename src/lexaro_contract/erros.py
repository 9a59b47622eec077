"""Os erros de uso e de configuração: o que o usuário pediu não pode ser
feito (uma opção inválida, um arquivo ou serviço que falta). A linha de
comando os mostra numa linha em stderr e sai com 3; quem os levanta não
precisa conhecê-la."""


class ErroDeUso(Exception):
    """Erro de uso ou de configuração: uma linha em stderr, saída 3."""
