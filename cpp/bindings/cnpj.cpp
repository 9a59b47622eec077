// Module lexaro_contract.cnpj: CNPJ identifiers (limpar_cnpj, validar_cnpj,
// formatar_cnpj) and the module set-up. Registry lookups live in
// cnpj_registry.cpp, the search by name in cnpj_search.cpp and address
// comparison in cnpj_address.cpp.
#include <cstdlib>
#include <string>

#include "bindings/cnpj.hpp"
#include "core/cnpj_text.hpp"

namespace lexaro::cnpj {

namespace {

using bind::Param;
using bind::borrow;
using bind::steal;

extern PyMethodDef def_limpar;
extern PyMethodDef def_validar;
extern PyMethodDef def_formatar;

// ---------------------------------------------------------------- identifiers

py::str limpar_native(PyObject* s) {
    return bind::with_view(s, [&](const auto* d, std::size_t n) -> py::str {
        using CharT = std::remove_cv_t<std::remove_pointer_t<decltype(d)>>;
        if (n == 0) return py::reinterpret_borrow<py::str>(LEXARO_NAME(""));
        char an[cnpj_text::kLength];
        if (cnpj_text::alphanumeric_form(d, n, an)) return bind::str_from(an, cnpj_text::kLength);
        if constexpr (sizeof(CharT) == 1) {
            const std::size_t k = cnpj_text::count_digits(d, n);
            py::object r = steal(PyUnicode_New(static_cast<Py_ssize_t>(k), 127));
            auto* out = static_cast<std::uint8_t*>(PyUnicode_DATA(r.ptr()));
            cnpj_text::for_each_digit(d, n, [&](char32_t c) { *out++ = static_cast<std::uint8_t>(c); });
            return py::reinterpret_steal<py::str>(r.release());
        } else {
            return bind::str_from_stream([&](auto&& sink) { cnpj_text::for_each_digit(d, n, sink); });
        }
    });
}

std::size_t clean_length_native(PyObject* s) {
    return bind::with_view(s, [](const auto* d, std::size_t n) { return cnpj_text::clean_length(d, n); });
}

py::object validar_body(PyObject* cnpj) {
    py::object f = bind::global(LEXARO_NAME("limpar_cnpj"));
    if (bind::is_native(f.ptr(), &def_limpar)) {
        bind::require_str(cnpj, "limpar_cnpj", "cnpj");
        return py::bool_(clean_length_native(cnpj) == cnpj_text::kLength);
    }
    py::object limpo = bind::call(f.ptr(), {cnpj});
    return py::bool_(bind::size(limpo.ptr()) == static_cast<Py_ssize_t>(cnpj_text::kLength));
}

py::object slice_of(const py::object& o, Py_ssize_t b, Py_ssize_t e) {
    py::object start = b ? py::object(py::int_(b)) : py::none();
    py::object stop = e >= 0 ? py::object(py::int_(e)) : py::none();
    py::object sl = steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
    py::object part = bind::get_item(o, sl.ptr());
    if (PyUnicode_CheckExact(part.ptr())) return part;
    return bind::fstring<"{}">(part);
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
    py::object limpo = bind::call(f.ptr(), {cnpj});
    if (bind::size(limpo.ptr()) != static_cast<Py_ssize_t>(cnpj_text::kLength)) return borrow(cnpj);
    return bind::fstring<"{}.{}.{}/{}-{}">(slice_of(limpo, 0, 2), slice_of(limpo, 2, 5), slice_of(limpo, 5, 8),
                                           slice_of(limpo, 8, 12), slice_of(limpo, 12, -1));
}

py::object limpar_cnpj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return limpar_native(bind::one_str("limpar_cnpj", "cnpj", args, nargs, kwnames));
}

py::object validar_cnpj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return validar_body(bind::one_str("validar_cnpj", "cnpj", args, nargs, kwnames));
}

py::object formatar_cnpj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return formatar_body(bind::one_str("formatar_cnpj", "cnpj", args, nargs, kwnames));
}

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

// A module global f: the C++ when f is still the module's own function
// `def` (with its argument check), else f(cnpj).
template <class Native>
py::object through_global(PyObject* name, PyMethodDef* def, PyObject* cnpj, Native&& native) {
    py::object f = bind::global(name);
    if (!bind::is_native(f.ptr(), def)) return bind::call(f.ptr(), {cnpj});
    bind::require_str(cnpj, def->ml_name, "cnpj");
    return native(cnpj);
}

}  // namespace

// cnpj_limpo = limpar_cnpj(cnpj), and the others, through the module globals.
py::object limpar_global(PyObject* cnpj) {
    return through_global(LEXARO_NAME("limpar_cnpj"), &def_limpar, cnpj, limpar_native);
}
py::object validar_global(PyObject* cnpj) {
    return through_global(LEXARO_NAME("validar_cnpj"), &def_validar, cnpj, validar_body);
}
py::object formatar_global(PyObject* cnpj) {
    return through_global(LEXARO_NAME("formatar_cnpj"), &def_formatar, cnpj, formatar_body);
}

}  // namespace lexaro::cnpj

LEXARO_MODULE(cnpj, m) {
    using namespace lexaro;
    m.doc() =
        "\nConsulta de CNPJ na Receita Federal via APIs públicas.\n\n"
        "Limpeza, validação e formatação de CNPJ, consulta na BrasilAPI com\n"
        "fallback para a ReceitaWS, busca por nome na Casa dos Dados e\n"
        "comparação de endereços.\n";
    bind::set_namespace(m);
    m.attr("re") = py::module_::import("re");
    m.attr("unicodedata") = py::module_::import("unicodedata");
    bind::bind_from(m, "typing", {"Dict", "Optional", "Any", "Tuple"});
    m.attr("requests") = py::module_::import("requests");

    m.attr("BRASIL_API_URL") = cnpj::service_url("LEXARO_BRASILAPI_URL", "https://brasilapi.com.br", "/api/cnpj/v1/{cnpj}");
    m.attr("RECEITA_WS_URL") = cnpj::service_url("LEXARO_RECEITAWS_URL", "https://receitaws.com.br", "/v1/cnpj/{cnpj}");
    m.attr("CASADOSDADOS_API") =
        cnpj::service_url("LEXARO_CASADOSDADOS_URL", "https://api.casadosdados.com.br", "/v2/public/cnpj/search");
    m.attr("REQUEST_TIMEOUT") = 10;

    bind::add_functions(m, {&cnpj::def_limpar, &cnpj::def_validar, &cnpj::def_formatar});
    cnpj::register_registry(m);
    cnpj::register_search(m);
    cnpj::register_address(m);
}
