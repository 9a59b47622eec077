"""Page text in reading order: signature blocks in two columns, rotated
pages, blocks drawn out of order and invisible OCR layers over scans, on real
PDFs made here."""
import zlib

import pypdfium2 as pdfium
import pytest
from fpdf import FPDF
from fpdf.enums import TextMode
from PIL import Image

from contract_pdfs import find_font
from lexaro import read_pdf_pages
from contract_pdfs import raw_pdf

pytestmark = pytest.mark.skipif(find_font() is None, reason="sem fonte TrueType com acentos")

INTRO = "E, por estarem justas e contratadas, as partes assinam o presente."
SIGNATURES = [
    ("_______________________", "_______________________"),
    ("ALFA SERVIÇOS LTDA.", "BETA MANUTENÇÃO LTDA."),
    ("JOÃO CARLOS PEREIRA", "MARIA SOUZA LIMA"),
    ("Sócio Administrador", "Diretora"),
    ("CPF: 123.456.789-09", "CPF: 987.654.321-00"),
]
IN_ORDER = "\n".join([INTRO] + [a for a, _ in SIGNATURES] + [b for _, b in SIGNATURES])


def new_pdf():
    pdf = FPDF(format="A4")
    pdf.add_font("Doc", "", find_font())
    pdf.set_font("Doc", size=10)
    pdf.add_page()
    return pdf


def signature_rows(pdf, x=20, y=40, words=False):
    """The block as word processors write it: row by row, left cell then right cell."""
    pdf.text(x, y - 12, INTRO) if not words else None
    for k, row in enumerate(SIGNATURES):
        for col, cell in enumerate(row):
            cx, cy = x + 95 * col, y + 6 * k
            if not words:
                pdf.text(cx, cy, cell)
                continue
            for word in cell.split(" "):  # an OCR layer: one positioned text object per word
                pdf.text(cx, cy, word)
                cx += pdf.get_string_width(word + " ")


def save(pdf, path, rotate=None):
    pdf.output(str(path))
    if rotate is not None:
        doc = pdfium.PdfDocument(str(path))
        doc[0].set_rotation(rotate)
        doc.save(str(path) + ".r")
        doc.close()
        path.write_bytes((path.parent / (path.name + ".r")).read_bytes())
    return path


def test_two_column_signatures_read_one_column_after_the_other(tmp_path):
    pdf = new_pdf()
    signature_rows(pdf)
    assert read_pdf_pages(save(pdf, tmp_path / "colunas.pdf")) == [IN_ORDER]


@pytest.mark.parametrize("angle, rotate", [(90, 90), (-90, 270), (180, 180)])
def test_rotated_page_with_two_columns(tmp_path, angle, rotate):
    # content laid out sideways and shown upright by the page's rotation
    pdf = new_pdf()
    with pdf.rotation(angle, x=105, y=148):
        signature_rows(pdf, x=40, y=120)
    assert read_pdf_pages(save(pdf, tmp_path / "girada.pdf", rotate)) == [IN_ORDER]


def test_blocks_drawn_out_of_order_come_top_down(tmp_path):
    pdf = new_pdf()
    pdf.text(20, 280, "Página 1 de 1")  # footer drawn first
    pdf.text(20, 30, "CLÁUSULA PRIMEIRA - DO OBJETO")
    pdf.text(20, 40, "Manutenção preventiva de elevadores.")
    assert read_pdf_pages(save(pdf, tmp_path / "fora.pdf")) == [
        "CLÁUSULA PRIMEIRA - DO OBJETO\nManutenção preventiva de elevadores.\nPágina 1 de 1"]


def test_invisible_ocr_layer_over_a_scan(tmp_path):
    pdf = new_pdf()
    pdf.image(Image.new("L", (827, 1169), 250), x=0, y=0, w=210, h=297)
    pdf.text_mode = TextMode.INVISIBLE
    signature_rows(pdf, words=True)
    page = read_pdf_pages(save(pdf, tmp_path / "ocr.pdf"))[0]
    assert page == IN_ORDER.split("\n", 1)[1]
    assert " \n" not in page


def test_label_and_value_table_keeps_its_rows(tmp_path):
    pdf = new_pdf()
    rows = [("Valor:", "R$ 15.000,00 (quinze mil reais) por mês"), ("Vigência:", "12 (doze) meses a contar da assinatura"),
            ("Foro:", "Comarca de São Paulo/SP, com renúncia a qualquer outro")]
    for k, (label, value) in enumerate(rows):
        pdf.text(20, 30 + 6 * k, label)
        pdf.text(80, 30 + 6 * k, value)
    assert read_pdf_pages(save(pdf, tmp_path / "tabela.pdf")) == ["\n".join(f"{a} {b}" for a, b in rows)]


def test_a_page_of_thousands_of_gapped_rows_reads_row_by_row(tmp_path):
    # a hostile table of contents: every row has a wide gap and columns of unlike widths;
    # the block search moves past the rows it has seen (17 s before, a quarter second now)
    rows = [b"BT /F1 2 Tf 10 %.1f Td (Cl %d) Tj ET BT /F1 2 Tf 300 %.1f Td (p %d fim da linha larga) Tj ET"
            % (14000 - k * 2.5, k, 14000 - k * 2.5, k) for k in range(4700)]
    data = zlib.compress(b"\n".join(rows))
    path = raw_pdf(tmp_path / "sumario.pdf", [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 600 14400] /Contents 4 0 R "
        b"/Resources << /Font << /F1 5 0 R >> >> >>",
        b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(data) + data + b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    ])
    lines = read_pdf_pages(path)[0].split("\n")
    assert len(lines) == 4700 and lines[1234] == "Cl 1234 p 1234 fim da linha larga"
