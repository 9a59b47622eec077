// Module lexaro_contract._dados_abertos: the hot loop of the open-data
// importer (splitting the Receita CSV lines into keyed, packed records).
#include <string_view>

#include "bindings/boundary.hpp"
#include "core/open_data.hpp"

namespace {

using namespace lexaro;
using bind::Param;

py::object counts_dict(const open_data::Counts& c) {
    py::dict d;
    d["linhas"] = py::int_(c.rows);
    d["colunas"] = py::int_(c.bad_columns);
    d["cnpj"] = py::int_(c.bad_cnpj);
    d["nul"] = py::int_(c.nul_bytes);
    d["data"] = py::int_(c.bad_dates);
    d["capital_ficticio"] = py::int_(c.placeholder_capital);
    d["capital"] = py::int_(c.bad_capital);
    d["linha_longa"] = py::int_(c.long_lines);
    return d;
}

py::object separar(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"dados", nullptr}, {"tipos", nullptr}, {"final", nullptr}, {"nome", Py_None}};
    PyObject* a[4];
    bind::bind_args("separar", args, nargs, kwnames, params, 4, a);
    if (!PyBytes_CheckExact(a[0]))
        throw py::type_error("separar() argument 'dados' must be bytes, not " + bind::type_name(a[0]));
    bind::require_str(a[1], "separar", "tipos");
    const std::string_view kv = bind::utf8_view(a[1]);
    const auto nk = static_cast<Py_ssize_t>(kv.size());
    for (char kind : kv)
        if (std::string_view("ktdmc").find(kind) == std::string_view::npos)
            throw py::value_error("separar(): tipo de campo desconhecido em 'tipos'");
    const bool final = bind::truthy(a[2]);
    long long nome = -1;
    if (a[3] != Py_None) {
        nome = PyLong_AsLongLong(a[3]);
        if (nome == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (nome < 0 || nome >= nk) throw py::value_error("separar(): 'nome' fora dos campos");
    }
    // The bytes object is immutable and held by the caller for the call.
    const std::string_view data(PyBytes_AS_STRING(a[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(a[0])));
    open_data::Result r = bind::scan_text(data.size(), [&] { return open_data::parse(data, kv, final); });
    PyObject* lst = PyList_New(static_cast<Py_ssize_t>(r.records.size()));
    if (!lst) throw py::error_already_set();
    py::object records = bind::steal(lst);
    for (std::size_t i = 0; i < r.records.size(); ++i) {
        const auto& rec = r.records[i];
        py::object key = bind::steal(PyLong_FromLongLong(rec.key));
        py::object packed = bind::steal(PyBytes_FromStringAndSize(rec.packed.data(),
                                                                   static_cast<Py_ssize_t>(rec.packed.size())));
        PyList_SET_ITEM(lst, static_cast<Py_ssize_t>(i), py::make_tuple(key, packed).release().ptr());
    }
    py::dict codes;
    for (std::size_t k = 0; k < r.codes.size(); ++k) {
        if (r.codes[k].empty()) continue;
        py::dict tally;
        for (const auto& [value, n] : r.codes[k])
            tally[py::bytes(value.data(), value.size())] = py::int_(n);
        codes[py::int_(k)] = tally;
    }
    if (nome < 0) return py::make_tuple(records, py::int_(r.consumed), counts_dict(r.counts), codes);
    // The names for the name index: (key, name, words) of each non-empty one.
    py::list nomes;
    for (const auto& rec : r.records) {
        const std::string_view f = open_data::packed_field(rec.packed, static_cast<std::size_t>(nome));
        if (f.empty()) continue;
        py::object texto = bind::steal(PyUnicode_DecodeLatin1(f.data(), static_cast<Py_ssize_t>(f.size()), nullptr));
        nomes.append(py::make_tuple(py::int_(rec.key), texto, py::int_(open_data::count_words(f))));
    }
    return py::make_tuple(records, py::int_(r.consumed), counts_dict(r.counts), codes, nomes);
}

PyMethodDef def_separar = LEXARO_METHOD(
    "separar", separar,
    "separar(dados, tipos, final, nome=None)\n--\n\n"
    "Separa as linhas completas de um trecho de CSV dos dados abertos em registros.\n\n"
    "Devolve (registros, consumido, contagens, codigos): registros é uma lista de\n"
    "(chave, campos unidos por 0x1F); consumido, os bytes lidos (linhas inteiras,\n"
    "ou tudo quando final); contagens, as ocorrências por motivo; codigos, para\n"
    "cada campo de código, os valores vistos e quantas linhas os trazem. Com\n"
    "nome (o índice de um campo), um quinto item: (chave, nome, palavras) de cada\n"
    "registro cujo campo nome não é vazio.");

py::object chave_basico(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const std::string_view v = bind::utf8_view(bind::one_str("chave_basico", "basico", args, nargs, kwnames));
    return py::int_(open_data::basico_key(v));
}

py::object chave_cnpj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const std::string_view v = bind::utf8_view(bind::one_str("chave_cnpj", "cnpj", args, nargs, kwnames));
    if (v.size() != 14) return py::int_(-1);
    return py::int_(open_data::establishment_key(v.substr(0, 8), v.substr(8, 4), v.substr(12, 2)));
}

