"""An OpenAI-compatible chat endpoint for tests and benchmarks (a handler for
pytest-httpserver on 127.0.0.1): it records every request, counts the tokens
it was sent, plays the service's prompt cache, and answers each question it
finds in the request with a canned structured answer.

Token count: a documented approximation of the o200k tokenizer on Portuguese
text, one token per punctuation mark and one per started 4 letters of a word
(the usual rule of thumb of about 4 characters a token for Latin text);
images count as the service bills them in high detail (85 + 170 per 512 px
tile). Only the ratios between requests matter to the tests.
"""
from __future__ import annotations

import json
import re
import struct
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

from werkzeug import Response

from lexaro import pricing

_PIECE = re.compile(r"\w+|[^\w\s]")
CACHE_MIN_TOKENS = 1024
CACHE_STEP = 128
MESSAGE_OVERHEAD = 4


def approx_tokens(text: str) -> int:
    return sum((len(p) + 3) // 4 if p[0].isalnum() or p[0] == "_" else 1 for p in _PIECE.findall(text))


def png_size(url: str) -> Tuple[int, int]:
    import base64

    raw = base64.b64decode(url.split(",", 1)[1][:64])
    return struct.unpack(">II", raw[16:24])


def request_tokens(body: Dict[str, Any]) -> int:
    """Input tokens of a chat request: messages, images (as the request's model
    bills them) and the answer schema."""
    total = 0
    for msg in body["messages"]:
        total += MESSAGE_OVERHEAD
        content = msg["content"]
        if isinstance(content, str):
            total += approx_tokens(content)
            continue
        for part in content:
            if part["type"] == "text":
                total += approx_tokens(part["text"])
            else:
                total += pricing.image_tokens(*png_size(part["image_url"]["url"]), body.get("model"))
    fmt = body.get("response_format") or {}
    if fmt.get("type") == "json_schema":
        total += approx_tokens(json.dumps(fmt["json_schema"]["schema"], ensure_ascii=False))
    return total


def completion(content, prompt_tokens=10, completion_tokens=5, model="gpt-4o-2024-08-06", finish="stop",
               refusal=None, cached_tokens=0):
    return {
        "id": "chatcmpl-9xYz",
        "object": "chat.completion",
        "created": 1718000000,
        "model": model,
        "system_fingerprint": "fp_5050236cbd",
        "choices": [{
            "index": 0,
            "message": {"role": "assistant", "content": content, "refusal": refusal},
            "logprobs": None,
            "finish_reason": finish,
        }],
        "usage": {"prompt_tokens": prompt_tokens, "completion_tokens": completion_tokens,
                  "total_tokens": prompt_tokens + completion_tokens,
                  "prompt_tokens_details": {"cached_tokens": cached_tokens, "audio_tokens": 0}},
    }


def _text_of(body: Dict[str, Any]) -> str:
    out = []
    for msg in body["messages"]:
        c = msg["content"]
        out.append(c if isinstance(c, str) else "\n".join(p.get("text", "") for p in c))
    return "\n".join(out)


class ChatRecorder:
    """Answers every question whose system prompt the request carries.

    One question asked: its answer mapping. Several: one mapping with each
    answer under its question id (the combined request). `usage` fixes the
    billed tokens per question (per-question requests only); otherwise the
    counted tokens are billed. `latency` is slept before each answer;
    `combined_content` replaces the content of combined answers (to break them).
    """

    def __init__(self, system: Dict[str, str], answers: Dict[str, Any], *,
                 usage: Optional[Dict[str, Tuple[int, int]]] = None, wrap: Callable[[str], str] = lambda s: s,
                 model: Optional[str] = None, latency: float = 0.0, combined_content: Optional[str] = None):
        self.system, self.answers, self.usage = system, answers, usage
        self.wrap, self.model, self.latency = wrap, model, latency
        self.combined_content = combined_content
        self.requests: List[Tuple[Any, Dict[str, Any]]] = []
        self.sent_tokens: List[int] = []
        self.cached: List[int] = []
        self._prefixes: List[str] = []

    def asked(self, body: Dict[str, Any]) -> List[str]:
        text = _text_of(body)
        return [q for q, s in self.system.items() if s in text]

    def _cached_tokens(self, body: Dict[str, Any]) -> int:
        # the service caches the longest prefix seen before, from 1024 tokens, in steps of 128
        key = json.dumps(body["messages"], ensure_ascii=False)
        best = 0
        for prev in self._prefixes:
            n = 0
            for a, b in zip(prev, key):
                if a != b:
                    break
                n += 1
            best = max(best, n)
        self._prefixes.append(key)
        tokens = approx_tokens(key[:best])
        return 0 if tokens < CACHE_MIN_TOKENS else tokens // CACHE_STEP * CACHE_STEP

    def __call__(self, request):
        body = request.get_json()
        self.requests.append((request, body))
        asked = self.asked(body)
        sent = request_tokens(body)
        cached = min(sent, self._cached_tokens(body))
        self.sent_tokens.append(sent)
        self.cached.append(cached)
        if len(asked) == 1:
            content = json.dumps(self.answers[asked[0]], ensure_ascii=False)
        else:
            content = json.dumps({q: self.answers[q] for q in asked}, ensure_ascii=False)
            if self.combined_content is not None:
                content = self.combined_content
        content = self.wrap(content)
        if self.usage is not None and len(asked) == 1:
            pin, pout = self.usage[asked[0]]
            cached = 0
        else:
            pin, pout = sent, approx_tokens(content)
        if self.latency:
            time.sleep(self.latency)
        answer = completion(content, pin, pout, model=self.model or body["model"], cached_tokens=cached)
        return Response(json.dumps(answer), content_type="application/json")
