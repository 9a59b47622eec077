"""The local reader on hostile text: every reader linear on any text, bounded
answers on bad PDFs, the engine's own errors only, nothing silent."""

import os
import subprocess
import sys
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

import lexaro
from contract_pdfs import long_contract_text
from corpus_local import pdf_uma_pagina
from lexaro.folding import fold, fold_reference
from lexaro.providers.local import _analisar_cache, analisar
from lexaro.providers.local import dados, empresas, signatarios, texto
from lexaro_contract.keywords import normalizar_texto
from lexaro_contract.models import ExtracaoAssinaturas, ExtracaoDadosContrato, ExtracaoEmpresas

# A hang detector, not a speed target (that is benchmarks/bench_local_corpus.py):
# every reader takes milliseconds here; a pattern that backtracks on a run of
# 100,000 characters takes minutes.
LIMITE_S = 5.0
N = 100_000
CONTEXTOS = (
    "CONTRATO\nALFA LTDA{}x\n",
    "BETA S.A., inscrita no CNPJ{}sob o nº{}, com sede na{}, neste ato representada por{},",
    "_____ _____\n{}\nTestemunhas:{}Nome:{}\nAssinado digitalmente por{}, CPF{}\nSignatário:{}|\nICP-Brasil",
    "doravante denominada{}CONTRATANTE; tem por objeto{}. R${}. vigorará{}. foro da{}.",
)
CORRIDAS = {"tabulações": "\t", "linhas": " \n", "dígitos": "7", "maiúsculas": "A", "nomes": "JOÃO "}


def _leitores(t):
    duras = set(texto.quebras_duras(t))
    emp = empresas.extrair_empresas(t, duras)
    return {
        "texto": lambda: texto.preparar(t),
        "empresas": lambda: empresas.extrair_empresas(t, duras),
        "signatarios": lambda: signatarios.extrair_assinaturas(t, emp, []),
        "dados": lambda: dados.extrair_dados(t),
        "analisar": lambda: (_analisar_cache.cache_clear(), analisar(t)),
    }


