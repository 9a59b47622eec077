"""The type stubs of the compiled modules agree with the binaries.

mypy's stubtest compares each stub with the module it describes (names,
parameter names, kinds and defaults); it leaves private names that the stub
lacks alone, so the names of the module and of its class are compared here
too. The stubs are copied out of the imported package (installed or the
source tree) so that mypy reads exactly those files.
"""

from __future__ import annotations

import ast
import importlib
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Callable, Dict, Iterator, List, Set

import pytest

import lexaro_contract

MODULOS = ["checker", "cnpj", "keywords", "_dados_abertos"]
PACOTE = Path(lexaro_contract.__file__).resolve().parent
RAIZ = Path(__file__).resolve().parents[2]


def _copiar_pacote(destino: Path) -> Path:
    alvo = destino / "lexaro_contract"
    alvo.mkdir(parents=True)
    for f in PACOTE.iterdir():
        if f.suffix in (".py", ".pyi") or f.name == "py.typed":
            shutil.copy(f, alvo / f.name)
    return alvo


def _stubtest(raiz: Path) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy.stubtest")
    env = dict(os.environ, MYPYPATH=str(raiz), MYPY_CACHE_DIR=str(raiz / ".cache"),
               PYTHONPATH=str(PACOTE.parent))
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--concise", *(f"lexaro_contract.{m}" for m in MODULOS)],
        env=env, capture_output=True, text=True, timeout=300)


def test_stubtest_sem_diferencas(tmp_path: Path) -> None:
    _copiar_pacote(tmp_path)
    r = _stubtest(tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_stubtest_acusa_parametro_renomeado_padrao_trocado_e_nome_faltando(tmp_path: Path) -> None:
    alvo = _copiar_pacote(tmp_path)
    trocas = {
        "cnpj.pyi": ("nome_empresa: str", "nome: str"),
        "checker.pyi": ('model: str = "gpt-4o"', 'model: str = "gpt-4"'),
        "keywords.pyi": ("MIN_KEYWORDS: int\n", ""),
    }
    for arquivo, (antes, depois) in trocas.items():
        texto = (alvo / arquivo).read_text(encoding="utf-8")
        assert antes in texto
        (alvo / arquivo).write_text(texto.replace(antes, depois), encoding="utf-8")
    saida = _stubtest(tmp_path).stdout
    assert 'buscar_cnpj_por_nome is inconsistent, stub parameter "nome"' in saida
    assert "ContractChecker.__init__ is inconsistent" in saida and "'gpt-4o'" in saida
    assert "MIN_KEYWORDS is not present in stub" in saida


def _nomes_do_stub(arquivo: Path) -> Dict[str, Set[str]]:
    """Top-level names of a stub (key "") and the members of each class."""
    arvore = ast.parse(arquivo.read_text(encoding="utf-8"))
    nomes: Dict[str, Set[str]] = {"": set()}
    for no in arvore.body:
        if isinstance(no, (ast.Import, ast.ImportFrom)):
            # Only `import x as x` re-exports a name from a stub.
            nomes[""].update(a.asname for a in no.names if a.asname and a.asname == a.name.split(".")[-1])
        elif isinstance(no, (ast.FunctionDef, ast.ClassDef)):
            nomes[""].add(no.name)
            if isinstance(no, ast.ClassDef):
                nomes[no.name] = {m.name for m in no.body if isinstance(m, ast.FunctionDef)}
                nomes[no.name] |= {m.target.id for m in no.body
                                   if isinstance(m, ast.AnnAssign) and isinstance(m.target, ast.Name)}
        elif isinstance(no, ast.AnnAssign) and isinstance(no.target, ast.Name):
            nomes[""].add(no.target.id)
    return nomes


@pytest.mark.parametrize("modulo", MODULOS)
def test_stub_declara_cada_nome_do_modulo_e_da_classe(modulo: str) -> None:
    mod = importlib.import_module(f"lexaro_contract.{modulo}")
    stub = _nomes_do_stub(PACOTE / f"{modulo}.pyi")
    em_tempo_de_execucao = {n for n in vars(mod) if not (n.startswith("__") and n.endswith("__"))}
    assert stub[""] == em_tempo_de_execucao
    for classe, membros in stub.items():
        if not classe:
            continue
        definidos = {n for n in vars(getattr(mod, classe))
                     if not (n.startswith("__") and n.endswith("__")) or n == "__init__"}
        instancia = getattr(mod, classe)(provider="local", verbose=False)
        assert membros == definidos | set(vars(instancia))


@pytest.fixture
def registro_de_exemplo(apontar_registro: Callable[[str], None]) -> Iterator[str]:
    from lexaro_contract import registro

    servidor, base = registro.iniciar_em_segundo_plano(RAIZ / "examples" / "registro")
    apontar_registro(base)
    yield base
    servidor.shutdown()
    servidor.server_close()


def test_typeddicts_tem_as_chaves_e_a_ordem_dos_resultados(registro_de_exemplo: str) -> None:
    from lexaro_contract import checker, cnpj, tipos

    def chaves(td: type) -> List[str]:
        return list(td.__annotations__)

    registro = cnpj.consultar_cnpj("10.203.040/0001-94")
    assert registro is not None and list(registro) == chaves(tipos.RegistroReceita)
    assert list(registro["endereco"]) == chaves(tipos.EnderecoReceita)
    assert registro["socios"] and all(list(s) == chaves(tipos.SocioReceita) for s in registro["socios"])
    ws = cnpj._consultar_receita_ws("10.203.040/0001-94")
    assert ws is not None and list(ws) == chaves(tipos.RegistroReceita)
    por_nome = cnpj.buscar_cnpj_por_nome("ALFA SERVIÇOS DE TECNOLOGIA")
    assert por_nome is not None and list(por_nome) == chaves(tipos.RegistroBuscaPorNome)
    completo = cnpj.buscar_empresa_completo(nome="ALFA SERVIÇOS DE TECNOLOGIA")
    assert completo is not None
    assert tipos.RegistroBuscaCompleta.__required_keys__ <= set(completo) <= set(chaves(tipos.RegistroBuscaCompleta))

    verificador = checker.ContractChecker(provider="local", verbose=False)
    pdf = RAIZ / "examples" / "contratos" / "01_servicos.pdf"
    resultado = verificador.verificar(pdf)
    assert list(resultado) == chaves(tipos.ResultadoVerificacao)
    assert "metricas" in resultado and list(resultado["metricas"]) == chaves(tipos.Metricas)
    sem_motor = checker.ContractChecker(provider="local", verbose=False)
    sem_motor._lexaro_available = False
    assert list(sem_motor.verificar(pdf)) == chaves(tipos.ResultadoSemExtracao)
