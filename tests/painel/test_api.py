"""A API do painel sobre HTTP, com a fila verificando de verdade."""

import pytest
from painel_apoio import PDFS, SENHA, arquivos

from lexaro_contract.cli import main


def _pdf_com_senha():
    from fpdf import FPDF

    pdf = FPDF()
    pdf.set_encryption(owner_password="dono", user_password="leitor")
    pdf.add_page()
    pdf.set_font("helvetica")
    pdf.cell(text="contrato")
    return bytes(pdf.output())


def test_usuario_criar_pela_linha_de_comando(tmp_path, capsys):
    destino, senha = str(tmp_path / "novo" / "acervo.db"), tmp_path / "senha"
    senha.write_text(SENHA + "\n")
    assert main(["painel", "usuario", "criar", "ana", "--papel", "analista", "--acervo", destino,
                 "--senha-arquivo", str(senha), "--token"]) == 0
    token = capsys.readouterr().out.splitlines()[-1]
    from lexaro_contract.acervo import Acervo

    acervo = Acervo(destino)
    try:
        assert acervo.usuario_do_token(token)["nome"] == "ana" and acervo.autenticar("ana", SENHA)
    finally:
        acervo.fechar()
    assert main(["painel", "usuario", "criar", "ana", "--papel", "analista", "--acervo", destino,
                 "--senha-arquivo", str(senha)]) == 3
    assert "já existe" in capsys.readouterr().err


def test_sem_token_valido_nada_responde(painel):
    c = painel.cliente
    assert c.get("/api/contratos").status_code == 401
    assert c.get("/api/contratos", headers={"Authorization": "Bearer lxr_falso"}).status_code == 401
    assert c.post("/api/contratos", files=arquivos(PDFS[0])).status_code == 401
    leitor = painel.token("leo", "leitor")
    assert c.post("/api/contratos", files=arquivos(PDFS[0]), headers=leitor).status_code == 403
    assert painel.acervo.listar()[1] == 0


def test_envio_verificacao_revisao_e_conflito(painel):
    c, ana, bia = painel.cliente, painel.token("ana"), painel.token("bia")
    resposta = c.post("/api/contratos", headers=ana, files=arquivos(
        *PDFS, ("vazio.pdf", b""), ("nota.pdf", b"isto nao e um pdf"), ("protegido.pdf", _pdf_com_senha())))
    assert resposta.status_code == 201
    entradas = resposta.json()["contratos"]
    assert [e["arquivo"] for e in entradas] == [p.name for p in PDFS] + ["vazio.pdf", "nota.pdf", "protegido.pdf"]
    assert [e["estado"] for e in entradas[3:]] == ["erro"] * 3
    assert [e["erro"] for e in entradas[3:]] == ["arquivo vazio", "não é um PDF", "PDF protegido por senha"]
    ids = [e["id"] for e in entradas[:3]]
    assert painel.esperar(ids) == ["verificado"] * 3
    # O mesmo arquivo de novo é o contrato que já existe.
    again = c.post("/api/contratos", headers=bia, files=arquivos(PDFS[0])).json()["contratos"][0]
    assert (again["id"], again["estado"]) == (ids[0], "verificado")

    lista = c.get("/api/contratos", headers=ana, params={"veredito": "PENDENTE"}).json()
    assert lista["total"] == 1
    cid = lista["contratos"][0]["id"]
    detalhe = c.get(f"/api/contratos/{cid}", headers=ana).json()
    assert set(detalhe) == {"id", "arquivo", "estado", "erro", "resultado", "evidencias", "campos",
                            "decisao_final", "decisoes"}
    assert detalhe["resultado"]["resultado_final"] == "PENDENTE"
    assert any(e["localizado"] and e["onde"] for e in detalhe["evidencias"]["empresas"])
    pendente = next(f for f in detalhe["campos"] if f["situacao"] == "pendente")
    assert set(pendente) == {"id", "texto", "situacao", "decisao"} and pendente["texto"].startswith("Endereço")
    c.get(f"/api/contratos/{cid}", headers=bia)     # Bia lê antes de Ana decidir

    sem_comentario = c.post(f"/api/contratos/{cid}/decisoes", headers=ana,
                            json={"campo": pendente["id"], "decisao": "aprovado", "comentario": ""})
    assert sem_comentario.status_code == 400
    feita = c.post(f"/api/contratos/{cid}/decisoes", headers=ana,
                   json={"campo": pendente["id"], "decisao": "aprovado", "comentario": "mudou de sede"})
    assert feita.status_code == 201 and feita.json()["decisao_final"]["decisao"] == "aprovado"
    conflito = c.post(f"/api/contratos/{cid}/decisoes", headers=bia,
                      json={"campo": pendente["id"], "decisao": "reprovado", "comentario": "não confere"})
    assert conflito.status_code == 409 and conflito.json()["decisao"]["usuario"] == "ana"
    depois = c.get(f"/api/contratos/{cid}", headers=bia).json()
    assert [d["usuario"] for d in depois["decisoes"]] == ["ana", "ana"]
    assert depois["decisao_final"]["decisao"] == "aprovado"
    # Depois de ler a decisão de Ana, Bia pode decidir (acrescenta; nada é sobrescrito).
    assert c.post(f"/api/contratos/{cid}/decisoes", headers=bia, json={
        "campo": pendente["id"], "decisao": "reprovado", "comentario": "revisto"}).status_code == 201
    final = c.get(f"/api/contratos/{cid}", headers=bia).json()
    assert final["decisao_final"]["decisao"] == "reprovado" and len(final["decisoes"]) == 4
    exportado = c.get("/api/contratos.csv", headers=ana).text.splitlines()
    assert exportado[0].startswith("id,arquivo,estado,veredito,decisao_final")
    assert any(",PENDENTE,reprovado," in linha for linha in exportado)


