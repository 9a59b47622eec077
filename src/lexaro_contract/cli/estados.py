"""Os estados de um registro de resultados e os códigos de saída do comando.

Cada registro vale um estado: ERRO, ou o pior entre o veredito e os achados
das assinaturas digitais e dos poderes de assinatura; o código de saída é o do
pior estado do lote.
"""

from typing import Any, Dict, Iterable, Optional

SAIDA_APROVADO, SAIDA_REPROVADO, SAIDA_PENDENTE, SAIDA_ERRO = 0, 1, 2, 3
SAIDA_INTERROMPIDO = 130       # Ctrl-C (128 + SIGINT)
SAIDA_CANO_FECHADO = 141       # o leitor de stdout fechou o cano (128 + SIGPIPE)
VEREDITOS = ("APROVADO", "REPROVADO", "PENDENTE")


def codigo_de_saida(registros: Iterable[Dict[str, Any]]) -> int:
    return _codigo([_estado(r) for r in registros])


def _estado(r: Dict[str, Any]) -> str:
    """"ERRO", ou o pior entre o veredito e os achados das assinaturas digitais e dos poderes."""
    if "erro" in r:
        return "ERRO"
    veredito = str(r["resultado"].get("resultado_final"))
    estados = [veredito, _veredito_digital(r), _veredito_poderes(r)]
    return next((e for e in ("REPROVADO", "PENDENTE") if e in estados), veredito)


def _veredito_digital(r: Dict[str, Any]) -> Optional[str]:
    """O pior achado das assinaturas digitais do registro, se houver."""
    if not r.get("assinaturas_digitais"):
        return None
    from ..assinaturas import veredito_assinaturas

    return veredito_assinaturas(r["assinaturas_digitais"])


def _veredito_poderes(r: Dict[str, Any]) -> Optional[str]:
    """"PENDENTE" se um achado dos poderes de assinatura pede revisão (registros
    gravados antes desta conferência não têm `poderes`)."""
    if not r.get("poderes"):
        return None
    from ..poderes import veredito_poderes

    return veredito_poderes(r["poderes"])


def _codigo(estados: Iterable[str]) -> int:
    estados = list(estados)
    if "ERRO" in estados:
        return SAIDA_ERRO
    if "REPROVADO" in estados:
        return SAIDA_REPROVADO
    if "PENDENTE" in estados:
        return SAIDA_PENDENTE
    return SAIDA_APROVADO
