// A small client of the Chrome DevTools protocol for Debian's chromium,
// started headless: launch, pages in their own targets, evaluation, waiting on
// conditions. Shared by the browser tests and scripts/measure-web.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createRequire } from 'node:module';

// `ws` comes from the npm ci that tests/web/CMakeLists.txt sets up; its
// folder is in NODE_PATH.
const require = createRequire(import.meta.url);
const WebSocket = require('ws');

export const CHROMIUM = process.env.GLIMMER_CHROMIUM || '/usr/bin/chromium';

export class Browser {
  static async launch({ windowSize = '1280,1024', extraArgs = [] } = {}) {
    const profile = mkdtempSync(join(tmpdir(), 'glimmer-chromium-'));
    const child = spawn(CHROMIUM, [
      '--headless=new', '--no-sandbox', '--remote-debugging-port=0',
      `--user-data-dir=${profile}`, '--no-first-run', '--no-default-browser-check',
      `--window-size=${windowSize}`, ...extraArgs, 'about:blank',
    ], { stdio: ['ignore', 'ignore', 'pipe'] });
    let log = '';
    const url = await new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`chromium did not start: ${log}`)), 60000);
      child.stderr.on('data', (chunk) => {
        log += chunk;
        const m = /DevTools listening on (ws:\/\/\S+)/.exec(log);
        if (m) { clearTimeout(timer); resolve(m[1]); }
      });
      child.on('exit', (code) => { clearTimeout(timer); reject(new Error(`chromium exited (${code}): ${log}`)); });
    });
    const browser = new Browser(child, profile);
    await browser.connect(url);
    return browser;
  }

  constructor(child, profile) {
    this.child = child;
    this.profile = profile;
    this.nextId = 1;
    this.pending = new Map();
    this.listeners = [];
  }

  connect(url) {
    this.ws = new WebSocket(url, { perMessageDeflate: false, maxPayload: 1 << 30 });
    this.ws.on('message', (data) => {
      const msg = JSON.parse(data.toString());
      if (msg.id !== undefined) {
        const p = this.pending.get(msg.id);
        this.pending.delete(msg.id);
        if (msg.error) p.reject(new Error(`${p.method}: ${msg.error.message}`));
        else p.resolve(msg.result);
      } else {
        for (const l of this.listeners) l(msg);
      }
    });
    return new Promise((resolve, reject) => {
      this.ws.once('open', resolve);
      this.ws.once('error', reject);
    });
  }

  send(method, params = {}, sessionId = undefined) {
    const id = this.nextId++;
    const msg = { id, method, params };
    if (sessionId) msg.sessionId = sessionId;
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject, method });
      this.ws.send(JSON.stringify(msg));
    });
  }

  on(listener) { this.listeners.push(listener); }

  // A new page (tab) of its own; `scale` sets the device scale factor and
  // `viewport` the visible size before anything loads.
  async newPage({ scale = 1, viewport = [1280, 1024] } = {}) {
    const { targetId } = await this.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await this.send('Target.attachToTarget', { targetId, flatten: true });
    const page = new Page(this, targetId, sessionId);
    await page.send('Page.enable');
    await page.send('Runtime.enable');
    await page.send('Emulation.setDeviceMetricsOverride', {
      width: viewport[0], height: viewport[1], deviceScaleFactor: scale, mobile: false,
    });
    return page;
  }

  async close() {
    try { await Promise.race([this.send('Browser.close'), delay(5000)]); } catch { /* gone already */ }
    if (this.child.exitCode === null) this.child.kill('SIGKILL');
    await new Promise((r) => (this.child.exitCode !== null ? r() : this.child.once('exit', r)));
    // Chromium's helper processes may still be writing into the profile.
    try {
      rmSync(this.profile, { recursive: true, force: true, maxRetries: 20, retryDelay: 100 });
    } catch (e) {
      console.error(`left ${this.profile}: ${e.message}`);
    }
  }
}

