"""Registry months with the example companies: the example registry as it is
(October) and with chosen changes (November), as a JSON folder or as a
generated month of open data with those companies added to it."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any, Dict

from lexaro_contract.registro.banco.codigos import PORTES
from lexaro_contract.registro.dados_abertos.gerador import (MUNICIPIOS, Empresa, Estabelecimento, Socio, gerar,
                                                            linhas_empresa, linhas_estabelecimentos, linhas_socios)

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


def _aaaammdd(iso: Any) -> str:
    return iso.replace("-", "") if iso else "0"


def empresa_de_registro(r: Dict[str, Any]) -> Empresa:
    """A company of the example folder written back as open-data rows."""
    municipio = next(c for c, (nome, uf) in MUNICIPIOS.items() if (nome, uf) == (r["municipio"], r["uf"]))
    porte = next(c for c, d in PORTES.items() if d == r["porte"])
    est = Estabelecimento(
        ordem=int(r["cnpj"][8:12]), dv=r["cnpj"][12:], fantasia=r["nome_fantasia"] or "",
        situacao=r["situacao_cadastral"], data_situacao=_aaaammdd(r["data_situacao_cadastral"]), motivo=0,
        inicio=_aaaammdd(r["data_inicio_atividade"]), cnae=6201501, secundarios=[],
        tipo_logradouro=r["descricao_tipo_de_logradouro"], logradouro=r["logradouro"], numero=r["numero"],
        complemento=r["complemento"], bairro=r["bairro"], cep=r["cep"], uf=r["uf"], municipio=municipio,
        ddd1="", tel1="", ddd2="", tel2="", email="", situacao_especial="", data_situacao_especial="")
    socios = [Socio(identificador=s["identificador_de_socio"], nome=s["nome_socio"], documento=s["cnpj_cpf_do_socio"],
                    qualificacao=s["codigo_qualificacao_socio"], entrada=_aaaammdd(s["data_entrada_sociedade"]),
                    pais=None, cpf_representante=s["cpf_representante_legal"],
                    nome_representante=s["nome_representante_legal"],
                    qualificacao_representante=s["codigo_qualificacao_representante_legal"],
                    faixa=s["codigo_faixa_etaria"]) for s in r["qsa"]]
    capital = f"{r['capital_social']:.2f}".replace(".", ",")
    return Empresa(basico=r["cnpj"][:8], razao=r["razao_social"], natureza=r["codigo_natureza_juridica"],
                   qualificacao_responsavel=49, capital=capital, porte=porte, ente="",
                   estabelecimentos=[est], socios=socios)


def mes_aberto(pasta, n=5, semente=1, mudar=None):
    """A generated month of open data in loose CSVs (`n` companies, `semente`), with the example
    companies, changed by `mudar`, added to its first part; the folder."""
    empresas = {e["cnpj"]: e for e in json.loads(REGISTRO.read_text("utf-8"))}
    if mudar:
        mudar(empresas)
    gerar(pasta, n, semente, zips=False)
    exemplos = [empresa_de_registro(r) for r in empresas.values()]
    for sufixo, linhas in (("EMPRECSV", linhas_empresa), ("ESTABELE", linhas_estabelecimentos),
                           ("SOCIOCSV", linhas_socios)):
        (csv,) = [p for p in pasta.iterdir() if p.name.endswith(sufixo) and "Y0." in p.name]
        with open(csv, "a", encoding="latin-1", newline="") as f:
            f.write("".join(linhas(e) for e in exemplos))
    return pasta
