"""O cliente do motor de extração."""

from __future__ import annotations

import os
import time
from typing import List, Optional

from .constantes import DEFAULT_MODEL, PROVIDERS
from .pdf import join_pages, read_pdf_pages
from .questions import Question
from .results import DocumentResult, Metrics, QuestionResult

DEFAULT_TIMEOUT = 120.0
DEFAULT_MAX_RETRIES = 2


def _opt_str(name: str, value) -> Optional[str]:
    if value is not None and type(value) is not str:
        raise TypeError(f"{name} deve ser str ou None, não {type(value).__name__}")
    return value


class Lexaro:
    """Responde a perguntas sobre um PDF com um modelo de linguagem.

    Provedores: "openai" (também servidores compatíveis, via `base_url`),
    "azure" (Azure OpenAI: `azure_endpoint`, `azure_deployment`,
    `api_version`) e "local" (regras, sem rede, sem custo).

    Exemplo::

        client = Lexaro(provider="local")
        client.add_question(pergunta)
        doc = client.process("contrato.pdf")
        doc.get_result("empresas").raw_result
    """

    def __init__(
        self,
        *,
        provider: str = "openai",
        api_key: Optional[str] = None,
        base_url: Optional[str] = None,
        api_token: Optional[str] = None,
        azure_endpoint: Optional[str] = None,
        azure_deployment: Optional[str] = None,
        api_version: Optional[str] = None,
        model: str = DEFAULT_MODEL,
        verbose: bool = False,
        timeout: float = DEFAULT_TIMEOUT,
        max_retries: int = DEFAULT_MAX_RETRIES,
        max_input_chars: Optional[int] = None,
    ):
        if type(provider) is not str:
            raise TypeError(f"provider deve ser str, não {type(provider).__name__}")
        for name, value in (
            ("api_key", api_key),
            ("base_url", base_url),
            ("api_token", api_token),
            ("azure_endpoint", azure_endpoint),
            ("azure_deployment", azure_deployment),
            ("api_version", api_version),
        ):
            _opt_str(name, value)
        if type(model) is not str:
            raise TypeError(f"model deve ser str, não {type(model).__name__}")
        if not isinstance(timeout, (int, float)) or isinstance(timeout, bool):
            raise TypeError(f"timeout deve ser um número, não {type(timeout).__name__}")
        if type(max_retries) is not int:
            raise TypeError(f"max_retries deve ser int, não {type(max_retries).__name__}")
        if max_input_chars is not None and type(max_input_chars) is not int:
            raise TypeError(f"max_input_chars deve ser int ou None, não {type(max_input_chars).__name__}")
        provider = provider.strip().lower()
        if provider not in PROVIDERS:
            raise ValueError(f"provider inválido: {provider!r} (aceitos: {', '.join(PROVIDERS)})")

        self.provider = provider
        self.model = model
        self.verbose = bool(verbose)
        self.api_token = api_token
        self.max_input_chars = max_input_chars
        self._questions: List[Question] = []

        if provider == "local":
            from .providers.local import LocalProvider

            self._provider = LocalProvider(log=self._log)
            return

        import openai

        from .providers.openai_provider import (
            DEFAULT_AZURE_API_VERSION,
            OpenAIProvider,
            azure_supports_structured_outputs,
        )

        if provider == "openai":
            client = openai.OpenAI(api_key=api_key, base_url=base_url, timeout=timeout, max_retries=max_retries)
            structured = True
        else:
            self.api_version = api_version or DEFAULT_AZURE_API_VERSION
            kwargs = dict(
                api_key=api_key,
                azure_endpoint=azure_endpoint,
                azure_deployment=azure_deployment,
                api_version=self.api_version,
                timeout=timeout,
                max_retries=max_retries,
            )
            if azure_endpoint is None and base_url is not None:
                kwargs["base_url"] = base_url
                del kwargs["azure_endpoint"], kwargs["azure_deployment"]
            client = openai.AzureOpenAI(**kwargs)
            structured = azure_supports_structured_outputs(self.api_version)
        self._provider = OpenAIProvider(
            client,
            model,
            name=provider,
            structured_outputs=structured,
            max_input_chars=max_input_chars,
            log=self._log,
        )
        if not structured:
            self._log(
                f"ℹ️ API do Azure {self.api_version}: sem saídas estruturadas; "
                "usando modo JSON com o esquema no prompt"
            )

    # -- saída --------------------------------------------------------------

    def _log(self, msg: str) -> None:
        if self.verbose:
            print(msg)

    # -- perguntas ----------------------------------------------------------

    @property
    def questions(self) -> List[Question]:
        """Cópia da lista de perguntas registradas, na ordem de registro."""
        return list(self._questions)

    def add_question(self, question: Question) -> None:
        """Registra uma pergunta; `process` responde a todas as registradas."""
        if not isinstance(question, Question):
            raise TypeError(f"question deve ser Question, não {type(question).__name__}")
        if any(q.id == question.id for q in self._questions):
            raise ValueError(f"Já existe uma pergunta com id {question.id!r}")
        if not self._provider.supports(question):
            raise ValueError(
                f"O provedor {self.provider!r} não sabe responder à pergunta {question.id!r}: "
                "o provedor local responde apenas às perguntas de empresas, assinaturas e dados do contrato"
            )
        self._questions.append(question)
        self._log(f"➕ Pergunta registrada: {question.id} ({question.config.name})")

    # -- execução -----------------------------------------------------------

    def process(self, path) -> DocumentResult:
        """Lê o PDF uma vez e responde a todas as perguntas registradas."""
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path deve ser str ou os.PathLike, não {type(path).__name__}")
        t0 = time.perf_counter()
        path_str = os.fspath(path)
        self._log(f"📄 Lendo PDF: {os.path.basename(path_str)}")
        pages = read_pdf_pages(path_str)
        text = join_pages(pages)
        self._log(f"   {len(pages)} página(s), {len(text)} caracteres de texto")
        if not self._questions:
            self._log("⚠️ Nenhuma pergunta registrada")

        results = {}
        tokens = tin = tout = 0
        cost = 0.0
        for q in self._questions:
            self._log(f"❓ {q.config.name or q.id} [{self.provider}/{self._provider.model}]...")
            ans = self._provider.answer(q, text)
            m = ans.metrics
            results[q.id] = QuestionResult(
                question_id=q.id,
                name=q.config.name,
                tag=q.config.tag,
                result=ans.result,
                raw_result=ans.result.model_dump(),
                metrics=m,
                provider=self.provider,
                model=self._provider.model,
                truncated=ans.truncated,
            )
            tokens += m.tokens
            tin += m.input_tokens
            tout += m.output_tokens
            cost += m.cost_usd
            self._log(f"   ✅ {q.id}: {m.tokens} tokens, US$ {m.cost_usd:.4f}, {m.time_seconds:.2f} s")

        total = Metrics(
            tokens=tokens,
            cost_usd=cost,
            time_seconds=time.perf_counter() - t0,
            input_tokens=tin,
            output_tokens=tout,
        )
        self._log(f"📊 Total: {total.tokens} tokens, US$ {total.cost_usd:.4f}, {total.time_seconds:.2f} s")
        return DocumentResult(path=path_str, pages=len(pages), chars=len(text), results=results,
                              total_metrics=total)

    def close(self) -> None:
        """Fecha as conexões HTTP do cliente do provedor (nada a fazer no local)."""
        client = getattr(self._provider, "client", None)
        if client is not None:
            client.close()

    def __enter__(self) -> "Lexaro":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"Lexaro(provider={self.provider!r}, model={self.model!r}, perguntas={len(self._questions)})"
