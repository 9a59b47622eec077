"""Contratos de exemplo em PDF para testes, benchmarks e demonstração.

Todos os nomes, CNPJs, CPFs e endereços são inventados.

API:
    make_contract_pdf(path, text) -> Path      escreve um PDF real (fpdf2) com o texto;
                                               "\\f" no texto inicia uma nova página
    SAMPLES: dict[str, ContractSample]         textos com a extração esperada
    long_contract_text(pages)                  contrato de serviços com cláusulas extras
    make_long_contract_pdf(path, pages=10)     o mesmo, com exatamente `pages` páginas
    scanned_copy(src, dst, pages=None, dpi=200) cópia só de imagens (um contrato escaneado)
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, List, Optional, Union

import pypdfium2 as pdfium
from fpdf import FPDF

_FONT_CANDIDATES = (
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "/usr/share/fonts/dejavu/DejaVuSans.ttf",
    "/usr/share/fonts/TTF/DejaVuSans.ttf",
    "/usr/local/share/fonts/DejaVuSans.ttf",
)

# Sem uma fonte TrueType, as fontes básicas do PDF só cobrem Latin-1.
_LATIN1_FALLBACK = str.maketrans({"“": '"', "”": '"', "‘": "'", "’": "'", "–": "-", "—": "-", "…": "..."})


def find_font() -> Optional[str]:
    """Caminho de uma fonte TrueType com acentos e aspas curvas, ou None."""
    env = os.environ.get("LEXARO_TEST_FONT")
    if env and os.path.isfile(env):
        return env
    for cand in _FONT_CANDIDATES:
        if os.path.isfile(cand):
            return cand
    return None


def _fonte(pdf: FPDF, font_path: Optional[str], size: float) -> Callable[[str], str]:
    """Põe em `pdf` a fonte TrueType de `font_path` ou, sem ela, Helvetica;
    devolve como escrever um texto nessa fonte (a Helvetica só tem Latin-1)."""
    if font_path:
        pdf.add_font("Doc", "", font_path)
        pdf.set_font("Doc", size=size)
        return lambda s: s
    pdf.set_font("Helvetica", size=size)
    return lambda s: s.translate(_LATIN1_FALLBACK)


def _build(text: str, font_path: Optional[str]) -> FPDF:
    pdf = FPDF(format="A4")
    pdf.set_margins(20, 20, 20)
    pdf.set_auto_page_break(True, margin=20)
    text = _fonte(pdf, font_path, 10)(text)
    for page in text.split("\f"):
        pdf.add_page()
        for line in page.strip("\n").split("\n"):
            if not line.strip():
                pdf.ln(3)
                continue
            pdf.multi_cell(0, 5, line, new_x="LMARGIN", new_y="NEXT")
    return pdf


def _close(pdf: FPDF) -> None:
    # fpdf2 deixa o arquivo da fonte TrueType aberto até o objeto morrer
    for font in pdf.fonts.values():
        close = getattr(font, "close", None)
        if close is not None:
            close()


def _write(pdf: FPDF, path: Union[str, os.PathLike]) -> Path:
    path = Path(path)
    try:
        pdf.output(str(path))
    finally:
        _close(pdf)
    return path


def make_contract_pdf(path: Union[str, os.PathLike], text: str, *, font_path: Optional[str] = None) -> Path:
    """Escreve em `path` um PDF com camada de texto; devolve o caminho."""
    return _write(_build(text, font_path if font_path is not None else find_font()), path)


@dataclass
class ContractSample:
    text: str
    empresas: List[Dict[str, Optional[str]]]
    assinaturas: List[Dict[str, Optional[str]]]
    dados: Dict[str, Optional[str]]
    keywords: List[str] = field(default_factory=list)


def _empresa(cnpj, razao, endereco, papel, fantasia=None):
    return {
        "cnpj": cnpj,
        "razao_social": razao,
        "nome_fantasia": fantasia,
        "endereco": endereco,
        "papel_no_contrato": papel,
    }


def _pessoa(nome, cargo, cpf, empresa, cnpj, tipo):
    return {
        "nome_signatario": nome,
        "cargo": cargo,
        "cpf": cpf,
        "empresa_representada": empresa,
        "cnpj_empresa": cnpj,
        "tipo_assinatura": tipo,
    }


# ---------------------------------------------------------------------------
# 1. Prestação de serviços: uma empresa de cada lado, blocos "Nome:/Cargo:",
#    testemunhas com linha de assinatura.

SERVICOS_TEXT = """CONTRATO DE PRESTAÇÃO DE SERVIÇOS DE TECNOLOGIA

