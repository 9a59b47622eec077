"""Quem pede: o token da API (`Authorization: Bearer`) ou a sessão do
painel (cookie HttpOnly e SameSite, com o token CSRF dos formulários), os
papéis e o freio das tentativas de login."""

from __future__ import annotations

import hmac
import threading
import time
from collections import deque
from typing import Any, Deque, Dict, Optional

from starlette.requests import Request

from ..acervo import Acervo

COOKIE = "lexaro_sessao"
PODE_ENVIAR = ("administrador", "analista")
PODE_DECIDIR = ("administrador", "analista")


class Recusado(Exception):
    def __init__(self, status: int, mensagem: str) -> None:
        super().__init__(mensagem)
        self.status, self.mensagem = status, mensagem


def acervo_de(request: Request) -> Acervo:
    acervo: Acervo = request.app.state.acervo
    return acervo


def contrato_ou_404(request: Request) -> Dict[str, Any]:
    """O contrato do `{id}` do caminho; Recusado (404) se não há um."""
    try:
        cid = int(request.path_params["id"])
    except ValueError:
        raise Recusado(404, "contrato não encontrado") from None
    contrato = acervo_de(request).contrato(cid)
    if contrato is None:
        raise Recusado(404, "contrato não encontrado")
    return contrato


def usuario_da_api(request: Request) -> Dict[str, Any]:
    """O usuário do token; uma sessão do painel também serve (os pedidos que
    mudam algo precisam então do cabeçalho X-CSRF-Token). Recusado, senão."""
    cabecalho = request.headers.get("authorization", "")
    if cabecalho.lower().startswith("bearer "):
        usuario = acervo_de(request).usuario_do_token(cabecalho[7:].strip())
        if usuario is None:
            raise Recusado(401, "token inválido ou revogado")
        return usuario
    sessao = sessao_de(request)
    if sessao is None:
        raise Recusado(401, "autenticação necessária (Authorization: Bearer <token>)")
    if request.method not in ("GET", "HEAD") and not csrf_confere(sessao, request.headers.get("x-csrf-token")):
        raise Recusado(403, "token CSRF ausente ou inválido")
    return sessao


def sessao_de(request: Request) -> Optional[Dict[str, Any]]:
    segredo = request.cookies.get(COOKIE)
    return acervo_de(request).sessao(segredo) if segredo else None


def csrf_confere(sessao: Dict[str, Any], enviado: Optional[str]) -> bool:
    return bool(enviado) and hmac.compare_digest(str(sessao["csrf"]), str(enviado))


def exigir_papel(usuario: Dict[str, Any], papeis: Any) -> None:
    if usuario["papel"] not in papeis:
        raise Recusado(403, "o seu papel não permite esta ação")


class FreioDeLogin:
    """No máximo `tentativas` logins falhos por `janela` segundos, por
    endereço e por nome de usuário."""

    def __init__(self, tentativas: int = 5, janela: float = 300.0) -> None:
        self.tentativas, self.janela = tentativas, janela
        self._falhas: Dict[str, Deque[float]] = {}
        self._trava = threading.Lock()

    def _recentes(self, chave: str, agora: float) -> Deque[float]:
        fila = self._falhas.setdefault(chave, deque())
        while fila and fila[0] < agora - self.janela:
            fila.popleft()
        return fila

    def bloqueado(self, *chaves: str) -> bool:
        agora = time.monotonic()
        with self._trava:
            return any(len(self._recentes(c, agora)) >= self.tentativas for c in chaves)

    def falhou(self, *chaves: str) -> None:
        agora = time.monotonic()
        with self._trava:
            for c in chaves:
                self._recentes(c, agora).append(agora)

    def limpar(self, *chaves: str) -> None:
        with self._trava:
            for c in chaves:
                self._falhas.pop(c, None)
