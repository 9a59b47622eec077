"""As qualificações do QSA (tabela "Qualificações de sócios" dos dados abertos do CNPJ) e o que
cada uma diz do poder de obrigar a empresa.

Três classes:

- ``administracao``: o cargo administra e representa a empresa (ou é a própria pessoa por trás do
  CNPJ), nos limites do contrato social ou do estatuto;
- ``sem_administracao``: a pessoa está no quadro, mas o cargo, por si, não dá poder de obrigar a
  empresa (sócio sem administração, conselheiro, acionista, beneficiário...);
- ``representacao``: a pessoa age em nome de outro (um sócio incapaz, um espólio, um Estado
  estrangeiro, um mandante): o poder vem do instrumento (procuração, tutela, curatela, nomeação),
  que o QSA não mostra.

Um código que a tabela não conhece é ``nao_classificada``: vira informação, nunca reprovação.
"""

from __future__ import annotations

import re
from typing import Dict, NamedTuple, Optional, Tuple

from ..keywords import normalizar_texto

ADMINISTRACAO = "administracao"
SEM_ADMINISTRACAO = "sem_administracao"
REPRESENTACAO = "representacao"
NAO_CLASSIFICADA = "nao_classificada"

CLASSES = (ADMINISTRACAO, SEM_ADMINISTRACAO, REPRESENTACAO)
ROTULOS = {
    ADMINISTRACAO: "administração",
    SEM_ADMINISTRACAO: "sem administração",
    REPRESENTACAO: "representação",
    NAO_CLASSIFICADA: "não classificada",
}


class Qualificacao(NamedTuple):
    codigo: int
    descricao: str
    classe: str
    motivo: str


_A, _S, _R = ADMINISTRACAO, SEM_ADMINISTRACAO, REPRESENTACAO