Pelo presente instrumento particular, as partes abaixo qualificadas:

CONTRATANTE: ALFA SERVIÇOS LTDA., pessoa jurídica de direito privado, inscrita no CNPJ sob o nº 12.345.678/0001-99, com sede na Rua das Flores, nº 100, Sala 2, Centro, São Paulo/SP, CEP 01010-000, neste ato representada por seu sócio administrador JOÃO DA SILVA, brasileiro, casado, empresário, portador da cédula de identidade RG nº 12.345.678-9 SSP/SP, inscrito no CPF sob o nº 123.456.789-09, residente e domiciliado em São Paulo/SP, doravante denominada simplesmente “CONTRATANTE”;

CONTRATADA: BETA TECNOLOGIA DA INFORMAÇÃO S.A., sociedade anônima, inscrita no CNPJ/MF sob o nº 98.765.432/0001-10, com sede na Avenida Paulista, nº 1500, 10º andar, Bela Vista, São Paulo/SP, CEP 01310-100, neste ato representada por sua diretora presidente MARIA APARECIDA SOUZA, brasileira, divorciada, administradora, inscrita no CPF sob o nº 987.654.321-00, doravante denominada simplesmente “CONTRATADA”.

Têm entre si justo e contratado o seguinte:

CLÁUSULA PRIMEIRA – DO OBJETO
1.1. O presente contrato tem por objeto a prestação de serviços de suporte técnico e manutenção de sistemas de informática pela CONTRATADA à CONTRATANTE.
{extra}
CLÁUSULA SEGUNDA – DO PREÇO
2.1. Pelos serviços, a CONTRATANTE pagará à CONTRATADA o valor mensal de R$ 15.000,00 (quinze mil reais), até o dia 10 de cada mês, mediante a apresentação da nota fiscal.

CLÁUSULA TERCEIRA – DA VIGÊNCIA
3.1. O presente contrato vigorará pelo prazo de 12 (doze) meses, contados a partir da data de sua assinatura.

CLÁUSULA QUARTA – DO FORO
4.1. Fica eleito o foro da Comarca de São Paulo/SP para dirimir quaisquer dúvidas oriundas deste contrato, com renúncia a qualquer outro, por mais privilegiado que seja.

E, por estarem justas e contratadas, as partes assinam o presente instrumento em 2 (duas) vias de igual teor.

São Paulo, 10 de março de 2024.

_______________________________________________
ALFA SERVIÇOS LTDA.
Nome: JOÃO DA SILVA
Cargo: Sócio Administrador

_______________________________________________
BETA TECNOLOGIA DA INFORMAÇÃO S.A.
Nome: MARIA APARECIDA SOUZA
Cargo: Diretora Presidente

TESTEMUNHAS:

1. _________________________________
Nome: CARLOS PEREIRA LIMA
CPF: 111.222.333-44

