import json
import os
import shutil
import socket
from pathlib import Path

import pytest

from lexaro_contract import cli, registro

EXEMPLOS = Path(__file__).resolve().parents[2] / "examples"
PDFS = sorted((EXEMPLOS / "contratos").glob("*.pdf"))
ESPERADO = {"01_servicos.pdf": "APROVADO", "02_fornecimento.pdf": "REPROVADO", "03_locacao.pdf": "PENDENTE"}


@pytest.fixture
def porta_fechada():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_example_pdfs_hold_their_text_sources():
    import pypdfium2

    assert [p.name for p in PDFS] == list(ESPERADO)
    for pdf in PDFS:
        doc = pypdfium2.PdfDocument(str(pdf))
        try:
            texto = " ".join(doc[i].get_textpage().get_text_range() for i in range(len(doc)))
        finally:
            doc.close()
        fonte = pdf.with_suffix(".txt").read_text(encoding="utf-8")
        assert texto.split() == fonte.split()


def test_demo_shows_the_three_verdicts(capsys):
    assert cli.main(["demo", "--quiet"]) == 0
    out = capsys.readouterr().out
    for nome, veredito in ESPERADO.items():
        assert f"{veredito:10} {nome}" in out


@pytest.mark.parametrize("pdf", PDFS, ids=lambda p: p.stem)
def test_verificar_json_and_exit_status(pdf, registro_de_exemplo, capsys):
    codigo = cli.main(["verificar", str(pdf), "--json"])
    resultado = json.loads(capsys.readouterr().out)
    assert resultado["resultado_final"] == ESPERADO[pdf.name]
    assert codigo == {"APROVADO": 0, "REPROVADO": 1, "PENDENTE": 2}[ESPERADO[pdf.name]]
    assert list(resultado)[:2] == ["resultado_final", "justificativa"]


def test_single_file_prints_the_report(registro_de_exemplo, capsys):
    assert cli.main(["verificar", str(PDFS[0])]) == 0
    out = capsys.readouterr().out
    assert "RESULTADO FINAL: APROVADO" in out and "📄 Arquivo: 01_servicos.pdf" in out


def test_quiet_prints_only_the_verdict(registro_de_exemplo, capsys):
    cli.main(["verificar", str(PDFS[1]), "--quiet"])
    linhas = capsys.readouterr().out.splitlines()
    assert len(linhas) == 1 and linhas[0].startswith(f"{PDFS[1]}: REPROVADO — ")


def test_batch_records_every_file_and_resumes(registro_de_exemplo, tmp_path, capsys):
    texto = tmp_path / "nao_pdf.pdf"
    texto.write_text("isto não é um PDF", encoding="utf-8")
    arquivos = [str(p) for p in PDFS] + [str(tmp_path / "falta.pdf"), str(tmp_path), str(texto)]
    saida = tmp_path / "resultados.jsonl"
    assert cli.main(["verificar", *arquivos, "--saida", str(saida), "--quiet"]) == 3
    registros = [json.loads(l) for l in saida.read_text(encoding="utf-8").splitlines()]
    assert [r["arquivo"] for r in registros] == arquivos
    assert [r["resultado"]["resultado_final"] for r in registros[:3]] == list(ESPERADO.values())
    assert "Arquivo não encontrado" in registros[3]["erro"]
    assert "diretório" in registros[4]["erro"]
    assert "erro" in registros[5]
    err = capsys.readouterr().err
    assert "Traceback" not in err and "falta.pdf" in err

    # An interrupted batch: a half-written last line, then a rerun.
    with open(saida, "a", encoding="utf-8") as f:
        f.write('{"arquivo": "corta\u00e7\u00e3o')
    novo = tmp_path / "novo.pdf"
    shutil.copy(PDFS[0], novo)
    assert cli.main(["verificar", *arquivos, str(novo), "--saida", str(saida), "--retomar", "--quiet"]) == 3
    linhas = saida.read_text(encoding="utf-8").splitlines()
    # One record per file: the cut line is gone, each retried error replaced in place.
    assert len(linhas) == 6 + 1
    novos = [json.loads(l) for l in linhas]
    assert novos[:3] == registros[:3]
    # Files with a verdict are skipped; those that failed are tried again.
    assert [r["arquivo"] for r in novos] == arquivos + [str(novo)]
    assert [r["tipo_erro"] for r in novos[3:6]] == ["arquivo", "arquivo", "pdf"]
    assert novos[-1]["resultado"]["resultado_final"] == "APROVADO"


