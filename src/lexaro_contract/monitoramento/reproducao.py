"""O motor de extração que responde do acervo: a extração guardada de uma
verificação, devolvida ao mesmo `ContractChecker.verificar` como se o PDF
tivesse sido lido agora. A regra do veredito é uma só; muda só o registro.

O "documento" que o motor lê é ``{"extracao": {...}, "evidencias": ...}``,
entregue em memória ao motor logo antes da verificação
(`MotorDoAcervo.entregar`, pela reverificação do acervo, em `pedaco`).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, Optional

from ..poderes.regras import NAO_IDENTIFICADO, campo_de

if TYPE_CHECKING:
    from ..checker import ContractChecker

Json = Dict[str, Any]

# O que o verificador escreve no lugar do valor do contrato quando não havia um.
_SEM_VALOR = {"(buscado automaticamente)", "(não informado)", ""}


def _empresa(e: Json) -> Json:
    """A empresa como o motor a extraiu, a partir da empresa verificada."""
    cnpj_campo = campo_de(e, "CNPJ")
    if cnpj_campo is not None:
        valor = cnpj_campo.get("valor_contrato")
        cnpj = None if valor is None or str(valor) in _SEM_VALOR else str(valor)
    else:
        cnpj = None if e.get("cnpj_buscado_por_nome") else e.get("cnpj") or None
    endereco = campo_de(e, "Endereço")
    return {"cnpj": cnpj, "razao_social": e.get("razao_social_contrato"),
            "endereco": endereco.get("valor_contrato") if endereco else None,
            "papel_no_contrato": e.get("papel_no_contrato")}


def _assinatura(a: Json) -> Json:
    nome = a.get("nome_signatario")
    return {"nome_signatario": None if nome == NAO_IDENTIFICADO else nome, "cargo": a.get("cargo"),
            "empresa_representada": a.get("empresa_representada"), "cnpj_empresa": a.get("cnpj_empresa"),
            "tipo_assinatura": a.get("tipo_assinatura")}


def extracao_de(registro: Json) -> Optional[Json]:
    """As três respostas do motor (``empresas``, ``assinaturas``,
    ``dados_contrato``) de um registro guardado: a extração, quando o registro
    a traz, ou refeita das empresas e signatários verificados (que guardam o
    que o contrato diz). None quando não há de onde tirá-la (um resultado sem
    extração: o contrato precisa ser lido de novo)."""
    guardada = registro.get("extracao")
    if isinstance(guardada, dict) and {"empresas", "assinaturas"} <= set(guardada):
        return guardada
    resultado = registro.get("resultado")
    if not isinstance(resultado, dict) or "dados_contrato" not in resultado:
        return None
    empresas: List[Json] = [_empresa(e) for e in resultado.get("empresas") or [] if isinstance(e, dict)]
    assinaturas: List[Json] = [_assinatura(a) for a in resultado.get("assinaturas") or [] if isinstance(a, dict)]
    return {"empresas": {"empresas": empresas}, "assinaturas": {"assinaturas": assinaturas},
            "dados_contrato": resultado.get("dados_contrato") or {}}


class _Resposta:
    __slots__ = ("raw_result",)

    def __init__(self, raw: Any) -> None:
        self.raw_result = raw


class _Metricas:
    """Uma reverificação não gasta nada do modelo."""

    tokens = 0
    cost_usd = 0.0
    time_seconds = 0.0


class _Documento:
    def __init__(self, extracao: Json) -> None:
        self.extracao = extracao
        self.total_metrics = _Metricas()

    def get_result(self, qid: str) -> Optional[_Resposta]:
        raw = self.extracao.get(qid)
        return None if raw is None else _Resposta(raw)


class MotorDoAcervo:
    """O cliente do motor que responde com o documento entregue de um contrato do acervo."""

    def __init__(self) -> None:
        self._evidencias: Dict[str, Any] = {}
        self._entregue: Optional[Json] = None

    def add_question(self, _pergunta: Any) -> None:
        pass

    def entregar(self, documento: Json) -> None:
        """O documento da próxima verificação deste motor."""
        self._entregue = documento

    def process(self, caminho: str) -> _Documento:
        documento, self._entregue = self._entregue, None
        if documento is None:
            raise RuntimeError(f"nenhum documento entregue ao motor do acervo para {caminho}")
        self._evidencias = {caminho: documento.get("evidencias")}
        return _Documento(documento["extracao"])

    def evidencias(self, caminho: str) -> Any:
        return self._evidencias.get(caminho)


def novo_verificador_do_acervo() -> "ContractChecker":
    """Um ContractChecker silencioso cujo motor responde do acervo (nenhuma
    busca na web nem modelo: só o registro é consultado)."""
    from ..checker import ContractChecker

    verificador = ContractChecker(provider="local", verbose=False, usar_ai_search=False)
    verificador._client = MotorDoAcervo()
    verificador._lexaro_available = True
    return verificador


__all__ = ["MotorDoAcervo", "extracao_de", "novo_verificador_do_acervo"]