def test_reinicio_retoma_a_fila_sem_verificar_duas_vezes(registro_de_exemplo, tmp_path):
    from starlette.testclient import TestClient

    from lexaro_contract import lote
    from lexaro_contract.acervo import Acervo
    from lexaro_contract.painel.app import criar_app
    from lexaro_contract.painel.fila import Fila

    acervo = Acervo(str(tmp_path / "acervo.db"))
    feito, _ = acervo.adicionar(PDFS[0].name, PDFS[0].read_bytes(), "ana")
    em_voo, _ = acervo.adicionar(PDFS[1].name, PDFS[1].read_bytes(), "ana")
    na_fila, _ = acervo.adicionar(PDFS[2].name, PDFS[2].read_bytes(), "ana")
    # O servidor anterior tomou dois, guardou um e morreu.
    tomados = dict(acervo.tomar_da_fila(2))
    registro = lote.verificar_arquivo(str(tomados[feito]), lote.Configuracao.atual("local"))
    acervo.guardar_registro(feito, registro, "local")
    fila = Fila(acervo, "local", jobs=2, executor=lambda: lote.ExecutorDeFios(2))
    with TestClient(criar_app(acervo, fila)):
        import time

        fim = time.monotonic() + 60
        while time.monotonic() < fim and any(acervo.contrato(i)["estado"] != "verificado" for i in (em_voo, na_fila)):
            time.sleep(0.1)
    import sqlalchemy as sa

    from lexaro_contract.acervo.esquema import verificacoes

    with acervo.motor.connect() as con:
        contagem = dict(con.execute(sa.select(verificacoes.c.contrato_id, sa.func.count())
                                    .group_by(verificacoes.c.contrato_id)).all())
    acervo.fechar()
    assert contagem == {feito: 1, em_voo: 1, na_fila: 1}


@pytest.mark.parametrize("tamanho", [2_000_000])
def test_envio_grande_demais_e_recusado_sem_guardar_nada(registro_de_exemplo, tmp_path, tamanho):
    from starlette.testclient import TestClient

    from lexaro_contract.acervo import Acervo
    from lexaro_contract.painel.app import criar_app

    acervo = Acervo(str(tmp_path / "acervo.db"))
    cabecalho = {"Authorization": "Bearer " + acervo.criar_token(acervo.criar_usuario("ana", "analista", SENHA))}
    with TestClient(criar_app(acervo, None, limite=1_000_000)) as c:
        grande = b"%PDF-1.4\n" + b"0" * tamanho
        resposta = c.post("/api/contratos", headers=cabecalho, files=arquivos(("grande.pdf", grande)))
        assert resposta.status_code == 413 and "grande demais" in resposta.json()["erro"]
        assert c.post("/api/contratos", headers=cabecalho, files=arquivos(PDFS[0])).status_code == 201
    assert acervo.listar()[1] == 1 and len(list(acervo.pasta.rglob("*.pdf"))) == 1
    acervo.fechar()


