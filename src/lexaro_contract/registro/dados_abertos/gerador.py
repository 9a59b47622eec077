"""Gerador de meses de dados abertos do CNPJ, com dados inventados.

Escreve os 37 arquivos de um mês no leiaute oficial (ISO-8859-1, `;`, todos os
campos entre aspas, sem cabeçalho), com as esquisitices que os arquivos reais
trazem: bytes NUL, brancos sobrando, datas impossíveis e `0`/`00000000` para
nenhuma, o capital fictício 999999999999, um motivo ausente da sua tabela,
aspas sem escape e linhas com o número errado de colunas. Serve aos testes, ao
benchmark e à demonstração.

Cada empresa é função só do seu número e da semente (`modelo_da_empresa`), e
`registros_esperados` monta, diretamente do modelo e sem passar pelo CSV, o
registro que a BrasilAPI daria para cada estabelecimento: é o gabarito contra
o qual a importação é conferida.
"""

from __future__ import annotations

import io
import random
import zipfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple

from ..banco.codigos import FAIXAS_ETARIAS, MATRIZ_FILIAL, PORTES, SITUACOES
from .leiaute import SUFIXO_CSV

# ---------------------------------------------------------------- tabelas de códigos

NATUREZAS: Dict[int, str] = {
    2062: "Sociedade Empresária Limitada", 2054: "Sociedade Anônima Fechada", 2046: "Sociedade Anônima Aberta",
    2135: "Empresário (Individual)", 2240: "Sociedade Simples Limitada", 3999: "Associação Privada",
    2305: "Empresa Individual de Responsabilidade Limitada (de Natureza Empresária)",
}
QUALIFICACOES: Dict[int, str] = {
    0: "Não informada", 5: "Administrador", 10: "Diretor", 16: "Presidente", 17: "Procurador", 22: "Sócio",
    37: "Sócio Pessoa Jurídica Domiciliado no Exterior", 38: "Sócio Pessoa Física Residente no Exterior",
    49: "Sócio-Administrador", 50: "Empresário",
}
MOTIVOS: Dict[int, str] = {
    0: "SEM MOTIVO", 1: "EXTINCAO POR ENCERRAMENTO LIQUIDACAO VOLUNTARIA", 21: "PEDIDO DE BAIXA INDEFERIDA",
    63: "OMISSAO DE DECLARACOES", 71: "INAPTIDAO (LEI 11.941/2009 ART.54)", 80: "INEXISTENTE DE FATO",
}
MOTIVO_AUSENTE = 32  # aparece nos estabelecimentos e falta na tabela, como nos arquivos reais
PAISES: Dict[int, str] = {105: "BRASIL", 249: "ESTADOS UNIDOS", 160: "CHINA, REPUBLICA POPULAR", 607: "PORTUGAL",
                          63: "ARGENTINA", 23: "ALEMANHA"}
_CIDADES = [("SAO PAULO", "SP"), ("RIO DE JANEIRO", "RJ"), ("BELO HORIZONTE", "MG"), ("BRASILIA", "DF"),
            ("CAMPINAS", "SP"), ("PORTO ALEGRE", "RS"), ("CURITIBA", "PR"), ("SALVADOR", "BA"),
            ("RECIFE", "PE"), ("FORTALEZA", "CE"), ("GOIANIA", "GO"), ("MANAUS", "AM"), ("BELEM", "PA"),
            ("FLORIANOPOLIS", "SC"), ("VITORIA", "ES"), ("NATAL", "RN"), ("SÃO LUÍS", "MA"),
            ("JOÃO PESSOA", "PB"), ("MACEIÓ", "AL"), ("CUIABÁ", "MT")]
_UFS = ["SP", "RJ", "MG", "RS", "PR", "BA", "SC", "GO", "PE", "CE", "PA", "ES", "MA", "AM", "MT", "MS", "DF"]
MUNICIPIOS: Dict[int, Tuple[str, str]] = {}
for _i, (_nome, _uf) in enumerate(_CIDADES):
    MUNICIPIOS[1001 + _i * 7] = (_nome, _uf)
