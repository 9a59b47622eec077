// Company validation, signature validation, the verification pipeline and the
// printed report of ContractChecker, plus the module function
// verificar_contrato.
//
// Everything here runs as the equivalent Python methods would: steps are
// reached through attribute lookup on self, module-level names are looked up
// in the module namespace at each use, records are built by calling the
// classes with keyword arguments, output goes through the module's `print`,
// and every exception raised by called code passes through unchanged.
#include "bindings/checker_pipeline.hpp"

#include <initializer_list>
#include <string>
#include <vector>

namespace {

using namespace lexaro;
using bind::Param;
using bind::borrow;
using bind::call_method;
using bind::call_with_mapping;
using bind::getattr;
using bind::set_item;
using bind::steal;
using bind::truthy;

// ---------------------------------------------------------------- helpers

bool equals(PyObject* a, PyObject* b) {
    const int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// format(o, spec); without spec, the f-string form of o.
py::object fmt(PyObject* o, PyObject* spec = nullptr) { return steal(PyObject_Format(o, spec)); }

// Concatenation of str parts.
py::object cat(std::initializer_list<PyObject*> parts) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(parts.size()));
    if (!t) throw py::error_already_set();
    py::object tuple = py::reinterpret_steal<py::object>(t);
    Py_ssize_t i = 0;
    for (PyObject* p : parts) {
        Py_INCREF(p);
        PyTuple_SET_ITEM(t, i++, p);
    }
    return steal(PyUnicode_Join(LEXARO_NAME(""), t));
}

py::object decimal(Py_ssize_t n) { return steal(PyUnicode_FromString(std::to_string(n).c_str())); }

void log(PyObject* self, PyObject* msg, PyObject* emoji) { call_method(self, LEXARO_NAME("_log"), msg, emoji); }

// cls(**dict(zip(kwnames, values))) with cls a module global.
py::object build(PyObject* cls_name, PyObject* kwnames, std::initializer_list<PyObject*> values) {
    py::object cls = bind::global(cls_name);
    return steal(PyObject_Vectorcall(cls.ptr(), values.begin(), 0, kwnames));
}

// Calls f(item) for each item of an iterable, holding each item strongly.
template <class F>
void for_each(PyObject* seq, F&& f) {
    if (PyList_CheckExact(seq)) {
        // The list iterator's rule: the length is read again at every step.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            py::object item = borrow(PyList_GET_ITEM(seq, i));
            if (!f(item.ptr())) return;
        }
        return;
    }
    py::object it = steal(PyObject_GetIter(seq));
    while (PyObject* n = PyIter_Next(it.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(n);
        if (!f(item.ptr())) return;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

// a, b, ... = v with the interpreter's messages.
void unpack(PyObject* v, Py_ssize_t n, py::object* out) {
    if ((PyTuple_CheckExact(v) && PyTuple_GET_SIZE(v) == n) || (PyList_CheckExact(v) && PyList_GET_SIZE(v) == n)) {
        PyObject** items = PySequence_Fast_ITEMS(v);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = borrow(items[i]);
        return;
    }
    PyObject* raw = PyObject_GetIter(v);
    if (!raw) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(v)->tp_iter == nullptr && !PySequence_Check(v)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        throw py::error_already_set();
    }
    py::object it = py::reinterpret_steal<py::object>(raw);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* w = PyIter_Next(raw);
        if (!w) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            throw py::error_already_set();
        }
        out[i] = py::reinterpret_steal<py::object>(w);
    }
    PyObject* extra = PyIter_Next(raw);
    if (!extra) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return;
    }
    Py_DECREF(extra);
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    throw py::error_already_set();
}

// ---------------------------------------------------------------- records

py::object campo(PyObject* nome, PyObject* status, PyObject* valor_contrato, PyObject* valor_receita,
                 PyObject* mensagem) {
    return build(LEXARO_NAME("CampoVerificado"),
                 KWNAMES("campo", "status", "valor_contrato", "valor_receita", "mensagem"),
                 {nome, status, valor_contrato, valor_receita, mensagem});
}
py::object campo_sem_receita(PyObject* nome, PyObject* status, PyObject* valor_contrato, PyObject* mensagem) {
    return build(LEXARO_NAME("CampoVerificado"), KWNAMES("campo", "status", "valor_contrato", "mensagem"),
                 {nome, status, valor_contrato, mensagem});
}

void append(PyObject* list, PyObject* item) {
    if (PyList_Append(list, item) < 0) throw py::error_already_set();
}

py::object new_list() { return steal(PyList_New(0)); }

// ---------------------------------------------------------------- companies

