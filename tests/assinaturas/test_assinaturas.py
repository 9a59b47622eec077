"""Assinaturas digitais: autoridades e certificados feitos aqui (cryptography), PDFs reais
(fpdf2) assinados com pyHanko, cada achado conferido. Também serve ao benchmark."""

from __future__ import annotations

import datetime as dt
import io
import json
import os
import re
import shutil
from collections import namedtuple
from pathlib import Path

import pytest

pytest.importorskip("pyhanko.sign", reason="pyHanko (extra assinaturas) pede Python 3.10 ou mais novo")

from asn1crypto import core
from asn1crypto import keys as akeys
from asn1crypto import x509 as ax
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
from fpdf import FPDF
from pyhanko.pdf_utils import generic
from pyhanko.pdf_utils.incremental_writer import IncrementalPdfFileWriter
from pyhanko.sign import signers
from pyhanko.sign.timestamps import DummyTimeStamper
from pyhanko_certvalidator.registry import SimpleCertificateStore

from lexaro_contract import assinaturas as A

AGORA = dt.datetime.now(dt.timezone.utc)
CPF_MARIANA, CPF_JOAO, CNPJ_ALFA = "12345678909", "98765432100", "12345678000199"
EXEMPLO = Path(__file__).resolve().parents[2] / "examples" / "contratos" / "01_servicos.pdf"


# ---------------------------------------------------------------- PKI de teste

def _nome(cn, org=None):
    attrs = [x509.NameAttribute(NameOID.COUNTRY_NAME, "BR")]
    if org:
        attrs.append(x509.NameAttribute(NameOID.ORGANIZATION_NAME, org))
    return x509.Name(attrs + [x509.NameAttribute(NameOID.COMMON_NAME, cn)])


def outro(oid, texto=None, valor=None):
    """Um otherName ICP-Brasil: OCTET STRING com o texto, ou um valor DER dado."""
    der = valor if valor is not None else core.OctetString(texto.encode("latin-1")).dump()
    return x509.OtherName(x509.ObjectIdentifier(oid), der)


class Emissor:
    """Uma AC (raiz, sem `pai`, ou intermediária) que emite certificados."""

    def __init__(self, cn, org, pai=None):
        self.chave = ec.generate_private_key(ec.SECP256R1())
        sujeito = _nome(cn, org)
        emissor = (pai.cert.subject, pai.chave) if pai else (sujeito, self.chave)
        self.cert = _emitir(sujeito, self.chave.public_key(), emissor, ca=True)
        self.cadeia = [self.cert] + (pai.cadeia if pai else [])

    def emitir(self, cn, san=(), inicio=None, fim=None, eku=None, rsa_=False, crl=False):
        chave = rsa.generate_private_key(65537, 2048) if rsa_ else ec.generate_private_key(ec.SECP256R1())
        cert = _emitir(_nome(cn), chave.public_key(), (self.cert.subject, self.chave),
                       san=san, inicio=inicio, fim=fim, eku=eku, crl=crl)
        return Titular(cert, chave, self.cadeia)


def _emitir(sujeito, chave_publica, emissor, ca=False, san=(), inicio=None, fim=None, eku=None, crl=False):
    b = (x509.CertificateBuilder().subject_name(sujeito).issuer_name(emissor[0]).public_key(chave_publica)
         .serial_number(x509.random_serial_number())
         .not_valid_before(inicio or AGORA - dt.timedelta(days=400))
         .not_valid_after(fim or AGORA + dt.timedelta(days=400))
         .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
         .add_extension(x509.KeyUsage(not ca, not ca, False, False, False, ca, ca, False, False), critical=True))
    if san:
        b = b.add_extension(x509.SubjectAlternativeName(list(san)), critical=False)
    if eku:
        b = b.add_extension(x509.ExtendedKeyUsage(eku), critical=True)
    if crl:  # só quem declara onde está a lista de revogação é conferido contra ela
        b = b.add_extension(x509.CRLDistributionPoints([x509.DistributionPoint(
            [x509.UniformResourceIdentifier("http://127.0.0.1:9/ac.crl")], None, None, None)]), critical=False)
    return b.sign(emissor[1], hashes.SHA256())


