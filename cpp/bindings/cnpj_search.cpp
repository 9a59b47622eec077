// Search by name of module lexaro_contract.cnpj: the Casa dos Dados search
// and the combined searches (by CNPJ, then by name, then by the AI web
// search when it is enabled and configured).
#include <iterator>

#include "bindings/cnpj.hpp"

namespace lexaro::cnpj {

namespace {

using bind::Param;
using bind::getattr;
using bind::new_dict;
using bind::new_list;
using bind::set_item;
using bind::truthy;

const char* const kExtras[] = {
    "somente_mei",       "excluir_mei",     "com_email",       "incluir_atividade_secundaria", "com_contato_telefonico",
    "somente_fixo",      "somente_celular", "somente_matriz",  "somente_filial",
};

// The search query: the name among active companies, no extra filter, the
// first page; the state (uf) when one is given.
py::object search_body(PyObject* nome_empresa, PyObject* uf) {
    py::object query = new_dict();
    py::object inner = new_dict();
    set_item(inner, LEXARO_NAME("termo"), bind::list_of({nome_empresa}).ptr());
    set_item(inner, LEXARO_NAME("situacao_cadastral"), LEXARO_NAME("ATIVA"));
    set_item(query, LEXARO_NAME("query"), inner.ptr());
    set_item(query, LEXARO_NAME("range_query"), new_dict().ptr());
    py::object extras = new_dict();
    static PyObject* const* keys = [] {
        static PyObject* ks[std::size(kExtras)];
        for (std::size_t i = 0; i < std::size(kExtras); ++i) ks[i] = bind::intern(kExtras[i]);
        return ks;
    }();
    for (std::size_t i = 0; i < std::size(kExtras); ++i) set_item(extras, keys[i], Py_False);
    set_item(query, LEXARO_NAME("extras"), extras.ptr());
    set_item(query, LEXARO_NAME("page"), bind::small_int<1>());
    if (uf != Py_None && truthy(uf)) set_item(inner, LEXARO_NAME("uf"), bind::list_of({uf}).ptr());
    return query;
}

py::object por_nome_body(PyObject* nome_empresa, PyObject* uf) {
    if (PyUnicode_GET_LENGTH(nome_empresa) < 3) return py::none();
    return absorbing([&]() -> py::object {
        py::object query = search_body(nome_empresa, uf);
        py::object requests = bind::global(LEXARO_NAME("requests"));
        py::object post = getattr(requests, LEXARO_NAME("post"));
        py::object url = bind::global(LEXARO_NAME("CASADOSDADOS_API"));
        py::object headers = bind::dict_of({{LEXARO_NAME("Content-Type"), LEXARO_NAME("application/json")},
                                            {LEXARO_NAME("Accept"), LEXARO_NAME("application/json")}});
        py::object response = bind::call(post.ptr(), {url.ptr(), query.ptr(), headers.ptr(), bind::small_int<15>()},
                                         KWNAMES("json", "headers", "timeout"));
        py::object data = json_if_ok(response);
        if (!data) return py::none();
        py::object empty = new_dict();
        py::object inner = bind::mapping_get(data, LEXARO_NAME("data"), empty.ptr());
        py::object count = bind::mapping_get(inner, LEXARO_NAME("count"), bind::small_int<0>());
        if (!bind::compare(count.ptr(), bind::small_int<0>(), Py_GT)) return py::none();
        py::object empresas = bind::mapping_get(inner, LEXARO_NAME("cnpj"), new_list().ptr());
        if (!truthy(empresas.ptr())) return py::none();
        py::object emp = bind::get_item(empresas, bind::small_int<0>());
        py::object cnpj = bind::mapping_get(emp, LEXARO_NAME("cnpj"), LEXARO_NAME(""));
        if (!truthy(cnpj.ptr())) return py::none();
        py::object dados = consultar_global(cnpj.ptr());
        if (dados.is_none()) return py::none();
        set_item(dados, LEXARO_NAME("busca_por_nome"), Py_True);
        set_item(dados, LEXARO_NAME("termo_busca"), nome_empresa);
        return dados;
    });
}

py::object buscar_cnpj_por_nome(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"nome_empresa", nullptr}, {"uf", Py_None}};
    PyObject* a[2];
    bind::bind_args("buscar_cnpj_por_nome", args, nargs, kwnames, params, 2, a);
    bind::require_str(a[0], "buscar_cnpj_por_nome", "nome_empresa");
    bind::require_str_or_none(a[1], "buscar_cnpj_por_nome", "uf");
    return por_nome_body(a[0], a[1]);
}

bool given(PyObject* o) { return o != Py_None && truthy(o); }

