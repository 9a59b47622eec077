"""O cliente do motor de extração."""

from __future__ import annotations

import ipaddress
import os
import re
import time
from typing import Any, Dict, List, Optional
from urllib.parse import urlsplit

from . import pricing
from .constantes import DEFAULT_MODEL, PROVIDERS
from .errors import ConfigurationError
from .pdf import DocumentPages, PageText, ReadLimits, ScanPolicy, join_pages, no_text_error, read_document
from .providers.base import DocumentInput, PageImage, ProviderAnswer
from .questions import Question
from .results import DocumentResult, Metrics, QuestionResult

DEFAULT_TIMEOUT = 120.0
DEFAULT_MAX_RETRIES = 2
DEFAULT_MAX_SCANNED_PAGES = 30


def _env_int(name: str) -> Optional[int]:
    raw = os.environ.get(name, "").strip()
    if not raw:
        return None
    try:
        value = int(raw)
    except ValueError:
        raise ValueError(f"{name} deve ser um número inteiro, não {raw!r}") from None
    if value < 0:
        raise ValueError(f"{name} não pode ser negativo ({value})")
    return value


def _read_limits() -> ReadLimits:
    """Limites de leitura, com os padrões trocados pelas variáveis
    LEXARO_MAX_PAGE_CHARS e LEXARO_MAX_DOCUMENT_CHARS."""
    base = ReadLimits()
    return ReadLimits(
        max_page_chars=_env_int("LEXARO_MAX_PAGE_CHARS") or base.max_page_chars,
        max_document_chars=_env_int("LEXARO_MAX_DOCUMENT_CHARS") or base.max_document_chars,
        max_content_bytes=base.max_content_bytes,
    )


def _scan_marker(number: int) -> str:
    return f"[página {number} digitalizada: o conteúdo está na imagem da página {number}]"


def _opt_str(name: str, value: object) -> Optional[str]:
    if value is not None and type(value) is not str:
        raise TypeError(f"{name} deve ser str ou None, não {type(value).__name__}")
    return value if value is None else str(value)


def usable_endpoint(url: str) -> bool:
    """True para um endereço http(s) com um nome de servidor (ou um IP) a que
    se pode conectar; não para "https://...", "http://" ou um texto qualquer."""
    try:
        parts = urlsplit(url.strip())
        host, _port = parts.hostname, parts.port  # uma porta que não é número levanta ValueError
    except ValueError:
        return False
    if parts.scheme not in ("http", "https") or not host:
        return False
    try:
        ipaddress.ip_address(host)
        return True
    except ValueError:
        pass
    try:
        ascii_host = host.encode("idna").decode("ascii")
    except UnicodeError:
        return False  # um rótulo vazio ("...", "a..b") ou com mais de 63 caracteres
    return re.fullmatch(r"[A-Za-z0-9_-]+(?:\.[A-Za-z0-9_-]+)*\.?", ascii_host) is not None


class _Evidence:
    """A evidência de um documento lido, calculada quando pedida; as páginas
    que a leitura deixou abertas fecham depois dela (ou com `close`)."""

    def __init__(self, doc: DocumentPages, raws: List[Dict[str, Any]]) -> None:
        self.doc, self.raws = doc, raws

    def __call__(self) -> Dict[str, List[Dict[str, Any]]]:
        from .evidence import answers_of, locate

        try:
            return locate(self.doc, *answers_of(self.raws))
        finally:
            self.doc.close()

    def close(self) -> None:
        self.doc.close()