py::object validar_empresas(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"self", nullptr}, {"empresas", nullptr}};
    PyObject* a[2];
    bind::bind_method("ContractChecker._validar_empresas", self, args, nargs, kwnames, params, 2, a);
    self = a[0];
    PyObject* empresas = a[1];
    bind::require_list(empresas, "ContractChecker._validar_empresas", "empresas");

    py::object resultados = new_list();
    py::object cache = steal(PyDict_New());

    PyObject* const vazio = LEXARO_NAME("");
    PyObject* const s_cnpj = LEXARO_NAME("cnpj");
    PyObject* const campo_cnpj = LEXARO_NAME("CNPJ");

    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(empresas); ++i) {
        py::object emp = borrow(PyList_GET_ITEM(empresas, i));
        py::object campos = new_list();
        py::object problemas = new_list();

        py::object razao = getattr(emp.ptr(), LEXARO_NAME("razao_social"));
        const bool tem_razao = truthy(razao.ptr());
        log(self,
            cat({LEXARO_NAME("\n--- Verificando: "), tem_razao ? fmt(razao.ptr()).ptr() : LEXARO_NAME("Empresa"),
                 LEXARO_NAME(" ---")})
                .ptr(),
            LEXARO_NAME("🏢"));

        py::object dados = borrow(Py_None);
        py::object cnpj_contrato = getattr(emp.ptr(), s_cnpj);
        const bool tem_cnpj_contrato = truthy(cnpj_contrato.ptr());
        py::object cnpj = cnpj_contrato;
        bool buscado_por_nome = false;

        if (tem_cnpj_contrato) {
            // f(limpar_cnpj(cnpj)) three times, each name looked up as it is used.
            auto limpo = [&] { return bind::call(bind::global(LEXARO_NAME("limpar_cnpj")).ptr(), {cnpj.ptr()}); };
            py::object validar = bind::global(LEXARO_NAME("validar_cnpj"));
            py::object valido = bind::call(validar.ptr(), {limpo().ptr()});
            if (truthy(valido.ptr())) {
                py::object formatar = bind::global(LEXARO_NAME("formatar_cnpj"));
                py::object exibido = bind::call(formatar.ptr(), {limpo().ptr()});
                log(self, cat({LEXARO_NAME("Consultando CNPJ "), fmt(exibido.ptr()).ptr(), LEXARO_NAME("...")}).ptr(),
                    LEXARO_NAME("🔍"));
                py::object consultar = bind::global(LEXARO_NAME("consultar_cnpj"));
                dados = bind::call(consultar.ptr(), {limpo().ptr()});
            }
        }

        if (!truthy(dados.ptr()) && tem_razao) {
            log(self, cat({LEXARO_NAME("Buscando por nome: "), fmt(razao.ptr()).ptr(), LEXARO_NAME("...")}).ptr(),
                LEXARO_NAME("🔎"));
            dados = bind::call(bind::global(LEXARO_NAME("buscar_cnpj_por_nome")).ptr(), {razao.ptr()});
            if (truthy(dados.ptr())) {
                cnpj = bind::mapping_get(dados.ptr(), s_cnpj, vazio);
                log(self, cat({LEXARO_NAME("✅ Encontrado: "), fmt(cnpj.ptr()).ptr()}).ptr(), vazio);
                buscado_por_nome = true;
            }
        }

        if (!truthy(dados.ptr())) {
            py::object c = campo_sem_receita(
                campo_cnpj, LEXARO_NAME("reprovado"),
                tem_cnpj_contrato ? cnpj_contrato.ptr() : LEXARO_NAME("(não informado)"),
                LEXARO_NAME("CNPJ não encontrado na Receita Federal"));
            append(campos.ptr(), c.ptr());
            append(problemas.ptr(), LEXARO_NAME("CNPJ não encontrado"));
            py::object papel = getattr(emp.ptr(), LEXARO_NAME("papel_no_contrato"));
            py::object rec = build(
                LEXARO_NAME("EmpresaVerificada"),
                KWNAMES("cnpj", "razao_social_contrato", "papel_no_contrato", "campos", "problemas"),
                {tem_cnpj_contrato ? cnpj_contrato.ptr() : vazio, razao.ptr(), papel.ptr(), campos.ptr(),
                 problemas.ptr()});
            append(resultados.ptr(), rec.ptr());
            continue;
        }

        // CNPJ. A contract CNPJ that differs from the one of the record found
        // by name is not confirmed by the registry.
        py::object cnpj_receita = bind::mapping_get(dados.ptr(), s_cnpj, nullptr);
        bool cnpj_diverge = false;
        if (buscado_por_nome && tem_cnpj_contrato) {
            py::object limpar = bind::global(LEXARO_NAME("limpar_cnpj"));
            py::object contrato_limpo = bind::call(limpar.ptr(), {cnpj_contrato.ptr()});
            py::object registro_limpo =
                truthy(cnpj.ptr()) ? bind::call(limpar.ptr(), {cnpj.ptr()}) : borrow(vazio);
            cnpj_diverge = !equals(contrato_limpo.ptr(), registro_limpo.ptr());
        }
        {
            PyObject* valor_contrato = tem_cnpj_contrato ? cnpj_contrato.ptr() : LEXARO_NAME("(buscado automaticamente)");
            py::object c =
                cnpj_diverge
                    ? campo(campo_cnpj, LEXARO_NAME("pendente"), valor_contrato, cnpj_receita.ptr(),
                            LEXARO_NAME("CNPJ do contrato não encontrado; empresa localizada pelo nome"))
                    : campo(campo_cnpj, LEXARO_NAME("aprovado"), valor_contrato, cnpj_receita.ptr(),
                            LEXARO_NAME("CNPJ encontrado"));
            append(campos.ptr(), c.ptr());
            if (cnpj_diverge) append(problemas.ptr(), LEXARO_NAME("CNPJ do contrato não confere com o registro"));
        }

        // Registration status.
        py::object situacao =
            call_method(bind::mapping_get(dados.ptr(), LEXARO_NAME("situacao"), vazio).ptr(), LEXARO_NAME("upper"));
        const int ativa_r = PySequence_Contains(situacao.ptr(), LEXARO_NAME("ATIVA"));
        if (ativa_r < 0) throw py::error_already_set();
        const bool ativa = ativa_r != 0;
        {
            py::object c = campo(LEXARO_NAME("Situação Cadastral"),
                                 ativa ? LEXARO_NAME("aprovado") : LEXARO_NAME("reprovado"), LEXARO_NAME("-"),
                                 situacao.ptr(),
                                 cat({LEXARO_NAME("Empresa "), ativa ? LEXARO_NAME("ATIVA") : fmt(situacao.ptr()).ptr()})
                                     .ptr());
            append(campos.ptr(), c.ptr());
            if (!ativa)
                append(problemas.ptr(),
                       cat({LEXARO_NAME("Empresa com situação: "), fmt(situacao.ptr()).ptr()}).ptr());
        }

        // Company name.
        py::object razao_receita = bind::mapping_get(dados.ptr(), LEXARO_NAME("razao_social"), vazio);
        py::object confere = call_method(self, LEXARO_NAME("_comparar_nomes"), tem_razao ? razao.ptr() : vazio,
                                  razao_receita.ptr());
        const bool nomes_conferem = truthy(confere.ptr());
        {
            py::object c = campo(LEXARO_NAME("Razão Social"),
                                 nomes_conferem ? LEXARO_NAME("aprovado") : LEXARO_NAME("pendente"), razao.ptr(),
                                 razao_receita.ptr(),
                                 nomes_conferem ? LEXARO_NAME("Confere") : LEXARO_NAME("Divergente"));
            append(campos.ptr(), c.ptr());
        }

        // Address.
        py::object endereco = getattr(emp.ptr(), LEXARO_NAME("endereco"));
        if (truthy(endereco.ptr())) {
            py::object r = bind::call(bind::global(LEXARO_NAME("comparar_enderecos")).ptr(),
                                      {endereco.ptr(), dados.ptr()});
            py::object parts[3];
            unpack(r.ptr(), 3, parts);
            const bool end_confere = truthy(parts[0].ptr());
            py::object c = campo(LEXARO_NAME("Endereço"),
                                 end_confere ? LEXARO_NAME("aprovado") : LEXARO_NAME("pendente"), endereco.ptr(),
                                 parts[2].ptr(),
                                 cat({LEXARO_NAME("Similaridade: "), fmt(parts[1].ptr(), LEXARO_NAME(".0%")).ptr()})
                                     .ptr());
            append(campos.ptr(), c.ptr());
        }

        // Registry cache, by cleaned CNPJ and by normalised contract name.
        if (truthy(cnpj.ptr())) {
            py::object limpo = bind::call(bind::global(LEXARO_NAME("limpar_cnpj")).ptr(), {cnpj.ptr()});
            if (truthy(limpo.ptr()) && PyDict_SetItem(cache.ptr(), limpo.ptr(), dados.ptr()) < 0)
                throw py::error_already_set();
        }
        if (tem_razao) {
            py::object chave = call_method(self, LEXARO_NAME("_normalizar_texto"), razao.ptr());
            if (PyDict_SetItem(cache.ptr(), chave.ptr(), dados.ptr()) < 0) throw py::error_already_set();
        }

        py::object cnpj_registro = bind::mapping_get(dados.ptr(), s_cnpj, vazio);
        py::object papel = getattr(emp.ptr(), LEXARO_NAME("papel_no_contrato"));
        py::object socios_vazio = new_list();
        py::object socios = bind::mapping_get(dados.ptr(), LEXARO_NAME("socios"), socios_vazio.ptr());
        py::object rec = build(LEXARO_NAME("EmpresaVerificada"),
                               KWNAMES("cnpj", "razao_social_contrato", "razao_social_receita", "papel_no_contrato",
                                       "campos", "cnpj_encontrado", "cnpj_buscado_por_nome", "empresa_ativa",
                                       "razao_social_confere", "socios", "problemas"),
                               {cnpj_registro.ptr(), razao.ptr(), razao_receita.ptr(), papel.ptr(), campos.ptr(),
                                Py_True, buscado_por_nome ? Py_True : Py_False, ativa ? Py_True : Py_False,
                                confere.ptr(), socios.ptr(), problemas.ptr()});
        append(resultados.ptr(), rec.ptr());
    }
    return steal(PyTuple_Pack(2, resultados.ptr(), cache.ptr()));
}

