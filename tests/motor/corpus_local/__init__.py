"""Corpus of invented contracts for the local reader, with a careful reader's answers.

Each contract is ``NN_name.txt`` (the text; a line starting with ``\\f`` starts
a new page) beside ``NN_name.json``, the answer written by hand from the
text alone:

- ``empresas``: the parties that are companies (``cnpj``, ``razao_social``,
  ``papel``);
- ``signatarios``: each person who signs (``nome``; ``empresa``, the CNPJ of
  the company signed for, or null when the text does not say or the person
  signs for themself; ``tipo``: representante, procurador, testemunha, parte
  or digital);
- ``sem_signatario``: CNPJs of parties that nobody signs for (optional);
- ``veredito``: the verdict that the checker must reach against ``registro``;
- ``registro``: the registry's records of the companies, in a short form
  that `registro_brasilapi` expands into the BrasilAPI shape.

``reservados/`` holds contracts written after the rules were done, kept as an
untuned check. All names, numbers and addresses are invented.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence

from lexaro.folding import fold

from contract_pdfs import pagina_com_fluxo, texto_pdf

PASTA = Path(__file__).resolve().parent
RESERVADOS = PASTA / "reservados"


@dataclass
class Contrato:
    nome: str
    texto: str
    esperado: Dict[str, Any]
    reservado: bool


def _ler(pasta: Path, reservado: bool) -> List[Contrato]:
    out = []
    for txt in sorted(pasta.glob("*.txt")):
        texto = txt.read_text(encoding="utf-8").replace("\n\\f", "\n\f")
        esperado = json.loads(txt.with_suffix(".json").read_text(encoding="utf-8"))
        out.append(Contrato(txt.stem, texto, esperado, reservado))
    return out


def carregar(reservados: Optional[bool] = None) -> List[Contrato]:
    """The contracts: tuned ones (False), held-out ones (True) or all (None)."""
    out: List[Contrato] = []
    if reservados in (None, False):
        out += _ler(PASTA, False)
    if reservados in (None, True) and RESERVADOS.is_dir():
        out += _ler(RESERVADOS, True)
    return out


def chave_cnpj(s: Optional[str]) -> str:
    return "".join(c for c in (s or "").upper() if c.isascii() and c.isalnum())


def _alnum(s: Optional[str]) -> str:
    return "".join(c for c in fold(s or "") if c.isalnum())


def chave_nome(s: Optional[str]) -> str:
    return " ".join(fold(s or "").split())


def registro_brasilapi(r: Dict[str, Any]) -> Dict[str, Any]:
    """The BrasilAPI record of a short registry entry."""
    tipo, logradouro, numero, complemento, bairro, municipio, uf, cep = r["endereco"]
    qsa = []
    for s in r["socios"]:
        nome, qual = s[0], s[1]
        rep, qual_rep = (s[2], s[3]) if len(s) > 2 else ("", None)
        pj = any(w in nome for w in ("LTDA", "S.A.", "S/A"))
        qsa.append({
            "identificador_de_socio": 1 if pj else 2, "nome_socio": nome,
            "cnpj_cpf_do_socio": "00000000000100" if pj else "***123456**", "codigo_qualificacao_socio": 49,
            "qualificacao_socio": qual, "data_entrada_sociedade": "2018-04-02", "codigo_pais": None, "pais": None,
            "cpf_representante_legal": "***654321**" if rep else "***000000**", "nome_representante_legal": rep,
            "codigo_qualificacao_representante_legal": 5 if rep else 0, "qualificacao_representante_legal": qual_rep,
            "codigo_faixa_etaria": 5, "faixa_etaria": "Entre 41 a 50 anos",
        })
    situacao = r.get("situacao", "ATIVA")
    return {
        "cnpj": r["cnpj"], "razao_social": r["razao_social"], "nome_fantasia": r.get("nome_fantasia", ""),
        "natureza_juridica": "Sociedade Empresária Limitada", "codigo_natureza_juridica": 2062,
        "descricao_situacao_cadastral": situacao, "situacao_cadastral": 2 if situacao == "ATIVA" else 8,
        "data_situacao_cadastral": "2018-04-02", "data_inicio_atividade": "2018-04-02",
        "descricao_tipo_de_logradouro": tipo, "logradouro": logradouro, "numero": numero, "complemento": complemento,
        "bairro": bairro, "municipio": municipio, "codigo_municipio_ibge": None, "uf": uf, "cep": cep, "email": None,
        "ddd_telefone_1": "", "porte": "DEMAIS", "capital_social": 100000, "qsa": qsa,
    }


def escrever_registro(contratos: Sequence[Contrato], pasta: Path) -> None:
    """One data file per contract, in the folder the registry server reads."""
    for c in contratos:
        recs = [registro_brasilapi(r) for r in c.esperado["registro"]]
        (Path(pasta) / f"{c.nome}.json").write_text(json.dumps(recs, ensure_ascii=False), encoding="utf-8")


@dataclass
class Placar:
    """What the reader found in one contract against the careful reader's answer."""

    cnpjs: int = 0
    cnpjs_achados: int = 0
    cnpjs_extras: int = 0
    nomes: int = 0
    nomes_achados: int = 0
    nomes_extras: int = 0
    vinculos: int = 0
    vinculos_certos: int = 0
    veredito: str = ""
    veredito_obtido: str = ""
    faltas: Optional[List[str]] = None

    @property
    def perfeito(self) -> bool:
        return (self.cnpjs_achados == self.cnpjs and self.nomes_achados == self.nomes and not self.cnpjs_extras
                and not self.nomes_extras and self.vinculos_certos == self.vinculos
                and self.veredito == self.veredito_obtido)


