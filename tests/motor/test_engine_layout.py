"""The page's geometry reaches the readers: signature blocks typed in two
columns on one line of the PDF (one text run with a wide blank or a kerning
jump) split where the page's gap is, and a name broken across two lines of
its column joins."""
import lexaro
from test_engine_scanned import with_questions

PREAMBLE = [
    "ALFA LTDA., inscrita no CNPJ sob o n. 11.222.333/0001-81, com sede na Rua A, n. 1, Centro, Curitiba/PR,",
    "neste ato representada por seu diretor ALCEU BORTOLINI PERIN, doravante denominada CONTRATANTE, e BETA",
    "LTDA., inscrita no CNPJ sob o n. 44.555.666/0001-93, com sede na Rua B, n. 2, Centro, Curitiba/PR, neste",
    "ato representada por sua diretora ROSIMEIRE DAS GRACAS ANTUNES VELOSO, doravante denominada CONTRATADA.",
    "1. O presente contrato tem por objeto a manutencao predial.",
]


def _pdf(path, lines, sig_rows):
    """One page: the preamble, then signature rows written as one text run per line, the right
    column pushed by a kerning jump (TJ) as word processors write it."""
    def esc(s):
        return s.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)")
    body = "".join(f"({esc(l)}) Tj T*\n" for l in lines)
    body += "T*\n" + "".join(f"[({esc(a)}) -{jump} ({esc(b)})] TJ T*\n" for a, b, jump in sig_rows)
    stream = f"BT /F1 9 Tf 12 TL 50 780 Td\n{body}ET".encode("latin-1")
    objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 4 0 R >> >> "
            b"/Contents 5 0 R >>",
            b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
            b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream"]
    out = bytearray(b"%PDF-1.4\n")
    offs = []
    for i, o in enumerate(objs, 1):
        offs.append(len(out))
        out += b"%d 0 obj\n" % i + o + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1) + b"".join(b"%010d 00000 n \n" % o for o in offs)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
    path.write_bytes(bytes(out))
    return path


def _row(a, b):
    # the jump puts the right column at x = 300 whatever the left text's width
    from fpdf import FPDF

    pdf = FPDF()
    pdf.set_font("Helvetica", size=9)
    return a, b, round((250 - pdf.get_string_width(a) * 72 / 25.4) * 1000 / 9)


def test_two_columns_on_one_run_split_at_the_gap_and_broken_names_join(tmp_path):
    rows = [_row("_" * 40, "_" * 40), _row("ALCEU BORTOLINI PERIN", "ROSIMEIRE DAS GRACAS"),
            _row("Diretor", "ANTUNES VELOSO"), _row("ALFA LTDA.", "Diretora"), _row("", "BETA LTDA.")]
    pdf = _pdf(tmp_path / "colunas.pdf", PREAMBLE, rows)
    text = lexaro.read_pdf_pages(pdf)[0]
    tail = text.split("manutencao predial.")[1].split("\n")
    assert [l for l in tail if l.strip("_ ")] == ["ALCEU BORTOLINI PERIN", "Diretor", "ALFA LTDA.",
                                                 "ROSIMEIRE DAS GRACAS", "ANTUNES VELOSO", "Diretora", "BETA LTDA."]
    doc = with_questions(lexaro.Lexaro(provider="local")).process(pdf)
    names = {a["nome_signatario"]: a["empresa_representada"]
             for a in doc.get_result("assinaturas").raw_result["assinaturas"]}
    assert names == {"ALCEU BORTOLINI PERIN": "ALFA LTDA.", "ROSIMEIRE DAS GRACAS ANTUNES VELOSO": "BETA LTDA."}