// ---------------------------------------------------------------- signatories

bool eh_testemunha(PyObject* self, PyObject* ass) {
    for (PyObject* attr : {LEXARO_NAME("tipo_assinatura"), LEXARO_NAME("cargo")}) {
        py::object v = getattr(ass, attr);
        if (!truthy(v.ptr())) continue;
        py::object norm = call_method(self, LEXARO_NAME("_normalizar_texto"), v.ptr());
        const int r = PySequence_Contains(norm.ptr(), LEXARO_NAME("testemunha"));
        if (r < 0) throw py::error_already_set();
        if (r) return true;
    }
    return false;
}

py::object cache_get(PyObject* cache, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(cache, key);
    if (v) return borrow(v);
    if (PyErr_Occurred()) throw py::error_already_set();
    return borrow(Py_None);
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
        py::object nome = getattr(ass.ptr(), LEXARO_NAME("nome_signatario"));

        if (!truthy(nome.ptr()) || equals(nome.ptr(), LEXARO_NAME("N/A"))) {
            py::object c = build(LEXARO_NAME("CampoVerificado"), KWNAMES("campo", "status", "mensagem"),
                                 {LEXARO_NAME("Identificação"), LEXARO_NAME("nao_verificado"),
                                  LEXARO_NAME("Signatário não identificado")});
            append(campos.ptr(), c.ptr());
            py::object tipo = getattr(ass.ptr(), LEXARO_NAME("tipo_assinatura"));
            append(problemas.ptr(), LEXARO_NAME("Signatário não identificado"));
            py::object rec = build(LEXARO_NAME("AssinaturaVerificada"),
                                   KWNAMES("nome_signatario", "tipo_assinatura", "campos", "problemas"),
                                   {LEXARO_NAME("(não identificado)"), tipo.ptr(), campos.ptr(), problemas.ptr()});
            append(resultados.ptr(), rec.ptr());
            continue;
        }

        py::object nome_txt = fmt(nome.ptr());
        log(self, cat({LEXARO_NAME("Verificando: "), nome_txt.ptr()}).ptr(), LEXARO_NAME("👤"));

        // A witness signs as a witness: no signing power is required of it.
        if (eh_testemunha(self, ass.ptr())) {
            py::object c = campo_sem_receita(campo_poder, LEXARO_NAME("nao_verificado"), nome.ptr(),
                                             LEXARO_NAME("Testemunha: poder de assinatura não exigido"));
            append(campos.ptr(), c.ptr());
            log(self, cat({LEXARO_NAME("ℹ️ "), nome_txt.ptr(), LEXARO_NAME(" - testemunha")}).ptr(), vazio);
            py::object rec =
                assinatura_completa(ass.ptr(), nome.ptr(), campos.ptr(), Py_False, Py_None, problemas.ptr());
            append(resultados.ptr(), rec.ptr());
            continue;
        }

        py::object dados_empresa = borrow(Py_None);
        py::object cnpj_empresa = getattr(ass.ptr(), LEXARO_NAME("cnpj_empresa"));
        if (truthy(cnpj_empresa.ptr())) {
            py::object limpo = bind::call(bind::global(LEXARO_NAME("limpar_cnpj")).ptr(), {cnpj_empresa.ptr()});
            dados_empresa = cache_get(cache, limpo.ptr());
        }
        if (!truthy(dados_empresa.ptr())) {
            py::object empresa = getattr(ass.ptr(), LEXARO_NAME("empresa_representada"));
            if (truthy(empresa.ptr())) {
                py::object chave = call_method(self, LEXARO_NAME("_normalizar_texto"), empresa.ptr());
                dados_empresa = cache_get(cache, chave.ptr());
            }
        }

        py::object par[2];
        if (truthy(dados_empresa.ptr())) {
            py::object r = call_method(self, LEXARO_NAME("_verificar_poder_assinatura"), nome.ptr(), dados_empresa.ptr());
            unpack(r.ptr(), 2, par);
            tem_poder = par[0];
            qualificacao = par[1];
        } else {
            // Walk the cache in insertion order, as iterating its values would.
            py::object valores = call_method(cache, LEXARO_NAME("values"));
            for_each(valores.ptr(), [&](PyObject* registro) {
                py::object r = call_method(self, LEXARO_NAME("_verificar_poder_assinatura"), nome.ptr(), registro);
                unpack(r.ptr(), 2, par);
                tem_poder = par[0];
                qualificacao = par[1];
                if (truthy(tem_poder.ptr())) {
                    dados_empresa = borrow(registro);
                    return false;
                }
                return true;
            });
        }

        if (truthy(tem_poder.ptr())) {
            const bool tem_q = truthy(qualificacao.ptr());
            py::object c = campo(
                campo_poder, LEXARO_NAME("aprovado"), nome.ptr(),
                tem_q ? qualificacao.ptr() : LEXARO_NAME("Encontrado no QSA"),
                cat({LEXARO_NAME("Signatário tem poder ("), tem_q ? fmt(qualificacao.ptr()).ptr() : LEXARO_NAME("Sócio/Admin"),
                     LEXARO_NAME(")")})
                    .ptr());
            append(campos.ptr(), c.ptr());
            log(self,
                cat({LEXARO_NAME("✅ "), nome_txt.ptr(), LEXARO_NAME(" TEM PODER ("), fmt(qualificacao.ptr()).ptr(),
                     LEXARO_NAME(")")})
                    .ptr(),
                vazio);
        } else if (truthy(dados_empresa.ptr())) {
            py::object socios_vazio = new_list();
            py::object socios = bind::mapping_get(dados_empresa.ptr(), LEXARO_NAME("socios"), socios_vazio.ptr());
            static PyObject* primeiros3 = [] {
                PyObject* three = PyLong_FromLong(3);
                if (!three) throw py::error_already_set();
                PyObject* s = PySlice_New(nullptr, three, nullptr);
                Py_DECREF(three);
                if (!s) throw py::error_already_set();
                return s;
            }();
            py::object fatia = steal(PyObject_GetItem(socios.ptr(), primeiros3));
            py::object nomes = new_list();
            for_each(fatia.ptr(), [&](PyObject* socio) {
                py::object n = bind::mapping_get(socio, LEXARO_NAME("nome"), vazio);
                append(nomes.ptr(), n.ptr());
                return true;
            });
            py::object valor_receita =
                PyList_GET_SIZE(nomes.ptr())
                    ? cat({LEXARO_NAME("QSA: "), steal(PyUnicode_Join(LEXARO_NAME(", "), nomes.ptr())).ptr(),
                           LEXARO_NAME("...")})
                    : borrow(LEXARO_NAME("QSA vazio"));
            py::object c = campo(campo_poder, LEXARO_NAME("reprovado"), nome.ptr(), valor_receita.ptr(),
                                 LEXARO_NAME("Signatário NÃO encontrado no QSA"));
            append(campos.ptr(), c.ptr());
            append(problemas.ptr(), LEXARO_NAME("Signatário sem poder de assinatura"));
            log(self, cat({LEXARO_NAME("❌ "), nome_txt.ptr(), LEXARO_NAME(" NÃO TEM PODER")}).ptr(), vazio);
        } else {
            py::object c = campo_sem_receita(campo_poder, LEXARO_NAME("pendente"), nome.ptr(),
                                             LEXARO_NAME("Não foi possível verificar"));
            append(campos.ptr(), c.ptr());
            log(self, cat({LEXARO_NAME("⚠️ "), nome_txt.ptr(), LEXARO_NAME(" - não foi possível verificar")}).ptr(),
                vazio);
        }

        py::object rec = assinatura_completa(ass.ptr(), nome.ptr(), campos.ptr(), tem_poder.ptr(),
                                             qualificacao.ptr(), problemas.ptr());
        append(resultados.ptr(), rec.ptr());
    }
    return resultados;
}

