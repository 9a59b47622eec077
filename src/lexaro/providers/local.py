"""Provedor local: extração por regras, sem rede e sem custo.

Responde às três perguntas de um contrato brasileiro a partir do texto:
empresas (razão social, CNPJ, endereço, papel), signatários (nome, cargo,
CPF, empresa representada, tipo de assinatura) e dados gerais (tipo,
objeto, data, vigência, valor, foro). Lê os parágrafos de qualificação das
partes ("ALFA LTDA., pessoa jurídica de direito privado, inscrita no CNPJ
sob o nº ..., com sede na ..., neste ato representada por ..."), os blocos
de assinatura, as testemunhas e as páginas de assinatura digital ICP-Brasil.
"""

from __future__ import annotations

import re
import time
from dataclasses import dataclass, field
from functools import lru_cache
from typing import AbstractSet, Dict, List, Optional, Tuple

from ..passages import fold
from ..questions import Question
from ..results import Metrics
from .base import ProviderAnswer

UP = "A-ZÀ-ÖØ-Þ"
LO = "a-zß-öø-ÿ"

CNPJ_RE = re.compile(r"(?<![0-9])[0-9]{2}\.?[0-9]{3}\.?[0-9]{3}/?[0-9]{4}-?[0-9]{2}(?![0-9])")
CPF_RE = re.compile(r"(?<![0-9])[0-9]{3}\.?[0-9]{3}\.?[0-9]{3}-?[0-9]{2}(?![0-9])")

EMPRESAS, ASSINATURAS, DADOS = "empresas", "assinaturas", "dados_contrato"

TIPO_REPRESENTANTE = "representante legal"
TIPO_PROCURADOR = "procurador"
TIPO_TESTEMUNHA = "testemunha"
TIPO_DIGITAL = "assinatura digital ICP-Brasil"
TIPO_SIGNATARIO = "signatário"

_PAPEIS = {
    "contratante", "contratada", "contratado", "locador", "locadora", "locatario", "locataria",
    "fornecedora", "fornecedor", "compradora", "comprador", "vendedora", "vendedor", "interveniente",
    "anuente", "fiadora", "fiador", "cedente", "cessionaria", "cessionario", "prestadora", "tomadora",
    "outorgante", "outorgada", "devedora", "credora", "parte", "partes", "garantidora", "avalista",
    "franqueadora", "franqueada", "mutuante", "mutuaria", "comodante", "comodataria", "distribuidora",
    "licenciante", "licenciada", "representada", "representante", "consorciada",
}

_CARGOS = {
    "socio", "socia", "socios", "socias", "administrador", "administradora", "administradores", "diretor",
    "diretora", "diretores", "diretoras", "presidente", "vice-presidente", "gerente", "procurador",
    "procuradora", "procuradores", "representante", "superintendente", "conselheiro", "conselheira",
    "tesoureiro", "tesoureira", "titular", "membro", "secretario", "secretaria", "coordenador",
    "coordenadora", "supervisor", "supervisora", "executivo", "executiva", "ceo", "cfo", "coo", "cto",
    "empresario", "empresaria", "controlador", "controladora", "inventariante", "liquidante", "sindico",
    "sindica", "advogado", "advogada", "responsavel", "gestor", "gestora", "chefe", "head",
}

_CONECTORES = {"de", "da", "do", "das", "dos", "e"}

_SUFIXO_EMPRESA = re.compile(
    r"(?:\b(?:LTDA|Ltda|EIRELI|EPP|CIA|Cia|COMPANHIA|Companhia|COOPERATIVA|ASSOCIA[ÇC][ÃA]O|FUNDA[ÇC][ÃA]O)\b"
    r"|\bS\.\s?A\.?(?=\s|$|,)|\bS/A\b|\bSA$|\bME$)"
)

