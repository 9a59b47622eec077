// Address normalisation and comparison of module lexaro_contract.cnpj:
// `_normalizar_endereco` and `comparar_enderecos`.
#include "bindings/cnpj.hpp"

#include <algorithm>
#include <string>

#include "bindings/text_boundary.hpp"
#include "core/address.hpp"

namespace lexaro::cnpj {

namespace {

using bind::Param;

extern PyMethodDef def_normalizar_endereco;

// ---------------------------------------------------------------- text

using Text = std::vector<char32_t>;

// The normalised form of a str, as UTF-32 (long texts without the GIL).
Text normalize_u32(PyObject* s) {
    return bind::with_view(
        s, [](const auto* d, std::size_t n) { return bind::scan_text(n, [&] { return address::normalize(d, n); }); });
}

Text u32_of(PyObject* s) {
    return bind::with_view(s, [](const auto* d, std::size_t n) { return Text(d, d + n); });
}

py::str str_of(const Text& s) { return bind::str_from_kind(PyUnicode_4BYTE_KIND, s.data(), s.size()); }

// The normalised form of a str as a new str.
py::str normalize_str(PyObject* s) {
    bind::ensure_ready(s);
    const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (n == 0) return bind::borrow(LEXARO_NAME(""));
    if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND) {
        const auto* d = static_cast<const std::uint8_t*>(PyUnicode_DATA(s));
        const std::vector<address::Latin1> out = bind::scan_text(n, [&] { return address::normalize_latin1(d, n); });
        return bind::str_from_kind(PyUnicode_1BYTE_KIND, out.data(), out.size());
    }
    return str_of(normalize_u32(s));
}

// ---------------------------------------------------------------- _normalizar_endereco

py::object normalizar_endereco(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return normalize_str(bind::one_str("_normalizar_endereco", "endereco", args, nargs, kwnames));
}

// ---------------------------------------------------------------- comparar_enderecos

py::object result(bool confere, double similaridade, PyObject* endereco_receita) {
    return py::make_tuple(py::bool_(confere), py::float_(similaridade),
                          py::reinterpret_borrow<py::object>(endereco_receita));
}

// re.sub(r"\D", "", value) for the registry's CEP, with the errors of `re`.
std::u32string cep_digits(PyObject* v) {
    if (PyUnicode_Check(v)) {
        return bind::with_view(v, [](const auto* d, std::size_t n) { return address::digits_of(d, n); });
    }
    Py_buffer view;
    if (PyObject_GetBuffer(v, &view, PyBUF_SIMPLE) == 0) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_TypeError, "cannot use a string pattern on a bytes-like object");
        throw py::error_already_set();
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_Format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'", Py_TYPE(v)->tp_name);
#else
    PyErr_SetString(PyExc_TypeError, "expected string or bytes-like object");
#endif
    throw py::error_already_set();
}

// A normalised side: native text, or whatever a replaced
// `_normalizar_endereco` returned.
struct Side {
    bool native = false;
    Text text;
    py::object obj;

    bool is_text() const { return native || PyUnicode_CheckExact(obj.ptr()); }
    Text take_text() { return native ? std::move(text) : u32_of(obj.ptr()); }
    py::object as_object() const { return native ? py::object(str_of(text)) : obj; }
};

Side normalize_side(PyObject* s) {
    py::object f = bind::global(LEXARO_NAME("_normalizar_endereco"));
    Side side;
    if (bind::is_native(f.ptr(), &def_normalizar_endereco)) {
        side.native = true;
        side.text = normalize_u32(s);
    } else {
        side.obj = bind::call(f.ptr(), {s});
    }
    return side;
}

// {p for p in x.split() if len(p) > 2}
py::object word_set(const py::object& x) {
    py::object pieces = bind::call_method(x.ptr(), LEXARO_NAME("split"));
    py::object set = bind::steal(PySet_New(nullptr));
    bind::for_each(pieces.ptr(), [&](PyObject* piece) {
        if (bind::size(piece) > 2 && PySet_Add(set.ptr(), piece) < 0) throw py::error_already_set();
    });
    return set;
}

// The comparison steps through the object protocol, for a replaced
// `_normalizar_endereco` that returns something other than str.
address::Likeness compare_objects(const py::object& c, const py::object& r) {
    using address::Verdict;
    if (!bind::truthy(c.ptr()) || !bind::truthy(r.ptr())) return {Verdict::kEmpty, 0.0};
    if (bind::equal(c.ptr(), r.ptr())) return {Verdict::kEqual, 1.0};
    for (auto [hay, needle] : {std::pair{&r, &c}, std::pair{&c, &r}})
        if (bind::contains(hay->ptr(), needle->ptr())) return {Verdict::kContained, 0.9};
    py::object pc = word_set(c);
    py::object pr = word_set(r);
    if (!bind::truthy(pc.ptr()) || !bind::truthy(pr.ptr())) return {Verdict::kNoWords, 0.0};
    py::object inter = bind::steal(PyNumber_And(pc.ptr(), pr.ptr()));
    py::object uniao = bind::steal(PyNumber_Or(pc.ptr(), pr.ptr()));
    return {Verdict::kWords,
            static_cast<double>(bind::size(inter.ptr())) / static_cast<double>(bind::size(uniao.ptr()))};
}

