// Module lexaro_contract._dados_abertos: the hot loop of the open-data
// importer (splitting the Receita CSV lines into keyed, packed records).
#include <algorithm>
#include <string_view>
#include <system_error>

#include "bindings/boundary.hpp"
#include "core/open_data.hpp"
#include "core/open_data_sort.hpp"

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

py::object codes_dict(const open_data::Result& r) {
    py::dict codes;
    for (std::size_t k = 0; k < r.codes.size(); ++k) {
        if (r.codes[k].empty()) continue;
        py::dict tally;
        for (const auto& [value, n] : r.codes[k])
            tally[py::bytes(value.data(), value.size())] = py::int_(n);
        codes[py::int_(k)] = tally;
    }
    return codes;
}

std::string_view bytes_view(PyObject* o, const char* fn, const char* param) {
    if (!PyBytes_CheckExact(o))
        throw py::type_error(std::string(fn) + "() argument '" + param + "' must be bytes, not " + bind::type_name(o));
    return std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
}

// The kinds of the fields ('tipos'), each one of those open_data::parse knows.
std::string_view field_kinds(PyObject* o, const char* fn) {
    bind::require_str(o, fn, "tipos");
    const std::string_view kv = bind::utf8_view(o);
    for (char kind : kv)
        if (std::string_view("ktdmc").find(kind) == std::string_view::npos)
            throw py::value_error(std::string(fn) + "(): tipo de campo desconhecido em 'tipos'");
    return kv;
}

// The field of the names ('nome'): an index among the `fields`, or -1 for None.
long long name_field(PyObject* o, std::size_t fields, const char* fn) {
    if (o == Py_None) return -1;
    const long long nome = PyLong_AsLongLong(o);
    if (nome == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (nome < 0 || nome >= static_cast<long long>(fields))
        throw py::value_error(std::string(fn) + "(): 'nome' fora dos campos");
    return nome;
}

// A name for the name index. The text points into its record's packed
// fields, so the records outlive the names.
struct Name {
    std::int64_t key;
    std::string_view text;
    std::size_t words;
};

// The non-empty names in field `nome` (none when -1). Plain C++, so it may run
// without the GIL.
std::vector<Name> names_of(const std::vector<open_data::Record>& records, long long nome) {
    std::vector<Name> names;
    if (nome < 0) return names;
    for (const auto& rec : records) {
        const std::string_view f = open_data::packed_field(rec.packed, static_cast<std::size_t>(nome));
        if (!f.empty()) names.push_back({rec.key, f, open_data::count_words(f)});
    }
    return names;
}

// The names as Python sees them: (key, name decoded from Latin-1, words).
py::list names_list(const std::vector<Name>& names) {
    py::list out;
    for (const Name& n : names) {
        py::object texto = bind::steal(PyUnicode_DecodeLatin1(n.text.data(), static_cast<Py_ssize_t>(n.text.size()),
                                                              nullptr));
        out.append(py::make_tuple(py::int_(n.key), texto, py::int_(n.words)));
    }
    return out;
}

py::object separar(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"dados", nullptr}, {"tipos", nullptr}, {"final", nullptr}, {"nome", Py_None}};
    PyObject* a[4];
    bind::bind_args("separar", args, nargs, kwnames, params, 4, a);
    // The bytes object is immutable and held by the caller for the call.
    const std::string_view data = bytes_view(a[0], "separar", "dados");
    const std::string_view kv = field_kinds(a[1], "separar");
    const bool final = bind::truthy(a[2]);
    const long long nome = name_field(a[3], kv.size(), "separar");
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
    py::object codes = codes_dict(r);
    if (nome < 0) return py::make_tuple(records, py::int_(r.consumed), counts_dict(r.counts), codes);
    // The names for the name index: (key, name, words) of each non-empty one.
    return py::make_tuple(records, py::int_(r.consumed), counts_dict(r.counts), codes,
                          names_list(names_of(r.records, nome)));
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

PyMethodDef def_chave_basico = LEXARO_METHOD(
    "chave_basico", chave_basico,
    "chave_basico(basico)\n--\n\nA chave de ordenação de um CNPJ básico (8 caracteres), ou -1.");
