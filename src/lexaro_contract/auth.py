"""Credenciais do motor de extração e cliente HTTP autenticado.

`LexaroAuth` reúne as credenciais do provedor de modelo de linguagem (OpenAI,
Azure OpenAI ou o provedor local, sem chave) a partir dos argumentos e, na
falta deles, das variáveis de ambiente:

- ``LEXARO_PROVIDER``: "openai", "azure" ou "local";
- ``LEXARO_API_TOKEN``: token de autenticação Lexaro;
- ``OPENAI_API_KEY`` e ``OPENAI_BASE_URL`` (servidores compatíveis com OpenAI);
- ``AZURE_API_KEY``, ``AZURE_API_ENDPOINT``, ``AZURE_DEPLOYMENT_NAME`` e
  ``AZURE_API_VERSION``.
"""

import importlib
import os
from typing import Any, Dict, Mapping, Optional, Tuple, Union
from urllib.parse import urlsplit

import requests

PROVIDERS = ("openai", "azure", "local")
DEFAULT_AZURE_API_VERSION = "2024-02-15-preview"
DEFAULT_TIMEOUT = 30.0

__all__ = ["LexaroAuth", "AuthenticatedClient", "PROVIDERS", "DEFAULT_AZURE_API_VERSION"]


def _texto_ou_none(nome: str, valor: Any) -> Optional[str]:
    if valor is not None and type(valor) is not str:
        raise TypeError(f"LexaroAuth() argument '{nome}' must be str or None, not {type(valor).__name__}")
    return valor


def _ambiente(nome: str) -> Optional[str]:
    """Valor de uma variável de ambiente; vazia conta como ausente."""
    valor = os.environ.get(nome)
    return valor if valor else None


class LexaroAuth:
    """Gerenciador de credenciais do motor de extração Lexaro."""

    def __init__(
        self,
        api_token: Optional[str] = None,
        openai_api_key: Optional[str] = None,
        provider: Optional[str] = None,
        azure_api_key: Optional[str] = None,
        azure_endpoint: Optional[str] = None,
        azure_deployment: Optional[str] = None,
        azure_api_version: Optional[str] = None,
    ):
        argumentos = {
            "api_token": api_token,
            "openai_api_key": openai_api_key,
            "provider": provider,
            "azure_api_key": azure_api_key,
            "azure_endpoint": azure_endpoint,
            "azure_deployment": azure_deployment,
            "azure_api_version": azure_api_version,
        }
        for nome, valor in argumentos.items():
            _texto_ou_none(nome, valor)

        self.api_token = api_token if api_token is not None else _ambiente("LEXARO_API_TOKEN")
        self.openai_api_key = openai_api_key if openai_api_key is not None else _ambiente("OPENAI_API_KEY")
        self.openai_base_url = _ambiente("OPENAI_BASE_URL")
        self.azure_api_key = azure_api_key if azure_api_key is not None else _ambiente("AZURE_API_KEY")
        self.azure_endpoint = azure_endpoint if azure_endpoint is not None else _ambiente("AZURE_API_ENDPOINT")
        self.azure_deployment = (
            azure_deployment if azure_deployment is not None else _ambiente("AZURE_DEPLOYMENT_NAME")
        )
        if azure_api_version is None:
            azure_api_version = _ambiente("AZURE_API_VERSION") or DEFAULT_AZURE_API_VERSION
        self.azure_api_version = azure_api_version
        self.provider = self._resolver_provider(provider)

    def _resolver_provider(self, provider: Optional[str]) -> str:
        if provider is None:
            provider = _ambiente("LEXARO_PROVIDER")
        if provider is None:
            azure_configurado = bool(self.azure_api_key) and bool(self.azure_endpoint)
            provider = "azure" if azure_configurado and not self.openai_api_key else "openai"
        escolhido = provider.lower()
        if escolhido not in PROVIDERS:
            raise ValueError(
                f"Provider inválido: {provider!r}. Valores aceitos: " + ", ".join(f"'{p}'" for p in PROVIDERS)
            )
        return escolhido

    @property
    def is_azure(self) -> bool:
        """Azure OpenAI é o provedor escolhido."""
        return self.provider == "azure"

    @property
    def is_local(self) -> bool:
        """O provedor local (regras, sem rede) é o escolhido."""
        return self.provider == "local"

    @property
    def has_api_key(self) -> bool:
        """Há uma credencial utilizável para o provedor escolhido."""
        if self.provider == "local":
            return True
        if self.provider == "azure":
            return bool(self.azure_api_key) and bool(self.azure_endpoint) and bool(self.azure_deployment)
        return bool(self.openai_api_key)

    @property
    def is_lexaro_available(self) -> bool:
        """O pacote do motor de extração pode ser importado."""
        try:
            importlib.import_module("lexaro")
        except ImportError:
            return False
        return True

    def get_token(self) -> Optional[str]:
        """Token atual: o token Lexaro, senão a chave do provedor escolhido."""
        if self.api_token:
            return self.api_token
        if self.provider == "azure":
            return self.azure_api_key or None
        if self.provider == "openai":
            return self.openai_api_key or None
        return None

    def get_lexaro_kwargs(self) -> Dict[str, Any]:
        """Argumentos nomeados (um dicionário novo) para o construtor do cliente Lexaro."""
        token = self.api_token or None
        if self.provider == "azure":
            return {
                "provider": "azure",
                "api_key": self.azure_api_key,
                "azure_endpoint": self.azure_endpoint,
                "azure_deployment": self.azure_deployment,
                "api_version": self.azure_api_version,
                "api_token": token,
            }
        if self.provider == "local":
            return {"provider": "local", "api_token": token}
        return {
            "provider": "openai",
            "api_key": self.openai_api_key,
            "base_url": self.openai_base_url,
            "api_token": token,
        }

    def __repr__(self) -> str:
        # Nunca mostra segredos.
        return f"LexaroAuth(provider={self.provider!r}, has_api_key={self.has_api_key!r})"