address::Likeness compare_texts(const Text& c, const Text& r) {
    const std::u32string_view cv(c.data(), c.size()), rv(r.data(), r.size());
    return bind::scan_text(c.size() + r.size(), [&] { return address::compare_normalized(cv, rv); });
}

py::object comparar_enderecos(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"endereco_contrato", nullptr}, {"dados_receita", nullptr}};
    PyObject* a[2];
    bind::bind_args("comparar_enderecos", args, nargs, kwnames, params, 2, a);
    PyObject* contrato = a[0];
    PyObject* dados = a[1];
    bind::require_str(contrato, "comparar_enderecos", "endereco_contrato");
    bind::require_dict(dados, "comparar_enderecos", "dados_receita");
    // Hold the arguments: the calls below may run arbitrary Python code.
    py::object contrato_ref = bind::borrow(contrato);
    py::object dados_ref = bind::borrow(dados);
    py::str vazio("");
    if (PyUnicode_GET_LENGTH(contrato) == 0 || PyDict_GET_SIZE(dados) == 0) return result(false, 0.0, vazio.ptr());

    py::object end = bind::dict_lookup(dados, LEXARO_NAME("endereco"));
    if (!end) end = bind::new_dict();

    static PyObject* const campos[] = {
        bind::intern("logradouro"), bind::intern("numero"), bind::intern("complemento"), bind::intern("bairro"),
        bind::intern("cidade"),     bind::intern("uf"),     bind::intern("cep"),
    };
    py::object partes = bind::new_list();
    for (PyObject* campo : campos) {
        py::object valor = bind::mapping_get(end, campo);
        if (bind::truthy(valor.ptr())) bind::append(partes, valor.ptr());
    }
    py::object endereco_receita = bind::steal(PyUnicode_Join(LEXARO_NAME(" "), partes.ptr()));
    if (PyUnicode_GET_LENGTH(endereco_receita.ptr()) == 0) return result(false, 0.0, vazio.ptr());

    Side c = normalize_side(contrato);
    Side r = normalize_side(endereco_receita.ptr());
    const address::Likeness like = (c.is_text() && r.is_text()) ? compare_texts(c.take_text(), r.take_text())
                                                                : compare_objects(c.as_object(), r.as_object());
    switch (like.verdict) {
        case address::Verdict::kEmpty:
        case address::Verdict::kNoWords:
            return result(false, 0.0, endereco_receita.ptr());
        case address::Verdict::kEqual:
            return result(true, 1.0, endereco_receita.ptr());
        case address::Verdict::kContained:
            return result(true, 0.9, endereco_receita.ptr());
        case address::Verdict::kWords:
            break;
    }
    double similaridade = like.similarity;

    // The CEP: searched in the raw contract text, compared digit for digit.
    std::u32string cep_c;
    const bool achou = bind::with_view(contrato, [&](const auto* d, std::size_t n) {
        return address::find_cep(d, n, cep_c);
    });
    py::object cep_receita = bind::mapping_get(end, LEXARO_NAME("cep"), vazio.ptr());
    if (achou && bind::truthy(cep_receita.ptr())) {
        if (cep_c == cep_digits(cep_receita.ptr())) similaridade = std::max(similaridade, address::kCepFloor);
    }
    return result(similaridade >= address::kThreshold, similaridade, endereco_receita.ptr());
}

PyMethodDef def_normalizar_endereco = LEXARO_METHOD(
    "_normalizar_endereco", normalizar_endereco,
    "_normalizar_endereco(endereco)\n--\n\nNormaliza endereço para comparação.");
PyMethodDef def_comparar_enderecos = LEXARO_METHOD(
    "comparar_enderecos", comparar_enderecos,
    "comparar_enderecos(endereco_contrato, dados_receita)\n--\n\n"
    "Compara endereço do contrato com o da Receita Federal.\n\n"
    "Normaliza os dois endereços (acentos, pontuação, abreviações de logradouro)\n"
    "e mede a semelhança: textos iguais, um contido no outro, ou a proporção de\n"
    "palavras em comum; o mesmo CEP nos dois lados garante similaridade mínima de 0.8.\n\n"
    "Args:\n"
    "    endereco_contrato: Endereço extraído do contrato\n"
    "    dados_receita: Dados retornados pela consulta à Receita Federal\n\n"
    "Returns:\n"
    "    tuple: (confere: bool, similaridade: float, endereco_receita: str)");
}  // namespace

void register_address(py::module_& m) {
    bind::add_functions(m, {&def_normalizar_endereco, &def_comparar_enderecos});
}

}  // namespace lexaro::cnpj