# (código, descrição da Receita, classe, o que o cargo é no direito brasileiro)
QUALIFICACOES: Tuple[Qualificacao, ...] = tuple(Qualificacao(*linha) for linha in (
    (0, "Não informada", _S, "a Receita não informa o cargo: nada no registro mostra poder de administração"),
    (5, "Administrador", _A, "administrador da limitada, sócio ou não (CC art. 1.060-1.061), ou da companhia"),
    (8, "Conselheiro de Administração", _S,
     "órgão deliberativo; representar a companhia é privativo dos diretores (Lei 6.404, art. 138 §1º)"),
    (9, "Curador", _R, "representa o curatelado (CC art. 1.767 e 1.781): o poder vem da curatela"),
    (10, "Diretor", _A, "diretor da companhia: administra e a representa (Lei 6.404, art. 138 e 144)"),
    (11, "Interventor", _A, "nomeado na intervenção, assume a gestão da entidade (Lei 6.024, art. 5º)"),
    (12, "Inventariante", _R, "representa o espólio do sócio falecido (CPC art. 75, VII, e 618)"),
    (13, "Liquidante", _A, "representa a sociedade em liquidação (CC art. 1.103-1.105; Lei 6.404, art. 211)"),
    (14, "Mãe", _R, "representa ou assiste o filho menor (CC art. 1.634, VII, e 1.690)"),
    (15, "Pai", _R, "representa ou assiste o filho menor (CC art. 1.634, VII, e 1.690)"),
    (16, "Presidente", _A, "preside a diretoria ou a entidade e a representa (Lei 6.404, art. 138; CC art. 54)"),
    (17, "Procurador", _R, "mandatário (CC art. 653): só os poderes do instrumento de procuração"),
    (18, "Secretário", _S, "membro da diretoria de uma entidade; representa só se o estatuto disser"),
    (19, "Síndico (Condomínio)", _A, "representa o condomínio ativa e passivamente (CC art. 1.348, II)"),
    (20, "Sociedade Consorciada", _S,
     "integra o consórcio, que é representado por quem o contrato designa (Lei 6.404, art. 279)"),
    (21, "Sociedade Filiada", _S, "sociedade ligada à entidade; não a administra"),
    (22, "Sócio", _S, "sócio sem administração: a limitada é administrada por quem é designado (CC art. 1.060)"),
    (23, "Sócio Capitalista", _S, "entra com o capital; o cargo não mostra poder de administração"),
    (24, "Sócio Comanditado", _A, "na comandita, só os comanditados administram (CC art. 1.045-1.047)"),
    (25, "Sócio Comanditário", _S, "não pode praticar ato de gestão (CC art. 1.047)"),
    (26, "Sócio de Indústria", _S, "contribui com serviços (CC art. 1.006); o cargo não administra"),
    (28, "Sócio-Gerente", _A, "o sócio que administrava a limitada antes do Código Civil (Decreto 3.708, art. 13)"),
    (29, "Sócio Incapaz ou Relat.Incapaz (exceto menor)", _S,
     "o sócio incapaz não pode administrar (CC art. 974 §3º, I); age por representante"),
    (30, "Sócio Menor (Assistido/Representado)", _S, "o sócio menor não pode administrar (CC art. 974 §3º, I)"),
    (31, "Sócio Ostensivo", _A, "exerce a atividade em seu nome na conta de participação (CC art. 991)"),
    (32, "Tabelião", _A, "titular da serventia, que a gerencia com exclusividade (Lei 8.935, art. 21)"),
    (33, "Tesoureiro", _S, "membro da diretoria de uma entidade; representa só se o estatuto disser"),
    (34, "Titular de Empresa Individual Imobiliária", _A, "a própria pessoa física por trás do CNPJ"),
    (35, "Tutor", _R, "representa o menor sob tutela (CC art. 1.747, I)"),
    (37, "Sócio Pessoa Jurídica Domiciliado no Exterior", _S,
     "sócio pessoa jurídica; age por seu representante legal, que o QSA mostra à parte"),
    (38, "Sócio Pessoa Física Residente no Exterior", _S, "sócio; o cargo não mostra poder de administração"),
    (39, "Diplomata", _R, "age pelo Estado estrangeiro (Convenção de Viena, Decreto 56.435/1965)"),
    (40, "Cônsul", _R, "age pelo Estado estrangeiro (Convenção de Viena, Decreto 61.078/1967)"),
    (41, "Representante de Organização Internacional", _R, "age pela organização que o nomeou"),
    (42, "Oficial de Registro", _A, "titular do cartório de registro, que o gerencia (Lei 8.935, art. 21)"),
    (43, "Responsável", _A, "a pessoa que responde pela entidade perante o CNPJ (órgãos e entes públicos)"),
    (46, "Ministro de Estado das Relações Exteriores", _R, "age pelo Estado, não em nome próprio"),
    (47, "Sócio Pessoa Física Residente no Brasil", _S, "sócio; o cargo não mostra poder de administração"),
    (48, "Sócio Pessoa Jurídica Domiciliado no Brasil", _S,
     "sócio pessoa jurídica; age por seu representante legal, que o QSA mostra à parte"),
    (49, "Sócio-Administrador", _A, "sócio designado administrador (CC art. 1.060-1.061)"),
    (50, "Empresário", _A, "o empresário individual exerce a empresa em nome próprio (CC art. 966)"),
    (51, "Candidato a cargo Político Eletivo", _A, "responde pelo CNPJ da própria campanha (Lei 9.504, art. 22-A)"),
    (52, "Sócio com Capital", _S, "sócio; o cargo não mostra poder de administração"),
    (53, "Sócio sem Capital", _S, "sócio; o cargo não mostra poder de administração"),
    (54, "Fundador", _S, "institui a fundação ou entidade (CC art. 62); quem a administra são os seus órgãos"),
    (55, "Sócio Comanditado Residente no Exterior", _A, "na comandita, só os comanditados administram (CC art. 1.045-1.047)"),
    (56, "Sócio Comanditário Pessoa Física Residente no Exterior", _S, "não pode praticar ato de gestão (CC art. 1.047)"),
    (57, "Sócio Comanditário Pessoa Jurídica Domiciliado no Exterior", _S,
     "não pode praticar ato de gestão (CC art. 1.047)"),
    (58, "Sócio Comanditário Incapaz", _S, "não pode praticar ato de gestão (CC art. 974 §3º e 1.047)"),
    (59, "Produtor Rural", _A, "a própria pessoa física por trás do CNPJ (CC art. 971)"),
    (60, "Cônsul Honorário", _R, "age pelo Estado estrangeiro (Convenção de Viena, Decreto 61.078/1967)"),
    (61, "Responsável indígena", _A, "a pessoa que responde pela entidade perante o CNPJ"),
    (62, "Representante da Instituição Extraterritorial", _R, "age pela instituição que o nomeou"),
    (63, "Cotas em Tesouraria", _S, "cotas da própria sociedade (CC art. 1.057): não é uma pessoa que assine"),
    (64, "Administrador Judicial", _A, "nomeado pelo juiz, administra e representa a massa falida (Lei 11.101, art. 22)"),
    (65, "Titular Pessoa Física Residente ou Domiciliado no Brasil", _A,
     "titular da empresa individual ou da limitada unipessoal, que a administra salvo designação de outro"),
    (66, "Titular Pessoa Física Residente ou Domiciliado no Exterior", _A,
     "titular da empresa individual ou da limitada unipessoal, que a administra salvo designação de outro"),
    (67, "Titular Pessoa Física Incapaz ou Relativamente Incapaz (exceto menor)", _S,
     "o titular incapaz não administra (CC art. 974 §3º); age por representante"),
    (68, "Titular Pessoa Física Menor (Assistido/Representado)", _S,
     "o titular menor não administra (CC art. 974 §3º); age por representante"),
    (69, "Beneficiário Final", _S, "quem controla ou se beneficia da empresa (IN RFB 1.863/2018); ter não é administrar"),
    (70, "Administrador Residente ou Domiciliado no Exterior", _A,
     "administrador (CC art. 1.060-1.061), com procurador no Brasil (Lei 6.404, art. 146 §2º)"),
    (71, "Conselheiro de Administração Residente ou Domiciliado no Exterior", _S,
     "órgão deliberativo; representar a companhia é privativo dos diretores (Lei 6.404, art. 138 §1º)"),
    (72, "Diretor Residente ou Domiciliado no Exterior", _A, "diretor da companhia (Lei 6.404, art. 138 e 144)"),
    (73, "Presidente Residente ou Domiciliado no Exterior", _A, "preside a diretoria ou a entidade e a representa"),
    (74, "Sócio-Administrador Residente ou Domiciliado no Exterior", _A, "sócio designado administrador (CC art. 1.060)"),
    (75, "Fundador Residente ou Domiciliado no Exterior", _S,
     "institui a fundação ou entidade (CC art. 62); quem a administra são os seus órgãos"),
    (78, "Titular Pessoa Jurídica Domiciliada no Brasil", _S,
     "titular pessoa jurídica; age por seu representante legal, que o QSA mostra à parte"),
    (79, "Titular Pessoa Jurídica Domiciliada no Exterior", _S,
     "titular pessoa jurídica; age por seu representante legal, que o QSA mostra à parte"),
))


