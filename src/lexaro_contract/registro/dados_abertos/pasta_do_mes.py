"""Os arquivos de um mês numa pasta, com os nomes que a Receita já usou.

- desde 2022: ``Empresas0.zip`` … ``Estabelecimentos9.zip``, ``Socios0.zip`` …,
  ``Simples.zip``, ``Cnaes.zip``, ``Motivos.zip``, ``Municipios.zip``,
  ``Naturezas.zip``, ``Paises.zip``, ``Qualificacoes.zip``;
- antes: ``K3241.K03200Y{n}.D{AMMDD}.EMPRECSV|ESTABELE|SOCIOCSV``,
  ``F.K03200$W.SIMPLES.CSV.D{AMMDD}`` e ``F.K03200$Z.D{AMMDD}.CNAECSV|MOTICSV|
  MUNICCSV|NATJUCSV|PAISCSV|QUALSCSV``;

cada um compactado (``.zip``) ou já extraído, com ou sem ``.csv`` no fim. Um
zip de nome desconhecido é reconhecido pelo CSV que contém. A parte de uma
família em partes é o número do nome (``Empresas3``, ``Y3``); CSVs soltos sem
número contam na ordem dos nomes.

Um arquivo que é um link para fora da pasta é recusado: importar o que está
noutro lugar, sem que ninguém perceba, não é o que se pediu.
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from .leiaute import ARQUIVOS_UNICOS, FAMILIAS_EM_PARTES, MAX_PARTES, SUFIXO_CSV
from .leitor import Arquivo, ErroDeImportacao, abrir_zip

_ATUAL = re.compile(r"(%s)(\d?)" % "|".join(FAMILIAS_EM_PARTES + ARQUIVOS_UNICOS), re.IGNORECASE)
_PARTE_ANTIGA = re.compile(r"K03200Y(\d)\.", re.IGNORECASE)


def familia_do_nome(nome: str) -> Optional[Tuple[str, Optional[int]]]:
    """(família, parte ou None) pelo nome de um arquivo (zip ou CSV), ou None."""
    base = nome
    for fim in (".zip", ".csv"):
        if base.lower().endswith(fim):
            base = base[:-len(fim)]
    m = _ATUAL.fullmatch(base)
    if m:
        familia = next(f for f in FAMILIAS_EM_PARTES + ARQUIVOS_UNICOS if f.lower() == m.group(1).lower())
        if (familia in FAMILIAS_EM_PARTES) != bool(m.group(2)):
            return None
        return familia, int(m.group(2)) if m.group(2) else None
    maiusculo = base.upper()
    for familia, sufixo in SUFIXO_CSV.items():
        if maiusculo.endswith(sufixo) or (familia == "Simples" and ".SIMPLES.CSV" in maiusculo) \
                or (familia == "Simples" and maiusculo.endswith(("SIMPLESCSV", "SIMPLECSV"))) \
                or (familia == "Estabelecimentos" and maiusculo.endswith("ESTABELECSV")):
            p = _PARTE_ANTIGA.search(base)
            return familia, (int(p.group(1)) if p else -1) if familia in FAMILIAS_EM_PARTES else None
    return None


def _esperados(familia: str, parte: Optional[int]) -> str:
    return f"{familia}{'' if parte is None else parte}.zip"


def localizar(pasta: "str | Path", parcial: bool = False) -> Tuple[Dict[str, List[Arquivo]], List[str]]:
    """Os arquivos do mês por família, na ordem das partes, e o que falta.

    Sem `parcial`, tudo o que falta é nomeado antes de qualquer trabalho (cada
    família em partes precisa das partes 0..n-1 sem buracos, o mesmo n nas
    três, e o Simples e as seis tabelas de códigos), junto com os arquivos que
    a pasta tem no lugar. Com `parcial`, o mês é o que a pasta tem.
    """
    base = Path(pasta)
    if not base.is_dir():
        raise ErroDeImportacao(f"pasta não encontrada: {base}")
    raiz = base.resolve()
    achados: Dict[str, Dict[Optional[int], Arquivo]] = {f: {} for f in FAMILIAS_EM_PARTES + ARQUIVOS_UNICOS}
    soltos: Dict[str, List[Arquivo]] = {f: [] for f in FAMILIAS_EM_PARTES}
    estranhos: List[str] = []
    fora: List[str] = []
    for p in sorted(base.iterdir(), key=lambda x: (x.suffix.lower() != ".zip", x.name)):
        if p.name.startswith(".") or p.is_dir():
            continue
        if p.is_symlink() and raiz not in p.resolve().parents:
            fora.append(p.name)
            continue
        reconhecido = familia_do_nome(p.name)
        eh_zip = p.suffix.lower() == ".zip"
        membro: Optional[str] = None
        tamanho = 0
        if eh_zip:
            membro, tamanho = abrir_zip(p)
            if reconhecido is None:
                reconhecido = familia_do_nome(membro)
        if reconhecido is None:
            estranhos.append(p.name)
            continue
        familia, parte = reconhecido
        arq = Arquivo(familia, parte, p, membro, tamanho if eh_zip else p.stat().st_size)
        if parte == -1:
            soltos[familia].append(arq)
        elif parte not in achados[familia]:   # o zip antes do CSV extraído dele
            achados[familia][parte] = arq
    if fora:
        raise ErroDeImportacao(f"arquivos que apontam para fora de {base} (copie-os para a pasta): "
                               + ", ".join(fora))
    for familia, lista in soltos.items():
        livres = (i for i in range(MAX_PARTES * 10) if i not in achados[familia])
        for arq in lista:
            arq.parte = next(livres)
            achados[familia][arq.parte] = arq

    faltam: List[str] = []
    n = max(max((k for k in achados[f] if k is not None), default=-1) + 1 for f in FAMILIAS_EM_PARTES)
    n = min(max(n, 1), MAX_PARTES)
    for familia in FAMILIAS_EM_PARTES:
        for i in range(n):
            if i not in achados[familia]:
                faltam.append(_esperados(familia, i))
    for familia in ARQUIVOS_UNICOS:
        if None not in achados[familia]:
            faltam.append(_esperados(familia, None))
    if faltam and not parcial:
        if estranhos:
            no_lugar = "; a pasta tem no lugar: " + ", ".join(estranhos[:20]) + (" …" if len(estranhos) > 20 else "")
        else:
            no_lugar = "; nenhum outro arquivo na pasta"
        raise ErroDeImportacao(f"faltam arquivos em {base}: " + ", ".join(faltam) + no_lugar +
                               " (use --parcial para importar o que há)")
    arquivos = {f: [achados[f][k] for k in sorted(achados[f], key=lambda x: -1 if x is None else x)]
                for f in achados}
    return arquivos, faltam
