"""Formas dos mapeamentos que os módulos nativos devolvem, para anotar código cliente.

Os módulos `checker`, `cnpj` e `keywords` devolvem dicionários, listas e tuplas
comuns; estes ``TypedDict`` descrevem as chaves fixas desses dicionários e são
os tipos que os stubs dos módulos declaram::

    from lexaro_contract import cnpj
    from lexaro_contract.tipos import RegistroReceita

    registro: Optional[RegistroReceita] = cnpj.consultar_cnpj("12.345.678/0001-99")

Os campos de texto de um registro vêm como o serviço os enviou: um campo que
o serviço manda como ``null`` chega como None (o padrão "" vale só para o
campo ausente), por isso são ``Optional[str]``.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Protocol, TypedDict, final

__all__ = [
    "EnderecoReceita",
    "SocioReceita",
    "RegistroReceita",
    "RegistroBuscaPorNome",
    "RegistroBuscaCompleta",
    "Metricas",
    "MetricasDeExecucao",
    "ResultadoVerificacao",
    "ResultadoSemExtracao",
]


class EnderecoReceita(TypedDict):
    """O endereço de um registro: 7 chaves, nesta ordem."""

    logradouro: Optional[str]
    numero: Optional[str]
    complemento: Optional[str]
    bairro: Optional[str]
    cidade: Optional[str]
    uf: Optional[str]
    cep: Optional[str]


class SocioReceita(TypedDict):
    """Um sócio ou administrador do QSA: 6 chaves, nesta ordem."""

    nome: Optional[str]
    qualificacao: Optional[str]
    data_entrada: Optional[str]
    cpf_representante: Optional[str]
    nome_representante: Optional[str]
    qualificacao_representante: Optional[str]


class RegistroReceita(TypedDict):
    """O registro de uma empresa na Receita Federal: 13 chaves, nesta ordem."""

    fonte: str
    cnpj: str
    razao_social: Optional[str]
    nome_fantasia: Optional[str]
    situacao: Optional[str]
    data_situacao: Optional[str]
    data_abertura: Optional[str]
    natureza_juridica: Optional[str]
    porte: Optional[str]
    capital_social: Optional[float]
    endereco: EnderecoReceita
    email: Optional[str]
    socios: List[SocioReceita]


class RegistroBuscaPorNome(RegistroReceita):
    """Registro achado pela busca por nome, com o termo buscado."""

    busca_por_nome: bool
    termo_busca: str


class _ComMetodoBusca(TypedDict):
    _metodo_busca: str


class RegistroBuscaCompleta(RegistroReceita, _ComMetodoBusca, total=False):
    """Registro de `buscar_empresa_completo`: sempre com `_metodo_busca`
    ("cnpj_direto", "api_nome" ou "ai_web_search"); as outras marcas só
    quando a estratégia que o achou as põe."""

    busca_por_nome: bool
    termo_busca: str
    _cnpj_buscado_por_ai: bool


class Metricas(TypedDict):
    """O consumo da extração no resultado de uma verificação."""

    tokens: int
    custo_usd: float
    tempo_segundos: float


class MetricasDeExecucao(Protocol):
    """O que o relatório lê das métricas do motor de extração."""

    @property
    def tokens(self) -> int: ...

    @property
    def cost_usd(self) -> float: ...

    @property
    def time_seconds(self) -> float: ...


@final
class ResultadoVerificacao(TypedDict):
    """O resultado de uma verificação completa: 13 chaves, nesta ordem."""

    resultado_final: str
    justificativa: str
    campos_aprovados: List[str]
    campos_reprovados: List[str]
    campos_pendentes: List[str]
    total_campos: int
    total_aprovados: int
    total_reprovados: int
    total_pendentes: int
    empresas: List[Dict[str, Any]]
    assinaturas: List[Dict[str, Any]]
    dados_contrato: Dict[str, Any]
    metricas: Metricas


@final
class ResultadoSemExtracao(TypedDict):
    """O resultado quando o motor de extração não pôde ser iniciado: 7 chaves,
    sem totais, `dados_contrato` nem `metricas` (distinga com ``"metricas" in r``)."""

    resultado_final: str
    justificativa: str
    campos_aprovados: List[str]
    campos_reprovados: List[str]
    campos_pendentes: List[str]
    empresas: List[Dict[str, Any]]
    assinaturas: List[Dict[str, Any]]
