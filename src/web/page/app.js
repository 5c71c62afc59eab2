"use strict";
// The page: every counter's latest reading, polled once a second, and a history plot per counter.
// It only reads; there is nothing here that changes the counters or the settings.
(function () {
  const de = document.documentElement.lang === "de";
  const T = de ? {
    normal: "Normal", warning: "Warnung", danger: "Gefahr",
    away: "Nicht angeschlossen", opening: "Wird geöffnet …", starting: "Startet …", silent: "Stumm: keine Messwerte",
    ended: "Beendet", reading: "",
    hour: "Stunde", day: "Tag", week: "Woche", month: "Monat", year: "Jahr", all: "Alles",
    last: "Letzter Messwert", none: "Kein Zähler angeschlossen", lost: "Keine Verbindung zum Rechner",
    updated: "Aktualisiert", empty: "Keine Messwerte in diesem Zeitraum",
    token: "Zugangsschlüssel", signIn: "Anmelden", wrong: "Dieser Schlüssel stimmt nicht.",
  } : {
    normal: "Normal", warning: "Warning", danger: "Danger",
    away: "Unplugged", opening: "Opening …", starting: "Starting …", silent: "Silent: no readings",
    ended: "Ended", reading: "",
    hour: "Hour", day: "Day", week: "Week", month: "Month", year: "Year", all: "All",
    last: "Last reading", none: "No counter is plugged in", lost: "No connection to the computer",
    updated: "Updated", empty: "No readings in this range",
    token: "Access token", signIn: "Sign in", wrong: "That token is not the right one.",
  };
  const RANGES = ["hour", "day", "week", "month", "year", "all"];
  const SVG = "http://www.w3.org/2000/svg";
  const cards = new Map();
  let snapshot = null;

  const number = (v) => new Intl.NumberFormat(de ? "de-DE" : "en-GB",
    { minimumFractionDigits: v < 100 ? 2 : 0, maximumFractionDigits: v < 100 ? 2 : 1 }).format(v);
  const clock = (ms) => new Date(ms).toLocaleTimeString(de ? "de-DE" : "en-GB");

  // Readings come in μSv/h or μSv; a rem user reads μrem/h and mrem, as in the window.
  function unitOf(mode) {
    const rem = snapshot && snapshot.displayUnit === "rem";
    if (mode === 1) return rem ? { unit: "µrem/h", factor: 100 } : { unit: "µSv/h", factor: 1 };
    return rem ? { unit: "mrem", factor: 0.1 } : { unit: "µSv", factor: 1 };
  }

  function el(parent, name, attrs, text) {
    const e = document.createElementNS(SVG, name);
    for (const k in attrs) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    parent.appendChild(e);
    return e;
  }

  function makeCard(c) {
    const node = document.getElementById("counter-card").content.firstElementChild.cloneNode(true);
    const card = { node, key: c.key, serial: c.serial, mode: c.mode, range: "day", plotAt: 0, loading: false };
    const nav = node.querySelector(".ranges");
    for (const r of RANGES) {
      const b = document.createElement("button");
      b.type = "button";
      b.dataset.range = r;
      b.textContent = T[r];
      b.addEventListener("click", () => { card.range = r; loadPlot(card); });
      nav.appendChild(b);
    }
    node.dataset.serial = c.serial;
    document.getElementById("counters").appendChild(node);
    cards.set(c.key, card);
    return card;
  }

  function showCounter(c) {
    const card = cards.get(c.key) || makeCard(c);
    const n = card.node;
    const modeChanged = card.mode !== c.mode;
    card.mode = c.mode;
    const live = c.connected && c.state === "reading" && c.value !== undefined;
    n.className = "counter " + (live ? c.level : c.state);
    n.querySelector(".name").textContent = c.name && c.name !== c.serial ? c.name + " (" + c.serial + ")" : c.serial;
    const u = unitOf(c.mode);
    n.querySelector(".value").textContent = c.value !== undefined ? number(c.value * u.factor) : "–";
    n.querySelector(".unit").textContent = u.unit;
    n.querySelector(".level").textContent = live ? T[c.level] || "" : "";
    n.querySelector(".state").textContent = T[c.state] !== undefined ? T[c.state] : c.state;
    n.querySelector(".time").textContent = c.timeMs !== undefined ? T.last + ": " + clock(c.timeMs) : "";
    const stale = Date.now() - card.plotAt > (card.range === "hour" ? 10000 : 60000);
    if (modeChanged || stale) loadPlot(card);
  }

  async function poll() {
    try {
      const r = await fetch("/api/counters", { cache: "no-store" });
      if (!r.ok) throw new Error(r.status);
      snapshot = await r.json();
      const seen = new Set();
      for (const c of snapshot.counters) { seen.add(c.key); showCounter(c); }
      for (const [key, card] of cards) if (!seen.has(key)) { card.node.remove(); cards.delete(key); }
      document.getElementById("status").textContent =
        snapshot.counters.length ? T.updated + " " + clock(Date.now()) : T.none;
    } catch (e) {
      document.getElementById("status").textContent = T.lost;
    }
  }

  async function loadPlot(card) {
    if (card.loading) return;
    card.loading = true;
    card.plotAt = Date.now();
    for (const b of card.node.querySelectorAll(".ranges button"))
      b.setAttribute("aria-pressed", b.dataset.range === card.range ? "true" : "false");
    const svg = card.node.querySelector("svg.plot");
    const width = Math.max(100, Math.round(svg.getBoundingClientRect().width) || 360);
    const q = new URLSearchParams({ counter: card.serial, range: card.range, mode: String(card.mode), width: String(width) });
    try {
      const r = await fetch("/api/history?" + q, { cache: "no-store" });
      if (r.ok) drawPlot(card, svg, width, await r.json());
    } catch (e) { /* the next poll tries again */ }
    card.loading = false;
  }

  function drawPlot(card, svg, width, data) {
    const height = 200, left = 4, bottom = 18, top = 6;
    svg.setAttribute("viewBox", "0 0 " + width + " " + height);
    svg.replaceChildren();
    const u = unitOf(card.mode);
    const t = snapshot ? snapshot.thresholds : {};
    const lines = card.mode === 1 ? [[t.warningRate, "warning"], [t.dangerRate, "danger"]] : [[t.warningDose, "warning"], [t.dangerDose, "danger"]];
    let max = 0;
    for (const b of data.buckets) max = Math.max(max, b[3]);
    // A threshold near the readings is part of the picture; one far above them would flatten it.
    for (const [v] of lines) if (v > 0 && v <= Math.max(max, 1e-9) * 5) max = Math.max(max, v);
    max = (max || 1) * 1.15;
    const x = (ms) => left + (ms - data.from) / (data.to - data.from) * (width - left);
    const y = (v) => top + (1 - v / max) * (height - top - bottom);
    for (const [ms, label] of data.ticks) {
      el(svg, "line", { x1: x(ms), x2: x(ms), y1: top, y2: height - bottom, stroke: "#ddd" });
      el(svg, "text", { x: x(ms), y: height - 5, "text-anchor": "middle" }, label);
    }
    for (const [v, level] of lines) {
      if (!(v > 0) || v > max) continue;
      el(svg, "line", { x1: left, x2: width, y1: y(v), y2: y(v), stroke: level === "danger" ? "#c0182b" : "#c77700",
        "stroke-dasharray": "6 4", class: "threshold " + level });
      el(svg, "text", { x: width - 4, y: y(v) - 3, "text-anchor": "end" }, T[level] + " " + number(v * u.factor));
    }
    if (!data.buckets.length) {
      el(svg, "text", { x: width / 2, y: height / 2, "text-anchor": "middle", class: "empty" }, T.empty);
    } else {
      const band = data.buckets.map((b) => x(b[0]) + "," + y(b[3]))
        .concat(data.buckets.slice().reverse().map((b) => x(b[0]) + "," + y(b[1])));
      el(svg, "polygon", { points: band.join(" "), fill: "#1b7f3b", "fill-opacity": "0.2" });
      el(svg, "polyline", { points: data.buckets.map((b) => x(b[0]) + "," + y(b[2])).join(" "), fill: "none",
        stroke: "#1b7f3b", "stroke-width": "1.5", class: "mean" });
    }
    el(svg, "text", { x: left + 2, y: top + 10 }, number(max * u.factor) + " " + u.unit);
    for (const format of ["csv", "json"]) {
      const q = new URLSearchParams({ counter: card.serial, from: String(data.from), to: String(data.to), format });
      card.node.querySelector(".export-" + format).href = "/export?" + q;
    }
  }

  // Served instead of the readings while a token is needed: the token goes as a header, never in
  // the URL, and the answer sets the session cookie.
  function signIn() {
    const form = document.querySelector("form.login");
    form.hidden = false;
    document.getElementById("token-label").textContent = T.token;
    document.getElementById("sign-in").textContent = T.signIn;
    form.addEventListener("submit", async (e) => {
      e.preventDefault();
      const token = document.getElementById("token").value;
      const r = await fetch("/login", { headers: { Authorization: "Bearer " + token }, cache: "no-store" });
      if (r.ok) location.assign("/");
      else document.getElementById("wrong").textContent = T.wrong;
    });
  }

  if (document.body.dataset.view === "signin") {
    signIn();
  } else {
    poll();
    setInterval(poll, 1000);
  }
})();
