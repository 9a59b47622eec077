"""O encaminhamento aos serviços públicos do que falta no registro local: o
encaminhador (`encaminhador`), o cache das respostas (`cache_respostas`) e a
cota de cada serviço (`cota`)."""
