"""The local reader reads the page's lines, blocks and columns, not a flattened string."""

import shutil

import pytest

import lexaro
from contract_pdfs import grade_de_caracteres, linhas_em_fluxo, pagina_com_fluxo, pdf_com_posicoes, scanned_copy
from lexaro import ocr
from lexaro.layout import Block, Columns, running_lines
from lexaro.pdf import ScanPolicy, read_document
from lexaro.providers.local import analisar
from test_engine_scanned import with_questions

PARTES = ("ALFA COMÉRCIO LTDA., inscrita no CNPJ sob o nº 11.222.333/0001-81, doravante CONTRATANTE, e",
          "BETA SERVIÇOS S.A., inscrita no CNPJ sob o nº 22.333.444/0001-92, doravante CONTRATADA, e",
          "GAMA INDÚSTRIA EPP, inscrita no CNPJ sob o nº 33.444.555/0001-03, doravante INTERVENIENTE.")


def _ler(tmp_path, paginas):
    doc = read_document(pdf_com_posicoes(tmp_path / "p.pdf", paginas))
    return doc, analisar([p.layout for p in doc.pages])


def _assinaturas(a):
    return [(p["nome_signatario"], p["cargo"], p["cnpj_empresa"]) for p in a.assinaturas]


def _partes(y=20):
    return [(20, y + 6 * i, t) for i, t in enumerate(PARTES)]


@pytest.mark.parametrize("colunas, esperado", [
    # a long name beside a short one: cut evenly by words, the flattened line would give
    # "ROSIMEIRE DAS GRACAS ANTUNES" and "VELOSO JOSÉ LIMA"
    ([(20, ["_" * 30, "ROSIMEIRE DAS GRACAS ANTUNES VELOSO", "Diretora", "ALFA COMÉRCIO LTDA."]),
      (125, ["_" * 30, "JOSÉ LIMA", "Diretor", "BETA SERVIÇOS S.A."])],
     [("ROSIMEIRE DAS GRACAS ANTUNES VELOSO", "Diretora", "11.222.333/0001-81"),
      ("JOSÉ LIMA", "Diretor", "22.333.444/0001-92")]),
    ([(20, ["_" * 16, "JOÃO DA SILVA", "Diretor Presidente", "ALFA COMÉRCIO LTDA."]),
      (85, ["_" * 16, "MARIA CLARA DE SOUZA", "Diretora", "BETA SERVIÇOS S.A."]),
      (150, ["_" * 16, "PEDRO ALVES", "Sócio", "GAMA INDÚSTRIA EPP"])],
     [("JOÃO DA SILVA", "Diretor Presidente", "11.222.333/0001-81"),
      ("MARIA CLARA DE SOUZA", "Diretora", "22.333.444/0001-92"), ("PEDRO ALVES", "Sócio", "33.444.555/0001-03")]),
])
def test_signature_columns_split_where_the_page_has_a_gap(tmp_path, colunas, esperado):
    pagina = _partes() + [(x, 80 + 5 * i, t) for x, linhas in colunas for i, t in enumerate(linhas)]
    doc, a = _ler(tmp_path, [pagina])
    cols = [u for u in doc.pages[0].layout.units if isinstance(u, Columns)]
    assert len(cols) == 1 and len(cols[0].columns) == len(colunas)
    assert _assinaturas(a) == esperado


