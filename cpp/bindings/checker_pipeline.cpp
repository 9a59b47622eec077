// ContractChecker.verificar: the pipeline (extraction by the engine, company
// and signature validation, the verdict from the aggregated fields, the
// report when verbose) and the module function verificar_contrato.
#include "bindings/checker_pipeline.hpp"

namespace lexaro::checker {

namespace {

// The records of one answer list: cls(**entry) for each entry under `key`.
py::object extrair(PyObject* question_result, PyObject* key, PyObject* cls_name) {
    py::object registros = new_list();
    if (!truthy(question_result)) return registros;
    py::object raw = getattr(question_result, LEXARO_NAME("raw_result"));
    if (!truthy(raw.ptr())) return registros;
    py::object entradas = bind::mapping_get(raw, key, new_list().ptr());
    bind::for_each(entradas.ptr(), [&](PyObject* entrada) {
        py::object cls = bind::global(cls_name);
        append(registros, bind::call_with_mapping(cls.ptr(), entrada).ptr());
    });
    return registros;
}

// Sorts the items "campo - owner" of each record into the three lists.
void agregar(PyObject* registros, bool empresas, PyObject* aprovados, PyObject* reprovados, PyObject* pendentes) {
    bind::for_each(registros, [&](PyObject* rec) {
        py::object dono;
        if (empresas) {
            dono = getattr(rec, LEXARO_NAME("razao_social_receita"));
            if (!truthy(dono.ptr())) {
                dono = getattr(rec, LEXARO_NAME("razao_social_contrato"));
                if (!truthy(dono.ptr())) dono = getattr(rec, LEXARO_NAME("cnpj"));
            }
        } else {
            dono = getattr(rec, LEXARO_NAME("nome_signatario"));
        }
        py::object dono_txt = fstring<"{}">(dono);
        py::object campos = getattr(rec, LEXARO_NAME("campos"));
        bind::for_each(campos.ptr(), [&](PyObject* c) {
            py::object nome_campo = getattr(c, LEXARO_NAME("campo"));
            py::object item = fstring<"{} - {}">(nome_campo, dono_txt);
            py::object status = getattr(c, LEXARO_NAME("status"));
            if (bind::equal(status.ptr(), LEXARO_NAME("aprovado")))
                append(aprovados, item.ptr());
            else if (bind::equal(status.ptr(), LEXARO_NAME("reprovado")))
                append(reprovados, item.ptr());
            else if (bind::equal(status.ptr(), LEXARO_NAME("pendente")))
                append(pendentes, item.ptr());
        });
    });
}

// [r.model_dump() for r in registros]
py::object dumps(PyObject* registros) {
    py::object out = new_list();
    bind::for_each(registros, [&](PyObject* rec) { append(out, call_method(rec, LEXARO_NAME("model_dump")).ptr()); });
    return out;
}

py::object verificar(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"self", nullptr}, {"documento", nullptr}};
    PyObject* a[2];
    bind::bind_method("ContractChecker.verificar", self, args, nargs, kwnames, params, 2, a);
    self = a[0];

    PyObject* const vazio = LEXARO_NAME("");
    py::object path = bind::call(bind::global(LEXARO_NAME("Path")).ptr(), {a[1]});
    if (!truthy(call_method(path.ptr(), LEXARO_NAME("exists")).ptr())) {
        PyErr_SetObject(PyExc_FileNotFoundError, fstring<"Arquivo não encontrado: {}">(path).ptr());
        throw py::error_already_set();
    }

    log(self, LEXARO_NAME("\n============================================================"), vazio);
    log(self, LEXARO_NAME("VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO"), LEXARO_NAME("🔍"));
    log(self, fstring<"Arquivo: {}">(getattr(path, LEXARO_NAME("name"))), LEXARO_NAME("📄"));
    log(self, LEXARO_NAME("============================================================"), vazio);