2. _________________________________
Nome: ANA PAULA COSTA
CPF: 555.666.777-88
"""

_ALFA = "ALFA SERVIÇOS LTDA."
_BETA = "BETA TECNOLOGIA DA INFORMAÇÃO S.A."

SERVICOS = ContractSample(
    text=SERVICOS_TEXT.replace("{extra}", ""),
    empresas=[
        _empresa(
            "12.345.678/0001-99",
            _ALFA,
            "Rua das Flores, nº 100, Sala 2, Centro, São Paulo/SP, CEP 01010-000",
            "contratante",
        ),
        _empresa(
            "98.765.432/0001-10",
            _BETA,
            "Avenida Paulista, nº 1500, 10º andar, Bela Vista, São Paulo/SP, CEP 01310-100",
            "contratada",
        ),
    ],
    assinaturas=[
        _pessoa("JOÃO DA SILVA", "Sócio Administrador", "123.456.789-09", _ALFA, "12.345.678/0001-99",
                "representante legal"),
        _pessoa("MARIA APARECIDA SOUZA", "Diretora Presidente", "987.654.321-00", _BETA, "98.765.432/0001-10",
                "representante legal"),
        _pessoa("CARLOS PEREIRA LIMA", "Testemunha", "111.222.333-44", None, None, "testemunha"),
        _pessoa("ANA PAULA COSTA", "Testemunha", "555.666.777-88", None, None, "testemunha"),
    ],
    dados={
        "tipo_contrato": "CONTRATO DE PRESTAÇÃO DE SERVIÇOS DE TECNOLOGIA",
        "objeto": "a prestação de serviços de suporte técnico e manutenção de sistemas de informática "
        "pela CONTRATADA à CONTRATANTE",
        "data": "10 de março de 2024",
        "vigencia": "12 (doze) meses, contados a partir da data de sua assinatura",
        "valor": "R$ 15.000,00 (quinze mil reais)",
        "foro": "Comarca de São Paulo/SP",
    },
)

# ---------------------------------------------------------------------------
# 2. Locação: duas locadoras, uma locatária com dois diretores, CNPJ sem
#    pontuação, nome fantasia, procuradora, blocos "nome / cargo / empresa",
#    testemunhas numa linha só.

LOCACAO_TEXT = """INSTRUMENTO PARTICULAR DE CONTRATO DE LOCAÇÃO NÃO RESIDENCIAL

LOCADORAS:
(a) GAMA EMPREENDIMENTOS IMOBILIÁRIOS LTDA., pessoa jurídica de direito privado, inscrita no CNPJ sob o nº 45.678.901/0001-23, com sede na Rua Sete de Setembro, nº 250, Centro, Curitiba/PR, CEP 80060-070, neste ato representada por seu sócio administrador ROBERTO CARLOS MENDES, brasileiro, casado, engenheiro civil, inscrito no CPF sob o nº 222.333.444-55; e
(b) DELTA PARTICIPAÇÕES S/A, pessoa jurídica de direito privado, inscrita no CNPJ sob o nº 56789012000134, com sede na Avenida Cândido de Abreu, nº 776, sala 1201, Centro Cívico, Curitiba/PR, CEP 80530-000, neste ato representada por sua procuradora FERNANDA LIMA ROCHA, brasileira, solteira, advogada, inscrita na OAB/PR sob o nº 45.678 e no CPF sob o nº 333.444.555-66;
ambas doravante denominadas, em conjunto, LOCADORAS;

LOCATÁRIA: EPSILON COMÉRCIO DE ALIMENTOS EIRELI (nome fantasia “EMPÓRIO EPSILON”), pessoa jurídica de direito privado, inscrita no CNPJ sob o nº 67.890.123/0001-45, com sede na Rua XV de Novembro, nº 1000, loja 3, Centro, Curitiba/PR, CEP 80020-310, neste ato representada por seu diretor presidente PAULO HENRIQUE ALVES, brasileiro, casado, administrador, inscrito no CPF sob o nº 444.555.666-77, e por sua diretora financeira LUCIANA MARTINS DIAS, brasileira, casada, contadora, inscrita no CPF sob o nº 555.666.777-00, doravante denominada LOCATÁRIA.

As partes acima identificadas têm, entre si, justo e acertado o presente contrato, que se regerá pelas cláusulas seguintes e pela Lei nº 8.245/1991.

CLÁUSULA PRIMEIRA – DO OBJETO
1.1. O objeto do presente contrato é a locação do imóvel comercial situado na Rua XV de Novembro, nº 1000, loja 3, Centro, Curitiba/PR, matrícula nº 12.345 do 1º Registro de Imóveis de Curitiba.

CLÁUSULA SEGUNDA – DO PRAZO
2.1. A locação vigorará pelo prazo de 36 (trinta e seis) meses, com início em 1º de abril de 2024 e término em 31 de março de 2027.

CLÁUSULA TERCEIRA – DO ALUGUEL
3.1. O aluguel mensal será de R$ 8.500,00 (oito mil e quinhentos reais), reajustado anualmente pelo IPCA.
3.2. Em garantia, a LOCATÁRIA entrega caução de R$ 25.500,00 (vinte e cinco mil e quinhentos reais).

