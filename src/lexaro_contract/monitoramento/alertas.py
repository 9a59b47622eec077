"""O que mudou entre duas verificações de um contrato: a única regra dos
alertas, que a reverificação do acervo e o painel usam.

Cada alerta é ``{"tipo", "cnpj", "pessoa", "antes", "depois"}``; quem chama
acrescenta o contrato, o arquivo e os meses comparados. Os tipos:

- ``situacao``: a situação cadastral mudou (``depois`` traz a data da mudança
  que o registro dá, quando a dá);
- ``empresa_nao_encontrada``: a empresa achada antes não está mais no registro;
- ``razao_social``: a razão social do registro mudou;
- ``endereco``: o endereço do registro mudou e não confere mais com o contrato
  (além do limiar de similaridade);
- ``signatario_fora_do_qsa``: o signatário que estava no QSA não está mais;
- ``qualificacao``: o signatário segue no QSA com outra qualificação;
- ``veredito``: o veredito mudou.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple

from ..poderes.regras import campo_de

Json = Dict[str, Any]
# O registro atual de um CNPJ (para a data de uma mudança de situação), ou None.
Consulta = Callable[[str], Optional[Json]]

REPROVADO = "REPROVADO"


def _por_chave(itens: Iterable[Any], chave: Callable[[Json], Tuple[Any, ...]]) -> Dict[Tuple[Any, ...], Json]:
    """Os itens pela sua identidade no contrato (o que o contrato diz, que a
    reverificação não muda); um repetido ganha o seu número de ordem."""
    saida: Dict[Tuple[Any, ...], Json] = {}
    for item in itens:
        if isinstance(item, dict):
            k = chave(item)
            while k in saida:
                k = (*k, "+")
            saida[k] = item
    return saida


def _chave_empresa(e: Json) -> Tuple[Any, ...]:
    return (e.get("razao_social_contrato"), (campo_de(e, "CNPJ") or {}).get("valor_contrato"))


def _chave_signatario(a: Json) -> Tuple[Any, ...]:
    return (a.get("nome_signatario"), a.get("empresa_representada"), a.get("cnpj_empresa"))


def _alerta(tipo: str, cnpj: Optional[str], pessoa: Optional[str], antes: Any, depois: Any) -> Json:
    return {"tipo": tipo, "cnpj": cnpj or None, "pessoa": pessoa or None,
            "antes": None if antes is None else str(antes), "depois": None if depois is None else str(depois)}


def _empresas(antes: Json, depois: Json, consultar: Optional[Consulta]) -> List[Json]:
    alertas: List[Json] = []
    novas = _por_chave(depois.get("empresas") or [], _chave_empresa)
    for k, a in _por_chave(antes.get("empresas") or [], _chave_empresa).items():
        d = novas.get(k)
        if d is None or not a.get("cnpj_encontrado"):
            continue
        cnpj = d.get("cnpj") or a.get("cnpj")
        if not d.get("cnpj_encontrado"):
            alertas.append(_alerta("empresa_nao_encontrada", cnpj, None, a.get("razao_social_receita"),
                                   "não encontrada no registro"))
            continue
        s_antes = (campo_de(a, "Situação Cadastral") or {}).get("valor_receita")
        s_depois = (campo_de(d, "Situação Cadastral") or {}).get("valor_receita")
        if s_antes != s_depois:
            data = (consultar(cnpj) or {}).get("data_situacao") if consultar and cnpj else None
            alertas.append(_alerta("situacao", cnpj, None, s_antes, f"{s_depois} desde {data}" if data else s_depois))
        if a.get("razao_social_receita") != d.get("razao_social_receita"):
            alertas.append(_alerta("razao_social", cnpj, None, a.get("razao_social_receita"),
                                   d.get("razao_social_receita")))
        e_antes, e_depois = campo_de(a, "Endereço") or {}, campo_de(d, "Endereço") or {}
        if e_depois and e_depois.get("status") != "aprovado" and e_antes.get("valor_receita") != e_depois.get(
                "valor_receita"):
            alertas.append(_alerta("endereco", cnpj, None, e_antes.get("valor_receita"),
                                   f"{e_depois.get('valor_receita')} ({e_depois.get('mensagem')})"))
    return alertas


def _signatarios(antes: Json, depois: Json) -> List[Json]:
    alertas: List[Json] = []
    novos = _por_chave(depois.get("assinaturas") or [], _chave_signatario)
    for k, a in _por_chave(antes.get("assinaturas") or [], _chave_signatario).items():
        d = novos.get(k)
        if d is None or not a.get("tem_poder_assinatura"):
            continue
        pessoa, cnpj = a.get("nome_signatario"), a.get("cnpj_empresa")
        poder = campo_de(d, "Poder de Assinatura") or {}
        if not d.get("tem_poder_assinatura"):
            # Só um QSA lido sem a pessoa: sem a empresa no registro, o alerta é o da empresa.
            if poder.get("status") == "reprovado":
                alertas.append(_alerta("signatario_fora_do_qsa", cnpj, pessoa, a.get("qualificacao_qsa"),
                                       poder.get("valor_receita") or "fora do QSA"))
        elif (a.get("qualificacao_qsa") or "") != (d.get("qualificacao_qsa") or ""):
            alertas.append(_alerta("qualificacao", cnpj, pessoa, a.get("qualificacao_qsa"), d.get("qualificacao_qsa")))
    return alertas


def alertas_entre(anterior: Json, nova: Json, consultar: Optional[Consulta] = None) -> List[Json]:
    """Os alertas do `resultado` de uma verificação (`nova`) contra o da
    anterior do mesmo contrato. `consultar(cnpj)` dá o registro atual, de onde
    vem a data de uma mudança de situação (chamada só quando ela mudou)."""
    alertas = _empresas(anterior, nova, consultar) + _signatarios(anterior, nova)
    v_antes, v_depois = anterior.get("resultado_final"), nova.get("resultado_final")
    if v_antes != v_depois:
        alertas.append(_alerta("veredito", None, None, v_antes, v_depois))
    return alertas


def torna_reprovado(alerta: Json) -> bool:
    """O alerta que leva um veredito a REPROVADO (a saída 1 do comando)."""
    return alerta.get("tipo") == "veredito" and alerta.get("depois") == REPROVADO


__all__ = ["alertas_entre", "torna_reprovado"]
