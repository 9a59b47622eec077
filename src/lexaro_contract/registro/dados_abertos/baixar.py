"""Download de um mês dos dados abertos do CNPJ do compartilhamento da Receita.

Os meses se listam por WebDAV (`PROPFIND` em ``{base}/public.php/webdav``, com
o token do compartilhamento como usuário e senha vazia); cada arquivo vem de
``{base}/public.php/dav/files/{token}/{mês}/{arquivo}``. O servidor trava e
recusa downloads paralelos, e não publica somas de verificação: baixa-se um
arquivo por vez, retomando com HTTP Range o que já chegou (em
``arquivo.zip.parcial``), com novas tentativas e espera crescente, e um zip só
ganha o nome final depois de conferido por inteiro (`testzip`).

Configuração: ``LEXARO_DADOS_ABERTOS_URL`` (a base) e
``LEXARO_DADOS_ABERTOS_TOKEN`` (o token do compartilhamento).
"""

from __future__ import annotations

import os
import re
import time
import zipfile
import zlib
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple
from urllib.parse import quote, unquote, urlsplit
from xml.etree import ElementTree

BASE_PADRAO = "https://arquivos.receitafederal.gov.br"
TOKEN_PADRAO = "YggdBLfdninEJX9"
# (fullmatch: "2024-06\n" não é um mês, nem "Empresas0.zip\n" um arquivo)
_MES = re.compile(r"[0-9]{4}-[0-9]{2}")
_ARQUIVO = re.compile(r"[A-Za-z0-9_.-]+\.zip")
# Um zip do mês que a listagem não mede tem no máximo isto (os maiores têm uns 2 GB).
MAX_SEM_TAMANHO = 16 << 30
_DAV = "{DAV:}"
_TRECHO = 1 << 16


class ErroDeDownload(Exception):
    """Falha do download, dita numa linha."""


def configuracao() -> Tuple[str, str]:
    base = os.environ.get("LEXARO_DADOS_ABERTOS_URL", BASE_PADRAO).rstrip("/")
    token = os.environ.get("LEXARO_DADOS_ABERTOS_TOKEN", TOKEN_PADRAO)
    return base, token


def _propfind(url: str, token: str, tempo_limite: float) -> List[Tuple[str, bool, int]]:
    """(nome, é pasta, tamanho) de cada item listado em `url` (profundidade 1)."""
    import requests

    corpo = ('<?xml version="1.0"?><d:propfind xmlns:d="DAV:"><d:prop><d:resourcetype/>'
             '<d:getcontentlength/></d:prop></d:propfind>')
    r = requests.request("PROPFIND", url, data=corpo, auth=(token, ""), timeout=tempo_limite,
                         headers={"Depth": "1", "Content-Type": "application/xml"})
    if r.status_code != 207:
        raise ErroDeDownload(f"listagem WebDAV de {url} respondeu HTTP {r.status_code}")
    try:
        raiz = ElementTree.fromstring(r.content)
    except ElementTree.ParseError as e:
        raise ErroDeDownload(f"listagem WebDAV ilegível de {url}: {e}") from None
    proprio = urlsplit(url).path.rstrip("/")
    itens = []
    for resp in raiz.iter(f"{_DAV}response"):
        href = resp.findtext(f"{_DAV}href") or ""
        caminho = unquote(urlsplit(href).path).rstrip("/")
        if not caminho or caminho == proprio:
            continue
        pasta = resp.find(f".//{_DAV}resourcetype/{_DAV}collection") is not None
        tamanho = resp.findtext(f".//{_DAV}getcontentlength")
        itens.append((caminho.rsplit("/", 1)[-1], pasta, int(tamanho) if tamanho and tamanho.isascii() and tamanho.isdigit() and len(tamanho) < 16 else -1))
    return itens


def _listar(url: str, token: str, tempo_limite: float, o_que: str) -> List[Tuple[str, bool, int]]:
    """O PROPFIND de uma pasta da partilha; uma falha de rede vira ErroDeDownload dizendo o quê."""
    try:
        return _propfind(url, token, tempo_limite)
    except ErroDeDownload:
        raise
    except Exception as e:  # noqa: BLE001 - rede
        raise ErroDeDownload(f"não foi possível listar {o_que}: {type(e).__name__}") from None


def listar_meses(base: Optional[str] = None, token: Optional[str] = None, tempo_limite: float = 60.0) -> List[str]:
    b, t = configuracao()
    base, token = base or b, token or t
    itens = _listar(f"{base}/public.php/webdav/", token, tempo_limite, f"os meses em {base}")
    return sorted(nome for nome, pasta, _t in itens if pasta and _MES.fullmatch(nome))


def _zip_integro(caminho: Path) -> bool:
    try:
        with zipfile.ZipFile(caminho) as z:
            return z.testzip() is None
    except (zipfile.BadZipFile, OSError, EOFError, zlib.error, RuntimeError):
        return False


