#!/usr/bin/env python3
"""One verification end to end: native ContractChecker.verificar against the
same pipeline written as plain Python methods, with a fake extraction engine
and an in-process fake registry (no network, no PDF parsing).

Run: PYTHONPATH=src python3 benchmarks/bench_pipeline.py

The contract has 3 companies (two found by CNPJ, one by name) and 6
signatories (partners, a non-partner, a witness, an unidentified one and one
of an unknown company); verbose is off. The fakes' own time (engine answers,
registry look-ups) is measured alone and subtracted, so "checker time" is the
pipeline itself: validation, records, aggregation and the result mapping.
The address comparison stays the module's native one. Target: native checker
time under 200 microseconds per verification.
"""
import tempfile
import timeit
from pathlib import Path
from types import SimpleNamespace

ROOT = Path(__file__).resolve().parent.parent

from lexaro_contract import checker  # noqa: E402
from lexaro_contract.checker import ContractChecker  # noqa: E402

REPEATS = 15
NUMBER = 200


def socio(nome, qualificacao, rep="", qrep=""):
    return {
        "nome": nome,
        "qualificacao": qualificacao,
        "data_entrada": "2018-05-02",
        "cpf_representante": "",
        "nome_representante": rep,
        "qualificacao_representante": qrep,
    }


def registro(cnpj, razao, situacao, endereco, socios):
    return {
        "fonte": "BrasilAPI",
        "cnpj": cnpj,
        "razao_social": razao,
        "nome_fantasia": "",
        "situacao": situacao,
        "data_situacao": "2018-05-02",
        "data_abertura": "2018-05-02",
        "natureza_juridica": "Sociedade Empresária Limitada",
        "porte": "DEMAIS",
        "capital_social": 250000,
        "endereco": endereco,
        "email": "",
        "socios": socios,
    }


def endereco(logradouro, numero, bairro, cidade, cep):
    return {"logradouro": logradouro, "numero": numero, "complemento": "", "bairro": bairro, "cidade": cidade,
            "uf": "SP", "cep": cep}


POR_CNPJ = {
    "11222333000181": registro(
        "11.222.333/0001-81", "AURORA TECNOLOGIA LTDA", "ATIVA",
        endereco("DAS ACACIAS", "120", "JARDIM PRIMAVERA", "CAMPINAS", "13000100"),
        [socio("MARCOS VINICIUS PRADO", "Sócio-Administrador"), socio("HELENA PRADO", "Sócio")]),
    "44555666000102": registro(
        "44.555.666/0001-02", "BOREAL LOGISTICA S.A.", "BAIXADA",
        endereco("AV DOS ESTIVADORES", "S/N", "PORTO", "SANTOS", "11010000"),
        [socio("RENATA DUARTE", "10-Diretor"), socio("CARLOS EDUARDO LIMA", "16-Presidente")]),
}
POR_NOME = {
    "Cidra Alimentos Eireli": registro(
        "77.888.999/0001-55", "CIDRA ALIMENTOS LTDA", "ATIVA",
        endereco("XV DE NOVEMBRO", "45", "CENTRO", "RIBEIRAO PRETO", "14010000"),
        [socio("HELENA CASTRO", "Sócio-Administrador"),
         socio("PARTICIPACOES XYZ LTDA", "Sócio", "LUCIA FERRAZ", "Administrador")]),
}


def consultar_cnpj(cnpj):
    return POR_CNPJ.get(cnpj)


def buscar_cnpj_por_nome(nome):
    return POR_NOME.get(nome)


