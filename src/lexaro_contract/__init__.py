"""Verificação de legitimidade de contratos comerciais brasileiros."""

__version__ = "0.1.0"

__all__ = ["verificar_contrato"]


def __getattr__(name):
    # The checker (and with it the registry client and the records) loads on
    # first use, so importing one module of the package does not load them all.
    if name == "verificar_contrato":
        from .checker import verificar_contrato

        globals()["verificar_contrato"] = verificar_contrato
        return verificar_contrato
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))