@pytest.mark.parametrize("segunda, y, esperado", [
    ("SANTOS FERREIRA", 5, "MARIA APARECIDA SANTOS FERREIRA"),  # stacked right under: one name
    ("SÃO PAULO", 20, "MARIA APARECIDA"),  # three lines below: not the name's end
])
def test_a_name_goes_on_into_the_next_line_only_if_it_stacks(tmp_path, segunda, y, esperado):
    pagina = _partes() + [(20, 80, "_" * 30), (20, 85, "MARIA APARECIDA"), (20, 85 + y, segunda),
                          (20, 90 + y, "Diretora"), (20, 95 + y, "ALFA COMÉRCIO LTDA.")]
    doc, a = _ler(tmp_path, [pagina])
    assert [p["nome_signatario"] for p in a.assinaturas] == [esperado]
    blocos = [u for u in doc.pages[0].layout.units if isinstance(u, Block)]
    assert any([l.text for l in b.lines[-4:]] == ["MARIA APARECIDA", "SANTOS FERREIRA", "Diretora",
                                                 "ALFA COMÉRCIO LTDA."] for b in blocos) == (y == 5)


CORPO = [
    ["CONTRATO DE FORNECIMENTO", *PARTES[:2], "1. O objeto é o fornecimento de peças.", "2. O prazo é de 12 meses."],
    ["3. O valor mensal é de R$ 10.000,00.", "4. Os pagamentos vencem no dia 10.", "5. Multa de 2% ao mês.",
     "6. Fica eleito o foro de Campinas/SP."],
    ["Campinas, 10 de março de 2025.", "_" * 30, "CARLOS EDUARDO MOTA", "Diretor", "ALFA COMÉRCIO LTDA.", "_" * 30,
     "LÍVIA MARIA ARAGÃO", "Diretora", "BETA SERVIÇOS S.A."],
]


@pytest.mark.parametrize("cabecalho, rodape", [
    # the same header on every page, a footer that changes with the page number
    (lambda n: "ÔMEGA HOLDING LTDA., CNPJ 44.555.666/0001-07, gestora do contrato",
     lambda n: f"Ômega Holding Ltda. – CNPJ 44.555.666/0001-07 – página {n} de 3"),
    # a header whose words change a little from page to page
    (lambda n: f"ÔMEGA HOLDING LTDA., CNPJ 44.555.666/0001-07, via {('do contratante', 'da contratada', 'do arquivo')[n - 1]}",
     lambda n: f"Representada por RICARDO NUNES PRADO, página {n}"),
])
def test_running_header_and_footer_are_found_by_their_place(tmp_path, cabecalho, rodape):
    paginas = [[(20, 12, cabecalho(n))] + [(20, 30 + 6 * i, t) for i, t in enumerate(corpo)] + [(20, 285, rodape(n))]
               for n, corpo in enumerate(CORPO, 1)]
    doc, a = _ler(tmp_path, paginas)
    assert [e["razao_social"] for e in a.empresas] == ["ALFA COMÉRCIO LTDA.", "BETA SERVIÇOS S.A."]
    assert [p["nome_signatario"] for p in a.assinaturas] == ["CARLOS EDUARDO MOTA", "LÍVIA MARIA ARAGÃO"]
    assert a.dados["foro"] and "Campinas" in a.dados["foro"]
    # the control, and why positions matter: read as a plain string, the same pages take the
    # header for a party
    texto = "\n\n".join(p.text for p in doc.pages)
    assert "44.555.666/0001-07" in [e["cnpj"] for e in analisar(texto.replace("\n\n", "\n")).empresas]


@pytest.mark.skipif(shutil.which(ocr.tesseract_program()) is None, reason="Tesseract ausente")
def test_a_scanned_copy_gives_the_same_lines_from_the_ocr_word_boxes(tmp_path):
    paginas = [[(20, 12, f"ÔMEGA HOLDING LTDA., CNPJ 44.555.666/0001-07, página {n}")]
               + [(20, 30 + 6 * i, t) for i, t in enumerate(corpo)] for n, corpo in enumerate(CORPO, 1)]
    texto = pdf_com_posicoes(tmp_path / "texto.pdf", paginas)
    doc = read_document(scanned_copy(texto, tmp_path / "scan.pdf", dpi=150), scans=ScanPolicy("ocr"))
    assert all(p.source == "ocr" for p in doc.pages)
    lidas = {p.number: {l.text: l.rect for l in p.layout.lines()} for p in doc.pages}
    topo = [min(lidas[n].values(), key=lambda r: r[1]) for n in lidas]
    assert all(abs(r[1] - topo[0][1]) < 3 and r[1] < 40 for r in topo)  # points from the top, as on the page
    layouts = [p.layout for p in doc.pages]
    assert sorted(l.page for l in running_lines(layouts)) == [1, 2, 3]  # the header, by its place
    assert [e["cnpj"] for e in analisar(layouts).empresas] == ["11.222.333/0001-81", "22.333.444/0001-92"]


