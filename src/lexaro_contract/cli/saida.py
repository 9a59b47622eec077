"""O arquivo de saída (``--saida``): os resultados em JSON Lines, um
registro por arquivo, travado enquanto o lote roda e regravado de uma vez."""

import contextlib
import json
import os
import re
from pathlib import Path
from typing import Any, Dict, Optional, Tuple

from ..erros import ErroDeUso
from ..lote import mascarar
from .estados import _estado


def _chave(arquivo: str) -> str:
    return str(Path(arquivo).resolve())


# O caminho resolvido de um registro cujo `arquivo` não o é (um caminho
# relativo, ou que passa por um link): relativo, `arquivo` só identifica o
# arquivo na pasta de onde o lote rodou, e um lote retomado de outra pasta o
# procuraria no lugar errado.
_CAMINHO_RESOLVIDO = "caminho_resolvido"


def _chave_do_registro(registro: Dict[str, Any]) -> str:
    """O arquivo de um registro da saída: o caminho resolvido gravado com ele
    ou, se não há (`arquivo` já era o resolvido, ou a saída é de uma versão
    que não o gravava), `arquivo` resolvido a partir da pasta atual."""
    caminho = registro.get(_CAMINHO_RESOLVIDO)
    return caminho if isinstance(caminho, str) else _chave(registro["arquivo"])


_INICIO_DE_REGISTRO = b'{"arquivo": '


class _Saida:
    """O JSON Lines de resultados, travado (flock) enquanto o lote roda.

    Guarda um registro por arquivo: o último escrito vale, e ao fechar os
    registros substituídos (um erro refeito) saem do arquivo, que é
    regravado de uma vez (arquivo novo + rename). Um arquivo que não é
    deste formato é recusado sem ser tocado. Uma saída que é um link é
    escrita no arquivo a que ele leva (a trava, os acréscimos e a
    regravação), e o link fica."""

    def __init__(self, caminho: Path, segredos: Tuple[str, ...]) -> None:
        self.caminho = caminho
        self._alvo = Path(os.path.realpath(caminho))
        self._segredos = segredos
        try:
            self._f = open(self._alvo, "a+b")
        except OSError as e:
            raise ErroDeUso(f"não foi possível abrir {caminho}: {e.strerror or e}") from None
        try:
            self._travar(self._f)
            _remover_temporarios_abandonados(self._alvo)
            self.estados: Dict[str, str] = {}
            self._ultima: Dict[str, int] = {}
            self._linhas = 0
            self._ler()
        except BaseException:
            self._f.close()
            raise

    def _travar(self, f: Any) -> None:
        try:
            import fcntl
        except ImportError:  # sem flock (Windows): sem trava
            return
        try:
            fcntl.flock(f.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise ErroDeUso(f"{self.caminho} está em uso por outro lote (arquivo travado); "
                            "espere ele terminar ou use outra --saida") from None

    def _ler(self) -> None:
        self._f.seek(0)
        dados = self._f.read()
        corpo, quebra, resto = dados.rpartition(b"\n")
        linhas = corpo.split(b"\n") if quebra else []
        for n, linha in enumerate(linhas + [resto], 1):
            if not linha.strip():
                continue
            registro = _registro_da_linha(linha)
            if registro is None:
                if n > len(linhas) and _cortada(linha):
                    continue  # o fim cortado de uma execução interrompida (abaixo)
                trecho = linha[:60].decode("utf-8", "replace")
                raise ErroDeUso(f"{self.caminho}: a linha {n} não é um registro de resultados em JSON Lines "
                                f"({trecho!r}); nada foi alterado — use outra --saida")
            self._anotar(registro, n)
        self._linhas = len(linhas)
        if resto.strip():
            if _cortada(resto) and _registro_da_linha(resto) is None:
                # Registro cortado: o arquivo dele não tem veredito e será
                # verificado de novo; a sobra sai.
                self._f.truncate(len(dados) - len(resto))
            else:
                self._f.write(b"\n")
                self._linhas += 1

    def _anotar(self, registro: Dict[str, Any], n: int) -> None:
        chave = _chave_do_registro(registro)
        self.estados[chave] = _estado(registro)
        self._ultima[chave] = n

    def escrever(self, registro: Dict[str, Any]) -> None:
        chave = _chave(registro["arquivo"])
        if chave != registro["arquivo"]:
            registro = {"arquivo": registro["arquivo"], _CAMINHO_RESOLVIDO: chave,
                        **{k: v for k, v in registro.items() if k != "arquivo"}}
        linha = mascarar(json.dumps(registro, ensure_ascii=False, default=str), self._segredos)
        self._f.seek(0, os.SEEK_END)
        self._f.write(linha.encode("utf-8") + b"\n")
        self._f.flush()
        self._linhas += 1
        self._anotar(registro, self._linhas)

    def fechar(self) -> None:
        try:
            if len(self._ultima) < self._linhas_com_registro():
                self._compactar()
        finally:
            self._f.close()

    def _linhas_com_registro(self) -> int:
        self._f.seek(0)
        return sum(1 for linha in self._f if linha.strip())

    def _compactar(self) -> None:
        manter = set(self._ultima.values())
        temporario = _temporario(self._alvo, os.getpid())
        novo = open(temporario, "wb")
        try:
            self._f.seek(0)
            for n, linha in enumerate(self._f, 1):
                if n in manter:
                    novo.write(linha)
            novo.flush()
            os.fsync(novo.fileno())
            os.chmod(temporario, os.stat(self._alvo).st_mode & 0o7777)
            self._travar(novo)  # o arquivo novo já nasce travado
            os.replace(temporario, self._alvo)
        except BaseException:
            novo.close()
            with contextlib.suppress(OSError):
                os.unlink(temporario)
            raise
        novo.close()


def _cortada(ultima: bytes) -> bool:
    """Uma última linha sem quebra que é o começo de um registro: cortada por
    uma execução interrompida, mesmo antes do fim da marca de início."""
    return ultima.startswith(_INICIO_DE_REGISTRO) or _INICIO_DE_REGISTRO.startswith(ultima)


def _temporario(alvo: Path, pid: int) -> Path:
    return alvo.with_name(f".{alvo.name}.{pid}.tmp")


def _remover_temporarios_abandonados(alvo: Path) -> None:
    """Os arquivos novos de regravações mortas no meio (``.NOME.PID.tmp``
    ao lado da saída) cujo processo já não existe."""
    if os.name != "posix":
        return  # sem um jeito de perguntar se o processo existe sem tocá-lo
    padrao = re.compile(re.escape(f".{alvo.name}.") + r"([0-9]+)\.tmp")  # o nome de _temporario
    try:
        nomes = os.listdir(alvo.parent)
    except OSError:
        return
    for nome in nomes:
        achado = padrao.fullmatch(nome)
        if achado is not None and not _processo_existe(int(achado.group(1))):
            with contextlib.suppress(OSError):
                os.unlink(alvo.parent / nome)


def _processo_existe(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OverflowError:
        return False  # nenhum processo tem esse número
    except OSError:
        return True  # existe, de outro usuário (EPERM)
    return True


def _registro_da_linha(linha: bytes) -> Optional[Dict[str, Any]]:
    try:
        item = json.loads(linha.decode("utf-8"))
    except ValueError:
        return None
    if isinstance(item, dict) and isinstance(item.get("arquivo"), str) and ("resultado" in item or "erro" in item):
        if "resultado" in item and not isinstance(item["resultado"], dict):
            return None
        return item
    return None