def _chave(texto: str) -> str:
    """Descrição comparável: sem acentos, minúsculas, só letras e algarismos separados por um espaço."""
    return " ".join(re.findall(r"[^\W_]+", normalizar_texto(texto)))


_POR_CODIGO: Dict[int, Qualificacao] = {q.codigo: q for q in QUALIFICACOES}
_POR_DESCRICAO: Dict[str, Qualificacao] = {_chave(q.descricao): q for q in QUALIFICACOES}
# "49-Sócio-Administrador" (ReceitaWS), "49 - Sócio-Administrador", "49"
_COM_CODIGO = re.compile(r"\s*(\d{1,3})\s*(?:-\s*(.*))?\Z", re.S)


def contar_classes() -> Dict[str, int]:
    """Quantos códigos da tabela há em cada classe."""
    contagem = {c: 0 for c in CLASSES}
    for q in QUALIFICACOES:
        contagem[q.classe] += 1
    return contagem


def classificar(qualificacao: object) -> Tuple[str, Optional[Qualificacao]]:
    """A classe de uma qualificação do QSA, dada pelo código (``49``, ``"49"``,
    ``"49-Sócio-Administrador"``) ou pela descrição (``"Sócio-Administrador"``, sem importar
    acentos e caixa), e a linha da tabela; ``("nao_classificada", None)`` para o que a tabela não
    conhece (inclusive vazio, None ou algo que não é texto nem número)."""
    if isinstance(qualificacao, bool):
        return NAO_CLASSIFICADA, None
    if isinstance(qualificacao, int):
        q = _POR_CODIGO.get(qualificacao)
        return (q.classe, q) if q else (NAO_CLASSIFICADA, None)
    if not isinstance(qualificacao, str):
        return NAO_CLASSIFICADA, None
    m = _COM_CODIGO.match(qualificacao)
    if m:
        q = _POR_CODIGO.get(int(m.group(1)))
        descricao = m.group(2)
        # Um código com a descrição de outro não é de confiança: vale a descrição.
        if q and (not descricao or _chave(descricao) in ("", _chave(q.descricao))):
            return q.classe, q
        qualificacao = descricao or ""
    q = _POR_DESCRICAO.get(_chave(qualificacao))
    return (q.classe, q) if q else (NAO_CLASSIFICADA, None)