def asn1(cert):
    return ax.Certificate.load(cert.public_bytes(serialization.Encoding.DER))


def chave_asn1(chave):
    return akeys.PrivateKeyInfo.load(chave.private_bytes(
        serialization.Encoding.DER, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))


class Titular(namedtuple("Titular", "cert chave cadeia")):
    def signer(self):
        return signers.SimpleSigner(signing_cert=asn1(self.cert), signing_key=chave_asn1(self.chave),
                                    cert_registry=SimpleCertificateStore.from_certs([asn1(c) for c in self.cadeia]))


class Pki:
    """As cadeias e os titulares usados pelos testes e pelo benchmark."""

    def __init__(self):
        self.raiz_icp = Emissor("AC Raiz Teste ICP-Brasil v9", "ICP-Brasil")
        self.ac_icp = Emissor("AC Final Teste ICP-Brasil", "ICP-Brasil", self.raiz_icp)
        self.raiz_gov = Emissor("AC Raiz do Governo Federal do Brasil v1", "Gov-Br")
        self.ac_gov = Emissor("AC Final do Governo Federal do Brasil v1", "Gov-Br", self.raiz_gov)
        nasc = "01021980"
        self.mariana = self.ac_icp.emitir(f"MARIANA COSTA LIMA:{CPF_MARIANA}", san=[
            outro(A.OID_PF_DADOS, nasc + CPF_MARIANA + "0" * 11)])
        self.joao = self.ac_gov.emitir(f"JOAO CARLOS PEREIRA:{CPF_JOAO}")
        self.expirado = self.ac_icp.emitir("RENATO ALVES BARBOSA:11122233396",
                                           inicio=AGORA - dt.timedelta(days=300), fim=AGORA - dt.timedelta(days=2))
        self.empresa = self.ac_icp.emitir(f"ALFA SERVICOS DE TECNOLOGIA LTDA:{CNPJ_ALFA}", san=[
            outro(A.OID_PJ_RESPONSAVEL_NOME, "JOAO CARLOS PEREIRA"),
            outro(A.OID_PJ_CNPJ, CNPJ_ALFA),
            outro(A.OID_PJ_RESPONSAVEL_DADOS, nasc + CPF_JOAO)])
        self.ilegivel = self.ac_icp.emitir("LUCIA FERREIRA DIAS", san=[
            outro(A.OID_PF_DADOS, valor=core.Boolean(True).dump())])
        self.revogado = self.ac_icp.emitir("RUI REVOGADO:22233344405", crl=True)
        self.tsa = self.ac_icp.emitir("Carimbo de Tempo Teste", eku=[ExtendedKeyUsageOID.TIME_STAMPING],
                                     rsa_=True)  # o carimbador de teste do pyHanko só assina com RSA

    def carimbador(self):
        return DummyTimeStamper(tsa_cert=asn1(self.tsa.cert), tsa_key=chave_asn1(self.tsa.chave),
                                certs_to_embed=SimpleCertificateStore.from_certs([asn1(self.ac_icp.cert)]))

    def lista_revogacao(self, horas):
        """CRL da AC ICP de teste com o certificado de Rui revogado `horas` depois de agora."""
        revogado = (x509.RevokedCertificateBuilder().serial_number(self.revogado.cert.serial_number)
                    .revocation_date(AGORA + dt.timedelta(hours=horas)).build())
        return (x509.CertificateRevocationListBuilder().issuer_name(self.ac_icp.cert.subject)
                .last_update(AGORA - dt.timedelta(days=1)).next_update(AGORA + dt.timedelta(days=7))
                .add_revoked_certificate(revogado).sign(self.ac_icp.chave, hashes.SHA256()))

    def pasta_raizes(self, pasta, *raizes):
        pasta.mkdir(parents=True, exist_ok=True)
        for i, r in enumerate(raizes):
            (pasta / f"raiz{i}.pem").write_bytes(r.cert.public_bytes(serialization.Encoding.PEM))
        return pasta


# ---------------------------------------------------------------- PDFs