_MESES = "janeiro|fevereiro|março|marco|abril|maio|junho|julho|agosto|setembro|outubro|novembro|dezembro"
_DATA_EXTENSO = re.compile(rf"(?<![0-9])[0-9]{{1,2}}º?\s+de\s+(?:{_MESES})\s+de\s+[0-9]{{4}}", re.I)
_DATA_NUM = re.compile(r"(?<![0-9/])[0-3]?[0-9]/[01]?[0-9]/[12][0-9]{3}(?![0-9])")


def _ws(s: str) -> str:
    return " ".join(s.split())


def _digits(s: Optional[str]) -> str:
    return "".join(c for c in (s or "") if "0" <= c <= "9")


def _singular(papel: str) -> str:
    if papel.endswith("res"):
        return papel[:-2]
    if papel.endswith("s") and len(papel) > 4:
        return papel[:-1]
    return papel


def _titulo(s: str) -> str:
    out = []
    for i, w in enumerate(_ws(s).split(" ")):
        lw = w.lower()
        out.append(lw if (i and lw in _CONECTORES) else lw[:1].upper() + lw[1:])
    return " ".join(out)


def _eh_cargo(s: str) -> bool:
    words = fold(s).replace(",", " ").split()
    return bool(words) and words[0] in _CARGOS


# ---------------------------------------------------------------------------
# Quebras de linha: num PDF, uma linha que termina bem antes da largura
# típica é fim de parágrafo; as demais são quebras automáticas.


def _quebras_duras(text: str) -> List[int]:
    """Posições de '\\n' que encerram um parágrafo (ou título)."""
    lines = text.split("\n")
    lengths = sorted(len(l) for l in lines if len(l.strip()) > 20)
    tipica = lengths[int(len(lengths) * 0.9)] if lengths else 0
    limite = 0.72 * tipica
    pos = []
    offset = 0
    for i, line in enumerate(lines[:-1]):
        offset += len(line)
        stripped = line.rstrip()
        nxt = lines[i + 1].strip()
        if (not stripped or not nxt or len(stripped) < limite or stripped.endswith((":", ";"))):
            pos.append(offset)
        offset += 1
    return pos


# ---------------------------------------------------------------------------
# Empresas

_TOKEN_EMPRESA = re.compile(rf"[{UP}0-9&][{UP}0-9&.'/\-]*")
_QUALIFICACAO = re.compile(
    r"\s*(?P<paren>\([^()]{0,160}\))?\s*,\s*(?=pessoa\s+jur[íi]dica|sociedade\s|empresa\s|inscrit[ao]\s+(?:no|sob)\s+(?:o\s+)?CNPJ|com\s+sede|CNPJ)"
)
_ENDERECO = re.compile(
    r"com\s+sede\s+(?:social\s+)?(?:na|no|em|à|a)\s+(?P<end>.+?)"
    r"(?=,\s*(?:neste\s+ato|nesse\s+ato|representad|doravante|inscrit|por\s+seus?\s|por\s+suas?\s|e-mail|telefone)"
    r"|;|\Z)",
    re.S,
)
_DORAVANTE = re.compile(
    r"(?:doravante|simplesmente|adiante|a\s+seguir)\s+(?:simplesmente\s+)?"
    r"(?:denominad|designad|chamad|referid|nomead)[ao]s?(?:\s+como)?[\s,]*"
    r"(?:(?:simplesmente|em\s+conjunto|conjuntamente|individualmente|apenas)[\s,]*)*"
    r"[\"“”'«]?\s*(?P<papel>[A-Za-zÀ-ÿ]+)",
    re.I,
)
_ROTULO_ANTES = re.compile(rf"(?P<papel>[{UP}]{{4,}})\s*:\s*(?:\(?[a-z0-9]{{1,3}}[.)]\s*)?$")
_QUALIDADE_ANTES = re.compile(r"na\s+qualidade\s+de\s+(?P<papel>[A-Za-zÀ-ÿ]+)[^.;]*$", re.I)
_NOME_FANTASIA = re.compile(r"nome\s+fantasia\s*:?\s*[\"“'«]?\s*(?P<nf>[^\"”'»,;()]+)", re.I)
_CNPJ_ROTULO = re.compile(r"CNPJ(?:/MF)?[^0-9]{0,40}")