// ---------------------------------------------------------------- pipeline

// The records of one answer list: cls(**entry) for each entry under `key`.
py::object extrair(PyObject* question_result, PyObject* key, PyObject* cls_name) {
    py::object registros = new_list();
    if (!truthy(question_result)) return registros;
    py::object raw = getattr(question_result, LEXARO_NAME("raw_result"));
    if (!truthy(raw.ptr())) return registros;
    py::object vazia = new_list();
    py::object entradas = bind::mapping_get(raw.ptr(), key, vazia.ptr());
    for_each(entradas.ptr(), [&](PyObject* entrada) {
        py::object cls = bind::global(cls_name);
        py::object rec = call_with_mapping(cls.ptr(), entrada);
        append(registros.ptr(), rec.ptr());
        return true;
    });
    return registros;
}

// Sorts the items "campo - owner" of each record into the three lists.
void agregar(PyObject* registros, bool empresas, PyObject* aprovados, PyObject* reprovados, PyObject* pendentes) {
    for_each(registros, [&](PyObject* rec) {
        py::object dono;
        if (empresas) {
            dono = getattr(rec, LEXARO_NAME("razao_social_receita"));
            if (!truthy(dono.ptr())) {
                dono = getattr(rec, LEXARO_NAME("razao_social_contrato"));
                if (!truthy(dono.ptr())) dono = getattr(rec, LEXARO_NAME("cnpj"));
            }
        } else {
            dono = getattr(rec, LEXARO_NAME("nome_signatario"));
        }
        py::object dono_txt = fmt(dono.ptr());
        py::object campos = getattr(rec, LEXARO_NAME("campos"));
        for_each(campos.ptr(), [&](PyObject* c) {
            py::object nome_campo = getattr(c, LEXARO_NAME("campo"));
            py::object item = cat({fmt(nome_campo.ptr()).ptr(), LEXARO_NAME(" - "), dono_txt.ptr()});
            py::object status = getattr(c, LEXARO_NAME("status"));
            if (equals(status.ptr(), LEXARO_NAME("aprovado")))
                append(aprovados, item.ptr());
            else if (equals(status.ptr(), LEXARO_NAME("reprovado")))
                append(reprovados, item.ptr());
            else if (equals(status.ptr(), LEXARO_NAME("pendente")))
                append(pendentes, item.ptr());
            return true;
        });
        return true;
    });
}