def contrato(paginas=2):
    pdf = FPDF()
    pdf.set_font("Helvetica", size=11)
    for i in range(paginas):
        pdf.add_page()
        pdf.multi_cell(0, 6, f"CONTRATO DE PRESTACAO DE SERVICOS - pagina {i + 1}. " * 30)
    return bytes(pdf.output())


def assinar(dados, titular, campo, carimbador=None):
    w = IncrementalPdfFileWriter(io.BytesIO(dados), strict=False)
    meta = signers.PdfSignatureMetadata(field_name=campo)
    return signers.sign_pdf(w, meta, signer=titular.signer(), timestamper=carimbador).getvalue()


def alterar_pagina(dados):
    """Revisão incremental que troca o conteúdo visível da primeira página."""
    w = IncrementalPdfFileWriter(io.BytesIO(dados), strict=False)
    fluxo = generic.StreamObject(stream_data=b"BT /F1 18 Tf 72 720 Td (VALOR: R$ 9.000.000,00) Tj ET")
    w.add_stream_to_page(0, w.add_object(fluxo))
    saida = io.BytesIO()
    w.write(saida)
    return saida.getvalue()


def _dic(**itens):
    return generic.DictionaryObject({generic.NameObject("/" + k): v for k, v in itens.items()})


def com_campos(dados, valores):
    """Revisão incremental com campos de assinatura cujos /V são os dicionários dados."""
    w = IncrementalPdfFileWriter(io.BytesIO(dados), strict=False)
    antigo = w.root.get("/AcroForm")
    campos = generic.ArrayObject(antigo.get_object()["/Fields"] if antigo is not None else [])
    campos += [w.add_object(_dic(FT=generic.NameObject("/Sig"), T=generic.TextStringObject(f"Ruim{i}"),
                                 V=w.add_object(v))) for i, v in enumerate(valores)]
    w.root[generic.NameObject("/AcroForm")] = w.add_object(_dic(Fields=campos))
    w.update_root()
    saida = io.BytesIO()
    w.write(saida)
    return saida.getvalue()


def sig_dict(conteudo, byte_range=True):
    """Dicionário de assinatura: /Contents None vira um número; sem /ByteRange se pedido."""
    d = _dic(Type=generic.NameObject("/Sig"), SubFilter=generic.NameObject("/ETSI.CAdES.detached"),
             Contents=generic.NumberObject(7) if conteudo is None else generic.ByteStringObject(conteudo))
    if byte_range:
        d[generic.NameObject("/ByteRange")] = generic.ArrayObject([generic.NumberObject(n) for n in (0, 10, 20, 10)])
    return d


def cms_de(dados):
    from pyhanko.pdf_utils.reader import PdfFileReader

    return PdfFileReader(io.BytesIO(dados)).embedded_signatures[0].pkcs7_content


@pytest.fixture(scope="session")
def pki():
    return Pki()


@pytest.fixture(scope="session")
def pdfs(pki, tmp_path_factory):
    """Cada tipo de PDF de teste, escrito uma vez por sessão."""
    pasta = tmp_path_factory.mktemp("assinados")
    base = contrato()
    um = assinar(base, pki.mariana, "Mariana", pki.carimbador())
    dois = assinar(um, pki.joao, "Joao")
    proibida = alterar_pagina(um)
    truncado = cms_de(um)[:300]
    alterado = bytearray(um)
    produtor = um.index(b"/Producer (") + len(b"/Producer (") + 1
    alterado[produtor] ^= 0x20  # uma letra trocada dentro do trecho assinado; o PDF segue legível
    feitos = {
        "sem_assinatura": base,
        "um_signatario": um,
        "dois_signatarios": dois,
        "alteracao_proibida": proibida,
        "assinatura_apos_alteracao": assinar(proibida, pki.joao, "Joao"),
        "bytes_alterados": bytes(alterado),
        "expirado": assinar(base, pki.expirado, "Renato"),
        "revogado": assinar(base, pki.revogado, "Rui"),
        "empresa": assinar(base, pki.empresa, "Alfa"),
        "otherName_ilegivel": assinar(base, pki.ilegivel, "Lucia"),
        "dicionario_malformado": com_campos(base, [sig_dict(b"", byte_range=False), sig_dict(None),
                                                  sig_dict(cms_de(um))]),
        "cms_truncado": com_campos(um, [sig_dict(truncado)]),
        "duzentas": com_campos(base, [sig_dict(truncado) for _ in range(200)]),
    }
    for nome, dados in feitos.items():
        (pasta / f"{nome}.pdf").write_bytes(dados)
    return pasta