def test_resuming_from_another_folder_skips_the_files_done(registro_de_exemplo, tmp_path, monkeypatch):
    (tmp_path / "contratos").mkdir()
    shutil.copy(PDFS[0], tmp_path / "contratos" / "a.pdf")
    saida = tmp_path / "r.jsonl"
    monkeypatch.chdir(tmp_path / "contratos")
    assert cli.main(["verificar", "a.pdf", "--saida", str(saida), "--quiet"]) == 0
    monkeypatch.chdir(tmp_path)
    assert cli.main(["verificar", "contratos/a.pdf", "--saida", str(saida), "--retomar", "--quiet"]) == 0
    assert [json.loads(l)["arquivo"] for l in saida.read_text(encoding="utf-8").splitlines()] == ["a.pdf"]


def test_output_through_a_link_cut_at_its_start_beside_a_stale_rewrite(tmp_path):
    alvo = tmp_path / "resultados" / "r.jsonl"
    alvo.parent.mkdir()
    alvo.write_bytes(b'{"arqu')  # cut before the first field's name ends
    link = tmp_path / "r.jsonl"
    link.symlink_to(alvo)
    # Rewrites killed midway: one by a process that is gone, one by a process alive.
    abandonado, vivo = (alvo.with_name(f".r.jsonl.{pid}.tmp") for pid in (2**22 + 1, os.getppid()))
    abandonado.write_bytes(b"")
    vivo.write_bytes(b"")
    falta = str(tmp_path / "falta.pdf")
    argv = ["verificar", falta, "--saida", str(link), "--provider", "local", "--sem-checagem-registro", "--quiet"]
    # The error is tried again and replaced: the output is rewritten, through the link.
    assert cli.main(argv) == 3 and cli.main(argv + ["--retomar"]) == 3
    assert link.is_symlink() and [json.loads(l)["arquivo"] for l in alvo.read_text(encoding="utf-8").splitlines()] == [falta]
    assert not abandonado.exists() and vivo.exists()


def test_parallel_jobs(registro_de_exemplo, tmp_path):
    saida = tmp_path / "r.jsonl"
    assert cli.main(["verificar", *map(str, PDFS), "--jobs", "2", "--saida", str(saida), "--quiet"]) == 1
    registros = {Path(json.loads(l)["arquivo"]).name: json.loads(l)
                 for l in saida.read_text(encoding="utf-8").splitlines()}
    assert {n: r["resultado"]["resultado_final"] for n, r in registros.items()} == ESPERADO


def test_unreachable_registry_stops_before_verifying(apontar_registro, porta_fechada, monkeypatch, capsys):
    apontar_registro(f"http://127.0.0.1:{porta_fechada}")
    monkeypatch.setenv("LEXARO_PROVIDER", "local")
    assert cli.main(["verificar", str(PDFS[0])]) == 3
    err = capsys.readouterr().err
    assert "nenhum serviço de registro respondeu" in err and len(err.splitlines()) == 1
    # Skipping the check: an outage is an error naming the services, not a rejection.
    assert cli.main(["verificar", str(PDFS[0]), "--sem-checagem-registro", "--quiet"]) == 3
    out, err = capsys.readouterr()
    assert out == "" and err.count("registro indisponível durante a verificação: BrasilAPI: sem conexão") == 1


@pytest.mark.parametrize("argv, trecho", [
    ([], "comando"),
    (["verificar"], "ARQUIVO"),
    (["verificar", "x.pdf", "--jobs", "0"], "--jobs"),
    (["verificar", "x.pdf", "--retomar"], "--saida"),
    (["verificar", "x.pdf", "--provider", "outro"], "provider"),
])
def test_usage_errors(argv, trecho, capsys):
    assert cli.main(argv) == 3
    err = capsys.readouterr().err
    assert trecho in err and "Traceback" not in err


