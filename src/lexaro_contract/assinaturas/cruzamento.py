"""Confronto das assinaturas digitais com a verificação do contrato, veredito e relatório."""

from __future__ import annotations

import importlib
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Set

from ..poderes.regras import NAO_IDENTIFICADO
from .leitura import achado

Registro = Dict[str, Any]


def _nativo(nome: str) -> Any:
    """Um módulo compilado do pacote (checker, cnpj), importado só quando preciso."""
    return importlib.import_module(f"..{nome}", __package__)


def _limpar(valor: Any) -> str:
    if not isinstance(valor, str) or not valor:
        return ""
    return str(_nativo("cnpj").limpar_cnpj(valor))


def _so_digitos(valor: Any) -> str:
    return "".join(c for c in valor if c.isdigit()) if isinstance(valor, str) else ""


def cruzar_com_verificacao(assinaturas_digitais: Mapping[str, Any], resultado: Mapping[str, Any]) -> Registro:
    """Confronta as assinaturas digitais com os signatários e as empresas de um resultado de
    ``ContractChecker.verificar`` e devolve um novo mapeamento (o de entrada não muda).

    Um signatário casa com uma assinatura pelo nome (a comparação de nomes do verificador) ou
    pelo CPF, quando o certificado e o signatário trazem um (CPFs diferentes desfazem o casamento
    por nome: é um homônimo). Um certificado de empresa vale pelo responsável e pelo CNPJ.
    """
    classe = _nativo("checker").ContractChecker
    comparar: Callable[[str, str], bool] = classe.__new__(classe)._comparar_nomes
    digitais = [dict(a) for a in assinaturas_digitais.get("assinaturas", [])]
    achados = [dict(a) for a in assinaturas_digitais.get("achados", [])]
    signatarios = [s for s in resultado.get("assinaturas") or []
                   if isinstance(s, Mapping) and isinstance(s.get("nome_signatario"), str)
                   and s["nome_signatario"] not in ("", "N/A", NAO_IDENTIFICADO)]
    cnpjs_do_contrato = {_limpar(e.get("cnpj")) for e in resultado.get("empresas") or [] if isinstance(e, Mapping)}
    cnpjs_do_contrato |= {_limpar(s.get("cnpj_empresa")) for s in signatarios}
    cnpjs_do_contrato.discard("")

    def casa(nome: Optional[str], cpf: Optional[str], s: Mapping[str, Any]) -> bool:
        cpf_s = _so_digitos(s.get("cpf"))
        if cpf and cpf_s:
            if cpf == cpf_s:
                return True
            return False
        return bool(nome) and comparar(str(nome), s["nome_signatario"])

    cobertos: Set[int] = set()
    validas = [d for d in digitais if d.get("erro") is None]
    for d in validas:
        pessoa = d.get("responsavel") if d.get("cnpj") else d.get("nome")
        indice = next((i for i, s in enumerate(signatarios) if i not in cobertos
                       and casa(pessoa, d.get("cpf"), s)), None)
        if indice is None:
            indice = next((i for i, s in enumerate(signatarios) if casa(pessoa, d.get("cpf"), s)), None)
        if indice is None and d.get("cnpj"):
            indice = next((i for i, s in enumerate(signatarios) if i not in cobertos
                           and _limpar(s.get("cnpj_empresa")) == d["cnpj"]), None)
        quem = d.get("nome") or d.get("cnpj") or f"campo {d.get('campo')}"
        if d.get("cnpj") and d["cnpj"] not in cnpjs_do_contrato:
            achados.append(achado("pendente", f"certificado de empresa de {quem} (CNPJ {d['cnpj']}) "
                                               "não é de nenhuma empresa do contrato"))
        if indice is None:
            achados.append(achado("informacao", f"assinatura digital de {quem} não corresponde a nenhum "
                                                 "signatário do contrato"))
            continue
        cobertos.add(indice)
        d["signatario_do_contrato"] = signatarios[indice]["nome_signatario"]
    if validas:
        for i, s in enumerate(signatarios):
            if i not in cobertos:
                achados.append(achado("pendente", f"signatário {s['nome_signatario']} sem assinatura "
                                                   "digital correspondente no PDF"))
    return {"assinaturas": digitais, "achados": achados}


# ---------------------------------------------------------------- veredito e relatório

def veredito_assinaturas(assinaturas_digitais: Mapping[str, Any]) -> Optional[str]:
    """"REPROVADO" se algum achado reprova, "PENDENTE" se algum pede revisão, senão None."""
    status = {a.get("status") for a in assinaturas_digitais.get("achados", []) if isinstance(a, Mapping)}
    if "reprovado" in status:
        return "REPROVADO"
    if "pendente" in status:
        return "PENDENTE"
    return None


_CADEIA = {"confiavel": "confiável", "nao_confiavel": "NÃO confiável", "nao_verificada": "não verificada"}
_MARCA = {"reprovado": "❌", "pendente": "⚠️", "informacao": "ℹ️"}


def relatorio_assinaturas(assinaturas_digitais: Mapping[str, Any]) -> List[str]:
    """As linhas da seção de assinaturas digitais do relatório."""
    regua = "─" * 60
    digitais: Sequence[Mapping[str, Any]] = assinaturas_digitais.get("assinaturas", [])
    linhas = ["\n" + regua, f"🔏 ASSINATURAS DIGITAIS ({len(digitais)})", regua]
    for d in digitais:
        marca = "✅" if d.get("integra") and d.get("erro") is None else "❌"
        linhas.append(f"\n   {marca} {d.get('nome') or d.get('cnpj') or '(sem nome)'}")
        if d.get("erro"):
            linhas.append(f"      Erro: {d['erro']}")
            continue
        ident = [f"CPF {d['cpf']}" if d.get("cpf") else "", f"CNPJ {d['cnpj']}" if d.get("cnpj") else "",
                 f"responsável {d['responsavel']}" if d.get("responsavel") else ""]
        if any(ident):
            linhas.append("      " + " · ".join(x for x in ident if x))
        linhas.append(f"      Emissor: {d.get('emissor')} · cadeia {_CADEIA.get(d.get('cadeia') or '', '?')}")
        data = d.get("data") or "não informada"
        carimbo = f" · carimbo de tempo {d['carimbo_de_tempo']}" if d.get("carimbo_de_tempo") else ""
        linhas.append(f"      Data: {data}{carimbo}")
        cobre = "o documento inteiro" if d.get("cobre_documento_inteiro") else \
            f"uma revisão anterior (alterações posteriores: {d.get('alteracoes_posteriores')})"
        linhas.append(f"      Íntegra: {'sim' if d.get('integra') else 'NÃO'} · cobre {cobre}")
        if d.get("signatario_do_contrato"):
            linhas.append(f"      Signatário do contrato: {d['signatario_do_contrato']}")
    achados: Sequence[Mapping[str, Any]] = assinaturas_digitais.get("achados", [])
    if achados:
        linhas.append("")
        for a in achados:
            linhas.append(f"   {_MARCA.get(str(a.get('status')), '•')} {a.get('mensagem')}")
    return linhas
