"""Os códigos dos dados abertos e o que eles querem dizer.

As tabelas de códigos vêm num arquivo cada uma, com o nome da tabela, e o banco
as guarda com esse nome; os códigos sem tabela (situação, porte, matriz ou
filial, faixa etária) têm as suas descrições aqui. A consulta põe umas e outras
no registro no formato da BrasilAPI.
"""

from __future__ import annotations

from typing import Dict, Tuple

TABELAS_DE_CODIGOS: Tuple[str, ...] = ("Cnaes", "Motivos", "Municipios", "Naturezas", "Paises", "Qualificacoes")

SITUACOES: Dict[int, str] = {1: "NULA", 2: "ATIVA", 3: "SUSPENSA", 4: "INAPTA", 8: "BAIXADA"}
PORTES: Dict[int, str] = {1: "MICRO EMPRESA", 3: "EMPRESA DE PEQUENO PORTE", 5: "DEMAIS"}
MATRIZ_FILIAL: Dict[int, str] = {1: "MATRIZ", 2: "FILIAL"}
FAIXAS_ETARIAS: Dict[int, str] = {
    0: "Não se aplica", 1: "Entre 0 a 12 anos", 2: "Entre 13 a 20 anos", 3: "Entre 21 a 30 anos",
    4: "Entre 31 a 40 anos", 5: "Entre 41 a 50 anos", 6: "Entre 51 a 60 anos", 7: "Entre 61 a 70 anos",
    8: "Entre 71 a 80 anos", 9: "Maiores de 80 anos",
}