CLÁUSULA QUARTA – DO FORO
4.1. Fica eleito o foro da Comarca de Curitiba, Estado do Paraná, para dirimir as questões oriundas deste contrato.

Curitiba, 1º de abril de 2024.

LOCADORAS:

_______________________________________________
ROBERTO CARLOS MENDES
Sócio Administrador
GAMA EMPREENDIMENTOS IMOBILIÁRIOS LTDA.

_______________________________________________
FERNANDA LIMA ROCHA
Procuradora
DELTA PARTICIPAÇÕES S/A

LOCATÁRIA:

_______________________________________________
PAULO HENRIQUE ALVES
Diretor Presidente
EPSILON COMÉRCIO DE ALIMENTOS EIRELI

_______________________________________________
LUCIANA MARTINS DIAS
Diretora Financeira
EPSILON COMÉRCIO DE ALIMENTOS EIRELI

Testemunhas:
1. Nome: MARCOS VINÍCIUS PRADO          CPF: 666.777.888-99
2. Nome: JULIANA FERREIRA NUNES          CPF: 777.888.999-00
"""

_GAMA = "GAMA EMPREENDIMENTOS IMOBILIÁRIOS LTDA."
_DELTA = "DELTA PARTICIPAÇÕES S/A"
_EPSILON = "EPSILON COMÉRCIO DE ALIMENTOS EIRELI"

LOCACAO = ContractSample(
    text=LOCACAO_TEXT,
    empresas=[
        _empresa("45.678.901/0001-23", _GAMA, "Rua Sete de Setembro, nº 250, Centro, Curitiba/PR, CEP 80060-070",
                 "locadora"),
        _empresa("56789012000134", _DELTA,
                 "Avenida Cândido de Abreu, nº 776, sala 1201, Centro Cívico, Curitiba/PR, CEP 80530-000",
                 "locadora"),
        _empresa("67.890.123/0001-45", _EPSILON,
                 "Rua XV de Novembro, nº 1000, loja 3, Centro, Curitiba/PR, CEP 80020-310", "locatária",
                 fantasia="EMPÓRIO EPSILON"),
    ],
    assinaturas=[
        _pessoa("ROBERTO CARLOS MENDES", "Sócio Administrador", "222.333.444-55", _GAMA, "45.678.901/0001-23",
                "representante legal"),
        _pessoa("FERNANDA LIMA ROCHA", "Procuradora", "333.444.555-66", _DELTA, "56789012000134", "procurador"),
        _pessoa("PAULO HENRIQUE ALVES", "Diretor Presidente", "444.555.666-77", _EPSILON, "67.890.123/0001-45",
                "representante legal"),
        _pessoa("LUCIANA MARTINS DIAS", "Diretora Financeira", "555.666.777-00", _EPSILON, "67.890.123/0001-45",
                "representante legal"),
        _pessoa("MARCOS VINÍCIUS PRADO", "Testemunha", "666.777.888-99", None, None, "testemunha"),
        _pessoa("JULIANA FERREIRA NUNES", "Testemunha", "777.888.999-00", None, None, "testemunha"),
    ],
    dados={
        "tipo_contrato": "INSTRUMENTO PARTICULAR DE CONTRATO DE LOCAÇÃO NÃO RESIDENCIAL",
        "objeto": "a locação do imóvel comercial situado na Rua XV de Novembro, nº 1000, loja 3, Centro, "
        "Curitiba/PR, matrícula nº 12.345 do 1º Registro de Imóveis de Curitiba",
        "data": "1º de abril de 2024",
        "vigencia": "36 (trinta e seis) meses, com início em 1º de abril de 2024 e término em 31 de março de 2027",
        "valor": "R$ 8.500,00 (oito mil e quinhentos reais)",
        "foro": "Comarca de Curitiba",
    },
)

# ---------------------------------------------------------------------------
# 3. Fornecimento: partes sem rótulo ("de um lado ... de outro lado"),
#    interveniente garantidora, blocos "NOME - Cargo", página de assinaturas
#    digitais ICP-Brasil (e-CPF e e-CNPJ).

FORNECIMENTO_TEXT = """CONTRATO DE FORNECIMENTO DE INSUMOS INDUSTRIAIS