ALTERADO = ("reprovado", "documento alterado após a assinatura digital")
SEM_RAIZES = ("informacao", "cadeia não verificada")


@pytest.mark.parametrize("nome, assinaturas, achados", [
    ("sem_assinatura", [], [("informacao", "PDF sem assinatura digital")]),
    ("um_signatario", [("MARIANA COSTA LIMA", CPF_MARIANA, None, True, True, "nenhuma")], [SEM_RAIZES]),
    ("dois_signatarios", [("MARIANA COSTA LIMA", CPF_MARIANA, None, True, False, "inofensivas"),
                          ("JOAO CARLOS PEREIRA", CPF_JOAO, None, True, True, "nenhuma")], [SEM_RAIZES]),
    ("alteracao_proibida", [("MARIANA COSTA LIMA", CPF_MARIANA, None, True, False, "proibidas")],
     [ALTERADO, SEM_RAIZES]),
    ("assinatura_apos_alteracao", [("MARIANA COSTA LIMA", CPF_MARIANA, None, True, False, "proibidas"),
                                   ("JOAO CARLOS PEREIRA", CPF_JOAO, None, True, True, "nenhuma")],
     [ALTERADO, SEM_RAIZES]),
    ("bytes_alterados", [("MARIANA COSTA LIMA", CPF_MARIANA, None, False, True, "nenhuma")], [ALTERADO, SEM_RAIZES]),
    ("expirado", [("RENATO ALVES BARBOSA", "11122233396", None, True, True, "nenhuma")],
     [SEM_RAIZES, ("pendente", "certificado de RENATO ALVES BARBOSA expirado na data da assinatura")]),
    ("empresa", [("ALFA SERVICOS DE TECNOLOGIA LTDA", CPF_JOAO, CNPJ_ALFA, True, True, "nenhuma")], [SEM_RAIZES]),
    ("otherName_ilegivel", [("LUCIA FERREIRA DIAS", None, None, True, True, "nenhuma")],
     [SEM_RAIZES, ("informacao", f"campo {A.OID_PF_DADOS} ilegível no certificado de LUCIA FERREIRA DIAS")]),
])
def test_each_kind_of_signed_pdf(pdfs, nome, assinaturas, achados):
    r = A.verificar_assinaturas(pdfs / f"{nome}.pdf")
    obtidas = [(a["nome"], a["cpf"], a["cnpj"], a["integra"], a["cobre_documento_inteiro"],
                a["alteracoes_posteriores"]) for a in r["assinaturas"]]
    assert obtidas == assinaturas
    assert all(a["cadeia"] == "nao_verificada" and a["signatario_do_contrato"] is None for a in r["assinaturas"])
    assert sorted((a["status"], re.split(r":| \(", a["mensagem"])[0]) for a in r["achados"]) == sorted(achados)
    json.dumps(r)  # o registro vai direto para o JSON Lines


def test_identity_issuer_and_times(pdfs, pki):
    um, = A.verificar_assinaturas(pdfs / "um_signatario.pdf")["assinaturas"]
    assert um["tipo"] == "icp_brasil" and um["emissor"] == "AC Final Teste ICP-Brasil"
    assert um["carimbo_de_tempo"] is not None and um["data"] is not None
    assert abs(dt.datetime.fromisoformat(um["data"]) - AGORA) < dt.timedelta(minutes=10)
    _, gov = A.verificar_assinaturas(pdfs / "dois_signatarios.pdf")["assinaturas"]
    assert gov["tipo"] == "gov_br" and gov["emissor"] == "AC Final do Governo Federal do Brasil v1"
    assert gov["carimbo_de_tempo"] is None
    emp, = A.verificar_assinaturas(pdfs / "empresa.pdf")["assinaturas"]
    assert emp["responsavel"] == "JOAO CARLOS PEREIRA"