def _origem(url: str) -> Optional[Tuple[str, str, int]]:
    """(esquema, host, porta) de uma URL absoluta http(s); None para as demais."""
    try:
        partes = urlsplit(url)
        porta = partes.port
    except ValueError:
        return None
    esquema = partes.scheme.lower()
    if esquema not in ("http", "https") or not partes.hostname:
        return None
    if porta is None:
        porta = 443 if esquema == "https" else 80
    return esquema, partes.hostname.lower(), porta


class AuthenticatedClient:
    """Sessão HTTP que envia o token como cabeçalho ``Authorization: Bearer``.

    O token só vai para a origem de `base_url` (esquema, host e porta): uma URL
    absoluta de outra origem é pedida sem ele, e sem `base_url` ele não é enviado.

    Exemplo::

        with AuthenticatedClient(LexaroAuth(), base_url="https://api.exemplo") as cliente:
            resposta = cliente.get("/v1/status")
    """

    def __init__(
        self,
        auth: Union[LexaroAuth, str, None] = None,
        base_url: str = "",
        timeout: float = DEFAULT_TIMEOUT,
        session: Optional[requests.Session] = None,
    ):
        if isinstance(auth, LexaroAuth):
            token = auth.get_token()
        elif auth is None or type(auth) is str:
            token = auth
        else:
            raise TypeError(
                f"AuthenticatedClient() argument 'auth' must be LexaroAuth, str or None, not {type(auth).__name__}"
            )
        if type(base_url) is not str:
            raise TypeError(f"AuthenticatedClient() argument 'base_url' must be str, not {type(base_url).__name__}")
        self.base_url = base_url
        self.timeout = timeout
        self.session = session if session is not None else requests.Session()
        # Guardado à parte, não nos cabeçalhos da sessão: a sessão o mandaria a
        # qualquer URL absoluta que um chamador passasse.
        self._token = token or None
        self._origem = _origem(base_url) if base_url else None

    @property
    def token(self) -> Optional[str]:
        return self._token

    def url(self, caminho: str) -> str:
        """URL completa: caminhos absolutos passam como estão; os demais vão após `base_url`."""
        if caminho.startswith(("http://", "https://")) or not self.base_url:
            return caminho
        return self.base_url.rstrip("/") + "/" + caminho.lstrip("/")

    def request(self, method: str, caminho: str, **kwargs: Any) -> requests.Response:
        kwargs.setdefault("timeout", self.timeout)
        url = self.url(caminho)
        if self._token and self._origem is not None and _origem(url) == self._origem:
            cabecalhos = dict(kwargs.get("headers") or {})
            cabecalhos["Authorization"] = f"Bearer {self._token}"
            kwargs["headers"] = cabecalhos
        return self.session.request(method, url, **kwargs)

    def get(
        self, caminho: str, params: Optional[Mapping[str, Any]] = None, **kwargs: Any
    ) -> requests.Response:
        return self.request("GET", caminho, params=params, **kwargs)

    def post(self, caminho: str, json: Any = None, **kwargs: Any) -> requests.Response:
        return self.request("POST", caminho, json=json, **kwargs)

    def close(self) -> None:
        self.session.close()

    def __enter__(self) -> "AuthenticatedClient":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()
