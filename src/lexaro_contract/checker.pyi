# Types of the compiled module `lexaro_contract.checker` (checked against the
# binary by tests/nativos/test_stubs.py).
import unicodedata as unicodedata
from os import PathLike
from pathlib import Path as Path
from typing import Any as Any, Dict as Dict, List as List, Optional as Optional

from lexaro_contract.auth import AuthenticatedClient as AuthenticatedClient, LexaroAuth as LexaroAuth
from lexaro_contract.cnpj import (
    buscar_cnpj_por_nome as buscar_cnpj_por_nome,
    comparar_enderecos as comparar_enderecos,
    consultar_cnpj as consultar_cnpj,
    formatar_cnpj as formatar_cnpj,
    limpar_cnpj as limpar_cnpj,
    validar_cnpj as validar_cnpj,
)
from lexaro_contract.models import (
    AssinaturaExtraida as AssinaturaExtraida,
    AssinaturaVerificada as AssinaturaVerificada,
    CampoVerificado as CampoVerificado,
    ClassificacaoLegitimidade as ClassificacaoLegitimidade,
    EmpresaExtraida as EmpresaExtraida,
    EmpresaVerificada as EmpresaVerificada,
    ExtracaoAssinaturas as ExtracaoAssinaturas,
    ExtracaoDadosContrato as ExtracaoDadosContrato,
    ExtracaoEmpresas as ExtracaoEmpresas,
)
from lexaro_contract.tipos import (
    MetricasDeExecucao,
    RegistroReceita,
    ResultadoSemExtracao,
    ResultadoVerificacao,
)

class ContractChecker:
    verbose: bool
    model: str
    usar_ai_search: bool
    _auth: LexaroAuth
    # The engine client (lexaro.Lexaro) once started, else None; typed loosely so
    # that these types do not depend on the engine package.
    _client: Any
    _lexaro_available: bool | None
    def __init__(
        self,
        api_token: str | None = None,
        openai_api_key: str | None = None,
        provider: str | None = None,
        azure_api_key: str | None = None,
        azure_endpoint: str | None = None,
        azure_deployment: str | None = None,
        azure_api_version: str = "2024-02-15-preview",
        model: str = "gpt-4o",
        verbose: bool = True,
        usar_ai_search: bool = True,
    ) -> None: ...
    @property
    def auth(self) -> LexaroAuth: ...
    @property
    def token(self) -> str | None: ...
    @property
    def provider(self) -> str | None: ...
    def _log(self, msg: str, emoji: str = "📋") -> None: ...
    def _init_lexaro(self) -> bool: ...
    def _setup_questions(self) -> None: ...
    def _normalizar_texto(self, texto: str) -> str: ...
    def _comparar_nomes(self, nome1: str, nome2: str) -> bool: ...
    def _verificar_poder_assinatura(
        self, nome_signatario: str, dados_receita: RegistroReceita | dict[str, Any]
    ) -> tuple[bool, str | None]: ...
    def _validar_empresas(
        self, empresas: list[EmpresaExtraida]
    ) -> tuple[list[EmpresaVerificada], dict[str, RegistroReceita]]: ...
    def _validar_assinaturas(
        self, assinaturas: list[AssinaturaExtraida], dados_receita_cache: dict[str, RegistroReceita]
    ) -> list[AssinaturaVerificada]: ...
    def verificar(self, documento: str | PathLike[str]) -> ResultadoVerificacao | ResultadoSemExtracao: ...
    def _imprimir_relatorio(
        self,
        resultado_final: str,
        justificativa: str,
        campos_aprovados: list[str],
        campos_reprovados: list[str],
        campos_pendentes: list[str],
        empresas: list[EmpresaVerificada],
        assinaturas: list[AssinaturaVerificada],
        dados_contrato: dict[str, Any],
        metricas: MetricasDeExecucao,
    ) -> None: ...

def verificar_contrato(
    documento: str | PathLike[str], openai_api_key: str | None = None, verbose: bool = True
) -> ResultadoVerificacao | ResultadoSemExtracao: ...
