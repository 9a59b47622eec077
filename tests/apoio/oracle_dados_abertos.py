"""The open-data CSV splitter written plainly, as the reference for the native one."""

from __future__ import annotations

import datetime
from typing import Any, Dict, List, Optional, Tuple

CONTAGENS = ("linhas", "colunas", "cnpj", "nul", "data", "capital_ficticio", "capital", "linha_longa")
MAX_LINHA = 64 * 1024
B36 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"


def chave_basico(b: str) -> int:
    if len(b) != 8 or any(c not in B36 for c in b):
        return -1
    if b.isdigit():
        return int(b)
    return 100_000_000 + int(b, 36)


def chave_cnpj(c: str) -> int:
    if len(c) != 14:
        return -1
    b, ordem, dv = c[:8], c[8:12], c[12:]
    k = chave_basico(b)
    if k < 0 or any(x not in B36 for x in ordem) or not all(x in "0123456789" for x in dv):
        return -1
    return k * 1_000_000 + (int(ordem + dv) if ordem.isdigit() else 0)


def _campos(linha: bytes, contagens: Dict[str, int]) -> List[bytes]:
    def limpo(b: bytes) -> bytes:
        contagens["nul"] += b.count(b"\x00")
        b = b.replace(b"\x00", b"")
        return bytes(0x20 if (x < 0x20 or x == 0x7F) else x for x in b)

    campos = []
    i, n = 0, len(linha)
    while True:
        if i < n and linha[i:i + 1] == b'"':
            j = i + 1
            while j < n and not (linha[j:j + 1] == b'"' and (j + 1 == n or linha[j + 1:j + 2] == b";")):
                j += 1
            campos.append(limpo(linha[i + 1:j]))
            i = j + 1 if j < n else n
        else:
            j = linha.find(b";", i)
            j = n if j < 0 else j
            campos.append(limpo(linha[i:j]))
            i = j
        if i < n and linha[i:i + 1] == b";":
            i += 1
            continue
        return campos


def _data_valida(d: bytes) -> bool:
    if len(d) != 8 or not d.isdigit() or int(d[:4]) < 1000:
        return False
    try:
        datetime.date(int(d[:4]), int(d[4:6]), int(d[6:]))
    except ValueError:
        return False
    return True


def separar(dados: bytes, tipos: str, final: bool, nome: Optional[int] = None) -> Tuple[Any, ...]:
    contagens = {k: 0 for k in CONTAGENS}
    codigos: Dict[int, Dict[bytes, int]] = {}
    registros: List[Tuple[int, bytes]] = []
    fim = len(dados) if final else dados.rfind(b"\n") + 1
    nchave = len(tipos) - len(tipos.lstrip("k"))
    for linha in dados[:fim].split(b"\n"):
        if linha.endswith(b"\r"):
            linha = linha[:-1]
        if not linha:
            continue
        if len(linha) > MAX_LINHA:
            contagens["linha_longa"] += 1
            continue
        campos = _campos(linha, contagens)
        if len(campos) == len(tipos):   # text keeps its leading blanks; the other kinds are read without blanks around them
            campos = [v.rstrip(b" ") if t == "t" else v.strip(b" ") for t, v in zip(tipos, campos)]
        if len(campos) != len(tipos):
            contagens["colunas"] += 1
            continue
        if nchave == 0:
            chave = 0
        elif nchave >= 3:
            chave = chave_cnpj((campos[0] + campos[1] + campos[2]).decode("latin-1")) \
                if len(campos[0]) == 8 and len(campos[1]) == 4 and len(campos[2]) == 2 else -1
        else:
            chave = chave_basico(campos[0].decode("latin-1"))
        if chave < 0:
            contagens["cnpj"] += 1
            continue
        saida = []
        for k, (tipo, v) in enumerate(zip(tipos, campos)):
            if tipo == "d":
                if v.strip(b"0") == b"":
                    v = b""
                elif not _data_valida(v):
                    contagens["data"] += 1
                    v = b""
            elif tipo == "m" and v:
                inteiro, virgula, centavos = v.partition(b",")
                if not inteiro.isdigit() or (virgula and not centavos.isdigit()):
                    contagens["capital"] += 1
                    v = b""
                elif inteiro == b"999999999999":
                    contagens["capital_ficticio"] += 1
            elif tipo == "c":
                codigos.setdefault(k, {})
                codigos[k][v] = codigos[k].get(v, 0) + 1
            saida.append(v)
        registros.append((chave, b"\x1f".join(saida)))
        contagens["linhas"] += 1
    if nome is None:
        return registros, fim, contagens, codigos
    nomes = []
    for chave, v in registros:
        texto = v.split(b"\x1f")[nome].decode("latin-1")
        if texto:
            nomes.append((chave, texto, len(texto.split())))
    return registros, fim, contagens, codigos, nomes