    if (!truthy(call_method(self, LEXARO_NAME("_init_lexaro")).ptr())) {
        return bind::dict_of({
            {LEXARO_NAME("resultado_final"), LEXARO_NAME("PENDENTE")},
            {LEXARO_NAME("justificativa"), LEXARO_NAME("Lexaro não disponível. Instale com: pip install lexaro")},
            {LEXARO_NAME("campos_aprovados"), new_list().ptr()},
            {LEXARO_NAME("campos_reprovados"), new_list().ptr()},
            {LEXARO_NAME("campos_pendentes"), bind::list_of({LEXARO_NAME("Extração de dados não disponível")}).ptr()},
            {LEXARO_NAME("empresas"), new_list().ptr()},
            {LEXARO_NAME("assinaturas"), new_list().ptr()},
        });
    }

    log(self, LEXARO_NAME("\n📤 Extraindo dados do contrato..."), vazio);
    py::object client = getattr(self, LEXARO_NAME("_client"));
    py::object path_txt = steal(PyObject_Str(path.ptr()));
    py::object resultado = call_method(client.ptr(), LEXARO_NAME("process"), path_txt.ptr());

    py::object r_empresas = call_method(resultado.ptr(), LEXARO_NAME("get_result"), LEXARO_NAME("empresas"));
    py::object r_assinaturas = call_method(resultado.ptr(), LEXARO_NAME("get_result"), LEXARO_NAME("assinaturas"));
    py::object r_dados = call_method(resultado.ptr(), LEXARO_NAME("get_result"), LEXARO_NAME("dados_contrato"));

    py::object empresas = extrair(r_empresas.ptr(), LEXARO_NAME("empresas"), LEXARO_NAME("EmpresaExtraida"));
    py::object assinaturas =
        extrair(r_assinaturas.ptr(), LEXARO_NAME("assinaturas"), LEXARO_NAME("AssinaturaExtraida"));
    py::object dados_contrato = bind::new_dict();
    if (truthy(r_dados.ptr())) {
        py::object raw = getattr(r_dados, LEXARO_NAME("raw_result"));
        if (truthy(raw.ptr())) dados_contrato = raw;
    }

    log(self, fstring<"Empresas extraídas: {}">(PyList_GET_SIZE(empresas.ptr())), LEXARO_NAME("🏢"));
    log(self, fstring<"Assinaturas extraídas: {}">(PyList_GET_SIZE(assinaturas.ptr())), LEXARO_NAME("✍️"));

    log(self, LEXARO_NAME("\n🔍 Validando empresas na Receita Federal..."), vazio);
    py::object par = call_method(self, LEXARO_NAME("_validar_empresas"), empresas.ptr());
    py::object partes[2];
    bind::unpack(par.ptr(), 2, partes);
    py::object& empresas_ok = partes[0];
    py::object& cache = partes[1];
    py::object assinaturas_ok = call_method(self, LEXARO_NAME("_validar_assinaturas"), assinaturas.ptr(), cache.ptr());

    py::object aprovados = new_list(), reprovados = new_list(), pendentes = new_list();
    agregar(empresas_ok.ptr(), true, aprovados.ptr(), reprovados.ptr(), pendentes.ptr());
    agregar(assinaturas_ok.ptr(), false, aprovados.ptr(), reprovados.ptr(), pendentes.ptr());

    const Py_ssize_t n_ap = PyList_GET_SIZE(aprovados.ptr());
    const Py_ssize_t n_rep = PyList_GET_SIZE(reprovados.ptr());
    const Py_ssize_t n_pend = PyList_GET_SIZE(pendentes.ptr());
    const Py_ssize_t total = n_ap + n_rep + n_pend;

    PyObject* veredito;
    py::object justificativa;
    if (n_rep > 0) {
        veredito = LEXARO_NAME("REPROVADO");
        justificativa = fstring<"{} campo(s) reprovado(s)">(n_rep);
    } else if (n_pend > 0) {
        veredito = LEXARO_NAME("PENDENTE");
        justificativa = fstring<"{} campo(s) requer(em) análise manual">(n_pend);
    } else if (total == 0) {
        // Nothing was checked: no company and no identifiable signatory.
        veredito = LEXARO_NAME("PENDENTE");
        justificativa =
            borrow(LEXARO_NAME("Nenhum campo verificado: nenhuma empresa ou signatário identificado no contrato"));
    } else {
        veredito = LEXARO_NAME("APROVADO");
        justificativa = fstring<"Todos os {} campos verificados foram aprovados">(n_ap);
    }

