"""Registros de dados extraídos e verificados de um contrato (pydantic v2)."""

from enum import Enum
from typing import Any, Dict, List, Optional

from pydantic import BaseModel, ConfigDict, Field, computed_field

# Respostas de um modelo de linguagem são desarrumadas: números onde se
# esperava texto, chaves a mais, campos nulos. Os registros extraídos aceitam
# tudo isso; os verificados são montados pelo verificador.
_EXTRAIDO = ConfigDict(extra="ignore", coerce_numbers_to_str=True)
_VERIFICADO = ConfigDict(extra="ignore", coerce_numbers_to_str=True)


class EmpresaExtraida(BaseModel):
    """Empresa (parte) mencionada no contrato."""

    model_config = _EXTRAIDO

    cnpj: Optional[str] = Field(default=None, description="CNPJ da empresa, com ou sem formatação")
    razao_social: Optional[str] = Field(default=None, description="Razão social como escrita no contrato")
    nome_fantasia: Optional[str] = Field(default=None, description="Nome fantasia, se houver")
    endereco: Optional[str] = Field(default=None, description="Endereço completo da sede")
    papel_no_contrato: Optional[str] = Field(
        default=None, description="Papel no contrato: contratante, contratada, interveniente, fiadora..."
    )


class AssinaturaExtraida(BaseModel):
    """Pessoa física que assina o contrato ou representa uma das partes."""

    model_config = _EXTRAIDO

    nome_signatario: Optional[str] = Field(default=None, description="Nome completo da pessoa")
    cargo: Optional[str] = Field(default=None, description="Cargo ou qualidade em que assina")
    cpf: Optional[str] = Field(default=None, description="CPF, se houver")
    empresa_representada: Optional[str] = Field(default=None, description="Razão social da empresa representada")
    cnpj_empresa: Optional[str] = Field(default=None, description="CNPJ da empresa representada")
    tipo_assinatura: Optional[str] = Field(
        default=None, description="Tipo: representante, testemunha, assinatura digital (ICP-Brasil)..."
    )


class ExtracaoEmpresas(BaseModel):
    """Resposta da pergunta sobre as empresas do contrato."""

    model_config = _EXTRAIDO

    empresas: List[EmpresaExtraida] = Field(default_factory=list)


class ExtracaoAssinaturas(BaseModel):
    """Resposta da pergunta sobre as assinaturas do contrato."""

    model_config = _EXTRAIDO

    assinaturas: List[AssinaturaExtraida] = Field(default_factory=list)


class ExtracaoDadosContrato(BaseModel):
    """Resposta da pergunta sobre os dados gerais do contrato."""

    model_config = _EXTRAIDO

    tipo_contrato: Optional[str] = Field(default=None, description="Tipo de contrato")
    objeto: Optional[str] = Field(default=None, description="Objeto do contrato")
    data: Optional[str] = Field(default=None, description="Data do contrato")
    vigencia: Optional[str] = Field(default=None, description="Vigência ou prazo")
    valor: Optional[str] = Field(default=None, description="Valor do contrato")
    foro: Optional[str] = Field(default=None, description="Foro eleito")


_EMOJI_STATUS = {
    "aprovado": "✅",
    "reprovado": "❌",
    "pendente": "⚠️",
}


class CampoVerificado(BaseModel):
    """Uma verificação de campo contra a Receita Federal."""

    model_config = _VERIFICADO

    campo: str
    status: str
    valor_contrato: Optional[str] = None
    valor_receita: Optional[str] = None
    mensagem: str = ""

    @computed_field  # type: ignore[prop-decorator]
    @property
    def emoji(self) -> str:
        """Marca do status mostrada no relatório."""
        return _EMOJI_STATUS.get(self.status, "➖")


class EmpresaVerificada(BaseModel):
    """Empresa do contrato depois da verificação."""

    model_config = _VERIFICADO

    cnpj: Optional[str] = None
    razao_social_contrato: Optional[str] = None
    razao_social_receita: Optional[str] = None
    papel_no_contrato: Optional[str] = None
    campos: List[CampoVerificado] = Field(default_factory=list)
    cnpj_encontrado: bool = False
    cnpj_buscado_por_nome: bool = False
    empresa_ativa: bool = False
    razao_social_confere: bool = False
    socios: List[Dict[str, Any]] = Field(default_factory=list)
    problemas: List[str] = Field(default_factory=list)


class AssinaturaVerificada(BaseModel):
    """Signatário do contrato depois da verificação."""

    model_config = _VERIFICADO

    nome_signatario: Optional[str] = None
    cargo: Optional[str] = None
    empresa_representada: Optional[str] = None
    cnpj_empresa: Optional[str] = None
    tipo_assinatura: Optional[str] = None
    campos: List[CampoVerificado] = Field(default_factory=list)
    tem_poder_assinatura: bool = False
    qualificacao_qsa: Optional[str] = None
    problemas: List[str] = Field(default_factory=list)


class ClassificacaoLegitimidade(str, Enum):
    """Veredito de uma verificação."""

    APROVADO = "APROVADO"
    REPROVADO = "REPROVADO"
    PENDENTE = "PENDENTE"