@dataclass
class _Empresa:
    inicio: int
    fim_nome: int
    razao_social: str
    cnpj: Optional[str] = None
    nome_fantasia: Optional[str] = None
    endereco: Optional[str] = None
    papel: Optional[str] = None
    fim: int = 0

    def as_dict(self) -> Dict[str, Optional[str]]:
        return {
            "cnpj": self.cnpj,
            "razao_social": self.razao_social,
            "nome_fantasia": self.nome_fantasia,
            "endereco": self.endereco,
            "papel_no_contrato": self.papel,
        }


def _nome_antes(text: str, fim: int, duras: AbstractSet[int]) -> Optional[Tuple[int, str]]:
    """Razão social em maiúsculas que termina em `fim` (caminha para trás)."""
    janela_ini = max(0, fim - 240)
    window = text[janela_ini:fim]
    tokens = [(m.start() + janela_ini, m.end() + janela_ini, m.group()) for m in re.finditer(r"\S+", window)]
    escolhidos: List[Tuple[int, int, str]] = []
    for ini, end, tok in reversed(tokens):
        if escolhidos:
            gap = text[end:escolhidos[-1][0]]
            if "\n" in gap:
                nl = end + gap.index("\n")
                if nl in duras or "\n\n" in gap:
                    break
        if not _TOKEN_EMPRESA.fullmatch(tok):
            break
        if ini == janela_ini and janela_ini > 0:
            break
        escolhidos.append((ini, end, tok))
    if not escolhidos:
        return None
    escolhidos.reverse()
    # rótulos de papel colados ao nome ("CONTRATANTE ALFA LTDA.") não fazem parte dele
    while len(escolhidos) > 1 and _singular(fold(escolhidos[0][2]).strip(".")) in _PAPEIS:
        escolhidos.pop(0)
    nome = " ".join(t for _, _, t in escolhidos)
    if not re.search(f"[{UP}]", nome) or _singular(fold(nome).strip(".")) in _PAPEIS:
        return None
    if len(re.sub(r"[^A-Za-zÀ-ÿ]", "", nome)) < 3:
        return None
    return escolhidos[0][0], nome


def _papel_norm(p: str) -> Optional[str]:
    p = _singular(p.lower())
    return p if fold(p) in _PAPEIS or len(p) >= 4 else None


def _extrair_empresas(text: str, duras: AbstractSet[int]) -> List[_Empresa]:
    achadas: List[_Empresa] = []
    for m in _QUALIFICACAO.finditer(text):
        fim_nome = m.start()
        r = _nome_antes(text, fim_nome, duras)
        if r is None:
            continue
        ini, nome = r
        e = _Empresa(inicio=ini, fim_nome=fim_nome, razao_social=nome)
        if m.group("paren"):
            nf = _NOME_FANTASIA.search(m.group("paren"))
            if nf:
                e.nome_fantasia = _ws(nf.group("nf"))
        achadas.append(e)

    # Cada cláusula de qualificação vai do nome até o nome da próxima parte.
    for i, e in enumerate(achadas):
        e.fim = achadas[i + 1].inicio if i + 1 < len(achadas) else min(len(text), e.fim_nome + 1500)
        clausula = text[e.fim_nome:e.fim]
        rot = _CNPJ_ROTULO.search(clausula)
        cn = CNPJ_RE.search(clausula, rot.end() if rot else 0, (rot.end() + 40) if rot else 400)
        if cn:
            e.cnpj = cn.group()
        end = _ENDERECO.search(clausula)
        if end:
            e.endereco = _ws(end.group("end")).rstrip(" .,")
        if e.nome_fantasia is None:
            nf = _NOME_FANTASIA.search(clausula[:300])
            if nf:
                e.nome_fantasia = _ws(nf.group("nf"))
        dor = _DORAVANTE.search(clausula)
        papel = _papel_norm(dor.group("papel")) if dor else None
        if papel is None:
            antes = text[max(0, e.inicio - 80):e.inicio]
            rot_antes = _ROTULO_ANTES.search(antes)
            if rot_antes:
                papel = _papel_norm(rot_antes.group("papel"))
            else:
                qual = _QUALIDADE_ANTES.search(text[max(0, e.inicio - 160):e.inicio])
                if qual:
                    papel = _papel_norm(qual.group("papel"))
        e.papel = papel

    # a mesma empresa citada de novo (ex.: no bloco final) conta uma vez
    vistas = set()
    unicas = []
    for e in achadas:
        chave = _digits(e.cnpj) or fold(e.razao_social).strip(" .")
        if chave in vistas:
            continue
        vistas.add(chave)
        unicas.append(e)
    return unicas


