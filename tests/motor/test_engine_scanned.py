"""Scanned contracts: image-only PDFs made here from rendered pages of the
example contracts, read through a vision model (an OpenAI-compatible server
on 127.0.0.1) or through Tesseract by the local provider."""
import base64
import shutil
import struct
from pathlib import Path

import pypdfium2 as pdfium
import pytest

import lexaro
from lexaro import ocr, pricing
from contract_pdfs import scanned_copy
from modelo_falso import ChatRecorder, request_tokens
from test_engine_openai import ANSWERS, SYSTEM, question, with_questions

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "contratos"
CHAT_PATH = "/v1/chat/completions"
IDS = ("empresas", "assinaturas", "dados_contrato")


@pytest.fixture(scope="module")
def scan(tmp_path_factory):
    return scanned_copy(EXAMPLES / "01_servicos.pdf", tmp_path_factory.mktemp("scan") / "servicos-scan.pdf")


def hosted(server, model, **kw):
    server.clear()
    rec = ChatRecorder(SYSTEM, ANSWERS)
    server.expect_request(CHAT_PATH).respond_with_handler(rec)
    client = lexaro.Lexaro(provider="openai", api_key="sk-teste", base_url=server.url_for("/v1"), model=model,
                           max_retries=0, **kw)
    return with_questions(client), rec


def images_of(body):
    parts = body["messages"][1]["content"]
    assert isinstance(parts, list) and parts[0]["type"] == "text"
    return parts[0]["text"], [p["image_url"] for p in parts if p["type"] == "image_url"]


@pytest.mark.parametrize("model", ["gpt-4o", "gpt-4.1-mini", "gpt-5"])
def test_scanned_pages_reach_vision_models_as_images(server, scan, model):
    client, rec = hosted(server, model)
    doc = client.process(scan)
    (_, body), = rec.requests  # still one request for the three questions
    text, images = images_of(body)
    assert "[página 1 digitalizada" in text and "[página 2 digitalizada" in text
    assert [img["detail"] for img in images] == ["high", "high"]
    for img in images:
        raw = base64.b64decode(img["url"].split(",", 1)[1])
        assert img["url"].startswith("data:image/png;base64,") and raw[:8] == b"\x89PNG\r\n\x1a\n"
        w, h = struct.unpack(">II", raw[16:24])
        assert w == 768 and 1080 < h < 1090 and pricing.image_tokens(w, h) == 1105  # A4: 6 tiles
    without_document = {"messages": body["messages"][:1] + body["messages"][2:], "model": model,
                        "response_format": body["response_format"]}
    assert request_tokens(body) - request_tokens(without_document) > 2 * pricing.image_tokens(768, 1086, model)
    for q in IDS:
        assert doc.get_result(q).raw_result == ANSWERS[q]


def test_model_without_vision_keeps_the_clear_error(server, scan):
    client, rec = hosted(server, "gpt-3.5-turbo")
    with pytest.raises(lexaro.NoTextLayerError, match="tem camada de texto .*'gpt-3.5-turbo' não lê imagens"):
        client.process(scan)
    assert rec.requests == []


def test_page_budget_keeps_the_first_and_the_last_pages(server, tmp_path, capsys):
    path = scanned_copy(EXAMPLES / "01_servicos.pdf", tmp_path / "cinco.pdf", pages=[0, 1, 0, 1, 1], dpi=60)
    client, rec = hosted(server, "gpt-4o", max_scanned_pages=3, verbose=True)
    client.process(path)
    text, images = images_of(rec.requests[0][1])
    assert len(images) == 3
    assert [n for n in range(1, 6) if f"[página {n} digitalizada" in text] == [1, 2, 5]
    assert "sem leitura (acima do limite de 3 páginas digitalizadas): 3, 4" in capsys.readouterr().out


def test_page_budget_fits_the_model_context(server, scan, capsys):
    # gpt-4o-mini bills ~33 times the tokens of gpt-4o per image: one A4 page fits half its context
    assert pricing.max_image_pages("gpt-4o-mini") == 1 and pricing.max_image_pages("gpt-4o") == 57
    client, rec = hosted(server, "gpt-4o-mini", verbose=True)
    client.process(scan)
    text, images = images_of(rec.requests[0][1])
    assert len(images) == 1 and "[página 1 digitalizada" in text
    assert "cabem até 1 página(s) em imagem" in capsys.readouterr().out


def test_only_the_scanned_page_of_a_mixed_document_goes_as_image(server, tmp_path):
    # typed contract, signature page scanned after signing
    scanned_sig = scanned_copy(EXAMPLES / "01_servicos.pdf", tmp_path / "sig.pdf", pages=[1], dpi=100)
    mixed = pdfium.PdfDocument(str(EXAMPLES / "01_servicos.pdf"))
    sig = pdfium.PdfDocument(str(scanned_sig))
    mixed.del_page(1)
    mixed.import_pages(sig)
    mixed.save(str(tmp_path / "misto.pdf"))
    mixed.close()
    sig.close()
    client, rec = hosted(server, "gpt-4o")
    client.process(tmp_path / "misto.pdf")
    text, images = images_of(rec.requests[0][1])
    assert len(images) == 1 and "CONTRATANTE: ALFA" in text and "[página 2 digitalizada" in text


needs_tesseract = pytest.mark.skipif(
    shutil.which(ocr.tesseract_program()) is None,
    reason="Tesseract ausente: apt-get install tesseract-ocr tesseract-ocr-por",
)


def local_client():
    return with_questions(lexaro.Lexaro(provider="local"))


@needs_tesseract
def test_local_provider_reads_a_scanned_contract_like_its_text_pdf(scan):
    from_text = local_client().process(EXAMPLES / "01_servicos.pdf")
    from_scan = local_client().process(scan)
    for q in ("empresas", "assinaturas"):
        assert from_scan.get_result(q).raw_result == from_text.get_result(q).raw_result
    assert from_scan.get_result("empresas").raw_result["empresas"][0]["cnpj"] == "10.203.040/0001-94"


def test_without_tesseract_the_error_names_what_to_install(scan, monkeypatch, tmp_path):
    monkeypatch.setenv("LEXARO_TESSERACT", str(tmp_path / "sem-tesseract"))
    with pytest.raises(lexaro.OCRUnavailableError) as info:
        local_client().process(scan)
    msg = str(info.value)
    assert "servicos-scan.pdf" in msg and "apt-get install tesseract-ocr tesseract-ocr-por" in msg
    assert isinstance(info.value, lexaro.NoTextLayerError)
