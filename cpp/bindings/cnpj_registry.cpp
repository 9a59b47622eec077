// Registry lookups of module lexaro_contract.cnpj: BrasilAPI with ReceitaWS
// as the fallback, each answer turned into the same 13-key record.
#include "bindings/cnpj.hpp"
#include "core/cnpj_text.hpp"

namespace lexaro::cnpj {

// An empty object unless the answer's status is 200: `status_code != 200`,
// then `response.json()`.
py::object json_if_ok(const py::object& response) {
    py::object sc = bind::getattr(response, LEXARO_NAME("status_code"));
    if (bind::compare(sc.ptr(), bind::small_int<200>(), Py_NE)) return py::object();
    return bind::call_method(response.ptr(), LEXARO_NAME("json"));
}

py::object consultar_global(PyObject* cnpj) {
    return bind::call(bind::global(LEXARO_NAME("consultar_cnpj")).ptr(), {cnpj});
}

namespace {

using bind::Param;
using bind::borrow;
using bind::getattr;
using bind::new_dict;
using bind::new_list;
using bind::set_item;
using bind::steal;
using bind::truthy;

// url = TEMPLATE.format(cnpj=cnpj_limpo)
py::object fill_url(PyObject* template_name, const py::object& cnpj_limpo) {
    py::object tpl = bind::global(template_name);
    py::object fmt = getattr(tpl, LEXARO_NAME("format"));
    return bind::call_kw(fmt.ptr(), KWNAMES("cnpj"), {cnpj_limpo.ptr()});
}

struct FieldMap {
    const char* key;
    const char* source;  // nullptr: always ""
    PyObject* k = nullptr;
    PyObject* s = nullptr;
};

template <std::size_t N>
void intern_all(FieldMap (&t)[N]) {
    for (auto& f : t) {
        f.k = bind::intern(f.key);
        if (f.source) f.s = bind::intern(f.source);
    }
}

// Text fields read with the default "" (before capital_social).
FieldMap brasil_text[] = {
    {"razao_social", "razao_social"},
    {"nome_fantasia", "nome_fantasia"},
    {"situacao", "descricao_situacao_cadastral"},
    {"data_situacao", "data_situacao_cadastral"},
    {"data_abertura", "data_inicio_atividade"},
    {"natureza_juridica", "natureza_juridica"},
    {"porte", "porte"},
};
FieldMap receita_text[] = {
    {"razao_social", "nome"},
    {"nome_fantasia", "fantasia"},
    {"situacao", "situacao"},
    {"data_situacao", "data_situacao"},
    {"data_abertura", "abertura"},
    {"natureza_juridica", "natureza_juridica"},
    {"porte", "porte"},
};
FieldMap address_fields[] = {
    {"logradouro", "logradouro"}, {"numero", "numero"}, {"complemento", "complemento"}, {"bairro", "bairro"},
    {"cidade", "municipio"},      {"uf", "uf"},         {"cep", "cep"},
};
FieldMap brasil_partner[] = {
    {"nome", "nome_socio"},
    {"qualificacao", "qualificacao_socio"},
    {"data_entrada", "data_entrada_sociedade"},
    {"cpf_representante", "cpf_representante_legal"},
    {"nome_representante", "nome_representante_legal"},
    {"qualificacao_representante", "qualificacao_representante_legal"},
};
FieldMap receita_partner[] = {
    {"nome", "nome"},
    {"qualificacao", "qual"},
    {"data_entrada", nullptr},
    {"cpf_representante", nullptr},
    {"nome_representante", nullptr},
    {"qualificacao_representante", nullptr},
};

template <std::size_t N>
void copy_fields(PyObject* into, const py::object& from, const FieldMap (&t)[N]) {
    for (const auto& f : t) {
        if (!f.s) {
            set_item(into, f.k, LEXARO_NAME(""));
            continue;
        }
        py::object v = bind::mapping_get(from, f.s, LEXARO_NAME(""));
        set_item(into, f.k, v.ptr());
    }
}

// for socio in data.get("qsa", []): socios.append({...})
template <std::size_t N>
py::object partners(const py::object& data, const FieldMap (&t)[N]) {
    py::object qsa = bind::mapping_get(data, LEXARO_NAME("qsa"), new_list().ptr());
    py::object socios = new_list();
    bind::for_each(qsa.ptr(), [&](PyObject* socio) {
        py::object entry = new_dict();
        copy_fields(entry.ptr(), borrow(socio), t);
        bind::append(socios, entry.ptr());
    });
    return socios;
}

// The 13-key record; `capital` is the capital value already read.
template <std::size_t N>
py::object record(const char* fonte, const py::object& cnpj_limpo, const py::object& data,
                  const FieldMap (&text)[N], PyObject* capital_source, PyObject* capital_default,
                  const py::object* capital, const py::object& socios) {
    py::object r = new_dict();
    set_item(r, LEXARO_NAME("fonte"), bind::utf8(fonte).ptr());
    py::object shown = formatar_global(cnpj_limpo.ptr());
    set_item(r, LEXARO_NAME("cnpj"), shown.ptr());
    copy_fields(r.ptr(), data, text);
    if (capital) {
        set_item(r, LEXARO_NAME("capital_social"), capital->ptr());
    } else {
        py::object v = bind::mapping_get(data, capital_source, capital_default);
        set_item(r, LEXARO_NAME("capital_social"), v.ptr());
    }
    py::object end = new_dict();
    copy_fields(end.ptr(), data, address_fields);
    set_item(r, LEXARO_NAME("endereco"), end.ptr());
    py::object email = bind::mapping_get(data, LEXARO_NAME("email"), LEXARO_NAME(""));
    set_item(r, LEXARO_NAME("email"), email.ptr());
    set_item(r, LEXARO_NAME("socios"), socios.ptr());
    return r;
}

py::object brasil_api_body(PyObject* cnpj) {
    py::object cnpj_limpo = limpar_global(cnpj);
    py::object url = fill_url(LEXARO_NAME("BRASIL_API_URL"), cnpj_limpo);
    return absorbing([&]() -> py::object {
        // requests.get(url, timeout=REQUEST_TIMEOUT)
        py::object http_get = getattr(bind::global(LEXARO_NAME("requests")), LEXARO_NAME("get"));
        py::object data = json_if_ok(bind::call(
            http_get.ptr(), {url.ptr(), bind::global(LEXARO_NAME("REQUEST_TIMEOUT")).ptr()}, KWNAMES("timeout")));
        if (!data) return py::none();
        return record("BrasilAPI", cnpj_limpo, data, brasil_text, LEXARO_NAME("capital_social"), bind::small_int<0>(),
                      nullptr, partners(data, brasil_partner));
    });
}

// ReceitaWS writes the capital as text: "3000.00", "1.500.000,50", "".
py::object receita_capital(const py::object& value) {
    if (!PyUnicode_Check(value.ptr())) return value;
    using cnpj_text::CapitalForm;
    const CapitalForm form =
        bind::with_view(value.ptr(), [](const auto* d, std::size_t n) { return cnpj_text::capital_form(d, n); });
    if (form == CapitalForm::Empty) return borrow(bind::small_int<0>());
    py::str txt = bind::with_view(value.ptr(), [&](const auto* d, std::size_t n) {
        return bind::str_from_stream([&](auto&& sink) { cnpj_text::capital_text(d, n, form, sink); });
    });
    return steal(PyFloat_FromString(txt.ptr()));
}

py::object receita_ws_body(PyObject* cnpj) {
    py::object cnpj_limpo = limpar_global(cnpj);
    py::object url = fill_url(LEXARO_NAME("RECEITA_WS_URL"), cnpj_limpo);
    return absorbing([&]() -> py::object {
        // requests.get(url, headers={"Accept": "application/json"}, timeout=REQUEST_TIMEOUT)
        py::object http_get = getattr(bind::global(LEXARO_NAME("requests")), LEXARO_NAME("get"));
        py::object headers = bind::dict_of({{LEXARO_NAME("Accept"), LEXARO_NAME("application/json")}});
        py::object timeout = bind::global(LEXARO_NAME("REQUEST_TIMEOUT"));
        py::object data = json_if_ok(
            bind::call(http_get.ptr(), {url.ptr(), headers.ptr(), timeout.ptr()}, KWNAMES("headers", "timeout")));
        if (!data) return py::none();
        py::object status = bind::mapping_get(data, LEXARO_NAME("status"), Py_None);
        if (bind::equal(status.ptr(), LEXARO_NAME("ERROR"))) return py::none();
        py::object capital = receita_capital(bind::mapping_get(data, LEXARO_NAME("capital_social"), LEXARO_NAME("0")));
        py::object socios = partners(data, receita_partner);
        return record("ReceitaWS", cnpj_limpo, data, receita_text, nullptr, nullptr, &capital, socios);
    });
}

py::object consultar_brasil_api(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return brasil_api_body(bind::one_str("_consultar_brasil_api", "cnpj", args, nargs, kwnames));
}

py::object consultar_receita_ws(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return receita_ws_body(bind::one_str("_consultar_receita_ws", "cnpj", args, nargs, kwnames));
}

py::object consultar_body(PyObject* cnpj) {
    if (!truthy(validar_global(cnpj).ptr())) return py::none();
    py::object resultado = bind::call(bind::global(LEXARO_NAME("_consultar_brasil_api")).ptr(), {cnpj});
    if (resultado.is_none()) resultado = bind::call(bind::global(LEXARO_NAME("_consultar_receita_ws")).ptr(), {cnpj});
    return resultado;
}

py::object consultar_cnpj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return consultar_body(bind::one_str("consultar_cnpj", "cnpj", args, nargs, kwnames));
}

PyMethodDef def_brasil_api = LEXARO_METHOD(
    "_consultar_brasil_api", consultar_brasil_api,
    "_consultar_brasil_api(cnpj)\n--\n\nConsulta CNPJ na BrasilAPI (fonte principal).");
PyMethodDef def_receita_ws = LEXARO_METHOD(
    "_consultar_receita_ws", consultar_receita_ws,
    "_consultar_receita_ws(cnpj)\n--\n\nConsulta CNPJ na ReceitaWS (fallback).");
PyMethodDef def_consultar = LEXARO_METHOD(
    "consultar_cnpj", consultar_cnpj,
    "consultar_cnpj(cnpj)\n--\n\n"
    "Consulta CNPJ online usando BrasilAPI com fallback para ReceitaWS.\n\n"
    "Args:\n"
    "    cnpj: CNPJ com ou sem formatação\n\n"
    "Returns:\n"
    "    Dict com os dados da empresa ou None se não encontrado");

}  // namespace

void register_registry(py::module_& m) {
    intern_all(brasil_text);
    intern_all(receita_text);
    intern_all(address_fields);
    intern_all(brasil_partner);
    intern_all(receita_partner);
    bind::add_functions(m, {&def_brasil_api, &def_receita_ws});
    py::object consultar = bind::add_function(m, &def_consultar);
    m.attr("consultar_cnpj_online") = consultar;
}

}  // namespace lexaro::cnpj
