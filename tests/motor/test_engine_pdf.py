"""PDF text extraction with pypdfium2, on real files made here."""
import os
import pickle
import resource
import zlib

import pypdfium2 as pdfium
import pytest
from fpdf import FPDF
from PIL import Image, ImageDraw

import lexaro
from contract_pdfs import find_font, make_contract_pdf, make_long_contract_pdf, raw_pdf
from lexaro import ReadLimits, read_pdf_pages

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


def test_engine_passes_pdf_errors_through_silently(tmp_path, capsys, monkeypatch):
    monkeypatch.setenv("LEXARO_TESSERACT", str(tmp_path / "sem-ocr"))  # no OCR: the scan has no text
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


# --- hostile files: bounded cost, the engine's own errors ------------------


def content_bomb(path, mib):
    """One page whose small compressed content stream expands to `mib` MiB of text operators."""
    line = b"BT /F1 9 Tf 72 700 Td (CONTRATO SOCIAL) Tj ET\n"
    z = zlib.compressobj(9)
    chunk = line * (1024 * 1024 // len(line))
    data = b"".join(z.compress(chunk) for _ in range(mib)) + z.flush()
    return raw_pdf(path, [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
        b"/Resources << /Font << /F1 5 0 R >> >> >>",
        b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(data) + data + b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    ])


def test_decompression_bomb_is_refused_before_the_pdf_library_sees_it(tmp_path):
    # 200 MiB of text operators in a ~0.6 MB file drove the library to 9 GB and an abort
    path = content_bomb(tmp_path / "bomba.pdf", 200)
    assert path.stat().st_size < 1_000_000
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(lexaro.DocumentTooLargeError, match="bomba.pdf.*passa de 64 MiB"):
        read_pdf_pages(path)
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 200 * 1024  # KiB


def test_limits_are_configurable_and_checked_while_reading(tmp_path, three_pages):
    small = content_bomb(tmp_path / "pequeno.pdf", 2)
    with pytest.raises(lexaro.DocumentTooLargeError, match="passa de 1 MiB"):
        read_pdf_pages(small, limits=ReadLimits(max_content_bytes=1024 * 1024))
    assert read_pdf_pages(small, limits=ReadLimits(max_content_bytes=3 * 1024 * 1024)) == ["CONTRATO SOCIAL"]
    with pytest.raises(lexaro.DocumentTooLargeError, match=r"a página 1 tem \d+ caracteres, acima do limite de 50"):
        read_pdf_pages(three_pages, limits=ReadLimits(max_page_chars=50))
    with pytest.raises(lexaro.DocumentTooLargeError, match="passa de 120 caracteres na página 2"):
        read_pdf_pages(three_pages, limits=ReadLimits(max_document_chars=120))
    with pytest.raises(ValueError, match="max_page_chars"):
        ReadLimits(max_page_chars=0)


def test_a_300_page_contract_passes_the_default_limits(tmp_path):
    one = make_long_contract_pdf(tmp_path / "base.pdf", pages=4)
    src = pdfium.PdfDocument(str(one))
    big = pdfium.PdfDocument.new()
    big.import_pages(src, [0, 1, 2] * 100)  # full pages, as dense as a real contract
    big.save(str(tmp_path / "300.pdf"))
    big.close()
    src.close()
    pages = read_pdf_pages(tmp_path / "300.pdf")
    assert len(pages) == 300 and sum(map(len, pages)) > 900_000


def test_self_referencing_page_tree_is_a_pdf_error(tmp_path):
    path = raw_pdf(tmp_path / "ciclo.pdf", [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [2 0 R] /Count 1 >>",
    ])
    with pytest.raises(lexaro.CorruptPDFError, match=r"ciclo\.pdf.*a página 1 não pôde ser carregada"):
        read_pdf_pages(path)


def test_pdf_errors_survive_pickling_to_a_batch_parent(tmp_path):
    err = lexaro.DocumentTooLargeError(tmp_path / "x.pdf", "motivo")
    back = pickle.loads(pickle.dumps(err))
    assert type(back) is lexaro.DocumentTooLargeError and str(back) == str(err) and back.path == err.path