def test_fila_do_motor_local_guarda_os_processos_entre_rodadas(registro_de_exemplo, tmp_path):
    from lexaro_contract.acervo import Acervo
    from lexaro_contract.painel.fila import Fila

    acervo = Acervo(str(tmp_path / "acervo.db"))
    fila = Fila(acervo, "local", jobs=1)
    try:
        acervo.adicionar(PDFS[0].name, PDFS[0].read_bytes())
        assert fila.rodada() == 1
        processos = set(fila._pool._processes)
        acervo.adicionar(PDFS[1].name, PDFS[1].read_bytes())
        assert fila.rodada() == 1 and set(fila._pool._processes) == processos
        assert [c["veredito"] for c in acervo.listar()[0]] == ["REPROVADO", "APROVADO"]
    finally:
        fila.parar()
        acervo.fechar()
    assert fila._pool.fechado


def test_comando_painel_serve_verifica_e_para(tmp_path):
    """O comando inteiro: o registro de exemplo servido no processo, a fila em
    processos do motor local, a API por HTTP, e o Ctrl-C que o encerra."""
    import json
    import os
    import signal
    import socket
    import subprocess
    import sys
    import time
    import urllib.request
    from pathlib import Path

    raiz = Path(__file__).resolve().parents[2]
    destino, senha = str(tmp_path / "acervo.db"), tmp_path / "senha"
    senha.write_text(SENHA)
    import lexaro_contract

    # The package in use (installed, or src/ in development), never src/ by force.
    ambiente = {**os.environ, "PYTHONPATH": str(Path(lexaro_contract.__file__).resolve().parents[1])}
    criar = subprocess.run([sys.executable, "-m", "lexaro_contract", "painel", "usuario", "criar", "ana", "--papel",
                            "analista", "--acervo", destino, "--senha-arquivo", str(senha), "--token"],
                           env=ambiente, capture_output=True, text=True, check=True)
    token = criar.stdout.splitlines()[-1]
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        porta = s.getsockname()[1]
    erros = (tmp_path / "stderr").open("wb")
    painel = subprocess.Popen([sys.executable, "-m", "lexaro_contract", "painel", "--acervo", destino, "--porta",
                               str(porta), "--registro", str(raiz / "examples" / "registro"), "--provider", "local",
                               "--jobs", "1"], env=ambiente, stdout=subprocess.DEVNULL,
                              stderr=erros)
    base = f"http://127.0.0.1:{porta}/api/contratos"

    def pedir(url, corpo=None, tipo=None):
        pedido = urllib.request.Request(url, data=corpo, headers={"Authorization": f"Bearer {token}",
                                                                  **({"Content-Type": tipo} if tipo else {})})
        with urllib.request.urlopen(pedido, timeout=10) as r:
            return json.loads(r.read())

    try:
        fim = time.monotonic() + 60
        while True:
            try:
                pedir(base)
                break
            except OSError:
                assert time.monotonic() < fim and painel.poll() is None, (tmp_path / "stderr").read_text()
                time.sleep(0.2)
        fronteira = "----limite"
        corpo = (f"--{fronteira}\r\nContent-Disposition: form-data; name=\"arquivo\"; filename=\"{PDFS[2].name}\"\r\n"
                 "Content-Type: application/pdf\r\n\r\n").encode() + PDFS[2].read_bytes() + f"\r\n--{fronteira}--\r\n".encode()
        (entrada,) = pedir(base, corpo, f"multipart/form-data; boundary={fronteira}")["contratos"]
        while pedir(f"{base}/{entrada['id']}")["estado"] != "verificado":
            assert time.monotonic() < fim + 60
            time.sleep(0.2)
        assert pedir(f"{base}/{entrada['id']}")["resultado"]["resultado_final"] == "PENDENTE"
    finally:
        painel.send_signal(signal.SIGINT)
        codigo = painel.wait(20)
        erros.close()
    assert codigo == 0, (tmp_path / "stderr").read_text()