    py::object metricas = getattr(resultado, LEXARO_NAME("total_metrics"));
    if (truthy(getattr(self, LEXARO_NAME("verbose")).ptr())) {
        py::object relatorio = getattr(self, LEXARO_NAME("_imprimir_relatorio"));
        bind::call_kw(relatorio.ptr(),
                      KWNAMES("resultado_final", "justificativa", "campos_aprovados", "campos_reprovados",
                              "campos_pendentes", "empresas", "assinaturas", "dados_contrato", "metricas"),
                      {veredito, justificativa.ptr(), aprovados.ptr(), reprovados.ptr(), pendentes.ptr(),
                       empresas_ok.ptr(), assinaturas_ok.ptr(), dados_contrato.ptr(), metricas.ptr()});
    }

    py::object dump_empresas = dumps(empresas_ok.ptr());
    py::object dump_assinaturas = dumps(assinaturas_ok.ptr());
    py::object tokens = getattr(metricas, LEXARO_NAME("tokens"));
    py::object custo = getattr(metricas, LEXARO_NAME("cost_usd"));
    py::object tempo = getattr(metricas, LEXARO_NAME("time_seconds"));
    py::object m = bind::dict_of({
        {LEXARO_NAME("tokens"), tokens.ptr()},
        {LEXARO_NAME("custo_usd"), custo.ptr()},
        {LEXARO_NAME("tempo_segundos"), tempo.ptr()},
    });
    return bind::dict_of({
        {LEXARO_NAME("resultado_final"), veredito},
        {LEXARO_NAME("justificativa"), justificativa.ptr()},
        {LEXARO_NAME("campos_aprovados"), aprovados.ptr()},
        {LEXARO_NAME("campos_reprovados"), reprovados.ptr()},
        {LEXARO_NAME("campos_pendentes"), pendentes.ptr()},
        {LEXARO_NAME("total_campos"), steal(PyLong_FromSsize_t(total)).ptr()},
        {LEXARO_NAME("total_aprovados"), steal(PyLong_FromSsize_t(n_ap)).ptr()},
        {LEXARO_NAME("total_reprovados"), steal(PyLong_FromSsize_t(n_rep)).ptr()},
        {LEXARO_NAME("total_pendentes"), steal(PyLong_FromSsize_t(n_pend)).ptr()},
        {LEXARO_NAME("empresas"), dump_empresas.ptr()},
        {LEXARO_NAME("assinaturas"), dump_assinaturas.ptr()},
        {LEXARO_NAME("dados_contrato"), dados_contrato.ptr()},
        {LEXARO_NAME("metricas"), m.ptr()},
    });
}

// ---------------------------------------------------------------- module function

py::object verificar_contrato(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"documento", nullptr}, {"openai_api_key", Py_None}, {"verbose", Py_True}};
    PyObject* a[3];
    bind::bind_args("verificar_contrato", args, nargs, kwnames, params, 3, a);
    bind::require_str_or_none(a[1], "verificar_contrato", "openai_api_key");
    py::object checker = build(LEXARO_NAME("ContractChecker"), KWNAMES("openai_api_key", "verbose"), {a[1], a[2]});
    return call_method(checker.ptr(), LEXARO_NAME("verificar"), a[0]);
}

PyMethodDef def_verificar = LEXARO_METHOD("verificar", verificar,
                                          "verificar($self, documento)\n--\n\n"
                                          "Verifica a legitimidade de um contrato.");
PyMethodDef def_verificar_contrato = LEXARO_METHOD(
    "verificar_contrato", verificar_contrato,
    "verificar_contrato(documento, openai_api_key=None, verbose=True)\n--\n\n"
    "Função de conveniência para verificar um contrato.\n\n"
    "Exemplo:\n"
    "    >>> from lexaro_contract import verificar_contrato\n"
    "    >>> resultado = verificar_contrato(\"contrato.pdf\")\n"
    "    >>> print(resultado[\"resultado_final\"])");

}  // namespace

void add_pipeline_members(py::handle cls) {
    bind::add_methods(cls, {&def_validar_empresas, &def_validar_assinaturas, &def_verificar, &def_imprimir_relatorio});
}

void add_pipeline_functions(py::module_& m) { bind::add_function(m, &def_verificar_contrato); }

}  // namespace lexaro::checker