# --- hostile pages: the engine's answers, whatever the page is made of ------

ASSINATURAS = ["Campinas, 10 de março de 2025.", "_" * 30, "CARLOS EDUARDO MOTA", "Diretor", "ALFA COMÉRCIO LTDA.",
               "_" * 30, "LÍVIA MARIA ARAGÃO", "Diretora", "BETA SERVIÇOS S.A."]


def _hostil(tipo, meio=()):
    """The stream, page size and rotation of one hostile page holding the parties and the signatures."""
    linhas = [*PARTES, *meio, *ASSINATURAS]
    alto = 12 * len(linhas) + 100
    if tipo == "miudos":  # 5,000 one-character runs above the contract, each its own text object
        return grade_de_caracteres(5000, alto + 210) + linhas_em_fluxo(linhas, alto - 40), (595, alto + 220), 0
    if tipo == "dobrada":  # the same text twice at the same place, the second layer invisible
        return linhas_em_fluxo(linhas, alto - 40) + linhas_em_fluxo(linhas, alto - 40, "3 Tr"), (595, alto), 0
    if tipo == "matriz":  # written upwards by the text matrix
        return linhas_em_fluxo(linhas, 0, matriz=f"0 1 -1 0 {alto - 40} 40"), (alto, 842), 0
    if tipo == "sem caixa":  # characters of size zero or squeezed to no width between the lines
        vazios = "".join(f"BT /F1 0 Tf 60 {alto - 45 - 12 * i} Td (sem tamanho) Tj ET\n"
                         f"BT /F1 9 Tf 0 Tz 300 {alto - 45 - 12 * i} Td (sem largura) Tj ET\n" for i in range(len(linhas)))
        return linhas_em_fluxo(linhas, alto - 40) + vazios, (595, alto), 0
    return linhas_em_fluxo(linhas, alto - 40), (595, alto), int(tipo)  # a page turned by /Rotate


@pytest.mark.parametrize("tipo, meio", [
    ("0", ()), ("miudos", ()), ("dobrada", ()), ("90", ()), ("180", ()), ("270", ()), ("matriz", ()),
    ("sem caixa", ()), ("0", [f"{i}. Item {i} da lista de materiais." for i in range(3000)]),
], ids=["limpa", "5 mil trechos de um caractere", "camada dobrada", "girada 90", "girada 180", "girada 270",
        "girada pela matriz", "caracteres sem caixa", "3 mil linhas"])
def test_hostile_pages_give_the_parties_and_signatures_once(tmp_path, tipo, meio):
    fluxo, tamanho, rotacao = _hostil(tipo, meio)
    pdf = pagina_com_fluxo(tmp_path / "hostil.pdf", fluxo.encode("latin-1"), tamanho, rotacao)
    doc = with_questions(lexaro.Lexaro(provider="local")).process(pdf)
    assert [e["cnpj"] for e in doc.get_result("empresas").raw_result["empresas"]] == [
        "11.222.333/0001-81", "22.333.444/0001-92", "33.444.555/0001-03"]
    assert [(a["nome_signatario"], a["cnpj_empresa"]) for a in doc.get_result("assinaturas").raw_result["assinaturas"]] \
        == [("CARLOS EDUARDO MOTA", "11.222.333/0001-81"), ("LÍVIA MARIA ARAGÃO", "22.333.444/0001-92")]