Por este instrumento particular, de um lado ZETA INDÚSTRIA QUÍMICA LTDA., pessoa jurídica de direito privado, inscrita no CNPJ sob o nº 23.456.789/0001-01, com sede na Rodovia BR-116, km 45, Distrito Industrial, Canoas/RS, CEP 92000-000, neste ato representada por seu diretor geral RICARDO ANTUNES BRAGA, brasileiro, casado, químico industrial, inscrito no CPF sob o nº 666.555.444-33, doravante denominada FORNECEDORA; e, de outro lado, ETA ALIMENTOS DO SUL S.A., sociedade anônima de capital fechado, inscrita no CNPJ sob o nº 34.567.890/0001-12, com sede na Avenida Ipiranga, nº 6681, Partenon, Porto Alegre/RS, CEP 90619-900, neste ato representada por sua diretora comercial CLÁUDIA REGINA FONTES, brasileira, solteira, engenheira de alimentos, inscrita no CPF sob o nº 777.666.555-44, e por seu diretor industrial SÉRGIO AUGUSTO TAVARES, brasileiro, casado, economista, inscrito no CPF sob o nº 888.777.666-55, doravante denominada COMPRADORA; e ainda, na qualidade de interveniente garantidora, TETA HOLDING PARTICIPAÇÕES LTDA., pessoa jurídica de direito privado, inscrita no CNPJ sob o nº 45.123.987/0001-60, com sede na Rua dos Andradas, nº 1234, conjunto 501, Centro Histórico, Porto Alegre/RS, CEP 90020-008, neste ato representada por seu sócio administrador HENRIQUE DIAS MOREIRA, brasileiro, casado, administrador, inscrito no CPF sob o nº 999.888.777-66, doravante denominada INTERVENIENTE;

resolvem celebrar o presente contrato, mediante as cláusulas e condições seguintes.

CLÁUSULA 1ª – OBJETO
1.1. Este contrato tem como objeto o fornecimento contínuo de insumos químicos para a linha de produção da COMPRADORA, conforme especificações do Anexo I.

CLÁUSULA 2ª – PREÇO E PAGAMENTO
2.1. O valor total estimado do presente contrato é de R$ 480.000,00 (quatrocentos e oitenta mil reais), pago em parcelas mensais conforme as entregas realizadas.

CLÁUSULA 3ª – VIGÊNCIA
3.1. O presente contrato terá vigência de 24 (vinte e quatro) meses, contados da data de sua assinatura, podendo ser prorrogado mediante termo aditivo.

CLÁUSULA 4ª – FORO
4.1. As partes elegem o foro da Comarca de Porto Alegre/RS, com exclusão de qualquer outro.

Canoas, 15 de maio de 2024.

Pela FORNECEDORA:
_______________________________________________
RICARDO ANTUNES BRAGA – Diretor Geral
ZETA INDÚSTRIA QUÍMICA LTDA.

Pela COMPRADORA:
_______________________________________________
CLÁUDIA REGINA FONTES – Diretora Comercial
_______________________________________________
SÉRGIO AUGUSTO TAVARES – Diretor Industrial

Pela INTERVENIENTE:
_______________________________________________
HENRIQUE DIAS MOREIRA – Sócio Administrador
TETA HOLDING PARTICIPAÇÕES LTDA.

Testemunhas:
_______________________________________________
Nome: BEATRIZ SANTOS OLIVEIRA – CPF: 121.232.343-45
_______________________________________________
Nome: GUSTAVO HENRIQUE RAMOS – CPF: 232.343.454-56
\fPÁGINA DE ASSINATURAS DIGITAIS

Este documento foi assinado digitalmente com certificados emitidos no âmbito da Infraestrutura de Chaves Públicas Brasileira (ICP-Brasil), nos termos da Medida Provisória nº 2.200-2/2001.

Assinante: RICARDO ANTUNES BRAGA:66655544433
Certificado: e-CPF A3 | Emissor: AC EXEMPLO RFB v5
Data/hora: 15/05/2024 10:12:45 -03:00

Assinante: CLAUDIA REGINA FONTES:77766655544
Certificado: e-CPF A1 | Emissor: AC EXEMPLO RFB v5
Data/hora: 15/05/2024 11:03:10 -03:00

