// O painel: arrastar e soltar no envio, a lista que se atualiza enquanto
// há contratos na fila, as caixas das evidências sobre as páginas.
"use strict";

function csrf() {
  const m = document.querySelector('meta[name="csrf"]');
  return m ? m.content : "";
}

function texto(tag, conteudo, classe) {
  const el = document.createElement(tag);
  el.textContent = conteudo;
  if (classe) el.className = classe;
  return el;
}

function envio() {
  const zona = document.getElementById("soltar");
  const campo = document.getElementById("arquivo");
  if (!zona || !campo) return;
  const lista = document.getElementById("resultados");
  ["dragenter", "dragover"].forEach(function (ev) {
    zona.addEventListener(ev, function (e) { e.preventDefault(); zona.classList.add("sobre"); });
  });
  ["dragleave", "drop"].forEach(function (ev) {
    zona.addEventListener(ev, function (e) { e.preventDefault(); zona.classList.remove("sobre"); });
  });
  zona.addEventListener("drop", function (e) {
    const dados = new FormData();
    Array.from(e.dataTransfer.files).forEach(function (f) { dados.append("arquivo", f, f.name); });
    fetch("/api/contratos", { method: "POST", body: dados, headers: { "X-CSRF-Token": csrf() }, credentials: "same-origin" })
      .then(function (r) { return r.json(); })
      .then(function (corpo) {
        lista.replaceChildren();
        if (corpo.erro) { lista.appendChild(texto("li", corpo.erro, "estado-erro")); return; }
        corpo.contratos.forEach(function (c) {
          const li = texto("li", c.arquivo + ": ", "estado-" + c.estado);
          if (c.id) {
            const a = texto("a", "contrato " + c.id);
            a.href = "/contratos/" + c.id;
            li.appendChild(a);
            li.appendChild(document.createTextNode(" (" + c.estado + ")"));
          } else {
            li.appendChild(document.createTextNode("recusado — " + c.erro));
          }
          lista.appendChild(li);
        });
      });
  });
}

function listaViva() {
  const tabela = document.getElementById("lista");
  if (!tabela || !tabela.dataset.vivo) return;
  const atualizar = function () {
    fetch("/api/contratos" + window.location.search, { credentials: "same-origin" })
      .then(function (r) { return r.json(); })
      .then(function (corpo) {
        let faltam = false;
        corpo.contratos.forEach(function (c) {
          const linha = tabela.querySelector('tr[data-id="' + c.id + '"]');
          if (!linha) return;
          const estado = linha.querySelector(".estado");
          estado.textContent = c.estado + (c.erro ? ": " + c.erro : "");
          estado.className = "estado estado-" + c.estado;
          const veredito = linha.querySelector(".veredito");
          veredito.textContent = c.veredito || "—";
          veredito.className = "veredito v-" + (c.veredito || "nenhum");
          if (c.pendente_revisao) {
            veredito.appendChild(document.createTextNode(" "));
            veredito.appendChild(texto("span", "revisão pendente", "selo"));
          }
          linha.querySelector(".partes").textContent = c.partes || "";
          linha.querySelector(".data").textContent = c.data_contrato || "";
          linha.querySelector(".final").textContent = c.decisao_final || "—";
          if (c.estado === "na_fila" || c.estado === "verificando") faltam = true;
        });
        if (faltam) window.setTimeout(atualizar, 1000);
      });
  };
  window.setTimeout(atualizar, 1000);
}

function paginaDoContrato() {
  if (document.querySelector("[data-recarregar]")) window.setTimeout(function () { window.location.reload(); }, 1500);
  document.querySelectorAll(".evidencia").forEach(function (caixa) {
    caixa.style.left = (100 * caixa.dataset.x) + "%";
    caixa.style.top = (100 * caixa.dataset.y) + "%";
    caixa.style.width = (100 * caixa.dataset.l) + "%";
    caixa.style.height = (100 * caixa.dataset.a) + "%";
  });
  // Um clique num campo acende as caixas de quem ele fala (a empresa ou o signatário).
  document.querySelectorAll("tr[data-dono]").forEach(function (linha) {
    linha.addEventListener("click", function () {
      let primeira = null;
      document.querySelectorAll(".evidencia").forEach(function (c) {
        const a = linha.dataset.dono, b = c.dataset.dono;
        const ativa = Boolean(a && b && (a === b || a.indexOf(b) === 0 || b.indexOf(a) === 0));
        c.classList.toggle("ativa", ativa);
        if (ativa && !primeira) primeira = c;
      });
      if (primeira) primeira.scrollIntoView({ block: "center" });
    });
  });
  document.querySelectorAll("form[data-confirmar]").forEach(function (f) {
    f.addEventListener("submit", function (e) { if (!window.confirm(f.dataset.confirmar)) e.preventDefault(); });
  });
}

document.addEventListener("DOMContentLoaded", function () { envio(); listaViva(); paginaDoContrato(); });
