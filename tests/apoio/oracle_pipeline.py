"""The verification pipeline of ContractChecker written as plain Python
methods: the twin of the native steps, for differential tests and the
pipeline benchmark. Module-level names (the registry functions, the record
classes) are read from the checker module at each use, as the native code
reads them."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Tuple

from lexaro_contract import checker  # type: ignore[import-not-found,unused-ignore]
from lexaro_contract.checker import ContractChecker  # type: ignore[import-not-found,unused-ignore]


def _dobrado(c: Any, valor: Any) -> Any:
    """The checker's folding of a registry text; None when it is not text."""
    if not isinstance(valor, str):
        return None
    n = c._normalizar_texto(valor)
    return n if isinstance(n, str) else None


def _palavras(texto: str) -> List[str]:
    """Runs of alphanumeric characters (str.isalnum); the rest separates them."""
    palavras: List[str] = []
    atual = ""
    for ch in texto:
        if ch.isalnum():
            atual += ch
        elif atual:
            palavras.append(atual)
            atual = ""
    if atual:
        palavras.append(atual)
    return palavras


def titular_individual(c: Any, nome: Any, dados: Any) -> bool:
    """Whether the signatory is the owner of an individual enterprise: its
    natureza jurídica is "Empresário (Individual)" and the company name is the
    signatory's name word for word, the trailing CPF digits left out."""
    natureza = _dobrado(c, dados.get("natureza_juridica", ""))
    if natureza is None or "empresario (individual)" not in natureza:
        return False
    razao = _dobrado(c, dados.get("razao_social", ""))
    if razao is None:
        return False
    n = _dobrado(c, nome)
    if n is None:
        return False
    do_titular = _palavras(razao)
    while do_titular and all("0" <= ch <= "9" for ch in do_titular[-1]):
        do_titular.pop()
    assinante = _palavras(n)
    return bool(assinante) and assinante == do_titular


class PythonChecker(ContractChecker):  # type: ignore[misc]
    """The pipeline methods (company and signature validation, verificar)
    written as plain Python; the frame and the other steps stay native."""

    def _validar_empresas(self, empresas: List[Any]) -> Tuple[List[Any], Dict[str, Any]]:
        resultados: List[Any] = []
        cache: Dict[str, Any] = {}
        for emp in empresas:
            campos: List[Any] = []
            problemas: List[str] = []
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

    def _validar_assinaturas(self, assinaturas: List[Any], dados_receita_cache: Dict[str, Any]) -> List[Any]:
        resultados: List[Any] = []
        self._log("\n--- Verificando Assinaturas ---", "✍️")
        for ass in assinaturas:
            campos: List[Any] = []
            problemas: List[str] = []
            tem_poder: Any = False
            qualificacao: Any = None
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
                    if not nomes and titular_individual(self, nome, dados):
                        tem_poder = True
                        campos.append(checker.CampoVerificado(
                            campo="Poder de Assinatura", status="aprovado", valor_contrato=nome,
                            valor_receita="Titular da empresa individual",
                            mensagem="Signatário é o titular da empresa individual"))
                        self._log(f"✅ {nome} TEM PODER (Titular da empresa individual)", "")
                    else:
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

    def verificar(self, documento: Any) -> Dict[str, Any]:
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
        ap: List[str] = []
        rep: List[str] = []
        pend: List[str] = []
        donos: Tuple[Tuple[List[Any], Callable[[Any], Any]], ...] = (
            (validadas, lambda e: e.razao_social_receita or e.razao_social_contrato or e.cnpj),
            (assinadas, lambda a: a.nome_signatario))
        for grupo, dono_de in donos:
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