for _i in range(400):
    MUNICIPIOS[3001 + _i] = (f"VILA INVENTADA {_i:03d}", _UFS[_i % len(_UFS)])
_MUNICIPIO_CODIGOS = sorted(MUNICIPIOS)
CNAES: Dict[int, str] = {
    6201501: "Desenvolvimento de programas de computador sob encomenda",
    4711302: "Comércio varejista de mercadorias em geral, com predominância de produtos alimentícios - supermercados",
    5611201: "Restaurantes e similares", 6920601: "Atividades de contabilidade",
    4930202: "Transporte rodoviário de carga, exceto produtos perigosos e mudanças, intermunicipal, interestadual "
             "e internacional",
    4120400: "Construção de edifícios", 7020400: "Atividades de consultoria em gestão empresarial, exceto "
                                                 "consultoria técnica específica",
    4781400: "Comércio varejista de artigos do vestuário e acessórios", 9602501: "Cabeleireiros, manicure e pedicure",
    8630503: "Atividade médica ambulatorial restrita a consultas",
}
for _i in range(300):
    CNAES[1000000 + _i * 311] = f"Atividade inventada número {_i:03d}"
_CNAE_CODIGOS = sorted(CNAES)

# ---------------------------------------------------------------- vocabulário inventado

_SILABAS = ["KA", "RO", "VI", "TE", "LU", "MA", "NO", "SA", "BE", "DI", "XO", "ZU", "PA", "QUI", "FRE", "GLA", "TRO",
            "NHA", "LHE", "VRA", "SOL", "MIR", "TAL", "VEN"]
_ATIVIDADES = ["COMERCIO", "SERVICOS", "TECNOLOGIA", "CONSTRUCOES", "TRANSPORTES", "ALIMENTOS", "CONSULTORIA",
               "ENGENHARIA", "DISTRIBUIDORA", "INDUSTRIA", "LOGISTICA", "INFORMATICA", "EDUCACAO", "SAUDE",
               "CONFECÇÕES", "AGROPECUÁRIA", "MÓVEIS", "COMUNICAÇÃO", "PARTICIPAÇÕES", "EMPREENDIMENTOS"]
_SUFIXOS = ["LTDA", "LTDA.", "S.A.", "S/A", "LTDA - ME", "EPP", "LTDA"]
_PRENOMES = ["JOAO", "MARIA", "JOSE", "ANA", "CARLOS", "PAULO", "FRANCISCA", "ANTONIO", "LUCAS", "JULIANA",
             "MARCOS", "PATRICIA", "RAFAEL", "FERNANDA", "PEDRO", "ALINE", "BRUNO", "CAMILA", "RICARDO", "HELENA",
             "JOÃO", "CONCEIÇÃO", "GABRIEL", "BEATRIZ"]
_SOBRENOMES = ["SILVA", "SOUZA", "OLIVEIRA", "PEREIRA", "COSTA", "RODRIGUES", "ALMEIDA", "NASCIMENTO", "LIMA",
               "ARAUJO", "FERREIRA", "CARVALHO", "GOMES", "MARTINS", "ROCHA", "RIBEIRO", "ALVES", "MONTEIRO",
               "MENDES", "BARROS", "FREITAS", "BARBOSA", "PINTO", "MOURA", "DIAS", "CASTRO", "CAMPOS", "ASSUNÇÃO"]
_ESTRANGEIROS = ["JOHN SMITHWICK", "LI WEIMING", "HANS MUELLERBACH", "MARIA GONZALEZ RUA", "PIERRE DUVALIER"]
_TIPOS_LOGRADOURO = ["RUA", "AVENIDA", "TRAVESSA", "ALAMEDA", "RODOVIA", "PRACA", "ESTRADA"]
_LOGRADOUROS = ["DAS PALMEIRAS", "BRIG FARIA LIMA", "PAULISTA", "SETE DE SETEMBRO", "DOS ANDRADAS", "XV DE NOVEMBRO",
                "GETULIO VARGAS", "DAS FLORES", "SÃO JOÃO", "DO COMÉRCIO", "PRESIDENTE VARGAS", "DOM PEDRO II"]
