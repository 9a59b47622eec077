// Module lexaro_contract.cnpj: CNPJ identifiers, registry lookups, search by
// name and address comparison.
//
// Every function reads the module's globals (requests, the URL constants,
// REQUEST_TIMEOUT and the other functions) at each call, so rebinding one of
// them changes the next call; the native code is taken directly only when the
// global found is still the module's own function.
#include <cstdlib>
#include <iterator>
#include <string>

#include "bindings/cnpj_address.hpp"
#include "core/cnpj_text.hpp"

namespace {

using namespace lexaro;
using bind::Param;
using bind::borrow;
using bind::getattr;
using bind::set_item;
using bind::steal;
using bind::truthy;

extern PyMethodDef def_limpar;
extern PyMethodDef def_validar;
extern PyMethodDef def_formatar;

// ---------------------------------------------------------------- helpers

PyObject* empty_str() { return LEXARO_NAME(""); }

// `a != b` as a truth value.
bool not_equal(PyObject* a, PyObject* b) {
    py::object r = steal(PyObject_RichCompare(a, b, Py_NE));
    return truthy(r.ptr());
}

// A cached int object of the given value.
template <long V>
PyObject* int_value() {
    static PyObject* o = PyLong_FromLong(V);
    if (!o) throw py::error_already_set();
    return o;
}

void dict_set(PyObject* d, PyObject* key, PyObject* value) {
    if (PyDict_SetItem(d, key, value) < 0) throw py::error_already_set();
}

py::object new_dict() { return steal(PyDict_New()); }

// Runs `f` under a guard that turns an ordinary error (an Exception
// subclass) into None; interruptions and other BaseExceptions pass through.
template <class F>
py::object absorbing(F&& f) {
    try {
        return f();
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_Exception)) return py::none();
        throw;
    } catch (std::bad_alloc&) {
        return py::none();  // MemoryError is an ordinary error too
    }
}

py::object call1(const py::object& fn, PyObject* arg) { return bind::call(fn.ptr(), {arg}); }

// ---------------------------------------------------------------- identifiers

py::str limpar_native(PyObject* s) {
    return bind::with_view(s, [&](const auto* d, std::size_t n) -> py::str {
        using CharT = std::remove_cv_t<std::remove_pointer_t<decltype(d)>>;
        if (n == 0) return py::reinterpret_borrow<py::str>(empty_str());
        char an[cnpj_text::kLength];
        if (cnpj_text::alphanumeric_form(d, n, an)) return bind::str_from(an, cnpj_text::kLength);
        if constexpr (sizeof(CharT) == 1) {
            const std::size_t k = cnpj_text::count_digits(d, n);
            PyObject* r = PyUnicode_New(static_cast<Py_ssize_t>(k), 127);
            if (!r) throw py::error_already_set();
            auto* out = static_cast<std::uint8_t*>(PyUnicode_DATA(r));
            cnpj_text::for_each_digit(d, n, [&](char32_t c) { *out++ = static_cast<std::uint8_t>(c); });
            return py::reinterpret_steal<py::str>(r);
        } else {
            return bind::str_from_stream([&](auto&& sink) { cnpj_text::for_each_digit(d, n, sink); });
        }
    });
}

std::size_t clean_length_native(PyObject* s) {
    return bind::with_view(s, [](const auto* d, std::size_t n) { return cnpj_text::clean_length(d, n); });
}

// cnpj_limpo = limpar_cnpj(cnpj), through the module global.
py::object limpar_global(PyObject* cnpj) {
    py::object f = bind::global(LEXARO_NAME("limpar_cnpj"));
    if (bind::is_native(f.ptr(), &def_limpar)) {
        bind::require_str(cnpj, "limpar_cnpj", "cnpj");
        return limpar_native(cnpj);
    }
    return call1(f, cnpj);
}

py::object validar_body(PyObject* cnpj) {
    py::object f = bind::global(LEXARO_NAME("limpar_cnpj"));
    if (bind::is_native(f.ptr(), &def_limpar)) {
        bind::require_str(cnpj, "limpar_cnpj", "cnpj");
        return py::bool_(clean_length_native(cnpj) == cnpj_text::kLength);
    }
    py::object limpo = call1(f, cnpj);
    const Py_ssize_t n = PyObject_Size(limpo.ptr());
    if (n < 0) throw py::error_already_set();
    return py::bool_(n == static_cast<Py_ssize_t>(cnpj_text::kLength));
}

