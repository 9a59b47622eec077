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
from typing import Any, Dict, Iterator, List, Optional, Tuple, TypeVar

from .leiaute import ARQUIVOS_UNICOS, FAMILIAS_EM_PARTES, MAX_PARTES, SUFIXO_CSV

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


def _familia_do_csv(nome: str) -> Optional[str]:
    for familia, sufixo in SUFIXO_CSV.items():
        if nome.upper().endswith(sufixo) or (familia == "Simples" and ".SIMPLES.CSV" in nome.upper()):
            return familia
    return None


def _abrir_zip(caminho: Path) -> Tuple[str, int]:
    try:
        with zipfile.ZipFile(caminho) as z:
            membros = [i for i in z.infolist() if not i.is_dir()]
            if len(membros) != 1:
                raise ErroDeImportacao(f"zip com {len(membros)} arquivos (esperado 1): {caminho.name}")
            return membros[0].filename, membros[0].file_size
    except (zipfile.BadZipFile, OSError, EOFError) as e:
        raise ErroDeImportacao(f"zip corrompido: {caminho.name} ({e})") from None


def localizar(pasta: "str | Path") -> Dict[str, List[Arquivo]]:
    """Os arquivos do mês por família, na ordem das partes.

    Nomeia todos os que faltam antes de qualquer trabalho: cada família em
    partes precisa das partes 0..n-1 sem buracos, o mesmo n nas três, e o
    Simples e as seis tabelas de códigos.
    """
    base = Path(pasta)
    if not base.is_dir():
        raise ErroDeImportacao(f"pasta não encontrada: {base}")
    achados: Dict[str, Dict[Optional[int], Arquivo]] = {f: {} for f in FAMILIAS_EM_PARTES + ARQUIVOS_UNICOS}
    zips = sorted(p for p in base.iterdir() if p.suffix.lower() == ".zip")
    padrao = re.compile(r"^(%s)(\d?)\.zip$" % "|".join(achados), re.IGNORECASE)
    if zips:
        for p in zips:
            m = padrao.match(p.name)
            if not m:
                continue
            familia = next(f for f in achados if f.lower() == m.group(1).lower())
            parte = int(m.group(2)) if m.group(2) else None
            if (familia in FAMILIAS_EM_PARTES) != (parte is not None):
                continue
            membro, tamanho = _abrir_zip(p)
            achados[familia][parte] = Arquivo(familia, parte, p, membro, tamanho)
    else:
        csvs: Dict[str, List[Path]] = {f: [] for f in achados}
        for p in sorted(base.iterdir()):
            do_csv = _familia_do_csv(p.name) if p.is_file() else None
            if do_csv:
                csvs[do_csv].append(p)
        for familia, caminhos in csvs.items():
            for i, p in enumerate(caminhos):
                parte = i if familia in FAMILIAS_EM_PARTES else None
                if parte is None and i > 0:
                    raise ErroDeImportacao(f"mais de um CSV de {familia}: {caminhos[0].name}, {p.name}")
                achados[familia][parte] = Arquivo(familia, parte, p, None, p.stat().st_size)

    faltam: List[str] = []
    n = max(max((k for k in achados[f] if k is not None), default=-1) + 1 for f in FAMILIAS_EM_PARTES)
    n = min(max(n, 1), MAX_PARTES)
    for familia in FAMILIAS_EM_PARTES:
        for i in range(n):
            if i not in achados[familia]:
                faltam.append(f"{familia}{i}.zip" if zips else f"CSV {i + 1} de {familia} (*{SUFIXO_CSV[familia]})")
    for familia in ARQUIVOS_UNICOS:
        if None not in achados[familia]:
            faltam.append(f"{familia}.zip" if zips else f"CSV de {familia} (*{SUFIXO_CSV[familia]})")
    if faltam:
        raise ErroDeImportacao(f"faltam arquivos em {base}: " + ", ".join(faltam))
    return {f: [achados[f][k] for k in sorted(achados[f], key=lambda x: -1 if x is None else x)] for f in achados}


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


def registros(arq: Arquivo, tipos: str, nome: Optional[int] = None) -> Iterator[Lote]:
    """Os registros do arquivo, trecho a trecho: (registros, bytes lidos,
    contagens, códigos vistos, nomes do campo `nome`)."""
    from ... import _dados_abertos

    def separar(dados: bytes, final: bool) -> Tuple[Any, ...]:
        r = _dados_abertos.separar(dados, tipos, final, nome)
        return tuple(r) if nome is not None else (*r, [])

    resto = b""
    for bloco in trechos(arq):
        dados = resto + bloco if resto else bloco
        regs, consumido, contagens, codigos, nomes = separar(dados, False)
        resto = dados[consumido:]
        yield regs, len(bloco), contagens, codigos, nomes
    if resto:
        regs, _consumido, contagens, codigos, nomes = separar(resto, True)
        yield regs, 0, contagens, codigos, nomes


_FIM = object()


def adiantar(itens: Iterator[T], fila: int = 2) -> Iterator[T]:
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
    from ... import _dados_abertos

    dados = b"".join(trechos(arq))
    regs = _dados_abertos.separar(dados, "tt", True)[0]
    tabela: Dict[int, str] = {}
    for _chave, v in regs:
        codigo, _, descricao = v.partition(b"\x1f")
        if codigo.isdigit():
            tabela[int(codigo)] = descricao.decode("latin-1")
    return tabela


def resumo_de_arquivos(arquivos: Dict[str, List[Arquivo]]) -> Dict[str, Any]:
    return {f: sum(a.tamanho for a in lista) for f, lista in arquivos.items()}
