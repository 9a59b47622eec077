"""O leiaute dos dados abertos do CNPJ: arquivos, colunas e tipos de campo.

Um lugar só para o que o gerador, o leitor e o importador têm de concordar.
"""

from __future__ import annotations

from typing import Dict, Tuple

from ..banco.codigos import TABELAS_DE_CODIGOS

# Famílias divididas em partes numeradas (Empresas0.zip ... Empresas9.zip).
FAMILIAS_EM_PARTES: Tuple[str, ...] = ("Empresas", "Estabelecimentos", "Socios")
# Arquivos únicos: o Simples e as tabelas de códigos.
ARQUIVOS_UNICOS: Tuple[str, ...] = ("Simples",) + TABELAS_DE_CODIGOS
MAX_PARTES = 10

# Sufixo do nome do CSV dentro de cada zip.
SUFIXO_CSV: Dict[str, str] = {
    "Empresas": "EMPRECSV",
    "Estabelecimentos": "ESTABELE",
    "Socios": "SOCIOCSV",
    "Simples": "SIMPLES.CSV",
    "Cnaes": "CNAECSV",
    "Motivos": "MOTICSV",
    "Municipios": "MUNICCSV",
    "Naturezas": "NATJUCSV",
    "Paises": "PAISCSV",
    "Qualificacoes": "QUALSCSV",
}

# Tipos de campo, um por coluna (k: parte do CNPJ; t: texto; d: data AAAAMMDD;
# m: capital com vírgula decimal; c: código de uma tabela).
TIPOS: Dict[str, str] = {
    "Empresas": "ktccmct",
    "Estabelecimentos": "kkkttcdctcdcttttttttcttttttttd",
    "Socios": "ktttcdcttct",
    "Simples": "ktddtdd",
}
# Os 30 campos de Estabelecimentos: cnpj_basico, ordem, dv, matriz/filial,
# nome_fantasia, situação, data da situação, motivo, cidade no exterior,
# país, início de atividade, CNAE principal, CNAEs secundários, tipo de
# logradouro, logradouro, número, complemento, bairro, CEP, UF, município,
# DDD 1, telefone 1, DDD 2, telefone 2, DDD do fax, fax, e-mail, situação
# especial, data da situação especial.

# Campos de código que apontam para uma tabela: (família, coluna) -> tabela.
CODIGOS: Dict[Tuple[str, int], str] = {
    ("Empresas", 2): "Naturezas",
    ("Empresas", 3): "Qualificacoes",
    ("Estabelecimentos", 7): "Motivos",
    ("Estabelecimentos", 9): "Paises",
    ("Estabelecimentos", 11): "Cnaes",
    ("Estabelecimentos", 20): "Municipios",
    ("Socios", 4): "Qualificacoes",
    ("Socios", 6): "Paises",
    ("Socios", 9): "Qualificacoes",
}
