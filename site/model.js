// What the page knows about the site: one entry per reader (host and port),
// fed by the broker's messages and read by the view. No DOM here.
//
// The page's scripts are classic scripts sharing the namespace `talumbra`,
// not modules: the broker's web server sends no Content-Type, and browsers
// refuse a module script without a JavaScript one.
"use strict";
(() => {
const talumbra = (window.talumbra = window.talumbra || {});

const FEED_SIZE = 100;
const SPARK_MINUTES = 60;
const SEQ_MEMORY = 64; // seqs remembered per reader, to drop QoS 1 repeats

// "1,2,5-8" (ports 1 to 256, as talumbra-read --port writes them) -> a Set
// of port numbers, or null when it is no such list.
function parsePortList(text) {
  const out = new Set();
  for (const item of text.split(",")) {
    const m = /^(\d{1,3})(?:-(\d{1,3}))?$/.exec(item);
    if (!m) return null;
    const a = Number(m[1]);
    const b = m[2] === undefined ? a : Number(m[2]);
    if (a < 1 || b > 256 || b < a) return null;
    for (let n = a; n <= b; n++) out.add(n);
  }
  return out;
}

// "<prefix>/<host>/com<N>/<kind>" -> {host, port, kind}; the status of a
// group of ports, "<prefix>/<host>/ports-<list>/status" -> {host, group,
// ports, kind: "group"}; or null.
function parseTopic(topic, prefix) {
  let rest = topic;
  if (prefix) {
    if (!topic.startsWith(prefix + "/")) return null;
    rest = topic.slice(prefix.length + 1);
  }
  const parts = rest.split("/");
  if (parts.length !== 3) return null;
  const [host, com, kind] = parts;
  if (com.startsWith("ports-")) {
    const ports = kind === "status" ? parsePortList(com.slice(6)) : null;
    return ports ? { host, group: com, ports, kind: "group" } : null;
  }
  const m = /^com(\d+)$/.exec(com);
  if (!m || (kind !== "code" && kind !== "status")) return null;
  return { host, port: Number(m[1]), kind };
}

// "online", "offline", "online dropped=12"...: the first word is the state,
// the rest are key=value words, of which "dropped" is shown.
function parseStatus(text) {
  const words = text.trim().split(/\s+/).filter(Boolean);
  const state = words.length ? words[0] : "unknown";
  let dropped = 0;
  for (const w of words.slice(1)) {
    const m = /^dropped=(\d+)$/.exec(w);
    if (m) dropped = Number(m[1]);
  }
  return { state: state === "online" || state === "offline" ? state : "unknown", word: state, dropped };
}

// A code's JSON, with only the fields the page uses; unknown fields are
// ignored, missing or mistyped ones left empty. Null when it is no object.
function parseCode(text) {
  let j;
  try {
    j = JSON.parse(text);
  } catch {
    return null;
  }
  if (!j || typeof j !== "object" || Array.isArray(j)) return null;
  const str = (v) => (typeof v === "string" ? v : v === undefined || v === null ? "" : String(v));
  const t = typeof j.time === "string" ? Date.parse(j.time) : NaN;
  return {
    code: str(j.code),
    device: str(j.device),
    badge: str(j.badge),
    seq: Number.isSafeInteger(j.seq) ? j.seq : null,
    timeText: str(j.time),
    time: Number.isFinite(t) ? t : null,
  };
}

function minuteOf(ms) {
  return Math.floor(ms / 60000);
}

class Reader {
  constructor(host, port, now) {
    this.host = host;
    this.port = port;
    this.key = Reader.key(host, port);
    // Its own status; state and stateWord are what the page shows, which a
    // group status of its host may turn offline.
    this.ownState = "unknown";
    this.ownWord = "";
    this.state = "unknown";
    this.stateWord = "";
    this.dropped = 0;
    this.device = "";
    this.badge = "";
    this.lastCode = "";
    this.lastTime = null; // ms since the epoch, of the last code
    this.firstSeen = now;
    this.stateSince = now;
    this.seqs = [];
    // Codes per minute: counts[m % 60] holds minute m, when stamp[m % 60] === m.
    this.counts = new Uint16Array(SPARK_MINUTES);
    this.stamps = new Float64Array(SPARK_MINUTES).fill(-1);
  }

  static key(host, port) {
    return host + "\u0000" + port;
  }

  seenSeq(seq) {
    if (seq === null) return false;
    if (this.seqs.includes(seq)) return true;
    this.seqs.push(seq);
    if (this.seqs.length > SEQ_MEMORY) this.seqs.shift();
    return false;
  }

  count(ms, now) {
    // A reader whose clock runs a little ahead still counts in this minute.
    const m = Math.min(minuteOf(ms), minuteOf(now));
    if (m <= minuteOf(now) - SPARK_MINUTES) return;
    const i = m % SPARK_MINUTES;
    if (this.stamps[i] !== m) {
      this.stamps[i] = m;
      this.counts[i] = 0;
    }
    if (this.counts[i] < 0xffff) this.counts[i]++;
  }

  // Codes per minute over the last hour, oldest first.
  perMinute(now) {
    const last = minuteOf(now);
    const out = new Array(SPARK_MINUTES);
    for (let k = 0; k < SPARK_MINUTES; k++) {
      const m = last - SPARK_MINUTES + 1 + k;
      const i = m % SPARK_MINUTES;
      out[k] = this.stamps[i] === m ? this.counts[i] : 0;
    }
    return out;
  }

  // Online, but no code for longer than the threshold (from the last code,
  // or from when the page first saw the reader).
  quiet(now, thresholdMs) {
    if (this.state !== "online" || !(thresholdMs > 0)) return false;
    return now - (this.lastTime ?? this.firstSeen) > thresholdMs;
  }
}

class Site {
  constructor(prefix) {
    this.prefix = prefix;
    this.readers = new Map();
    this.feed = []; // newest last; at most FEED_SIZE
    this.feedAdded = 0; // codes appended since the view last took them
    this.changed = new Set(); // readers whose tile is to be redrawn
    this.orderChanged = false;
    this.groups = new Map(); // host -> Map(group topic level -> {ports, state})
  }

  reader(host, port, now) {
    const key = Reader.key(host, port);
    let r = this.readers.get(key);
    if (!r) {
      r = new Reader(host, port, now);
      this.readers.set(key, r);
      this.orderChanged = true;
      this.settle(r, now);
    }
    return r;
  }

  // A reader is offline when its own status says so, or when a group status
  // of its host that lists its port says "offline" and none listing it says
  // "online": a program reading several ports has one last will, on its
  // group's status, and a killed one leaves its readers' own "online".
  settle(r, now) {
    let state = r.ownState;
    let word = r.ownWord;
    if (state !== "offline") {
      let off = false;
      let on = false;
      for (const g of (this.groups.get(r.host) || new Map()).values()) {
        if (!g.ports.has(r.port)) continue;
        if (g.state === "offline") off = true;
        else if (g.state === "online") on = true;
      }
      if (off && !on) {
        state = "offline";
        word = "offline";
      }
    }
    if (r.state !== state) {
      r.stateSince = now;
      this.orderChanged = true;
    }
    if (r.state !== state || r.stateWord !== word) this.changed.add(r.key);
    r.state = state;
    r.stateWord = word;
  }

  // A group's status: set, or cleared (empty); its host's readers settle again.
  handleGroup(t, payloadText, now) {
    const groups = this.groups.get(t.host) || new Map();
    if (payloadText === "") {
      if (!groups.delete(t.group)) return false;
      if (!groups.size) this.groups.delete(t.host);
    } else {
      groups.set(t.group, { ports: t.ports, state: parseStatus(payloadText).state });
      this.groups.set(t.host, groups);
    }
    for (const r of this.readers.values()) if (r.host === t.host && t.ports.has(r.port)) this.settle(r, now);
    return true;
  }

  // One broker message; true when it changed anything.
  handle(topic, payloadText, now) {
    const t = parseTopic(topic, this.prefix);
    if (!t) return false;
    if (t.kind === "group") return this.handleGroup(t, payloadText, now);
    if (t.kind === "status") {
      if (payloadText === "") {
        // A retained status cleared: the reader is gone from the site.
        const key = Reader.key(t.host, t.port);
        if (!this.readers.delete(key)) return false;
        this.changed.delete(key);
        this.orderChanged = true;
        return true;
      }
      const s = parseStatus(payloadText);
      const r = this.reader(t.host, t.port, now);
      r.ownState = s.state;
      r.ownWord = s.word;
      r.dropped = s.dropped;
      this.settle(r, now);
      this.changed.add(r.key);
      return true;
    }
    const c = parseCode(payloadText);
    if (!c) return false;
    const r = this.reader(t.host, t.port, now);
    if (r.seenSeq(c.seq)) return false;
    const when = c.time ?? now;
    // A spooled code replayed after an outage may be older than the last one shown.
    if (r.lastTime === null || when >= r.lastTime) {
      r.lastCode = c.code;
      r.lastTime = when;
      r.lastTimeText = c.timeText;
      if (c.device) r.device = c.device;
      if (c.badge) r.badge = c.badge;
    }
    r.count(when, now);
    this.changed.add(r.key);
    this.feed.push({ host: t.host, port: t.port, code: c.code, time: when });
    if (this.feed.length > FEED_SIZE * 2) this.feed.splice(0, this.feed.length - FEED_SIZE);
    this.feedAdded++;
    return true;
  }

  latestFeed() {
    return this.feed.slice(-FEED_SIZE);
  }

  // Hosts, each with its readers: hosts holding an offline reader first, then
  // those with a quiet one, then by name; within a host, the same by port.
  grouped(now, thresholdMs) {
    const rank = (r) => (r.state === "offline" ? 0 : r.quiet(now, thresholdMs) ? 1 : 2);
    const hosts = new Map();
    for (const r of this.readers.values()) {
      if (!hosts.has(r.host)) hosts.set(r.host, []);
      hosts.get(r.host).push(r);
    }
    const out = [];
    for (const [host, readers] of hosts) {
      readers.sort((a, b) => rank(a) - rank(b) || a.port - b.port);
      out.push({ host, readers, rank: Math.min(...readers.map(rank)) });
    }
    out.sort((a, b) => a.rank - b.rank || (a.host < b.host ? -1 : a.host > b.host ? 1 : 0));
    return out;
  }
}

Object.assign(talumbra, {
  FEED_SIZE, SPARK_MINUTES, parsePortList, parseTopic, parseStatus, parseCode, Reader, Site,
});
})();
