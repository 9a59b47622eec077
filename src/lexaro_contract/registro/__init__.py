"""O registro de empresas do próprio usuário: servir, em 127.0.0.1, os caminhos
dos três serviços de registro a partir de dados locais, com um encaminhamento
opcional aos serviços públicos para o que faltar."""

from .fonte import Fonte, FonteIndisponivel  # noqa: F401
from .formatos import ConsultaInvalida, como_receita_ws  # noqa: F401
from .pasta_json import ErroDeDados, PastaJson, carregar_dados  # noqa: F401
from .servidor import (  # noqa: F401
    apontar_cnpj_para,
    buscar,
    criar_servidor,
    iniciar_em_segundo_plano,
    url_base,
)
