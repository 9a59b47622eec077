"""``python -m lexaro_contract.cli``: o mesmo que ``lexaro-contract``."""

from . import programa

programa()