py::object slice_of(const py::object& o, Py_ssize_t b, Py_ssize_t e) {
    py::object start = b ? py::object(py::int_(b)) : py::none();
    py::object stop = e >= 0 ? py::object(py::int_(e)) : py::none();
    py::object sl = steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
    py::object part = steal(PyObject_GetItem(o.ptr(), sl.ptr()));
    if (PyUnicode_CheckExact(part.ptr())) return part;
    return steal(PyObject_Format(part.ptr(), nullptr));
}

py::object formatar_body(PyObject* cnpj) {
    py::object f = bind::global(LEXARO_NAME("limpar_cnpj"));
    if (bind::is_native(f.ptr(), &def_limpar)) {
        bind::require_str(cnpj, "limpar_cnpj", "cnpj");
        return bind::with_view(cnpj, [&](const auto* d, std::size_t n) -> py::object {
            if (n == 0) return borrow(cnpj);
            char32_t c[cnpj_text::kLength];
            char an[cnpj_text::kLength];
            if (cnpj_text::alphanumeric_form(d, n, an)) {
                for (std::size_t i = 0; i < cnpj_text::kLength; ++i) c[i] = static_cast<unsigned char>(an[i]);
            } else {
                if (cnpj_text::count_digits(d, n) != cnpj_text::kLength) return borrow(cnpj);
                std::size_t k = 0;
                cnpj_text::for_each_digit(d, n, [&](char32_t x) { c[k++] = x; });
            }
            return bind::str_from_stream([&](auto&& sink) { cnpj_text::display(c, sink); });
        });
    }
    py::object limpo = call1(f, cnpj);
    const Py_ssize_t n = PyObject_Size(limpo.ptr());
    if (n < 0) throw py::error_already_set();
    if (n != static_cast<Py_ssize_t>(cnpj_text::kLength)) return borrow(cnpj);
    py::object parts[] = {slice_of(limpo, 0, 2), py::str("."), slice_of(limpo, 2, 5), py::str("."),
                          slice_of(limpo, 5, 8), py::str("/"), slice_of(limpo, 8, 12), py::str("-"),
                          slice_of(limpo, 12, -1)};
    py::object out = py::reinterpret_borrow<py::object>(empty_str());
    for (auto& p : parts) out = steal(PyUnicode_Concat(out.ptr(), p.ptr()));
    return out;
}

py::object formatar_global(PyObject* cnpj) {
    py::object f = bind::global(LEXARO_NAME("formatar_cnpj"));
    if (bind::is_native(f.ptr(), &def_formatar)) {
        bind::require_str(cnpj, "formatar_cnpj", "cnpj");
        return formatar_body(cnpj);
    }
    return call1(f, cnpj);
}

py::object validar_global(PyObject* cnpj) {
    py::object f = bind::global(LEXARO_NAME("validar_cnpj"));
    if (bind::is_native(f.ptr(), &def_validar)) {
        bind::require_str(cnpj, "validar_cnpj", "cnpj");
        return validar_body(cnpj);
    }
    return call1(f, cnpj);
}

py::object limpar_cnpj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"cnpj", nullptr}};
    PyObject* a[1];
    bind::bind_args("limpar_cnpj", args, nargs, kwnames, params, 1, a);
    bind::require_str(a[0], "limpar_cnpj", "cnpj");
    return limpar_native(a[0]);
}

py::object validar_cnpj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"cnpj", nullptr}};
    PyObject* a[1];
    bind::bind_args("validar_cnpj", args, nargs, kwnames, params, 1, a);
    bind::require_str(a[0], "validar_cnpj", "cnpj");
    return validar_body(a[0]);
}

py::object formatar_cnpj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"cnpj", nullptr}};
    PyObject* a[1];
    bind::bind_args("formatar_cnpj", args, nargs, kwnames, params, 1, a);
    bind::require_str(a[0], "formatar_cnpj", "cnpj");
    return formatar_body(a[0]);
}

// ---------------------------------------------------------------- registry lookups

