"""Address normalisation and comparison written plainly with `re` and
`unicodedata`: the reference the native `cnpj` functions must equal."""
import re
import unicodedata


def _normalizar_endereco(endereco):
    """Normaliza endereço para comparação."""
    if not endereco:
        return ""
    endereco = unicodedata.normalize("NFD", endereco)
    endereco = "".join(c for c in endereco if unicodedata.category(c) != "Mn")
    endereco = endereco.lower().strip()
    substituicoes = [
        (r"\s+", " "),
        (r"[.,;:\-/\\]", " "),
        (r"\bn[ºo]?\s*", ""),
        (r"\brua\b", "r"),
        (r"\bavenida\b", "av"),
        (r"\bavda?\b", "av"),
        (r"\btravessa\b", "tv"),
        (r"\bpracas?\b", "pc"),
        (r"\bedificio\b", "ed"),
        (r"\bpredio\b", "ed"),
        (r"\bconjunto\b", "cj"),
        (r"\bconj\b", "cj"),
        (r"\bsala\b", "sl"),
        (r"\bandar\b", "and"),
        (r"\bbairro\b", ""),
        (r"\bcep\b", ""),
    ]
    for padrao, substituto in substituicoes:
        endereco = re.sub(padrao, substituto, endereco)
    return endereco.strip()


def comparar_enderecos(endereco_contrato, dados_receita, normalizar=None):
    """Compara endereço do contrato com o da Receita Federal."""
    normalizar = normalizar or _normalizar_endereco
    if not endereco_contrato or not dados_receita:
        return (False, 0.0, "")
    end = dados_receita.get("endereco", {})
    partes_receita = []
    for campo in ["logradouro", "numero", "complemento", "bairro", "cidade", "uf", "cep"]:
        valor = end.get(campo)
        if valor:
            partes_receita.append(valor)
    endereco_receita = " ".join(partes_receita)
    if not endereco_receita:
        return (False, 0.0, "")

    contrato_norm = normalizar(endereco_contrato)
    receita_norm = normalizar(endereco_receita)

    # An address that normalises to nothing carries no address at all.
    if not contrato_norm or not receita_norm:
        return (False, 0.0, endereco_receita)
    if contrato_norm == receita_norm:
        return (True, 1.0, endereco_receita)
    if contrato_norm in receita_norm or receita_norm in contrato_norm:
        return (True, 0.9, endereco_receita)

    palavras_contrato = {p for p in contrato_norm.split() if len(p) > 2}
    palavras_receita = {p for p in receita_norm.split() if len(p) > 2}
    if not palavras_contrato or not palavras_receita:
        return (False, 0.0, endereco_receita)
    intersecao = palavras_contrato & palavras_receita
    uniao = palavras_contrato | palavras_receita
    similaridade = len(intersecao) / len(uniao)

    cep_contrato = re.search(r"\d{5}\s*-?\s*\d{3}", endereco_contrato)
    cep_receita = end.get("cep", "")
    if cep_contrato and cep_receita:
        cep_c = re.sub(r"\D", "", cep_contrato.group())
        cep_r = re.sub(r"\D", "", cep_receita)
        if cep_c == cep_r:
            similaridade = max(similaridade, 0.8)

    return (similaridade >= 0.5, similaridade, endereco_receita)
