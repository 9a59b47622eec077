// Module lexaro_contract.checker: the contract checker. This file holds the
// frame of the module (load-time bindings, the class ContractChecker, its
// constructor, properties, logging, the start of the extraction engine and
// its questions); the name matching lives in checker_names.cpp and the
// verification steps in checker_companies.cpp, checker_signatories.cpp,
// checker_pipeline.cpp and checker_report.cpp.
#include <initializer_list>
#include <vector>

#include "bindings/checker_names.hpp"
#include "bindings/checker_pipeline.hpp"

namespace {

using namespace lexaro;
using bind::Param;
using bind::call_kw;
using bind::call_method;
using bind::call_with_mapping;
using bind::getattr;
using bind::make_kwnames;
using bind::setattr;
using bind::steal;
using bind::truthy;
using bind::utf8;

// ---------------------------------------------------------------- texts

constexpr const char* kQual = "ContractChecker";

constexpr const char* kMsgAzure =
    "Credenciais Azure não configuradas. Defina AZURE_API_KEY, AZURE_API_ENDPOINT e AZURE_DEPLOYMENT_NAME.";
constexpr const char* kMsgOpenAI = "OpenAI API key não configurada. Defina OPENAI_API_KEY ou passe openai_api_key.";
constexpr const char* kMsgSemLexaro = "Lexaro não disponível. Instale com: pip install lexaro";
constexpr const char* kEmojiPadrao = "📋";
constexpr const char* kEmojiAviso = "⚠️";
constexpr const char* kEmojiErro = "❌";

struct Pergunta {
    const char* id;
    const char* name;
    const char* tag;
    const char* response_model;
    const char* system_prompt;
    const char* user_prompt;
    std::initializer_list<const char*> keywords;
};

const Pergunta kPerguntas[] = {
    {"empresas", "Empresas do Contrato", "empresas", "ExtracaoEmpresas",
     "Você é um especialista em análise de contratos brasileiros.\n"
     "Extraia TODAS as empresas mencionadas com CNPJ, razão social e papel no contrato.\n"
     "\n"
     "REGRAS:\n"
     "1. CNPJ deve ter 14 dígitos (com ou sem formatação)\n"
     "2. Identifique claramente: contratante (quem paga) vs contratada (quem presta serviço)\n"
     "3. Extraia TODAS as empresas, incluindo intervenientes e fiadoras",
     "Analise o contrato e extraia todas as empresas:\n"
     "\n"
     "{texto}\n"
     "\n"
     "Para cada empresa extraia: CNPJ, razão social, nome fantasia, endereço e papel no contrato.",
     {"cnpj", "contratante", "contratada", "inscrita", "razão social", "ltda", "s/a"}},
    {"assinaturas", "Assinaturas do Contrato", "assinaturas", "ExtracaoAssinaturas",
     "Você é um especialista em análise de contratos.\n"
     "Extraia TODAS as pessoas físicas que assinaram ou são representantes.\n"
     "\n"
     "ONDE PROCURAR:\n"
     "1. Bloco de assinaturas no final\n"
     "2. Cláusula de representação legal\n"
     "3. Qualificação das partes\n"
     "4. Cláusula de NOTIFICAÇÕES\n"
     "5. Assinaturas digitais\n"
     "6. Testemunhas",
     "Extraia todas as pessoas físicas mencionadas como representantes:\n"
     "\n"
     "{texto}\n"
     "\n"
     "Para cada pessoa extraia: nome completo, cargo, CPF (se houver), empresa que representa.",
     {"assinatura", "assinado", "certificado", "representante", "testemunha", "cpf"}},
    {"dados_contrato", "Dados do Contrato", "dados_contrato", "ExtracaoDadosContrato",
     "Você é um especialista em análise de contratos.\n"
     "Extraia os dados gerais do contrato.",
     "Extraia os dados gerais do contrato:\n"
     "\n"
     "{texto}\n"
     "\n"
     "Extraia: tipo de contrato, objeto, data, vigência, valor, foro.",
     {"contrato", "objeto", "vigência", "valor", "cláusula", "foro"}},
};

// ---------------------------------------------------------------- constructor

constexpr const char* kInitParams[] = {"api_token",      "openai_api_key",   "provider",
                                       "azure_api_key",  "azure_endpoint",   "azure_deployment",
                                       "azure_api_version"};

py::object cc_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {
        {"self", nullptr},
        {"api_token", Py_None},
        {"openai_api_key", Py_None},
        {"provider", Py_None},
        {"azure_api_key", Py_None},
        {"azure_endpoint", Py_None},
        {"azure_deployment", Py_None},
        {"azure_api_version", bind::intern("2024-02-15-preview")},
        {"model", bind::intern("gpt-4o")},
        {"verbose", Py_True},
        {"usar_ai_search", Py_True},
    };
    static PyObject* auth_kwnames = make_kwnames(kInitParams);
    constexpr const char* fn = "ContractChecker.__init__";
    PyObject* a[11];
    bind_method(fn, self, args, nargs, kwnames, params, 11, a);
    for (int i = 1; i <= 6; ++i) bind::require_str_or_none(a[i], fn, params[i].name);
    bind::require_str(a[7], fn, "azure_api_version");
    bind::require_str(a[8], fn, "model");

