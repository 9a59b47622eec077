"""O comando ``demo``: os contratos de exemplo verificados offline (motor
local e registro local de exemplo), numa tabela e num relatório."""

import argparse
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, List

from ..enderecos import Enderecos, apontando
from ..erros import ErroDeUso
from .estados import SAIDA_ERRO
from .terminal import _erro
from .verificar import _novo_verificador, verificar_arquivo

if TYPE_CHECKING:
    from ..checker import ContractChecker


def pasta_exemplos() -> Path:
    """Os exemplos instalados com o pacote, ou os da árvore de fontes."""
    instalados = Path(__file__).resolve().parents[1] / "exemplos"
    if instalados.is_dir():
        return instalados
    fontes = Path(__file__).resolve().parents[3] / "examples"
    if fontes.is_dir():
        return fontes
    raise ErroDeUso("exemplos não encontrados (reinstale o pacote)")


def comando_demo(args: argparse.Namespace) -> int:
    from ..registro import iniciar_em_segundo_plano

    pasta = pasta_exemplos()
    contratos = sorted((pasta / "contratos").glob("*.pdf"))
    if not contratos:
        raise ErroDeUso(f"nenhum contrato de exemplo em {pasta / 'contratos'}")
    servidor, base = iniciar_em_segundo_plano(pasta / "registro")
    try:
        with apontando(Enderecos.na_base(base)):
            verificador = _novo_verificador("local", None, False)
            registros = [verificar_arquivo(verificador, str(pdf)) for pdf in contratos]
    finally:
        servidor.shutdown()
        servidor.server_close()

    if not args.quiet:
        print(f"Demonstração: {len(registros)} contratos de exemplo, motor local (regras, offline) e "
              f"registro local de exemplo em {base}.\n")
    print(_tabela_demo(registros))
    if args.completo:
        for r in registros:
            if "resultado" in r:
                print(f"\n{_REGUA_FINA}\nRelatório de {Path(r['arquivo']).name}")
                _relatorio_completo(verificador, r["resultado"])
    elif not args.quiet:
        com_veredito = [r for r in registros if "resultado" in r]
        if com_veredito:
            # O contrato reprovado mostra todas as conferências e o motivo da recusa.
            escolhido = next((r for r in com_veredito if r["resultado"]["resultado_final"] == "REPROVADO"),
                             com_veredito[0])
            print()
            print(_relatorio_resumido(Path(escolhido["arquivo"]).name, escolhido["resultado"]))
            print("\nOs relatórios inteiros de todos os contratos: demo --completo")
            print(f"No painel de revisão (extra [painel]): lexaro-contract painel usuario criar NOME --papel analista "
                  f"--acervo demo.db, depois lexaro-contract painel --acervo demo.db --registro {pasta / 'registro'} "
                  f"--provider local e envie os PDFs de {pasta / 'contratos'}")
    for r in registros:
        if "erro" in r:
            _erro(f"{Path(r['arquivo']).name}: {r['erro']}")
    return SAIDA_ERRO if any("erro" in r for r in registros) else 0


_REGUA_FINA = "─" * 60
_MARCA = {"APROVADO": "✅", "REPROVADO": "❌", "PENDENTE": "⚠️"}
_MARCA_CAMPO = {"aprovado": "✅", "reprovado": "❌", "pendente": "⚠️"}
_NEUTRA = "➖"


def _campos_com_dono(resultado: Dict[str, Any]) -> List[Dict[str, Any]]:
    """Cada campo verificado com o nome de quem ele confere, empresas antes
    de signatários (a ordem das listas do resultado)."""
    campos: List[Dict[str, Any]] = []
    for emp in resultado.get("empresas", []):
        dono = emp.get("razao_social_receita") or emp.get("razao_social_contrato") or emp.get("cnpj") or "?"
        campos += [dict(c, dono=dono) for c in emp.get("campos", [])]
    for ass in resultado.get("assinaturas", []):
        campos += [dict(c, dono=ass.get("nome_signatario") or "?") for c in ass.get("campos", [])]
    return campos


