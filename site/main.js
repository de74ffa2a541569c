// The page's wiring: the login, the connection to the broker that served the
// page (MQTT over WebSockets on the same listener), and the model and view.
"use strict";
(() => {
const { Site, View } = window.talumbra;
const mqtt = window.mqtt; // the client's browser build, mqtt.min.js

const $ = (id) => document.getElementById(id);
const LOGIN_KEY = "talumbra.login"; // sessionStorage: gone with the tab
const QUIET_KEY = "talumbra.quietMinutes"; // localStorage: a preference
const BACKOFF_MS = [1000, 2000, 4000, 8000, 16000, 30000];

// ?prefix=site (the default) names the topics' prefix; ?prefix= for none.
const params = new URLSearchParams(location.search);
const prefix = params.has("prefix") ? params.get("prefix").replace(/\/+$/, "") : "site";
const site = new Site(prefix);
// A prefix holding a wildcard would subscribe to something else than asked.
const badPrefix = /[+#\u0000]/.test(prefix);
const view = new View(site, { hosts: $("hosts"), feedBody: $("feed-body"), feedCount: $("feed-count"),
  summary: $("summary") });
const decoder = new TextDecoder();

let client = null;
let retry = 0;
let retryTimer = null;

function setLink(text, up) {
  $("link").textContent = text;
  $("link").classList.toggle("up", up);
}

function banner(text) {
  $("banner").textContent = text;
  $("banner").hidden = !text;
}

function askLogin(message) {
  sessionStorage.removeItem(LOGIN_KEY);
  $("login-message").textContent = message || "";
  $("login").hidden = false;
  $("page").hidden = true;
  $("logout").hidden = true;
  banner("");
  $("user").focus();
}

// MQTT 3.1.1 CONNACK 4 and 5, MQTT 5 reason codes 134 and 135.
function refusedLogin(err) {
  return [4, 5, 134, 135].includes(err && err.code);
}

function stopClient() {
  clearTimeout(retryTimer);
  retryTimer = null;
  if (client) {
    client.removeAllListeners();
    client.on("error", () => {});
    client.end(true);
    client = null;
  }
}

function connect(login) {
  stopClient();
  $("login").hidden = true;
  $("page").hidden = false;
  $("logout").hidden = false;
  setLink("Connecting…", false);
  const url = `${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/mqtt`;
  const c = mqtt.connect(url, {
    username: login.user || undefined,
    password: login.user ? login.password : undefined,
    clientId: "talumbra-site-" + Math.random().toString(16).slice(2, 10),
    protocolVersion: 4,
    clean: true,
    reconnectPeriod: 0, // the back-off below instead of a fixed period
    connectTimeout: 10000,
    keepalive: 30,
  });
  client = c;
  let refused = false;
  c.on("connect", () => {
    retry = 0;
    banner("");
    setLink("Connected", true);
    const base = prefix ? prefix + "/" : "";
    // QoS 0: a live view has no use for codes queued while away, and spares
    // an acknowledgement per message under a flood.
    c.subscribe([base + "+/+/status", base + "+/+/code"], { qos: 0 });
  });
  c.on("message", (topic, payload) => {
    if (site.handle(topic, decoder.decode(payload), Date.now())) view.schedule();
  });
  c.on("error", (err) => {
    if (refusedLogin(err)) {
      refused = true;
      stopClient();
      setLink("Not connected", false);
      askLogin("The broker refused the login: check the user name and the password.");
    }
  });
  c.on("close", () => {
    if (refused || client !== c) return;
    const wait = BACKOFF_MS[Math.min(retry, BACKOFF_MS.length - 1)];
    retry++;
    setLink("Not connected", false);
    banner(`The connection to the broker is lost. Trying again in ${Math.round(wait / 1000)} s…`);
    clearTimeout(retryTimer);
    retryTimer = setTimeout(() => {
      if (client === c) {
        setLink("Connecting…", false);
        c.reconnect();
      }
    }, wait);
  });
}

$("login").addEventListener("submit", (ev) => {
  ev.preventDefault();
  const login = { user: $("user").value, password: $("password").value };
  $("password").value = "";
  sessionStorage.setItem(LOGIN_KEY, JSON.stringify(login));
  connect(login);
});

$("logout").addEventListener("click", () => {
  stopClient();
  setLink("Not connected", false);
  askLogin("");
});

$("filter").addEventListener("input", (ev) => view.setFilter(ev.target.value));

const quiet = $("quiet");
quiet.value = localStorage.getItem(QUIET_KEY) ?? quiet.value;
const applyQuiet = () => {
  const min = Number(quiet.value);
  view.setThreshold(Number.isFinite(min) && min > 0 ? min * 60000 : 0);
};
quiet.addEventListener("change", () => {
  localStorage.setItem(QUIET_KEY, quiet.value);
  applyQuiet();
});
applyQuiet();

setInterval(() => view.tick(), 1000);

let saved = null;
try {
  saved = JSON.parse(sessionStorage.getItem(LOGIN_KEY));
} catch {
  saved = null;
}
if (badPrefix) {
  $("login").hidden = true;
  banner(`The topic prefix "${prefix}" holds '+', '#' or NUL: name the readers' prefix with ?prefix=NAME.`);
} else if (saved && typeof saved === "object") connect(saved);
else askLogin("");
})();