# ---------------------------------------------------------------------------
# Signatários


@dataclass
class _Pessoa:
    nome: str
    cargo: Optional[str] = None
    cpf: Optional[str] = None
    empresa: Optional[str] = None
    cnpj_empresa: Optional[str] = None
    tipo: Optional[str] = None
    testemunha: bool = False

    def chave(self) -> str:
        return fold(_ws(self.nome))

    def as_dict(self) -> Dict[str, Optional[str]]:
        return {
            "nome_signatario": self.nome,
            "cargo": self.cargo,
            "cpf": self.cpf,
            "empresa_representada": self.empresa,
            "cnpj_empresa": self.cnpj_empresa,
            "tipo_assinatura": self.tipo,
        }


_NOME_TOKEN = rf"[{UP}][\w'’.\-]*"
_REPRESENTADA = re.compile(
    r"representad[ao]s?\s+(?:neste\s+ato\s+|nesse\s+ato\s+|legalmente\s+|aqui\s+)?(?:por|pel[ao]s?)\s+", re.I
)
_PESSOA = re.compile(
    rf"\s*(?:(?:seus?|suas?|pel[ao]s?|o|a)\s+)?(?:(?:Sr|Sra|Dr|Dra)\.?\s+)?"
    rf"(?P<pre>(?:[{LO}][{LO}\-]*\s+){{0,4}}?)"
    rf"(?P<nome>{_NOME_TOKEN}(?:\s+(?:(?:d[aeo]s?|e)\s+)?{_NOME_TOKEN})+)\s*,"
)
_PROXIMA_PESSOA = re.compile(
    rf",?\s+e\s+(?:por\s+)?(?=(?:seus?|suas?|pel[ao]s?|Sr|Sra|Dr|Dra)\b|[{UP}][\w'-]*\s+[{UP}])|doravante",
)
_CPF_ROTULO = re.compile(r"CPF(?:/MF)?[^0-9]{0,30}")


def _separar_cargo_do_nome(pre: str, nome: str) -> Tuple[Optional[str], str]:
    """'Diretor Presidente JOÃO' capturado como nome: o cargo vai para o lado."""
    palavras = nome.split()
    cargo_extra = []
    while len(palavras) > 2 and (fold(palavras[0]) in _CARGOS or (cargo_extra and fold(palavras[0]) in _CONECTORES)):
        cargo_extra.append(palavras.pop(0))
    cargo = _ws(" ".join([pre.strip()] + cargo_extra)) or None
    return cargo, " ".join(palavras)


