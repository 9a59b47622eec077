"""Plain Python version of the name matching of ContractChecker: the oracle.

Written as the rule reads, with `unicodedata` and str methods.
"""
import unicodedata


def _exigir_str(valor, parametro):
    if type(valor) is not str:
        raise TypeError(f"argument '{parametro}' must be str, not {type(valor).__name__}")


def normalizar_texto(texto):
    _exigir_str(texto, "texto")
    if not texto:
        return ""
    decomposto = unicodedata.normalize("NFD", texto)
    sem_marcas = "".join(c for c in decomposto if unicodedata.category(c) != "Mn")
    return sem_marcas.lower().strip()


def contido_em_palavras(menor, maior):
    """`menor` occurs in `maior` with no alphanumeric character touching it."""
    inicio = maior.find(menor)
    while inicio >= 0:
        fim = inicio + len(menor)
        antes_ok = inicio == 0 or not maior[inicio - 1].isalnum()
        depois_ok = fim == len(maior) or not maior[fim].isalnum()
        if antes_ok and depois_ok:
            return True
        inicio = maior.find(menor, inicio + 1)
    return False


def comparar_nomes(nome1, nome2):
    _exigir_str(nome1, "nome1")
    _exigir_str(nome2, "nome2")
    n1 = normalizar_texto(nome1)
    n2 = normalizar_texto(nome2)
    if not n1 or not n2:
        return False
    if contido_em_palavras(n1, n2) or contido_em_palavras(n2, n1):
        return True
    palavras1 = {p for p in n1.split() if len(p) >= 3}
    palavras2 = {p for p in n2.split() if len(p) >= 3}
    return len(palavras1 & palavras2) >= 2


def verificar_poder_assinatura(nome_signatario, dados_receita):
    _exigir_str(nome_signatario, "nome_signatario")
    if type(dados_receita) is not dict:
        raise TypeError(f"argument 'dados_receita' must be dict, not {type(dados_receita).__name__}")
    for socio in dados_receita.get("socios", []):
        if comparar_nomes(nome_signatario, socio.get("nome", "")):
            return (True, socio.get("qualificacao"))
        nome_rep = socio.get("nome_representante", "")
        if nome_rep and comparar_nomes(nome_signatario, nome_rep):
            return (True, socio.get("qualificacao_representante"))
    return (False, None)
