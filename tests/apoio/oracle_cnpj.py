"""Plain Python versions of the cnpj module's functions: the test oracle.

Written as directly as the rules read, with `re`. The identifier functions
are compared with the native ones by hypothesis, and the benchmarks use this
module as their baseline (including the registry lookup, through whatever
`requests` is bound here).
"""
import re

requests = None
BRASIL_API_URL = "https://brasilapi.com.br/api/cnpj/v1/{cnpj}"
RECEITA_WS_URL = "https://receitaws.com.br/v1/cnpj/{cnpj}"
REQUEST_TIMEOUT = 10


# ---------------------------------------------------------------- identifiers


def digitos_verificadores(base):
    """The two mod-11 check digits of 12 characters (each worth its code - 48)."""

    def um(texto):
        pesos = [2, 3, 4, 5, 6, 7, 8, 9] * 2
        soma = sum((ord(c) - 48) * p for c, p in zip(reversed(texto), pesos))
        resto = soma % 11
        return "0" if resto < 2 else str(11 - resto)

    primeiro = um(base)
    return primeiro + um(base + primeiro)


def forma_alfanumerica(cnpj):
    """The 14 upper-cased characters of an alphanumeric CNPJ, or None."""
    so_ascii = re.sub(r"[^0-9A-Za-z]", "", cnpj).upper()
    if not re.fullmatch(r"[0-9A-Z]{12}[0-9]{2}", so_ascii):
        return None
    if not re.search(r"[A-Z]", so_ascii):
        return None
    if so_ascii[12:] != digitos_verificadores(so_ascii[:12]):
        return None
    return so_ascii


def limpar_cnpj_numerico(cnpj):
    """Cleaning to decimal digits only, as before alphanumeric CNPJs."""
    if not cnpj:
        return ""
    return re.sub(r"\D", "", cnpj)


def limpar_cnpj(cnpj):
    if not cnpj:
        return ""
    alfanumerico = forma_alfanumerica(cnpj)
    if alfanumerico is not None:
        return alfanumerico
    return re.sub(r"\D", "", cnpj)


def validar_cnpj(cnpj):
    return len(limpar_cnpj(cnpj)) == 14


def formatar_cnpj(cnpj):
    c = limpar_cnpj(cnpj)
    if len(c) != 14:
        return cnpj
    return f"{c[:2]}.{c[2:5]}.{c[5:8]}/{c[8:12]}-{c[12:]}"


# ---------------------------------------------------------------- registry


def converter_capital(capital):
    """ReceitaWS capital: text with thousands dots and a decimal comma, or a
    plain decimal point; anything that is not text passes unchanged."""
    if not isinstance(capital, str):
        return capital
    if not capital:
        return 0
    if "," in capital:
        return float(capital.replace(".", "").replace(",", "."))
    partes = capital.split(".")
    if len(partes) == 2 and re.fullmatch(r"\d{1,2}", partes[1]):
        return float(capital)
    return float(capital.replace(".", ""))


def _endereco(data):
    return {
        "logradouro": data.get("logradouro", ""),
        "numero": data.get("numero", ""),
        "complemento": data.get("complemento", ""),
        "bairro": data.get("bairro", ""),
        "cidade": data.get("municipio", ""),
        "uf": data.get("uf", ""),
        "cep": data.get("cep", ""),
    }


def registro_brasil_api(cnpj_limpo, data):
    socios = []
    for socio in data.get("qsa", []):
        socios.append({
            "nome": socio.get("nome_socio", ""),
            "qualificacao": socio.get("qualificacao_socio", ""),
            "data_entrada": socio.get("data_entrada_sociedade", ""),
            "cpf_representante": socio.get("cpf_representante_legal", ""),
            "nome_representante": socio.get("nome_representante_legal", ""),
            "qualificacao_representante": socio.get("qualificacao_representante_legal", ""),
        })
    return {
        "fonte": "BrasilAPI",
        "cnpj": formatar_cnpj(cnpj_limpo),
        "razao_social": data.get("razao_social", ""),
        "nome_fantasia": data.get("nome_fantasia", ""),
        "situacao": data.get("descricao_situacao_cadastral", ""),
        "data_situacao": data.get("data_situacao_cadastral", ""),
        "data_abertura": data.get("data_inicio_atividade", ""),
        "natureza_juridica": data.get("natureza_juridica", ""),
        "porte": data.get("porte", ""),
        "capital_social": data.get("capital_social", 0),
        "endereco": _endereco(data),
        "email": data.get("email", ""),
        "socios": socios,
    }


def registro_receita_ws(cnpj_limpo, data):
    if data.get("status") == "ERROR":
        return None
    capital = converter_capital(data.get("capital_social", "0"))
    socios = []
    for socio in data.get("qsa", []):
        socios.append({
            "nome": socio.get("nome", ""),
            "qualificacao": socio.get("qual", ""),
            "data_entrada": "",
            "cpf_representante": "",
            "nome_representante": "",
            "qualificacao_representante": "",
        })
    return {
        "fonte": "ReceitaWS",
        "cnpj": formatar_cnpj(cnpj_limpo),
        "razao_social": data.get("nome", ""),
        "nome_fantasia": data.get("fantasia", ""),
        "situacao": data.get("situacao", ""),
        "data_situacao": data.get("data_situacao", ""),
        "data_abertura": data.get("abertura", ""),
        "natureza_juridica": data.get("natureza_juridica", ""),
        "porte": data.get("porte", ""),
        "capital_social": capital,
        "endereco": _endereco(data),
        "email": data.get("email", ""),
        "socios": socios,
    }


def _consultar_brasil_api(cnpj):
    cnpj_limpo = limpar_cnpj(cnpj)
    url = BRASIL_API_URL.format(cnpj=cnpj_limpo)
    try:
        response = requests.get(url, timeout=REQUEST_TIMEOUT)
        if response.status_code != 200:
            return None
        return registro_brasil_api(cnpj_limpo, response.json())
    except Exception:
        return None