def _representantes(text: str, empresas: List[_Empresa]) -> List[_Pessoa]:
    pessoas: List[_Pessoa] = []
    for e in empresas:
        clausula = text[e.fim_nome:e.fim]
        rep = _REPRESENTADA.search(clausula)
        if not rep:
            continue
        pos = rep.end()
        while True:
            m = _PESSOA.match(clausula, pos)
            if not m:
                break
            cargo, nome = _separar_cargo_do_nome(m.group("pre"), m.group("nome"))
            nxt = _PROXIMA_PESSOA.search(clausula, m.end())
            fim = nxt.start() if nxt else len(clausula)
            trecho = clausula[m.end():fim]
            if cargo is None:
                primeiro = trecho.split(",")[0] if trecho.strip() else ""
                if _eh_cargo(primeiro):
                    cargo = _ws(primeiro)
            cpf = None
            rot = _CPF_ROTULO.search(trecho)
            if rot:
                c = CPF_RE.search(trecho, rot.end(), rot.end() + 20)
                cpf = c.group() if c else None
            p = _Pessoa(nome=_ws(nome), cargo=_titulo(cargo) if cargo else None, cpf=cpf,
                        empresa=e.razao_social, cnpj_empresa=e.cnpj)
            p.tipo = TIPO_PROCURADOR if cargo and fold(cargo).startswith("procurador") else TIPO_REPRESENTANTE
            pessoas.append(p)
            if not nxt or nxt.group().startswith("doravante"):
                break
            pos = nxt.end()
    return pessoas


# Blocos de assinatura (linha a linha)

_SUBLINHADO = re.compile(r"^(?:\(?[0-9a-z]{1,3}[.)]\s*)?_{5,}\s*(?P<resto>.*)$")
_TESTEMUNHAS = re.compile(r"^testemunhas?\b\s*:?\s*(?P<resto>.*)$", re.I)
_ROTULO = re.compile(rf"^(?:[Pp](?:el[ao]s?|/)\s*)?(?P<papel>[{UP}]{{4,}})\s*:\s*$")
_ENUMERACAO = re.compile(r"^[0-9]{1,2}\s*[.)\-]\s+")
_CAMPO = re.compile(r"^(?P<rot>Nome|Cargo|Fun[çc][ãa]o|Qualidade|CPF(?:/MF)?|CNPJ(?:/MF)?|RG|Empresa)\b\s*(?:n[º°o]\.?\s*)?:?\s*(?P<val>.*)$", re.I)
_CPF_INLINE = re.compile(r"\s+(?:[–—-]\s+)?CPF(?:/MF)?\s*(?:n[º°o]\.?\s*)?:?\s*")
_TRACO = re.compile(r"\s+[–—-]\s+")
_NOME_LINHA = re.compile(rf"^{_NOME_TOKEN}(?:\s+(?:(?:d[aeo]s?|e)\s+)?{_NOME_TOKEN}){{1,7}}$")


def _parece_nome(s: str) -> bool:
    return bool(_NOME_LINHA.match(s)) and not any(ch.isdigit() for ch in s) and not _eh_cargo(s)


@dataclass
class _Bloco:
    testemunha: bool
    rotulo: Optional[str]
    nome: Optional[str] = None
    cargo: Optional[str] = None
    cpf: Optional[str] = None
    empresa: Optional[str] = None
    cnpj: Optional[str] = None

    def alimentar(self, s: str) -> bool:
        """Consome uma linha do bloco; False quando a linha não pertence a ele."""
        campo = _CAMPO.match(s)
        if campo:
            rot = fold(campo.group("rot"))
            val = campo.group("val").strip()
            if rot == "nome":
                if self.nome:
                    return False
                partes = _CPF_INLINE.split(val, maxsplit=1)
                self.nome = _ws(partes[0]).strip(" –—-")
                if len(partes) > 1:
                    c = CPF_RE.search(partes[1])
                    self.cpf = c.group() if c else self.cpf
            elif rot.startswith("cpf"):
                c = CPF_RE.search(val)
                self.cpf = c.group() if c else self.cpf
            elif rot.startswith("cnpj"):
                c = CNPJ_RE.search(val)
                self.cnpj = c.group() if c else self.cnpj
            elif rot == "empresa":
                self.empresa = _ws(val)
            elif rot == "rg":
                pass
            else:
                self.cargo = _ws(val)
            return True
        if "icp" in fold(s) or "assinatura" in fold(s):
            return False
        if self.testemunha:
            if self.nome is None and _parece_nome(s):
                self.nome = _ws(s)
                return True
            return False
        partes = _TRACO.split(s, maxsplit=1)
        if len(partes) == 2 and _parece_nome(partes[0]) and self.nome is None:
            self.nome = _ws(partes[0])
            if _eh_cargo(partes[1]):
                self.cargo = _ws(partes[1])
            return True
        if _SUFIXO_EMPRESA.search(s) and self.empresa is None:
            self.empresa = _ws(s)
            return True
        if self.nome is None and _parece_nome(s):
            self.nome = _ws(s)
            return True
        if self.cargo is None and _eh_cargo(s) and len(s) <= 60:
            self.cargo = _ws(s)
            return True
        return False