def test_no_arguments_show_the_usage_and_the_commands(capsys):
    assert cli.main([]) == 3
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("uso: lexaro-contract")
    assert all(f"    {comando} " in err for comando in ("verificar", "registro", "demo"))
    assert err.splitlines()[-1] == "lexaro-contract: faltam argumentos obrigatórios: comando"


def test_missing_credentials(monkeypatch, capsys):
    for var in ("OPENAI_API_KEY", "AZURE_API_KEY", "AZURE_API_ENDPOINT", "AZURE_DEPLOYMENT_NAME", "LEXARO_PROVIDER"):
        monkeypatch.delenv(var, raising=False)
    assert cli.main(["verificar", str(PDFS[0]), "--provider", "openai"]) == 3
    assert "OPENAI_API_KEY" in capsys.readouterr().err


@pytest.mark.parametrize("saida", [[], ["--json"], ["-q"]])
def test_an_unusable_azure_endpoint_is_one_line(monkeypatch, capsys, saida):
    monkeypatch.setenv("AZURE_API_KEY", "az-chave-1234")
    monkeypatch.setenv("AZURE_API_ENDPOINT", "https://...")
    monkeypatch.setenv("AZURE_DEPLOYMENT_NAME", "gpt-4o")
    assert cli.main(["verificar", str(PDFS[0]), "--provider", "azure", "--sem-checagem-registro", *saida]) == 3
    capturado = capsys.readouterr()
    assert capturado.out == ""
    assert capturado.err == "lexaro-contract: AZURE_API_ENDPOINT não é um endereço utilizável: 'https://...'\n"


def test_registro_servir_command(porta_fechada):
    import subprocess
    import sys

    import requests

    proc = subprocess.Popen(
        [sys.executable, "-m", "lexaro_contract", "registro", "servir", "--dados", str(EXEMPLOS / "registro"),
         "--porta", str(porta_fechada)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, encoding="utf-8")
    try:
        primeira = proc.stdout.readline()
        assert primeira.startswith(f"Registro local em http://127.0.0.1:{porta_fechada} (4 empresas)")
        r = requests.get(f"http://127.0.0.1:{porta_fechada}/api/cnpj/v1/40506070000130", timeout=5)
        assert r.json()["razao_social"] == "DELTA EMPREENDIMENTOS IMOBILIARIOS LTDA"
    finally:
        proc.terminate()
        proc.communicate(timeout=10)


def test_registro_servir_with_a_bad_directory(tmp_path, capsys):
    assert cli.main(["registro", "servir", "--dados", str(tmp_path / "nada")]) == 3
    assert "Diretório de dados não encontrado" in capsys.readouterr().err


def test_records_carry_the_evidence_beside_the_result(registro_de_exemplo, tmp_path, capsys):
    saida = tmp_path / "r.jsonl"
    assert cli.main(["verificar", str(PDFS[0]), "--quiet", "--saida", str(saida)]) == 0
    capsys.readouterr()
    (gravado,) = [json.loads(linha) for linha in saida.read_text(encoding="utf-8").splitlines()]
    assert cli.main(["verificar", str(PDFS[0]), "--json"]) == 0
    impresso = json.loads(capsys.readouterr().out)
    assert impresso["evidencias"] == gravado["evidencias"] and "evidencias" not in gravado["resultado"]
    cnpjs = {e["cnpj"] for e in gravado["evidencias"]["empresas"]}
    assert cnpjs == {e["cnpj"] for e in gravado["resultado"]["empresas"]}
    for entrada in gravado["evidencias"]["empresas"] + gravado["evidencias"]["signatarios"]:
        assert entrada["localizado"] and entrada["onde"]
        for onde in entrada["onde"]:
            x0, y0, x1, y1 = onde["retangulo"]
            assert onde["pagina"] >= 1 and 0 <= x0 < x1 and 0 <= y0 < y1 and onde["linha"]
