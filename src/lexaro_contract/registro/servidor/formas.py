"""As formas de resposta dos três serviços de registro.

O registro guardado é sempre o da BrasilAPI; daqui saem a forma da ReceitaWS, os
resultados da busca da Casa dos Dados e o erro de cada serviço na sua própria
forma. Também daqui: a leitura do corpo de uma busca, que recusa o que não tem
a forma esperada (o servidor responde 400 em vez de adivinhar), e a volta de uma
resposta da ReceitaWS à forma da BrasilAPI, para o encaminhamento.
"""

from __future__ import annotations

import re
from typing import Any, Dict, List, Optional, Tuple

from ..fonte import Ficha, formatar

_DATA_ISO = re.compile(r"(\d{4})-(\d{2})-(\d{2})")
_DATA_BR = re.compile(r"(\d{2})/(\d{2})/(\d{4})")
_QUAL_COM_CODIGO = re.compile(r"(\d{1,3})-(.*)", re.S)


class ConsultaInvalida(ValueError):
    """O corpo de uma busca não tem a forma da Casa dos Dados."""


def _texto(valor: Any) -> str:
    return valor if isinstance(valor, str) else ""


def _data_br(data: Any) -> str:
    m = _DATA_ISO.fullmatch(data) if isinstance(data, str) else None
    if m:
        return f"{m.group(3)}/{m.group(2)}/{m.group(1)}"
    return _texto(data)


def _data_iso(data: Any) -> Optional[str]:
    m = _DATA_BR.fullmatch(data) if isinstance(data, str) else None
    if m:
        return f"{m.group(3)}-{m.group(2)}-{m.group(1)}"
    return data if isinstance(data, str) and data else None


def _cep_receita_ws(cep: Any) -> str:
    digitos = re.sub(r"\D", "", _texto(cep))
    if len(digitos) == 8:
        return f"{digitos[:2]}.{digitos[2:5]}-{digitos[5:]}"
    return _texto(cep)


def como_receita_ws(reg: Ficha) -> Dict[str, Any]:
    """O registro no formato de resposta da ReceitaWS."""
    tipo = _texto(reg.get("descricao_tipo_de_logradouro"))
    logradouro = " ".join(p for p in (tipo, _texto(reg.get("logradouro"))) if p)
    capital = reg.get("capital_social")
    qsa = []
    for s in reg.get("qsa") or []:
        if not isinstance(s, dict):
            continue
        codigo = s.get("codigo_qualificacao_socio")
        qual = _texto(s.get("qualificacao_socio"))
        qsa.append({
            "nome": _texto(s.get("nome_socio")),
            "qual": f"{codigo:02d}-{qual}" if type(codigo) is int else qual,
            "pais_origem": _texto(s.get("pais")) or "BRASIL",
            "nome_rep_legal": _texto(s.get("nome_representante_legal")),
            "qual_rep_legal": _texto(s.get("qualificacao_representante_legal")),
        })
    return {
        "status": "OK",
        "cnpj": formatar(_texto(reg.get("cnpj"))),
        "tipo": "FILIAL" if reg.get("identificador_matriz_filial") == 2 else "MATRIZ",
        "nome": _texto(reg.get("razao_social")),
        "fantasia": _texto(reg.get("nome_fantasia")),
        "situacao": _texto(reg.get("descricao_situacao_cadastral")),
        "data_situacao": _data_br(reg.get("data_situacao_cadastral")),
        "abertura": _data_br(reg.get("data_inicio_atividade")),
        "natureza_juridica": _texto(reg.get("natureza_juridica")),
        "porte": _texto(reg.get("porte")),
        "logradouro": logradouro,
        "numero": _texto(reg.get("numero")),
        "complemento": _texto(reg.get("complemento")),
        "bairro": _texto(reg.get("bairro")),
        "municipio": _texto(reg.get("municipio")),
        "uf": _texto(reg.get("uf")),
        "cep": _cep_receita_ws(reg.get("cep")),
        "email": _texto(reg.get("email")),
        "telefone": _texto(reg.get("ddd_telefone_1")),
        "capital_social": f"{float(capital):.2f}"
        if isinstance(capital, (int, float)) and not isinstance(capital, bool) else "0.00",
        "qsa": qsa,
    }