// url = TEMPLATE.format(cnpj=cnpj_limpo)
py::object fill_url(PyObject* template_name, const py::object& cnpj_limpo) {
    py::object tpl = bind::global(template_name);
    py::object fmt = getattr(tpl, LEXARO_NAME("format"));
    static PyObject* kw = [] {
        PyObject* t = PyTuple_Pack(1, bind::intern("cnpj"));
        if (!t) throw py::error_already_set();
        return t;
    }();
    PyObject* args[] = {cnpj_limpo.ptr()};
    return steal(PyObject_Vectorcall(fmt.ptr(), args, 0, kw));
}

// The decoded body of a 200 answer, or nullptr-holding object for any other status.
py::object json_if_ok(const py::object& response) {
    py::object sc = getattr(response, LEXARO_NAME("status_code"));
    if (not_equal(sc.ptr(), int_value<200>())) return py::object();
    return steal(PyObject_CallMethodNoArgs(response.ptr(), LEXARO_NAME("json")));
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
            dict_set(into, f.k, empty_str());
            continue;
        }
        py::object v = bind::mapping_get(from, f.s, empty_str());
        dict_set(into, f.k, v.ptr());
    }
}

// for socio in data.get("qsa", []): socios.append({...})
template <std::size_t N>
py::object partners(const py::object& data, const FieldMap (&t)[N]) {
    py::object dflt = steal(PyList_New(0));
    py::object qsa = bind::mapping_get(data, LEXARO_NAME("qsa"), dflt.ptr());
    py::object it = steal(PyObject_GetIter(qsa.ptr()));
    py::object socios = steal(PyList_New(0));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object socio = py::reinterpret_steal<py::object>(raw);
        py::object entry = new_dict();
        copy_fields(entry.ptr(), socio, t);
        if (PyList_Append(socios.ptr(), entry.ptr()) < 0) throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return socios;
}

// The 13-key record; `capital` is the capital value already read.
template <std::size_t N>
py::object record(const char* fonte, const py::object& cnpj_limpo, const py::object& data,
                  const FieldMap (&text)[N], PyObject* capital_source, PyObject* capital_default,
                  const py::object* capital, const py::object& socios) {
    py::object r = new_dict();
    dict_set(r.ptr(), LEXARO_NAME("fonte"), py::str(fonte).ptr());
    py::object shown = formatar_global(cnpj_limpo.ptr());
    dict_set(r.ptr(), LEXARO_NAME("cnpj"), shown.ptr());
    copy_fields(r.ptr(), data, text);
    if (capital) {
        dict_set(r.ptr(), LEXARO_NAME("capital_social"), capital->ptr());
    } else {
        py::object v = bind::mapping_get(data, capital_source, capital_default);
        dict_set(r.ptr(), LEXARO_NAME("capital_social"), v.ptr());
    }
    py::object end = new_dict();
    copy_fields(end.ptr(), data, address_fields);
    dict_set(r.ptr(), LEXARO_NAME("endereco"), end.ptr());
    py::object email = bind::mapping_get(data, LEXARO_NAME("email"), empty_str());
    dict_set(r.ptr(), LEXARO_NAME("email"), email.ptr());
    dict_set(r.ptr(), LEXARO_NAME("socios"), socios.ptr());
    return r;
}

py::object brasil_api_body(PyObject* cnpj) {
    py::object cnpj_limpo = limpar_global(cnpj);
    py::object url = fill_url(LEXARO_NAME("BRASIL_API_URL"), cnpj_limpo);
    return absorbing([&]() -> py::object {
        py::object requests = bind::global(LEXARO_NAME("requests"));
        py::object http_get = getattr(requests, LEXARO_NAME("get"));
        py::object timeout = bind::global(LEXARO_NAME("REQUEST_TIMEOUT"));
        static PyObject* kw = [] {
            PyObject* t = PyTuple_Pack(1, bind::intern("timeout"));
            if (!t) throw py::error_already_set();
            return t;
        }();
        py::object response = bind::call(http_get.ptr(), {url.ptr(), timeout.ptr()}, kw);
        py::object data = json_if_ok(response);
        if (!data) return py::none();
        py::object socios = partners(data, brasil_partner);
        return record("BrasilAPI", cnpj_limpo, data, brasil_text, LEXARO_NAME("capital_social"), int_value<0>(),
                      nullptr, socios);
    });
}