py::object dumps(PyObject* registros) {
    py::object out = new_list();
    for_each(registros, [&](PyObject* rec) {
        py::object d = call_method(rec, LEXARO_NAME("model_dump"));
        append(out.ptr(), d.ptr());
        return true;
    });
    return out;
}

py::object verificar(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"self", nullptr}, {"documento", nullptr}};
    PyObject* a[2];
    bind::bind_method("ContractChecker.verificar", self, args, nargs, kwnames, params, 2, a);
    self = a[0];

    PyObject* const vazio = LEXARO_NAME("");
    py::object path = bind::call(bind::global(LEXARO_NAME("Path")).ptr(), {a[1]});
    if (!truthy(call_method(path.ptr(), LEXARO_NAME("exists")).ptr())) {
        py::object msg = cat({LEXARO_NAME("Arquivo não encontrado: "), fmt(path.ptr()).ptr()});
        PyErr_SetObject(PyExc_FileNotFoundError, msg.ptr());
        throw py::error_already_set();
    }

    log(self, LEXARO_NAME("\n============================================================"), vazio);
    log(self, LEXARO_NAME("VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO"), LEXARO_NAME("🔍"));
    py::object nome_arquivo = getattr(path.ptr(), LEXARO_NAME("name"));
    log(self, cat({LEXARO_NAME("Arquivo: "), fmt(nome_arquivo.ptr()).ptr()}).ptr(), LEXARO_NAME("📄"));
    log(self, LEXARO_NAME("============================================================"), vazio);

    if (!truthy(call_method(self, LEXARO_NAME("_init_lexaro")).ptr())) {
        py::object r = steal(PyDict_New());
        set_item(r.ptr(), LEXARO_NAME("resultado_final"), LEXARO_NAME("PENDENTE"));
        set_item(r.ptr(), LEXARO_NAME("justificativa"),
                 LEXARO_NAME("Lexaro não disponível. Instale com: pip install lexaro"));
        set_item(r.ptr(), LEXARO_NAME("campos_aprovados"), new_list().ptr());
        set_item(r.ptr(), LEXARO_NAME("campos_reprovados"), new_list().ptr());
        py::object pend = new_list();
        append(pend.ptr(), LEXARO_NAME("Extração de dados não disponível"));
        set_item(r.ptr(), LEXARO_NAME("campos_pendentes"), pend.ptr());
        set_item(r.ptr(), LEXARO_NAME("empresas"), new_list().ptr());
        set_item(r.ptr(), LEXARO_NAME("assinaturas"), new_list().ptr());
        return r;
    }

    log(self, LEXARO_NAME("\n📤 Extraindo dados do contrato..."), vazio);
    py::object client = getattr(self, LEXARO_NAME("_client"));
    py::object path_txt = steal(PyObject_Str(path.ptr()));
    py::object resultado = call_method(client.ptr(), LEXARO_NAME("process"), path_txt.ptr());

    py::object r_empresas = call_method(resultado.ptr(), LEXARO_NAME("get_result"), LEXARO_NAME("empresas"));
    py::object r_assinaturas = call_method(resultado.ptr(), LEXARO_NAME("get_result"), LEXARO_NAME("assinaturas"));
    py::object r_dados = call_method(resultado.ptr(), LEXARO_NAME("get_result"), LEXARO_NAME("dados_contrato"));

    py::object empresas = extrair(r_empresas.ptr(), LEXARO_NAME("empresas"), LEXARO_NAME("EmpresaExtraida"));
    py::object assinaturas =
        extrair(r_assinaturas.ptr(), LEXARO_NAME("assinaturas"), LEXARO_NAME("AssinaturaExtraida"));
    py::object dados_contrato = steal(PyDict_New());
    if (truthy(r_dados.ptr())) {
        py::object raw = getattr(r_dados.ptr(), LEXARO_NAME("raw_result"));
        if (truthy(raw.ptr())) dados_contrato = raw;
    }

    log(self, cat({LEXARO_NAME("Empresas extraídas: "), decimal(PyList_GET_SIZE(empresas.ptr())).ptr()}).ptr(),
        LEXARO_NAME("🏢"));
    log(self,
        cat({LEXARO_NAME("Assinaturas extraídas: "), decimal(PyList_GET_SIZE(assinaturas.ptr())).ptr()}).ptr(),
        LEXARO_NAME("✍️"));

    log(self, LEXARO_NAME("\n🔍 Validando empresas na Receita Federal..."), vazio);
    py::object par = call_method(self, LEXARO_NAME("_validar_empresas"), empresas.ptr());
    py::object partes[2];
    unpack(par.ptr(), 2, partes);
    py::object& empresas_ok = partes[0];
    py::object& cache = partes[1];
    py::object assinaturas_ok = call_method(self, LEXARO_NAME("_validar_assinaturas"), assinaturas.ptr(), cache.ptr());

    py::object aprovados = new_list(), reprovados = new_list(), pendentes = new_list();
    agregar(empresas_ok.ptr(), true, aprovados.ptr(), reprovados.ptr(), pendentes.ptr());
    agregar(assinaturas_ok.ptr(), false, aprovados.ptr(), reprovados.ptr(), pendentes.ptr());

    const Py_ssize_t n_ap = PyList_GET_SIZE(aprovados.ptr());
    const Py_ssize_t n_rep = PyList_GET_SIZE(reprovados.ptr());
    const Py_ssize_t n_pend = PyList_GET_SIZE(pendentes.ptr());
    const Py_ssize_t total = n_ap + n_rep + n_pend;

    PyObject* veredito;
    py::object justificativa;
    if (n_rep > 0) {
        veredito = LEXARO_NAME("REPROVADO");
        justificativa = cat({decimal(n_rep).ptr(), LEXARO_NAME(" campo(s) reprovado(s)")});
    } else if (n_pend > 0) {
        veredito = LEXARO_NAME("PENDENTE");
        justificativa = cat({decimal(n_pend).ptr(), LEXARO_NAME(" campo(s) requer(em) análise manual")});
    } else if (total == 0) {
        // Nothing was checked: no company and no identifiable signatory.
        veredito = LEXARO_NAME("PENDENTE");
        justificativa =
            borrow(LEXARO_NAME("Nenhum campo verificado: nenhuma empresa ou signatário identificado no contrato"));
    } else {
        veredito = LEXARO_NAME("APROVADO");
        justificativa = cat({LEXARO_NAME("Todos os "), decimal(n_ap).ptr(),
                             LEXARO_NAME(" campos verificados foram aprovados")});
    }

    py::object metricas = getattr(resultado.ptr(), LEXARO_NAME("total_metrics"));
    if (truthy(getattr(self, LEXARO_NAME("verbose")).ptr())) {
        py::object relatorio = getattr(self, LEXARO_NAME("_imprimir_relatorio"));
        PyObject* vals[] = {veredito,           justificativa.ptr(),  aprovados.ptr(),
                            reprovados.ptr(),   pendentes.ptr(),      empresas_ok.ptr(),
                            assinaturas_ok.ptr(), dados_contrato.ptr(), metricas.ptr()};
        steal(PyObject_Vectorcall(relatorio.ptr(), vals, 0,
                                  KWNAMES("resultado_final", "justificativa", "campos_aprovados", "campos_reprovados",
                                          "campos_pendentes", "empresas", "assinaturas", "dados_contrato",
                                          "metricas")));
    }

    py::object dump_empresas = dumps(empresas_ok.ptr());
    py::object dump_assinaturas = dumps(assinaturas_ok.ptr());
    py::object m = steal(PyDict_New());
    set_item(m.ptr(), LEXARO_NAME("tokens"), getattr(metricas.ptr(), LEXARO_NAME("tokens")).ptr());
    set_item(m.ptr(), LEXARO_NAME("custo_usd"), getattr(metricas.ptr(), LEXARO_NAME("cost_usd")).ptr());
    set_item(m.ptr(), LEXARO_NAME("tempo_segundos"), getattr(metricas.ptr(), LEXARO_NAME("time_seconds")).ptr());

    py::object r = steal(PyDict_New());
    set_item(r.ptr(), LEXARO_NAME("resultado_final"), veredito);
    set_item(r.ptr(), LEXARO_NAME("justificativa"), justificativa.ptr());
    set_item(r.ptr(), LEXARO_NAME("campos_aprovados"), aprovados.ptr());
    set_item(r.ptr(), LEXARO_NAME("campos_reprovados"), reprovados.ptr());
    set_item(r.ptr(), LEXARO_NAME("campos_pendentes"), pendentes.ptr());
    set_item(r.ptr(), LEXARO_NAME("total_campos"), steal(PyLong_FromSsize_t(total)).ptr());
    set_item(r.ptr(), LEXARO_NAME("total_aprovados"), steal(PyLong_FromSsize_t(n_ap)).ptr());
    set_item(r.ptr(), LEXARO_NAME("total_reprovados"), steal(PyLong_FromSsize_t(n_rep)).ptr());
    set_item(r.ptr(), LEXARO_NAME("total_pendentes"), steal(PyLong_FromSsize_t(n_pend)).ptr());
    set_item(r.ptr(), LEXARO_NAME("empresas"), dump_empresas.ptr());
    set_item(r.ptr(), LEXARO_NAME("assinaturas"), dump_assinaturas.ptr());
    set_item(r.ptr(), LEXARO_NAME("dados_contrato"), dados_contrato.ptr());
    set_item(r.ptr(), LEXARO_NAME("metricas"), m.ptr());
    return r;
}