def _medir(corrida):
    """Runs every reader on the text of one kind of run; prints the slowest time (child process)."""
    run = CORRIDAS[corrida] * (N // len(CORRIDAS[corrida]))
    t = "".join(c.replace("{}", run) for c in CONTEXTOS)
    pior = 0.0
    for leitor in _leitores(t).values():
        t0 = time.perf_counter()
        leitor()
        pior = max(pior, time.perf_counter() - t0)
    print(pior)


@pytest.mark.parametrize("corrida", sorted(CORRIDAS))
def test_every_reader_is_linear_on_long_runs(corrida):
    # in a child process: a backtracking pattern cannot be interrupted, so it is killed
    codigo = f"import test_local_limites as t; t._medir({corrida!r})"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    try:
        r = subprocess.run([sys.executable, "-c", codigo], capture_output=True, text=True, env=env,
                           timeout=4 * LIMITE_S)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{corrida}: a reader did not finish in {4 * LIMITE_S:.0f} s")
    assert r.returncode == 0, r.stderr
    assert float(r.stdout) < LIMITE_S, corrida


def _motor(verbose=False):
    client = lexaro.Lexaro(provider="local", verbose=verbose)
    for qid, modelo in (("empresas", ExtracaoEmpresas), ("assinaturas", ExtracaoAssinaturas),
                        ("dados_contrato", ExtracaoDadosContrato)):
        client.add_question(lexaro.Question(config=lexaro.QuestionConfig(id=qid), system_prompt="",
                                            user_prompt="{texto}", keywords=[], response_model=modelo))
    return client


def _linhas_de_um_mega():
    linhas, n = [], 0
    for linha in (long_contract_text(1) * 500).split("\n"):
        if linha:
            linhas.append(linha)
            n += len(linha)
        if n > 1_000_000:
            return linhas
    return linhas


def _pagina_de_2000_linhas():
    out = []
    for i in range(500):
        out += ["_" * 30, f"PESSOA {chr(65 + i % 26)}{chr(65 + i // 26)} DA SILVA", "Diretor", f"EMPRESA {i} LTDA."]
    return out


@pytest.mark.parametrize("caso, linhas, tamanho, entrelinha, signatarios_esperados", [
    ("sem parte", ["Ata da reunião do condomínio. Presentes os moradores do bloco B."] * 30, 10, 12, 0),
    ("as tabulações da sondagem", ["CONTRATO", "ALFA LTDA" + "\t" * 8000 + "x"], 10, 12, 0),
    ("1 MB numa página", _linhas_de_um_mega(), 0.5, 0.1, 4),
    ("2000 linhas de assinatura", _pagina_de_2000_linhas(), 0.3, 0.4, 500),
])
def test_bad_pdfs_get_bounded_answers_or_the_engines_error(caso, linhas, tamanho, entrelinha,
                                                           signatarios_esperados, tmp_path):
    pdf = pdf_uma_pagina(tmp_path / "ruim.pdf", linhas, tamanho, entrelinha)
    _analisar_cache.cache_clear()
    t0 = time.perf_counter()
    try:
        doc = _motor().process(str(pdf))
    except lexaro.LexaroError:
        return  # a limit of the PDF reader: the engine's own error is a valid answer
    assert time.perf_counter() - t0 < 4 * LIMITE_S, caso
    assert len(doc.get_result("assinaturas").raw_result["assinaturas"]) == signatarios_esperados
    if caso == "sem parte":
        assert doc.get_result("empresas").raw_result == {"empresas": []}


def test_nothing_is_silent_in_verbose_mode(tmp_path, capsys):
    from contract_pdfs import make_contract_pdf
    from corpus_local import carregar

    contratos = {c.nome: c for c in carregar(False)}
    pdf = make_contract_pdf(tmp_path / "a.pdf", contratos["29_parte_sem_signatario"].texto)
    _motor(verbose=True).process(str(pdf))
    assert "Nenhum signatário encontrado para a parte PETRÓPOLIS ÓLEO E GÁS S.A. (CNPJ 35.212.865/0001-07)" \
        in capsys.readouterr().out
    pdf = make_contract_pdf(tmp_path / "b.pdf", contratos["32_bloco_sem_empresa"].texto)
    doc = _motor(verbose=True).process(str(pdf))
    out = capsys.readouterr().out
    assert "Assinatura sem empresa identificada: WALTER UAKARI FONTOURA" in out
    assert "Assinatura sem empresa identificada: XÊNIA VOLTOLINI SECCO" in out
    # the answer carries what was found
    nomes = [a["nome_signatario"] for a in doc.get_result("assinaturas").raw_result["assinaturas"]]
    assert nomes == ["WALTER UAKARI FONTOURA", "XÊNIA VOLTOLINI SECCO"]
    pdf = make_contract_pdf(tmp_path / "c.pdf", contratos["15_pessoa_fisica_parte"].texto)
    doc = _motor(verbose=True).process(str(pdf))
    assert "Parte pessoa física (assina por si, sem empresa): MAURÍCIO DE ALMEIDA PRADO" in capsys.readouterr().out
    assert doc.get_result("assinaturas").raw_result["assinaturas"][-1]["tipo_assinatura"] == "parte (pessoa física)"
    _motor(verbose=False).process(str(pdf))
    assert capsys.readouterr().out == ""


_LINHAS_SEM_PESSOA = ["Diretor Presidente", "Sócia Administradora", "CONTRATANTE", "Pela CONTRATADA:", "Nome:",
                      "ALFA SERVIÇOS LTDA.", "BETA COMÉRCIO S/A", "Procurador", "Testemunhas:", "CPF: 123.456.789-09",
                      "LEME EQUIPAMENTOS SLU", "Cargo: Diretor", "Representante Legal", "Assinatura", "Por:"]


@given(st.lists(st.one_of(st.sampled_from(_LINHAS_SEM_PESSOA), st.just("_" * 20)), max_size=25))
def test_roles_companies_and_labels_are_never_people(linhas):
    a = analisar("ALFA SERVIÇOS LTDA., inscrita no CNPJ sob o nº 12.345.678/0001-99.\n" + "\n".join(linhas))
    assert a.assinaturas == []


@given(st.text())
def test_folding_is_the_definition_and_equals_the_packages(s):
    assert fold(s) == fold_reference(s) == normalizar_texto(s)


def test_the_engine_does_not_import_the_application_and_keeps_one_copy_of_its_constants():
    codigo = (
        "import sys, lexaro, lexaro.providers.local, lexaro.providers.openai_provider as o, lexaro.client as c\n"
        "import lexaro.constantes as k\n"
        "assert not [m for m in sys.modules if m.startswith('lexaro_contract')], sys.modules\n"
        "assert c.PROVIDERS is k.PROVIDERS and c.DEFAULT_MODEL is k.DEFAULT_MODEL\n"
        "assert o.DEFAULT_AZURE_API_VERSION is k.DEFAULT_AZURE_API_VERSION\n"
        "from lexaro.providers.local import texto\n"
        "assert texto.CNPJ_RE is k.CNPJ_RE\n"
    )
    r = subprocess.run([sys.executable, "-c", codigo], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
