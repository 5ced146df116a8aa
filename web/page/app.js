// SPDX-License-Identifier: MIT
// The panel in a browser: it shows what the bridge's session says, sends commands by POST
// and hears every change over one WebSocket, which it opens again by itself when lost.
"use strict";

const names = ["pir", "light", "indoor", "outdoor"];
const colours = { pir: "#ffffff", light: "#ffe14d", indoor: "#ff9a3c", outdoor: "#00ffff" };
const dayMs = 24 * 3600 * 1000;
const quietMs = 12000; // the bridge speaks every 5 s; this long without it, it is gone
const toggles = [1, 2, 3, 4, 5].map((n) => document.getElementById("load" + n));
const banner = document.getElementById("banner");
const statusLine = document.getElementById("status");

// For tests and the latency bench: every state received, newest last, bounded.
window.quorvane = { states: [], connected: false, history: [], plotted: 0, axis: null };

let state = null;
let socket = null;
let retryMs = 500;
let quietTimer = 0;

function say(text) {
  banner.hidden = !text;
  banner.textContent = text || "";
}

function show(s) {
  state = s;
  const q = window.quorvane;
  q.states.push({ seq: s.seq, indoor: s.readings.indoor, frameMs: s.health.newestFrameMs, at: Date.now() });
  if (q.states.length > 2000) q.states.splice(0, 1000);
  for (const name of names) {
    const label = s.labels[name];
    document.getElementById(name).textContent = label === null ? "" : label;
  }
  toggles.forEach((b, i) => {
    b.setAttribute("aria-pressed", s.loads[i] === true ? "true" : "false");
    // As on the panel: no switching while the line is closed.
    b.disabled = !s.line;
  });
  document.getElementById("allon").disabled = !s.line;
  document.getElementById("alloff").disabled = !s.line;
  if (!s.line) say("Line lost: the bridge cannot reach the board on " + s.lineName + ".");
  else if (s.silent) say("Board silent: no readings from the board for a while.");
  else say("");
  const h = s.health;
  statusLine.textContent = h.newestFrame
    ? "Newest frame " + new Date(h.newestFrameMs).toLocaleTimeString() + ", " + h.framesLastMinute + " in the last minute"
    : "No frame from the board yet";
}

function quiet() {
  clearTimeout(quietTimer);
  quietTimer = setTimeout(() => { if (socket) socket.close(); }, quietMs);
}

function connect() {
  const scheme = location.protocol === "https:" ? "wss://" : "ws://";
  const ws = new WebSocket(scheme + location.host + "/api/live");
  socket = ws;
  quiet();
  ws.onopen = () => { retryMs = 500; window.quorvane.connected = true; };
  ws.onmessage = (e) => {
    quiet();
    show(JSON.parse(e.data));
  };
  ws.onclose = (e) => {
    if (socket !== ws) return;
    socket = null;
    window.quorvane.connected = false;
    clearTimeout(quietTimer);
    if (e.code === 1008) { location.href = "/login"; return; }
    say("Bridge unreachable: trying again…");
    setTimeout(connect, retryMs);
    retryMs = Math.min(retryMs * 2, 5000);
  };
}

async function post(path, word) {
  try {
    const r = await fetch(path, {
      method: "POST", body: word, credentials: "same-origin",
      headers: { "X-Quorvane": "1", "Content-Type": "text/plain" },
    });
    if (r.status === 401) { location.href = "/login"; return; }
    const body = await r.json();
    if (!r.ok) { say(body.error || "The bridge refused that."); return; }
    show(body);
  } catch (e) {
    say("Bridge unreachable: the command was not sent.");
  }
}

toggles.forEach((b, i) => b.addEventListener("click", () => {
  const on = !(state && state.loads[i] === true);
  post("/api/load/" + (i + 1), on ? "on" : "off");
}));
document.getElementById("allon").addEventListener("click", () => post("/api/all", "on"));
document.getElementById("alloff").addEventListener("click", () => post("/api/all", "off"));
// Ends every browser's login (a lost phone, a guest's), this one's too.
document.getElementById("logoutall").addEventListener("click", async () => {
  try {
    await fetch("/api/logout-all", {
      method: "POST", credentials: "same-origin",
      headers: { "X-Quorvane": "1", "Content-Type": "text/plain" },
    });
    location.href = "/login";
  } catch (e) {
    say("Bridge unreachable: nobody was logged out.");
  }
});

// ---- the day's plot, drawn here: the page needs nothing from outside the bridge ----

const canvas = document.getElementById("plot");

