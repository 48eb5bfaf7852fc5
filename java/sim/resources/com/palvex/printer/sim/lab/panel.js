"use strict";
// Everything printers and the library produce is shown as text (textContent), never as HTML.
const token = document.querySelector('meta[name="lab-token"]').content;
const kept = 50;  // receipts shown (as many as the panel sends a page that opens); older ones are folded away
let printerId = null;
let newest = 0;  // the highest receipt number the page has heard of
const traceLines = [];
const keptTraceLines = 2000;

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
    // The receipt before a new one no longer prints: if it was not cut, it says so (its own
    // end may have been folded away before the page heard of it).
    const before = paper.lastElementChild;
    if (before && before.dataset.cut === "false") before.querySelector(".meta").firstChild.textContent = before.dataset.label + " · not cut · ";
    box = el("div", "receipt");
    box.id = id;
    paper.appendChild(box);
    const boxes = paper.querySelectorAll(".receipt");
    for (let i = 0; i < boxes.length - kept; i++) {
      forgetPictures(boxes[i]);
      boxes[i].remove();
    }
    // Receipts the panel skipped while the application printed faster than anyone can
    // watch count as folded away too.
    newest = Math.max(newest, r.number);
    const folded = newest - Math.min(boxes.length, kept);
    document.getElementById("folded").textContent =
        folded > 0 ? folded + " older receipts folded away" : "";
  }
  const img = el("img");
  img.alt = "receipt " + r.number;
  askForPicture(img, r.picture + "?v=" + r.text.length);
  const side = el("div");
  const meta = el("div", "meta", "Receipt " + r.number + (r.cut ? " · cut" : " · printing…") + " · ");
  const link = el("a", null, "PNG");
  link.href = r.picture;
  link.download = "receipt-" + r.number + ".png";
  meta.appendChild(link);
  side.appendChild(meta);
  side.appendChild(el("pre", "text", r.text));
  forgetPictures(box);
  box.replaceChildren(img, side);
  box.dataset.cut = String(r.cut);
  box.dataset.label = "Receipt " + r.number;
  scrollToNewest();
}

// Once a frame at most, however many receipts came: each scroll lays the paper out anew.
let scrollPending = false;
function scrollToNewest() {
  if (scrollPending) return;
  scrollPending = true;
  requestAnimationFrame(() => {
    scrollPending = false;
    const paper = document.getElementById("paper");
    paper.scrollTop = paper.scrollHeight;
  });
}

// The panel draws a receipt's picture when the page asks for it. The page asks for those in
// view only, newest first, one at a time and with a pause between: a page that receipts fly
// past asks for a few pictures a second, and neither the panel nor the browser takes much of
// the machine the application runs on. The others are asked for when they come into view.
const picturePause = 250;  // ms
const inView = new Set();
const pictureWatch = new IntersectionObserver(entries => {
  for (const entry of entries) {
    if (entry.isIntersecting) inView.add(entry.target); else inView.delete(entry.target);
  }
  askForNextPicture();
}, {root: document.getElementById("paper")});
let pictureAsked = false;

function askForPicture(img, src) {
  img.dataset.picture = src;
  pictureWatch.observe(img);
}

function forgetPictures(node) {
  for (const img of node.querySelectorAll("img")) {
    pictureWatch.unobserve(img);
    inView.delete(img);
  }
}

function askForNextPicture() {
  if (pictureAsked) return;
  let next = null;
  for (const img of inView) {
    if (next === null || next.compareDocumentPosition(img) & Node.DOCUMENT_POSITION_FOLLOWING) next = img;
  }
  if (next === null) return;
  forgetPictures(next.parentNode);
  pictureAsked = true;
  const done = () => setTimeout(() => { pictureAsked = false; askForNextPicture(); }, picturePause);
  next.addEventListener("load", done, {once: true});
  next.addEventListener("error", done, {once: true});
  next.src = next.dataset.picture;
}

function showTraffic(t) {
  document.getElementById("to-printer-hex").textContent = t.toPrinter.hex;
  document.getElementById("to-printer-text").textContent = t.toPrinter.total + " bytes in all\n" + t.toPrinter.text;
  document.getElementById("to-host-hex").textContent = t.toHost.hex;
  document.getElementById("to-host-text").textContent = t.toHost.total + " bytes in all\n" + t.toHost.text;
}

function showTrace() {
  const filter = document.getElementById("trace-filter").value;
  const shown = traceLines.filter(line => line.includes(filter)).slice(-300);
  document.getElementById("trace").textContent = shown.join("\n");
}

function addTrace(lines) {
  traceLines.push(...lines);
  if (traceLines.length > keptTraceLines) traceLines.splice(0, traceLines.length - keptTraceLines);
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
  due.state = null;  // told before the snapshot, which says it all
  due.receipts = [];
  due.traffic = null;
  due.trace = [];
  for (const p of s.printers) {
    showPrinter(p);
    for (const r of p.receipts) showReceipt(r);
    showTraffic(p.traffic);
  }
  traceLines.length = 0;
  addTrace(s.trace);
});
// What came between two frames is shown once, in the next: the page is laid out once a
// frame however many events came.
const due = {state: null, receipts: [], traffic: null, trace: []};
let frameAsked = false;
function showInNextFrame(add) {
  add();
  if (frameAsked) return;
  frameAsked = true;
  requestAnimationFrame(() => {
    frameAsked = false;
    if (due.state) showPrinter(due.state);
    for (const r of due.receipts) showReceipt(r);
    if (due.traffic) showTraffic(due.traffic);
    if (due.trace.length > 0) addTrace(due.trace);
    due.state = null;
    due.receipts = [];
    due.traffic = null;
    due.trace = [];
  });
}
events.addEventListener("state", e => showInNextFrame(() => { due.state = JSON.parse(e.data); }));
// A page in a tab out of sight draws no frames: what waits for one is bounded as the page is.
events.addEventListener("receipt", e => showInNextFrame(() => {
  due.receipts.push(JSON.parse(e.data));
  if (due.receipts.length > 2 * kept) due.receipts.splice(0, due.receipts.length - 2 * kept);
}));
events.addEventListener("traffic", e => showInNextFrame(() => { due.traffic = JSON.parse(e.data); }));
events.addEventListener("trace", e => showInNextFrame(() => {
  due.trace.push(...JSON.parse(e.data));
  if (due.trace.length > keptTraceLines) due.trace.splice(0, due.trace.length - keptTraceLines);
}));