PyMethodDef def_chave_cnpj = LEXARO_METHOD(
    "chave_cnpj", chave_cnpj,
    "chave_cnpj(cnpj)\n--\n\nA chave de ordenação de um CNPJ de 14 caracteres, ou -1.");

// ---------------------------------------------------------------- the sort of a table
//
// A sorter is handed to Python as a capsule (an opaque handle that closes it
// when collected); the functions below do their work without the GIL, so the
// reading thread parses while the main thread writes the database, and the
// sorter's own threads sort, spill, merge and compress beside both.

constexpr const char* kSorterCapsule = "lexaro_contract._dados_abertos.ordenador";

open_data::TableSorter& sorter_of(PyObject* o, const char* fn) {
    void* p = PyCapsule_CheckExact(o) ? PyCapsule_GetPointer(o, kSorterCapsule) : nullptr;
    if (!p) {
        PyErr_Clear();
        throw py::type_error(std::string(fn) + "(): 'ordenador' must come from ordenador()");
    }
    return *static_cast<open_data::TableSorter*>(p);
}

// Runs f without the GIL; a failure of the operating system (a full disk, a
// missing folder) comes back as OSError; a misuse or a broken run as ValueError.
template <class F>
decltype(auto) without_gil(F&& f) {
    try {
        py::gil_scoped_release nogil;
        return f();
    } catch (const std::system_error& e) {
        PyErr_SetObject(PyExc_OSError, py::make_tuple(e.code().value(), e.what()).ptr());
        throw py::error_already_set();
    } catch (const std::logic_error& e) {
        throw py::value_error(e.what());
    } catch (const std::runtime_error& e) {
        throw py::value_error(std::string("ordenação: ") + e.what());
    }
}

py::object ordenador(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"pasta", nullptr}, {"memoria", nullptr}, {"comprimir", Py_True}};
    PyObject* a[3];
    bind::bind_args("ordenador", args, nargs, kwnames, params, 3, a);
    bind::require_str(a[0], "ordenador", "pasta");
    const long long memoria = PyLong_AsLongLong(a[1]);
    if (memoria == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (memoria <= 0) throw py::value_error("ordenador(): 'memoria' deve ser positiva");
    // Level 1 when compressing: each chunk is read back once, soon.
    auto* s = new open_data::TableSorter(std::string(bind::utf8_view(a[0])), static_cast<std::size_t>(memoria),
                                         bind::truthy(a[2]) ? 1 : 0);
    PyObject* cap = PyCapsule_New(s, kSorterCapsule, [](PyObject* c) {
        delete static_cast<open_data::TableSorter*>(PyCapsule_GetPointer(c, kSorterCapsule));
    });
    if (!cap) {
        delete s;
        throw py::error_already_set();
    }
    return bind::steal(cap);
}

PyMethodDef def_ordenador = LEXARO_METHOD(
    "ordenador", ordenador,
    "ordenador(pasta, memoria, comprimir=True)\n--\n\n"
    "Um ordenador dos registros de uma tabela: junta-os em memória (até memoria\n"
    "bytes), despeja corridas ordenadas num arquivo temporário em pasta\n"
    "(comprimidas, ou, sem comprimir, como estão) e, no fim, os intercala e\n"
    "empacota em blocos (blocos_iniciar, blocos).");

py::object separar_em(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"ordenador", nullptr}, {"dados", nullptr}, {"tipos", nullptr},
                                   {"final", nullptr}, {"nome", Py_None}, {"marca", nullptr},
                                   {"nomes", Py_None}};
    PyObject* a[7];
    bind::bind_args("separar_em", args, nargs, kwnames, params, 7, a);
    open_data::TableSorter* para_nomes = a[6] == Py_None ? nullptr : &sorter_of(a[6], "separar_em");
    open_data::TableSorter& s = sorter_of(a[0], "separar_em");
    const std::string_view data = bytes_view(a[1], "separar_em", "dados");
    const std::string_view kv = field_kinds(a[2], "separar_em");
    const bool final = bind::truthy(a[3]);
    const long long nome = name_field(a[4], kv.size(), "separar_em");
    const std::string_view marca = bytes_view(a[5], "separar_em", "marca");
    // Nothing below touches a Python object until the GIL is back: the views
    // point into bytes objects, immutable and held by the caller for the call.
    open_data::Result r;
    std::vector<Name> names;
    without_gil([&] {
        r = open_data::parse(data, kv, final);
        names = names_of(r.records, nome);
        if (para_nomes) {
            // Kept for the end, in key order: the full-text index takes its rows
            // far faster in rowid order. Each is the word count (one byte, at
            // most 255) and the name.
            para_nomes->feed([&] {
                std::string v;
                for (const Name& n : names) {
                    v.assign(1, static_cast<char>(std::min<std::size_t>(n.words, 255)));
                    v.append(n.text);
                    para_nomes->add(n.key, {}, v);
                }
            });
            names.clear();
        }
        s.feed([&] {
            for (const auto& rec : r.records) s.add(rec.key, marca, rec.packed);
        });
        // The names still to return point into the records, which then stay
        // until the list is built.
        if (names.empty()) {
            r.records.clear();
            r.records.shrink_to_fit();
        }
    });
    return py::make_tuple(py::int_(r.consumed), counts_dict(r.counts), codes_dict(r), names_list(names));
}

