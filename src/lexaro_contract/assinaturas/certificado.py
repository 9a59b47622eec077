"""Identidade de quem assinou, lida do certificado: nome e CPF (CN "NOME:CPF" e campos
otherName ICP-Brasil), CNPJ e responsável dos certificados de empresa, tipo e emissor."""

from __future__ import annotations

import re
from typing import Any, Dict, List, Optional, Tuple

Registro = Dict[str, Any]

# Campos otherName do subjectAltName dos certificados ICP-Brasil.
OID_PF_DADOS = "2.16.76.1.3.1"  # pessoa física: nascimento (ddmmaaaa) + CPF (11) + ...
OID_PJ_RESPONSAVEL_NOME = "2.16.76.1.3.2"  # e-CNPJ: nome do responsável
OID_PJ_CNPJ = "2.16.76.1.3.3"  # e-CNPJ: CNPJ da empresa
OID_PJ_RESPONSAVEL_DADOS = "2.16.76.1.3.4"  # e-CNPJ: dados do responsável, mesmo leiaute de .3.1
_OIDS_ICP = (OID_PF_DADOS, OID_PJ_RESPONSAVEL_NOME, OID_PJ_CNPJ, OID_PJ_RESPONSAVEL_DADOS)

_CPF = re.compile(r"\d{11}")
_CNPJ = re.compile(r"[0-9A-Z]{12}\d{2}")


def _texto_de(valor: Any) -> str:
    """O conteúdo de um otherName: OCTET STRING (o que a norma pede) ou um tipo de texto."""
    nativo = valor.parsed.native if hasattr(valor, "parsed") else valor.native
    if isinstance(nativo, bytes):
        return nativo.decode("latin-1")
    if isinstance(nativo, str):
        return nativo
    raise ValueError(f"tipo inesperado: {type(nativo).__name__}")


def _cpf_de_dados(texto: str) -> Optional[str]:
    """Leiaute .3.1/.3.4: 8 posições de nascimento (ddmmaaaa) e 11 do CPF; zeros = ausente."""
    cpf = texto[8:19]
    return cpf if _CPF.fullmatch(cpf) and cpf != "0" * 11 else None


def identidade(cert: Any) -> Tuple[Registro, List[str]]:
    """Nome, CPF, CNPJ, responsável, tipo e emissor de um certificado, e os OIDs ilegíveis."""
    ilegiveis: List[str] = []
    sujeito = cert.subject.native
    cn = sujeito.get("common_name") or ""
    if isinstance(cn, list):
        cn = cn[0] if cn else ""
    emissor_nome = cert.issuer.native
    emissor = emissor_nome.get("common_name") or cert.issuer.human_friendly
    if isinstance(emissor, list):
        emissor = emissor[0]
    organizacoes = emissor_nome.get("organization_name") or ""
    if isinstance(organizacoes, list):
        organizacoes = " ".join(organizacoes)

    nome, sufixo = cn, ""
    if ":" in cn:
        nome, sufixo = cn.rsplit(":", 1)
    nome, sufixo = nome.strip(), sufixo.strip()
    cpf = sufixo if _CPF.fullmatch(sufixo) else None
    cnpj = sufixo.upper() if _CNPJ.fullmatch(sufixo.upper()) else None

    campos: Dict[str, str] = {}
    try:
        san = cert.subject_alt_name_value
        nomes_alt = list(san) if san is not None else []
    except Exception:  # noqa: BLE001 - extensão malformada: identidade só pelo CN
        nomes_alt = []
        ilegiveis.append("subjectAltName")
    for gn in nomes_alt:
        try:
            if gn.name != "other_name":
                continue
            outro = gn.chosen
            oid = outro["type_id"].dotted
        except Exception:  # noqa: BLE001
            ilegiveis.append("otherName")
            continue
        if oid not in _OIDS_ICP:
            continue
        try:
            campos[oid] = _texto_de(outro["value"]).strip()
        except Exception:  # noqa: BLE001
            ilegiveis.append(oid)

    responsavel: Optional[str] = None
    if OID_PJ_CNPJ in campos:
        valor = campos[OID_PJ_CNPJ].upper()
        if _CNPJ.fullmatch(valor) and valor != "0" * 14:
            cnpj = valor
        responsavel = campos.get(OID_PJ_RESPONSAVEL_NOME) or None
        cpf = _cpf_de_dados(campos.get(OID_PJ_RESPONSAVEL_DADOS, "")) or (cpf if not cnpj else None)
    elif OID_PF_DADOS in campos:
        cpf = _cpf_de_dados(campos[OID_PF_DADOS]) or cpf

    dobra = f"{emissor} {organizacoes}".casefold()
    if "governo federal do brasil" in dobra:
        tipo = "gov_br"
    elif campos or "icp-brasil" in dobra:
        tipo = "icp_brasil"
    else:
        tipo = "outro"
    return ({"nome": nome or None, "cpf": cpf, "cnpj": cnpj, "responsavel": responsavel,
             "tipo": tipo, "emissor": emissor or None}, ilegiveis)
