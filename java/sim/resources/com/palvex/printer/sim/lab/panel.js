"use strict";
// Everything printers and the library produce is shown as text (textContent), never as HTML.
const token = document.querySelector('meta[name="lab-token"]').content;
const kept = 50;  // receipts shown (as many as the panel sends a page that opens); older ones are folded away
let printerId = null;
let newest = 0;  // the highest receipt number the page has heard of
const traceLines = [];

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function showPrinter(p) {
  printerId = p.id;
  document.getElementById("printer-name").textContent = p.model + " · serial " + p.serial;
  document.getElementById("printer-line").textContent = p.driver;
  const s = p.state, badges = document.getElementById("badges");
  badges.replaceChildren();
  const add = (text, kind) => badges.appendChild(el("span", kind, text));
  add(s.pluggedIn ? "plugged in" : "cable pulled", s.pluggedIn ? "good" : "bad");
  add(s.prints ? "printing" : "not printing", s.prints ? "good" : "bad");
  add("paper " + s.paper.replace("_", " "), s.paper === "present" ? "good" : s.paper === "out" ? "bad" : "warn");
  add(s.coverOpen ? "cover open" : "cover closed", s.coverOpen ? "bad" : "");
  add(s.online ? "on line" : "off line", s.online ? "" : "bad");
  if (s.recoverableError) add("recoverable error", "bad");
  if (s.unrecoverableError) add("unrecoverable error", "bad");
  add(s.drawerOpen ? "drawer open" : "drawer closed", s.drawerOpen ? "warn" : "");
  document.body.dataset.paper = s.paper;
  document.body.dataset.plugged = String(s.pluggedIn);
}

function showReceipt(r) {
  const paper = document.getElementById("paper");
  const id = "receipt-" + r.printer + "-" + r.number;
  let box = document.getElementById(id);
  if (!box) {
    box = el("div", "receipt");
    box.id = id;
    paper.appendChild(box);
    const boxes = paper.querySelectorAll(".receipt");
    for (let i = 0; i < boxes.length - kept; i++) boxes[i].remove();
    // Receipts the panel skipped while the application printed faster than anyone can
    // watch count as folded away too.
    newest = Math.max(newest, r.number);
    const folded = newest - Math.min(boxes.length, kept);
    document.getElementById("folded").textContent =
        folded > 0 ? folded + " older receipts folded away" : "";
  }
  const img = el("img");
  img.alt = "receipt " + r.number;
  // Drawn by the panel when it comes into view: a page that receipts fly past does not ask
  // for each of their pictures.
  img.loading = "lazy";
  img.src = r.picture + "?v=" + r.text.length;
  const side = el("div");
  const meta = el("div", "meta", "Receipt " + r.number + (r.cut ? " · cut" : " · printing…") + " · ");
  const link = el("a", null, "PNG");
  link.href = r.picture;
  link.download = "receipt-" + r.number + ".png";
  meta.appendChild(link);
  side.appendChild(meta);
  side.appendChild(el("pre", "text", r.text));
  box.replaceChildren(img, side);
  box.dataset.cut = String(r.cut);
  paper.scrollTop = paper.scrollHeight;
}

function showTraffic(t) {
  document.getElementById("to-printer-hex").textContent = t.toPrinter.hex;
  document.getElementById("to-printer-text").textContent = t.toPrinter.total + " bytes in all · " + t.toPrinter.text;
  document.getElementById("to-host-hex").textContent = t.toHost.hex;
  document.getElementById("to-host-text").textContent = t.toHost.total + " bytes in all · " + t.toHost.text;
}

function showTrace() {
  const filter = document.getElementById("trace-filter").value;
  const shown = traceLines.filter(line => line.includes(filter)).slice(-300);
  document.getElementById("trace").textContent = shown.join("\n");
}

function addTrace(lines) {
  traceLines.push(...lines);
  if (traceLines.length > 2000) traceLines.splice(0, traceLines.length - 2000);
  showTrace();
}

document.getElementById("trace-filter").addEventListener("input", showTrace);

for (const button of document.querySelectorAll("button[data-action]")) {
  button.addEventListener("click", () => {
    const body = new URLSearchParams({action: button.dataset.action, printer: String(printerId)});
    fetch("/control", {method: "POST", headers: {"X-Lab-Token": token}, body});
  });
}

const events = new EventSource("/events");
events.addEventListener("open", () => { document.getElementById("connection").textContent = "live"; });
events.addEventListener("error", () => { document.getElementById("connection").textContent = "reconnecting…"; });
events.addEventListener("snapshot", e => {
  const s = JSON.parse(e.data);
  for (const p of s.printers) {
    showPrinter(p);
    for (const r of p.receipts) showReceipt(r);
    showTraffic(p.traffic);
  }
  traceLines.length = 0;
  addTrace(s.trace);
});
events.addEventListener("state", e => showPrinter(JSON.parse(e.data)));
events.addEventListener("receipt", e => showReceipt(JSON.parse(e.data)));
events.addEventListener("traffic", e => showTraffic(JSON.parse(e.data)));
events.addEventListener("trace", e => addTrace(JSON.parse(e.data)));