PyMethodDef def_separar_em = LEXARO_METHOD(
    "separar_em", separar_em,
    "separar_em(ordenador, dados, tipos, final, nome, marca, nomes=None)\n--\n\n"
    "Como separar(), mas os registros (marca seguida dos campos) vão para o\n"
    "ordenador em vez de voltar. Devolve (consumido, contagens, codigos, nomes);\n"
    "nomes fica vazia sem nome, ou quando os nomes vão para o ordenador nomes\n"
    "(chave; um byte com o número de palavras, até 255, seguido do nome).");

py::object acrescentar(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"ordenador", nullptr}, {"registros", nullptr}};
    PyObject* a[2];
    bind::bind_args("acrescentar", args, nargs, kwnames, params, 2, a);
    open_data::TableSorter& s = sorter_of(a[0], "acrescentar");
    bind::require_list(a[1], "acrescentar", "registros");
    // A copy of the list keeps every record alive while the GIL is released,
    // whatever another thread does to the caller's list meanwhile.
    py::object copia = py::reinterpret_steal<py::object>(PyList_GetSlice(a[1], 0, PyList_GET_SIZE(a[1])));
    if (!copia) throw py::error_already_set();
    const Py_ssize_t n = PyList_GET_SIZE(copia.ptr());
    std::vector<std::pair<std::int64_t, std::string_view>> regs;
    regs.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(copia.ptr(), i);
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2 || !PyBytes_CheckExact(PyTuple_GET_ITEM(item, 1)))
            throw py::type_error("acrescentar(): cada registro deve ser uma tupla (int, bytes)");
        const long long k = PyLong_AsLongLong(PyTuple_GET_ITEM(item, 0));
        if (k == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (k < 0) throw py::value_error("acrescentar(): chave negativa");
        regs.emplace_back(k, bytes_view(PyTuple_GET_ITEM(item, 1), "acrescentar", "registros"));
    }
    without_gil([&] {
        s.feed([&] {
            for (const auto& [k, v] : regs) s.add(k, {}, v);
        });
    });
    return py::none();
}

PyMethodDef def_acrescentar = LEXARO_METHOD(
    "acrescentar", acrescentar,
    "acrescentar(ordenador, registros)\n--\n\nAcrescenta registros (chave, bytes) ao ordenador.\n\n"
    "Serve aos testes, para dar ao ordenador chaves quaisquer; a importação\n"
    "entrega os seus registros com separar_em().");

py::object blocos_iniciar(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"ordenador", nullptr}, {"divisor", nullptr}, {"alvo", nullptr},
                                   {"max_grupo", nullptr}, {"nivel", nullptr}};
    PyObject* a[5];
    bind::bind_args("blocos_iniciar", args, nargs, kwnames, params, 5, a);
    open_data::TableSorter& s = sorter_of(a[0], "blocos_iniciar");
    long long v[4];
    for (int i = 0; i < 4; ++i) {
        v[i] = PyLong_AsLongLong(a[i + 1]);
        if (v[i] == -1 && PyErr_Occurred()) throw py::error_already_set();
    }
    if (v[0] <= 0 || v[1] < 0 || v[2] < 0 || v[3] < -1 || v[3] > 9)
        throw py::value_error("blocos_iniciar(): divisor positivo, alvo e max_grupo não negativos, nivel de -1 a 9");
    open_data::BlockLayout layout;
    layout.divisor = v[0];
    layout.target = static_cast<std::size_t>(v[1]);
    layout.max_group = static_cast<std::size_t>(v[2]);
    layout.level = static_cast<int>(v[3]);
    without_gil([&] { s.start_blocks(layout); });
    return py::none();
}

