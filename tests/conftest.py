import os
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "default", deadline=None, max_examples=200, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("fuzz", deadline=None, max_examples=20000, suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

from postgres_server import banco_postgres, servidor_postgres  # noqa: E402,F401  (fixtures de PostgreSQL)


@pytest.fixture
def apontar_registro():
    """Points this process's `cnpj` module at a registry, as often as the test
    likes: `apontar_registro(base)` (the three services under one base URL, as
    the local registry serves them) or `apontar_registro(Enderecos(...))`.
    After the test, `cnpj` is back to what it was (its URLs and HTTP client)."""
    from lexaro_contract.enderecos import Enderecos, apontando, apontar

    def apontar_para(destino):
        apontar(destino if isinstance(destino, Enderecos) else Enderecos.na_base(destino))

    with apontando(Enderecos.atuais()):
        yield apontar_para


@pytest.fixture
def registro_de_exemplo(apontar_registro, monkeypatch):
    """The example registry (examples/registro) served on 127.0.0.1 for the
    test, with this process's `cnpj` and the environment of any command the
    test starts pointed at it, and the local engine as the provider. Yields
    the registry's base URL."""
    from lexaro_contract import registro

    srv, base = registro.iniciar_em_segundo_plano(Path(__file__).resolve().parents[1] / "examples" / "registro")
    apontar_registro(base)
    for var in ("LEXARO_BRASILAPI_URL", "LEXARO_RECEITAWS_URL", "LEXARO_CASADOSDADOS_URL"):
        monkeypatch.setenv(var, base)
    monkeypatch.setenv("LEXARO_PROVIDER", "local")
    yield base
    srv.shutdown()
    srv.server_close()
