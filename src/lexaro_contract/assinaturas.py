"""Assinaturas digitais de um PDF: quem assinou de fato e se o documento mudou depois.

``verificar_assinaturas(caminho, raizes=None)`` lê cada assinatura do PDF (PAdES ou PKCS#7
destacado) e devolve ``{"assinaturas": [...], "achados": [...]}``: por assinatura, a identidade
do certificado (nome, CPF e CNPJ dos campos ICP-Brasil, emissor), as datas, a integridade dos
bytes assinados, o que ela cobre e a cadeia de confiança; por achado, ``status`` ("reprovado",
"pendente" ou "informacao") e ``mensagem``. ``cruzar_com_verificacao`` confronta esse resultado
com o resultado de ``ContractChecker.verificar`` (signatários e empresas do contrato).

O texto de uma página que diz "assinado digitalmente por" não prova nada; a assinatura
criptográfica prova quem assinou e quais bytes. Por isso a leitura é toda feita sobre a
estrutura de assinatura do PDF, nunca sobre o texto.

pyHanko é opcional (``pip install "lexaro-contract[assinaturas]"``): sem ele, o resultado é um
único achado informativo e nada falha.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import datetime as _dt
import importlib
import logging
import os
import re
from pathlib import Path
from typing import Any, Callable, Coroutine, Dict, List, Mapping, Optional, Sequence, Set, Tuple, Union

__all__ = [
    "MAX_ASSINATURAS",
    "ErroDeRaizes",
    "carregar_raizes",
    "cruzar_com_verificacao",
    "relatorio_assinaturas",
    "veredito_assinaturas",
    "verificar_assinaturas",
]

Caminho = Union[str, "os.PathLike[str]"]
Registro = Dict[str, Any]

# Um contrato real tem poucas assinaturas; a análise de diferenças de cada uma percorre todas as
# revisões seguintes, então o custo cresce com o quadrado do número de assinaturas. Acima deste
# limite o resto fica para um humano (achado pendente), em vez de travar um lote.
MAX_ASSINATURAS = 50

# Campos otherName do subjectAltName dos certificados ICP-Brasil.
OID_PF_DADOS = "2.16.76.1.3.1"  # pessoa física: nascimento (ddmmaaaa) + CPF (11) + ...
OID_PJ_RESPONSAVEL_NOME = "2.16.76.1.3.2"  # e-CNPJ: nome do responsável
OID_PJ_CNPJ = "2.16.76.1.3.3"  # e-CNPJ: CNPJ da empresa
OID_PJ_RESPONSAVEL_DADOS = "2.16.76.1.3.4"  # e-CNPJ: dados do responsável, mesmo leiaute de .3.1
_OIDS_ICP = (OID_PF_DADOS, OID_PJ_RESPONSAVEL_NOME, OID_PJ_CNPJ, OID_PJ_RESPONSAVEL_DADOS)

# Alterações depois de uma assinatura que não mudam o que foi assinado: nenhuma, dados de
# validação de longo prazo (DSS, carimbos do documento) e preenchimento de formulário, que é
# também como o PDF recebe as assinaturas seguintes. Anotações (texto, carimbos, desenhos sobre
# a página) mudam o que o leitor vê e não entram aqui.
_NIVEIS_INOFENSIVOS = ("NONE", "LTA_UPDATES", "FORM_FILLING")

_CPF = re.compile(r"\d{11}")
_CNPJ = re.compile(r"[0-9A-Z]{12}\d{2}")
_EXTENSOES_CERT = {".pem", ".crt", ".cer", ".der"}
_EXTENSOES_CRL = {".crl"}

_INDISPONIVEL = ("verificação de assinaturas digitais indisponível: instale com "
                 'pip install "lexaro-contract[assinaturas]"')
_SEM_RAIZES = ("cadeia não verificada: nenhuma raiz de confiança fornecida "
               "(--raizes PASTA ou LEXARO_RAIZES)")
_ALTERADO = "documento alterado após a assinatura digital"
_NAO_IDENTIFICADO = "(não identificado)"

# pyHanko registra com traceback cada cadeia que não fecha; sem raízes isso é o caso normal.
logging.getLogger("pyhanko").addHandler(logging.NullHandler())
logging.getLogger("pyhanko_certvalidator").addHandler(logging.NullHandler())


class ErroDeRaizes(ValueError):
    """Pasta de raízes de confiança inexistente, vazia ou com um arquivo ilegível."""


# ---------------------------------------------------------------- raízes de confiança

class Raizes:
    """Certificados de uma pasta: os autoassinados são âncoras; os demais, intermediários.
    Listas de revogação (.crl) da mesma pasta entram na conferência de revogação."""

    def __init__(self, pasta: Path, ancoras: List[Any], intermediarios: List[Any], crls: List[Any]):
        self.pasta = pasta
        self.ancoras = ancoras
        self.intermediarios = intermediarios
        self.crls = crls


_CACHE_RAIZES: Dict[Tuple[str, Tuple[Tuple[str, int, int], ...]], Raizes] = {}


def _blocos_pem(dados: bytes, rotulo: bytes) -> List[bytes]:
    from asn1crypto import pem  # type: ignore[import-untyped]

    return [der for tipo, _, der in pem.unarmor(dados, multiple=True) if tipo.encode() == rotulo]


def carregar_raizes(pasta: Caminho) -> Raizes:
    """Lê os certificados (.pem, .crt, .cer, .der; PEM pode trazer vários) e as listas de
    revogação (.crl) de uma pasta. Erro claro (ErroDeRaizes) se a pasta não existe, não tem
    certificado algum, ou se um desses arquivos não se lê. Outros arquivos são ignorados."""
    from asn1crypto import crl as acrl
    from asn1crypto import x509 as ax

    p = Path(pasta)
    if not p.is_dir():
        raise ErroDeRaizes(f"pasta de raízes de confiança não encontrada: {pasta}")
    arquivos = sorted(f for f in p.iterdir() if f.is_file()
                      and f.suffix.lower() in _EXTENSOES_CERT | _EXTENSOES_CRL)
    chave = (str(p.resolve()), tuple((f.name, f.stat().st_mtime_ns, f.stat().st_size) for f in arquivos))
    if chave in _CACHE_RAIZES:
        return _CACHE_RAIZES[chave]
    ancoras: List[Any] = []
    intermediarios: List[Any] = []
    crls: List[Any] = []
    for f in arquivos:
        dados = f.read_bytes()
        e_crl = f.suffix.lower() in _EXTENSOES_CRL
        try:
            if dados.lstrip().startswith(b"-----BEGIN"):
                ders = _blocos_pem(dados, b"X509 CRL" if e_crl else b"CERTIFICATE")
            else:
                ders = [dados]
            for der in ders:
                if e_crl:
                    lista = acrl.CertificateList.load(der)
                    lista.native  # força a leitura completa: um arquivo truncado falha aqui
                    crls.append(lista)
                    continue
                cert = ax.Certificate.load(der)
                cert.native
                (ancoras if cert.self_signed != "no" else intermediarios).append(cert)
        except Exception as e:  # noqa: BLE001 - vira uma linha de erro com o nome do arquivo
            raise ErroDeRaizes(f"arquivo ilegível na pasta de raízes: {f} ({type(e).__name__})") from None
    if not ancoras:
        raise ErroDeRaizes(f"nenhum certificado raiz (autoassinado) em {pasta}")
    raizes = Raizes(p, ancoras, intermediarios, crls)
    _CACHE_RAIZES.clear()  # uma pasta por execução; não acumula entre pastas
    _CACHE_RAIZES[chave] = raizes
    return raizes


# ---------------------------------------------------------------- identidade do certificado

def _texto_de(valor: Any) -> str:
    """O conteúdo de um otherName: OCTET STRING (o que a norma pede) ou um tipo de texto."""
    nativo = valor.parsed.native if hasattr(valor, "parsed") else valor.native
    if isinstance(nativo, bytes):
        return nativo.decode("latin-1")
    if isinstance(nativo, str):
        return nativo
    raise ValueError(f"tipo inesperado: {type(nativo).__name__}")


def _cpf_de_dados(texto: str) -> Optional[str]:
    """Leiaute .3.1/.3.4: 8 posições de nascimento (ddmmaaaa) e 11 do CPF; zeros = ausente."""
    cpf = texto[8:19]
    return cpf if _CPF.fullmatch(cpf) and cpf != "0" * 11 else None


def _identidade(cert: Any) -> Tuple[Registro, List[str]]:
    """Nome, CPF, CNPJ, responsável, tipo e emissor de um certificado, e os OIDs ilegíveis."""
    ilegiveis: List[str] = []
    sujeito = cert.subject.native
    cn = sujeito.get("common_name") or ""
    if isinstance(cn, list):
        cn = cn[0] if cn else ""
    emissor_nome = cert.issuer.native
    emissor = emissor_nome.get("common_name") or cert.issuer.human_friendly
    if isinstance(emissor, list):
        emissor = emissor[0]
    organizacoes = emissor_nome.get("organization_name") or ""
    if isinstance(organizacoes, list):
        organizacoes = " ".join(organizacoes)

    nome, sufixo = cn, ""
    if ":" in cn:
        nome, sufixo = cn.rsplit(":", 1)
    nome, sufixo = nome.strip(), sufixo.strip()
    cpf = sufixo if _CPF.fullmatch(sufixo) else None
    cnpj = sufixo.upper() if _CNPJ.fullmatch(sufixo.upper()) else None

    campos: Dict[str, str] = {}
    try:
        san = cert.subject_alt_name_value
        nomes_alt = list(san) if san is not None else []
    except Exception:  # noqa: BLE001 - extensão malformada: identidade só pelo CN
        nomes_alt = []
        ilegiveis.append("subjectAltName")
    for gn in nomes_alt:
        try:
            if gn.name != "other_name":
                continue
            outro = gn.chosen
            oid = outro["type_id"].dotted
        except Exception:  # noqa: BLE001
            ilegiveis.append("otherName")
            continue
        if oid not in _OIDS_ICP:
            continue
        try:
            campos[oid] = _texto_de(outro["value"]).strip()
        except Exception:  # noqa: BLE001
            ilegiveis.append(oid)

    responsavel: Optional[str] = None
    if OID_PJ_CNPJ in campos:
        valor = campos[OID_PJ_CNPJ].upper()
        if _CNPJ.fullmatch(valor) and valor != "0" * 14:
            cnpj = valor
        responsavel = campos.get(OID_PJ_RESPONSAVEL_NOME) or None
        cpf = _cpf_de_dados(campos.get(OID_PJ_RESPONSAVEL_DADOS, "")) or (cpf if not cnpj else None)
    elif OID_PF_DADOS in campos:
        cpf = _cpf_de_dados(campos[OID_PF_DADOS]) or cpf

    dobra = f"{emissor} {organizacoes}".casefold()
    if "governo federal do brasil" in dobra:
        tipo = "gov_br"
    elif campos or "icp-brasil" in dobra:
        tipo = "icp_brasil"
    else:
        tipo = "outro"
    return ({"nome": nome or None, "cpf": cpf, "cnpj": cnpj, "responsavel": responsavel,
             "tipo": tipo, "emissor": emissor or None}, ilegiveis)


# ---------------------------------------------------------------- conferência de uma assinatura

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
    identidade, ilegiveis = _identidade(cert)
    registro.update(identidade)
    quem = registro["nome"] or registro["cnpj"] or f"campo {registro['campo']}"
    for oid in ilegiveis:
        achados.append(_achado("informacao", f"campo {oid} ilegível no certificado de {quem}"))

    informada = embutida.self_reported_timestamp
    try:
        carimbo = _hora_do_carimbo(embutida.signer_info)
    except Exception:  # noqa: BLE001 - um carimbo ilegível não tira a data informada
        carimbo = None
        achados.append(_achado("informacao", f"carimbo de tempo ilegível na assinatura de {quem}"))
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
    cobertura = status.coverage.name if status.coverage is not None else "UNCLEAR"
    registro["cobre_documento_inteiro"] = cobertura == "ENTIRE_FILE"
    if cobertura == "ENTIRE_FILE":
        registro["alteracoes_posteriores"] = "nenhuma"
    elif cobertura == "ENTIRE_REVISION":
        nivel = status.modification_level.name if status.modification_level is not None else "OTHER"
        inofensivas = nivel in _NIVEIS_INOFENSIVOS and status.docmdp_ok is not False
        registro["alteracoes_posteriores"] = "inofensivas" if inofensivas else "proibidas"
    else:
        registro["alteracoes_posteriores"] = "indeterminadas"

    validade = "valido"
    if momento < cert["tbs_certificate"]["validity"]["not_before"].native:
        validade = "ainda_nao_valido"
    elif momento > cert["tbs_certificate"]["validity"]["not_after"].native:
        validade = "expirado"
    elif status.revoked:
        validade = "revogado"
    registro["validade"] = validade
    if raizes is not None:
        registro["cadeia"] = "confiavel" if status.trusted else "nao_confiavel"

    if not registro["integra"]:
        achados.append(_achado("reprovado", f"{_ALTERADO}: os bytes assinados por {quem} não conferem"))
    elif registro["alteracoes_posteriores"] == "proibidas":
        achados.append(_achado("reprovado", f"{_ALTERADO}: depois da assinatura de {quem} houve "
                                            "alterações além de novas assinaturas e preenchimento de formulário"))
    elif registro["alteracoes_posteriores"] == "indeterminadas":
        achados.append(_achado("reprovado", f"{_ALTERADO}: a assinatura de {quem} não cobre a "
                                            "revisão que assinou"))
    data = (momento.date().isoformat())
    if validade == "expirado":
        achados.append(_achado("pendente", f"certificado de {quem} expirado na data da assinatura ({data})"))
    elif validade == "ainda_nao_valido":
        achados.append(_achado("pendente", f"certificado de {quem} ainda não era válido na data da "
                                           f"assinatura ({data})"))
    elif validade == "revogado":
        achados.append(_achado("pendente", f"certificado de {quem} revogado na data da assinatura ({data})"))
    elif registro["cadeia"] == "nao_confiavel":
        achados.append(_achado("pendente", f"certificado de {quem} não encadeia às raízes de confiança "
                                           "fornecidas"))


def _achado(status: str, mensagem: str) -> Registro:
    return {"status": status, "mensagem": mensagem}


def _resumo_erro(e: BaseException) -> str:
    texto = " ".join(str(e).split())
    if len(texto) > 160:
        texto = texto[:157] + "..."
    return f"{type(e).__name__}: {texto}" if texto else type(e).__name__


async def _conferir_todas(dados: bytes, raizes: Optional[Raizes]) -> Registro:
    import io

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
        achados.append(_achado("pendente", "não foi possível ler as assinaturas digitais do PDF: "
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
            achados.append(_achado("pendente", f"assinatura digital ilegível no campo {nome_campo}: "
                                               f"{registro['erro']}"))
        assinaturas.append(registro)
    if len(campos) > MAX_ASSINATURAS:
        achados.append(_achado("pendente", f"PDF com {len(campos)} assinaturas digitais: só as primeiras "
                                           f"{MAX_ASSINATURAS} foram conferidas"))
    if not assinaturas:
        achados.append(_achado("informacao", "PDF sem assinatura digital"))
    elif raizes is None:
        achados.append(_achado("informacao", _SEM_RAIZES))
    return {"assinaturas": assinaturas, "achados": achados}


def _instalar_leitor_hex() -> None:
    """Troca, uma vez, o leitor de strings hexadecimais do pyHanko por um equivalente rápido.

    O /Contents de cada assinatura é uma string hexadecimal de 16 a 60 mil dígitos, e o leitor
    original a percorre um byte por vez em Python: metade do tempo de conferir um contrato
    assinado. O rápido lê em blocos e só cuida do caso comum (dígitos e brancos até ">"); qualquer
    outra coisa (comentário, lixo, fim do arquivo) volta ao início e segue pelo original, de modo
    que o resultado, e o erro quando há, são sempre os do original.
    """
    import binascii

    from pyhanko.pdf_utils import generic
    from pyhanko.pdf_utils.misc import PDF_WHITESPACE

    original = generic.read_hex_string_from_stream
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
            if fim >= 0 and not digitos.translate(None, generic.HEX_DIGITS):
                stream.seek(inicio + len(corpo) + 2)
                return generic.pdf_string(binascii.unhexlify(digitos + b"0" * (len(digitos) % 2)))
        stream.seek(inicio)
        return original(stream)

    setattr(ler, "_rapido", True)
    setattr(ler, "original", original)
    generic.read_hex_string_from_stream = ler


def _rodar(fabrica: Callable[[], Coroutine[Any, Any, Registro]]) -> Registro:
    """Roda a conferência num laço de eventos próprio, mesmo se o chamador já tem um ativo."""
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(fabrica())
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as executor:
        return executor.submit(lambda: asyncio.run(fabrica())).result()


def verificar_assinaturas(caminho: Caminho, raizes: Optional[Union[Caminho, Raizes]] = None) -> Registro:
    """As assinaturas digitais do PDF em ``caminho`` e os achados sobre elas.

    ``raizes``: pasta com os certificados raiz de confiança (ICP-Brasil, gov.br...), ou o que
    ``carregar_raizes`` devolveu; sem raízes, a cadeia fica "nao_verificada" e o resto (identidade,
    integridade, cobertura, validade na data da assinatura) é conferido igual.

    Levanta FileNotFoundError para um arquivo inexistente e ErroDeRaizes para uma pasta de raízes
    inválida; qualquer problema dentro do PDF vira achado, nunca exceção.
    """
    p = Path(caminho)
    if not p.is_file():
        raise FileNotFoundError(f"Arquivo não encontrado: {caminho}")
    try:
        import pyhanko.sign.validation  # noqa: F401
        import pyhanko_certvalidator  # noqa: F401
    except ImportError:
        return {"assinaturas": [], "achados": [_achado("informacao", _INDISPONIVEL)]}
    carregadas = raizes if isinstance(raizes, Raizes) or raizes is None else carregar_raizes(raizes)
    _instalar_leitor_hex()
    dados = p.read_bytes()
    return _rodar(lambda: _conferir_todas(dados, carregadas))


# ---------------------------------------------------------------- cruzamento com a verificação

def _nativo(nome: str) -> Any:
    """Um módulo compilado do pacote (checker, cnpj), importado só quando preciso."""
    return importlib.import_module(f"{__package__}.{nome}")


def _limpar(valor: Any) -> str:
    if not isinstance(valor, str) or not valor:
        return ""
    return str(_nativo("cnpj").limpar_cnpj(valor))


def _so_digitos(valor: Any) -> str:
    return "".join(c for c in valor if c.isdigit()) if isinstance(valor, str) else ""


def cruzar_com_verificacao(assinaturas_digitais: Mapping[str, Any], resultado: Mapping[str, Any]) -> Registro:
    """Confronta as assinaturas digitais com os signatários e as empresas de um resultado de
    ``ContractChecker.verificar`` e devolve um novo mapeamento (o de entrada não muda).

    Um signatário casa com uma assinatura pelo nome (a comparação de nomes do verificador) ou
    pelo CPF, quando o certificado e o signatário trazem um (CPFs diferentes desfazem o casamento
    por nome: é um homônimo). Um certificado de empresa vale pelo responsável e pelo CNPJ.
    """
    classe = _nativo("checker").ContractChecker
    comparar: Callable[[str, str], bool] = classe.__new__(classe)._comparar_nomes
    digitais = [dict(a) for a in assinaturas_digitais.get("assinaturas", [])]
    achados = [dict(a) for a in assinaturas_digitais.get("achados", [])]
    signatarios = [s for s in resultado.get("assinaturas") or []
                   if isinstance(s, Mapping) and isinstance(s.get("nome_signatario"), str)
                   and s["nome_signatario"] not in ("", "N/A", _NAO_IDENTIFICADO)]
    cnpjs_do_contrato = {_limpar(e.get("cnpj")) for e in resultado.get("empresas") or [] if isinstance(e, Mapping)}
    cnpjs_do_contrato |= {_limpar(s.get("cnpj_empresa")) for s in signatarios}
    cnpjs_do_contrato.discard("")

    def casa(nome: Optional[str], cpf: Optional[str], s: Mapping[str, Any]) -> bool:
        cpf_s = _so_digitos(s.get("cpf"))
        if cpf and cpf_s:
            if cpf == cpf_s:
                return True
            return False
        return bool(nome) and comparar(str(nome), s["nome_signatario"])

    cobertos: Set[int] = set()
    validas = [d for d in digitais if d.get("erro") is None]
    for d in validas:
        pessoa = d.get("responsavel") if d.get("cnpj") else d.get("nome")
        achado = next((i for i, s in enumerate(signatarios) if i not in cobertos
                       and casa(pessoa, d.get("cpf"), s)), None)
        if achado is None:
            achado = next((i for i, s in enumerate(signatarios) if casa(pessoa, d.get("cpf"), s)), None)
        if achado is None and d.get("cnpj"):
            achado = next((i for i, s in enumerate(signatarios) if i not in cobertos
                           and _limpar(s.get("cnpj_empresa")) == d["cnpj"]), None)
        quem = d.get("nome") or d.get("cnpj") or f"campo {d.get('campo')}"
        if d.get("cnpj") and d["cnpj"] not in cnpjs_do_contrato:
            achados.append(_achado("pendente", f"certificado de empresa de {quem} (CNPJ {d['cnpj']}) "
                                               "não é de nenhuma empresa do contrato"))
        if achado is None:
            achados.append(_achado("informacao", f"assinatura digital de {quem} não corresponde a nenhum "
                                                 "signatário do contrato"))
            continue
        cobertos.add(achado)
        d["signatario_do_contrato"] = signatarios[achado]["nome_signatario"]
    if validas:
        for i, s in enumerate(signatarios):
            if i not in cobertos:
                achados.append(_achado("pendente", f"signatário {s['nome_signatario']} sem assinatura "
                                                   "digital correspondente no PDF"))
    return {"assinaturas": digitais, "achados": achados}


# ---------------------------------------------------------------- veredito e relatório

def veredito_assinaturas(assinaturas_digitais: Mapping[str, Any]) -> Optional[str]:
    """"REPROVADO" se algum achado reprova, "PENDENTE" se algum pede revisão, senão None."""
    status = {a.get("status") for a in assinaturas_digitais.get("achados", []) if isinstance(a, Mapping)}
    if "reprovado" in status:
        return "REPROVADO"
    if "pendente" in status:
        return "PENDENTE"
    return None


_CADEIA = {"confiavel": "confiável", "nao_confiavel": "NÃO confiável", "nao_verificada": "não verificada"}
_MARCA = {"reprovado": "❌", "pendente": "⚠️", "informacao": "ℹ️"}


def relatorio_assinaturas(assinaturas_digitais: Mapping[str, Any]) -> List[str]:
    """As linhas da seção de assinaturas digitais do relatório."""
    regua = "─" * 60
    digitais: Sequence[Mapping[str, Any]] = assinaturas_digitais.get("assinaturas", [])
    linhas = ["\n" + regua, f"🔏 ASSINATURAS DIGITAIS ({len(digitais)})", regua]
    for d in digitais:
        marca = "✅" if d.get("integra") and d.get("erro") is None else "❌"
        linhas.append(f"\n   {marca} {d.get('nome') or d.get('cnpj') or '(sem nome)'}")
        if d.get("erro"):
            linhas.append(f"      Erro: {d['erro']}")
            continue
        ident = [f"CPF {d['cpf']}" if d.get("cpf") else "", f"CNPJ {d['cnpj']}" if d.get("cnpj") else "",
                 f"responsável {d['responsavel']}" if d.get("responsavel") else ""]
        if any(ident):
            linhas.append("      " + " · ".join(x for x in ident if x))
        linhas.append(f"      Emissor: {d.get('emissor')} · cadeia {_CADEIA.get(d.get('cadeia') or '', '?')}")
        data = d.get("data") or "não informada"
        carimbo = f" · carimbo de tempo {d['carimbo_de_tempo']}" if d.get("carimbo_de_tempo") else ""
        linhas.append(f"      Data: {data}{carimbo}")
        cobre = "o documento inteiro" if d.get("cobre_documento_inteiro") else \
            f"uma revisão anterior (alterações posteriores: {d.get('alteracoes_posteriores')})"
        linhas.append(f"      Íntegra: {'sim' if d.get('integra') else 'NÃO'} · cobre {cobre}")
        if d.get("signatario_do_contrato"):
            linhas.append(f"      Signatário do contrato: {d['signatario_do_contrato']}")
    achados: Sequence[Mapping[str, Any]] = assinaturas_digitais.get("achados", [])
    if achados:
        linhas.append("")
        for a in achados:
            linhas.append(f"   {_MARCA.get(str(a.get('status')), '•')} {a.get('mensagem')}")
    return linhas