class Lexaro:
    """Responde a perguntas sobre um PDF com um modelo de linguagem.

    Provedores: "openai" (também servidores compatíveis, via `base_url`),
    "azure" (Azure OpenAI: `azure_endpoint`, `azure_deployment`,
    `api_version`) e "local" (regras, sem rede, sem custo).

    Cada `process` lê o PDF uma vez e, nos provedores hospedados, faz uma
    requisição para todas as perguntas (`combine_questions=False` volta a
    uma por pergunta). Páginas digitalizadas vão como imagem para os modelos
    com visão (até `max_scanned_pages` páginas) e passam por OCR no provedor
    local. `read_limits` limita o custo de um documento.

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
        combine_questions: Optional[bool] = None,
        max_scanned_pages: Optional[int] = None,
        read_limits: Optional[ReadLimits] = None,
    ) -> None:
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
        if max_scanned_pages is not None and (type(max_scanned_pages) is not int or max_scanned_pages < 0):
            raise TypeError(f"max_scanned_pages deve ser um int >= 0 ou None, não {max_scanned_pages!r}")
        if read_limits is not None and not isinstance(read_limits, ReadLimits):
            raise TypeError(f"read_limits deve ser ReadLimits ou None, não {type(read_limits).__name__}")
        provider = provider.strip().lower()
        if provider not in PROVIDERS:
            raise ValueError(f"provider inválido: {provider!r} (aceitos: {', '.join(PROVIDERS)})")

        if provider == "azure" and azure_endpoint is not None and not usable_endpoint(azure_endpoint):
            raise ConfigurationError(f"endpoint do Azure inválido: {azure_endpoint!r}")

        self.provider = provider
        self.model = model
        self.verbose = bool(verbose)
        self.api_token = api_token
        self.max_input_chars = max_input_chars
        if combine_questions is None:
            combine_questions = os.environ.get("LEXARO_COMBINE_QUESTIONS", "1").strip() not in ("0", "false", "não")
        self.combine_questions = bool(combine_questions)
        if max_scanned_pages is None:
            env_pages = _env_int("LEXARO_MAX_SCANNED_PAGES")
            max_scanned_pages = DEFAULT_MAX_SCANNED_PAGES if env_pages is None else env_pages
        self.max_scanned_pages = max_scanned_pages
        self.read_limits = read_limits or _read_limits()
        self._questions: List[Question] = []
        self._provider: Any
        # the result of the last `process` (None while one runs or after one fails)
        self.last_result: Optional[DocumentResult] = None

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
            kwargs: Dict[str, Any] = dict(
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
            combine=self.combine_questions,
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

    def _scan_policy(self) -> ScanPolicy:
        if self.provider == "local":
            return ScanPolicy("ocr", self.max_scanned_pages)
        if getattr(self._provider, "vision", False):
            fits = pricing.max_image_pages(self.model)
            if fits < self.max_scanned_pages:
                self._log(f"ℹ️ No contexto de {self.model} cabem até {fits} página(s) em imagem")
            return ScanPolicy("image", min(self.max_scanned_pages, fits))
        return ScanPolicy("none", self.max_scanned_pages)

    def _document(self, path: str) -> DocumentPages:
        policy = self._scan_policy()
        doc = read_document(path, limits=self.read_limits, scans=policy, keep_open=True)
        try:
            return self._checked(path, policy, doc)
        except BaseException:
            doc.close()
            raise

    def _checked(self, path: str, policy: ScanPolicy, doc: DocumentPages) -> DocumentPages:
        scanned = doc.scanned
        if scanned:
            read = [p.number for p in scanned if p.source != "skipped"]
            how = "OCR" if policy.mode == "ocr" else "imagem"
            self._log(f"🖼️ {len(scanned)} página(s) digitalizada(s); lidas por {how}: "
                      f"{', '.join(map(str, read)) or 'nenhuma'}")
            skipped = [p.number for p in scanned if p.source == "skipped"]
            if skipped:
                if policy.mode == "none":
                    why = f"o modelo {self.model!r} não lê imagens"
                elif len(read) >= policy.max_pages:
                    why = f"acima do limite de {policy.max_pages} páginas digitalizadas"
                else:
                    why = "o OCR (Tesseract) não está instalado"
                self._log(f"⚠️ Página(s) digitalizada(s) sem leitura ({why}): {', '.join(map(str, skipped))}")
        if not any(p.text.strip() for p in doc.pages) and not doc.images:
            extra = ""
            if policy.mode == "none" and scanned:
                extra = f"; o modelo {self.model!r} não lê imagens de página"
            raise no_text_error(path, len(doc.pages), extra)
        return doc

    @staticmethod
    def _page_input(page: PageText) -> str:
        return _scan_marker(page.number) if page.source == "image" else page.text

    def process(self, path: Any) -> DocumentResult:
        """Lê o PDF uma vez e responde a todas as perguntas registradas."""
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path deve ser str ou os.PathLike, não {type(path).__name__}")
        t0 = time.perf_counter()
        path_str = os.fspath(path)
        self._forget_last()
        self._log(f"📄 Lendo PDF: {os.path.basename(path_str)}")
        doc = self._document(path_str)
        try:
            return self._answer(path_str, doc, t0)
        except BaseException:
            doc.close()
            raise

    def _answer(self, path_str: str, doc: DocumentPages, t0: float) -> DocumentResult:
        text = join_pages([self._page_input(p) for p in doc.pages])
        self._log(f"   {len(doc.pages)} página(s), {len(text)} caracteres de texto")
        if not self._questions:
            self._log("⚠️ Nenhuma pergunta registrada")

        answers: Dict[str, ProviderAnswer] = {}
        answer_all = getattr(self._provider, "answer_all", None)
        if answer_all is None:
            # the local provider reads the pages' lines, blocks and columns, not the string
            document = DocumentInput(text, [], tuple(p.layout for p in doc.pages))
        elif self._questions:
            images = [PageImage(p.number, p.image, *p.image_size) for p in doc.images if p.image is not None]
            names = ", ".join(q.id for q in self._questions)
            self._log(f"❓ {names} [{self.provider}/{self._provider.model}]...")
            answers = answer_all(self._questions, DocumentInput(text, images))
        results = {}
        tokens = tin = tout = cached = 0
        cost = 0.0
        for q in self._questions:
            if answer_all is None:
                self._log(f"❓ {q.config.name or q.id} [{self.provider}/{self._provider.model}]...")
                ans = self._provider.answer(q, document)
            else:
                ans = answers[q.id]
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
            cached += m.cached_input_tokens
            cost += m.cost_usd
            self._log(f"   ✅ {q.id}: {m.tokens} tokens, US$ {m.cost_usd:.4f}, {m.time_seconds:.2f} s")

        total = Metrics(
            tokens=tokens,
            cost_usd=cost,
            time_seconds=time.perf_counter() - t0,
            input_tokens=tin,
            output_tokens=tout,
            cached_input_tokens=cached,
        )
        cache_note = f" ({cached} do cache)" if cached else ""
        self._log(f"📊 Total: {total.tokens} tokens{cache_note}, US$ {total.cost_usd:.4f}, "
                  f"{total.time_seconds:.2f} s")
        self.last_result = DocumentResult(path=path_str, pages=len(doc.pages), chars=len(text), results=results,
                                          total_metrics=total,
                                          evidence_source=_Evidence(doc, [r.raw_result for r in results.values()]))
        return self.last_result

    def _forget_last(self) -> None:
        """Fecha as páginas que a leitura anterior deixou abertas para a evidência."""
        last, self.last_result = self.last_result, None
        source = getattr(last, "evidence_source", None)
        if isinstance(source, _Evidence):
            source.close()

    def evidencias(self, path: Any = None) -> Optional[Dict[str, List[Dict[str, Any]]]]:
        """A evidência das respostas do último `process` (ver
        `DocumentResult.evidencias`); com `path`, só se o último documento
        lido foi esse arquivo (senão None, como depois de um `process` que
        falhou)."""
        last = self.last_result
        if last is None:
            return None
        if path is not None:
            if not isinstance(path, (str, os.PathLike)):
                raise TypeError(f"path deve ser str ou os.PathLike, não {type(path).__name__}")
            if os.path.realpath(os.fspath(path)) != os.path.realpath(last.path):
                return None
        return last.evidencias()

    def close(self) -> None:
        """Fecha as conexões HTTP do cliente do provedor e o último documento lido."""
        self._forget_last()
        client = getattr(self._provider, "client", None)
        if client is not None:
            client.close()

    def __enter__(self) -> "Lexaro":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"Lexaro(provider={self.provider!r}, model={self.model!r}, perguntas={len(self._questions)})"