def test_trust_roots(pdfs, pki, tmp_path):
    ambas = pki.pasta_raizes(tmp_path / "ambas", pki.raiz_icp, pki.raiz_gov)
    r = A.verificar_assinaturas(pdfs / "dois_signatarios.pdf", raizes=ambas)
    assert [a["cadeia"] for a in r["assinaturas"]] == ["confiavel", "confiavel"] and r["achados"] == []
    so_icp = pki.pasta_raizes(tmp_path / "icp", pki.raiz_icp)
    r = A.verificar_assinaturas(pdfs / "dois_signatarios.pdf", raizes=str(so_icp))
    assert [a["cadeia"] for a in r["assinaturas"]] == ["confiavel", "nao_confiavel"]
    assert r["achados"] == [{"status": "pendente", "mensagem": "certificado de JOAO CARLOS PEREIRA não "
                                                               "encadeia às raízes de confiança fornecidas"}]
    r = A.verificar_assinaturas(pdfs / "expirado.pdf", raizes=so_icp)
    assert [a["status"] for a in r["achados"]] == ["pendente"] and "expirado" in r["achados"][0]["mensagem"]
    assert A.verificar_assinaturas(pdfs / "revogado.pdf", raizes=so_icp)["achados"] == []
    crl = so_icp / "ac.crl"
    crl.write_bytes(pki.lista_revogacao(horas=+1).public_bytes(serialization.Encoding.DER))  # depois de assinar
    assert A.verificar_assinaturas(pdfs / "revogado.pdf", raizes=so_icp)["achados"] == []
    crl.write_bytes(pki.lista_revogacao(horas=-1).public_bytes(serialization.Encoding.DER))
    os.utime(crl, ns=(0, 10**9))  # outra lista no mesmo arquivo: a pasta é relida
    r = A.verificar_assinaturas(pdfs / "revogado.pdf", raizes=so_icp)
    assert [(a["validade"], a["cadeia"]) for a in r["assinaturas"]] == [("revogado", "nao_confiavel")]
    assert [a["mensagem"].split(" (")[0] for a in r["achados"]] == [
        "certificado de RUI REVOGADO revogado na data da assinatura"]
    r = A.verificar_assinaturas(pdfs / "bytes_alterados.pdf", raizes=so_icp)  # só o achado da alteração
    assert [(a["cadeia"], a["integra"]) for a in r["assinaturas"]] == [("nao_verificada", False)]
    assert [a["status"] for a in r["achados"]] == ["reprovado"]
    (tmp_path / "vazia").mkdir()
    (tmp_path / "ruim").mkdir()
    (tmp_path / "ruim" / "x.pem").write_text("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n")
    for pasta, trecho in ((tmp_path / "nao_existe", "não encontrada"), (tmp_path / "vazia", "nenhum certificado"),
                          (tmp_path / "ruim", "x.pem")):
        with pytest.raises(A.ErroDeRaizes, match=trecho):
            A.verificar_assinaturas(pdfs / "um_signatario.pdf", raizes=pasta)


def test_bad_signatures_are_bounded_findings(pdfs):
    r = A.verificar_assinaturas(pdfs / "dicionario_malformado.pdf")
    # sem /ByteRange, /Contents que não é texto: ilegíveis; uma assinatura verdadeira apontando
    # para outros bytes: não confere
    assert [a["erro"] is not None for a in r["assinaturas"]] == [True, True, False]
    assert [a["status"] for a in r["achados"]] == ["pendente", "pendente", "reprovado", "informacao"]
    assert all(a["mensagem"].startswith("assinatura digital ilegível no campo Ruim") for a in r["achados"][:2])
    assert r["achados"][2]["mensagem"].startswith("documento alterado após a assinatura digital")
    r = A.verificar_assinaturas(pdfs / "cms_truncado.pdf")
    assert [(a["campo"], a["integra"], a["erro"] is None) for a in r["assinaturas"]] == [
        ("Mariana", True, True), ("Ruim0", False, False)]
    r = A.verificar_assinaturas(pdfs / "duzentas.pdf")
    assert len(r["assinaturas"]) == A.MAX_ASSINATURAS and all(a["erro"] for a in r["assinaturas"])
    assert r["achados"][-2]["mensagem"] == (f"PDF com 200 assinaturas digitais: só as primeiras "
                                            f"{A.MAX_ASSINATURAS} foram conferidas")
    (pdfs / "lixo.pdf").write_bytes(b"isto nao e um PDF")
    r = A.verificar_assinaturas(pdfs / "lixo.pdf")
    assert r["assinaturas"] == [] and r["achados"][0]["status"] == "pendente"
    with pytest.raises(FileNotFoundError):
        A.verificar_assinaturas(pdfs / "nao_existe.pdf")


