"""Leitura de um mês dos dados abertos do CNPJ: os zips oficiais (lidos direto
do zip, sem cópia descompactada) ou os CSVs já extraídos."""

from __future__ import annotations

import queue
import re
import threading
import zipfile
import zlib
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, Generator, Iterator, List, Optional, Tuple, TypeVar

if TYPE_CHECKING:
    from .fila_ordenada import FilaOrdenada


TAMANHO_TRECHO = 4 << 20
T = TypeVar("T")


class ErroDeImportacao(Exception):
    """Um problema dos arquivos ou do destino, dito numa linha."""


@dataclass
class Arquivo:
    familia: str
    parte: Optional[int]
    caminho: Path
    membro: Optional[str]   # o CSV dentro do zip; None para um CSV solto
    tamanho: int            # bytes descompactados

    @property
    def nome(self) -> str:
        return self.caminho.name


def abrir_zip(caminho: Path) -> Tuple[str, int]:
    try:
        with zipfile.ZipFile(caminho) as z:
            membros = [i for i in z.infolist() if not i.is_dir()]
            if len(membros) != 1:
                raise ErroDeImportacao(f"zip com {len(membros)} arquivos (esperado 1): {caminho.name}")
            return membros[0].filename, membros[0].file_size
    except (zipfile.BadZipFile, OSError, EOFError) as e:
        raise ErroDeImportacao(f"zip corrompido: {caminho.name} ({e})") from None


def trechos(arq: Arquivo, tamanho: int = TAMANHO_TRECHO) -> Iterator[bytes]:
    """O conteúdo do arquivo em trechos de bytes; um zip estragado é nomeado."""
    try:
        if arq.membro is None:
            with open(arq.caminho, "rb") as f:
                while True:
                    b = f.read(tamanho)
                    if not b:
                        return
                    yield b
        else:
            with zipfile.ZipFile(arq.caminho) as z, z.open(arq.membro) as f:
                while True:
                    b = f.read(tamanho)
                    if not b:
                        return
                    yield b
    except (zipfile.BadZipFile, zlib.error, EOFError) as e:
        raise ErroDeImportacao(f"zip corrompido: {arq.nome} ({e})") from None


Lote = Tuple[List[Tuple[int, bytes]], int, Dict[str, int], Dict[int, Dict[bytes, int]], List[Tuple[int, str, int]]]


# Nenhuma linha real chega perto disto (as mais longas, de Estabelecimentos,
# têm uns 1,5 KB): uma linha maior é descartada e contada, e assim nem a
# memória nem o tempo dependem do que um arquivo estragado traz sem quebra de linha.
MAX_LINHA = 64 << 10
# Nenhuma tabela de códigos real tem mais que alguns milhares de linhas.
MAX_CODIGOS = 100_000


def registros(arq: Arquivo, tipos: str, nome: Optional[int] = None,
              fila: "Optional[FilaOrdenada]" = None, marca: bytes = b"",
              fila_nomes: "Optional[FilaOrdenada]" = None) -> Iterator[Lote]:
    """Os registros do arquivo, trecho a trecho: (registros, bytes lidos,
    contagens, códigos vistos, nomes do campo `nome`). Com `fila`, os
    registros (com a `marca` à frente) vão para ela e não voltam; com
    `fila_nomes`, os nomes também."""
    from ... import _dados_abertos

    def separar(dados: bytes, final: bool) -> Tuple[Any, ...]:
        if fila is not None:
            return ([], *fila.separar(dados, tipos, final, nome, marca, fila_nomes))
        r = _dados_abertos.separar(dados, tipos, final, nome)
        return tuple(r) if nome is not None else (*r, [])

    resto = b""
    pulando = False
    for bloco in trechos(arq):
        lido = len(bloco)
        if pulando:
            i = bloco.find(b"\n")
            if i < 0:
                yield [], lido, {}, {}, []
                continue
            bloco, pulando = bloco[i + 1:], False
        dados = resto + bloco if resto else bloco
        regs, consumido, contagens, codigos, nomes = separar(dados, False)
        resto = dados[consumido:]
        if len(resto) > MAX_LINHA:
            contagens = dict(contagens)
            contagens["linha_longa"] = contagens.get("linha_longa", 0) + 1
            resto, pulando = b"", True
        yield regs, lido, contagens, codigos, nomes
    if resto:
        regs, _consumido, contagens, codigos, nomes = separar(resto, True)
        yield regs, 0, contagens, codigos, nomes


_FIM = object()


def adiantar(itens: Iterator[T], fila: int = 2) -> Generator[T, None, None]:
    """Os itens de `itens`, produzidos numa thread à frente de quem consome.

    A leitura do zip e a separação das linhas soltam o GIL: numa thread,
    correm ao lado das gravações no banco. Um erro da produção chega a quem
    consome no ponto em que ocorreu; se quem consome desiste, a thread para.
    """
    q: "queue.Queue[Any]" = queue.Queue(maxsize=fila)
    parar = threading.Event()

    def produzir() -> None:
        try:
            for item in itens:
                while not parar.is_set():
                    try:
                        q.put(item, timeout=0.1)
                        break
                    except queue.Full:
                        continue
                if parar.is_set():
                    return
            q.put(_FIM)
        except BaseException as e:  # noqa: BLE001 - repassado a quem consome
            q.put(e)

    t = threading.Thread(target=produzir, name="ler-dados-abertos", daemon=True)
    t.start()
    try:
        while True:
            item = q.get()
            if item is _FIM:
                return
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        parar.set()
        t.join()


def mes_da_pasta(pasta: "str | Path", arquivos: Dict[str, List[Arquivo]]) -> str:
    """O mês dos dados: o nome da pasta (AAAA-MM) ou a data no nome dos CSVs."""
    m = re.search(r"(\d{4})-(\d{2})$", Path(pasta).resolve().name)
    if m:
        return f"{m.group(1)}-{m.group(2)}"
    for lista in arquivos.values():
        for a in lista:
            d = re.search(r"\.D(\d)(\d{2})(\d{2})", a.membro or a.nome)
            if d and 1 <= int(d.group(2)) <= 12:
                return f"202{d.group(1)}-{d.group(2)}"
    return "desconhecido"


def tabela_de_codigos(arq: Arquivo) -> Dict[int, str]:
    """A tabela de códigos do arquivo, lida trecho a trecho (um zip que infla
    para gigabytes não vira gigabytes de memória)."""
    tabela: Dict[int, str] = {}
    for regs, _n, _contagens, _codigos, _nomes in registros(arq, "tt"):
        for _chave, v in regs:
            codigo, _, descricao = v.partition(b"\x1f")
            if codigo.isdigit() and len(codigo) < 10 and len(tabela) < MAX_CODIGOS:
                tabela[int(codigo)] = descricao.decode("latin-1")
    return tabela


def resumo_de_arquivos(arquivos: Dict[str, List[Arquivo]]) -> Dict[str, Any]:
    return {f: sum(a.tamanho for a in lista) for f, lista in arquivos.items()}
