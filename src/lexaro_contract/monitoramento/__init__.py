"""O acompanhamento do acervo: cada mês novo do registro reverifica os
contratos guardados a partir da extração guardada (nenhum PDF lido de novo,
nenhum modelo chamado) e o que mudou vira alerta.

`reproducao` (o motor que responde do acervo), `alertas` (a única função que
compara duas verificações) e `reverificar` (a passada pelo acervo, no lote).
"""
