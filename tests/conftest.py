import os

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
