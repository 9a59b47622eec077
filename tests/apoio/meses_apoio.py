"""Two registry months for the re-check tests: the example registry as it is
(October) and with chosen changes (November), each a JSON folder."""

import json
from pathlib import Path

REGISTRO = Path(__file__).resolve().parents[2] / "examples" / "registro" / "empresas.json"
ALFA, BETA, GAMA, DELTA = "10203040000194", "20304050000170", "30405060000155", "40506070000130"


def mes_do_registro(pasta, mudar=None):
    """The example registry, changed by `mudar`, written to `pasta`; the folder's path."""
    empresas = {e["cnpj"]: e for e in json.loads(REGISTRO.read_text("utf-8"))}
    if mudar:
        mudar(empresas)
    pasta.mkdir()
    (pasta / "empresas.json").write_text(json.dumps(list(empresas.values())), encoding="utf-8")
    return str(pasta)


def novembro(e):
    """ALFA made INAPTA, a partner of BETA removed and BETA moved, DELTA renamed, GAMA dropped."""
    e[ALFA].update(descricao_situacao_cadastral="INAPTA", situacao_cadastral=4, data_situacao_cadastral="2026-11-03")
    e[BETA]["qsa"] = [q for q in e[BETA]["qsa"] if q["nome_socio"] != "MARIANA COSTA LIMA"]
    e[BETA].update(logradouro="DAS NACOES UNIDAS", numero="12901", bairro="BROOKLIN", municipio="SAO PAULO",
                   uf="SP", cep="04578000")
    e[DELTA]["razao_social"] = "DELTA PARTICIPACOES LTDA"
    del e[GAMA]
