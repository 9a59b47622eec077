// ContractChecker._validar_assinaturas: each signatory looked up in the
// partner list (QSA) of the company it represents, found in the registry
// cache that company validation filled.
#include "bindings/checker_pipeline.hpp"
#include "core/names.hpp"

namespace lexaro::checker {

namespace {

// A witness signs as a witness: its kind of signature or its position says so.
bool eh_testemunha(PyObject* self, PyObject* ass) {
    for (PyObject* attr : {LEXARO_NAME("tipo_assinatura"), LEXARO_NAME("cargo")}) {
        py::object v = getattr(ass, attr);
        if (!truthy(v.ptr())) continue;
        py::object norm = call_method(self, LEXARO_NAME("_normalizar_texto"), v.ptr());
        if (bind::contains(norm.ptr(), LEXARO_NAME("testemunha"))) return true;
    }
    return false;
}

// self._normalizar_texto(v) when v is text and the folding gives text; an
// empty object otherwise.
py::object dobrado(PyObject* self, PyObject* v) {
    if (!PyUnicode_Check(v)) return py::object();
    py::object n = call_method(self, LEXARO_NAME("_normalizar_texto"), v);
    return PyUnicode_Check(n.ptr()) ? n : py::object();
}

// An individual entrepreneur (natureza jurídica "Empresário (Individual)",
// the MEI among them) has no partners: the registry's QSA is empty by nature
// and the company name is the owner's name, often followed by the owner's
// CPF. The signatory whose name is that name, word for word, is the owner.
bool eh_titular_individual(PyObject* self, PyObject* nome, PyObject* dados) {
    PyObject* const vazio = LEXARO_NAME("");
    py::object natureza = dobrado(self, bind::mapping_get(dados, LEXARO_NAME("natureza_juridica"), vazio).ptr());
    if (!natureza || !bind::contains(natureza.ptr(), LEXARO_NAME("empresario (individual)"))) return false;
    py::object razao = dobrado(self, bind::mapping_get(dados, LEXARO_NAME("razao_social"), vazio).ptr());
    if (!razao) return false;
    py::object n = dobrado(self, nome);
    if (!n) return false;
    return bind::with_view(n.ptr(), [&](const auto* a, std::size_t na) {
        return bind::with_view(razao.ptr(), [&](const auto* b, std::size_t nb) {
            return names::is_holder_name(a, na, b, nb);
        });
    });
}

py::object assinatura_completa(PyObject* ass, PyObject* nome, PyObject* campos, PyObject* tem_poder,
                               PyObject* qualificacao, PyObject* problemas) {
    py::object cargo = getattr(ass, LEXARO_NAME("cargo"));
    py::object empresa = getattr(ass, LEXARO_NAME("empresa_representada"));
    py::object cnpj_empresa = getattr(ass, LEXARO_NAME("cnpj_empresa"));
    py::object tipo = getattr(ass, LEXARO_NAME("tipo_assinatura"));
    return build(LEXARO_NAME("AssinaturaVerificada"),
                 KWNAMES("nome_signatario", "cargo", "empresa_representada", "cnpj_empresa", "tipo_assinatura",
                         "campos", "tem_poder_assinatura", "qualificacao_qsa", "problemas"),
                 {nome, cargo.ptr(), empresa.ptr(), cnpj_empresa.ptr(), tipo.ptr(), campos, tem_poder, qualificacao,
                  problemas});
}

// socios[:3]
PyObject* primeiros3() {
    static PyObject* s = bind::steal(PySlice_New(nullptr, bind::small_int<3>(), nullptr)).release().ptr();
    return s;
}

py::object validar_assinaturas(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"self", nullptr}, {"assinaturas", nullptr}, {"dados_receita_cache", nullptr}};
    PyObject* a[3];
    bind::bind_method("ContractChecker._validar_assinaturas", self, args, nargs, kwnames, params, 3, a);
    self = a[0];
    PyObject* assinaturas = a[1];
    PyObject* cache = a[2];
    bind::require_list(assinaturas, "ContractChecker._validar_assinaturas", "assinaturas");
    bind::require_dict(cache, "ContractChecker._validar_assinaturas", "dados_receita_cache");

