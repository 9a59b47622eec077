"""Fixtures of the engine tests."""
import pytest

from modelo_falso import openai_server  # noqa: F401 - the module's OpenAI-compatible server


@pytest.fixture
def server(openai_server):
    """The module's OpenAI-compatible server, cleared after each test."""
    yield openai_server
    openai_server.clear()
