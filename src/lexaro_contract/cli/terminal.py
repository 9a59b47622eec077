"""O terminal do comando: o fluxo que mascara segredos e cala num cano
fechado, a barra de progresso e as esperas do modelo mostradas nela."""

import contextlib
import io
import logging
import os
import sys
from typing import Any, Iterator, Tuple

from ..lote import mascarar


def _erro(msg: str) -> None:
    print(f"lexaro-contract: {msg}", file=sys.stderr)


class _Fluxo(io.TextIOBase):
    """stdout/stderr do comando: mascara chaves e tokens, troca o que a
    codificação do terminal ou do arquivo não representa (Latin-1, ASCII)
    e, se o leitor fechou o cano (``| head``), cala em vez de levantar."""

    def __init__(self, real: Any, segredos: Tuple[str, ...]) -> None:
        super().__init__()
        self._real = real
        self._segredos = segredos
        self.fechado = False

    @property
    def encoding(self) -> str:  # type: ignore[override]
        return getattr(self._real, "encoding", None) or "utf-8"

    def isatty(self) -> bool:
        return bool(getattr(self._real, "isatty", lambda: False)())

    def fileno(self) -> int:
        return int(self._real.fileno())

    def writable(self) -> bool:
        return True

    def write(self, texto: str) -> int:
        if self.fechado:
            return len(texto)
        limpo = mascarar(texto, self._segredos)
        try:
            try:
                self._real.write(limpo)
            except UnicodeEncodeError:
                self._real.write(limpo.encode(self.encoding, "replace").decode(self.encoding))
        except (BrokenPipeError, ConnectionResetError):
            self._cano_fechado()
        return len(texto)

    def flush(self) -> None:
        if not self.fechado:
            try:
                self._real.flush()
            except (BrokenPipeError, ConnectionResetError):
                self._cano_fechado()

    def _cano_fechado(self) -> None:
        self.fechado = True
        # O interpretador ainda esvazia o fluxo ao sair: que escreva no nada.
        try:
            nulo = os.open(os.devnull, os.O_WRONLY)
            os.dup2(nulo, self._real.fileno())
            os.close(nulo)
        except (OSError, AttributeError, ValueError, io.UnsupportedOperation):
            pass

class _Progresso:
    """Barra de progresso em stderr (tqdm), só num terminal: num log
    redirecionado ela não deixaria quadros com retorno de carro. As linhas
    de veredito e de erro são escritas em volta da barra."""

    def __init__(self, total: int, ligado: bool):
        self._barra: Any = None
        if ligado:
            from tqdm import tqdm

            self._barra = tqdm(total=total, unit="contrato", file=sys.stderr, dynamic_ncols=True)

    def escrever(self, linha: str, fluxo: Any) -> None:
        if self._barra is None:
            print(linha, file=fluxo, flush=True)
            return
        with self._barra.external_write_mode(file=fluxo):
            print(linha, file=fluxo, flush=True)

    def avancar(self, descricao: str) -> None:
        if self._barra is not None:
            self._barra.set_postfix_str(descricao, refresh=False)
            self._barra.update(1)

    def nota(self, texto: str) -> None:
        if self._barra is not None:
            self._barra.set_postfix_str(texto, refresh=True)

    def fechar(self) -> None:
        if self._barra is not None:
            self._barra.close()


class _EsperaDoModelo(logging.Handler):
    """Mostra na barra as esperas do cliente do modelo (429 e falhas
    temporárias: ele espera o que o serviço pede, até 2 minutos, e tenta de
    novo um número limitado de vezes)."""

    def __init__(self, progresso: _Progresso) -> None:
        super().__init__(logging.INFO)
        self._progresso = progresso

    def emit(self, record: logging.LogRecord) -> None:
        if not str(record.msg).startswith("Retrying request"):
            return
        segundos = next((a for a in record.args or () if isinstance(a, float)), None)
        if segundos is not None:
            self._progresso.nota(f"o serviço do modelo pediu espera: {segundos:.0f} s")


@contextlib.contextmanager
def _ouvindo_esperas(progresso: _Progresso) -> Iterator[None]:
    log = logging.getLogger("openai._base_client")
    ouvinte, nivel = _EsperaDoModelo(progresso), log.level
    log.addHandler(ouvinte)
    if log.getEffectiveLevel() > logging.INFO:
        log.setLevel(logging.INFO)
    try:
        yield
    finally:
        log.removeHandler(ouvinte)
        log.setLevel(nivel)
