"""PDF text extraction with pypdfium2, on real files made here."""
import os

import pypdfium2 as pdfium
import pytest
from fpdf import FPDF
from PIL import Image, ImageDraw

import lexaro
from contract_pdfs import find_font, make_contract_pdf
from lexaro import read_pdf_pages

PAGES = [
    "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nCláusula “única” – objeto: manutenção de elevadores.",
    "Página dois: São Paulo, 10 de março de 2024.\nAções, ônus, açúcar, pão.",
    "Página três: fim.",
]


def fpdf_doc():
    pdf = FPDF()
    font = find_font()
    if font:
        pdf.add_font("Doc", "", font)
        pdf.set_font("Doc", size=11)
    else:
        pdf.set_font("Helvetica", size=11)
    return pdf


def write(pdf, path):
    pdf.output(str(path))
    for f in pdf.fonts.values():
        getattr(f, "close", lambda: None)()
    return path


@pytest.fixture(scope="module")
def three_pages(tmp_path_factory):
    return make_contract_pdf(tmp_path_factory.mktemp("p") / "tres.pdf", "\f".join(PAGES))


def test_pages_in_order_with_plain_line_breaks(three_pages):
    pages = read_pdf_pages(three_pages)
    assert len(pages) == 3
    expected = PAGES if find_font() else [p.replace("“", '"').replace("”", '"').replace("–", "-") for p in PAGES]
    assert pages == expected
    assert all("\r" not in p for p in pages)


def test_join_pages_and_path_forms(three_pages):
    as_text = read_pdf_pages(str(three_pages))
    assert read_pdf_pages(three_pages) == as_text  # pathlib.Path
    joined = lexaro.join_pages(as_text)
    assert joined == "\n\n".join(as_text)
    assert joined.count("\n\n") == 2


def test_scanned_page_next_to_text_pages_is_kept_empty(tmp_path):
    pdf = fpdf_doc()
    pdf.add_page()
    pdf.cell(text="Primeira página com texto")
    pdf.add_page()
    pdf.image(scan_image(), x=10, y=10, w=180)
    pages = read_pdf_pages(write(pdf, tmp_path / "misto.pdf"))
    assert pages == ["Primeira página com texto", ""]


def test_owner_password_only_still_reads(tmp_path):
    # a PDF that only restricts editing opens without a password
    pdf = fpdf_doc()
    pdf.add_page()
    pdf.cell(text="Contrato com permissões restritas")
    pdf.set_encryption(owner_password="dono")
    assert read_pdf_pages(write(pdf, tmp_path / "restrito.pdf")) == ["Contrato com permissões restritas"]


def scan_image():
    img = Image.new("L", (1240, 1754), 255)
    draw = ImageDraw.Draw(img)
    for y in range(120, 1600, 40):  # lines of "text" as a scanner sees them
        draw.rectangle([100, y, 1100 - (y % 300), y + 14], fill=30)
    return img


def make_scan(path, pages=2):
    pdf = FPDF()
    for _ in range(pages):
        pdf.add_page()
        pdf.image(scan_image(), x=0, y=0, w=210)
    pdf.output(str(path))
    return path


def make_encrypted(path):
    pdf = fpdf_doc()
    pdf.add_page()
    pdf.cell(text="segredo")
    pdf.set_encryption(owner_password="dono", user_password="usuario")
    return write(pdf, path)


def make_empty(path):
    doc = pdfium.PdfDocument.new()
    doc.save(str(path))
    doc.close()
    return path


def make_blank(path):
    pdf = FPDF()
    pdf.add_page()
    pdf.output(str(path))
    return path


def make_text_file(path):
    path.write_text("CONTRATO DE LOCAÇÃO\nIsto é um arquivo de texto com extensão .pdf\n", encoding="utf-8")
    return path


def make_truncated(path, source):
    path.write_bytes(source.read_bytes()[:700])
    return path


def make_zero_bytes(path):
    path.write_bytes(b"")
    return path


@pytest.mark.parametrize("maker, exc, reason", [
    (make_scan, lexaro.NoTextLayerError, "nenhuma das 2 página(s) tem camada de texto (documento digitalizado"),
    (make_blank, lexaro.NoTextLayerError, "nenhuma das 1 página(s) tem camada de texto"),
    (make_encrypted, lexaro.EncryptedPDFError, "o PDF é protegido por senha (criptografado)"),
    (make_empty, lexaro.EmptyPDFError, "o documento não tem páginas"),
    (make_text_file, lexaro.NotAPDFError, "o arquivo não é um PDF (cabeçalho %PDF ausente)"),
    (make_zero_bytes, lexaro.NotAPDFError, "o arquivo está vazio (0 bytes)"),
    ("truncated", lexaro.CorruptPDFError, "o PDF está danificado ou incompleto"),
])
def test_unreadable_documents_name_the_file_and_the_reason(tmp_path, three_pages, maker, exc, reason):
    path = tmp_path / "documento.pdf"
    if maker == "truncated":
        make_truncated(path, three_pages)
    else:
        maker(path)
    with pytest.raises(exc) as info:
        read_pdf_pages(path)
    err = info.value
    assert isinstance(err, ValueError) and isinstance(err, lexaro.PDFError)
    assert str(err).startswith(f"Não foi possível ler o PDF '{path}': {reason}")
    assert err.path == str(path) and err.motivo.startswith(reason)


def test_encrypted_after_corrupt_and_back(tmp_path, three_pages):
    # the library's last-error code is global; each file gets its own reason
    enc = make_encrypted(tmp_path / "enc.pdf")
    bad = make_truncated(tmp_path / "bad.pdf", three_pages)
    empty = make_empty(tmp_path / "vazio.pdf")
    for path, exc in [(enc, lexaro.EncryptedPDFError), (empty, lexaro.EmptyPDFError),
                      (bad, lexaro.CorruptPDFError), (enc, lexaro.EncryptedPDFError),
                      (empty, lexaro.EmptyPDFError)]:
        with pytest.raises(exc):
            read_pdf_pages(path)


def test_missing_file_and_directory(tmp_path):
    missing = tmp_path / "nao-existe.pdf"
    with pytest.raises(FileNotFoundError, match="Arquivo não encontrado: .*nao-existe.pdf"):
        read_pdf_pages(missing)
    with pytest.raises(lexaro.NotAPDFError, match="o caminho é um diretório"):
        read_pdf_pages(tmp_path)


@pytest.mark.parametrize("bad", [None, 3, b"/tmp/x.pdf", ["a.pdf"]])
def test_path_type_is_checked(bad):
    with pytest.raises(TypeError, match="path deve ser str ou os.PathLike"):
        read_pdf_pages(bad)


def test_engine_passes_pdf_errors_through_silently(tmp_path, capsys):
    client = lexaro.Lexaro(provider="local")
    path = make_scan(tmp_path / "digitalizado.pdf", pages=1)
    with pytest.raises(lexaro.NoTextLayerError, match="digitalizado.pdf"):
        client.process(path)
    assert capsys.readouterr().out == ""


def test_header_after_leading_bytes_is_accepted(tmp_path, three_pages):
    # some generators write bytes before "%PDF-"; readers accept it within the first KiB
    path = tmp_path / "prefixo.pdf"
    path.write_bytes(b"\x00" * 16 + three_pages.read_bytes())
    assert len(read_pdf_pages(path)) == 3
    assert os.path.getsize(path) > 16
