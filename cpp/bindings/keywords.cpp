// Module lexaro_contract.keywords: screening of a text for the vocabulary of
// a contract.
#include <memory>
#include <vector>

#include "bindings/text_boundary.hpp"
#include "core/matcher.hpp"

namespace {

using namespace lexaro;
using bind::Param;

extern PyMethodDef def_normalizar_texto;

py::object normalizar_texto(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* texto = bind::one_str("normalizar_texto", "texto", args, nargs, kwnames);
    if (PyUnicode_GET_LENGTH(texto) == 0) return bind::borrow(LEXARO_NAME(""));
    return bind::fold_str(texto);
}

// The automaton for the current keyword lists, reused while both lists hold
// the very same str objects (the cache keeps them alive, so identity cannot
// be confused with a new object at a recycled address).
struct Screening {
    std::vector<py::object> items;  // exclusion entries, then validation entries
    std::size_t n_exclusion = 0;
    std::vector<int> pattern_of;    // per item: pattern index, -1 when not text
    std::shared_ptr<const text::MultiMatcher> matcher;
};
std::shared_ptr<Screening> g_cache;

bool cache_matches(PyObject* exc, PyObject* val) {
    if (!g_cache) return false;
    const std::size_t ne = static_cast<std::size_t>(PyList_GET_SIZE(exc));
    const std::size_t nv = static_cast<std::size_t>(PyList_GET_SIZE(val));
    if (g_cache->n_exclusion != ne || g_cache->items.size() != ne + nv) return false;
    for (std::size_t i = 0; i < ne; ++i)
        if (g_cache->items[i].ptr() != PyList_GET_ITEM(exc, i)) return false;
    for (std::size_t i = 0; i < nv; ++i)
        if (g_cache->items[ne + i].ptr() != PyList_GET_ITEM(val, i)) return false;
    return true;
}

void rebuild_cache(PyObject* exc, PyObject* val) {
    auto sc = std::make_shared<Screening>();
    std::vector<std::u32string> patterns;
    auto add = [&](PyObject* item) {
        sc->items.push_back(bind::borrow(item));
        if (!PyUnicode_CheckExact(item)) {
            sc->pattern_of.push_back(-1);
            return;
        }
        std::u32string f = bind::with_view(item, [](const auto* d, std::size_t n) { return text::fold_to_u32(d, n); });
        std::size_t idx = patterns.size();
        for (std::size_t i = 0; i < patterns.size(); ++i)
            if (patterns[i] == f) idx = i;
        if (idx == patterns.size()) patterns.push_back(std::move(f));
        sc->pattern_of.push_back(static_cast<int>(idx));
    };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(exc); ++i) add(PyList_GET_ITEM(exc, i));
    sc->n_exclusion = sc->items.size();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(val); ++i) add(PyList_GET_ITEM(val, i));
    sc->matcher = std::make_shared<const text::MultiMatcher>(patterns);
    g_cache = std::move(sc);
}

// (len(found) >= MIN_KEYWORDS, len(found), found)
py::object finish(const py::object& found) {
    py::int_ quantidade(PyList_GET_SIZE(found.ptr()));
    py::object minimo = bind::global(LEXARO_NAME("MIN_KEYWORDS"));
    return py::make_tuple(bind::rich_compare(quantidade.ptr(), minimo.ptr(), Py_GE), quantidade, found);
}

py::object excluded(PyObject* keyword) {
    py::object motivo = bind::fstring<"EXCLUSÃO: {}">(keyword);
    return py::make_tuple(py::bool_(false), py::int_(0), bind::list_of({motivo.ptr()}));
}

// normalizar_texto(keyword) in texto_norm, through the module global.
bool mentions(const py::object& texto_norm, PyObject* keyword) {
    py::object kn = bind::call(bind::global(LEXARO_NAME("normalizar_texto")).ptr(), {keyword});
    return bind::contains(texto_norm.ptr(), kn.ptr());
}

// The screening as a plain Python function would run it, calling whatever
// `normalizar_texto` the module holds and iterating any iterable.
py::object screen_generic(PyObject* texto, py::object norm) {
    py::object texto_norm = bind::call(norm.ptr(), {texto});
    py::object exc = bind::global(LEXARO_NAME("KEYWORDS_EXCLUSAO"));
    py::object excluida;
    bind::for_each(exc.ptr(), [&](PyObject* keyword) {
        if (mentions(texto_norm, keyword)) excluida = excluded(keyword);
        return !excluida;
    });
    if (excluida) return excluida;
    py::object found = bind::new_list();
    py::object val = bind::global(LEXARO_NAME("KEYWORDS_VALIDACAO"));
    bind::for_each(val.ptr(), [&](PyObject* keyword) {
        if (mentions(texto_norm, keyword)) bind::append(found, keyword);
    });
    return finish(found);
}