Assinante: SERGIO AUGUSTO TAVARES:88877766655
Certificado: e-CPF A3 | Emissor: AC EXEMPLO RFB v5
Data/hora: 15/05/2024 11:20:02 -03:00

Assinante: HENRIQUE DIAS MOREIRA:99988877766
Certificado: e-CPF A3 | Emissor: AC EXEMPLO RFB v5
Data/hora: 15/05/2024 14:45:31 -03:00

Assinante: ZETA INDUSTRIA QUIMICA LTDA:23456789000101
Certificado: e-CNPJ A1 | Emissor: AC EXEMPLO RFB v5
Data/hora: 15/05/2024 10:13:02 -03:00

Código de verificação do documento: 7F3A-19C2-88D0-4B6E
"""

_ZETA = "ZETA INDÚSTRIA QUÍMICA LTDA."
_ETA = "ETA ALIMENTOS DO SUL S.A."
_TETA = "TETA HOLDING PARTICIPAÇÕES LTDA."
_DIGITAL = "assinatura digital ICP-Brasil"

FORNECIMENTO = ContractSample(
    text=FORNECIMENTO_TEXT,
    empresas=[
        _empresa("23.456.789/0001-01", _ZETA, "Rodovia BR-116, km 45, Distrito Industrial, Canoas/RS, CEP 92000-000",
                 "fornecedora"),
        _empresa("34.567.890/0001-12", _ETA, "Avenida Ipiranga, nº 6681, Partenon, Porto Alegre/RS, CEP 90619-900",
                 "compradora"),
        _empresa("45.123.987/0001-60", _TETA,
                 "Rua dos Andradas, nº 1234, conjunto 501, Centro Histórico, Porto Alegre/RS, CEP 90020-008",
                 "interveniente"),
    ],
    assinaturas=[
        _pessoa("RICARDO ANTUNES BRAGA", "Diretor Geral", "666.555.444-33", _ZETA, "23.456.789/0001-01", _DIGITAL),
        _pessoa("CLÁUDIA REGINA FONTES", "Diretora Comercial", "777.666.555-44", _ETA, "34.567.890/0001-12", _DIGITAL),
        _pessoa("SÉRGIO AUGUSTO TAVARES", "Diretor Industrial", "888.777.666-55", _ETA, "34.567.890/0001-12",
                _DIGITAL),
        _pessoa("HENRIQUE DIAS MOREIRA", "Sócio Administrador", "999.888.777-66", _TETA, "45.123.987/0001-60",
                _DIGITAL),
        _pessoa("BEATRIZ SANTOS OLIVEIRA", "Testemunha", "121.232.343-45", None, None, "testemunha"),
        _pessoa("GUSTAVO HENRIQUE RAMOS", "Testemunha", "232.343.454-56", None, None, "testemunha"),
    ],
    dados={
        "tipo_contrato": "CONTRATO DE FORNECIMENTO DE INSUMOS INDUSTRIAIS",
        "objeto": "o fornecimento contínuo de insumos químicos para a linha de produção da COMPRADORA, "
        "conforme especificações do Anexo I",
        "data": "15 de maio de 2024",
        "vigencia": "24 (vinte e quatro) meses, contados da data de sua assinatura, podendo ser prorrogado "
        "mediante termo aditivo",
        "valor": "R$ 480.000,00 (quatrocentos e oitenta mil reais)",
        "foro": "Comarca de Porto Alegre/RS",
    },
)

# ---------------------------------------------------------------------------
# 4. Serviços com partes só nos blocos de assinatura do signatário:
#    representante que aparece apenas no bloco final, assinante digital que
#    não aparece em outro lugar do texto, partes em caixa mista.

CONSULTORIA_TEXT = """CONTRATO DE CONSULTORIA EMPRESARIAL

IOTA CONSULTORIA E GESTÃO LTDA., pessoa jurídica de direito privado, inscrita no CNPJ sob o nº 11.222.333/0001-81, com sede na Rua Padre Chagas, nº 79, Moinhos de Vento, Porto Alegre/RS, CEP 90570-080, doravante denominada CONTRATADA, e KAPA LOGÍSTICA E TRANSPORTES LTDA., pessoa jurídica de direito privado, inscrita no CNPJ sob o nº 22.333.444/0001-92, com sede na Avenida das Nações Unidas, nº 4777, Vila Olímpia, São Paulo/SP, CEP 04578-000, doravante denominada CONTRATANTE, ajustam o presente contrato.

