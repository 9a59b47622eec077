"""Scans are decided by the page: a picture covering the page under a few
lines of a document service's stamp is a scan (read by OCR, the stamp kept
apart); a typed page over a letterhead picture stays a text page."""
import shutil
from pathlib import Path

import pypdfium2 as pdfium
import pytest
from fpdf import FPDF

import lexaro
from contract_pdfs import find_font
from lexaro import ocr

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "contratos"
STAMP = ("Documento assinado eletronicamente. Assinado com senha por FABIO SOARES LEMOS - AGENTE DE "
         "ADMINISTRACAO - 10/02/2025 às 14:32. A consulta à autenticidade do documento está disponível em "
         "https://acesso.exemplo.rio/sigaex/public/app/autenticar?n=SMH-DOC-2025/01234 informando o código "
         "A1B2C3D4E5.")

needs_tesseract = pytest.mark.skipif(shutil.which(ocr.tesseract_program()) is None,
                                     reason="Tesseract ausente: apt-get install tesseract-ocr tesseract-ocr-por")


def _pdf(dst, picture, lines, size=7):
    pdf = FPDF(format="A4")
    pdf.add_font("Doc", "", find_font())
    pdf.add_page()
    pdf.image(picture, x=0, y=0, w=210, h=297)
    pdf.set_font("Doc", size=size)
    pdf.set_xy(10, 5)
    for line in lines:
        pdf.multi_cell(190, size * 0.5, line, new_x="LMARGIN", new_y="NEXT")
    pdf.output(str(dst))
    return dst


def _first_page_picture(dpi=150):
    doc = pdfium.PdfDocument(str(EXAMPLES / "01_servicos.pdf"))
    try:
        return doc[0].render(scale=dpi / 72, grayscale=True).to_pil()
    finally:
        doc.close()


@pytest.fixture(scope="module")
def stamped_scan(tmp_path_factory):
    return _pdf(tmp_path_factory.mktemp("carimbo") / "carimbada.pdf", _first_page_picture(), [STAMP])


def test_a_stamp_over_a_picture_is_a_scan_and_a_letterhead_page_is_text(stamped_scan, tmp_path):
    assert len(STAMP) > 250  # far above the old 40 characters per page
    page = lexaro.read_document(stamped_scan).pages[0]
    assert page.scanned and page.source == "skipped" and "FABIO SOARES LEMOS" in page.text
    # the same picture, washed out, behind a whole typed page: a letterhead
    from PIL import Image

    letterhead = Image.new("L", (620, 877), 235)
    typed = (EXAMPLES / "01_servicos.txt").read_text(encoding="utf-8").split("\n")[:40]
    page = lexaro.read_document(_pdf(tmp_path / "timbrado.pdf", letterhead, typed, size=9)).pages[0]
    assert not page.scanned and page.source == "text" and "CONTRATANTE" in page.text


@needs_tesseract
def test_the_stamped_scan_is_read_by_ocr_with_the_stamp_apart(stamped_scan):
    doc = lexaro.read_document(stamped_scan, scans=lexaro.ScanPolicy("ocr"))
    page = doc.pages[0]
    assert page.source == "ocr" and "FABIO SOARES LEMOS" in " ".join(page.stamp.split())
    assert page.text.endswith("\n\n" + page.stamp)
    ocr_part = page.text[:-len(page.stamp)]
    # the OCR read the picture alone: the contract, and not the stamp a second time
    assert "10.203.040/0001-94" in ocr_part and "FABIO" not in ocr_part
    # every OCR word has its box inside the page, in points from the top-left corner
    assert page.words and all(0 <= w.box[0] < w.box[2] <= 595.5 and 0 <= w.box[1] < w.box[3] <= 842.5
                              for w in page.words)
    cnpj = next(w for w in page.words if "10.203.040" in w.text)
    assert page.text[cnpj.start:cnpj.start + len(cnpj.text)] == cnpj.text and 80 < cnpj.box[1] < 300
    answer = lexaro.Lexaro(provider="local")
    from test_engine_scanned import with_questions

    result = with_questions(answer).process(stamped_scan)
    assert result.get_result("empresas").raw_result["empresas"][0]["cnpj"] == "10.203.040/0001-94"
    # the evidence of an OCR page comes from Tesseract's word boxes
    onde = [o for o in result.evidencias()["empresas"][0]["onde"] if o["campo"] == "cnpj"]
    assert onde and onde[0]["pagina"] == 1 and onde[0]["retangulo"][1] == pytest.approx(cnpj.box[1], abs=3)
    assert "10.203.040/0001-94" in onde[0]["linha"]