RESPOSTAS = {
    "empresas": {"empresas": [
        {"cnpj": "11.222.333/0001-81", "razao_social": "Aurora Tecnologia Ltda",
         "endereco": "Rua das Acácias, 120 - Jardim Primavera, Campinas/SP, CEP 13000-100",
         "papel_no_contrato": "contratante"},
        {"cnpj": "44.555.666/0001-02", "razao_social": "Boreal Logística S.A.", "papel_no_contrato": "contratada"},
        {"cnpj": "77.888.999/0001-10", "razao_social": "Cidra Alimentos Eireli",
         "endereco": "Avenida Brasil, 500 - Centro, Ribeirão Preto/SP", "papel_no_contrato": "interveniente"},
    ]},
    "assinaturas": {"assinaturas": [
        {"nome_signatario": "Marcos Vinícius Prado", "cargo": "Sócio-Administrador",
         "empresa_representada": "Aurora Tecnologia Ltda", "cnpj_empresa": "11.222.333/0001-81",
         "tipo_assinatura": "representante"},
        {"nome_signatario": "Otávio Mendes", "cargo": "Diretor", "empresa_representada": "BOREAL LOGÍSTICA S.A.",
         "tipo_assinatura": "representante"},
        {"nome_signatario": "Lúcia Ferraz", "cargo": "Procuradora", "empresa_representada": "Cidra Alimentos",
         "tipo_assinatura": "representante"},
        {"nome_signatario": "Paulo Henrique Dias", "tipo_assinatura": "Testemunha"},
        {"nome_signatario": "N/A", "tipo_assinatura": "testemunha"},
        {"nome_signatario": "Sérgio Tavares", "empresa_representada": "Fantasma Participações"},
    ]},
    "dados_contrato": {"tipo_contrato": "Prestação de serviços", "valor": "R$ 120.000,00"},
}


class Pergunta:
    __slots__ = ("raw_result",)

    def __init__(self, raw):
        self.raw_result = raw


class Documento:
    total_metrics = SimpleNamespace(tokens=18342, cost_usd=0.0461, time_seconds=12.345)
    _perguntas = {k: Pergunta(v) for k, v in RESPOSTAS.items()}

    def get_result(self, qid):
        return self._perguntas.get(qid)


class Motor:
    _doc = Documento()

    def process(self, path):
        return self._doc


# ---------------------------------------------------------------- the plain Python pipeline