    setattr(self, LEXARO_NAME("verbose"), truthy(a[9]) ? Py_True : Py_False);
    setattr(self, LEXARO_NAME("model"), a[8]);
    setattr(self, LEXARO_NAME("usar_ai_search"), truthy(a[10]) ? Py_True : Py_False);

    py::object lexaro_auth = bind::global(LEXARO_NAME("LexaroAuth"));
    py::object auth = call_kw(lexaro_auth.ptr(), auth_kwnames, a + 1);
    setattr(self, LEXARO_NAME("_auth"), auth.ptr());

    if (!truthy(getattr(getattr(self, LEXARO_NAME("_auth")).ptr(), LEXARO_NAME("has_api_key")).ptr())) {
        if (truthy(getattr(getattr(self, LEXARO_NAME("_auth")).ptr(), LEXARO_NAME("is_azure")).ptr())) {
            PyErr_SetString(PyExc_ValueError, kMsgAzure);
        } else {
            PyErr_SetString(PyExc_ValueError, kMsgOpenAI);
        }
        throw py::error_already_set();
    }
    setattr(self, LEXARO_NAME("_client"), Py_None);
    setattr(self, LEXARO_NAME("_lexaro_available"), Py_None);
    return py::none();
}

// ---------------------------------------------------------------- properties

void bind_self_only(const char* fn, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"self", nullptr}};
    PyObject* a[1];
    bind_method(fn, self, args, nargs, kwnames, params, 1, a);
}

py::object text_or_none(py::object v) {
    if (!v.is_none() && !PyUnicode_CheckExact(v.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", _PyType_Name(Py_TYPE(v.ptr())));
        throw py::error_already_set();
    }
    return v;
}

py::object cc_auth(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bind_self_only("auth", self, args, nargs, kwnames);
    return getattr(self, LEXARO_NAME("_auth"));
}

py::object cc_token(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bind_self_only("token", self, args, nargs, kwnames);
    py::object auth = getattr(self, LEXARO_NAME("_auth"));
    return text_or_none(call_method(auth.ptr(), LEXARO_NAME("get_token")));
}

py::object cc_provider(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bind_self_only("provider", self, args, nargs, kwnames);
    py::object auth = getattr(self, LEXARO_NAME("_auth"));
    return text_or_none(getattr(auth.ptr(), LEXARO_NAME("provider")));
}

// ---------------------------------------------------------------- logging

py::object cc_log(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"self", nullptr}, {"msg", nullptr}, {"emoji", bind::intern(kEmojiPadrao)}};
    constexpr const char* fn = "ContractChecker._log";
    PyObject* a[3];
    bind_method(fn, self, args, nargs, kwnames, params, 3, a);
    bind::require_str(a[1], fn, "msg");
    bind::require_str(a[2], fn, "emoji");
    if (truthy(getattr(self, LEXARO_NAME("verbose")).ptr())) {
        bind::print({bind::fstring<"{} {}">(a[2], a[1]).ptr()});
    }
    return py::none();
}

// ---------------------------------------------------------------- engine start

