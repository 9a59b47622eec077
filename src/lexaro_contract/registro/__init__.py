"""O registro de empresas do próprio usuário: servir, em 127.0.0.1, os caminhos
dos três serviços de registro a partir de dados locais."""

from .servidor import (  # noqa: F401
    apontar_cnpj_para,
    buscar,
    carregar_dados,
    como_receita_ws,
    criar_servidor,
    iniciar_em_segundo_plano,
    url_base,
)
from .banco import Registro as Registro  # noqa: E402