def _blocos_assinatura(text: str) -> List[_Bloco]:
    blocos: List[_Bloco] = []
    atual: Optional[_Bloco] = None
    em_testemunhas = False
    rotulo: Optional[str] = None

    def fechar():
        nonlocal atual
        if atual is not None and atual.nome:
            blocos.append(atual)
        atual = None

    for raw in text.split("\n"):
        s = raw.strip()
        if not s:
            continue
        t = _TESTEMUNHAS.match(s)
        if t:
            fechar()
            em_testemunhas, rotulo = True, None
            s = t.group("resto").strip()
            if not s:
                continue
        elif _ROTULO.match(s):
            fechar()
            em_testemunhas, rotulo = False, _ROTULO.match(s).group("papel")
            continue
        sub = _SUBLINHADO.match(s)
        if sub:
            fechar()
            atual = _Bloco(testemunha=em_testemunhas, rotulo=rotulo)
            s = sub.group("resto").strip()
            if not s:
                continue
        s = _ENUMERACAO.sub("", s)
        if em_testemunhas and re.match(r"^Nome\b", s, re.I) and (atual is None or atual.nome):
            fechar()
            atual = _Bloco(testemunha=True, rotulo=None)
        if atual is None:
            continue
        if not atual.alimentar(s):
            fechar()
    fechar()
    return blocos


_CERTIFICADO = re.compile(rf"(?P<nome>[{UP}][{UP} .'\-]+?)\s*:\s*(?P<doc>[0-9]{{14}}|[0-9]{{11}})(?![0-9])")


def _mesmo_nome(a: str, b: str) -> bool:
    return fold(_ws(a)) == fold(_ws(b))


def _empresa_do_bloco(b: _Bloco, empresas: List[_Empresa]) -> Optional[_Empresa]:
    if b.cnpj:
        for e in empresas:
            if e.cnpj and _digits(e.cnpj) == _digits(b.cnpj):
                return e
    if b.empresa:
        alvo = fold(b.empresa).strip(" .")
        for e in empresas:
            nome = fold(e.razao_social).strip(" .")
            if alvo == nome or alvo in nome or nome in alvo:
                return e
        return None
    if b.rotulo:
        papel = _singular(b.rotulo.lower())
        candidatas = [e for e in empresas if e.papel == papel]
        if len(candidatas) == 1:
            return candidatas[0]
    return None


