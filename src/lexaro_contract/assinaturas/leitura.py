"""Leitura e conferência das assinaturas de um PDF com o pyHanko.

Por assinatura: identidade, datas (a declarada e a do carimbo de tempo), integridade dos bytes,
cobertura (o arquivo inteiro, ou uma revisão anterior seguida de alterações, inofensivas ou
não), validade do certificado na data da assinatura e cadeia até as raízes fornecidas. Uma
assinatura ilegível vira um registro com ``erro`` e um achado; as outras seguem.
"""

from __future__ import annotations

import datetime as _dt
import io
import logging
from typing import Any, Dict, List, Optional, Tuple

from .certificado import identidade
from .raizes import Raizes

Registro = Dict[str, Any]

# Um contrato real tem poucas assinaturas; a análise de diferenças de cada uma percorre todas as
# revisões seguintes, então o custo cresce com o quadrado do número de assinaturas. Acima deste
# limite o resto fica para um humano (achado pendente), em vez de travar um lote.
MAX_ASSINATURAS = 50


# Alterações depois de uma assinatura que não mudam o que foi assinado: nenhuma, dados de
# validação de longo prazo (DSS, carimbos do documento) e preenchimento de formulário, que é
# também como o PDF recebe as assinaturas seguintes. Anotações (texto, carimbos, desenhos sobre
# a página) mudam o que o leitor vê e não entram aqui.
_NIVEIS_INOFENSIVOS = ("NONE", "LTA_UPDATES", "FORM_FILLING")


_SEM_RAIZES = ("cadeia não verificada: nenhuma raiz de confiança fornecida "
               "(--raizes PASTA ou LEXARO_RAIZES)")
_ALTERADO = "documento alterado após a assinatura digital"

# pyHanko registra com traceback cada cadeia que não fecha; sem raízes isso é o caso normal.
logging.getLogger("pyhanko").addHandler(logging.NullHandler())
logging.getLogger("pyhanko_certvalidator").addHandler(logging.NullHandler())


def _iso(momento: Optional[_dt.datetime]) -> Optional[str]:
    if momento is None:
        return None
    if momento.tzinfo is None:
        momento = momento.replace(tzinfo=_dt.timezone.utc)
    return momento.isoformat()


def _hora_do_carimbo(signer_info: Any) -> Optional[_dt.datetime]:
    """A hora do carimbo de tempo da assinatura (atributo não assinado), se houver."""
    atributos = signer_info["unsigned_attrs"]
    if atributos.native is None:
        return None
    for atributo in atributos:
        if atributo["type"].native == "signature_time_stamp_token":
            token = atributo["values"][0]
            tst = token["content"]["encap_content_info"]["content"].parsed
            hora: _dt.datetime = tst["gen_time"].native
            return hora
    return None


def _registro_vazio(campo: str) -> Registro:
    return {"campo": campo, "nome": None, "cpf": None, "cnpj": None, "responsavel": None,
            "tipo": None, "emissor": None, "data": None, "carimbo_de_tempo": None,
            "integra": False, "cobre_documento_inteiro": False, "alteracoes_posteriores": None,
            "cadeia": "nao_verificada", "validade": None, "signatario_do_contrato": None,
            "erro": None}


