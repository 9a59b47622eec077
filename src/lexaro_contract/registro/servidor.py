"""Servidor local de registro de empresas.

Responde, a partir de um conjunto de registros JSON no formato da BrasilAPI,
às mesmas requisições que o módulo `lexaro_contract.cnpj` faz aos serviços
públicos:

- ``GET  /api/cnpj/v1/{cnpj}``         no formato da BrasilAPI;
- ``GET  /v1/cnpj/{cnpj}``             no formato da ReceitaWS;
- ``POST /v2/public/cnpj/search``      no formato da busca da Casa dos Dados.

Serve à demonstração, aos testes e a equipes que mantêm um retrato offline do
registro. O diretório de dados contém arquivos ``*.json``; cada um traz um
registro ou uma lista de registros.
"""

import json
import re
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from ..keywords import normalizar_texto

BRASIL_API_PATH = "/api/cnpj/v1/"
RECEITA_WS_PATH = "/v1/cnpj/"
BUSCA_PATH = "/v2/public/cnpj/search"

_NAO_ALFANUM = re.compile(r"[^0-9A-Za-z]")
_PONTUACAO = re.compile(r"[^\w\s]")
_MAX_CORPO = 1 << 20


def _chave(cnpj: str) -> str:
    return _NAO_ALFANUM.sub("", cnpj).upper()


def carregar_dados(diretorio) -> Dict[str, Dict[str, Any]]:
    """Lê os registros de um diretório, indexados pelo CNPJ sem pontuação."""
    pasta = Path(diretorio)
    if not pasta.is_dir():
        raise FileNotFoundError(f"Diretório de dados não encontrado: {pasta}")
    registros: Dict[str, Dict[str, Any]] = {}
    for arquivo in sorted(pasta.glob("*.json")):
        with open(arquivo, encoding="utf-8") as f:
            conteudo = json.load(f)
        itens = conteudo if isinstance(conteudo, list) else [conteudo]
        for item in itens:
            if not isinstance(item, dict) or not isinstance(item.get("cnpj"), str):
                raise ValueError(f"{arquivo}: registro sem 'cnpj' de texto")
            registros[_chave(item["cnpj"])] = item
    return registros


def _data_br(data: Optional[str]) -> str:
    if isinstance(data, str) and re.fullmatch(r"\d{4}-\d{2}-\d{2}", data):
        ano, mes, dia = data.split("-")
        return f"{dia}/{mes}/{ano}"
    return data or ""


def _cep_receita_ws(cep: Optional[str]) -> str:
    digitos = re.sub(r"\D", "", cep or "")
    if len(digitos) == 8:
        return f"{digitos[:2]}.{digitos[2:5]}-{digitos[5:]}"
    return cep or ""


def como_receita_ws(reg: Dict[str, Any]) -> Dict[str, Any]:
    """O registro no formato de resposta da ReceitaWS."""
    tipo = reg.get("descricao_tipo_de_logradouro") or ""
    logradouro = " ".join(p for p in (tipo, reg.get("logradouro") or "") if p)
    capital = reg.get("capital_social")
    qsa = []
    for s in reg.get("qsa") or []:
        codigo = s.get("codigo_qualificacao_socio")
        qual = s.get("qualificacao_socio") or ""
        qsa.append({
            "nome": s.get("nome_socio") or "",
            "qual": f"{int(codigo):02d}-{qual}" if isinstance(codigo, int) else qual,
            "pais_origem": "BRASIL",
            "nome_rep_legal": s.get("nome_representante_legal") or "",
            "qual_rep_legal": s.get("qualificacao_representante_legal") or "",
        })
    return {
        "status": "OK",
        "cnpj": reg.get("cnpj", ""),
        "tipo": "MATRIZ",
        "nome": reg.get("razao_social") or "",
        "fantasia": reg.get("nome_fantasia") or "",
        "situacao": reg.get("descricao_situacao_cadastral") or "",
        "data_situacao": _data_br(reg.get("data_situacao_cadastral")),
        "abertura": _data_br(reg.get("data_inicio_atividade")),
        "natureza_juridica": reg.get("natureza_juridica") or "",
        "porte": reg.get("porte") or "",
        "logradouro": logradouro,
        "numero": reg.get("numero") or "",
        "complemento": reg.get("complemento") or "",
        "bairro": reg.get("bairro") or "",
        "municipio": reg.get("municipio") or "",
        "uf": reg.get("uf") or "",
        "cep": _cep_receita_ws(reg.get("cep")),
        "email": reg.get("email") or "",
        "telefone": reg.get("ddd_telefone_1") or "",
        "capital_social": f"{float(capital):.2f}" if isinstance(capital, (int, float)) else "0.00",
        "qsa": qsa,
    }


def _termo(texto: str) -> str:
    return " ".join(_PONTUACAO.sub(" ", normalizar_texto(texto)).split())