// Step 1 of both combined searches: the record for a valid CNPJ, or None.
py::object by_cnpj(PyObject* cnpj) {
    if (!given(cnpj)) return py::none();
    py::object cnpj_limpo = limpar_global(cnpj);
    if (!truthy(validar_global(cnpj_limpo.ptr()).ptr())) return py::none();
    return consultar_global(cnpj_limpo.ptr());
}

py::object por_nome_global(PyObject* nome, PyObject* uf) {
    py::object f = bind::global(LEXARO_NAME("buscar_cnpj_por_nome"));
    return bind::call(f.ptr(), {nome, uf});
}

py::object buscar_empresa(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"cnpj", Py_None}, {"nome", Py_None}, {"uf", Py_None}};
    PyObject* a[3];
    bind::bind_args("buscar_empresa", args, nargs, kwnames, params, 3, a);
    bind::require_str_or_none(a[0], "buscar_empresa", "cnpj");
    bind::require_str_or_none(a[1], "buscar_empresa", "nome");
    bind::require_str_or_none(a[2], "buscar_empresa", "uf");
    py::object dados = by_cnpj(a[0]);
    if (!dados.is_none()) return dados;
    if (given(a[1])) return por_nome_global(a[1], a[2]);
    return py::none();
}

py::object buscar_empresa_completo(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {
        {"cnpj", Py_None}, {"nome", Py_None}, {"uf", Py_None}, {"usar_ai_search", Py_False}, {"openai_api_key", Py_None}};
    PyObject* a[5];
    bind::bind_args("buscar_empresa_completo", args, nargs, kwnames, params, 5, a);
    bind::require_str_or_none(a[0], "buscar_empresa_completo", "cnpj");
    bind::require_str_or_none(a[1], "buscar_empresa_completo", "nome");
    bind::require_str_or_none(a[2], "buscar_empresa_completo", "uf");
    bind::require_str_or_none(a[4], "buscar_empresa_completo", "openai_api_key");
    PyObject* nome = a[1];
    PyObject* key = a[4];

    py::object dados = by_cnpj(a[0]);
    if (!dados.is_none()) {
        set_item(dados, LEXARO_NAME("_metodo_busca"), LEXARO_NAME("cnpj_direto"));
        return dados;
    }
    if (!given(nome)) return py::none();
    dados = por_nome_global(nome, a[2]);
    if (!dados.is_none()) {
        set_item(dados, LEXARO_NAME("_metodo_busca"), LEXARO_NAME("api_nome"));
        return dados;
    }
    if (!truthy(a[3]) || !given(key)) return py::none();
    try {
        py::object via_ai = bind::import_from("lexaro_contract.ai_search", {"buscar_cnpj_via_ai"})[0];
        py::object encontrado = bind::call(via_ai.ptr(), {nome, key});
        if (!truthy(encontrado.ptr())) return py::none();
        dados = consultar_global(encontrado.ptr());
        if (dados.is_none()) return py::none();
        set_item(dados, LEXARO_NAME("_metodo_busca"), LEXARO_NAME("ai_web_search"));
        set_item(dados, LEXARO_NAME("_cnpj_buscado_por_ai"), Py_True);
        return dados;
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ImportError)) return py::none();
        throw;
    }
}

PyMethodDef def_por_nome = LEXARO_METHOD(
    "buscar_cnpj_por_nome", buscar_cnpj_por_nome,
    "buscar_cnpj_por_nome(nome_empresa, uf=None)\n--\n\n"
    "Busca CNPJ pelo nome da empresa usando Casa dos Dados API.\n\n"
    "Args:\n"
    "    nome_empresa: Nome ou razão social da empresa\n"
    "    uf: Sigla do estado (opcional)\n\n"
    "Returns:\n"
    "    Dict com os dados da primeira empresa encontrada ou None");
PyMethodDef def_buscar = LEXARO_METHOD(
    "buscar_empresa", buscar_empresa,
    "buscar_empresa(cnpj=None, nome=None, uf=None)\n--\n\n"
    "Busca empresa por CNPJ ou nome.\n\n"
    "Primeiro tenta por CNPJ, se não tiver, busca por nome.");
PyMethodDef def_completo = LEXARO_METHOD(
    "buscar_empresa_completo", buscar_empresa_completo,
    "buscar_empresa_completo(cnpj=None, nome=None, uf=None, usar_ai_search=False, openai_api_key=None)\n--\n\n"
    "Busca empresa usando todas as estratégias disponíveis.\n\n"
    "Ordem de busca:\n"
    "1. Por CNPJ direto (se fornecido)\n"
    "2. Por nome na API Casa dos Dados\n"
    "3. Por nome via AI web search (se habilitado e configurado)\n\n"
    "Returns:\n"
    "    Dict com dados da empresa incluindo metadados de busca");

}  // namespace

void register_search(py::module_& m) {
    bind::add_functions(m, {&def_por_nome, &def_buscar, &def_completo});
}

}  // namespace lexaro::cnpj
