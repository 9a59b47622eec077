"""A fonte de registros de uma pasta de arquivos JSON.

Cada ``*.json`` da pasta traz um registro no formato da BrasilAPI ou uma lista
deles. Tudo é lido e conferido ao abrir: um arquivo que não é JSON, um registro
sem CNPJ, um campo de texto que não é texto, um ``qsa`` que não é lista de
objetos ou um CNPJ repetido recusam a pasta inteira, com o arquivo, o registro e
o motivo. Servir metade de uma pasta, ou um registro que quebra a rota da
ReceitaWS no meio de um lote, seria pior do que não subir.
"""

from __future__ import annotations

import bisect
import json
import re
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

from ...keywords import normalizar_texto
from ..fonte import Ficha, chave_texto, cnpj_valido

_PONTUACAO = re.compile(r"[^\w\s]")

# Campos que o módulo `cnpj` e as formas de resposta leem como texto (ou null).
_CAMPOS_TEXTO = (
    "razao_social", "nome_fantasia", "descricao_situacao_cadastral", "natureza_juridica", "porte",
    "descricao_tipo_de_logradouro", "logradouro", "numero", "complemento", "bairro", "municipio", "uf",
    "cep", "email", "ddd_telefone_1", "data_situacao_cadastral", "data_inicio_atividade",
)
_CAMPOS_TEXTO_SOCIO = ("nome_socio", "qualificacao_socio", "nome_representante_legal",
                       "qualificacao_representante_legal", "cnpj_cpf_do_socio", "data_entrada_sociedade")

CaminhoOuTexto = Union[str, Path]


class ErroDeDados(ValueError):
    """Um arquivo de dados que não pode ser servido: arquivo, registro e motivo."""


def termo_de_busca(texto: str) -> str:
    """Sem acentos, minúsculas, pontuação como espaço, espaços simples."""
    return " ".join(_PONTUACAO.sub(" ", normalizar_texto(texto)).split())


def _tipo(valor: Any) -> str:
    return {dict: "objeto", list: "lista", bool: "booleano", int: "número", float: "número"}.get(
        type(valor), type(valor).__name__)


def _conferir(item: Any, onde: str) -> str:
    """A chave do registro; ErroDeDados com `onde` e o motivo se ele não serve."""
    if not isinstance(item, dict):
        raise ErroDeDados(f"{onde}: o registro deve ser um objeto JSON, não {_tipo(item)}")
    cnpj = item.get("cnpj")
    if not isinstance(cnpj, str):
        raise ErroDeDados(f"{onde}: registro sem 'cnpj' de texto")
    chave = chave_texto(cnpj)
    if not cnpj_valido(chave):
        raise ErroDeDados(f"{onde}: 'cnpj' inválido: {cnpj!r}")
    for campo in _CAMPOS_TEXTO:
        valor = item.get(campo)
        if valor is not None and not isinstance(valor, str):
            raise ErroDeDados(f"{onde} (CNPJ {chave}): '{campo}' deve ser texto ou null, não {_tipo(valor)}")
    capital = item.get("capital_social")
    if capital is not None and (isinstance(capital, bool) or not isinstance(capital, (int, float))):
        raise ErroDeDados(f"{onde} (CNPJ {chave}): 'capital_social' deve ser número, não {_tipo(capital)}")
    qsa = item.get("qsa", [])
    if not isinstance(qsa, list):
        raise ErroDeDados(f"{onde} (CNPJ {chave}): 'qsa' deve ser uma lista, não {_tipo(qsa)}")
    for j, socio in enumerate(qsa, 1):
        if not isinstance(socio, dict):
            raise ErroDeDados(f"{onde} (CNPJ {chave}): o sócio {j} de 'qsa' deve ser um objeto, não {_tipo(socio)}")
        for campo in _CAMPOS_TEXTO_SOCIO:
            valor = socio.get(campo)
            if valor is not None and not isinstance(valor, str):
                raise ErroDeDados(f"{onde} (CNPJ {chave}): '{campo}' do sócio {j} deve ser texto ou null, "
                                  f"não {_tipo(valor)}")
    return chave


def _ler_arquivo(arquivo: Path) -> Any:
    try:
        texto = arquivo.read_text(encoding="utf-8")
    except UnicodeDecodeError as e:
        raise ErroDeDados(f"{arquivo}: não está em UTF-8 (byte {e.start})") from None
    except OSError as e:
        raise ErroDeDados(f"{arquivo}: não foi possível ler ({e.strerror or e})") from None
    try:
        return json.loads(texto)
    except json.JSONDecodeError as e:
        raise ErroDeDados(f"{arquivo}, linha {e.lineno}, coluna {e.colno}: JSON inválido ({e.msg})") from None
    except RecursionError:
        raise ErroDeDados(f"{arquivo}: JSON aninhado demais para ser um registro") from None