def _resultado(signatarios, cnpjs):
    return {"assinaturas": [{"nome_signatario": n, "cnpj_empresa": c, **extra} for n, c, extra in signatarios],
            "empresas": [{"cnpj": c} for c in cnpjs]}


@pytest.mark.parametrize("nome, signatarios, casados, achados", [
    # nomes pela comparação do verificador (acentos e palavras), todos cobertos
    ("dois_signatarios", [("Mariana Costa Lima", "", {}), ("João Carlos Pereira", "", {})],
     ["Mariana Costa Lima", "João Carlos Pereira"], []),
    # um signatário sem assinatura digital; um assinante que não é signatário
    ("um_signatario", [("JOÃO CARLOS PEREIRA", "", {})], [None],
     [("informacao", "assinatura digital de MARIANA COSTA LIMA não corresponde a nenhum signatário do contrato"),
      ("pendente", "signatário JOÃO CARLOS PEREIRA sem assinatura digital correspondente no PDF")]),
    # CPF diferente desfaz o casamento por nome (homônimo)
    ("um_signatario", [("Mariana Costa Lima", "", {"cpf": "000.111.222-33"})], [None],
     [("informacao", "assinatura digital de MARIANA COSTA LIMA não corresponde a nenhum signatário do contrato"),
      ("pendente", "signatário Mariana Costa Lima sem assinatura digital correspondente no PDF")]),
    # CPF igual casa mesmo com o nome abreviado
    ("um_signatario", [("M. C. Lima", "", {"cpf": "123.456.789-09"})], ["M. C. Lima"], []),
    # certificado de empresa: pelo responsável; CNPJ que não é parte do contrato
    ("empresa", [("João Carlos Pereira", "12.345.678/0001-99", {})], ["João Carlos Pereira"], []),
    ("empresa", [("João Carlos Pereira", "", {})], ["João Carlos Pereira"],
     [("pendente", "certificado de empresa de ALFA SERVICOS DE TECNOLOGIA LTDA (CNPJ 12345678000199) "
                   "não é de nenhuma empresa do contrato")]),
    # PDF sem assinatura digital: nada a cobrar dos signatários
    ("sem_assinatura", [("Ana Souza", "", {})], [], []),
])
def test_cross_check_with_the_verification(pdfs, nome, signatarios, casados, achados):
    digitais = A.verificar_assinaturas(pdfs / f"{nome}.pdf")
    r = A.cruzar_com_verificacao(digitais, _resultado(signatarios, ["11.111.111/0001-11"]))
    assert [a["signatario_do_contrato"] for a in r["assinaturas"]] == casados
    assert [(a["status"], a["mensagem"]) for a in r["achados"][len(digitais["achados"]):]] == achados
    assert all(a["signatario_do_contrato"] is None for a in digitais["assinaturas"])  # entrada intacta


def test_verdict_and_report(pdfs):
    r = A.verificar_assinaturas(pdfs / "alteracao_proibida.pdf")
    assert A.veredito_assinaturas(r) == "REPROVADO"
    assert A.veredito_assinaturas(A.verificar_assinaturas(pdfs / "expirado.pdf")) == "PENDENTE"
    assert A.veredito_assinaturas(A.verificar_assinaturas(pdfs / "sem_assinatura.pdf")) is None
    texto = "\n".join(A.relatorio_assinaturas(r))
    assert "🔏 ASSINATURAS DIGITAIS (1)" in texto and "MARIANA COSTA LIMA" in texto
    assert "❌ documento alterado após a assinatura digital" in texto


