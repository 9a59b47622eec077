"""As regras dos poderes de assinatura sobre um resultado de ``ContractChecker.verificar``.

Cada regra é um achado ao lado do veredito, nunca uma mudança nele:

- ``sem_administracao`` (pendente): quem assina casou no QSA com um cargo sem poder de
  administração (ou de representação), e o QSA tem quem administra;
- ``entrada_posterior`` (pendente): quem assina entrou no QSA depois da data do contrato;
- ``situacao`` (informação): a empresa não está ATIVA; diz se a mudança veio antes ou depois da
  data do contrato;
- ``procuracao`` (informação): o contrato diz que a pessoa assina como procurador;
- ``sem_data`` (informação): o contrato não tem data legível, e as conferências de data ficaram
  de fora;
- ``nao_classificada`` e ``data_ilegivel`` (informação): uma qualificação que a tabela não conhece,
  uma data de entrada no QSA que não é uma data.
"""

from __future__ import annotations

import datetime as dt
import re
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple

from .datas import AUSENTE, data_do_contrato, data_do_registro, mostrar
from .qualificacoes import ADMINISTRACAO, NAO_CLASSIFICADA, ROTULOS, classificar

Registro = Dict[str, Any]

_PODER = "Poder de Assinatura"
_TITULAR = "Titular da empresa individual"
# O nome que o verificador escreve por um signatário que o contrato não identifica.
NAO_IDENTIFICADO = "(não identificado)"
# Marca dos registros refeitos do próprio resultado, que não trazem a data da situação.
_REFEITO = "__refeito_do_resultado__"
_PROCURADOR = re.compile(r"\bp\s*\.\s*p\s*\.|\bpp\.|\bprocurador(?:a|es|as)?\b|\bprocurac(?:ao|oes)\b")


class _Checker:
    """A dobra de texto e a comparação de nomes do próprio verificador, e a limpeza de CNPJ."""

    def __init__(self) -> None:
        from .. import checker, cnpj

        instancia = checker.ContractChecker.__new__(checker.ContractChecker)
        self.normalizar: Callable[[str], str] = instancia._normalizar_texto
        self.comparar: Callable[[str, str], bool] = instancia._comparar_nomes
        self._limpar: Callable[[str], str] = cnpj.limpar_cnpj

    def limpar(self, valor: Any) -> str:
        return self._limpar(valor) if isinstance(valor, str) and valor else ""

    def chave_nome(self, valor: Any) -> str:
        return self.normalizar(valor) if isinstance(valor, str) and valor else ""


def _texto(valor: Any) -> str:
    return valor if isinstance(valor, str) else ""


def _lista(valor: Any) -> List[Any]:
    return list(valor) if isinstance(valor, (list, tuple)) else []


def achado(status: str, mensagem: str, regra: str, pessoa: Optional[str] = None, empresa: Optional[str] = None,
           cnpj: Optional[str] = None, fato: Optional[Registro] = None) -> Registro:
    return {"status": status, "mensagem": mensagem, "regra": regra, "pessoa": pessoa, "empresa": empresa,
            "cnpj": cnpj, "fato": fato or {}}


# ---------------------------------------------------------------- empresas e registros

def campo_de(registro: Mapping[str, Any], nome: str) -> Optional[Mapping[str, Any]]:
    """O campo verificado `nome` de uma empresa ou de um signatário do resultado, ou None."""
    for c in _lista(registro.get("campos")):
        if isinstance(c, Mapping) and c.get("campo") == nome:
            return c
    return None


def _refeito(empresa: Mapping[str, Any]) -> Registro:
    """O registro da empresa como o resultado o guarda (sem data da situação nem natureza)."""
    situacao = campo_de(empresa, "Situação Cadastral")
    return {"cnpj": _texto(empresa.get("cnpj")), "razao_social": _texto(empresa.get("razao_social_receita")),
            "situacao": _texto(situacao.get("valor_receita")) if situacao else "",
            "socios": [s for s in _lista(empresa.get("socios")) if isinstance(s, Mapping)], _REFEITO: True}