py::object cc_init_lexaro(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bind_self_only("ContractChecker._init_lexaro", self, args, nargs, kwnames);
    py::object stored = getattr(self, LEXARO_NAME("_lexaro_available"));
    if (!stored.is_none()) return stored;

    py::object auth = getattr(self, LEXARO_NAME("_auth"));
    if (!truthy(getattr(auth.ptr(), LEXARO_NAME("is_lexaro_available")).ptr())) {
        call_method(self, LEXARO_NAME("_log"), utf8(kMsgSemLexaro).ptr(), utf8(kEmojiAviso).ptr());
        setattr(self, LEXARO_NAME("_lexaro_available"), Py_False);
        return py::bool_(false);
    }
    try {
        py::object lexaro_cls = bind::import_from("lexaro", {"Lexaro"})[0];
        py::object kwargs = call_method(getattr(self, LEXARO_NAME("_auth")).ptr(), LEXARO_NAME("get_lexaro_kwargs"));
        bind::set_item(kwargs, LEXARO_NAME("model"), getattr(self, LEXARO_NAME("model")).ptr());
        bind::set_item(kwargs, LEXARO_NAME("verbose"), getattr(self, LEXARO_NAME("verbose")).ptr());
        py::object client = call_with_mapping(lexaro_cls.ptr(), kwargs.ptr());
        setattr(self, LEXARO_NAME("_client"), client.ptr());
        call_method(self, LEXARO_NAME("_setup_questions"));
        setattr(self, LEXARO_NAME("_lexaro_available"), Py_True);
        return py::bool_(true);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        try {
            // "Erro ao inicializar Lexaro: " + str(e): the text as str() gives it, not formatted again.
            py::object text = steal(PyObject_Str(e.value().ptr()));
            py::object msg = steal(PyUnicode_Concat(LEXARO_NAME("Erro ao inicializar Lexaro: "), text.ptr()));
            call_method(self, LEXARO_NAME("_log"), msg.ptr(), utf8(kEmojiErro).ptr());
            setattr(self, LEXARO_NAME("_lexaro_available"), Py_False);
        } catch (py::error_already_set& during) {
            // Raised while handling: the absorbed error becomes the context.
            PyObject* ctx = e.value().ptr();
            if (during.value().ptr() != ctx) PyException_SetContext(during.value().ptr(), bind::borrow(ctx).release().ptr());
            throw;
        }
        return py::bool_(false);
    }
}

py::object cc_setup_questions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bind_self_only("ContractChecker._setup_questions", self, args, nargs, kwnames);
    static PyObject* config_kw = make_kwnames({"id", "name", "tag"});
    static PyObject* question_kw =
        make_kwnames({"config", "system_prompt", "user_prompt", "keywords", "response_model"});
    std::vector<py::object> imported = bind::import_from("lexaro", {"Question", "QuestionConfig"});
    const py::object& question_cls = imported[0];
    const py::object& config_cls = imported[1];
    for (const Pergunta& p : kPerguntas) {
        py::object client = getattr(self, LEXARO_NAME("_client"));
        py::object add_question = getattr(client.ptr(), LEXARO_NAME("add_question"));
        py::str id = utf8(p.id), name = utf8(p.name), tag = utf8(p.tag);
        PyObject* cfg_args[] = {id.ptr(), name.ptr(), tag.ptr()};
        py::object config = call_kw(config_cls.ptr(), config_kw, cfg_args);
        py::str system_prompt = utf8(p.system_prompt), user_prompt = utf8(p.user_prompt);
        py::list keywords;
        for (const char* k : p.keywords) keywords.append(utf8(k));
        py::object model = bind::global(utf8(p.response_model).ptr());
        PyObject* q_args[] = {config.ptr(), system_prompt.ptr(), user_prompt.ptr(), keywords.ptr(), model.ptr()};
        py::object question = call_kw(question_cls.ptr(), question_kw, q_args);
        bind::call(add_question.ptr(), {question.ptr()});
    }
    return py::none();
}

// ---------------------------------------------------------------- definitions

PyMethodDef def_init = LEXARO_METHOD(
    "__init__", cc_init,
    "__init__($self, api_token=None, openai_api_key=None, provider=None, azure_api_key=None, "
    "azure_endpoint=None, azure_deployment=None, azure_api_version='2024-02-15-preview', model='gpt-4o', "
    "verbose=True, usar_ai_search=True)\n--\n\n");
PyMethodDef def_auth = LEXARO_METHOD("auth", cc_auth, "auth($self)\n--\n\nRetorna o gerenciador de autenticação.");
PyMethodDef def_token =
    LEXARO_METHOD("token", cc_token, "token($self)\n--\n\nRetorna o token de autenticação atual.");
PyMethodDef def_provider = LEXARO_METHOD("provider", cc_provider,
                                         "provider($self)\n--\n\nRetorna o provider configurado (openai ou azure).");
PyMethodDef def_log = LEXARO_METHOD("_log", cc_log, "_log($self, msg, emoji='\\U0001f4cb')\n--\n\nLog condicional.");
PyMethodDef def_init_lexaro =
    LEXARO_METHOD("_init_lexaro", cc_init_lexaro, "_init_lexaro($self)\n--\n\nInicializa Lexaro se disponível.");
