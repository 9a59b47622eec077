"""O comando ``acervo reverificar``: o acervo inteiro de novo contra um mês
do registro, da extração guardada, e a tabela (ou o JSON) dos alertas."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Dict, List, Optional

from ..enderecos import Enderecos, apontando
from ..erros import ErroDeUso
from .estados import SAIDA_APROVADO, SAIDA_ERRO, SAIDA_PENDENTE, SAIDA_REPROVADO
from .terminal import _erro
from .verificar import abrir_acervo, mes_dos_servicos, registro_no_processo

def adicionar_reverificar(asub: Any) -> None:
    r = asub.add_parser("reverificar", help="reverifica o acervo com um mês do registro e lista o que mudou",
                        description="Reverifica cada contrato do acervo a partir da extração guardada (sem ler o "
                                    "PDF nem chamar modelo) e guarda os alertas do que mudou.")
    r.add_argument("--acervo", required=True, metavar="DESTINO", help="arquivo SQLite ou URL postgresql://")
    r.add_argument("--registro", metavar="DESTINO",
                   help="um registro importado (SQLite ou postgresql://) ou uma pasta JSON, servido neste processo; "
                        "sem ele, os serviços de registro configurados")
    r.add_argument("--mes", metavar="AAAA-MM", help="o mês de um registro que não o diz (uma pasta JSON)")
    r.add_argument("--permitir-mes-anterior", action="store_true",
                   help="reverifica com um mês anterior ao de contratos já verificados")
    r.add_argument("--parcial", action="store_true",
                   help="aceita um mês importado com --parcial (o que ele não sabe dizer vira erro, nunca alerta)")
    r.add_argument("--jobs", "-j", type=int, default=2, help="reverificações simultâneas (padrão: 2)")
    r.add_argument("--json", action="store_true", help='imprime {"alertas": [...]} em vez da tabela')
    r.set_defaults(func=comando_reverificar)


def _consultar(cnpj_: str) -> Optional[Dict[str, Any]]:
    from .. import cnpj

    try:
        return dict(cnpj.consultar_cnpj(cnpj_) or {})
    except Exception:  # noqa: BLE001 - a data da mudança é um detalhe
        return None


def _tabela(alertas: List[Dict[str, Any]]) -> None:
    if not alertas:
        print("Nenhum alerta.")
        return
    linhas = [("contrato", "arquivo", "tipo", "empresa/pessoa", "antes", "depois", "meses")]
    for a in alertas:
        quem = " ".join(x for x in (a.get("cnpj"), a.get("pessoa")) if x) or "-"
        linhas.append((str(a["contrato"]), str(a["arquivo"]), a["tipo"], quem, str(a.get("antes") or "-"),
                       str(a.get("depois") or "-"), f"{a.get('mes_anterior') or '?'} → {a['mes_novo']}"))
    larguras = [min(40, max(len(linha[i]) for linha in linhas)) for i in range(len(linhas[0]))]
    for linha in linhas:
        print("  ".join(c[:40].ljust(w) for c, w in zip(linha, larguras)).rstrip())


def comando_reverificar(args: argparse.Namespace) -> int:
    from ..acervo.alertas import CAMPOS_ALERTA
    from ..monitoramento.alertas import torna_reprovado
    from ..monitoramento.reverificar import MesAnterior, conferir_mes, reverificar_acervo
    from ..registro.cliente import Memorizado, sessoes_memorizadas

    if args.jobs < 1:
        raise ErroDeUso("--jobs deve ser pelo menos 1")
    acervo = abrir_acervo(args.acervo)
    servidor = registro_no_processo(args.registro) if args.registro else None
    try:
        if servidor is not None:
            enderecos = Enderecos.na_base(servidor.base, observado=True)
            mes = args.mes or servidor.mes or f"pasta {args.registro}"
        else:
            enderecos = Enderecos.atuais(observado=True)
            mes = args.mes or mes_dos_servicos()
        parcial = servidor is not None and servidor.parcial
        if parcial and not args.parcial:
            raise ErroDeUso(f"o registro {args.registro} é de um mês parcial, que não sabe dizer se uma empresa "
                            "deixou de existir; use --parcial para reverificar mesmo assim")
        if not args.permitir_mes_anterior:
            try:
                conferir_mes(acervo.meses_atuais(), mes)
            except MesAnterior as e:
                raise ErroDeUso(str(e)) from None
        # Sem rede para o registro deste processo (nem para o dos processos trabalhadores, que o abrem lá);
        # as respostas lembradas pela passada, em que o mês não muda.
        cliente = Memorizado(servidor.cliente()) if servidor is not None else sessoes_memorizadas()
        fabrica = servidor.fabrica_de_clientes() if servidor is not None else sessoes_memorizadas
        try:
            with apontando(enderecos, cliente):
                resumo = reverificar_acervo(acervo, mes, jobs=args.jobs, consultar=_consultar, parcial=parcial,
                                            cliente=fabrica)
        finally:
            cliente.fechar()
    finally:
        acervo.fechar()
        if servidor is not None:
            servidor.fechar()
    alertas = [{k: a.get(k) for k in ("contrato", "arquivo", *CAMPOS_ALERTA)} for a in resumo.alertas]
    if args.json:
        print(json.dumps({"alertas": alertas}, ensure_ascii=False, indent=2))
    else:
        _tabela(alertas)
    for nome in resumo.sem_extracao:
        _erro(f"{nome}: sem extração guardada; precisa de uma nova leitura (verificar … --acervo)")
    for linha in resumo.erros:
        _erro(linha)
    print(f"Registro de {mes}: {resumo.reverificados} contrato(s) reverificado(s), {len(alertas)} alerta(s)"
          + (f", {len(resumo.erros)} erro(s); rode de novo para terminar" if resumo.erros else ""), file=sys.stderr)
    if resumo.erros or resumo.interrompido:
        return SAIDA_ERRO
    if any(torna_reprovado(a) for a in alertas):
        return SAIDA_REPROVADO
    return SAIDA_PENDENTE if alertas else SAIDA_APROVADO


__all__ = ["adicionar_reverificar", "comando_reverificar"]
