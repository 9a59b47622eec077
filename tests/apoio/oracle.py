"""Plain Python versions of the native text algorithms: the test oracle.

Written as directly as the rules read, with `unicodedata` and `re`; the
native modules must give exactly these results for every input.
"""
import unicodedata


def fold(texto):
    """NFD, drop every Mn character, lower-case."""
    decomposto = unicodedata.normalize("NFD", texto)
    return "".join(c for c in decomposto if unicodedata.category(c) != "Mn").lower()


# ---------------------------------------------------------------- keywords

KEYWORDS_VALIDACAO = [
    "contrato", "acordo", "termo", "instrumento", "aditivo", "distrato", "contratante", "contratada",
    "contratado", "prestador", "prestadora", "tomador", "tomadora", "cláusula", "clausula", "objeto",
    "vigência", "vigencia", "valor", "pagamento", "obrigações", "obrigacoes", "rescisão", "rescisao", "foro",
    "cnpj", "inscrita", "inscrito", "neste ato representada", "neste ato representado",
    "doravante denominada", "doravante denominado", "assinatura", "assinado", "firmado", "testemunha",
    "certificado digital", "icp-brasil",
]
KEYWORDS_EXCLUSAO = [
    "edital de licitação", "pregão eletrônico", "tomada de preços", "concorrência pública", "carta convite",
    "nota fiscal", "recibo", "boleto", "fatura",
]
MIN_KEYWORDS = 3


def normalizar_texto(texto):
    if not texto:
        return ""
    return fold(texto)


def validar_documento_contrato(texto, exclusao=None, validacao=None, minimo=None):
    exclusao = KEYWORDS_EXCLUSAO if exclusao is None else exclusao
    validacao = KEYWORDS_VALIDACAO if validacao is None else validacao
    minimo = MIN_KEYWORDS if minimo is None else minimo
    if not texto:
        return (False, 0, [])
    texto_norm = normalizar_texto(texto)
    for keyword in exclusao:
        if normalizar_texto(keyword) in texto_norm:
            return (False, 0, [f"EXCLUSÃO: {keyword}"])
    encontradas = [k for k in validacao if normalizar_texto(k) in texto_norm]
    return (len(encontradas) >= minimo, len(encontradas), encontradas)