def _extrair_assinaturas(text: str, empresas: List[_Empresa]) -> List[_Pessoa]:
    pessoas = _representantes(text, empresas)

    def procurar(nome: str, cpf: Optional[str]) -> Optional[_Pessoa]:
        d = _digits(cpf)
        for p in pessoas:
            if (d and _digits(p.cpf) == d) or _mesmo_nome(p.nome, nome):
                return p
        return None

    for b in _blocos_assinatura(text):
        existente = procurar(b.nome, b.cpf)
        if b.testemunha:
            if existente is None:
                pessoas.append(_Pessoa(nome=b.nome, cargo="Testemunha", cpf=b.cpf, tipo=TIPO_TESTEMUNHA,
                                       testemunha=True))
            continue
        emp = _empresa_do_bloco(b, empresas)
        if existente is None:
            p = _Pessoa(nome=b.nome, cargo=b.cargo, cpf=b.cpf)
            if emp is not None:
                p.empresa, p.cnpj_empresa = emp.razao_social, emp.cnpj
            elif b.empresa:
                p.empresa, p.cnpj_empresa = b.empresa, b.cnpj
            if p.empresa:
                p.tipo = TIPO_PROCURADOR if p.cargo and fold(p.cargo).startswith("procurador") else TIPO_REPRESENTANTE
            else:
                p.tipo = TIPO_SIGNATARIO
            pessoas.append(p)
            continue
        if existente.testemunha:
            continue
        existente.cargo = existente.cargo or b.cargo
        existente.cpf = existente.cpf or b.cpf
        if existente.empresa is None and emp is not None:
            existente.empresa, existente.cnpj_empresa = emp.razao_social, emp.cnpj

    # Página de assinaturas digitais: certificados "NOME:CPF" (e-CPF) e
    # "RAZÃO SOCIAL:CNPJ" (e-CNPJ, da empresa, não de uma pessoa).
    ftext = fold(text)
    if "icp-brasil" in ftext or "icp brasil" in ftext:
        for c in _CERTIFICADO.finditer(text):
            if len(c.group("doc")) != 11:
                continue
            nome = _ws(c.group("nome"))
            if len(nome.split()) < 2:
                continue
            existente = procurar(nome, c.group("doc"))
            if existente is None:
                pessoas.append(_Pessoa(nome=nome, cpf=c.group("doc"), tipo=TIPO_DIGITAL))
            elif not existente.testemunha:
                existente.tipo = TIPO_DIGITAL
                existente.cpf = existente.cpf or c.group("doc")
    return pessoas


# ---------------------------------------------------------------------------
# Dados do contrato


def _ate_fim_da_frase(text: str, ini: int, limite: int = 600) -> str:
    trecho = text[ini:ini + limite]
    m = re.search(r"\.(?=\s|$)|;", trecho)
    if m:
        trecho = trecho[:m.start()]
    return _ws(trecho).rstrip(" ,.:;")


def _tipo_contrato(text: str) -> Optional[str]:
    linhas = [l.strip() for l in text.split("\n") if l.strip()][:15]
    for i, l in enumerate(linhas):
        letras = [c for c in l if c.isalpha()]
        if not letras or sum(c.isupper() for c in letras) < 0.8 * len(letras):
            continue
        fl = fold(l)
        if "contrato" in fl or fl.startswith("instrumento"):
            titulo = [l]
            j = i + 1
            while j < len(linhas) and len(titulo[-1]) > 45 and not linhas[j].endswith(":"):
                nxt = linhas[j]
                nl = [c for c in nxt if c.isalpha()]
                if not nl or sum(c.isupper() for c in nl) < 0.9 * len(nl) or ":" in nxt:
                    break
                titulo.append(nxt)
                j += 1
            return _ws(" ".join(titulo))
    return None


_OBJETO = re.compile(
    r"(?:tem\s+(?:por|como)\s+objeto|(?:o\s+)?objeto\s+d[oe]s?t?e?\s+(?:presente\s+)?(?:contrato|instrumento)\s+"
    r"(?:é|consiste\s+(?:em|n[ao]s?)))\s*:?\s*",
    re.I,
)
_VIGENCIA = re.compile(
    r"(?:vigorar[áa]|vig[êe]ncia|vigente|prazo\s+de\s+dura[çc][ãa]o)[^.0-9]{0,60}?"
    r"(?P<prazo>[0-9]+\s*(?:\([^)]{1,40}\)\s*)?(?:dias|meses|m[êe]s|anos?)\b)",
    re.I,
)
_VALOR = re.compile(r"R\$\s*[0-9][0-9.]*(?:,[0-9]{2})?(?:\s*\([^)]{1,120}\))?")
_FORO = re.compile(r"\bforo\s+(?:d[aoe]s?|em)\s+(?P<foro>.+?)(?=\s*[,;]|\.(?:\s|$)|\s+(?:para|com|como|que|onde)\s|$)",
                   re.I | re.S)