def _motivo(resultado: Dict[str, Any]) -> str:
    """O porquê de um veredito em uma linha: os campos que o decidiram."""
    decisivo = {"REPROVADO": "reprovado", "PENDENTE": "pendente"}.get(resultado.get("resultado_final", ""))
    if decisivo is None:
        return str(resultado.get("justificativa", ""))
    campos = [c for c in _campos_com_dono(resultado) if c.get("status") == decisivo]
    if not campos:
        return str(resultado.get("justificativa", ""))
    c = campos[0]
    motivo = f"{c['campo']} de {c['dono']}: {c.get('mensagem', '')}"
    return motivo + (f" (e mais {len(campos) - 1})" if len(campos) > 1 else "")


def _tabela_demo(registros: List[Dict[str, Any]]) -> str:
    largura = max(len("CONTRATO"), *(len(Path(r["arquivo"]).name) for r in registros))
    linhas = [f"   {'VEREDITO':10} {'CONTRATO':{largura}}  MOTIVO"]
    for r in registros:
        nome = Path(r["arquivo"]).name
        if "erro" in r:
            linhas.append(f"   {'ERRO':10} {nome:{largura}}  {r['erro']}")
        else:
            linhas.append(f"   {r['resultado']['resultado_final']:10} {nome:{largura}}  {_motivo(r['resultado'])}")
    return "\n".join(linhas)


def _eh_testemunha(ass: Dict[str, Any]) -> bool:
    """Um signatário que assina como testemunha: o verificador não exige dele
    poder de assinatura e marca seu campo como não verificado."""
    campos = ass.get("campos", [])
    return bool(campos) and all(c.get("status") == "nao_verificado" for c in campos) and any(
        "testemunha" in str(ass.get(k) or "").lower() for k in ("tipo_assinatura", "cargo"))


def _relatorio_resumido(nome: str, resultado: Dict[str, Any]) -> str:
    """Um contrato numa tela: o veredito, cada empresa com suas conferências
    na Receita e cada signatário com o que o QSA diz dele."""
    veredito = resultado.get("resultado_final", "?")
    linhas = [f"{_MARCA.get(veredito, '❓')} {nome}: {veredito} ({resultado.get('justificativa', '')})"]
    linhas.append("   Empresas, conferidas na Receita Federal:")
    for emp in resultado.get("empresas", []):
        titulo = emp.get("razao_social_receita") or emp.get("razao_social_contrato") or "(sem nome)"
        marca = "✅" if emp.get("empresa_ativa") else "❌"
        linhas.append(f"   {marca} {titulo} (CNPJ {emp.get('cnpj') or 'não encontrado'})")
        linhas += [f"        {_MARCA_CAMPO.get(c.get('status'), _NEUTRA)} {c.get('campo')}: {c.get('mensagem')}"
                   for c in emp.get("campos", [])]
    linhas.append("   Signatários, conferidos no quadro de sócios (QSA):")
    for ass in resultado.get("assinaturas", []):
        nome_ass = ass.get("nome_signatario") or "(não identificado)"
        cargo = f" ({ass['cargo']})" if ass.get("cargo") else ""
        if _eh_testemunha(ass):
            linhas.append(f"   {_NEUTRA} {nome_ass}{cargo}: testemunha: poder de assinatura não exigido")
            continue
        for c in ass.get("campos", []):
            linhas.append(f"   {_MARCA_CAMPO.get(c.get('status'), _NEUTRA)} {nome_ass}{cargo}: {c.get('mensagem')}")
    return "\n".join(linhas)


def _relatorio_completo(verificador: "ContractChecker", resultado: Dict[str, Any]) -> None:
    """O relatório do verificador, refeito a partir do resultado (sem as
    linhas de progresso da verificação)."""
    from types import SimpleNamespace

    from ..models import AssinaturaVerificada, EmpresaVerificada

    metricas = resultado.get("metricas", {})
    verificador._imprimir_relatorio(
        resultado_final=resultado["resultado_final"], justificativa=resultado["justificativa"],
        campos_aprovados=resultado["campos_aprovados"], campos_reprovados=resultado["campos_reprovados"],
        campos_pendentes=resultado["campos_pendentes"],
        empresas=[EmpresaVerificada(**e) for e in resultado["empresas"]],
        assinaturas=[AssinaturaVerificada(**a) for a in resultado["assinaturas"]],
        dados_contrato=resultado.get("dados_contrato", {}),
        metricas=SimpleNamespace(tokens=metricas.get("tokens", 0), cost_usd=metricas.get("custo_usd", 0.0),
                                 time_seconds=metricas.get("tempo_segundos", 0.0)))