class PythonChecker(ContractChecker):
    """The four pipeline methods written as plain Python; the frame stays native."""

    def _validar_empresas(self, empresas):
        resultados = []
        cache = {}
        for emp in empresas:
            campos, problemas = [], []
            self._log(f"\n--- Verificando: {emp.razao_social or 'Empresa'} ---", "🏢")
            dados = None
            cnpj = emp.cnpj
            por_nome = False
            if cnpj and checker.validar_cnpj(checker.limpar_cnpj(cnpj)):
                limpo = checker.limpar_cnpj(cnpj)
                self._log(f"Consultando CNPJ {checker.formatar_cnpj(limpo)}...", "🔍")
                dados = checker.consultar_cnpj(limpo)
            if not dados and emp.razao_social:
                self._log(f"Buscando por nome: {emp.razao_social}...", "🔎")
                dados = checker.buscar_cnpj_por_nome(emp.razao_social)
                if dados:
                    cnpj = dados.get("cnpj", "")
                    self._log(f"✅ Encontrado: {cnpj}", "")
                    por_nome = True
            if not dados:
                campos.append(checker.CampoVerificado(
                    campo="CNPJ", status="reprovado", valor_contrato=emp.cnpj or "(não informado)",
                    mensagem="CNPJ não encontrado na Receita Federal"))
                problemas.append("CNPJ não encontrado")
                resultados.append(checker.EmpresaVerificada(
                    cnpj=emp.cnpj or "", razao_social_contrato=emp.razao_social,
                    papel_no_contrato=emp.papel_no_contrato, campos=campos, problemas=problemas))
                continue
            diverge = bool(por_nome and emp.cnpj and checker.limpar_cnpj(emp.cnpj)
                           != (checker.limpar_cnpj(cnpj) if cnpj else ""))
            campos.append(checker.CampoVerificado(
                campo="CNPJ", status="pendente" if diverge else "aprovado",
                valor_contrato=emp.cnpj or "(buscado automaticamente)", valor_receita=dados.get("cnpj"),
                mensagem="CNPJ do contrato não encontrado; empresa localizada pelo nome" if diverge
                else "CNPJ encontrado"))
            if diverge:
                problemas.append("CNPJ do contrato não confere com o registro")
            situacao = dados.get("situacao", "").upper()
            ativa = "ATIVA" in situacao
            campos.append(checker.CampoVerificado(
                campo="Situação Cadastral", status="aprovado" if ativa else "reprovado", valor_contrato="-",
                valor_receita=situacao, mensagem=f"Empresa {'ATIVA' if ativa else situacao}"))
            if not ativa:
                problemas.append(f"Empresa com situação: {situacao}")
            razao_receita = dados.get("razao_social", "")
            confere = self._comparar_nomes(emp.razao_social or "", razao_receita)
            campos.append(checker.CampoVerificado(
                campo="Razão Social", status="aprovado" if confere else "pendente",
                valor_contrato=emp.razao_social, valor_receita=razao_receita,
                mensagem="Confere" if confere else "Divergente"))
            if emp.endereco:
                ok, sim, end_receita = checker.comparar_enderecos(emp.endereco, dados)
                campos.append(checker.CampoVerificado(
                    campo="Endereço", status="aprovado" if ok else "pendente", valor_contrato=emp.endereco,
                    valor_receita=end_receita, mensagem=f"Similaridade: {sim:.0%}"))
            limpo = checker.limpar_cnpj(cnpj) if cnpj else ""
            if limpo:
                cache[limpo] = dados
            if emp.razao_social:
                cache[self._normalizar_texto(emp.razao_social)] = dados
            resultados.append(checker.EmpresaVerificada(
                cnpj=dados.get("cnpj", ""), razao_social_contrato=emp.razao_social,
                razao_social_receita=razao_receita, papel_no_contrato=emp.papel_no_contrato, campos=campos,
                cnpj_encontrado=True, cnpj_buscado_por_nome=por_nome, empresa_ativa=ativa,
                razao_social_confere=confere, socios=dados.get("socios", []), problemas=problemas))
        return resultados, cache

    def _validar_assinaturas(self, assinaturas, dados_receita_cache):
        resultados = []
        self._log("\n--- Verificando Assinaturas ---", "✍️")
        for ass in assinaturas:
            campos, problemas = [], []
            tem_poder, qualificacao = False, None
            nome = ass.nome_signatario
            if not nome or nome == "N/A":
                campos.append(checker.CampoVerificado(campo="Identificação", status="nao_verificado",
                                                      mensagem="Signatário não identificado"))
                resultados.append(checker.AssinaturaVerificada(
                    nome_signatario="(não identificado)", tipo_assinatura=ass.tipo_assinatura, campos=campos,
                    problemas=["Signatário não identificado"]))
                continue
            self._log(f"Verificando: {nome}", "👤")
            testemunha = any(v and "testemunha" in self._normalizar_texto(v)
                             for v in (ass.tipo_assinatura, ass.cargo))
            if testemunha:
                campos.append(checker.CampoVerificado(
                    campo="Poder de Assinatura", status="nao_verificado", valor_contrato=nome,
                    mensagem="Testemunha: poder de assinatura não exigido"))
                self._log(f"ℹ️ {nome} - testemunha", "")
            else:
                dados = None
                if ass.cnpj_empresa:
                    dados = dados_receita_cache.get(checker.limpar_cnpj(ass.cnpj_empresa))
                if not dados and ass.empresa_representada:
                    dados = dados_receita_cache.get(self._normalizar_texto(ass.empresa_representada))
                if dados:
                    tem_poder, qualificacao = self._verificar_poder_assinatura(nome, dados)
                else:
                    for registro_ in dados_receita_cache.values():
                        tem_poder, qualificacao = self._verificar_poder_assinatura(nome, registro_)
                        if tem_poder:
                            dados = registro_
                            break
                if tem_poder:
                    campos.append(checker.CampoVerificado(
                        campo="Poder de Assinatura", status="aprovado", valor_contrato=nome,
                        valor_receita=qualificacao or "Encontrado no QSA",
                        mensagem=f"Signatário tem poder ({qualificacao or 'Sócio/Admin'})"))
                    self._log(f"✅ {nome} TEM PODER ({qualificacao})", "")
                elif dados:
                    nomes = [s.get("nome", "") for s in dados.get("socios", [])[:3]]
                    campos.append(checker.CampoVerificado(
                        campo="Poder de Assinatura", status="reprovado", valor_contrato=nome,
                        valor_receita=f"QSA: {', '.join(nomes)}..." if nomes else "QSA vazio",
                        mensagem="Signatário NÃO encontrado no QSA"))
                    problemas.append("Signatário sem poder de assinatura")
                    self._log(f"❌ {nome} NÃO TEM PODER", "")
                else:
                    campos.append(checker.CampoVerificado(
                        campo="Poder de Assinatura", status="pendente", valor_contrato=nome,
                        mensagem="Não foi possível verificar"))
                    self._log(f"⚠️ {nome} - não foi possível verificar", "")
            resultados.append(checker.AssinaturaVerificada(
                nome_signatario=nome, cargo=ass.cargo, empresa_representada=ass.empresa_representada,
                cnpj_empresa=ass.cnpj_empresa, tipo_assinatura=ass.tipo_assinatura, campos=campos,
                tem_poder_assinatura=tem_poder, qualificacao_qsa=qualificacao, problemas=problemas))
        return resultados

    def verificar(self, documento):
        path = checker.Path(documento)
        if not path.exists():
            raise FileNotFoundError(f"Arquivo não encontrado: {path}")
        self._log("\n" + "=" * 60, "")
        self._log("VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO", "🔍")
        self._log(f"Arquivo: {path.name}", "📄")
        self._log("=" * 60, "")
        if not self._init_lexaro():
            raise RuntimeError("engine unavailable")
        self._log("\n📤 Extraindo dados do contrato...", "")
        result = self._client.process(str(path))
        r_emp = result.get_result("empresas")
        r_ass = result.get_result("assinaturas")
        r_dados = result.get_result("dados_contrato")
        empresas = [checker.EmpresaExtraida(**e) for e in r_emp.raw_result.get("empresas", [])] \
            if r_emp and r_emp.raw_result else []
        assinaturas = [checker.AssinaturaExtraida(**a) for a in r_ass.raw_result.get("assinaturas", [])] \
            if r_ass and r_ass.raw_result else []
        dados_contrato = r_dados.raw_result if r_dados and r_dados.raw_result else {}
        self._log(f"Empresas extraídas: {len(empresas)}", "🏢")
        self._log(f"Assinaturas extraídas: {len(assinaturas)}", "✍️")
        self._log("\n🔍 Validando empresas na Receita Federal...", "")
        validadas, cache = self._validar_empresas(empresas)
        assinadas = self._validar_assinaturas(assinaturas, cache)
        ap, rep, pend = [], [], []
        for grupo, dono_de in ((validadas, lambda e: e.razao_social_receita or e.razao_social_contrato or e.cnpj),
                               (assinadas, lambda a: a.nome_signatario)):
            for rec in grupo:
                dono = dono_de(rec)
                for c in rec.campos:
                    item = f"{c.campo} - {dono}"
                    if c.status == "aprovado":
                        ap.append(item)
                    elif c.status == "reprovado":
                        rep.append(item)
                    elif c.status == "pendente":
                        pend.append(item)
        total = len(ap) + len(rep) + len(pend)
        if rep:
            final, just = "REPROVADO", f"{len(rep)} campo(s) reprovado(s)"
        elif pend:
            final, just = "PENDENTE", f"{len(pend)} campo(s) requer(em) análise manual"
        elif total == 0:
            final, just = "PENDENTE", "Nenhum campo verificado: nenhuma empresa ou signatário identificado no contrato"
        else:
            final, just = "APROVADO", f"Todos os {len(ap)} campos verificados foram aprovados"
        m = result.total_metrics
        if self.verbose:
            self._imprimir_relatorio(resultado_final=final, justificativa=just, campos_aprovados=ap,
                                     campos_reprovados=rep, campos_pendentes=pend, empresas=validadas,
                                     assinaturas=assinadas, dados_contrato=dados_contrato, metricas=m)
        return {
            "resultado_final": final, "justificativa": just, "campos_aprovados": ap, "campos_reprovados": rep,
            "campos_pendentes": pend, "total_campos": total, "total_aprovados": len(ap),
            "total_reprovados": len(rep), "total_pendentes": len(pend),
            "empresas": [e.model_dump() for e in validadas], "assinaturas": [a.model_dump() for a in assinadas],
            "dados_contrato": dados_contrato,
            "metricas": {"tokens": m.tokens, "custo_usd": m.cost_usd, "tempo_segundos": m.time_seconds},
        }