def _data(text: str) -> Optional[str]:
    datas = list(_DATA_EXTENSO.finditer(text))
    depois_de_virgula = [m for m in datas if re.search(r",\s*$", text[max(0, m.start() - 3):m.start()])]
    if depois_de_virgula:
        return _ws(depois_de_virgula[-1].group())
    if datas:
        return _ws(datas[-1].group())
    m = _DATA_NUM.search(text)
    return m.group() if m else None


def _extrair_dados(text: str) -> Dict[str, Optional[str]]:
    obj = _OBJETO.search(text)
    vig = _VIGENCIA.search(text)
    valores = list(_VALOR.finditer(text))
    valor = None
    for v in valores:  # o primeiro valor numa frase que fala de valor, preço ou pagamento
        frase_ini = max(text.rfind(".\n", 0, v.start()), text.rfind(". ", 0, v.start()), 0)
        contexto = fold(text[frase_ini:v.start()])
        if any(k in contexto for k in ("valor", "preco", "pagar", "aluguel", "remunera", "honorario", "mensalidade")):
            valor = v
            break
    if valor is None and valores:
        valor = valores[0]
    foro = _FORO.search(text)
    return {
        "tipo_contrato": _tipo_contrato(text),
        "objeto": _ate_fim_da_frase(text, obj.end()) if obj else None,
        "data": _data(text),
        "vigencia": _ate_fim_da_frase(text, vig.start("prazo")) if vig else None,
        "valor": _ws(valor.group()) if valor else None,
        "foro": _ws(foro.group("foro")).rstrip(" .") if foro else None,
    }


# ---------------------------------------------------------------------------


@dataclass
class Analise:
    empresas: List[Dict[str, Optional[str]]] = field(default_factory=list)
    assinaturas: List[Dict[str, Optional[str]]] = field(default_factory=list)
    dados: Dict[str, Optional[str]] = field(default_factory=dict)


@lru_cache(maxsize=4)
def _analisar_cache(text: str) -> Analise:
    duras = set(_quebras_duras(text))
    empresas = _extrair_empresas(text, duras)
    pessoas = _extrair_assinaturas(text, empresas)
    return Analise(
        empresas=[e.as_dict() for e in empresas],
        assinaturas=[p.as_dict() for p in pessoas],
        dados=_extrair_dados(text),
    )


def analisar(text: str) -> Analise:
    """Extrai empresas, signatários e dados gerais do texto de um contrato."""
    a = _analisar_cache(text)
    # cópias: o cache não pode ser alterado por quem recebe o resultado
    return Analise([dict(e) for e in a.empresas], [dict(p) for p in a.assinaturas], dict(a.dados))


def question_kind(question: Question) -> Optional[str]:
    """Qual das três perguntas é esta (pelo modelo de resposta, ou pelo id)."""
    fields = set(getattr(question.response_model, "model_fields", {}))
    if EMPRESAS in fields:
        return EMPRESAS
    if ASSINATURAS in fields:
        return ASSINATURAS
    if fields & {"tipo_contrato", "objeto", "vigencia", "foro"}:
        return DADOS
    if question.id in (EMPRESAS, ASSINATURAS, DADOS):
        return question.id
    return None


class LocalProvider:
    """Responde às perguntas de empresas, assinaturas e dados do contrato por regras."""

    name = "local"
    model = "local-regras"

    def supports(self, question: Question) -> bool:
        return question_kind(question) is not None

    def answer(self, question: Question, text: str) -> ProviderAnswer:
        t0 = time.perf_counter()
        kind = question_kind(question)
        if kind is None:
            raise ValueError(
                f"O provedor local não sabe responder à pergunta '{question.id}': "
                "ele responde apenas às perguntas de empresas, assinaturas e dados do contrato"
            )
        a = analisar(text)
        if kind == EMPRESAS:
            payload = {EMPRESAS: a.empresas}
        elif kind == ASSINATURAS:
            payload = {ASSINATURAS: a.assinaturas}
        else:
            payload = a.dados
        result = question.response_model.model_validate(payload)
        return ProviderAnswer(result=result, metrics=Metrics(time_seconds=time.perf_counter() - t0))