PyMethodDef def_blocos_iniciar = LEXARO_METHOD(
    "blocos_iniciar", blocos_iniciar,
    "blocos_iniciar(ordenador, divisor, alvo, max_grupo, nivel)\n--\n\n"
    "Encerra a entrada e começa, noutra thread, a intercalação e o empacotamento\n"
    "em blocos (cortados pela regra dos blocos do banco, comprimidos no nivel dado com o\n"
    "dicionário da tabela). Com nivel -1, sem blocos: cada registro sai sozinho,\n"
    "como entrou, em ordem de chave.");

py::object blocos(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"ordenador", nullptr}, {"esperar", Py_True}};
    PyObject* a[2];
    bind::bind_args("blocos", args, nargs, kwnames, params, 2, a);
    open_data::TableSorter& s = sorter_of(a[0], "blocos");
    const bool esperar = bind::truthy(a[1]);
    std::vector<open_data::Block> batch;
    const auto next = without_gil([&] { return s.next_blocks(batch, esperar); });
    if (next == open_data::TableSorter::Next::not_yet) return py::none();
    PyObject* lst = PyList_New(static_cast<Py_ssize_t>(batch.size()));
    if (!lst) throw py::error_already_set();
    py::object out = bind::steal(lst);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        py::object key = bind::steal(PyLong_FromLongLong(batch[i].key));
        py::object data = bind::steal(PyBytes_FromStringAndSize(batch[i].data.data(),
                                                                static_cast<Py_ssize_t>(batch[i].data.size())));
        PyList_SET_ITEM(lst, static_cast<Py_ssize_t>(i), py::make_tuple(key, data).release().ptr());
    }
    return out;
}

PyMethodDef def_blocos = LEXARO_METHOD(
    "blocos", blocos,
    "blocos(ordenador, esperar=True)\n--\n\n"
    "O próximo lote de blocos (chave do primeiro registro, bytes comprimidos), em\n"
    "ordem de chave; uma lista vazia no fim; None quando esperar é falso e nenhum\n"
    "lote está pronto.");

py::object dicionario_da_tabela(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"ordenador", nullptr}};
    PyObject* a[1];
    bind::bind_args("dicionario_da_tabela", args, nargs, kwnames, params, 1, a);
    open_data::TableSorter& s = sorter_of(a[0], "dicionario_da_tabela");
    const std::string d = without_gil([&] { return s.dictionary(); });
    return py::bytes(d.data(), d.size());
}

PyMethodDef def_dicionario_da_tabela = LEXARO_METHOD(
    "dicionario_da_tabela", dicionario_da_tabela,
    "dicionario_da_tabela(ordenador)\n--\n\nO dicionário zlib com que os blocos da tabela foram comprimidos.");

py::object ordenador_fechar(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"ordenador", nullptr}};
    PyObject* a[1];
    bind::bind_args("ordenador_fechar", args, nargs, kwnames, params, 1, a);
    open_data::TableSorter& s = sorter_of(a[0], "ordenador_fechar");
    without_gil([&] { s.close(); });
    return py::int_(s.runs_written());
}

PyMethodDef def_ordenador_fechar = LEXARO_METHOD(
    "ordenador_fechar", ordenador_fechar,
    "ordenador_fechar(ordenador)\n--\n\n"
    "Para as threads do ordenador e apaga o que ele guardava; devolve quantas\n"
    "corridas foram despejadas em disco.");

}  // namespace

LEXARO_MODULE(_dados_abertos, m) {
    m.doc() = "Leitura rápida dos arquivos CSV dos dados abertos do CNPJ.";
    bind::add_functions(m, {&def_separar, &def_chave_basico, &def_chave_cnpj, &def_ordenador,
                            &def_separar_em, &def_acrescentar, &def_blocos_iniciar, &def_blocos,
                            &def_dicionario_da_tabela, &def_ordenador_fechar});
}
