// ContractChecker._validar_empresas: each company of the contract checked
// against the registry (CNPJ, registration status, company name, address),
// and the registry cache that signature validation reads next.
#include "bindings/checker_pipeline.hpp"

namespace lexaro::checker {

namespace {

// f(x), f a module global looked up now.
py::object call_global(PyObject* name, PyObject* x) { return bind::call(bind::global(name).ptr(), {x}); }

py::object validar_empresas(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"self", nullptr}, {"empresas", nullptr}};
    PyObject* a[2];
    bind::bind_method("ContractChecker._validar_empresas", self, args, nargs, kwnames, params, 2, a);
    self = a[0];
    PyObject* empresas = a[1];
    bind::require_list(empresas, "ContractChecker._validar_empresas", "empresas");

    py::object resultados = new_list();
    py::object cache = bind::new_dict();

    PyObject* const vazio = LEXARO_NAME("");
    PyObject* const s_cnpj = LEXARO_NAME("cnpj");
    PyObject* const campo_cnpj = LEXARO_NAME("CNPJ");

    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(empresas); ++i) {
        py::object emp = borrow(PyList_GET_ITEM(empresas, i));
        py::object campos = new_list();
        py::object problemas = new_list();

        py::object razao = getattr(emp, LEXARO_NAME("razao_social"));
        const bool tem_razao = truthy(razao.ptr());
        log(self, fstring<"\n--- Verificando: {} ---">(tem_razao ? razao.ptr() : LEXARO_NAME("Empresa")),
            LEXARO_NAME("🏢"));

        py::object dados = borrow(Py_None);
        py::object cnpj_contrato = getattr(emp, s_cnpj);
        const bool tem_cnpj_contrato = truthy(cnpj_contrato.ptr());
        py::object cnpj = cnpj_contrato;
        bool buscado_por_nome = false;

        if (tem_cnpj_contrato) {
            // f(limpar_cnpj(cnpj)) three times, each name looked up as it is used.
            auto limpo = [&] { return call_global(LEXARO_NAME("limpar_cnpj"), cnpj.ptr()); };
            py::object validar = bind::global(LEXARO_NAME("validar_cnpj"));
            py::object valido = bind::call(validar.ptr(), {limpo().ptr()});
            if (truthy(valido.ptr())) {
                py::object formatar = bind::global(LEXARO_NAME("formatar_cnpj"));
                py::object exibido = bind::call(formatar.ptr(), {limpo().ptr()});
                log(self, fstring<"Consultando CNPJ {}...">(exibido), LEXARO_NAME("🔍"));
                py::object consultar = bind::global(LEXARO_NAME("consultar_cnpj"));
                dados = bind::call(consultar.ptr(), {limpo().ptr()});
            }
        }

        if (!truthy(dados.ptr()) && tem_razao) {
            log(self, fstring<"Buscando por nome: {}...">(razao), LEXARO_NAME("🔎"));
            dados = call_global(LEXARO_NAME("buscar_cnpj_por_nome"), razao.ptr());
            if (truthy(dados.ptr())) {
                cnpj = bind::mapping_get(dados, s_cnpj, vazio);
                log(self, fstring<"✅ Encontrado: {}">(cnpj), vazio);
                buscado_por_nome = true;
            }
        }

        if (!truthy(dados.ptr())) {
            py::object c = campo_sem_receita(
                campo_cnpj, LEXARO_NAME("reprovado"),
                tem_cnpj_contrato ? cnpj_contrato.ptr() : LEXARO_NAME("(não informado)"),
                LEXARO_NAME("CNPJ não encontrado na Receita Federal"));
            append(campos, c.ptr());
            append(problemas, LEXARO_NAME("CNPJ não encontrado"));
            py::object papel = getattr(emp, LEXARO_NAME("papel_no_contrato"));
            py::object rec = build(
                LEXARO_NAME("EmpresaVerificada"),
                KWNAMES("cnpj", "razao_social_contrato", "papel_no_contrato", "campos", "problemas"),
                {tem_cnpj_contrato ? cnpj_contrato.ptr() : vazio, razao.ptr(), papel.ptr(), campos.ptr(),
                 problemas.ptr()});
            append(resultados, rec.ptr());
            continue;
        }

        // CNPJ. A contract CNPJ that differs from the one of the record found
        // by name is not confirmed by the registry.
        py::object cnpj_receita = bind::mapping_get(dados, s_cnpj);
        bool cnpj_diverge = false;
        if (buscado_por_nome && tem_cnpj_contrato) {
            py::object limpar = bind::global(LEXARO_NAME("limpar_cnpj"));
            py::object contrato_limpo = bind::call(limpar.ptr(), {cnpj_contrato.ptr()});
            py::object registro_limpo =
                truthy(cnpj.ptr()) ? bind::call(limpar.ptr(), {cnpj.ptr()}) : borrow(vazio);
            cnpj_diverge = !bind::equal(contrato_limpo.ptr(), registro_limpo.ptr());
        }
        {
            PyObject* valor_contrato = tem_cnpj_contrato ? cnpj_contrato.ptr() : LEXARO_NAME("(buscado automaticamente)");
            py::object c =
                cnpj_diverge
                    ? campo(campo_cnpj, LEXARO_NAME("pendente"), valor_contrato, cnpj_receita.ptr(),
                            LEXARO_NAME("CNPJ do contrato não encontrado; empresa localizada pelo nome"))
                    : campo(campo_cnpj, LEXARO_NAME("aprovado"), valor_contrato, cnpj_receita.ptr(),
                            LEXARO_NAME("CNPJ encontrado"));
            append(campos, c.ptr());
            if (cnpj_diverge) append(problemas, LEXARO_NAME("CNPJ do contrato não confere com o registro"));
        }

        // Registration status.
        py::object situacao =
            call_method(bind::mapping_get(dados, LEXARO_NAME("situacao"), vazio).ptr(), LEXARO_NAME("upper"));
        const bool ativa = bind::contains(situacao.ptr(), LEXARO_NAME("ATIVA"));
        {
            py::object c = campo(LEXARO_NAME("Situação Cadastral"),
                                 ativa ? LEXARO_NAME("aprovado") : LEXARO_NAME("reprovado"), LEXARO_NAME("-"),
                                 situacao.ptr(),
                                 fstring<"Empresa {}">(ativa ? LEXARO_NAME("ATIVA") : situacao.ptr()).ptr());
            append(campos, c.ptr());
            if (!ativa) append(problemas, fstring<"Empresa com situação: {}">(situacao).ptr());
        }

        // Company name.
        py::object razao_receita = bind::mapping_get(dados, LEXARO_NAME("razao_social"), vazio);
        py::object confere = call_method(self, LEXARO_NAME("_comparar_nomes"), tem_razao ? razao.ptr() : vazio,
                                         razao_receita.ptr());
        const bool nomes_conferem = truthy(confere.ptr());
        {
            py::object c = campo(LEXARO_NAME("Razão Social"),
                                 nomes_conferem ? LEXARO_NAME("aprovado") : LEXARO_NAME("pendente"), razao.ptr(),
                                 razao_receita.ptr(),
                                 nomes_conferem ? LEXARO_NAME("Confere") : LEXARO_NAME("Divergente"));
            append(campos, c.ptr());
        }

        // Address.
        py::object endereco = getattr(emp, LEXARO_NAME("endereco"));
        if (truthy(endereco.ptr())) {
            py::object r = bind::call(bind::global(LEXARO_NAME("comparar_enderecos")).ptr(),
                                      {endereco.ptr(), dados.ptr()});
            py::object parts[3];
            bind::unpack(r.ptr(), 3, parts);
            const bool end_confere = truthy(parts[0].ptr());
            py::object c = campo(LEXARO_NAME("Endereço"),
                                 end_confere ? LEXARO_NAME("aprovado") : LEXARO_NAME("pendente"), endereco.ptr(),
                                 parts[2].ptr(), fstring<"Similaridade: {:.0%}">(parts[1]).ptr());
            append(campos, c.ptr());
        }

        // Registry cache, by cleaned CNPJ and by normalised contract name.
        if (truthy(cnpj.ptr())) {
            py::object limpo = call_global(LEXARO_NAME("limpar_cnpj"), cnpj.ptr());
            if (truthy(limpo.ptr())) set_item(cache, limpo.ptr(), dados.ptr());
        }
        if (tem_razao) {
            py::object chave = call_method(self, LEXARO_NAME("_normalizar_texto"), razao.ptr());
            set_item(cache, chave.ptr(), dados.ptr());
        }

        py::object cnpj_registro = bind::mapping_get(dados, s_cnpj, vazio);
        py::object papel = getattr(emp, LEXARO_NAME("papel_no_contrato"));
        py::object socios = bind::mapping_get(dados, LEXARO_NAME("socios"), new_list().ptr());
        py::object rec = build(LEXARO_NAME("EmpresaVerificada"),
                               KWNAMES("cnpj", "razao_social_contrato", "razao_social_receita", "papel_no_contrato",
                                       "campos", "cnpj_encontrado", "cnpj_buscado_por_nome", "empresa_ativa",
                                       "razao_social_confere", "socios", "problemas"),
                               {cnpj_registro.ptr(), razao.ptr(), razao_receita.ptr(), papel.ptr(), campos.ptr(),
                                Py_True, buscado_por_nome ? Py_True : Py_False, ativa ? Py_True : Py_False,
                                confere.ptr(), socios.ptr(), problemas.ptr()});
        append(resultados, rec.ptr());
    }
    return bind::tuple_of({resultados.ptr(), cache.ptr()});
}

}  // namespace

PyMethodDef def_validar_empresas = LEXARO_METHOD(
    "_validar_empresas", validar_empresas,
    "_validar_empresas($self, empresas)\n--\n\nValida as empresas do contrato na Receita Federal.");

}  // namespace lexaro::checker
