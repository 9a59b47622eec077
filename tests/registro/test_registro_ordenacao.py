"""The native sort of an import table (runs spilled to disk, merged, cut in
blocks, deflated with the table's dictionary) against a plain Python oracle."""

from __future__ import annotations

import zlib
from typing import List, Tuple

from hypothesis import given, settings
from hypothesis import strategies as st

import oracle_dados_abertos as oracle
from lexaro_contract import _dados_abertos

Registros = List[Tuple[int, bytes]]


def _cortar(regs: Registros, divisor: int, alvo: int, max_grupo: int) -> List[Registros]:
    """The blocks as the read side expects them: closed once `alvo` bytes are in,
    only between groups, or inside a group over `max_grupo`, never inside a key."""
    blocos: List[Registros] = []
    ultima, tamanho, quantos = -1, 0, 0
    for k, v in regs:
        if not blocos or (tamanho >= alvo and (k // divisor != ultima // divisor
                                               or (quantos >= max_grupo and k != ultima))):
            blocos.append([])
            tamanho = quantos = 0
        blocos[-1].append((k, v))
        tamanho, quantos, ultima = tamanho + len(v) + 1, quantos + 1, k
    return blocos


def _dicionario(regs: Registros) -> bytes:
    amostra = [v for _k, v in regs[:20000]]
    if not amostra:
        return b""
    return (b"\x1e" + b"\x1e".join(amostra[::max(1, len(amostra) // 400)]))[-16384:]


def _saida(regs: Registros, lotes: List[int], memoria: int, nivel: int, divisor: int, alvo: int,
           tmp: str, comprimir: bool) -> Tuple[Registros, bytes, int]:
    o = _dados_abertos.ordenador(tmp, memoria, comprimir)
    inicio = 0
    for n in lotes:
        _dados_abertos.acrescentar(o, regs[inicio:inicio + n])
        inicio += n
    _dados_abertos.acrescentar(o, regs[inicio:])
    _dados_abertos.blocos_iniciar(o, divisor, alvo, 3, nivel)
    saida: Registros = []
    while lote := _dados_abertos.blocos(o):
        saida.extend(lote)
    zdict = _dados_abertos.dicionario_da_tabela(o)
    return saida, zdict, _dados_abertos.ordenador_fechar(o)


_REGS = st.lists(st.tuples(st.integers(0, 40), st.binary(max_size=30)), max_size=400)


@settings(max_examples=60, deadline=None)
@given(_REGS, st.lists(st.integers(0, 50), max_size=8), st.sampled_from([64, 600, 1 << 20]),
       st.sampled_from([1, 10]), st.sampled_from([0, 40, 200]), st.booleans())
def test_blocks_equal_a_stable_sort_cut_by_the_oracle(tmp_path_factory, regs: Registros, lotes: List[int],
                                                      memoria: int, divisor: int, alvo: int, comprimir: bool) -> None:
    tmp = str(tmp_path_factory.getbasetemp())
    ordenados = sorted(regs, key=lambda r: r[0])     # stable: one key keeps its order of arrival
    blocos, zdict, corridas = _saida(regs, lotes, memoria, 3, divisor, alvo, tmp, comprimir)
    assert zdict == _dicionario(ordenados)
    esperados = _cortar(ordenados, divisor, alvo, 3)
    # This guards the oracle, not the native code (which the next lines compare
    # with it): what the read side relies on, whatever the cutting rule, is that
    # a lookup reads the one block whose first key is the greatest not above its
    # own, so a key never spans two blocks.
    assert all(a[-1][0] < b[0][0] for a, b in zip(esperados, esperados[1:]))
    assert [k for k, _d in blocos] == [b[0][0] for b in esperados]
    for (_k, dados), esperado in zip(blocos, esperados):
        d = zlib.decompressobj(-15, zdict) if zdict else zlib.decompressobj(-15)
        assert d.decompress(dados) + d.flush() == b"".join(b"\x1e" + v for _k, v in esperado)
    if memoria == 64 and len(regs) > 10:
        assert corridas > 1          # the small memory did spill runs to disk
    soltos, _z, _c = _saida(regs, lotes, memoria, -1, divisor, alvo, tmp, not comprimir)
    assert soltos == ordenados


@given(st.lists(st.sampled_from([b'"12345678";"0001";"12";"BAR "DO ZE"";"X"\n', b'"00000001";"0002";"34";"";"Y"\n',
                                 b'"ABCDEFGH";"0001";"55";"  FANTASIA  LTDA";"Z"\r\n', b'"1";"2";"3";"4";"5"\n',
                                 b'"99999999";"0001";"00";"\x00NOME";"W"\n']), max_size=40).map(b"".join),
       st.sampled_from([b"", b"E"]))
def test_split_into_the_sorter_equals_the_oracle_then_sorted(tmp_path_factory, dados: bytes, marca: bytes) -> None:
    tmp = str(tmp_path_factory.getbasetemp())
    regs, consumido, contagens, codigos, nomes = oracle.separar(dados, "kkktt", True, 3)
    o, n = _dados_abertos.ordenador(tmp, 200), _dados_abertos.ordenador(tmp, 200)
    assert _dados_abertos.separar_em(o, dados, "kkktt", True, 3, marca, n) == (consumido, contagens, codigos, [])
    assert _dados_abertos.separar_em(_dados_abertos.ordenador(tmp, 200), dados, "kkktt", True, 3, marca) == (
        consumido, contagens, codigos, nomes)
    saidas = []
    for ordenador in (o, n):
        _dados_abertos.blocos_iniciar(ordenador, 1, 0, 0, -1)
        saida: Registros = []
        while lote := _dados_abertos.blocos(ordenador):
            saida.extend(lote)
        _dados_abertos.ordenador_fechar(ordenador)
        saidas.append(saida)
    assert saidas[0] == sorted(((k, marca + v) for k, v in regs), key=lambda r: r[0])
    assert saidas[1] == sorted(((k, bytes([p]) + t.encode("latin-1")) for k, t, p in nomes), key=lambda r: r[0])
