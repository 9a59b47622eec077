"""Electronic-signature pages.

ICP-Brasil certificates "NOME:CPF", "Assinado digitalmente por NOME, CPF ...",
the stamp of the public signing service, and platform reports "Signatário:
NOME | CPF ..." with "Papel: ... – EMPRESA" and "Assinou como
parte/testemunha".
"""

from __future__ import annotations

import re
from typing import Sequence

from ..empresas import Empresa
from ..texto import CPF_RE, UP, fold, parece_pessoa, ws
from .blocos import _Bloco, _empresa_do_bloco
from .pessoas import TIPO_DIGITAL, TIPO_ELETRONICA, Pessoa, _Pessoas

_CERTIFICADO = re.compile(
    rf"(?<![{UP}])(?P<nome>[{UP}][{UP} .'\-]{{2,100}}?)\s?:\s?(?P<doc>[0-9]{{14}}|[0-9]{{11}})(?![0-9])")
_ASSINADO_POR = re.compile(
    r"Assinad[oa]\s(?:(?:digital|eletronica|eletrônica)mente\s|de\sforma\s(?:digital|eletr[ôo]nica)\s)?"
    r"por(?: ?:? |\n)(?P<nome>[^,:;|()\n]{3,120}?)"
    r"(?=\s?(?:[,:;|(\n]|CPF\b|[–—-]\s|em\s[0-9]|$))"
    r"\s?(?:[,:|–—-]\s?)?(?:CPF(?:/M[FE])?\s?(?:n[º°o]\.?\s?)?:?\s?)?(?P<cpf>[0-9]{3}\.?[0-9]{3}\.?[0-9]{3}-?[0-9]{2})?",
    re.I,
)
# the rest of a certificate's "NAME:CPF" on the next line: "por JOÃO DA\nSILVA:12345678901"
_RESTO_CERTIFICADO = re.compile(rf"\s?\n(?P<resto>[{UP}][{UP} .'\-]{{0,60}}?)\s?:\s?(?P<cpf>[0-9]{{11}})(?![0-9])")
_SIGNATARIO = re.compile(
    r"^(?:Signat[áa]rio|Nome do signat[áa]rio|Assinante)\s?:\s?(?P<nome>[^|:\n]{3,120}?)\s?(?:\||$|CPF)", re.I | re.M)
_PAPEL_ELETRONICO = re.compile(r"^Papel\s?:\s?(?P<cargo>[^–—|\n]{2,80}?)(?:\s[–—-]\s(?P<empresa>[^|\n]{3,150}))?$",
                               re.I)
_CARIMBO = re.compile(r"^Documento assinado digitalmente\n(?P<nome>[^\n]{3,120})\n(?:Data|Data/Hora)\b", re.I | re.M)
_ASSINOU_COMO = re.compile(r"Assinou\scomo\s(?P<como>[A-Za-zÀ-ÿ]{3,30})", re.I)


def _digitais(text: str, empresas: Sequence[Empresa], pessoas: _Pessoas) -> None:
    ftext = fold(text)
    if "icp-brasil" in ftext or "icp brasil" in ftext:
        # certificates "NOME:CPF" (e-CPF); "RAZÃO SOCIAL:CNPJ" (e-CNPJ) is the company's, not a person's
        for c in _CERTIFICADO.finditer(text):
            if len(c.group("doc")) != 11:
                continue
            nome = ws(c.group("nome"))
            if not parece_pessoa(nome):
                continue
            existentes = [p for p in pessoas.achar(nome, c.group("doc")) if not p.testemunha]
            if not existentes and pessoas.achar(nome, c.group("doc")):
                continue
            if not existentes:
                pessoas.novo(Pessoa(nome=nome, cpf=c.group("doc"), tipo=TIPO_DIGITAL))
            for p in existentes:
                p.tipo = TIPO_DIGITAL
                p.cpf = p.cpf or c.group("doc")
    if "assinad" in ftext:
        for m in _ASSINADO_POR.finditer(text):
            nome, cpf = ws(m.group("nome")), m.group("cpf")
            cont = _RESTO_CERTIFICADO.match(text, m.end("nome"))
            if cont:
                nome, cpf = ws(nome + " " + cont.group("resto")), cpf or cont.group("cpf")
            if not parece_pessoa(nome):
                continue
            resto = fold(text[m.end():m.end() + 250]).split("assinad")[0]
            testemunha = "testemunha" in resto
            tipo = TIPO_DIGITAL if "icp" in resto or "icp-brasil" in ftext else TIPO_ELETRONICA
            if testemunha:
                pessoas.juntar(nome, None, cpf, None, True)
                continue
            existentes = [p for p in pessoas.achar(nome, cpf) if not p.testemunha]
            if not existentes:
                pessoas.novo(Pessoa(nome=nome, cpf=cpf, tipo=tipo))
            for p in existentes:
                p.tipo, p.cpf = tipo, p.cpf or cpf
    if "documento assinado digitalmente" in ftext:
        # the stamp of the public signing service: the name on the line after, then "Data: ..."
        for m in _CARIMBO.finditer(text):
            nome = ws(m.group("nome"))
            if not parece_pessoa(nome):
                continue
            existentes = [p for p in pessoas.achar(nome, None) if not p.testemunha]
            if not existentes and not pessoas.achar(nome, None):
                pessoas.novo(Pessoa(nome=nome, tipo=TIPO_ELETRONICA))
            for p in existentes:
                p.tipo = TIPO_ELETRONICA
    if "signat" in ftext or "assinante" in ftext:
        linhas = text.split("\n")
        inicio_linha = {}
        pos = 0
        for i, l in enumerate(linhas):
            inicio_linha[pos] = i
            pos += len(l) + 1
        for m in _SIGNATARIO.finditer(text):
            nome = ws(m.group("nome"))
            if not parece_pessoa(nome):
                continue
            i = inicio_linha.get(m.start(), -1)
            registro = [linhas[i]] if i >= 0 else []
            for l in linhas[i + 1:i + 6] if i >= 0 else []:
                if _SIGNATARIO.match(l):
                    break
                registro.append(l)
            cpf = next((c.group() for l in registro for c in [CPF_RE.search(l)] if c), None)
            cargo = emp_txt = None
            como = ""
            for l in registro:
                pm = _PAPEL_ELETRONICO.match(l.strip())
                if pm:
                    cargo, emp_txt = ws(pm.group("cargo")), pm.group("empresa")
                am = _ASSINOU_COMO.search(l)
                if am:
                    como = fold(am.group("como"))
            if "testemunha" in como or (cargo and "testemunha" in fold(cargo)):
                pessoas.juntar(nome, None, cpf, None, True)
                continue
            emp = None
            if emp_txt:
                b = _Bloco(testemunha=False, rotulo=None, contexto=None, empresa=ws(emp_txt))
                emp = _empresa_do_bloco(b, empresas)
            p = pessoas.juntar(nome, cargo, cpf, emp, False, tipo=TIPO_ELETRONICA)
            p.tipo = TIPO_ELETRONICA