async def _conferir(embutida: Any, raizes: Optional[Raizes], registro: Registro,
                    achados: List[Registro]) -> None:
    from pyhanko.sign.validation import async_validate_pdf_signature
    from pyhanko_certvalidator import ValidationContext

    cert = embutida.signer_cert
    dados_do_cert, ilegiveis = identidade(cert)
    registro.update(dados_do_cert)
    quem = registro["nome"] or registro["cnpj"] or f"campo {registro['campo']}"
    for oid in ilegiveis:
        achados.append(achado("informacao", f"campo {oid} ilegível no certificado de {quem}"))

    informada = embutida.self_reported_timestamp
    try:
        carimbo = _hora_do_carimbo(embutida.signer_info)
    except Exception:  # noqa: BLE001 - um carimbo ilegível não tira a data informada
        carimbo = None
        achados.append(achado("informacao", f"carimbo de tempo ilegível na assinatura de {quem}"))
    registro["data"] = _iso(informada)
    registro["carimbo_de_tempo"] = _iso(carimbo)
    # A data que vale: a do carimbo de tempo (de terceiro); senão a que o signatário declarou.
    momento = carimbo or informada or _dt.datetime.now(_dt.timezone.utc)
    if momento.tzinfo is None:
        momento = momento.replace(tzinfo=_dt.timezone.utc)

    contexto = ValidationContext(
        trust_roots=raizes.ancoras if raizes else [],
        other_certs=raizes.intermediarios if raizes else [],
        crls=raizes.crls if raizes else [],
        moment=momento, allow_fetching=False, revocation_mode="soft-fail")
    status = await async_validate_pdf_signature(embutida, contexto)

    registro["integra"] = bool(status.intact and status.valid)
    registro["cobre_documento_inteiro"], registro["alteracoes_posteriores"] = _cobertura(status)
    registro["validade"] = _validade(cert, momento, status.revoked)
    # A cadeia de uma assinatura que não confere não chega a ser avaliada: fica não verificada
    # (o achado que importa ali é o da alteração), em vez de parecer um problema de confiança.
    if raizes is not None and registro["integra"]:
        registro["cadeia"] = "confiavel" if status.trusted else "nao_confiavel"
    achados.extend(_achados_da_assinatura(registro, quem, momento))


def _cobertura(status: Any) -> Tuple[bool, str]:
    """(cobre o arquivo inteiro, alterações posteriores: nenhuma/inofensivas/proibidas/indeterminadas)."""
    cobertura = status.coverage.name if status.coverage is not None else "UNCLEAR"
    if cobertura == "ENTIRE_FILE":
        return True, "nenhuma"
    if cobertura != "ENTIRE_REVISION":
        return False, "indeterminadas"  # os bytes assinados não são uma revisão inteira do arquivo
    nivel = status.modification_level.name if status.modification_level is not None else "OTHER"
    inofensivas = nivel in _NIVEIS_INOFENSIVOS and status.docmdp_ok is not False
    return False, "inofensivas" if inofensivas else "proibidas"


def _validade(cert: Any, momento: _dt.datetime, revogado: bool) -> str:
    validade = cert["tbs_certificate"]["validity"]
    if momento < validade["not_before"].native:
        return "ainda_nao_valido"
    if momento > validade["not_after"].native:
        return "expirado"
    return "revogado" if revogado else "valido"


def _achados_da_assinatura(registro: Registro, quem: str, momento: _dt.datetime) -> List[Registro]:
    achados: List[Registro] = []
    alteracoes = registro["alteracoes_posteriores"]
    if not registro["integra"]:
        achados.append(achado("reprovado", f"{_ALTERADO}: os bytes assinados por {quem} não conferem"))
    elif alteracoes == "proibidas":
        achados.append(achado("reprovado", f"{_ALTERADO}: depois da assinatura de {quem} houve "
                                           "alterações além de novas assinaturas e preenchimento de formulário"))
    elif alteracoes == "indeterminadas":
        achados.append(achado("reprovado", f"{_ALTERADO}: a assinatura de {quem} não cobre a "
                                           "revisão que assinou"))
    data = momento.date().isoformat()
    motivo = {"expirado": "expirado na data da assinatura",
              "ainda_nao_valido": "ainda não era válido na data da assinatura",
              "revogado": "revogado na data da assinatura"}.get(registro["validade"])
    if motivo:
        achados.append(achado("pendente", f"certificado de {quem} {motivo} ({data})"))
    elif registro["cadeia"] == "nao_confiavel":
        achados.append(achado("pendente", f"certificado de {quem} não encadeia às raízes de confiança "
                                          "fornecidas"))
    return achados


def achado(status: str, mensagem: str) -> Registro:
    return {"status": status, "mensagem": mensagem}


def _resumo_erro(e: BaseException) -> str:
    texto = " ".join(str(e).split())
    if len(texto) > 160:
        texto = texto[:157] + "..."
    return f"{type(e).__name__}: {texto}" if texto else type(e).__name__


