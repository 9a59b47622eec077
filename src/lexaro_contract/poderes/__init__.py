"""Poderes de assinatura: quem podia obrigar a empresa no dia em que o contrato foi assinado.

A verificação pergunta uma coisa de cada signatário: o nome está no QSA da empresa? Este módulo
pergunta, sobre o mesmo resultado, o que o registro também responde:

- o cargo com que a pessoa está no QSA dá poder de administração (tabela em ``qualificacoes``)?
- a pessoa já estava no QSA na data do contrato?
- a empresa que não está ATIVA mudou de situação antes ou depois da data do contrato?
- o contrato diz que a pessoa assina como procurador (confira a procuração)?

``avaliar_poderes(resultado, registros=None)`` devolve ``{"signatarios": [...], "achados": [...]}``,
na forma dos achados das assinaturas digitais (``status`` "pendente" ou "informacao" e
``mensagem``, mais ``regra``, ``pessoa``, ``empresa``, ``cnpj`` e ``fato``). Nunca muda o veredito
e nunca levanta exceção por causa do que recebe.

``registros`` são os registros que a verificação usou (o cache de ``_validar_empresas``, por CNPJ
limpo e por razão social normalizada); ``registros_da_verificacao`` os guarda durante uma
chamada de ``verificar``. Sem eles, vale o que o resultado guarda (o QSA de cada empresa e a
situação, mas não a data da situação).
"""

from __future__ import annotations

from contextlib import contextmanager
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

from .datas import data_do_contrato, data_do_registro
from .qualificacoes import (ADMINISTRACAO, CLASSES, NAO_CLASSIFICADA, QUALIFICACOES, REPRESENTACAO, ROTULOS,
                            SEM_ADMINISTRACAO, Qualificacao, classificar, contar_classes)
from .regras import avaliar

__all__ = [
    "ADMINISTRACAO",
    "CLASSES",
    "NAO_CLASSIFICADA",
    "QUALIFICACOES",
    "REPRESENTACAO",
    "SEM_ADMINISTRACAO",
    "Qualificacao",
    "avaliar_poderes",
    "classificar",
    "contar_classes",
    "data_do_contrato",
    "data_do_registro",
    "registros_da_verificacao",
    "relatorio_poderes",
    "veredito_poderes",
]

Registro = Dict[str, Any]


def avaliar_poderes(resultado: object, registros: object = None) -> Registro:
    """Os poderes de assinatura dos signatários de um resultado de ``ContractChecker.verificar``.

    ``registros``: os registros da Receita que a verificação usou, num mapeamento com as chaves do
    cache do verificador (CNPJ limpo, razão social normalizada), como ``registros_da_verificacao``
    os guarda; trazem a data da situação cadastral, que o resultado não guarda. Sem eles, as
    empresas e os QSAs vêm do próprio resultado.

    Devolve ``{"signatarios": [...], "achados": [...]}``. Cada signatário (testemunhas e não
    identificados ficam de fora): ``nome``, ``empresa``, ``cnpj``, ``qualificacao`` e ``classe`` da
    entrada do QSA com que casou (None quando não casou), ``via_representante``, ``representado``,
    ``data_entrada``, ``procurador`` e ``titular_individual``. Cada achado: ``status``
    ("pendente" ou "informacao"), ``mensagem``, ``regra``, ``pessoa``, ``empresa``, ``cnpj`` e
    ``fato`` (os dados por trás dele). Entrada que não é um resultado dá listas vazias.
    """
    if not isinstance(resultado, Mapping):
        return {"signatarios": [], "achados": []}
    return avaliar(resultado, registros if isinstance(registros, Mapping) else {})


def veredito_poderes(poderes: Mapping[str, Any]) -> Optional[str]:
    """"PENDENTE" se algum achado pede revisão, senão None (estes achados nunca reprovam)."""
    achados = poderes.get("achados") if isinstance(poderes, Mapping) else None
    if any(isinstance(a, Mapping) and a.get("status") == "pendente" for a in achados or []):
        return "PENDENTE"
    return None


_MARCA = {"pendente": "⚠️", "informacao": "ℹ️"}


def relatorio_poderes(poderes: Mapping[str, Any]) -> List[str]:
    """As linhas da seção de poderes de assinatura do relatório."""
    regua = "─" * 60
    signatarios: Sequence[Mapping[str, Any]] = poderes.get("signatarios") or []
    linhas = ["\n" + regua, f"⚖️ PODERES DE ASSINATURA ({len(signatarios)})", regua]
    for s in signatarios:
        if s.get("titular_individual"):
            como = "titular da empresa individual"
        elif s.get("qualificacao") is not None or s.get("classe"):
            como = f"{s.get('qualificacao') or '(sem qualificação)'} · {ROTULOS.get(str(s.get('classe')), '?')}"
            if s.get("via_representante"):
                como += f" · representante de {s.get('representado')}"
        else:
            como = "não encontrado no QSA"
        linhas.append(f"   {s.get('nome')} — {s.get('empresa') or '(empresa não identificada)'}: {como}")
    achados: Sequence[Mapping[str, Any]] = poderes.get("achados") or []
    if achados:
        linhas.append("")
        for a in achados:
            linhas.append(f"   {_MARCA.get(str(a.get('status')), '•')} {a.get('mensagem')}")
    return linhas


@contextmanager
def registros_da_verificacao(verificador: Any) -> Iterator[Dict[str, Any]]:
    """Guarda, num dicionário, os registros da Receita que ``verificador.verificar`` usar dentro do
    bloco (o cache que ``_validar_empresas`` devolve). O verificador chama os seus passos por
    ``self``: um ``_validar_empresas`` na instância fica no lugar do da classe só durante o bloco.
    Use uma instância por fio."""
    registros: Dict[str, Any] = {}
    anterior = verificador.__dict__.get("_validar_empresas")
    original = verificador._validar_empresas

    def _validar_empresas(empresas: Any) -> Tuple[Any, Any]:
        validadas, cache = original(empresas)
        if isinstance(cache, Mapping):
            registros.update(cache)
        return validadas, cache

    verificador._validar_empresas = _validar_empresas
    try:
        yield registros
    finally:
        if anterior is None:
            del verificador._validar_empresas
        else:
            verificador._validar_empresas = anterior
