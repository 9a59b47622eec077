"""First contact: the demo on one screen, messages that say what to do next,
the command line in Portuguese, the version from the package metadata."""

from __future__ import annotations

import argparse
import re
from pathlib import Path
from typing import Iterator, List

import pytest

import lexaro_contract
from lexaro_contract import cli

RAIZ = Path(__file__).resolve().parents[2]
TESTEMUNHAS = ("RENATO ALVES BARBOSA", "LUCIA FERREIRA DIAS")


def _demo(capsys: pytest.CaptureFixture[str], *opcoes: str) -> List[str]:
    assert cli.main(["demo", *opcoes]) == 0
    saida = capsys.readouterr()
    assert saida.err == ""
    linhas = saida.out.splitlines()
    assert not [linha for linha in linhas if linha and not linha.strip()], "linha só de espaços"
    assert not [linha for linha in linhas if "Pergunta registrada" in linha or "Lendo PDF" in linha]
    return linhas


def _linhas_da_tabela(linhas: List[str]) -> List[str]:
    return [linha for linha in linhas if re.match(r"^ +(APROVADO|REPROVADO|PENDENTE) ", linha)]


def test_demo_numa_tela_com_tabela_motivos_e_um_relatorio(capsys: pytest.CaptureFixture[str]) -> None:
    linhas = _demo(capsys)
    assert len(linhas) <= 40
    tabela = _linhas_da_tabela(linhas)
    assert [linha.split()[:2] for linha in tabela] == [
        ["APROVADO", "01_servicos.pdf"], ["REPROVADO", "02_fornecimento.pdf"], ["PENDENTE", "03_locacao.pdf"]]
    # the reason names the field that decided and what the registry said
    assert tabela[1].endswith("Situação Cadastral de GAMA COMERCIO DE PAPEIS LTDA: Empresa BAIXADA")
    assert re.search(r"Endereço de DELTA .*: Similaridade: \d+%$", tabela[2])
    texto = "\n".join(linhas)
    assert "❌ 02_fornecimento.pdf: REPROVADO" in texto and "❌ Situação Cadastral: Empresa BAIXADA" in texto
    for nome in TESTEMUNHAS:
        (linha,) = [linha for linha in linhas if nome in linha]
        assert linha.lstrip().startswith("➖") and "❌" not in linha
        assert linha.endswith("testemunha: poder de assinatura não exigido")
    assert "RESULTADO FINAL" not in texto


def test_demo_quiet_so_a_tabela_e_completo_com_os_tres_relatorios(capsys: pytest.CaptureFixture[str]) -> None:
    quieta = _demo(capsys, "--quiet")
    assert len(quieta) == 4 and quieta[0].split() == ["VEREDITO", "CONTRATO", "MOTIVO"]
    assert len(_linhas_da_tabela(quieta)) == 3
    completa = _demo(capsys, "--completo")
    assert sum("RESULTADO FINAL" in linha for linha in completa) == 3
    assert _linhas_da_tabela(completa) == _linhas_da_tabela(quieta)
    assert "   ✅✅✅ RESULTADO FINAL: APROVADO ✅✅✅".strip() in completa


@pytest.fixture
def sem_credenciais(monkeypatch: pytest.MonkeyPatch) -> Iterator[pytest.MonkeyPatch]:
    for var in ("LEXARO_PROVIDER", "OPENAI_API_KEY", "AZURE_API_KEY", "AZURE_API_ENDPOINT", "AZURE_DEPLOYMENT_NAME"):
        monkeypatch.delenv(var, raising=False)
    yield monkeypatch


@pytest.mark.parametrize("provider, ambiente, esperado", [
    ("openai", {}, "OpenAI API key não configurada. Defina OPENAI_API_KEY ou passe openai_api_key. "
                   "Sem chave, --provider local verifica offline (motor por regras)."),
    ("azure", {"AZURE_API_KEY": "k"}, "Credenciais Azure não configuradas. Defina AZURE_API_KEY, "
                                      "AZURE_API_ENDPOINT e AZURE_DEPLOYMENT_NAME. "
                                      "Faltam AZURE_API_ENDPOINT e AZURE_DEPLOYMENT_NAME."),
    ("azure", {"AZURE_API_KEY": "k", "AZURE_DEPLOYMENT_NAME": "d"}, "Falta AZURE_API_ENDPOINT."),
])
def test_credencial_ausente_diz_o_que_fazer(provider: str, ambiente: dict[str, str], esperado: str,
                                            sem_credenciais: pytest.MonkeyPatch,
                                            capsys: pytest.CaptureFixture[str]) -> None:
    for var, valor in ambiente.items():
        sem_credenciais.setenv(var, valor)
    pdf = RAIZ / "examples" / "contratos" / "01_servicos.pdf"
    assert cli.main(["verificar", str(pdf), "--provider", provider]) == 3
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.rstrip("\n").endswith(esperado)


@pytest.mark.parametrize("argv, esperado", [
    (["verificar"], "faltam argumentos obrigatórios: ARQUIVO.pdf"),
    (["xyz"], "valor inválido: 'xyz' (escolha entre"),
    (["demo", "--bla"], "argumentos não reconhecidos: --bla"),
    (["verificar", "a.pdf", "--model"], "argumento --model: espera um valor"),
    (["verificar", "a.pdf", "--jobs", "x"], "valor inválido (int): 'x'"),
])
def test_erros_do_argparse_em_portugues(argv: List[str], esperado: str, capsys: pytest.CaptureFixture[str]) -> None:
    assert cli.main(argv) == 3
    err = capsys.readouterr().err
    assert err.startswith("lexaro-contract: ") and esperado in err and err.count("\n") == 1


def _parsers(p: argparse.ArgumentParser) -> Iterator[argparse.ArgumentParser]:
    yield p
    for acao in p._actions:
        if isinstance(acao, argparse._SubParsersAction):
            for sub in dict.fromkeys(acao.choices.values()):
                yield from _parsers(sub)


def test_ajuda_em_portugues_e_cada_opcao_com_sua_linha(capsys: pytest.CaptureFixture[str]) -> None:
    for p in _parsers(cli.montar_parser()):
        sem_ajuda = [a.dest for a in p._actions if not a.help and not isinstance(a, argparse._SubParsersAction)]
        assert sem_ajuda == [], p.prog
        ajuda = p.format_help()
        assert ajuda.startswith("uso: ") and "opções:" in ajuda, ajuda
        for ingles in ("usage", "show this help", "options:", "positional arguments", "arguments:\n"):
            assert ingles not in ajuda, (p.prog, ingles)
    # the translation is only ours: a plain ArgumentParser still speaks English
    assert argparse.ArgumentParser(prog="x").format_usage().startswith("usage: ")


def test_versao_vem_do_pyproject(capsys: pytest.CaptureFixture[str]) -> None:
    versao = re.search(r'(?m)^version = "([^"]+)"', (RAIZ / "pyproject.toml").read_text(encoding="utf-8"))
    assert versao and lexaro_contract.__version__ == versao.group(1)
    with pytest.raises(SystemExit) as fim:
        cli.main(["--version"])
    assert fim.value.code == 0
    assert capsys.readouterr().out == f"lexaro-contract {versao.group(1)}\n"