async function loadHistory() {
  const q = window.quorvane;
  const last = q.history.length ? q.history[q.history.length - 1][0] : 0;
  try {
    const r = await fetch("/api/history" + (last ? "?since=" + (last + 1) : ""), { credentials: "same-origin" });
    if (!r.ok) return;
    const body = await r.json();
    const cut = Date.now() - dayMs;
    q.history = q.history.concat(body.points).filter((p) => p[0] >= cut);
    draw();
  } catch (e) { /* the banner already says so */ }
}

// The temperature axis: five ticks, so they share their lines with the light's 0-100 %, a
// whole number of degrees apart (the smallest round step that holds every value), as near the
// middle as that step allows; each label is its tick's own value. A day without readings shows
// a room's range. Pure, so the browser test can call it with a table of days.
function temperatureAxis(values) {
  let lo = Infinity, hi = -Infinity;
  for (const v of values) {
    if (typeof v === "number" && Number.isFinite(v)) { lo = Math.min(lo, v); hi = Math.max(hi, v); }
  }
  if (lo === Infinity) { lo = 0; hi = 40; }
  for (let power = 1; ; power *= 10) { // 1, 2, 5, 10, 20, 25, 50, 100...
    for (const step of power > 1 ? [power, 2 * power, 2.5 * power, 5 * power] : [1, 2, 5]) {
      let first = step * Math.round((lo + hi) / 2 / step - 2);
      first = Math.min(first, step * Math.floor(lo / step));
      first = Math.max(first, step * Math.ceil(hi / step) - 4 * step);
      if (first > lo || first + 4 * step < hi) continue;
      const ticks = [0, 1, 2, 3, 4].map((k) => first + k * step + 0); // + 0: no "-0°"
      return { lo: ticks[0], hi: ticks[4], ticks, labels: ticks.map((t) => t + "°") };
    }
  }
}

function draw() {
  const q = window.quorvane;
  const points = q.history;
  const ratio = window.devicePixelRatio || 1;
  const w = canvas.clientWidth || 640, h = Math.round(w * 0.42);
  canvas.width = Math.round(w * ratio);
  canvas.height = Math.round(h * ratio);
  const g = canvas.getContext("2d");
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, w, h);
  const left = 36, right = 36, top = 8, bottom = 20;
  const now = Date.now(), from = now - dayMs;
  const x = (t) => left + ((t - from) / dayMs) * (w - left - right);
  const temps = [];
  for (const p of points) temps.push(p[3], p[4]); // the temperatures share the left axis
  const axis = temperatureAxis(temps), tLo = axis.lo, tHi = axis.hi;
  q.axis = axis;
  const yT = (v) => top + (1 - (v - tLo) / (tHi - tLo)) * (h - top - bottom);
  const yP = (v) => top + (1 - v / 100) * (h - top - bottom); // light (%) on the right
  g.font = "11px sans-serif";
  g.fillStyle = "#ffffff";
  g.strokeStyle = "rgba(255,255,255,0.25)";
  g.lineWidth = 1;
  axis.ticks.forEach((v, k) => {
    const y = yT(v);
    g.beginPath(); g.moveTo(left, y); g.lineTo(w - right, y); g.stroke();
    g.textAlign = "right"; g.fillText(axis.labels[k], left - 4, y + 4);
    g.textAlign = "left"; g.fillText((25 * k) + "%", w - right + 4, yP(25 * k) + 4);
  });
  g.textAlign = "center";
  for (let hours = 24; hours >= 0; hours -= 6)
    g.fillText(hours ? "-" + hours + " h" : "now", x(now - hours * 3600 * 1000), h - 5);
  const series = [
    ["pir", 1, (v) => yP(v * 100)], ["light", 2, yP], ["indoor", 3, yT], ["outdoor", 4, yT],
  ];
  let drawn = 0;
  for (const [name, c, y] of series) {
    g.strokeStyle = colours[name];
    g.lineWidth = name === "pir" ? 1 : 2;
    g.beginPath();
    let pen = false, prev = 0;
    for (const p of points) {
      const v = p[c];
      // A gap of over a minute is a gap in the line too.
      if (typeof v !== "number" || p[0] - prev > 60000) pen = false;
      prev = p[0];
      if (typeof v !== "number") continue;
      if (pen) g.lineTo(x(p[0]), y(v)); else g.moveTo(x(p[0]), y(v));
      pen = true;
      g.fillStyle = colours[name];
      g.fillRect(x(p[0]) - 1, y(v) - 1, 2, 2);
      drawn++;
    }
    g.stroke();
  }
  if (!drawn) {
    g.fillStyle = "#ffffff";
    g.textAlign = "center";
    g.fillText("No readings in the last 24 hours", w / 2, yP(62.5) + 4); // between two lines
  }
  q.plotted = drawn;
}

window.addEventListener("resize", draw);
connect();
loadHistory();
setInterval(loadHistory, 10000);