// ReceitaWS writes the capital as text: "3000.00", "1.500.000,50", "".
py::object receita_capital(const py::object& value) {
    if (!PyUnicode_Check(value.ptr())) return value;
    using cnpj_text::CapitalForm;
    const CapitalForm form =
        bind::with_view(value.ptr(), [](const auto* d, std::size_t n) { return cnpj_text::capital_form(d, n); });
    if (form == CapitalForm::Empty) return borrow(int_value<0>());
    py::str txt = bind::with_view(value.ptr(), [&](const auto* d, std::size_t n) {
        return bind::str_from_stream([&](auto&& sink) { cnpj_text::capital_text(d, n, form, sink); });
    });
    return steal(PyFloat_FromString(txt.ptr()));
}

py::object receita_ws_body(PyObject* cnpj) {
    py::object cnpj_limpo = limpar_global(cnpj);
    py::object url = fill_url(LEXARO_NAME("RECEITA_WS_URL"), cnpj_limpo);
    return absorbing([&]() -> py::object {
        py::object requests = bind::global(LEXARO_NAME("requests"));
        py::object http_get = getattr(requests, LEXARO_NAME("get"));
        py::object headers = new_dict();
        dict_set(headers.ptr(), LEXARO_NAME("Accept"), LEXARO_NAME("application/json"));
        py::object timeout = bind::global(LEXARO_NAME("REQUEST_TIMEOUT"));
        static PyObject* kw = [] {
            PyObject* t = PyTuple_Pack(2, bind::intern("headers"), bind::intern("timeout"));
            if (!t) throw py::error_already_set();
            return t;
        }();
        py::object response = bind::call(http_get.ptr(), {url.ptr(), headers.ptr(), timeout.ptr()}, kw);
        py::object data = json_if_ok(response);
        if (!data) return py::none();
        py::object status = bind::mapping_get(data, LEXARO_NAME("status"), Py_None);
        const int err = PyObject_RichCompareBool(status.ptr(), LEXARO_NAME("ERROR"), Py_EQ);
        if (err < 0) throw py::error_already_set();
        if (err) return py::none();
        py::object capital = receita_capital(bind::mapping_get(data, LEXARO_NAME("capital_social"), LEXARO_NAME("0")));
        py::object socios = partners(data, receita_partner);
        return record("ReceitaWS", cnpj_limpo, data, receita_text, nullptr, nullptr, &capital, socios);
    });
}

py::object consultar_brasil_api(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"cnpj", nullptr}};
    PyObject* a[1];
    bind::bind_args("_consultar_brasil_api", args, nargs, kwnames, params, 1, a);
    bind::require_str(a[0], "_consultar_brasil_api", "cnpj");
    return brasil_api_body(a[0]);
}

py::object consultar_receita_ws(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"cnpj", nullptr}};
    PyObject* a[1];
    bind::bind_args("_consultar_receita_ws", args, nargs, kwnames, params, 1, a);
    bind::require_str(a[0], "_consultar_receita_ws", "cnpj");
    return receita_ws_body(a[0]);
}

py::object consultar_body(PyObject* cnpj) {
    if (!truthy(validar_global(cnpj).ptr())) return py::none();
    py::object resultado = call1(bind::global(LEXARO_NAME("_consultar_brasil_api")), cnpj);
    if (resultado.is_none()) resultado = call1(bind::global(LEXARO_NAME("_consultar_receita_ws")), cnpj);
    return resultado;
}

py::object consultar_cnpj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"cnpj", nullptr}};
    PyObject* a[1];
    bind::bind_args("consultar_cnpj", args, nargs, kwnames, params, 1, a);
    bind::require_str(a[0], "consultar_cnpj", "cnpj");
    return consultar_body(a[0]);
}

py::object consultar_global(PyObject* cnpj) { return call1(bind::global(LEXARO_NAME("consultar_cnpj")), cnpj); }

// ---------------------------------------------------------------- search by name

const char* const kExtras[] = {
    "somente_mei",       "excluir_mei",     "com_email",       "incluir_atividade_secundaria", "com_contato_telefonico",
    "somente_fixo",      "somente_celular", "somente_matriz",  "somente_filial",
};

py::object one_item_list(PyObject* item) {
    py::object l = steal(PyList_New(1));
    Py_INCREF(item);
    PyList_SET_ITEM(l.ptr(), 0, item);
    return l;
}