1. OBJETO. O presente contrato tem por objeto a prestação de serviços de consultoria em reestruturação de processos logísticos da CONTRATANTE.

2. REMUNERAÇÃO. A CONTRATANTE pagará à CONTRATADA o valor global de R$ 96.000,00 (noventa e seis mil reais), em 6 (seis) parcelas iguais.

3. PRAZO. Este contrato vigorará por 6 (seis) meses a contar de 2 de janeiro de 2025.

4. FORO. Fica eleito o foro da Comarca de São Paulo/SP.

São Paulo, 20 de dezembro de 2024.

_______________________________________________
Lúcia Helena Barros
Sócia Diretora
IOTA CONSULTORIA E GESTÃO LTDA.
CPF: 321.654.987-00

_______________________________________________
Otávio Nogueira Franco
Diretor de Operações
KAPA LOGÍSTICA E TRANSPORTES LTDA.
\fREGISTRO DE ASSINATURAS ELETRÔNICAS (ICP-Brasil)

Assinado digitalmente por: LUCIA HELENA BARROS:32165498700
Assinado digitalmente por: RAFAEL DUARTE PIRES:45678912300
Assinado digitalmente por: OTAVIO NOGUEIRA FRANCO:65498732100
"""

_IOTA = "IOTA CONSULTORIA E GESTÃO LTDA."
_KAPA = "KAPA LOGÍSTICA E TRANSPORTES LTDA."

CONSULTORIA = ContractSample(
    text=CONSULTORIA_TEXT,
    empresas=[
        _empresa("11.222.333/0001-81", _IOTA,
                 "Rua Padre Chagas, nº 79, Moinhos de Vento, Porto Alegre/RS, CEP 90570-080", "contratada"),
        _empresa("22.333.444/0001-92", _KAPA,
                 "Avenida das Nações Unidas, nº 4777, Vila Olímpia, São Paulo/SP, CEP 04578-000", "contratante"),
    ],
    assinaturas=[
        _pessoa("Lúcia Helena Barros", "Sócia Diretora", "321.654.987-00", _IOTA, "11.222.333/0001-81", _DIGITAL),
        _pessoa("Otávio Nogueira Franco", "Diretor de Operações", "65498732100", _KAPA, "22.333.444/0001-92",
                _DIGITAL),
        _pessoa("RAFAEL DUARTE PIRES", None, "45678912300", None, None, _DIGITAL),
    ],
    dados={
        "tipo_contrato": "CONTRATO DE CONSULTORIA EMPRESARIAL",
        "objeto": "a prestação de serviços de consultoria em reestruturação de processos logísticos da CONTRATANTE",
        "data": "20 de dezembro de 2024",
        "vigencia": "6 (seis) meses a contar de 2 de janeiro de 2025",
        "valor": "R$ 96.000,00 (noventa e seis mil reais)",
        "foro": "Comarca de São Paulo/SP",
    },
)

SAMPLES: Dict[str, ContractSample] = {
    "servicos": SERVICOS,
    "locacao": LOCACAO,
    "fornecimento": FORNECIMENTO,
    "consultoria": CONSULTORIA,
}

# ---------------------------------------------------------------------------
# Contrato longo: o de serviços com cláusulas de obrigações acrescentadas.

_CLAUSULA_EXTRA = """
CLÁUSULA ADICIONAL {n} – DAS OBRIGAÇÕES OPERACIONAIS (PARTE {n})
{n}.1. A CONTRATADA manterá equipe técnica qualificada, em número suficiente para o atendimento dos chamados abertos pela CONTRATANTE, observando os níveis de serviço descritos no Anexo Técnico, e responderá pelos encargos trabalhistas, previdenciários e fiscais de seus empregados.
{n}.2. A CONTRATANTE fornecerá à CONTRATADA as informações e os acessos necessários à execução dos serviços, comunicando por escrito qualquer alteração em seus sistemas que possa afetar o atendimento, com antecedência mínima de 5 (cinco) dias úteis.
{n}.3. As partes manterão sigilo sobre as informações confidenciais a que tiverem acesso em razão deste contrato, obrigação que subsistirá após o seu término, nos termos da legislação aplicável à proteção de dados pessoais.
"""


def long_contract_text(extra_clauses: int) -> str:
    """Texto do contrato de serviços com `extra_clauses` cláusulas a mais."""
    extra = "".join(_CLAUSULA_EXTRA.format(n=i + 5) for i in range(extra_clauses))
    return SERVICOS_TEXT.replace("{extra}", extra)


def make_long_contract_pdf(path: Union[str, os.PathLike], pages: int = 10) -> Path:
    """PDF do contrato de serviços com exatamente `pages` páginas (extração esperada: SERVICOS)."""
    font = find_font()
    n = max(0, (pages - 1) * 5 - 5)
    while True:
        pdf = _build(long_contract_text(n), font)
        if pdf.page_no() >= pages:
            break
        _close(pdf)
        n += 1
    if pdf.page_no() != pages:  # a última cláusula passou de uma página: recua uma
        _close(pdf)
        pdf = _build(long_contract_text(n - 1), font)
    return _write(pdf, path)


def scanned_copy(src, dst, pages=None, dpi=200):
    """An image-only PDF: each page of `src` rendered and put back as a picture."""
    doc = pdfium.PdfDocument(str(src))
    pdf = FPDF(format="A4")
    for i in pages if pages is not None else range(len(doc)):
        img = doc[i].render(scale=dpi / 72, grayscale=True).to_pil()
        pdf.add_page()
        pdf.image(img, x=0, y=0, w=210, h=297)
    doc.close()
    pdf.output(str(dst))
    return dst


def texto_pdf(s):
    """`s` escaped for a PDF string literal."""
    return s.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)")


def linhas_em_fluxo(linhas, topo, extra="", matriz=None, x=50, tamanho=9, entrelinha=12):
    """A text object writing `linhas` one under the other from (`x`, `topo`)
    (or by the text `matriz`), Helvetica as /F1; `extra`: operators before
    the matrix (a rendering mode, "3 Tr")."""
    corpo = "".join(f"({texto_pdf(l)}) Tj T*\n" for l in linhas)
    return f"BT /F1 {tamanho} Tf {entrelinha} TL {extra} {matriz or f'1 0 0 1 {x} {topo}'} Tm\n{corpo}ET\n"


def grade_de_caracteres(n, topo):
    """`n` one-character runs in rows of 80 from `topo` down, each its own text
    object, apart from each other (a hostile page: each run's text must not
    cost a pass over the whole page)."""
    return "".join(f"BT /F1 3 Tf {20 + i % 80 * 7} {topo - i // 80 * 3.2:.1f} Td ({chr(65 + i % 26)}) Tj ET\n"
                   for i in range(n))


def raw_pdf(path, objects):
    """A PDF written by hand from its object bodies (numbered from 1)."""
    out = b"%PDF-1.7\n"
    offsets = []
    for i, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % i + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    path.write_bytes(out)
    return path


def pagina_com_fluxo(path, stream, tamanho=(595, 842), rotacao=0):
    """A one-page PDF (A4 unless `tamanho` in points says otherwise, turned by
    `rotacao` degrees) whose content is `stream` (text operators written by
    hand, Helvetica as /F1), for layouts no PDF library writes."""
    objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] /Rotate %d /Resources << /Font << /F1 4 0 R >> >> "
            b"/Contents 5 0 R >>" % (tamanho[0], tamanho[1], rotacao),
            b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
            b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream"]
    return raw_pdf(path, objs)


def pdf_com_posicoes(path, paginas, tamanho=10):
    """A PDF (A4) with text placed by hand: each page a list of (x, y, texto),
    x and y in millimetres from the top-left corner (y at the baseline)."""
    pdf = FPDF(format="A4")
    pdf.set_auto_page_break(False)
    escrever = _fonte(pdf, find_font(), tamanho)
    for pagina in paginas:
        pdf.add_page()
        for x, y, texto in pagina:
            pdf.text(x, y, escrever(texto))
    return _write(pdf, path)