def test_without_pyhanko_the_check_is_informational(pdfs, monkeypatch):
    monkeypatch.setitem(__import__("sys").modules, "pyhanko.sign.validation", None)
    r = A.verificar_assinaturas(pdfs / "um_signatario.pdf")
    assert r["assinaturas"] == [] and r["achados"][0]["status"] == "informacao"
    assert "indisponível" in r["achados"][0]["mensagem"] and A.veredito_assinaturas(r) is None


@pytest.mark.parametrize("texto", [
    b"<48656c6c6f>resto", b"<48 65\n6C\t6c 6>x", b"<>", b"<4g41>", b"<41 % nota\n42>", b"<4142", b"<" + b"ab" * 40000 + b">"])
def test_fast_hex_reader_equals_pyhanko_reader(texto):
    from pyhanko.pdf_utils import generic

    A.instalar_leitor_hex()
    rapido = generic.read_hex_string_from_stream
    saidas = []
    for ler in (rapido, rapido.original):
        fluxo = io.BytesIO(texto)
        try:
            saidas.append((ler(fluxo), fluxo.tell()))
        except Exception as e:  # noqa: BLE001 - o erro também tem de ser o mesmo
            saidas.append((type(e), str(e)))
    assert saidas[0] == saidas[1]


# ---------------------------------------------------------------- linha de comando

def test_cli_records_and_status(pki, tmp_path, registro_de_exemplo, monkeypatch, capsys):
    from lexaro_contract import cli

    monkeypatch.setenv("LEXARO_RAIZES", str(pki.pasta_raizes(tmp_path / "raizes", pki.raiz_icp, pki.raiz_gov)))
    assinado = assinar(assinar(EXEMPLO.read_bytes(), pki.joao, "Joao"), pki.mariana, "Mariana")
    (tmp_path / "assinado.pdf").write_bytes(assinado)
    (tmp_path / "alterado.pdf").write_bytes(alterar_pagina(assinado))
    shutil.copy(EXEMPLO, tmp_path / "papel.pdf")
    arquivos = [str(tmp_path / n) for n in ("papel.pdf", "assinado.pdf", "alterado.pdf")]
    codigos = [cli.main(["verificar", a, "--quiet", "--sem-checagem-registro"]) for a in arquivos]
    assert codigos == [0, 2, 1]  # APROVADO; testemunhas sem assinatura digital; alterado depois
    saida = tmp_path / "r.jsonl"
    assert cli.main(["verificar", *arquivos, "--saida", str(saida), "--sem-checagem-registro", "--jobs", "2",
                     "--raizes", str(tmp_path / "raizes")]) == 1
    assert "[assinaturas digitais: PENDENTE]" in capsys.readouterr().out
    registros = {Path(r["arquivo"]).stem: r for r in map(json.loads, saida.read_text(encoding="utf-8").splitlines())}
    assert {r["resultado"]["resultado_final"] for r in registros.values()} == {"APROVADO"}
    assert "assinaturas_digitais" not in registros["assinado"]["resultado"]
    digitais = registros["assinado"]["assinaturas_digitais"]
    assert [(a["signatario_do_contrato"], a["cadeia"]) for a in digitais["assinaturas"]] == [
        ("JOÃO CARLOS PEREIRA", "confiavel"), ("MARIANA COSTA LIMA", "confiavel")]
    assert [a["status"] for a in digitais["achados"]] == ["pendente", "pendente"]
    assert registros["papel"]["assinaturas_digitais"]["achados"] == [
        {"status": "informacao", "mensagem": "PDF sem assinatura digital"}]
    assert cli.main(["verificar", arquivos[2], "--sem-checagem-registro"]) == 1
    relatorio = capsys.readouterr().out
    assert relatorio.index("RESULTADO FINAL: APROVADO") < relatorio.index("🔏 ASSINATURAS DIGITAIS (2)")
    assert cli.main(["verificar", arquivos[0], "--raizes", str(tmp_path / "nada")]) == 3
    assert "não encontrada" in capsys.readouterr().err
