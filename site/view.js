// Draws the model: at most once per animation frame, touching only the tiles
// that changed since the last frame. Every text from the broker goes in as
// text (textContent), never as markup: a topic or a code may hold anything.
"use strict";
(() => {
const { FEED_SIZE } = window.talumbra;

const SVG = "http://www.w3.org/2000/svg";
// Draws are at least this far apart: under a flood of codes the page redraws
// ten times a second in batches, not at every frame; a lone code still shows
// at the next frame.
const MIN_DRAW_MS = 100;

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function plural(n, word) {
  return `${n} ${word}${n === 1 ? "" : "s"}`;
}

function setText(e, text) {
  if (e.textContent !== text) e.textContent = text;
}

const timeFmt = new Intl.DateTimeFormat(undefined, { hour: "2-digit", minute: "2-digit", second: "2-digit" });
const dateFmt = new Intl.DateTimeFormat(undefined, {
  month: "short", day: "numeric", hour: "2-digit", minute: "2-digit", second: "2-digit",
});

function clockText(ms, now) {
  if (ms === null) return "–";
  const d = new Date(ms);
  return new Date(now).toDateString() === d.toDateString() ? timeFmt.format(d) : dateFmt.format(d);
}

function agoText(ms, now) {
  if (ms === null) return "no code yet";
  const s = Math.max(0, Math.floor((now - ms) / 1000));
  if (s < 60) return `${s} s ago`;
  if (s < 3600) return `${Math.floor(s / 60)} min ago`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min ago`;
  return `${Math.floor(s / 86400)} days ago`;
}

// "gate-01 com5": every word is a piece of the host name or a port (5, com5).
function feedMatcher(filter) {
  const words = filter.trim().toLowerCase().split(/\s+/).filter(Boolean);
  if (!words.length) return () => true;
  return (e) =>
    words.every((w) => {
      const m = /^(?:com)?(\d+)$/.exec(w);
      if (m && e.port === Number(m[1])) return true;
      return e.host.toLowerCase().includes(w);
    });
}

class Tile {
  constructor(r) {
    this.root = el("article", "tile");
    const head = el("div", "tile-head");
    head.append(el("h3", "port", `com${r.port}`));
    this.state = el("span", "state");
    head.append(this.state);
    this.root.append(head);
    this.code = el("p", "code");
    this.root.append(this.code);
    const dl = el("dl");
    const row = (name) => {
      dl.append(el("dt", "", name));
      const dd = el("dd");
      dl.append(dd);
      return dd;
    };
    this.at = row("at");
    this.ago = row("since");
    this.device = row("device");
    this.badge = row("badge");
    this.root.append(dl);
    this.spark = document.createElementNS(SVG, "svg");
    this.spark.setAttribute("class", "spark");
    this.spark.setAttribute("viewBox", "0 0 59 20");
    this.spark.setAttribute("preserveAspectRatio", "none");
    this.spark.setAttribute("aria-hidden", "true");
    this.line = document.createElementNS(SVG, "polyline");
    this.spark.append(this.line);
    this.sparkLabel = el("p", "spark-label");
    this.root.append(this.spark, this.sparkLabel);
    this.minute = -1;
  }

  draw(r, now, thresholdMs, full) {
    const quiet = r.quiet(now, thresholdMs);
    const cls = `tile ${r.state}${quiet ? " quiet" : ""}`;
    const moved = this.root.className !== cls;
    if (moved) this.root.className = cls;
    let word = r.stateWord || "unknown";
    if (quiet) word += ", quiet";
    if (r.dropped) word += `, dropped ${r.dropped}`;
    setText(this.state, word);
    setText(this.code, r.lastCode || "–");
    setText(this.at, clockText(r.lastTime, now));
    setText(this.ago, agoText(r.lastTime, now));
    setText(this.device, r.device || "–");
    setText(this.badge, r.badge || "–");
    this.root.setAttribute("aria-label", `${r.host} com${r.port}: ${word}`);
    const minute = Math.floor(now / 60000);
    if (full || minute !== this.minute) {
      this.minute = minute;
      const counts = r.perMinute(now);
      const top = Math.max(1, ...counts);
      let pts = "";
      for (let k = 0; k < counts.length; k++) pts += `${k},${(19 - (18 * counts[k]) / top).toFixed(1)} `;
      this.line.setAttribute("points", pts);
      const total = counts.reduce((a, b) => a + b, 0);
      const most = Math.max(...counts);
      setText(this.sparkLabel, total ? `last hour: ${plural(total, "code")}, at most ${most} a minute`
        : "last hour: no codes");
    }
    return moved; // its state or quiet mark changed: the order may too
  }
}

class View {
  constructor(site, { hosts, feedBody, feedCount, summary }) {
    this.site = site;
    this.hostsEl = hosts;
    this.feedBody = feedBody;
    this.feedCount = feedCount;
    this.summary = summary;
    this.tiles = new Map(); // reader key -> Tile
    this.hostEls = new Map(); // host -> {section, list}
    this.order = "";
    this.thresholdMs = 0;
    this.matcher = feedMatcher("");
    this.pending = false;
    this.lastDraw = -Infinity;
    this.refreshAll = false;
    this.refeed = true;
    this.frame = () => this.draw();
    this.later = () => requestAnimationFrame(this.frame);
  }

  schedule() {
    if (this.pending) return;
    this.pending = true;
    const wait = this.lastDraw + MIN_DRAW_MS - performance.now();
    if (wait > 0) setTimeout(this.later, wait);
    else requestAnimationFrame(this.frame);
  }

  // The clock moved on: "since", quiet marks and sparklines change with no message.
  tick() {
    this.refreshAll = true;
    this.schedule();
  }

  setThreshold(ms) {
    this.thresholdMs = ms;
    this.tick();
  }

  setFilter(text) {
    this.matcher = feedMatcher(text);
    this.refeed = true;
    this.schedule();
  }

  draw() {
    this.pending = false;
    const now = Date.now();
    const site = this.site;
    // Only draws of new messages count: a clock tick does not hold back the next code.
    if (site.changed.size || site.feedAdded || site.orderChanged) this.lastDraw = performance.now();
    for (const [key, tile] of this.tiles) {
      if (!site.readers.has(key)) {
        tile.root.remove();
        this.tiles.delete(key);
      }
    }
    const redraw = this.refreshAll ? site.readers.keys() : site.changed;
    let moved = site.orderChanged;
    for (const key of redraw) {
      const r = site.readers.get(key);
      if (!r) continue;
      let t = this.tiles.get(key);
      const fresh = !t;
      if (fresh) {
        t = new Tile(r);
        this.tiles.set(key, t);
      }
      if (t.draw(r, now, this.thresholdMs, fresh || site.changed.has(key))) moved = true;
    }
    if (moved) this.arrange(now);
    site.changed.clear();
    site.orderChanged = false;
    this.refreshAll = false;
    this.drawFeed();
  }

  arrange(now) {
    const groups = this.site.grouped(now, this.thresholdMs);
    let order = "";
    for (const g of groups) order += g.host + "\u0001" + g.readers.map((r) => this.tiles.get(r.key).root.className + r.port).join(",") + "\u0002";
    if (order === this.order) return;
    this.order = order;
    const seen = new Set();
    let offline = 0, quiet = 0, total = 0;
    for (const g of groups) {
      seen.add(g.host);
      let h = this.hostEls.get(g.host);
      if (!h) {
        const section = el("section", "host");
        const title = el("h2", "", g.host);
        const list = el("div", "tiles");
        section.append(title, list);
        h = { section, list };
        this.hostEls.set(g.host, h);
      }
      // appendChild moves a node already in place: only the order changes.
      this.hostsEl.append(h.section);
      for (const r of g.readers) {
        h.list.append(this.tiles.get(r.key).root);
        total++;
        if (r.state === "offline") offline++;
        else if (r.quiet(now, this.thresholdMs)) quiet++;
      }
    }
    for (const [host, h] of this.hostEls) {
      if (!seen.has(host)) {
        h.section.remove();
        this.hostEls.delete(host);
      }
    }
    setText(this.summary, `${plural(total, "reader")} on ${plural(groups.length, "host")}: ${offline} offline, ${quiet} quiet`);
  }

  drawFeed() {
    const site = this.site;
    if (!this.refeed && !site.feedAdded) return;
    const entries = this.refeed ? site.latestFeed() : site.feed.slice(-Math.min(site.feedAdded, FEED_SIZE));
    if (this.refeed) this.feedBody.replaceChildren();
    this.refeed = false;
    site.feedAdded = 0;
    const frag = document.createDocumentFragment();
    for (let k = entries.length - 1; k >= 0; k--) {
      const e = entries[k];
      if (!this.matcher(e)) continue;
      const li = el("li");
      li.append(el("span", "t", clockText(e.time, Date.now())), " ", el("span", "host", e.host), " ",
        el("span", "p", `com${e.port}`), " ", el("span", "code", e.code));
      frag.append(li);
    }
    this.feedBody.prepend(frag);
    while (this.feedBody.childElementCount > FEED_SIZE) this.feedBody.lastElementChild.remove();
    setText(this.feedCount, `${this.feedBody.childElementCount} shown`);
  }
}

Object.assign(window.talumbra, { clockText, agoText, feedMatcher, View });
})();