def de_receita_ws(dados: Dict[str, Any], cnpj: str) -> Ficha:
    """Uma resposta "OK" da ReceitaWS de volta à forma da BrasilAPI.

    O tipo de logradouro vem colado ao logradouro e fica nele; o CEP perde a
    pontuação; o capital em texto ("3000.00" ou "3.000,00") vira número; a
    qualificação "49-Sócio-Administrador" volta a código e descrição.
    """
    capital_txt = _texto(dados.get("capital_social")).strip()
    try:
        if "," in capital_txt:
            capital_txt = capital_txt.replace(".", "").replace(",", ".")
        capital: float = float(capital_txt) if capital_txt else 0.0
    except ValueError:
        capital = 0.0
    qsa: List[Dict[str, Any]] = []
    for s in dados.get("qsa") or []:
        if not isinstance(s, dict):
            continue
        qual = _texto(s.get("qual"))
        m = _QUAL_COM_CODIGO.fullmatch(qual)
        qsa.append({
            "nome_socio": _texto(s.get("nome")),
            "codigo_qualificacao_socio": int(m.group(1)) if m else None,
            "qualificacao_socio": m.group(2) if m else qual,
            "nome_representante_legal": _texto(s.get("nome_rep_legal")),
            "qualificacao_representante_legal": _texto(s.get("qual_rep_legal")) or None,
        })
    return {
        "cnpj": cnpj,
        "identificador_matriz_filial": 2 if _texto(dados.get("tipo")).upper() == "FILIAL" else 1,
        "razao_social": _texto(dados.get("nome")),
        "nome_fantasia": _texto(dados.get("fantasia")),
        "descricao_situacao_cadastral": _texto(dados.get("situacao")),
        "data_situacao_cadastral": _data_iso(dados.get("data_situacao")),
        "data_inicio_atividade": _data_iso(dados.get("abertura")),
        "natureza_juridica": _texto(dados.get("natureza_juridica")),
        "porte": _texto(dados.get("porte")) or None,
        "descricao_tipo_de_logradouro": "",
        "logradouro": _texto(dados.get("logradouro")),
        "numero": _texto(dados.get("numero")),
        "complemento": _texto(dados.get("complemento")),
        "bairro": _texto(dados.get("bairro")),
        "municipio": _texto(dados.get("municipio")) or None,
        "uf": _texto(dados.get("uf")),
        "cep": re.sub(r"\D", "", _texto(dados.get("cep"))),
        "email": _texto(dados.get("email")) or None,
        "ddd_telefone_1": _texto(dados.get("telefone")),
        "capital_social": capital,
        "qsa": qsa,
    }


# ---------------------------------------------------------------- erros, na forma de cada serviço

def erro_brasil_api(status: int, cnpj: str, mensagem: str = "") -> Dict[str, Any]:
    if status == 404:
        return {"message": f"CNPJ {formatar(cnpj)} não encontrado.", "name": "NotFoundError", "type": "not_found"}
    if status == 400:
        return {"message": f"CNPJ {cnpj} inválido.", "name": "BadRequestError", "type": "bad_request"}
    return {"message": mensagem or "Serviço indisponível; tente de novo mais tarde.",
            "name": "ServiceUnavailableError", "type": "service_unavailable"}


def erro_receita_ws(status: int, mensagem: str = "") -> Dict[str, Any]:
    if status == 404:
        return {"status": "ERROR", "message": "CNPJ não encontrado"}
    if status == 400:
        return {"status": "ERROR", "message": "CNPJ inválido"}
    return {"status": "ERROR", "message": mensagem or "Serviço indisponível; tente de novo mais tarde."}


def erro_busca(mensagem: str) -> Dict[str, Any]:
    return {"success": False, "message": mensagem}


AVISO_PARCIAL = "o registro local é de um mês parcial e não tem este CNPJ; não se sabe se ele existe"


def erro_por_cnpj(status: int, chave: str, receita_ws: bool, mensagem: str = "") -> Dict[str, Any]:
    """O erro de uma consulta por CNPJ na forma do serviço pedido."""
    return erro_receita_ws(status, mensagem) if receita_ws else erro_brasil_api(status, chave, mensagem)


def resposta_por_cnpj(chave: str, reg: Optional[Ficha], receita_ws: bool,
                      parcial: bool = False) -> Tuple[int, Dict[str, Any]]:
    """(status, corpo) da consulta de `chave` cuja fonte devolveu `reg`.

    Um mês parcial não sabe se uma empresa que ele não tem existe: 503, nunca 404."""
    if reg is None:
        if parcial:
            return 503, erro_por_cnpj(503, chave, receita_ws, AVISO_PARCIAL)
        return 404, erro_por_cnpj(404, chave, receita_ws)
    return 200, como_receita_ws(reg) if receita_ws else reg