def preparar(cls):
    c = cls.__new__(cls)
    c.verbose = False
    c.model = "gpt-4o"
    c.usar_ai_search = True
    c._auth = None
    c._client = Motor()
    c._lexaro_available = True
    return c


def fakes_only(path):
    # What the fakes cost in one verification: one engine run, three answers,
    # the registry look-ups of the three companies.
    doc = Motor().process(path)
    for q in ("empresas", "assinaturas", "dados_contrato"):
        doc.get_result(q)
    consultar_cnpj("11222333000181")
    consultar_cnpj("44555666000102")
    consultar_cnpj("77888999000110")
    buscar_cnpj_por_nome("Cidra Alimentos Eireli")


class Leve(SimpleNamespace):
    """A record stand-in built in C: keyword construction, attribute reads, model_dump."""

    cnpj = razao_social = endereco = papel_no_contrato = nome_fantasia = None
    nome_signatario = cargo = cpf = empresa_representada = cnpj_empresa = tipo_assinatura = None
    razao_social_contrato = razao_social_receita = valor_contrato = valor_receita = None
    emoji = ""

    def model_dump(self):
        return dict(self.__dict__)


REGISTROS = ("EmpresaExtraida", "AssinaturaExtraida", "CampoVerificado", "EmpresaVerificada", "AssinaturaVerificada")