export class Page {
  constructor(browser, targetId, sessionId) {
    this.browser = browser;
    this.targetId = targetId;
    this.sessionId = sessionId;
    this.console = [];
    this.requests = [];
    browser.on((msg) => {
      if (msg.sessionId !== sessionId) return;
      if (msg.method === 'Runtime.consoleAPICalled') {
        this.console.push({ type: msg.params.type, text: msg.params.args.map((a) => a.value).join(' ') });
      } else if (msg.method === 'Network.requestWillBeSent') {
        this.requests.push(msg.params.request.url);
      }
    });
  }

  send(method, params = {}) { return this.browser.send(method, params, this.sessionId); }

  // Loads `url` and waits for its load event.
  async load(url) {
    const loaded = new Promise((resolve) => {
      this.browser.on((msg) => {
        if (msg.sessionId === this.sessionId && msg.method === 'Page.loadEventFired') resolve();
      });
    });
    await this.send('Page.navigate', { url });
    await withTimeout(loaded, 60000, `no load event for ${url}`);
  }

  async evaluate(expression) {
    const r = await this.send('Runtime.evaluate', { expression, returnByValue: true, awaitPromise: true });
    if (r.exceptionDetails) throw new Error(`evaluating ${expression}: ${r.exceptionDetails.exception?.description ?? r.exceptionDetails.text}`);
    return r.result.value;
  }

  bringToFront() { return this.send('Page.bringToFront'); }

  // Waits for `n` animation frames of the page.
  frames(n) {
    return this.evaluate(`new Promise((done) => { let left = ${n};
      const f = () => (--left <= 0 ? done(performance.now()) : requestAnimationFrame(f));
      requestAnimationFrame(f); })`);
  }

  async metrics() {
    const { metrics } = await this.send('Performance.getMetrics');
    return Object.fromEntries(metrics.map((m) => [m.name, m.value]));
  }
}

export function delay(ms) { return new Promise((r) => setTimeout(r, ms)); }

export function withTimeout(promise, ms, what) {
  let timer;
  return Promise.race([
    promise.finally(() => clearTimeout(timer)),
    new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), ms); }),
  ]);
}

// Polls `check` until it returns something truthy; fails after `ms`.
export async function waitFor(check, ms, what) {
  const until = Date.now() + ms;
  for (;;) {
    const v = await check();
    if (v) return v;
    if (Date.now() > until) throw new Error(`timed out waiting for ${what}`);
    await delay(50);
  }
}

// The canvas as the page shows it: size, and its lit pixels counted in the page.
export const FIELD_STATE = `(() => {
  const c = document.getElementById('field');
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  let lit = 0, dim = 0, single = 0, cells = 0;
  for (let i = 0; i < d.length; i += 4) {
    if (d[i] | d[i + 1] | d[i + 2]) {
      ++lit;
      if (d[i] < 30 || d[i + 1] < 30 || d[i + 2] < 30) ++dim;
    }
  }
  // Aligned 2 x 2 cells with anything lit, and those with exactly one lit pixel.
  const at = (x, y) => { const i = (y * c.width + x) * 4; return (d[i] | d[i + 1] | d[i + 2]) ? 1 : 0; };
  for (let y = 0; y + 1 < c.height; y += 2) {
    for (let x = 0; x + 1 < c.width; x += 2) {
      const n = at(x, y) + at(x + 1, y) + at(x, y + 1) + at(x + 1, y + 1);
      if (n > 0) ++cells;
      if (n === 1) ++single;
    }
  }
  const r = c.getBoundingClientRect();
  return { t: performance.now(), lit, dim, single, cells, width: c.width, height: c.height,
           cssWidth: r.width, cssHeight: r.height, visibility: document.visibilityState };
})()`;

// Ticks of the spray that a field with `lit` of its `area` pixels lit has
// taken: each tick sprays 403 points over the window's outer size, of which
// the canvas (client area) is 14880 x 11115 of 15000 x 11520 twips, at
// independent uniform places.
export function ticksFromCoverage(lit, area) {
  const pointsPerTick = 403 * (14880 * 11115) / (15000 * 11520);
  const points = Math.log(1 - lit / area) / Math.log(1 - 1 / area);
  return points / pointsPerTick;
}