def fonte_parcial(fonte: Any) -> bool:
    """Se a fonte é um mês parcial (o `parcial` de `resposta_por_cnpj`)."""
    return getattr(fonte, "parcial", False) is True


def corpo_da_saude(info: Dict[str, Any], **extras: Any) -> Dict[str, Any]:
    """O corpo de "/saude": o `info()` da fonte, com o status e os `extras`."""
    return dict(info, status="ok", **extras)


# ---------------------------------------------------------------- busca da Casa dos Dados

class ConsultaBusca:
    """O que se lê do corpo de uma busca: termos, UFs e situação."""

    __slots__ = ("termos", "ufs", "situacao")

    def __init__(self, termos: List[str], ufs: List[str], situacao: Optional[str]) -> None:
        self.termos = termos
        self.ufs = ufs
        self.situacao = situacao


def _lista_de_textos(valor: Any, campo: str) -> List[str]:
    # Um texto sozinho é um item só; ler "ALFA" como a lista de letras que ele
    # também é seria buscar por "A", "L", "F".
    if valor is None:
        return []
    if isinstance(valor, str):
        return [valor]
    if isinstance(valor, list) and all(isinstance(v, str) for v in valor):
        return list(valor)
    raise ConsultaInvalida(f"'query.{campo}' deve ser um texto ou uma lista de textos")


UFS = frozenset("AC AL AM AP BA CE DF ES GO MA MG MS MT PA PB PE PI PR RJ RN RO RR RS SC SE SP TO".split())
SITUACOES_BUSCA = ("NULA", "ATIVA", "SUSPENSA", "INAPTA", "BAIXADA")
MAX_TERMOS = 10
MAX_TAMANHO_TERMO = 200


def ler_consulta_busca(corpo: Any) -> ConsultaBusca:
    """Lê o corpo de uma busca; ConsultaInvalida se a forma não é a esperada.

    O trabalho de uma busca fica limitado pelo próprio corpo: cada UF é uma das
    27 (sem diferença de maiúsculas; repetidas contam uma vez), a situação é
    uma das conhecidas, e há no máximo `MAX_TERMOS` termos de até
    `MAX_TAMANHO_TERMO` caracteres."""
    if not isinstance(corpo, dict):
        raise ConsultaInvalida("o corpo deve ser um objeto JSON")
    consulta = corpo.get("query", {})
    if not isinstance(consulta, dict):
        raise ConsultaInvalida("'query' deve ser um objeto")
    termos = _lista_de_textos(consulta.get("termo"), "termo")
    termos = [t for t in termos if t.strip()]
    if len(termos) > MAX_TERMOS:
        raise ConsultaInvalida(f"'query.termo' aceita no máximo {MAX_TERMOS} termos")
    if any(len(t) > MAX_TAMANHO_TERMO for t in termos):
        raise ConsultaInvalida(f"'query.termo': cada termo tem no máximo {MAX_TAMANHO_TERMO} caracteres")
    ufs: List[str] = []
    for u in _lista_de_textos(consulta.get("uf"), "uf"):
        uf = u.strip().upper()
        if not uf:
            continue
        if uf not in UFS:
            raise ConsultaInvalida(f"'query.uf': {u[:10]!r} não é uma UF")
        if uf not in ufs:
            ufs.append(uf)
    situacoes = _lista_de_textos(consulta.get("situacao_cadastral"), "situacao_cadastral")
    if len(situacoes) > 1:
        raise ConsultaInvalida("'query.situacao_cadastral' aceita uma situação só")
    situacao = situacoes[0].strip().upper() if situacoes and situacoes[0].strip() else None
    if situacao is not None and situacao not in SITUACOES_BUSCA:
        raise ConsultaInvalida("'query.situacao_cadastral' deve ser uma de: " + ", ".join(SITUACOES_BUSCA))
    return ConsultaBusca(termos, ufs, situacao)


def item_busca(reg: Ficha) -> Dict[str, Any]:
    return {
        "cnpj": _texto(reg.get("cnpj")),
        "razao_social": _texto(reg.get("razao_social")),
        "nome_fantasia": _texto(reg.get("nome_fantasia")),
        "situacao_cadastral": _texto(reg.get("descricao_situacao_cadastral")),
        "municipio": _texto(reg.get("municipio")),
        "uf": _texto(reg.get("uf")),
    }


def resposta_busca(achados: List[Ficha], total: Optional[int] = None) -> Dict[str, Any]:
    hits = [item_busca(r) for r in achados]
    return {"success": True, "data": {"count": len(hits) if total is None else total, "cnpj": hits},
            "page": {"current": 1}}