    PyObject* const vazio = LEXARO_NAME("");
    PyObject* const campo_poder = LEXARO_NAME("Poder de Assinatura");
    py::object resultados = new_list();
    log(self, LEXARO_NAME("\n--- Verificando Assinaturas ---"), LEXARO_NAME("✍️"));

    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(assinaturas); ++i) {
        py::object ass = borrow(PyList_GET_ITEM(assinaturas, i));
        py::object campos = new_list();
        py::object problemas = new_list();
        py::object tem_poder = borrow(Py_False);
        py::object qualificacao = borrow(Py_None);
        py::object nome = getattr(ass, LEXARO_NAME("nome_signatario"));

        if (!truthy(nome.ptr()) || bind::equal(nome.ptr(), LEXARO_NAME("N/A"))) {
            py::object c = build(LEXARO_NAME("CampoVerificado"), KWNAMES("campo", "status", "mensagem"),
                                 {LEXARO_NAME("Identificação"), LEXARO_NAME("nao_verificado"),
                                  LEXARO_NAME("Signatário não identificado")});
            append(campos, c.ptr());
            py::object tipo = getattr(ass, LEXARO_NAME("tipo_assinatura"));
            append(problemas, LEXARO_NAME("Signatário não identificado"));
            py::object rec = build(LEXARO_NAME("AssinaturaVerificada"),
                                   KWNAMES("nome_signatario", "tipo_assinatura", "campos", "problemas"),
                                   {LEXARO_NAME("(não identificado)"), tipo.ptr(), campos.ptr(), problemas.ptr()});
            append(resultados, rec.ptr());
            continue;
        }

        // Shown once, in every message about this signatory.
        py::object nome_txt = fstring<"{}">(nome);
        log(self, fstring<"Verificando: {}">(nome_txt), LEXARO_NAME("👤"));

        if (eh_testemunha(self, ass.ptr())) {
            py::object c = campo_sem_receita(campo_poder, LEXARO_NAME("nao_verificado"), nome.ptr(),
                                             LEXARO_NAME("Testemunha: poder de assinatura não exigido"));
            append(campos, c.ptr());
            log(self, fstring<"ℹ️ {} - testemunha">(nome_txt), vazio);
            py::object rec =
                assinatura_completa(ass.ptr(), nome.ptr(), campos.ptr(), Py_False, Py_None, problemas.ptr());
            append(resultados, rec.ptr());
            continue;
        }

        py::object dados_empresa = borrow(Py_None);
        py::object cnpj_empresa = getattr(ass, LEXARO_NAME("cnpj_empresa"));
        if (truthy(cnpj_empresa.ptr())) {
            py::object limpo = bind::call(bind::global(LEXARO_NAME("limpar_cnpj")).ptr(), {cnpj_empresa.ptr()});
            dados_empresa = bind::mapping_get(cache, limpo.ptr());
        }
        if (!truthy(dados_empresa.ptr())) {
            py::object empresa = getattr(ass, LEXARO_NAME("empresa_representada"));
            if (truthy(empresa.ptr())) {
                py::object chave = call_method(self, LEXARO_NAME("_normalizar_texto"), empresa.ptr());
                dados_empresa = bind::mapping_get(cache, chave.ptr());
            }
        }

        py::object par[2];
        if (truthy(dados_empresa.ptr())) {
            py::object r = call_method(self, LEXARO_NAME("_verificar_poder_assinatura"), nome.ptr(), dados_empresa.ptr());
            bind::unpack(r.ptr(), 2, par);
            tem_poder = par[0];
            qualificacao = par[1];
        } else {
            // Walk the cache in insertion order, as iterating its values would.
            py::object valores = call_method(cache, LEXARO_NAME("values"));
            bind::for_each(valores.ptr(), [&](PyObject* registro) {
                py::object r = call_method(self, LEXARO_NAME("_verificar_poder_assinatura"), nome.ptr(), registro);
                bind::unpack(r.ptr(), 2, par);
                tem_poder = par[0];
                qualificacao = par[1];
                if (!truthy(tem_poder.ptr())) return true;
                dados_empresa = borrow(registro);
                return false;
            });
        }

        if (truthy(tem_poder.ptr())) {
            const bool tem_q = truthy(qualificacao.ptr());
            py::object c = campo(campo_poder, LEXARO_NAME("aprovado"), nome.ptr(),
                                 tem_q ? qualificacao.ptr() : LEXARO_NAME("Encontrado no QSA"),
                                 fstring<"Signatário tem poder ({})">(tem_q ? qualificacao.ptr()
                                                                            : LEXARO_NAME("Sócio/Admin"))
                                     .ptr());
            append(campos, c.ptr());
            log(self, fstring<"✅ {} TEM PODER ({})">(nome_txt, qualificacao), vazio);
        } else if (truthy(dados_empresa.ptr())) {
            py::object socios = bind::mapping_get(dados_empresa, LEXARO_NAME("socios"), new_list().ptr());
            py::object fatia = bind::get_item(socios, primeiros3());
            py::object nomes = new_list();
            bind::for_each(fatia.ptr(), [&](PyObject* socio) {
                append(nomes, bind::mapping_get(socio, LEXARO_NAME("nome"), vazio).ptr());
            });
            if (PyList_GET_SIZE(nomes.ptr()) == 0 && eh_titular_individual(self, nome.ptr(), dados_empresa.ptr())) {
                PyObject* const titular = LEXARO_NAME("Titular da empresa individual");
                tem_poder = borrow(Py_True);
                py::object c = campo(campo_poder, LEXARO_NAME("aprovado"), nome.ptr(), titular,
                                     LEXARO_NAME("Signatário é o titular da empresa individual"));
                append(campos, c.ptr());
                log(self, fstring<"✅ {} TEM PODER ({})">(nome_txt, titular), vazio);
            } else {
                py::object valor_receita =
                    PyList_GET_SIZE(nomes.ptr())
                        ? fstring<"QSA: {}...">(bind::steal(PyUnicode_Join(LEXARO_NAME(", "), nomes.ptr())))
                        : borrow(LEXARO_NAME("QSA vazio"));
                py::object c = campo(campo_poder, LEXARO_NAME("reprovado"), nome.ptr(), valor_receita.ptr(),
                                     LEXARO_NAME("Signatário NÃO encontrado no QSA"));
                append(campos, c.ptr());
                append(problemas, LEXARO_NAME("Signatário sem poder de assinatura"));
                log(self, fstring<"❌ {} NÃO TEM PODER">(nome_txt), vazio);
            }
        } else {
            py::object c = campo_sem_receita(campo_poder, LEXARO_NAME("pendente"), nome.ptr(),
                                             LEXARO_NAME("Não foi possível verificar"));
            append(campos, c.ptr());
            log(self, fstring<"⚠️ {} - não foi possível verificar">(nome_txt), vazio);
        }

        py::object rec = assinatura_completa(ass.ptr(), nome.ptr(), campos.ptr(), tem_poder.ptr(),
                                             qualificacao.ptr(), problemas.ptr());
        append(resultados, rec.ptr());
    }
    return resultados;
}

}  // namespace

PyMethodDef def_validar_assinaturas = LEXARO_METHOD(
    "_validar_assinaturas", validar_assinaturas,
    "_validar_assinaturas($self, assinaturas, dados_receita_cache)\n--\n\n"
    "Valida o poder de assinatura dos signatários no QSA das empresas.");

}  // namespace lexaro::checker
