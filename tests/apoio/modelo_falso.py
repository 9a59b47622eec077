"""An OpenAI-compatible chat-completions server on 127.0.0.1 that plays a
hosted model for batch tests and benchmarks: a fixed latency per request,
answers for the three extraction questions (the companies and signatory
of the example service contract), and on demand a 429 with Retry-After or a
401 that echoes the key it was sent."""

import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

RESPOSTAS = {
    "ExtracaoEmpresas": {"empresas": [
        {"cnpj": "10.203.040/0001-94", "razao_social": "ALFA SERVIÇOS DE TECNOLOGIA LTDA.", "nome_fantasia": None,
         "endereco": "Rua das Palmeiras, nº 120, Centro, Campinas/SP, CEP 13010-050",
         "papel_no_contrato": "contratante"}]},
    "ExtracaoAssinaturas": {"assinaturas": [
        {"nome_signatario": "JOÃO CARLOS PEREIRA", "cargo": "Sócio Administrador", "cpf": None,
         "empresa_representada": "ALFA SERVIÇOS DE TECNOLOGIA LTDA.", "cnpj_empresa": "10.203.040/0001-94",
         "tipo_assinatura": "representante"}]},
    "ExtracaoDadosContrato": {"tipo_contrato": "Prestação de serviços", "objeto": "Manutenção", "data": None,
                              "vigencia": "12 meses", "valor": "R$ 8.000,00", "foro": "Campinas/SP"},
}

POR_PERGUNTA = {"empresas": RESPOSTAS["ExtracaoEmpresas"], "assinaturas": RESPOSTAS["ExtracaoAssinaturas"],
                "dados_contrato": RESPOSTAS["ExtracaoDadosContrato"]}


class ModeloFalso:
    def __init__(self, latencia=0.0, limitar=0, recusar_chave=False):
        self.latencia = latencia
        self.limitar = limitar            # the first `limitar` requests get a 429
        self.recusar_chave = recusar_chave
        self.pedidos = 0
        self.recebeu = threading.Event()
        self._trava = threading.Lock()
        dono = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_POST(self):
                corpo = json.loads(self.rfile.read(int(self.headers.get("Content-Length") or 0)))
                with dono._trava:
                    dono.pedidos += 1
                    n = dono.pedidos
                dono.recebeu.set()
                if dono.recusar_chave:
                    chave = self.headers.get("Authorization", "")[len("Bearer "):]
                    return self._json(401, {"error": {"message": f"Incorrect API key provided: {chave}",
                                                      "type": "invalid_request_error", "code": "invalid_api_key"}})
                if n <= dono.limitar:
                    return self._json(429, {"error": {"message": "Rate limit reached", "type": "requests"}},
                                      {"retry-after": "1"})
                time.sleep(dono.latencia)
                formato = corpo["response_format"]["json_schema"]
                if formato["name"] in RESPOSTAS:
                    resposta = RESPOSTAS[formato["name"]]
                else:  # the three questions in one request, each answer under its question's id
                    resposta = {q: POR_PERGUNTA[q] for q in formato["schema"]["properties"]}
                return self._json(200, {
                    "id": "chatcmpl-1", "object": "chat.completion", "created": 1718000000, "model": corpo["model"],
                    "choices": [{"index": 0, "finish_reason": "stop", "logprobs": None,
                                 "message": {"role": "assistant", "refusal": None,
                                             "content": json.dumps(resposta, ensure_ascii=False)}}],
                    "usage": {"prompt_tokens": 100, "completion_tokens": 20, "total_tokens": 120}})

            def _json(self, status, corpo, cabecalhos=None):
                dados = json.dumps(corpo).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(dados)))
                for k, v in (cabecalhos or {}).items():
                    self.send_header(k, v)
                self.end_headers()
                self.wfile.write(dados)

        self.servidor = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.servidor.daemon_threads = True
        self.servidor.handle_error = lambda pedido, endereco: None  # clients that hang up
        self.servidor.request_queue_size = 128
        self.url = f"http://127.0.0.1:{self.servidor.server_address[1]}/v1"
        threading.Thread(target=self.servidor.serve_forever, daemon=True).start()

    def fechar(self):
        self.servidor.shutdown()
        self.servidor.server_close()