def _baixar_arquivo(url: str, token: str, destino: Path, tamanho: int, tentativas: int, espera: float,
                    tempo_limite: float, avancar: Any) -> None:
    import requests
    import urllib3

    parcial = destino.with_name(destino.name + ".parcial")
    ultimo_erro = ""
    for tentativa in range(tentativas):
        if tentativa:
            time.sleep(min(espera * (2 ** (tentativa - 1)), 60.0))
        tem = parcial.stat().st_size if parcial.exists() else 0
        if 0 <= tamanho < tem:
            parcial.unlink()
            tem = 0
        try:
            if tem < tamanho or tamanho < 0:
                cabecalhos = {"Range": f"bytes={tem}-"} if tem else {}
                with requests.get(url, auth=(token, ""), headers=cabecalhos, stream=True,
                                  timeout=tempo_limite) as r:
                    if r.status_code == 416 and tem:
                        pass  # já temos tudo
                    elif r.status_code == 206 and tem:
                        inicio = re.match(r"bytes (\d+)-", r.headers.get("Content-Range", ""))
                        if not inicio or int(inicio.group(1)) != tem:
                            raise ErroDeDownload("Content-Range inesperado")
                        _gravar(r, parcial, "ab", avancar, _limite(tamanho) - tem)
                    elif r.status_code == 200:
                        avancar(-tem)  # o servidor ignorou o Range: recomeça
                        _gravar(r, parcial, "wb", avancar, _limite(tamanho))
                    else:
                        raise ErroDeDownload(f"HTTP {r.status_code}")
            tem = parcial.stat().st_size if parcial.exists() else 0
            if tamanho >= 0 and tem != tamanho:
                ultimo_erro = f"recebidos {tem} de {tamanho} bytes"
                continue
            if not _zip_integro(parcial):
                ultimo_erro = "zip corrompido"
                avancar(-tem)
                parcial.unlink()
                continue
            os.replace(parcial, destino)
            return
        except (requests.RequestException, urllib3.exceptions.HTTPError, ErroDeDownload, OSError) as e:
            ultimo_erro = f"{type(e).__name__}: {e}" if isinstance(e, ErroDeDownload) else type(e).__name__
    raise ErroDeDownload(f"falha ao baixar {destino.name} após {tentativas} tentativas ({ultimo_erro})")


def _limite(tamanho: int) -> int:
    return tamanho if tamanho >= 0 else MAX_SEM_TAMANHO


def _gravar(r: Any, parcial: Path, modo: str, avancar: Any, resta: int) -> None:
    # Lê o corpo cru aos pedaços e guarda cada um assim que chega: uma
    # conexão cortada deixa no arquivo parcial tudo o que veio (a conferência
    # de tamanho, depois, manda retomar do ponto exato). Nunca mais que o
    # tamanho listado (`resta`): um corpo sem fim não enche o disco.
    r.raw.enforce_content_length = False
    with open(parcial, modo) as f:
        while resta > 0:
            pedaco = r.raw.read(min(_TRECHO, resta), decode_content=True)
            if not pedaco:
                return
            pedaco = pedaco[:resta]
            f.write(pedaco)
            f.flush()
            resta -= len(pedaco)
            avancar(len(pedaco))
    if resta <= 0:
        r.close()


def baixar_mes(mes: Optional[str] = None, pasta: "str | Path | None" = None, progresso: bool = True,
               base: Optional[str] = None, token: Optional[str] = None, tentativas: int = 8, espera: float = 1.0,
               tempo_limite: float = 60.0) -> Path:
    """Baixa os zips de `mes` (o mais recente, se None) para `pasta`; devolve a pasta."""
    b, t = configuracao()
    base, token = base or b, token or t
    if mes is not None and not _MES.fullmatch(mes):
        raise ErroDeDownload(f"mês inválido: {mes!r} (use AAAA-MM)")
    meses = listar_meses(base, token, tempo_limite)
    if not meses:
        raise ErroDeDownload(f"nenhum mês publicado em {base}")
    if mes is None:
        mes = meses[-1]
    elif mes not in meses:
        raise ErroDeDownload(f"mês {mes} não publicado (disponíveis: {', '.join(meses[-6:])})")
    itens = _listar(f"{base}/public.php/webdav/{mes}/", token, tempo_limite, f"{mes} em {base}")
    arquivos: Dict[str, int] = {n: tam for n, eh_pasta, tam in itens if not eh_pasta and _ARQUIVO.fullmatch(n)}
    if not arquivos:
        raise ErroDeDownload(f"nenhum zip em {mes}")
    destino = Path(pasta) if pasta is not None else Path("dados-abertos") / mes
    destino.mkdir(parents=True, exist_ok=True)
    from tqdm import tqdm

    feitos = {n for n, tam in arquivos.items() if (destino / n).is_file() and (destino / n).stat().st_size == tam}
    total = sum(max(tam, 0) for n, tam in arquivos.items() if n not in feitos)
    with tqdm(total=total, unit="B", unit_scale=True, desc=f"baixando {mes}", disable=not progresso,
              dynamic_ncols=True) as barra:
        for nome in sorted(arquivos):
            if nome in feitos:
                continue
            parcial = destino / (nome + ".parcial")
            if parcial.exists():
                barra.update(parcial.stat().st_size)
            url = f"{base}/public.php/dav/files/{quote(token)}/{mes}/{quote(nome)}"
            barra.set_postfix_str(nome, refresh=False)
            _baixar_arquivo(url, token, destino / nome, arquivos[nome], tentativas, espera, tempo_limite,
                            barra.update)
    return destino
