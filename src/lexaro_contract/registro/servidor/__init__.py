"""O servidor local de registro: a frente HTTP (`frente`, sobre `http11`) que
responde nos caminhos dos três serviços de registro, as formas de resposta de
cada serviço (`formas`) e a fonte de uma pasta de arquivos JSON (`pasta_json`)."""

from .frente import (BRASIL_API_PATH, BUSCA_PATH, RECEITA_WS_PATH, FrenteRegistro, ServidorRegistro, apontar_cnpj_para,
                     buscar, carregar_dados, criar_servidor, iniciar_em_segundo_plano, juntar_buscas, url_base)

__all__ = ["BRASIL_API_PATH", "RECEITA_WS_PATH", "BUSCA_PATH", "FrenteRegistro", "ServidorRegistro",
           "apontar_cnpj_para", "buscar", "carregar_dados", "criar_servidor", "iniciar_em_segundo_plano",
           "juntar_buscas", "url_base"]