def _eh_testemunha(a: Dict[str, Any]) -> bool:
    return any("testemunha" in fold(a.get(k) or "") for k in ("tipo_assinatura", "cargo"))


def pontuar(contrato: Contrato, empresas: List[Dict[str, Any]], assinaturas: List[Dict[str, Any]],
            veredito_obtido: str = "") -> Placar:
    esp = contrato.esperado
    p = Placar(veredito=esp["veredito"], veredito_obtido=veredito_obtido, faltas=[])
    assert p.faltas is not None
    # a CNPJ counts as found with the company's own name beside it
    razao_esp = {chave_cnpj(e["cnpj"]): _alnum(e["razao_social"]) for e in esp["empresas"]}
    cn_esp = set(razao_esp)
    cn_ach = {chave_cnpj(e.get("cnpj")) for e in empresas if e.get("cnpj")}
    cn_ach = {c for c in cn_ach if c not in razao_esp or any(
        chave_cnpj(e.get("cnpj")) == c and _alnum(e.get("razao_social")) == razao_esp[c] for e in empresas)}
    p.cnpjs, p.cnpjs_achados, p.cnpjs_extras = len(cn_esp), len(cn_esp & cn_ach), len(cn_ach - cn_esp)
    p.faltas += [f"CNPJ {c}" for c in sorted(cn_esp - cn_ach)] + [f"CNPJ a mais {c}" for c in sorted(cn_ach - cn_esp)]
    razoes = {chave_cnpj(e["cnpj"]): chave_nome(e["razao_social"]) for e in esp["empresas"]}
    nm_esp = {chave_nome(s["nome"]) for s in esp["signatarios"]}
    nm_ach = {chave_nome(a.get("nome_signatario")) for a in assinaturas}
    p.nomes, p.nomes_achados, p.nomes_extras = len(nm_esp), len(nm_esp & nm_ach), len(nm_ach - nm_esp)
    p.faltas += [f"nome {n}" for n in sorted(nm_esp - nm_ach)] + [f"nome a mais {n}" for n in sorted(nm_ach - nm_esp)]
    for s in esp["signatarios"]:
        nome = chave_nome(s["nome"])
        dele = [a for a in assinaturas if chave_nome(a.get("nome_signatario")) == nome]
        if s["tipo"] == "testemunha":
            p.vinculos += 1
            ok = bool(dele) and all(_eh_testemunha(a) for a in dele)
        elif s["empresa"]:
            p.vinculos += 1
            alvo = chave_cnpj(s["empresa"])
            ok = any(not _eh_testemunha(a) and (chave_cnpj(a.get("cnpj_empresa")) == alvo
                                                or chave_nome(a.get("empresa_representada")) == razoes.get(alvo))
                     for a in dele)
        else:
            continue
        p.vinculos_certos += ok
        if not ok:
            p.faltas.append(f"vínculo {nome}")
    return p


def pdf_uma_pagina(path: Path, linhas: Sequence[str], tamanho: float = 1.0, entrelinha: float = 1.2) -> Path:
    """One page holding every line, however many (text operators written by hand)."""
    corpo = "".join(f"({texto_pdf(l)}) Tj T*\n" for l in linhas)
    stream = f"BT /F1 {tamanho} Tf {entrelinha} TL 10 830 Td\n{corpo}ET".encode("latin-1", "replace")
    return pagina_com_fluxo(path, stream)