def buscar(registros: Dict[str, Dict[str, Any]], corpo: Any) -> Dict[str, Any]:
    """Busca por nome no formato da Casa dos Dados (empresas ativas)."""
    consulta = corpo.get("query", {}) if isinstance(corpo, dict) else {}
    termos = consulta.get("termo") or []
    ufs = [u.upper() for u in consulta.get("uf") or [] if isinstance(u, str)]
    situacao = consulta.get("situacao_cadastral")
    achados: List[Dict[str, Any]] = []
    for termo in termos:
        if not isinstance(termo, str) or not _termo(termo):
            continue
        t = _termo(termo)
        for reg in registros.values():
            nomes = [_termo(reg.get("razao_social") or ""), _termo(reg.get("nome_fantasia") or "")]
            if not any(t in n for n in nomes if n):
                continue
            if situacao and (reg.get("descricao_situacao_cadastral") or "").upper() != str(situacao).upper():
                continue
            if ufs and (reg.get("uf") or "").upper() not in ufs:
                continue
            if reg not in achados:
                achados.append(reg)
    hits = [{
        "cnpj": r.get("cnpj", ""),
        "razao_social": r.get("razao_social") or "",
        "nome_fantasia": r.get("nome_fantasia") or "",
        "situacao_cadastral": r.get("descricao_situacao_cadastral") or "",
        "municipio": r.get("municipio") or "",
        "uf": r.get("uf") or "",
    } for r in achados]
    return {"success": True, "data": {"count": len(hits), "cnpj": hits[:20]}, "page": {"current": 1}}


class _Handler(BaseHTTPRequestHandler):
    server_version = "lexaro-registro/1.0"
    registros: Dict[str, Dict[str, Any]] = {}

    def log_message(self, format, *args):  # noqa: A002 - silencioso
        pass

    def _responder(self, status: int, corpo: Any) -> None:
        dados = json.dumps(corpo, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(dados)))
        self.end_headers()
        self.wfile.write(dados)

    def do_GET(self):  # noqa: N802
        caminho = self.path.split("?", 1)[0]
        if caminho.startswith(BRASIL_API_PATH):
            cnpj = caminho[len(BRASIL_API_PATH):]
            reg = self.registros.get(_chave(cnpj))
            if reg is None:
                self._responder(404, {"message": f"CNPJ {cnpj} não encontrado.", "name": "NotFoundError",
                                      "type": "not_found"})
            else:
                self._responder(200, reg)
        elif caminho.startswith(RECEITA_WS_PATH):
            cnpj = caminho[len(RECEITA_WS_PATH):]
            reg = self.registros.get(_chave(cnpj))
            if reg is None:
                self._responder(200, {"status": "ERROR", "message": "CNPJ não encontrado"})
            else:
                self._responder(200, como_receita_ws(reg))
        elif caminho in ("/", "/saude"):
            self._responder(200, {"status": "ok", "empresas": len(self.registros)})
        else:
            self._responder(404, {"message": "Caminho desconhecido"})

    def do_POST(self):  # noqa: N802
        if self.path.split("?", 1)[0] != BUSCA_PATH:
            self._responder(404, {"message": "Caminho desconhecido"})
            return
        try:
            tamanho = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            tamanho = -1
        if not 0 <= tamanho <= _MAX_CORPO:
            self._responder(400, {"success": False, "message": "Corpo inválido"})
            return
        try:
            corpo = json.loads(self.rfile.read(tamanho) or b"{}")
        except ValueError:
            self._responder(400, {"success": False, "message": "JSON inválido"})
            return
        self._responder(200, buscar(self.registros, corpo))


def criar_servidor(dados, porta: int = 0, host: str = "127.0.0.1") -> ThreadingHTTPServer:
    """Cria o servidor (ainda parado) sobre os registros de `dados`."""
    registros = carregar_dados(dados) if not isinstance(dados, dict) else dados
    handler = type("RegistroHandler", (_Handler,), {"registros": registros})
    servidor = ThreadingHTTPServer((host, porta), handler)
    servidor.daemon_threads = True
    return servidor


def url_base(servidor: ThreadingHTTPServer) -> str:
    host, porta = servidor.server_address[:2]
    return f"http://{host}:{porta}"


def iniciar_em_segundo_plano(dados, porta: int = 0) -> Tuple[ThreadingHTTPServer, str]:
    """Inicia o servidor numa thread; devolve o servidor e a URL base.

    Pare com ``servidor.shutdown(); servidor.server_close()``.
    """
    servidor = criar_servidor(dados, porta)
    threading.Thread(target=servidor.serve_forever, kwargs={"poll_interval": 0.05}, name="registro-local",
                     daemon=True).start()
    return servidor, url_base(servidor)


def apontar_cnpj_para(base: str) -> None:
    """Faz o módulo `cnpj` deste processo consultar o servidor em `base`."""
    from .. import cnpj

    base = base.rstrip("/")
    cnpj.BRASIL_API_URL = base + BRASIL_API_PATH + "{cnpj}"
    cnpj.RECEITA_WS_URL = base + RECEITA_WS_PATH + "{cnpj}"
    cnpj.CASADOSDADOS_API = base + BUSCA_PATH
