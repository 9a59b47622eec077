// ContractChecker._imprimir_relatorio: the printed report of a verification,
// line by line through the module's `print`.
#include "bindings/checker_pipeline.hpp"

namespace lexaro::checker {

namespace {

void say(PyObject* line) { bind::print({line}); }
void say(const py::object& line) { say(line.ptr()); }

// A section: its title between a blank line and two rules.
void secao(const py::object& titulo) {
    say(LEXARO_NAME("\n────────────────────────────────────────────────────────────"));
    say(titulo);
    say(LEXARO_NAME("────────────────────────────────────────────────────────────"));
}

PyObject* marca(bool ok) { return ok ? LEXARO_NAME("✅") : LEXARO_NAME("❌"); }

// The lines of a record's checked fields.
void campos_linhas(PyObject* rec) {
    py::object campos = getattr(rec, LEXARO_NAME("campos"));
    bind::for_each(campos.ptr(), [&](PyObject* c) {
        py::object emoji = getattr(c, LEXARO_NAME("emoji"));
        py::object nome = getattr(c, LEXARO_NAME("campo"));
        py::object msg = getattr(c, LEXARO_NAME("mensagem"));
        say(fstring<"      {} {}: {}">(emoji, nome, msg));
    });
}

// A title and one bullet per item, when there are items.
void lista_itens(PyObject* lista, PyObject* titulo) {
    if (PyList_GET_SIZE(lista) == 0) return;
    say(titulo);
    bind::for_each(lista, [&](PyObject* item) { say(fstring<"      • {}">(item)); });
}

PyObject* emoji_do_resultado(PyObject* resultado_final) {
    if (bind::equal(resultado_final, LEXARO_NAME("APROVADO"))) return LEXARO_NAME("✅✅✅");
    if (bind::equal(resultado_final, LEXARO_NAME("REPROVADO"))) return LEXARO_NAME("❌❌❌");
    if (bind::equal(resultado_final, LEXARO_NAME("PENDENTE"))) return LEXARO_NAME("⚠️⚠️⚠️");
    return LEXARO_NAME("❓❓❓");
}

py::object imprimir_relatorio(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"self", nullptr},           {"resultado_final", nullptr},
                                   {"justificativa", nullptr},  {"campos_aprovados", nullptr},
                                   {"campos_reprovados", nullptr}, {"campos_pendentes", nullptr},
                                   {"empresas", nullptr},       {"assinaturas", nullptr},
                                   {"dados_contrato", nullptr}, {"metricas", nullptr}};
    PyObject* a[10];
    const char* fn = "ContractChecker._imprimir_relatorio";
    bind::bind_method(fn, self, args, nargs, kwnames, params, 10, a);
    PyObject* resultado_final = a[1];
    PyObject* justificativa = a[2];
    PyObject* aprovados = a[3];
    PyObject* reprovados = a[4];
    PyObject* pendentes = a[5];
    PyObject* empresas = a[6];
    PyObject* assinaturas = a[7];
    PyObject* metricas = a[9];
    bind::require_str(resultado_final, fn, "resultado_final");
    bind::require_str(justificativa, fn, "justificativa");
    bind::require_list(aprovados, fn, "campos_aprovados");
    bind::require_list(reprovados, fn, "campos_reprovados");
    bind::require_list(pendentes, fn, "campos_pendentes");
    bind::require_list(empresas, fn, "empresas");
    bind::require_list(assinaturas, fn, "assinaturas");
    bind::require_dict(a[8], fn, "dados_contrato");

    PyObject* const dupla = LEXARO_NAME("============================================================");
    PyObject* const nl_dupla = LEXARO_NAME("\n============================================================");

    PyObject* emoji = emoji_do_resultado(resultado_final);
    say(nl_dupla);
    say(fstring<"{} RESULTADO FINAL: {} {}">(emoji, resultado_final, emoji));
    say(dupla);
    say(fstring<"   {}">(justificativa));

    secao(fstring<"📋 CAMPOS VERIFICADOS">());
    say(fstring<"   ✅ Aprovados: {}">(PyList_GET_SIZE(aprovados)));
    say(fstring<"   ❌ Reprovados: {}">(PyList_GET_SIZE(reprovados)));
    say(fstring<"   ⚠️ Pendentes: {}">(PyList_GET_SIZE(pendentes)));
    lista_itens(aprovados, LEXARO_NAME("\n   ✅ APROVADOS:"));
    lista_itens(reprovados, LEXARO_NAME("\n   ❌ REPROVADOS:"));
    lista_itens(pendentes, LEXARO_NAME("\n   ⚠️ PENDENTES:"));

    secao(fstring<"🏢 EMPRESAS ({})">(PyList_GET_SIZE(empresas)));
    bind::for_each(empresas, [&](PyObject* emp) {
        const bool ativa = truthy(getattr(emp, LEXARO_NAME("empresa_ativa")).ptr());
        py::object nome = getattr(emp, LEXARO_NAME("razao_social_receita"));
        if (!truthy(nome.ptr())) {
            nome = getattr(emp, LEXARO_NAME("razao_social_contrato"));
            if (!truthy(nome.ptr())) nome = borrow(LEXARO_NAME("N/A"));
        }
        say(fstring<"\n   {} {}">(marca(ativa), nome));
        py::object cnpj = getattr(emp, LEXARO_NAME("cnpj"));
        py::object linha = fstring<"      CNPJ: {}">(truthy(cnpj.ptr()) ? cnpj.ptr() : LEXARO_NAME("N/A"));
        bind::print_end(linha.ptr(), LEXARO_NAME(""));
        if (truthy(getattr(emp, LEXARO_NAME("cnpj_buscado_por_nome")).ptr()))
            say(LEXARO_NAME(" (encontrado por busca)"));
        else
            bind::print({});
        campos_linhas(emp);
    });

    secao(fstring<"✍️ ASSINATURAS ({})">(PyList_GET_SIZE(assinaturas)));
    bind::for_each(assinaturas, [&](PyObject* ass) {
        const bool poder = truthy(getattr(ass, LEXARO_NAME("tem_poder_assinatura")).ptr());
        py::object nome = getattr(ass, LEXARO_NAME("nome_signatario"));
        say(fstring<"\n   {} {}">(marca(poder), nome));
        py::object cargo = getattr(ass, LEXARO_NAME("cargo"));
        if (truthy(cargo.ptr())) say(fstring<"      Cargo: {}">(cargo));
        campos_linhas(ass);
    });

    secao(fstring<"💰 MÉTRICAS">());
    py::object tokens = getattr(metricas, LEXARO_NAME("tokens"));
    say(fstring<"   Tokens: {:,}">(tokens));
    py::object custo = getattr(metricas, LEXARO_NAME("cost_usd"));
    say(fstring<"   Custo: ${:.4f}">(custo));
    py::object tempo = getattr(metricas, LEXARO_NAME("time_seconds"));
    say(fstring<"   Tempo: {:.1f}s">(tempo));
    say(nl_dupla);
    return borrow(Py_None);
}

}  // namespace

PyMethodDef def_imprimir_relatorio = LEXARO_METHOD(
    "_imprimir_relatorio", imprimir_relatorio,
    "_imprimir_relatorio($self, resultado_final, justificativa, campos_aprovados, campos_reprovados, "
    "campos_pendentes, empresas, assinaturas, dados_contrato, metricas)\n--\n\n"
    "Imprime o relatório da verificação.");

}  // namespace lexaro::checker