async def conferir_todas(dados: bytes, raizes: Optional[Raizes]) -> Registro:
    from pyhanko.pdf_utils.reader import PdfFileReader
    from pyhanko.sign.fields import enumerate_sig_fields
    from pyhanko.sign.validation.pdf_embedded import EmbeddedPdfSignature

    assinaturas: List[Registro] = []
    achados: List[Registro] = []
    try:
        leitor = PdfFileReader(io.BytesIO(dados), strict=False)
        if leitor.encrypted:
            leitor.decrypt(b"")
        campos = list(enumerate_sig_fields(leitor, filled_status=True))
    except Exception as e:  # noqa: BLE001 - o resto da verificação segue
        achados.append(achado("pendente", "não foi possível ler as assinaturas digitais do PDF: "
                                           + _resumo_erro(e)))
        return {"assinaturas": assinaturas, "achados": achados}

    for nome_campo, _, campo in campos[:MAX_ASSINATURAS]:
        registro = _registro_vazio(str(nome_campo))
        try:
            embutida = EmbeddedPdfSignature(leitor, campo, nome_campo)
            if embutida.sig_object_type == "/DocTimeStamp":
                continue  # carimbo do documento (arquivamento): não é assinatura de alguém
            await _conferir(embutida, raizes, registro, achados)
        except Exception as e:  # noqa: BLE001 - uma assinatura ruim não derruba as outras
            registro["erro"] = _resumo_erro(e)
            registro["integra"] = False
            achados.append(achado("pendente", f"assinatura digital ilegível no campo {nome_campo}: "
                                               f"{registro['erro']}"))
        assinaturas.append(registro)
    if len(campos) > MAX_ASSINATURAS:
        achados.append(achado("pendente", f"PDF com {len(campos)} assinaturas digitais: só as primeiras "
                                           f"{MAX_ASSINATURAS} foram conferidas"))
    if not assinaturas:
        achados.append(achado("informacao", "PDF sem assinatura digital"))
    elif raizes is None:
        achados.append(achado("informacao", _SEM_RAIZES))
    return {"assinaturas": assinaturas, "achados": achados}


def instalar_leitor_hex() -> None:
    """Troca, uma vez, o leitor de strings hexadecimais do pyHanko por um equivalente rápido.

    O /Contents de cada assinatura é uma string hexadecimal de 16 a 60 mil dígitos, e o leitor
    original a percorre um byte por vez em Python: metade do tempo de conferir um contrato
    assinado. O rápido lê em blocos e só cuida do caso comum (dígitos e brancos até ">"); qualquer
    outra coisa (comentário, lixo, fim do arquivo) volta ao início e segue pelo original, de modo
    que o resultado, e o erro quando há, são sempre os do original.
    """
    import binascii

    from pyhanko.pdf_utils import generic

    try:
        from pyhanko.pdf_utils.misc import PDF_WHITESPACE

        original = generic.read_hex_string_from_stream
        hex_digits = generic.HEX_DIGITS
        pdf_string = generic.pdf_string
    except (ImportError, AttributeError):
        return  # outra versão do pyHanko: fica o leitor dela, mais lento e igualmente certo
    if getattr(original, "_rapido", False):
        return

    def ler(stream: Any) -> Any:
        inicio = stream.tell()
        if stream.read(1) == b"<":
            partes: List[bytes] = []
            while True:
                bloco = stream.read(65536)
                fim = bloco.find(b">")
                if fim >= 0 or not bloco:
                    partes.append(bloco[:fim] if fim >= 0 else b"")
                    break
                partes.append(bloco)
            corpo = b"".join(partes)
            digitos = corpo.translate(None, PDF_WHITESPACE)
            if fim >= 0 and not digitos.translate(None, hex_digits):
                stream.seek(inicio + len(corpo) + 2)
                return pdf_string(binascii.unhexlify(digitos + b"0" * (len(digitos) % 2)))
        stream.seek(inicio)
        return original(stream)

    setattr(ler, "_rapido", True)
    setattr(ler, "original", original)
    generic.read_hex_string_from_stream = ler
