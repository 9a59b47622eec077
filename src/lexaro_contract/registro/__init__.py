"""O registro de empresas do próprio usuário: os dados abertos da Receita
importados num banco (SQLite ou PostgreSQL), servidos em 127.0.0.1 nos caminhos
dos três serviços de registro, com um encaminhamento opcional aos serviços
públicos para o que faltar."""

from .banco.consultas import Registro
from .fonte import Fonte, FonteIndisponivel
from .servidor.formas import ConsultaInvalida, como_receita_ws
from .servidor.frente import apontar_cnpj_para, buscar, criar_servidor, iniciar_em_segundo_plano, url_base
from .servidor.pasta_json import ErroDeDados, PastaJson, carregar_dados

__all__ = [
    "Registro", "Fonte", "FonteIndisponivel", "ConsultaInvalida", "como_receita_ws", "ErroDeDados", "PastaJson",
    "carregar_dados", "apontar_cnpj_para", "buscar", "criar_servidor", "iniciar_em_segundo_plano", "url_base",
]