// ---------------------------------------------------------------- report

void say(PyObject* line) { bind::print({line}); }

void campos_linhas(PyObject* rec) {
    py::object campos = getattr(rec, LEXARO_NAME("campos"));
    for_each(campos.ptr(), [&](PyObject* c) {
        py::object emoji = getattr(c, LEXARO_NAME("emoji"));
        py::object nome = getattr(c, LEXARO_NAME("campo"));
        py::object msg = getattr(c, LEXARO_NAME("mensagem"));
        say(cat({LEXARO_NAME("      "), fmt(emoji.ptr()).ptr(), LEXARO_NAME(" "), fmt(nome.ptr()).ptr(),
                 LEXARO_NAME(": "), fmt(msg.ptr()).ptr()})
                .ptr());
        return true;
    });
}

void lista_itens(PyObject* lista, PyObject* titulo) {
    if (PyList_GET_SIZE(lista) == 0) return;
    say(titulo);
    for_each(lista, [&](PyObject* item) {
        say(cat({LEXARO_NAME("      • "), fmt(item).ptr()}).ptr());
        return true;
    });
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
    PyObject* const simples = LEXARO_NAME("────────────────────────────────────────────────────────────");
    PyObject* const nl_simples = LEXARO_NAME("\n────────────────────────────────────────────────────────────");
    PyObject* const nl_dupla = LEXARO_NAME("\n============================================================");

    PyObject* emoji;
    if (equals(resultado_final, LEXARO_NAME("APROVADO")))
        emoji = LEXARO_NAME("✅✅✅");
    else if (equals(resultado_final, LEXARO_NAME("REPROVADO")))
        emoji = LEXARO_NAME("❌❌❌");
    else if (equals(resultado_final, LEXARO_NAME("PENDENTE")))
        emoji = LEXARO_NAME("⚠️⚠️⚠️");
    else
        emoji = LEXARO_NAME("❓❓❓");

    say(nl_dupla);
    say(cat({emoji, LEXARO_NAME(" RESULTADO FINAL: "), resultado_final, LEXARO_NAME(" "), emoji}).ptr());
    say(dupla);
    say(cat({LEXARO_NAME("   "), justificativa}).ptr());

    say(nl_simples);
    say(LEXARO_NAME("📋 CAMPOS VERIFICADOS"));
    say(simples);
    say(cat({LEXARO_NAME("   ✅ Aprovados: "), decimal(PyList_GET_SIZE(aprovados)).ptr()}).ptr());
    say(cat({LEXARO_NAME("   ❌ Reprovados: "), decimal(PyList_GET_SIZE(reprovados)).ptr()}).ptr());
    say(cat({LEXARO_NAME("   ⚠️ Pendentes: "), decimal(PyList_GET_SIZE(pendentes)).ptr()}).ptr());
    lista_itens(aprovados, LEXARO_NAME("\n   ✅ APROVADOS:"));
    lista_itens(reprovados, LEXARO_NAME("\n   ❌ REPROVADOS:"));
    lista_itens(pendentes, LEXARO_NAME("\n   ⚠️ PENDENTES:"));

    say(nl_simples);
    say(cat({LEXARO_NAME("🏢 EMPRESAS ("), decimal(PyList_GET_SIZE(empresas)).ptr(), LEXARO_NAME(")")}).ptr());
    say(simples);
    for_each(empresas, [&](PyObject* emp) {
        const bool ativa = truthy(getattr(emp, LEXARO_NAME("empresa_ativa")).ptr());
        py::object nome = getattr(emp, LEXARO_NAME("razao_social_receita"));
        if (!truthy(nome.ptr())) {
            nome = getattr(emp, LEXARO_NAME("razao_social_contrato"));
            if (!truthy(nome.ptr())) nome = borrow(LEXARO_NAME("N/A"));
        }
        say(cat({LEXARO_NAME("\n   "), ativa ? LEXARO_NAME("✅") : LEXARO_NAME("❌"), LEXARO_NAME(" "),
                 fmt(nome.ptr()).ptr()})
                .ptr());
        py::object cnpj = getattr(emp, LEXARO_NAME("cnpj"));
        bind::print_end(
            cat({LEXARO_NAME("      CNPJ: "), truthy(cnpj.ptr()) ? fmt(cnpj.ptr()).ptr() : LEXARO_NAME("N/A")})
                .ptr(),
            LEXARO_NAME(""));
        if (truthy(getattr(emp, LEXARO_NAME("cnpj_buscado_por_nome")).ptr()))
            say(LEXARO_NAME(" (encontrado por busca)"));
        else
            bind::print({});
        campos_linhas(emp);
        return true;
    });

    say(nl_simples);
    say(cat({LEXARO_NAME("✍️ ASSINATURAS ("), decimal(PyList_GET_SIZE(assinaturas)).ptr(), LEXARO_NAME(")")}).ptr());
    say(simples);
    for_each(assinaturas, [&](PyObject* ass) {
        const bool poder = truthy(getattr(ass, LEXARO_NAME("tem_poder_assinatura")).ptr());
        py::object nome = getattr(ass, LEXARO_NAME("nome_signatario"));
        say(cat({LEXARO_NAME("\n   "), poder ? LEXARO_NAME("✅") : LEXARO_NAME("❌"), LEXARO_NAME(" "),
                 fmt(nome.ptr()).ptr()})
                .ptr());
        py::object cargo = getattr(ass, LEXARO_NAME("cargo"));
        if (truthy(cargo.ptr())) say(cat({LEXARO_NAME("      Cargo: "), fmt(cargo.ptr()).ptr()}).ptr());
        campos_linhas(ass);
        return true;
    });

    say(nl_simples);
    say(LEXARO_NAME("💰 MÉTRICAS"));
    say(simples);
    py::object tokens = getattr(metricas, LEXARO_NAME("tokens"));
    say(cat({LEXARO_NAME("   Tokens: "), fmt(tokens.ptr(), LEXARO_NAME(",")).ptr()}).ptr());
    py::object custo = getattr(metricas, LEXARO_NAME("cost_usd"));
    say(cat({LEXARO_NAME("   Custo: $"), fmt(custo.ptr(), LEXARO_NAME(".4f")).ptr()}).ptr());
    py::object tempo = getattr(metricas, LEXARO_NAME("time_seconds"));
    say(cat({LEXARO_NAME("   Tempo: "), fmt(tempo.ptr(), LEXARO_NAME(".1f")).ptr(), LEXARO_NAME("s")}).ptr());
    say(nl_dupla);
    return borrow(Py_None);
}