def _empresas(resultado: Mapping[str, Any], registros: Mapping[str, Any], ck: _Checker
              ) -> Tuple[List[Tuple[Mapping[str, Any], Mapping[str, Any]]], Dict[str, Mapping[str, Any]]]:
    """As empresas encontradas no registro, cada uma com o seu registro (o da verificação, se
    veio em ``registros``, senão o refeito do resultado), e o cache com as chaves do verificador:
    o CNPJ limpo e a razão social do contrato normalizada, na ordem em que ele as inseriu."""
    pares: List[Tuple[Mapping[str, Any], Mapping[str, Any]]] = []
    cache: Dict[str, Mapping[str, Any]] = {}
    for e in _lista(resultado.get("empresas")):
        if not isinstance(e, Mapping) or not e.get("cnpj_encontrado"):
            continue
        chaves = [k for k in (ck.limpar(e.get("cnpj")), ck.chave_nome(e.get("razao_social_contrato"))) if k]
        registro = next((registros[k] for k in chaves if isinstance(registros.get(k), Mapping)), None)
        if registro is None:
            registro = _refeito(e)
        pares.append((e, registro))
        for k in chaves:
            cache[k] = registro
    return pares, cache


def _nome_da_empresa(registro: Mapping[str, Any], empresa: Optional[Mapping[str, Any]] = None) -> str:
    for valor in (registro.get("razao_social"), (empresa or {}).get("razao_social_contrato"), registro.get("cnpj")):
        if isinstance(valor, str) and valor:
            return valor
    return "(empresa sem nome)"


def _socios(registro: Mapping[str, Any]) -> List[Mapping[str, Any]]:
    return [s for s in _lista(registro.get("socios")) if isinstance(s, Mapping)]


def _casar(nome: str, registro: Mapping[str, Any], ck: _Checker) -> Tuple[Optional[Mapping[str, Any]], bool]:
    """A entrada do QSA com que o verificador casou o nome (a primeira: pelo nome do sócio, senão
    pelo do seu representante legal) e se o casamento foi pelo representante."""
    for s in _socios(registro):
        if ck.comparar(nome, _texto(s.get("nome"))):
            return s, False
        rep = _texto(s.get("nome_representante"))
        if rep and ck.comparar(nome, rep):
            return s, True
    return None, False


def _empresa_do_signatario(s: Mapping[str, Any], cache: Mapping[str, Mapping[str, Any]], ck: _Checker
                           ) -> Optional[Mapping[str, Any]]:
    """A empresa que o verificador deu ao signatário: pelo CNPJ, pela razão social e, sem
    nenhuma das duas no cache, a primeira empresa do cache em cujo QSA o nome está."""
    for chave in (ck.limpar(s.get("cnpj_empresa")), ck.chave_nome(s.get("empresa_representada"))):
        if chave and cache.get(chave):
            return cache[chave]
    nome = _texto(s.get("nome_signatario"))
    return next((r for r in cache.values() if _casar(nome, r, ck)[0] is not None), None)


# ---------------------------------------------------------------- regras

def _eh_procurador(s: Mapping[str, Any], ck: _Checker) -> bool:
    return any(_PROCURADOR.search(ck.normalizar(v)) for v in (s.get("cargo"), s.get("tipo_assinatura"),
                                                               s.get("nome_signatario")) if isinstance(v, str))


def _qualificacao(entrada: Mapping[str, Any]) -> str:
    return _texto(entrada.get("qualificacao")) or "(sem qualificação)"


