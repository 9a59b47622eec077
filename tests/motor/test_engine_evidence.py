"""Evidence beside the answers: where each company, CNPJ and signatory was read
(page, rectangle of the page as displayed, line), for the local reader and for
a hosted model's answers; what a model invents shows as not found."""
import copy

import pypdfium2 as pdfium
import pytest

import lexaro
from contract_pdfs import SAMPLES, make_contract_pdf
from modelo_falso import ChatRecorder
from test_engine_openai import ANSWERS, SYSTEM, with_questions
from contract_pdfs import scanned_copy

SAMPLE = SAMPLES["servicos"]


@pytest.fixture(scope="module")
def pdfs(tmp_path_factory):
    d = tmp_path_factory.mktemp("evid")
    flat = make_contract_pdf(d / "plano.pdf", SAMPLE.text)
    doc = pdfium.PdfDocument(str(flat))
    doc[0].set_rotation(90)
    doc.save(str(d / "girado.pdf"))
    doc.close()
    return flat, d / "girado.pdf"


def _ink(path, number, rect):
    doc = pdfium.PdfDocument(str(path))
    try:
        img = doc[number - 1].render(scale=2, grayscale=True).to_pil()
    finally:
        doc.close()
    x0, y0, x1, y1 = (round(v * 2) for v in rect)
    return img.crop((x0, y0, x1, y1)).getextrema()[0]


def test_local_answers_are_boxed_on_the_page_as_displayed(pdfs):
    flat, turned = pdfs
    ev = {}
    for path in (flat, turned):
        client = with_questions(lexaro.Lexaro(provider="local"))
        doc = client.process(path)
        assert client.evidencias(path) is doc.evidencias() is client.evidencias()
        assert client.evidencias(str(path) + ".outro") is None
        ev[path] = doc.evidencias()
    plain = ev[flat]
    assert [e["nome"] for e in plain["empresas"]] == [e["razao_social"] for e in SAMPLE.empresas]
    assert [e["cnpj"] for e in plain["empresas"]] == [e["cnpj"] for e in SAMPLE.empresas]
    assert [s["nome"] for s in plain["signatarios"]] == list(
        dict.fromkeys(a["nome_signatario"] for a in SAMPLE.assinaturas))
    for entry in plain["empresas"] + plain["signatarios"]:
        assert entry["localizado"] and "nota" not in entry
        campos = {o["campo"] for o in entry["onde"]}
        assert campos == ({"nome", "cnpj"} if "cnpj" in entry else {"nome"})
        for o in entry["onde"]:
            x0, y0, x1, y1 = o["retangulo"]
            assert 0 <= x0 < x1 <= 595.3 and 0 <= y0 < y1 <= 841.9 and 5 < y1 - y0 < 16
            assert _ink(flat, o["pagina"], o["retangulo"]) < 128  # the characters are inside
            if o["campo"] == "cnpj":
                assert entry["cnpj"] in o["linha"]
    # page 1 turned a quarter clockwise: (x, y) from the top-left becomes (842 - y, x)
    for a, b in zip(plain["empresas"] + plain["signatarios"], ev[turned]["empresas"] + ev[turned]["signatarios"]):
        assert [(o["pagina"], o["linha"]) for o in a["onde"]] == [(o["pagina"], o["linha"]) for o in b["onde"]]
        for oa, ob in zip(a["onde"], b["onde"]):
            x0, y0, x1, y1 = oa["retangulo"]
            expected = [841.89 - y1, x0, 841.89 - y0, x1] if oa["pagina"] == 1 else oa["retangulo"]
            assert ob["retangulo"] == pytest.approx(expected, abs=0.1)
            assert _ink(turned, ob["pagina"], ob["retangulo"]) < 128


def _hosted(server, answers, model="gpt-4o"):
    server.clear()
    server.expect_request("/v1/chat/completions").respond_with_handler(ChatRecorder(SYSTEM, answers))
    return with_questions(lexaro.Lexaro(provider="openai", api_key="sk-teste", base_url=server.url_for("/v1"),
                                        model=model, max_retries=0))


def test_hosted_answers_are_found_in_the_text_and_inventions_show(server, pdfs):
    answers = copy.deepcopy(ANSWERS)
    first = answers["empresas"]["empresas"][0]
    # the model folds case and accents, and invents a CNPJ and a person
    first["razao_social"] = first["razao_social"].lower().replace("ç", "c")
    answers["empresas"]["empresas"][1]["cnpj"] = "11.222.333/0001-81"
    answers["assinaturas"]["assinaturas"].append({"nome_signatario": "Fulano Inventado da Silva"})
    ev = _hosted(server, answers).process(pdfs[0]).evidencias()
    a, b = ev["empresas"]
    assert a["localizado"] and {o["campo"] for o in a["onde"]} == {"nome", "cnpj"}
    assert not b["localizado"] and {o["campo"] for o in b["onde"]} == {"nome"}
    invented = ev["signatarios"][-1]
    assert invented == {"nome": "Fulano Inventado da Silva", "onde": [], "localizado": False}
    assert all(s["localizado"] for s in ev["signatarios"][:-1])


def test_pages_read_only_by_a_vision_model_are_marked(server, tmp_path):
    scan = scanned_copy(make_contract_pdf(tmp_path / "t.pdf", SAMPLE.text), tmp_path / "scan.pdf", dpi=60)
    ev = _hosted(server, ANSWERS).process(scan).evidencias()
    assert ev["empresas"] and all(
        e["onde"] == [] and not e["localizado"] and e["nota"] == "não localizado (página digitalizada)"
        for e in ev["empresas"] + ev["signatarios"])