// ---------------------------------------------------------------- module function

py::object verificar_contrato(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"documento", nullptr}, {"openai_api_key", Py_None}, {"verbose", Py_True}};
    PyObject* a[3];
    bind::bind_args("verificar_contrato", args, nargs, kwnames, params, 3, a);
    bind::require_str_or_none(a[1], "verificar_contrato", "openai_api_key");
    py::object cls = bind::global(LEXARO_NAME("ContractChecker"));
    PyObject* vals[] = {a[1], a[2]};
    py::object checker =
        steal(PyObject_Vectorcall(cls.ptr(), vals, 0, KWNAMES("openai_api_key", "verbose")));
    return call_method(checker.ptr(), LEXARO_NAME("verificar"), a[0]);
}

PyMethodDef def_validar_empresas = LEXARO_METHOD(
    "_validar_empresas", validar_empresas,
    "_validar_empresas($self, empresas)\n--\n\nValida as empresas do contrato na Receita Federal.");
PyMethodDef def_validar_assinaturas = LEXARO_METHOD(
    "_validar_assinaturas", validar_assinaturas,
    "_validar_assinaturas($self, assinaturas, dados_receita_cache)\n--\n\n"
    "Valida o poder de assinatura dos signatários no QSA das empresas.");
PyMethodDef def_verificar = LEXARO_METHOD("verificar", verificar,
                                          "verificar($self, documento)\n--\n\n"
                                          "Verifica a legitimidade de um contrato.");