def usar_registros(classes):
    for n, cls in classes.items():
        setattr(checker, n, cls)


def main():
    checker.consultar_cnpj = consultar_cnpj
    checker.buscar_cnpj_por_nome = buscar_cnpj_por_nome
    pydantic_ = {n: getattr(checker, n) for n in REGISTROS}
    leves = {n: Leve for n in REGISTROS}
    with tempfile.TemporaryDirectory() as d:
        pdf = Path(d) / "contrato.pdf"
        pdf.write_bytes(b"%PDF-1.4\n%%EOF\n")
        nativo, python = preparar(ContractChecker), preparar(PythonChecker)
        for classes in (leves, pydantic_):
            usar_registros(classes)
            r_n, r_p = nativo.verificar(pdf), python.verificar(pdf)
            assert r_n == r_p, "native and plain Python results differ"
            assert (r_n["total_aprovados"], r_n["total_reprovados"], r_n["total_pendentes"]) == (10, 2, 3)

        # The machine is shared: the configurations are interleaved within
        # each repeat, and the minimum over repeats is reported.
        casos = {
            "fakes": (None, lambda: fakes_only(str(pdf))),
            "py": (pydantic_, lambda: python.verificar(pdf)),
            "nat": (pydantic_, lambda: nativo.verificar(pdf)),
            "py_leve": (leves, lambda: python.verificar(pdf)),
            "nat_leve": (leves, lambda: nativo.verificar(pdf)),
        }
        tempos = {k: [] for k in casos}
        for _ in range(REPEATS):
            for k, (classes, f) in casos.items():
                if classes:
                    usar_registros(classes)
                tempos[k].append(timeit.timeit(f, number=NUMBER) / NUMBER * 1e6)
        usar_registros(pydantic_)
    t = {k: min(v) for k, v in tempos.items()}
    t_fakes, t_py, t_nat, t_py_leve, t_nat_leve = t["fakes"], t["py"], t["nat"], t["py_leve"], t["nat_leve"]

    entrada = "3 companies, 6 signers"
    print(f"{'operation':<50} {'input':<22} {'python µs':>10} {'native µs':>10} {'ratio':>6}")
    linhas = [
        ("verificar, pydantic records (total)", t_py, t_nat),
        ("verificar, pydantic records (minus fakes)", t_py - t_fakes, t_nat - t_fakes),
        ("verificar, C-level record stand-ins (minus fakes)", t_py_leve - t_fakes, t_nat_leve - t_fakes),
    ]
    for nome, tp, tn in linhas:
        print(f"{nome:<50} {entrada:<22} {tp:>10.1f} {tn:>10.1f} {tp / tn:>5.2f}x")
    print(f"{'fakes alone (engine answers, registry)':<50} {'':<22} {t_fakes:>10.1f}")
    print(f"{'pydantic records + model_dump (difference)':<50} {'':<22} {t_py - t_py_leve:>10.1f} "
          f"{t_nat - t_nat_leve:>10.1f}")
    print(f"native checker time: {t_nat - t_fakes:.1f} µs with the pydantic records, "
          f"{t_nat_leve - t_fakes:.1f} µs without their own cost (target < 200 µs)")


if __name__ == "__main__":
    main()
