"""O painel num navegador de verdade (o Chromium do Debian, com Selenium):
entrar, enviar os três contratos de exemplo, vê-los terminar na lista, abrir
o PENDENTE, ver a página com as caixas das evidências do motor, decidir o campo
pendente e ver a decisão final e o log. As capturas da lista e da página do
contrato vão para a pasta de LEXARO_CAPTURAS (as do README:
LEXARO_CAPTURAS=docs/imagens), senão para a pasta temporária do teste."""

import os
import shutil
import socket
import threading
import time
from pathlib import Path

import pytest
from painel_apoio import PDFS, SENHA

webdriver = pytest.importorskip("selenium.webdriver")


def _porta_livre():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def servidor(registro_de_exemplo, tmp_path):
    import uvicorn

    from lexaro_contract import lote
    from lexaro_contract.acervo import Acervo
    from lexaro_contract.painel.app import criar_app
    from lexaro_contract.painel.fila import Fila

    acervo = Acervo(str(tmp_path / "acervo.db"))
    acervo.criar_usuario("ana", "analista", SENHA)
    fila = Fila(acervo, "local", jobs=2, executor=lambda: lote.ExecutorDeFios(2))
    porta = _porta_livre()
    srv = uvicorn.Server(uvicorn.Config(criar_app(acervo, fila), host="127.0.0.1", port=porta, log_level="warning"))
    fio = threading.Thread(target=srv.run, daemon=True)
    fio.start()
    fim = time.monotonic() + 20
    while not srv.started and time.monotonic() < fim:
        time.sleep(0.05)
    yield f"http://127.0.0.1:{porta}", acervo
    srv.should_exit = True
    fio.join(10)
    acervo.fechar()


@pytest.fixture
def navegador():
    binario, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if not binario or not driver:
        pytest.skip("chromium e chromium-driver não instalados (apt-get install chromium chromium-driver)")
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service

    opcoes = Options()
    opcoes.binary_location = binario
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1280,1000"):
        opcoes.add_argument(arg)
    nav = webdriver.Chrome(service=Service(driver), options=opcoes)
    nav.implicitly_wait(0)
    yield nav
    nav.quit()


def _esperar(condicao, prazo=60.0):
    fim = time.monotonic() + prazo
    while time.monotonic() < fim:
        valor = condicao()
        if valor:
            return valor
        time.sleep(0.2)
    raise AssertionError("tempo esgotado esperando a página")


def test_do_login_a_decisao_final(servidor, navegador, tmp_path):
    from selenium.webdriver.common.by import By

    base, acervo = servidor
    nav = navegador
    nav.get(base + "/")
    assert nav.current_url.endswith("/entrar")
    nav.find_element(By.ID, "nome").send_keys("ana")
    nav.find_element(By.ID, "senha").send_keys(SENHA)
    nav.find_element(By.ID, "entrar").click()
    _esperar(lambda: "Contratos" in nav.title)

    nav.get(base + "/enviar")
    nav.find_element(By.ID, "arquivo").send_keys("\n".join(str(p) for p in PDFS))
    nav.find_element(By.ID, "enviar").click()
    _esperar(lambda: len(nav.find_elements(By.CSS_SELECTOR, "#resultados li")) == 3)

    nav.get(base + "/")
    # A lista se atualiza sozinha até os três terem veredito.
    _esperar(lambda: sorted(e.text.split()[0] for e in nav.find_elements(By.CSS_SELECTOR, "#lista td.veredito"))
             == ["APROVADO", "PENDENTE", "REPROVADO"])
    _esperar(lambda: "DELTA" in nav.find_element(By.ID, "lista").text)
    capturas = Path(os.environ.get("LEXARO_CAPTURAS") or tmp_path)
    capturas.mkdir(parents=True, exist_ok=True)
    nav.save_screenshot(str(capturas / "painel-lista.png"))

    cid = acervo.listar(veredito="PENDENTE")[0][0]["id"]
    nav.find_element(By.LINK_TEXT, "03_locacao.pdf").click()
    _esperar(lambda: nav.find_elements(By.ID, "veredito"))
    assert nav.find_element(By.ID, "veredito").text == "PENDENTE"
    imagem = nav.find_element(By.CSS_SELECTOR, "#pagina-1 img")
    nav.execute_script("arguments[0].scrollIntoView()", imagem)
    _esperar(lambda: nav.execute_script("return arguments[0].complete && arguments[0].naturalWidth", imagem))
    caixas = nav.find_elements(By.CSS_SELECTOR, '#pagina-1 .evidencia[data-dono^="DELTA"]')
    assert caixas and all(c.size["width"] > 20 and c.size["height"] > 5 for c in caixas)   # postas pelo script
    linha = nav.find_element(By.CSS_SELECTOR, "tr.situacao-pendente")
    linha.find_element(By.CSS_SELECTOR, "td").click()
    assert all("ativa" in c.get_attribute("class") for c in caixas)
    outra = nav.find_element(By.CSS_SELECTOR, '#pagina-1 .evidencia:not([data-dono^="DELTA"])')
    assert "ativa" not in outra.get_attribute("class")
    time.sleep(0.5)    # a rolagem até a caixa
    nav.save_screenshot(str(capturas / "painel-contrato.png"))

    formulario = linha.find_element(By.CSS_SELECTOR, "form.decidir")
    formulario.find_element(By.NAME, "comentario").send_keys("A sede mudou; conferido no contrato social.")
    formulario.find_element(By.CSS_SELECTOR, "button").click()
    _esperar(lambda: nav.find_elements(By.ID, "decisao-final"))
    assert nav.find_element(By.ID, "decisao-final").text == "aprovado"
    log = nav.find_element(By.ID, "log").text
    assert "A sede mudou" in log and "decisão final" in log and "ana" in log