py::object search_body(PyObject* nome_empresa, PyObject* uf) {
    py::object query = new_dict();
    py::object inner = new_dict();
    dict_set(inner.ptr(), LEXARO_NAME("termo"), one_item_list(nome_empresa).ptr());
    dict_set(inner.ptr(), LEXARO_NAME("situacao_cadastral"), LEXARO_NAME("ATIVA"));
    dict_set(query.ptr(), LEXARO_NAME("query"), inner.ptr());
    dict_set(query.ptr(), LEXARO_NAME("range_query"), new_dict().ptr());
    py::object extras = new_dict();
    static PyObject* const* keys = [] {
        static PyObject* ks[std::size(kExtras)];
        for (std::size_t i = 0; i < std::size(kExtras); ++i) ks[i] = bind::intern(kExtras[i]);
        return ks;
    }();
    for (std::size_t i = 0; i < std::size(kExtras); ++i) dict_set(extras.ptr(), keys[i], Py_False);
    dict_set(query.ptr(), LEXARO_NAME("extras"), extras.ptr());
    dict_set(query.ptr(), LEXARO_NAME("page"), int_value<1>());
    if (uf != Py_None && truthy(uf)) set_item(inner, LEXARO_NAME("uf"), one_item_list(uf).ptr());
    return query;
}