def _regra_administracao(pessoa: str, empresa: str, cnpj: str, entrada: Mapping[str, Any], via_rep: bool,
                         registro: Mapping[str, Any]) -> Optional[Registro]:
    qual = entrada.get("qualificacao")
    classe, _ = classificar(qual)
    fato: Registro = {"qualificacao": qual, "classe": classe}
    if via_rep:
        fato.update(representado=entrada.get("nome"), qualificacao_representante=entrada.get("qualificacao_representante"))
    if classe == NAO_CLASSIFICADA:
        return achado("informacao", f"qualificação '{_texto(qual)}' de {pessoa} no QSA de {empresa} não classificada: "
                                    "poder de administração não avaliado", "nao_classificada", pessoa, empresa, cnpj, fato)
    if classe == ADMINISTRACAO:
        return None
    administradores = [s for s in _socios(registro)
                       if s is not entrada and classificar(s.get("qualificacao"))[0] == ADMINISTRACAO]
    if not administradores:
        return None
    fato["administradores"] = [{"nome": s.get("nome"), "qualificacao": s.get("qualificacao")} for s in administradores]
    quem = ", ".join(f"{_texto(s.get('nome'))} ({_qualificacao(s)})" for s in administradores)
    como = f"como {_qualificacao(entrada)}" if not via_rep else \
        f"como representante de {_texto(entrada.get('nome'))}, {_qualificacao(entrada)}"
    return achado("pendente", f"{pessoa} assina por {empresa} {como} no QSA ({ROTULOS[classe]}), "
                              f"mas o QSA tem quem administra: {quem}", "sem_administracao", pessoa, empresa, cnpj, fato)


def _regra_entrada(pessoa: str, empresa: str, cnpj: str, entrada: Mapping[str, Any],
                   data_contrato: Optional[dt.date]) -> Optional[Registro]:
    bruto = entrada.get("data_entrada")
    data, motivo = data_do_registro(bruto)
    if data is None:
        if motivo == AUSENTE:
            return None
        return achado("informacao", f"data de entrada de {pessoa} no QSA de {empresa} ilegível ({bruto!r}): "
                                    "não conferida", "data_ilegivel", pessoa, empresa, cnpj, {"data_entrada": bruto})
    if data_contrato is None or data <= data_contrato:
        return None
    return achado("pendente", f"{pessoa} entrou no QSA de {empresa} em {mostrar(data)}, depois da data do contrato "
                              f"({mostrar(data_contrato)})", "entrada_posterior", pessoa, empresa, cnpj,
                  {"data_entrada": data.isoformat(), "data_contrato": data_contrato.isoformat()})


def _regra_situacao(registro: Mapping[str, Any], empresa: str, cnpj: str, data_contrato: Optional[dt.date],
                    sem_data: str) -> Optional[Registro]:
    situacao = _texto(registro.get("situacao")).upper()
    if "ATIVA" in situacao:
        return None
    rotulo = situacao or "sem situação informada"
    fato: Registro = {"situacao": situacao, "data_situacao": registro.get("data_situacao"),
                      "data_contrato": data_contrato.isoformat() if data_contrato else None, "antes_do_contrato": None}
    inicio = f"{empresa} está {rotulo}"
    if registro.get(_REFEITO):
        return achado("informacao", f"{inicio}; a data da situação não consta do resultado: não se sabe se a mudança "
                                    "veio antes ou depois do contrato", "situacao", None, empresa, cnpj, fato)
    data, motivo = data_do_registro(registro.get("data_situacao"))
    if data is None or data_contrato is None:
        porque = sem_data if data is not None else (
            "data da situação não informada" if motivo == AUSENTE
            else f"data da situação ilegível ({registro.get('data_situacao')!r})")
        return achado("informacao", f"{inicio}; {porque}: não se sabe se a mudança veio antes ou depois do contrato",
                      "situacao", None, empresa, cnpj, fato)
    fato["data_situacao"] = data.isoformat()
    if data < data_contrato:
        fato["antes_do_contrato"] = True
        texto = (f"{inicio} desde {mostrar(data)}, antes da data do contrato ({mostrar(data_contrato)}): "
                 f"já estava {rotulo} quando o contrato foi assinado")
    elif data > data_contrato:
        fato["antes_do_contrato"] = False
        texto = (f"{inicio} desde {mostrar(data)}, depois da data do contrato ({mostrar(data_contrato)}): "
                 "a mudança veio depois da assinatura")
    else:
        texto = f"{inicio} desde {mostrar(data)}, a própria data do contrato: confira se assinou antes da mudança"
    return achado("informacao", texto, "situacao", None, empresa, cnpj, fato)