class PastaJson:
    """Registros de uma pasta de JSON, em memória, com a busca por nome."""

    # Quantos registros de cada nível de casamento a busca guarda. Com nomes
    # muito comuns (milhares de filiais de uma rede com o mesmo nome fantasia),
    # a varredura segue linear e a memória fica limitada.
    MAX_CANDIDATOS = 200
    # Quantos registros que contêm o termo a busca examina, no máximo: um termo
    # presente em quase todos os nomes ("comercio") custa o mesmo que um raro.
    MAX_EXAMINADOS = 5000

    def __init__(self, registros: Mapping[str, Ficha], origem: str = "") -> None:
        self.registros: Dict[str, Ficha] = dict(registros)
        self.origem = origem
        # Os nomes de todos os registros num texto só, "\n" razão "\t" fantasia
        # por registro: a procura do termo corre em str.find (C, sem laço em
        # Python por registro) e só os registros que o contêm custam alguma coisa.
        # Um termo normalizado não tem "\n" nem "\t", então não casa através
        # de dois campos nem de dois registros.
        self._lista: List[Ficha] = list(self.registros.values())
        self._nomes: List[Tuple[str, str]] = []
        self._filtros: List[Tuple[str, str]] = [
            ((r.get("uf") or "").upper(), (r.get("descricao_situacao_cadastral") or "").upper()) for r in self._lista]
        self._inicios: List[int] = []
        self._exatos: Dict[str, List[int]] = {}  # nome igual ao termo: achado sem varredura
        partes: List[str] = []
        pos = 0
        for r in self._lista:
            razao = termo_de_busca(r.get("razao_social") or "")
            fantasia = termo_de_busca(r.get("nome_fantasia") or "")
            self._nomes.append((razao, fantasia))
            for n in {razao, fantasia} - {""}:
                self._exatos.setdefault(n, []).append(len(self._nomes) - 1)
            self._inicios.append(pos)
            parte = f"\n{razao}\t{fantasia}"
            partes.append(parte)
            pos += len(parte)
        self._texto = "".join(partes)

    @classmethod
    def abrir(cls, diretorio: CaminhoOuTexto) -> "PastaJson":
        return cls(carregar_dados(diretorio), str(diretorio))

    def consultar(self, cnpj: str) -> Optional[Ficha]:
        return self.registros.get(chave_texto(cnpj))

    def buscar(self, nome: str, uf: Optional[str] = None, situacao: Optional[str] = None,
               limite: int = 20) -> List[Ficha]:
        """Nome igual primeiro, depois os que começam pelo termo, depois os que o contêm."""
        termo = termo_de_busca(nome)
        if not termo or limite <= 0:
            return []
        uf_ = uf.upper() if uf else ""
        situacao_ = situacao.upper() if situacao else ""
        cota = min(limite, self.MAX_CANDIDATOS)
        niveis: Tuple[List[Ficha], List[Ficha], List[Ficha]] = ([], [], [])
        texto, inicios, total = self._texto, self._inicios, len(self._lista)
        filtros, examinar = self._filtros, self.MAX_EXAMINADOS

        def passa(i: int) -> bool:
            uf_reg, sit_reg = filtros[i]
            return (not uf_ or uf_reg == uf_) and (not situacao_ or sit_reg == situacao_)

        for i in self._exatos.get(termo, ()):
            if passa(i):
                niveis[0].append(self._lista[i])
                if len(niveis[0]) == limite:
                    return niveis[0]
        pos = texto.find(termo)
        while pos >= 0 and examinar > 0:
            examinar -= 1
            i = bisect.bisect_right(inicios, pos) - 1
            razao, fantasia = self._nomes[i]
            if termo != razao and termo != fantasia and passa(i):
                nivel = 1 if razao.startswith(termo) or fantasia.startswith(termo) else 2
                if len(niveis[nivel]) < cota:
                    niveis[nivel].append(self._lista[i])
            pos = texto.find(termo, inicios[i + 1] if i + 1 < total else len(texto))
        return (niveis[0] + niveis[1] + niveis[2])[:limite]

    def info(self) -> Dict[str, Any]:
        return {"fonte": "pasta JSON", "pasta": self.origem, "empresas": len(self.registros)}

    def close(self) -> None:
        pass


def carregar_dados(diretorio: CaminhoOuTexto) -> Dict[str, Ficha]:
    """Lê e confere os registros de um diretório, indexados pelo CNPJ sem pontuação.

    FileNotFoundError se o diretório não existe, NotADirectoryError se o caminho
    é um arquivo, ErroDeDados (um ValueError) para o primeiro problema nos dados.
    """
    pasta = Path(diretorio)
    if not pasta.exists():
        raise FileNotFoundError(f"Diretório de dados não encontrado: {pasta}")
    if not pasta.is_dir():
        raise NotADirectoryError(f"{pasta} é um arquivo, não um diretório: --dados espera a pasta dos *.json")
    registros: Dict[str, Ficha] = {}
    origem: Dict[str, str] = {}
    for arquivo in sorted(pasta.glob("*.json")):
        conteudo = _ler_arquivo(arquivo)
        lista = isinstance(conteudo, list)
        itens = conteudo if lista else [conteudo]
        for i, item in enumerate(itens, 1):
            onde = f"{arquivo}, registro {i}" if lista else str(arquivo)
            chave = _conferir(item, onde)
            if chave in registros:
                raise ErroDeDados(f"{onde}: CNPJ {chave} repetido (já em {origem[chave]})")
            registros[chave] = item
            origem[chave] = onde
    return registros