py::object por_nome_body(PyObject* nome_empresa, PyObject* uf) {
    if (PyUnicode_GET_LENGTH(nome_empresa) < 3) return py::none();
    return absorbing([&]() -> py::object {
        py::object query = search_body(nome_empresa, uf);
        py::object requests = bind::global(LEXARO_NAME("requests"));
        py::object post = getattr(requests, LEXARO_NAME("post"));
        py::object url = bind::global(LEXARO_NAME("CASADOSDADOS_API"));
        py::object headers = new_dict();
        dict_set(headers.ptr(), LEXARO_NAME("Content-Type"), LEXARO_NAME("application/json"));
        dict_set(headers.ptr(), LEXARO_NAME("Accept"), LEXARO_NAME("application/json"));
        static PyObject* kw = [] {
            PyObject* t = PyTuple_Pack(3, bind::intern("json"), bind::intern("headers"), bind::intern("timeout"));
            if (!t) throw py::error_already_set();
            return t;
        }();
        py::object timeout = steal(PyLong_FromLong(15));
        py::object response = bind::call(post.ptr(), {url.ptr(), query.ptr(), headers.ptr(), timeout.ptr()}, kw);
        py::object data = json_if_ok(response);
        if (!data) return py::none();
        py::object empty = new_dict();
        py::object inner = bind::mapping_get(data, LEXARO_NAME("data"), empty.ptr());
        py::object count = bind::mapping_get(inner, LEXARO_NAME("count"), int_value<0>());
        py::object gt = steal(PyObject_RichCompare(count.ptr(), int_value<0>(), Py_GT));
        if (!truthy(gt.ptr())) return py::none();
        py::object no_hits = steal(PyList_New(0));
        py::object empresas = bind::mapping_get(inner, LEXARO_NAME("cnpj"), no_hits.ptr());
        if (!truthy(empresas.ptr())) return py::none();
        py::object emp = steal(PyObject_GetItem(empresas.ptr(), int_value<0>()));
        py::object cnpj = bind::mapping_get(emp, LEXARO_NAME("cnpj"), empty_str());
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

// from lexaro_contract.ai_search import buscar_cnpj_via_ai
py::object import_ai_search() {
    py::object mod = steal(PyImport_ImportModule("lexaro_contract.ai_search"));
    PyObject* fn = PyObject_GetAttr(mod.ptr(), LEXARO_NAME("buscar_cnpj_via_ai"));
    if (fn) return py::reinterpret_steal<py::object>(fn);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    // A submodule of that name, as the import statement would accept.
    PyObject* sub = PyDict_GetItemString(PyImport_GetModuleDict(), "lexaro_contract.ai_search.buscar_cnpj_via_ai");
    if (sub) return borrow(sub);
    PyErr_SetString(PyExc_ImportError,
                    "cannot import name 'buscar_cnpj_via_ai' from 'lexaro_contract.ai_search'");
    throw py::error_already_set();
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
        py::object via_ai = import_ai_search();
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

// ---------------------------------------------------------------- definitions

PyMethodDef def_limpar = LEXARO_METHOD(
    "limpar_cnpj", limpar_cnpj,
    "limpar_cnpj(cnpj)\n--\n\n"
    "Remove formatação do CNPJ (pontos, barras, hífens).\n\n"
    "Mantém só os dígitos decimais. Um CNPJ alfanumérico (12 caracteres de\n"
    "0-9 e A-Z seguidos de dois dígitos verificadores válidos) volta com os\n"
    "seus 14 caracteres em maiúsculas.\n\n"
    "Example:\n"
    "    >>> limpar_cnpj(\"12.345.678/0001-99\")\n"
    "    '12345678000199'");
PyMethodDef def_validar = LEXARO_METHOD(
    "validar_cnpj", validar_cnpj,
    "validar_cnpj(cnpj)\n--\n\n"
    "Valida se o CNPJ tem 14 dígitos.\n\n"
    "Os dígitos verificadores de um CNPJ numérico não são conferidos.\n\n"
    "Example:\n"
    "    >>> validar_cnpj(\"12.345.678/0001-99\")\n"
    "    True\n"
    "    >>> validar_cnpj(\"123456\")\n"
    "    False");
PyMethodDef def_formatar = LEXARO_METHOD(
    "formatar_cnpj", formatar_cnpj,
    "formatar_cnpj(cnpj)\n--\n\n"
    "Formata CNPJ no padrão XX.XXX.XXX/XXXX-XX.\n\n"
    "Um CNPJ que não tem 14 dígitos volta como foi recebido.\n\n"
    "Example:\n"
    "    >>> formatar_cnpj(\"12345678000199\")\n"
    "    '12.345.678/0001-99'");
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

// ---------------------------------------------------------------- configuration

// A service URL: the base from the environment variable when it is set and
// not empty (trailing "/" removed), else the public host; then the path.
py::str service_url(const char* var, const char* public_base, const char* path) {
    std::string base = public_base;
    if (const char* env = std::getenv(var); env && *env) {
        base = env;
        while (!base.empty() && base.back() == '/') base.pop_back();
    }
    base += path;
    return py::reinterpret_steal<py::str>(steal(PyUnicode_DecodeFSDefault(base.c_str())).release());
}

}  // namespace

namespace {

void init_module(py::module_& m) {
    m.doc() =
        "\nConsulta de CNPJ na Receita Federal via APIs públicas.\n\n"
        "Limpeza, validação e formatação de CNPJ, consulta na BrasilAPI com\n"
        "fallback para a ReceitaWS, busca por nome na Casa dos Dados e\n"
        "comparação de endereços.\n";
    bind::g_globals = m.attr("__dict__").ptr();
    Py_INCREF(bind::g_globals);
    m.attr("re") = py::module_::import("re");
    m.attr("unicodedata") = py::module_::import("unicodedata");
    py::object typing = py::module_::import("typing");
    for (const char* n : {"Dict", "Optional", "Any", "Tuple"}) m.attr(n) = typing.attr(n);
    m.attr("requests") = py::module_::import("requests");

    m.attr("BRASIL_API_URL") = service_url("LEXARO_BRASILAPI_URL", "https://brasilapi.com.br", "/api/cnpj/v1/{cnpj}");
    m.attr("RECEITA_WS_URL") = service_url("LEXARO_RECEITAWS_URL", "https://receitaws.com.br", "/v1/cnpj/{cnpj}");
    m.attr("CASADOSDADOS_API") =
        service_url("LEXARO_CASADOSDADOS_URL", "https://api.casadosdados.com.br", "/v2/public/cnpj/search");
    m.attr("REQUEST_TIMEOUT") = 10;

    intern_all(brasil_text);
    intern_all(receita_text);
    intern_all(address_fields);
    intern_all(brasil_partner);
    intern_all(receita_partner);

    bind::add_function(m, &def_limpar);
    bind::add_function(m, &def_validar);
    bind::add_function(m, &def_formatar);
    bind::add_function(m, &def_brasil_api);
    bind::add_function(m, &def_receita_ws);
    py::object consultar = bind::add_function(m, &def_consultar);
    m.attr("consultar_cnpj_online") = consultar;
    bind::add_function(m, &def_por_nome);
    bind::add_function(m, &def_buscar);
    bind::add_function(m, &def_completo);
    cnpj::register_address(m);
}
}  // namespace

LEXARO_MODULE(cnpj, m) { init_module(m); }
