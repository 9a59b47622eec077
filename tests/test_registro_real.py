"""Real published open-data rows (../shared/real/opendata): every folder imports, every
establishment comes back with its source rows' values."""

import csv
import io
import zipfile
from pathlib import Path

import pytest

from lexaro_contract.registro import Registro
from lexaro_contract.registro.dados_abertos.importador import importar
from lexaro_contract.registro.dados_abertos.leitor import ErroDeImportacao
from lexaro_contract.registro.dados_abertos.pasta_do_mes import familia_do_nome

RAIZ = Path(__file__).resolve().parents[1]
# The public material lies in ../shared/real beside the project (or beside the folder of its worktrees).
REAL = next((p / "shared" / "real" for p in RAIZ.parents if (p / "shared" / "real").is_dir()),
            RAIZ.parent / "shared" / "real") / "opendata"
PASTAS = sorted(p.name for p in REAL.iterdir() if p.is_dir()) if REAL.is_dir() else []


def linhas(pasta, familia):
    for p in sorted(pasta.iterdir()):
        achado = familia_do_nome(p.name)
        if achado is None or achado[0] != familia:
            continue
        if p.suffix.lower() == ".zip":
            with zipfile.ZipFile(p) as z:
                bruto = z.read(z.namelist()[0])
        else:
            bruto = p.read_bytes()
        texto = bruto.decode("latin-1").replace("\x00", "")
        # Text comes back as published, but for the padding at its end
        yield from ([v.rstrip(" ") for v in r] for r in csv.reader(io.StringIO(texto, newline=""), delimiter=";") if r)


@pytest.mark.skipif(not PASTAS, reason="../shared/real/opendata is absent")
@pytest.mark.parametrize("nome", PASTAS)
def test_every_real_folder_imports_and_gives_back_its_rows(nome, tmp_path):
    pasta = REAL / nome
    banco = str(tmp_path / "r.sqlite")
    try:
        importar(pasta, banco, progresso=False)
        parcial = False
    except ErroDeImportacao as e:
        assert "faltam arquivos" in str(e) and "--parcial" in str(e)
        importar(pasta, banco, progresso=False, parcial=True)
        parcial = True
    empresas = {r[0]: r for r in linhas(pasta, "Empresas")}
    estabelecimentos = list(linhas(pasta, "Estabelecimentos"))
    assert estabelecimentos
    with Registro(banco) as reg:
        assert reg.parcial is parcial and reg.info().get("parcial", False) is parcial
        for e in estabelecimentos:
            rec = reg.consultar(e[0] + e[1] + e[2])
            assert rec is not None, e[:3]
            esperado = {
                "nome_fantasia": e[4], "descricao_tipo_de_logradouro": e[13], "logradouro": e[14],
                "numero": e[15], "complemento": e[16], "bairro": e[17], "cep": e[18], "uf": e[19],
                "email": e[27] or None, "situacao_especial": e[28],
                "situacao_cadastral": int(e[5]) if e[5].strip() else None,
                "razao_social": empresas[e[0]][1] if e[0] in empresas else "",
            }
            assert {k: rec[k] for k in esperado} == esperado