_BAIRROS = ["CENTRO", "JARDIM AMERICA", "VILA NOVA", "BELA VISTA", "SANTA CECILIA", "BOA VIAGEM", "SAVASSI",
            "MOINHOS DE VENTO", "ÁGUA VERDE", "ASA NORTE"]
_COMPLEMENTOS = ["", "", "", "SALA 101", "ANDAR 5", "LOJA 2", "CONJ 42", "BLOCO B APTO 12"]
_DOMINIOS = ["exemplo.com.br", "correio.example", "empresa.example"]


def _dv_cnpj(doze: str) -> str:
    pesos1 = [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2]
    pesos2 = [6] + pesos1
    s = sum(int(c) * p for c, p in zip(doze, pesos1))
    d1 = 0 if s % 11 < 2 else 11 - s % 11
    s = sum(int(c) * p for c, p in zip(doze + str(d1), pesos2))
    d2 = 0 if s % 11 < 2 else 11 - s % 11
    return f"{d1}{d2}"


def basico_da_empresa(i: int, n: int) -> str:
    passo = max(1, min(50, 89_999_999 // max(n, 1)))
    return f"{10_000_000 + i * passo:08d}"


def cnpj_da_empresa(i: int, n: int, ordem: int = 1) -> str:
    doze = basico_da_empresa(i, n) + f"{ordem:04d}"
    return doze + _dv_cnpj(doze)


# ---------------------------------------------------------------- modelo

@dataclass
class Socio:
    identificador: int
    nome: str
    documento: str
    qualificacao: int
    entrada: str           # AAAAMMDD ou "0"
    pais: Optional[int]
    cpf_representante: str
    nome_representante: str
    qualificacao_representante: int
    faixa: int


@dataclass
class Estabelecimento:
    ordem: int
    dv: str
    fantasia: str
    situacao: int
    data_situacao: str
    motivo: int
    inicio: str
    cnae: int
    secundarios: List[int]
    tipo_logradouro: str
    logradouro: str        # como escrito no arquivo (pode ter brancos sobrando)
    numero: str
    complemento: str
    bairro: str
    cep: str
    uf: str
    municipio: int
    ddd1: str
    tel1: str
    ddd2: str
    tel2: str
    email: str
    situacao_especial: str
    data_situacao_especial: str


@dataclass
class Empresa:
    basico: str
    razao: str             # como escrito no arquivo (pode ter NUL)
    natureza: int
    qualificacao_responsavel: int
    capital: str           # "1000,00"
    porte: int
    ente: str
    estabelecimentos: List[Estabelecimento] = field(default_factory=list)
    socios: List[Socio] = field(default_factory=list)
    simples: Optional[Tuple[str, str, str, str, str, str]] = None


def _data(r: random.Random, a0: int = 1970, a1: int = 2025) -> str:
    return f"{r.randint(a0, a1):04d}{r.randint(1, 12):02d}{r.randint(1, 28):02d}"


def _palavra(r: random.Random) -> str:
    return "".join(r.choice(_SILABAS) for _ in range(r.randint(2, 3)))


def _pessoa(r: random.Random) -> str:
    return f"{r.choice(_PRENOMES)} {r.choice(_SOBRENOMES)} {r.choice(_SOBRENOMES)}"


def _cpf_mascarado(r: random.Random) -> str:
    return f"***{r.randint(0, 999999):06d}**"


def modelo_da_empresa(i: int, n: int, semente: int = 0) -> Empresa:
    """A empresa número `i` de um mês de `n` empresas (determinística)."""
    r = random.Random(semente * 1_000_003 + i)
    basico = basico_da_empresa(i, n)
    natureza = r.choice([2062, 2062, 2062, 2135, 2135, 2054, 2240, 2305, 3999, 2046])
    if natureza == 2135:
        razao = f"{_pessoa(r)} {basico}"
    else:
        razao = f"{_palavra(r)} {r.choice(_ATIVIDADES)} {r.choice(_SUFIXOS)}"
    # As esquisitices vêm de sorteio e também em posições fixas, para que
    # todo mês, mesmo pequeno, traga cada uma delas.
    fixa = i % 50
    if r.random() < 0.003 or fixa == 3:
        k = r.randint(1, len(razao) - 1)
        razao = razao[:k] + "\x00" + razao[k:]
    if r.random() < 0.001 or fixa == 11:
        capital = "999999999999,00"
    else:
        capital = f"{r.choice([0, 1000, 5000, 10000, 50000, 100000, 250000, 1000000, r.randint(1, 9999999)])},"\
                  f"{r.choice(['00', '00', '00', '50'])}"
    emp = Empresa(basico=basico, razao=razao, natureza=natureza,
                  qualificacao_responsavel=50 if natureza == 2135 else r.choice([49, 5, 16, 10]),
                  capital=capital, porte=r.choice([0, 1, 1, 1, 3, 5]), ente="")
    n_estab = 1 if r.random() < 0.93 else r.randint(2, 4)
    for ordem in range(1, n_estab + 1):
        doze = basico + f"{ordem:04d}"
        cod_mun = r.choice(_MUNICIPIO_CODIGOS)
        situacao = r.choice([2, 2, 2, 2, 2, 8, 8, 4, 3, 1])
        motivo = 0 if situacao == 2 else r.choice([1, 21, 63, 71, 80, MOTIVO_AUSENTE])
        data_sit = _data(r, 2000)
        if r.random() < 0.003 or fixa == 17:
            data_sit = f"{r.randint(2000, 2024)}0231"  # impossível
        logradouro = r.choice(_LOGRADOUROS)
        if r.random() < 0.05:
            logradouro += "   "
        fantasia = "" if r.random() < 0.5 else f"{_palavra(r)} {r.choice(_ATIVIDADES)}"
        if r.random() < 0.002 or fixa == 23:
            fantasia = f'BAR "{_palavra(r)}"'
        est = Estabelecimento(
            ordem=ordem, dv=_dv_cnpj(doze), fantasia=fantasia, situacao=situacao, data_situacao=data_sit,
            motivo=motivo, inicio=_data(r), cnae=r.choice(_CNAE_CODIGOS),
            secundarios=sorted(r.sample(_CNAE_CODIGOS, r.choice([0, 0, 1, 2, 3]))),
            tipo_logradouro=r.choice(_TIPOS_LOGRADOURO), logradouro=logradouro,
            numero="S/N" if r.random() < 0.1 else str(r.randint(1, 4999)), complemento=r.choice(_COMPLEMENTOS),
            bairro=r.choice(_BAIRROS), cep=f"{r.randint(1000000, 99999999):08d}", uf=MUNICIPIOS[cod_mun][1],
            municipio=cod_mun, ddd1=str(r.randint(11, 99)), tel1=f"{r.randint(20000000, 99999999)}",
            ddd2="", tel2="", email="" if r.random() < 0.6 else f"{_palavra(r).lower()}@{r.choice(_DOMINIOS)}",
            situacao_especial="", data_situacao_especial="")
        if r.random() < 0.1:
            est.ddd2, est.tel2 = est.ddd1, f"{r.randint(20000000, 99999999)}"
        emp.estabelecimentos.append(est)
    n_socios = r.choice([0, 0, 0, 1, 1, 2, 3]) if natureza != 2135 else 0
    for _ in range(n_socios):
        tipo = r.choice([2, 2, 2, 2, 1, 3])
        if tipo == 2:
            s = Socio(2, _pessoa(r), _cpf_mascarado(r), r.choice([49, 22, 5]), _data(r, 1990),
                      None, "***000000**", "", 0, r.randint(2, 9))
        elif tipo == 1:
            j = r.randrange(n)
            s = Socio(1, modelo_nome_pj(j, n, semente), cnpj_da_empresa(j, n), r.choice([22, 37]), _data(r, 1990),
                      None, _cpf_mascarado(r), _pessoa(r), r.choice([5, 10, 16]), 0)
        else:
            s = Socio(3, r.choice(_ESTRANGEIROS), "***999999**", 38, _data(r, 1990), r.choice([249, 160, 607, 23]),
                      "***000000**", "", 0, 0)
        if r.random() < 0.01:
            s.entrada = r.choice(["0", "00000000"])
        emp.socios.append(s)
    if r.random() < 0.5:
        mei = natureza == 2135 and r.random() < 0.7
        emp.simples = ("S", _data(r, 2007), r.choice(["00000000", _data(r, 2015)]),
                       "S" if mei else "N", _data(r, 2009) if mei else "00000000", "00000000")
    return emp


def modelo_nome_pj(j: int, n: int, semente: int) -> str:
    """A razão social de outra empresa do mês, como sócia pessoa jurídica."""
    r = random.Random(semente * 7_000_001 + j)
    return f"{_palavra(r)} PARTICIPACOES S.A."


# ---------------------------------------------------------------- linhas do CSV

def _linha(campos: List[str]) -> str:
    return ";".join(f'"{c}"' for c in campos) + "\n"


def linhas_empresa(e: Empresa) -> str:
    return _linha([e.basico, e.razao, f"{e.natureza:04d}", f"{e.qualificacao_responsavel:02d}", e.capital,
                   f"{e.porte:02d}", e.ente])


def linhas_estabelecimentos(e: Empresa) -> str:
    partes = []
    for s in e.estabelecimentos:
        partes.append(_linha([
            e.basico, f"{s.ordem:04d}", s.dv, "1" if s.ordem == 1 else "2", s.fantasia, f"{s.situacao:02d}",
            s.data_situacao, f"{s.motivo:02d}", "", "", s.inicio, str(s.cnae), ",".join(map(str, s.secundarios)),
            s.tipo_logradouro, s.logradouro, s.numero, s.complemento, s.bairro, s.cep, s.uf, f"{s.municipio:04d}",
            s.ddd1, s.tel1, s.ddd2, s.tel2, "", "", s.email, s.situacao_especial, s.data_situacao_especial]))
    return "".join(partes)


def linhas_socios(e: Empresa) -> str:
    return "".join(_linha([
        e.basico, str(s.identificador), s.nome, s.documento, f"{s.qualificacao:02d}", s.entrada,
        "" if s.pais is None else f"{s.pais:03d}", s.cpf_representante, s.nome_representante,
        f"{s.qualificacao_representante:02d}", str(s.faixa)]) for s in e.socios)


def linhas_simples(e: Empresa) -> str:
    return _linha([e.basico, *e.simples]) if e.simples else ""


# Linhas com o número errado de colunas, uma no fim de cada parte.
_LINHA_TORTA = '"99999999";"linha com colunas a menos"\n'


# ---------------------------------------------------------------- registro esperado

def _iso(d: str) -> Optional[str]:
    if len(d) != 8 or not d.isdigit() or d == "00000000":
        return None
    try:
        import datetime

        datetime.date(int(d[:4]), int(d[4:6]), int(d[6:]))
    except ValueError:
        return None
    return f"{d[:4]}-{d[4:6]}-{d[6:]}"


def _numero(capital: str) -> Any:
    inteiro, _, centavos = capital.partition(",")
    if centavos.strip("0"):
        return float(f"{inteiro}.{centavos}")
    return int(inteiro)


def registros_esperados(e: Empresa) -> List[Dict[str, Any]]:
    """O registro no formato da BrasilAPI de cada estabelecimento da empresa."""
    qsa = []
    for s in e.socios:
        qsa.append({
            "identificador_de_socio": s.identificador,
            "nome_socio": s.nome,
            "cnpj_cpf_do_socio": s.documento,
            "codigo_qualificacao_socio": s.qualificacao,
            "qualificacao_socio": QUALIFICACOES.get(s.qualificacao),
            "data_entrada_sociedade": _iso(s.entrada),
            "codigo_pais": s.pais,
            "pais": PAISES.get(s.pais) if s.pais is not None else None,
            "cpf_representante_legal": s.cpf_representante,
            "nome_representante_legal": s.nome_representante,
            "codigo_qualificacao_representante_legal": s.qualificacao_representante,
            "qualificacao_representante_legal": QUALIFICACOES.get(s.qualificacao_representante),
            "codigo_faixa_etaria": s.faixa,
            "faixa_etaria": FAIXAS_ETARIAS.get(s.faixa),
        })
    simples = e.simples
    saida = []
    for est in e.estabelecimentos:
        mun = MUNICIPIOS.get(est.municipio)
        saida.append({
            "cnpj": f"{e.basico}{est.ordem:04d}{est.dv}",
            "identificador_matriz_filial": 1 if est.ordem == 1 else 2,
            "descricao_identificador_matriz_filial": MATRIZ_FILIAL[1 if est.ordem == 1 else 2],
            "razao_social": e.razao.replace("\x00", ""),
            "nome_fantasia": est.fantasia,
            "codigo_natureza_juridica": e.natureza,
            "natureza_juridica": NATUREZAS.get(e.natureza),
            "qualificacao_do_responsavel": e.qualificacao_responsavel,
            "capital_social": _numero(e.capital),
            "codigo_porte": e.porte,
            "porte": PORTES.get(e.porte),
            "descricao_porte": PORTES.get(e.porte),
            "ente_federativo_responsavel": e.ente,
            "situacao_cadastral": est.situacao,
            "descricao_situacao_cadastral": SITUACOES.get(est.situacao),
            "data_situacao_cadastral": _iso(est.data_situacao),
            "motivo_situacao_cadastral": est.motivo,
            "descricao_motivo_situacao_cadastral": MOTIVOS.get(est.motivo),
            "nome_cidade_no_exterior": "",
            "codigo_pais": None,
            "pais": None,
            "data_inicio_atividade": _iso(est.inicio),
            "cnae_fiscal": est.cnae,
            "cnae_fiscal_descricao": CNAES.get(est.cnae),
            "cnaes_secundarios": [{"codigo": c, "descricao": CNAES.get(c)} for c in est.secundarios],
            "descricao_tipo_de_logradouro": est.tipo_logradouro,
            "logradouro": est.logradouro.strip(),
            "numero": est.numero,
            "complemento": est.complemento,
            "bairro": est.bairro,
            "cep": est.cep,
            "uf": est.uf,
            "codigo_municipio": est.municipio,
            "municipio": mun[0] if mun else None,
            "codigo_municipio_ibge": None,
            "ddd_telefone_1": est.ddd1 + est.tel1,
            "ddd_telefone_2": est.ddd2 + est.tel2,
            "ddd_fax": "",
            "email": est.email or None,
            "situacao_especial": est.situacao_especial,
            "data_situacao_especial": _iso(est.data_situacao_especial),
            "opcao_pelo_simples": None if simples is None else simples[0] == "S",
            "data_opcao_pelo_simples": None if simples is None else _iso(simples[1]),
            "data_exclusao_do_simples": None if simples is None else _iso(simples[2]),
            "opcao_pelo_mei": None if simples is None else simples[3] == "S",
            "data_opcao_pelo_mei": None if simples is None else _iso(simples[4]),
            "data_exclusao_do_mei": None if simples is None else _iso(simples[5]),
            "qsa": [dict(q) for q in qsa],
        })
    return saida


# ---------------------------------------------------------------- arquivos

def _tabela(codigos: Dict[int, str], largura: int) -> str:
    return "".join(_linha([f"{c:0{largura}d}", d]) for c, d in sorted(codigos.items()))


def _nome_csv(familia: str, parte: Optional[int], data: str) -> str:
    sufixo = SUFIXO_CSV[familia]
    if familia == "Simples":
        return f"F.K03200$W.SIMPLES.CSV.D{data}"
    if parte is None:
        return f"F.K03200$Z.D{data}.{sufixo}"
    return f"K3241.K03200Y{parte}.D{data}.{sufixo}"


class _Saida:
    """Um arquivo do mês: zip com um CSV dentro, ou o CSV solto."""

    def __init__(self, pasta: Path, familia: str, parte: Optional[int], data: str, zips: bool,
                 embaralhar: Optional[random.Random] = None) -> None:
        nome_zip = f"{familia}{'' if parte is None else parte}.zip"
        self.csv = _nome_csv(familia, parte, data)
        self._zip: Optional[zipfile.ZipFile] = None
        if zips:
            self._zip = zipfile.ZipFile(pasta / nome_zip, "w", zipfile.ZIP_DEFLATED, compresslevel=1)
            bruto = self._zip.open(self.csv, "w", force_zip64=True)
        else:
            bruto = open(pasta / self.csv, "wb")
        self._bruto = bruto
        self._saida = io.TextIOWrapper(bruto, encoding="latin-1", newline="", write_through=False)
        self._embaralhar = embaralhar   # linhas em ordem aleatória, como nos arquivos reais
        self.texto: Any = io.StringIO() if embaralhar is not None else self._saida

    def fechar(self) -> None:
        if self._embaralhar is not None:
            linhas = self.texto.getvalue().splitlines(keepends=True)
            self._embaralhar.shuffle(linhas)
            self._saida.write("".join(linhas))
        self._saida.flush()
        self._saida.close()
        if self._zip is not None:
            self._zip.close()


def partes_para(empresas: int) -> int:
    return max(1, min(10, (empresas + 99) // 100))


def gerar(pasta: "str | Path", empresas: int, semente: int = 0, zips: bool = True,
          data: str = "61108", embaralhar: bool = False) -> Dict[str, int]:
    """Escreve um mês de `empresas` empresas inventadas (`embaralhar`: linhas em ordem aleatória)."""
    rng = random.Random(semente) if embaralhar else None
    if empresas < 1:
        raise ValueError("o número de empresas deve ser pelo menos 1")
    destino = Path(pasta)
    destino.mkdir(parents=True, exist_ok=True)
    linhas = {"Empresas": 0, "Estabelecimentos": 0, "Socios": 0, "Simples": 0}
    tabelas = {"Cnaes": (CNAES, 7), "Motivos": (MOTIVOS, 2), "Naturezas": (NATUREZAS, 4), "Paises": (PAISES, 3),
               "Qualificacoes": (QUALIFICACOES, 2)}
    for familia, (codigos, largura) in tabelas.items():
        s = _Saida(destino, familia, None, data, zips)
        s.texto.write(_tabela(codigos, largura))
        s.fechar()
    s = _Saida(destino, "Municipios", None, data, zips)
    s.texto.write(_tabela({c: n for c, (n, _uf) in MUNICIPIOS.items()}, 4))
    s.fechar()

    simples = _Saida(destino, "Simples", None, data, zips, rng)
    partes = partes_para(empresas)
    for parte in range(partes):
        inicio, fim = parte * empresas // partes, (parte + 1) * empresas // partes
        saidas = {f: _Saida(destino, f, parte, data, zips, rng) for f in ("Empresas", "Estabelecimentos", "Socios")}
        we, wt, ws, wsi = (saidas["Empresas"].texto.write, saidas["Estabelecimentos"].texto.write,
                           saidas["Socios"].texto.write, simples.texto.write)
        for i in range(inicio, fim):
            e = modelo_da_empresa(i, empresas, semente)
            we(linhas_empresa(e))
            wt(linhas_estabelecimentos(e))
            ws(linhas_socios(e))
            wsi(linhas_simples(e))
            linhas["Empresas"] += 1
            linhas["Estabelecimentos"] += len(e.estabelecimentos)
            linhas["Socios"] += len(e.socios)
            linhas["Simples"] += e.simples is not None
        wt(_LINHA_TORTA)
        for s in saidas.values():
            s.fechar()
    simples.fechar()
    return linhas


def iterar_empresas(empresas: int, semente: int = 0) -> Iterator[Empresa]:
    for i in range(empresas):
        yield modelo_da_empresa(i, empresas, semente)