def _signatario(s: Mapping[str, Any], cache: Mapping[str, Mapping[str, Any]], data_contrato: Optional[dt.date],
                ck: _Checker) -> Tuple[Optional[Registro], List[Registro], bool]:
    """O que se sabe do poder de um signatário, os achados sobre ele e se houve conferência de data a
    fazer."""
    nome = s.get("nome_signatario")
    if not isinstance(nome, str) or not nome.strip() or nome in ("N/A", NAO_IDENTIFICADO):
        return None, [], False
    campo = campo_de(s, _PODER)
    if campo is not None and campo.get("status") == "nao_verificado":
        return None, [], False   # testemunha: não precisa de poder de assinatura
    achados: List[Registro] = []
    registro = _empresa_do_signatario(s, cache, ck)
    empresa = _nome_da_empresa(registro) if registro else (_texto(s.get("empresa_representada")) or None)
    cnpj = _texto(registro.get("cnpj")) if registro else (_texto(s.get("cnpj_empresa")) or None)
    procurador = _eh_procurador(s, ck)
    info: Registro = {"nome": nome, "empresa": empresa, "cnpj": cnpj, "qualificacao": None, "classe": None,
                      "via_representante": False, "representado": None, "data_entrada": None,
                      "procurador": procurador, "titular_individual": False}
    datado = False
    if campo is not None and campo.get("status") == "aprovado" and campo.get("valor_receita") == _TITULAR:
        info.update(titular_individual=True, qualificacao=_TITULAR, classe=ADMINISTRACAO)
    elif registro is not None:
        entrada, via_rep = _casar(nome, registro, ck)
        if entrada is not None:
            empresa_txt = empresa or "(empresa sem nome)"
            info.update(qualificacao=entrada.get("qualificacao"), classe=classificar(entrada.get("qualificacao"))[0],
                        via_representante=via_rep, representado=entrada.get("nome") if via_rep else None,
                        data_entrada=entrada.get("data_entrada"))
            for regra in (_regra_administracao(nome, empresa_txt, cnpj or "", entrada, via_rep, registro),
                          _regra_entrada(nome, empresa_txt, cnpj or "", entrada, data_contrato)):
                if regra:
                    achados.append(regra)
            datado = data_do_registro(entrada.get("data_entrada"))[0] is not None
    if procurador:
        achados.append(achado("informacao", f"{nome} assina por {empresa or 'uma das partes'} como procurador: "
                                            "confira a procuração", "procuracao", nome, empresa, cnpj,
                              {"cargo": s.get("cargo"), "tipo_assinatura": s.get("tipo_assinatura")}))
    return info, achados, datado


def avaliar(resultado: Mapping[str, Any], registros: Mapping[str, Any]) -> Registro:
    ck = _Checker()
    pares, cache = _empresas(resultado, registros, ck)
    dados = resultado.get("dados_contrato")
    bruto = dados.get("data") if isinstance(dados, Mapping) else None
    data_contrato, motivo = data_do_contrato(bruto)
    sem_data = "contrato sem data" if motivo == AUSENTE else f"data do contrato ilegível ({bruto!r})"
    signatarios: List[Registro] = []
    achados: List[Registro] = []
    datas_a_conferir = False
    for s in _lista(resultado.get("assinaturas")):
        if not isinstance(s, Mapping):
            continue
        info, deste, datado = _signatario(s, cache, data_contrato, ck)
        if info is not None:
            signatarios.append(info)
        achados.extend(deste)
        datas_a_conferir = datas_a_conferir or datado
    for e, registro in pares:
        regra = _regra_situacao(registro, _nome_da_empresa(registro, e), _texto(registro.get("cnpj")),
                                data_contrato, sem_data)
        if regra:
            achados.append(regra)
            datas_a_conferir = datas_a_conferir or bool(regra["fato"].get("data_situacao"))
    if data_contrato is None and datas_a_conferir:
        achados.append(achado("informacao", f"{sem_data}: as conferências de data (entrada no QSA, situação "
                                            "cadastral) foram puladas", "sem_data", fato={"data": bruto}))
    return {"signatarios": signatarios, "achados": achados}

