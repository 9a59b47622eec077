"""The page's geometry reaches the readers: signature blocks typed in two
columns on one line of the PDF (one text run with a wide blank or a kerning
jump) split where the page's gap is, and a name broken across two lines of
its column joins."""
import lexaro
from contract_pdfs import pagina_com_fluxo, texto_pdf
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
    body = "".join(f"({texto_pdf(l)}) Tj T*\n" for l in lines)
    body += "T*\n" + "".join(f"[({texto_pdf(a)}) -{jump} ({texto_pdf(b)})] TJ T*\n" for a, b, jump in sig_rows)
    stream = f"BT /F1 9 Tf 12 TL 50 780 Td\n{body}ET".encode("latin-1")
    return pagina_com_fluxo(path, stream)


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