[[noreturn]] void raise_not_text(PyObject* keyword) {
    bind::require_str(keyword, "normalizar_texto", "texto");
    throw std::logic_error("unreachable");
}

py::object validar_documento_contrato(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* texto = bind::one_str("validar_documento_contrato", "texto", args, nargs, kwnames);
    if (PyUnicode_GET_LENGTH(texto) == 0) return py::make_tuple(py::bool_(false), py::int_(0), bind::new_list());

    py::object norm = bind::global(LEXARO_NAME("normalizar_texto"));
    if (!bind::is_native(norm.ptr(), &def_normalizar_texto)) return screen_generic(texto, norm);
    py::object exc = bind::global(LEXARO_NAME("KEYWORDS_EXCLUSAO"));
    if (!PyList_CheckExact(exc.ptr())) return screen_generic(texto, norm);
    // Only the validation list is left to read, and only after the exclusion
    // pass; an exclusion hit never looks it up.
    py::object val = bind::mapping_get(bind::g_globals, LEXARO_NAME("KEYWORDS_VALIDACAO"));
    if (!PyList_CheckExact(val.ptr())) return screen_generic(texto, norm);

    if (!cache_matches(exc.ptr(), val.ptr())) rebuild_cache(exc.ptr(), val.ptr());
    // Keeps the entries and the automaton alive even if another thread
    // replaces the lists while the GIL is released.
    const std::shared_ptr<const Screening> sc = g_cache;
    const text::MultiMatcher& matcher = *sc->matcher;
    const std::vector<int>& pattern_of = sc->pattern_of;
    const std::size_t ne = sc->n_exclusion;
    const std::vector<py::object>& items = sc->items;

    std::vector<bool> found = bind::with_view(
        texto, [&](const auto* d, std::size_t n) { return bind::scan_text(n, [&] { return matcher.scan(d, n); }); });

    for (std::size_t i = 0; i < ne; ++i) {
        if (pattern_of[i] < 0) raise_not_text(items[i].ptr());
        if (found[static_cast<std::size_t>(pattern_of[i])]) return excluded(items[i].ptr());
    }
    py::object hits = bind::new_list();
    for (std::size_t i = ne; i < items.size(); ++i) {
        if (pattern_of[i] < 0) raise_not_text(items[i].ptr());
        if (found[static_cast<std::size_t>(pattern_of[i])]) bind::append(hits, items[i].ptr());
    }
    return finish(hits);
}

PyMethodDef def_normalizar_texto = LEXARO_METHOD(
    "normalizar_texto", normalizar_texto,
    "normalizar_texto(texto)\n--\n\nNormaliza texto removendo acentos e convertendo para minúsculas.");
PyMethodDef def_validar = LEXARO_METHOD(
    "validar_documento_contrato", validar_documento_contrato,
    "validar_documento_contrato(texto)\n--\n\n"
    "Valida se o texto do documento é de um contrato.\n\n"
    "Returns:\n    tuple: (eh_contrato: bool, quantidade_keywords: int, keywords_encontradas: list)");

}  // namespace

LEXARO_MODULE(keywords, m) {
    m.doc() = "\nValidação de documentos como contratos por palavras-chave.\n";
    bind::set_namespace(m);
    m.attr("unicodedata") = py::module_::import("unicodedata");
    bind::bind_from(m, "typing", {"Tuple", "List"});

    m.attr("KEYWORDS_VALIDACAO") = py::list(py::make_tuple(
        "contrato", "acordo", "termo", "instrumento", "aditivo", "distrato", "contratante", "contratada",
        "contratado", "prestador", "prestadora", "tomador", "tomadora", "cláusula", "clausula", "objeto",
        "vigência", "vigencia", "valor", "pagamento", "obrigações", "obrigacoes", "rescisão", "rescisao", "foro",
        "cnpj", "inscrita", "inscrito", "neste ato representada", "neste ato representado",
        "doravante denominada", "doravante denominado", "assinatura", "assinado", "firmado", "testemunha",
        "certificado digital", "icp-brasil"));
    m.attr("KEYWORDS_EXCLUSAO") = py::list(py::make_tuple(
        "edital de licitação", "pregão eletrônico", "tomada de preços", "concorrência pública", "carta convite",
        "nota fiscal", "recibo", "boleto", "fatura"));
    m.attr("MIN_KEYWORDS") = 3;
    bind::add_functions(m, {&def_normalizar_texto, &def_validar});
}