py::object cortes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"registros", nullptr}, {"divisor", nullptr}, {"alvo", nullptr},
                                   {"max_grupo", nullptr}, {"ultima", nullptr}, {"tamanho", nullptr},
                                   {"quantos", nullptr}};
    PyObject* a[7];
    bind::bind_args("cortes", args, nargs, kwnames, params, 7, a);
    bind::require_list(a[0], "cortes", "registros");
    auto as_int = [](PyObject* o, const char* name) {
        const long long v = PyLong_AsLongLong(o);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (v < -1) throw py::value_error(std::string("cortes(): '") + name + "' negativo");
        return v;
    };
    const long long divisor = as_int(a[1], "divisor");
    if (divisor <= 0) throw py::value_error("cortes(): 'divisor' deve ser positivo");
    open_data::CutState st;
    const auto alvo = static_cast<std::size_t>(as_int(a[2], "alvo"));
    const auto max_grupo = static_cast<std::size_t>(as_int(a[3], "max_grupo"));
    st.last = as_int(a[4], "ultima");
    st.size = static_cast<std::size_t>(as_int(a[5], "tamanho"));
    st.count = static_cast<std::size_t>(as_int(a[6], "quantos"));
    const Py_ssize_t n = PyList_GET_SIZE(a[0]);
    std::vector<std::int64_t> keys(static_cast<std::size_t>(n));
    std::vector<std::size_t> sizes(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(a[0], i);
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2 || !PyBytes_CheckExact(PyTuple_GET_ITEM(item, 1)))
            throw py::type_error("cortes(): cada registro deve ser uma tupla (int, bytes)");
        const long long k = PyLong_AsLongLong(PyTuple_GET_ITEM(item, 0));
        if (k == -1 && PyErr_Occurred()) throw py::error_already_set();
        keys[static_cast<std::size_t>(i)] = k;
        sizes[static_cast<std::size_t>(i)] = static_cast<std::size_t>(PyBytes_GET_SIZE(PyTuple_GET_ITEM(item, 1)));
    }
    std::vector<std::size_t> cuts;
    const std::size_t fora = open_data::block_cuts(keys.data(), sizes.data(), keys.size(), divisor, alvo, max_grupo,
                                                   st, cuts);
    py::list lista;
    for (std::size_t c : cuts) lista.append(py::int_(c));
    return py::make_tuple(lista, py::int_(fora), py::int_(st.last), py::int_(st.size), py::int_(st.count));
}

PyMethodDef def_cortes = LEXARO_METHOD(
    "cortes", cortes,
    "cortes(registros, divisor, alvo, max_grupo, ultima, tamanho, quantos)\n--\n\n"
    "Onde cortar os blocos de registros em ordem de chave.\n\n"
    "Devolve (cortes, fora, ultima, tamanho, quantos): os índices que abrem bloco\n"
    "novo, o índice do primeiro registro fora de ordem (ou len(registros)) e o\n"
    "estado do bloco aberto ao fim.");

PyMethodDef def_chave_basico = LEXARO_METHOD(
    "chave_basico", chave_basico,
    "chave_basico(basico)\n--\n\nA chave de ordenação de um CNPJ básico (8 caracteres), ou -1.");
PyMethodDef def_chave_cnpj = LEXARO_METHOD(
    "chave_cnpj", chave_cnpj,
    "chave_cnpj(cnpj)\n--\n\nA chave de ordenação de um CNPJ de 14 caracteres, ou -1.");

}  // namespace

LEXARO_MODULE(_dados_abertos, m) {
    m.doc() = "Leitura rápida dos arquivos CSV dos dados abertos do CNPJ.";
    bind::add_functions(m, {&def_separar, &def_cortes, &def_chave_basico, &def_chave_cnpj});
}