PyMethodDef def_setup_questions = LEXARO_METHOD("_setup_questions", cc_setup_questions,
                                                "_setup_questions($self)\n--\n\nConfigura as perguntas de extração.");
constexpr const char* kModuleDoc =
    "\nContractChecker - Verificador de Legitimidade de Contratos.\n\n"
    "Usa Lexaro para extrair dados e valida contra Receita Federal.\n";

constexpr const char* kClassDoc =
    "Verificador de Legitimidade de Contratos.\n"
    "\n"
    "Args:\n"
    "    api_token: Token de autenticação Lexaro\n"
    "    openai_api_key: Chave da API OpenAI\n"
    "    provider: Provider a usar (openai ou azure)\n"
    "    azure_api_key: Chave da API Azure\n"
    "    azure_endpoint: Endpoint Azure OpenAI\n"
    "    azure_deployment: Nome do deployment Azure\n"
    "    azure_api_version: Versão da API Azure\n"
    "    model: Modelo a usar\n"
    "    verbose: Se deve exibir logs\n"
    "    usar_ai_search: Se deve usar AI para buscar CNPJs\n"
    "\n"
    "Exemplo:\n"
    "    # OpenAI\n"
    "    checker = ContractChecker(openai_api_key=\"sk-...\")\n"
    "\n"
    "    # Azure OpenAI\n"
    "    checker = ContractChecker(\n"
    "        provider=\"azure\",\n"
    "        azure_api_key=\"...\",\n"
    "        azure_endpoint=\"https://seu-recurso.openai.azure.com/\",\n"
    "        azure_deployment=\"gpt-4o\"\n"
    "    )\n";

// A property whose getter is a native method (a plain `property` object).
void add_property(py::handle cls, PyMethodDef* getter, const char* doc) {
    py::object fget = steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), getter));
    py::object prop = py::module_::import("builtins").attr("property")(fget, py::none(), py::none(), utf8(doc));
    if (PyObject_SetAttrString(cls.ptr(), getter->ml_name, prop.ptr()) < 0) throw py::error_already_set();
}

void init_checker(py::module_& m) {
    m.doc() = utf8(kModuleDoc);
    bind::set_namespace(m);

    m.attr("unicodedata") = py::module_::import("unicodedata");
    bind::bind_from(m, "pathlib", {"Path"});
    bind::bind_from(m, "typing", {"List", "Optional", "Dict", "Any"});
    bind::bind_from(m, "lexaro_contract.auth", {"LexaroAuth", "AuthenticatedClient"});
    bind::bind_from(m, "lexaro_contract.models",
              {"EmpresaExtraida", "ExtracaoEmpresas", "AssinaturaExtraida", "ExtracaoAssinaturas",
               "ExtracaoDadosContrato", "CampoVerificado", "EmpresaVerificada", "AssinaturaVerificada",
               "ClassificacaoLegitimidade"});
    bind::bind_from(m, "lexaro_contract.cnpj",
              {"consultar_cnpj", "validar_cnpj", "formatar_cnpj", "limpar_cnpj", "buscar_cnpj_por_nome",
               "comparar_enderecos"});

    py::object builtins = py::module_::import("builtins");
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = kQual;
    ns["__doc__"] = utf8(kClassDoc);
    py::object cls = builtins.attr("type")(kQual, py::make_tuple(builtins.attr("object")), ns);

    bind::add_method(cls, &def_init);
    add_property(cls, &def_auth, "Retorna o gerenciador de autenticação.");
    add_property(cls, &def_token, "Retorna o token de autenticação atual.");
    add_property(cls, &def_provider, "Retorna o provider configurado (openai ou azure).");
    bind::add_methods(cls, {&def_log, &def_init_lexaro, &def_setup_questions});
    checker::add_name_members(cls);
    checker::add_pipeline_members(cls);
#if PY_VERSION_HEX >= 0x030D0000
    {
        // inspect from 3.13 on binds a class's __init__ to the class itself,
        // which a C method descriptor refuses; state the signature instead.
        py::object sig = py::module_::import("inspect").attr("signature")(cls.attr("__init__"));
        py::list params(sig.attr("parameters").attr("values")());
        py::dict kw;
        kw["parameters"] = params[py::slice(1, static_cast<Py_ssize_t>(params.size()), 1)];
        cls.attr("__signature__") = sig.attr("replace")(**kw);
    }
#endif
    m.attr("ContractChecker") = cls;
    checker::add_pipeline_functions(m);
}

}  // namespace

LEXARO_MODULE(checker, m) { init_checker(m); }