PyMethodDef def_imprimir_relatorio = LEXARO_METHOD(
    "_imprimir_relatorio", imprimir_relatorio,
    "_imprimir_relatorio($self, resultado_final, justificativa, campos_aprovados, campos_reprovados, "
    "campos_pendentes, empresas, assinaturas, dados_contrato, metricas)\n--\n\n"
    "Imprime o relatório da verificação.");
PyMethodDef def_verificar_contrato = LEXARO_METHOD(
    "verificar_contrato", verificar_contrato,
    "verificar_contrato(documento, openai_api_key=None, verbose=True)\n--\n\n"
    "Função de conveniência para verificar um contrato.\n\n"
    "Exemplo:\n"
    "    >>> from lexaro_contract import verificar_contrato\n"
    "    >>> resultado = verificar_contrato(\"contrato.pdf\")\n"
    "    >>> print(resultado[\"resultado_final\"])");

}  // namespace

namespace lexaro::checker {

void add_pipeline_members(py::handle cls) {
    bind::add_method(cls, &def_validar_empresas);
    bind::add_method(cls, &def_validar_assinaturas);
    bind::add_method(cls, &def_verificar);
    bind::add_method(cls, &def_imprimir_relatorio);
}

void add_pipeline_functions(py::module_& m) { bind::add_function(m, &def_verificar_contrato); }

}  // namespace lexaro::checker
