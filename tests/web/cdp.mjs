// A small client of the Chrome DevTools protocol for Debian's chromium,
// started headless: launch, pages in their own targets with their workers,
// evaluation, screenshots as pixels, waiting on conditions. Shared by the
// browser tests and scripts/measure-web.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createRequire } from 'node:module';
import { inflateSync } from 'node:zlib';

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
    // Whatever is still waiting when the browser goes gets no answer.
    this.ws.on('close', () => {
      for (const p of this.pending.values()) p.reject(new Error(`${p.method}: the browser closed the connection`));
      this.pending.clear();
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
    // Nothing waits for ever: a session that went away may never answer.
    return withTimeout(new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject, method });
      this.ws.send(JSON.stringify(msg));
    }), 60000, `${method} (${JSON.stringify(params).slice(0, 120)})`);
  }

  on(listener) { this.listeners.push(listener); }

  // A new page (tab) of its own; `scale` sets the device scale factor and
  // `viewport` the visible size before anything loads. `pageScript` runs in
  // every document of the page and `workerScript` in every worker it starts,
  // before their own scripts.
  async newPage({ scale = 1, viewport = [1280, 1024], pageScript = null, workerScript = null } = {}) {
    const { targetId } = await this.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await this.send('Target.attachToTarget', { targetId, flatten: true });
    const page = new Page(this, targetId, sessionId, workerScript);
    await page.send('Page.enable');
    await page.send('Runtime.enable');
    await page.setScale(scale, viewport);
    if (pageScript) await page.send('Page.addScriptToEvaluateOnNewDocument', { source: pageScript });
    // Workers wait for the debugger, so that they are seen from their start.
    await page.send('Target.setAutoAttach', { autoAttach: true, waitForDebuggerOnStart: true, flatten: true });
    return page;
  }

  async close() {
    try { await withTimeout(this.send('Browser.close'), 5000, 'Browser.close'); } catch { /* gone already */ }
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
  constructor(browser, targetId, sessionId, workerScript) {
    this.browser = browser;
    this.targetId = targetId;
    this.sessionId = sessionId;
    this.workerScript = workerScript;
    this.console = [];
    this.requests = [];
    this.recording = false;
    this.workers = new Map();  // session id -> url, while the worker lives
    browser.on((msg) => {
      if (msg.sessionId === sessionId && msg.method === 'Target.attachedToTarget') {
        this.attachWorker(msg.params).catch((e) => console.error(`worker ${msg.params.targetInfo.url}: ${e.message}`));
      } else if (msg.sessionId === sessionId && msg.method === 'Target.detachedFromTarget') {
        this.workers.delete(msg.params.sessionId);
      } else if (msg.sessionId !== sessionId && !this.workers.has(msg.sessionId)) {
        return;
      }
      if (msg.method === 'Runtime.consoleAPICalled') {
        this.console.push({ type: msg.params.type, text: msg.params.args.map((a) => a.value).join(' '),
                            worker: msg.sessionId !== sessionId });
      } else if (msg.method === 'Network.requestWillBeSent') {
        this.requests.push(msg.params.request.url);
      }
    });
  }

  async attachWorker({ sessionId, targetInfo, waitingForDebugger }) {
    if (targetInfo.type !== 'worker') {
      if (waitingForDebugger) await this.browser.send('Runtime.runIfWaitingForDebugger', {}, sessionId);
      return;
    }
    this.workers.set(sessionId, targetInfo.url);
    const send = (method, params = {}) => this.browser.send(method, params, sessionId);
    await send('Runtime.enable');
    if (this.recording) await send('Network.enable');
    if (this.workerScript) await send('Runtime.evaluate', { expression: this.workerScript });
    if (waitingForDebugger) await send('Runtime.runIfWaitingForDebugger');
  }

  // From now on, every request of the page and its workers lands in `requests`.
  async recordRequests() {
    this.recording = true;
    await this.send('Network.enable');
  }

  // The device scale factor and viewport, at once or while the page runs.
  setScale(scale, viewport = [1280, 1024]) {
    return this.send('Emulation.setDeviceMetricsOverride', {
      width: viewport[0], height: viewport[1], deviceScaleFactor: scale, mobile: false,
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

  async evaluate(expression, sessionId = this.sessionId) {
    const r = await this.browser.send('Runtime.evaluate', { expression, returnByValue: true, awaitPromise: true },
                                      sessionId);
    if (r.exceptionDetails) throw new Error(`evaluating ${expression}: ${r.exceptionDetails.exception?.description ?? r.exceptionDetails.text}`);
    return r.result.value;
  }

  // Where the program runs: the session of the worker that holds its Module,
  // or the page's own; null while neither does.
  async programSession() {
    for (const id of this.workers.keys()) {
      try {
        // A worker the page has just ended may never answer.
        const running = this.evaluate('typeof Module === "object" && !!Module.glimmerHost.canvas', id);
        if (await withTimeout(running, 3000, 'a worker')) return id;
      } catch { /* the worker ended meanwhile */ }
    }
    const here = await this.evaluate('typeof Module === "object" && !!Module.glimmerHost.canvas');
    return here ? this.sessionId : null;
  }

  // Evaluates `expression` where the program runs, once it has started.
  async program(expression) {
    const session = await waitFor(() => this.programSession(), 30000, 'the program started');
    return this.evaluate(expression, session);
  }

  // The canvas as it shows on the screen, in device pixels: { width,
  // height, data } with RGBA bytes, from a screenshot of its box.
  async canvasImage() {
    const box = await this.evaluate(`(() => { const r = document.getElementById('field').getBoundingClientRect();
      return { x: r.left + scrollX, y: r.top + scrollY, width: r.width, height: r.height }; })()`);
    const { data } = await this.send('Page.captureScreenshot', {
      format: 'png', clip: { ...box, scale: 1 }, captureBeyondViewport: true, fromSurface: true,
    });
    return decodePng(Buffer.from(data, 'base64'));
  }

  bringToFront() { return this.send('Page.bringToFront'); }

  close() { return this.browser.send('Target.closeTarget', { targetId: this.targetId }); }

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
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), ms);
      // A time-out alone never keeps the process from ending.
      timer.unref();
    }),
  ]);
}

// Polls `check` until it returns something truthy; fails after `ms`, saying
// `what` (or what the function `what` returns then).
export async function waitFor(check, ms, what) {
  const until = Date.now() + ms;
  for (;;) {
    const v = await check();
    if (v) return v;
    if (Date.now() > until) throw new Error(`timed out waiting for ${typeof what === 'function' ? what() : what}`);
    await delay(50);
  }
}

// A PNG as Chromium writes screenshots (8 bits a channel, RGB or RGBA, not
// interlaced) to { width, height, data } with RGBA bytes.
export function decodePng(buf) {
  let width = 0, height = 0, channels = 0;
  const compressed = [];
  for (let p = 8; p < buf.length;) {
    const length = buf.readUInt32BE(p);
    const type = buf.toString('ascii', p + 4, p + 8);
    const body = buf.subarray(p + 8, p + 8 + length);
    if (type === 'IHDR') {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      if (body[8] !== 8 || body[12] !== 0 || (body[9] !== 2 && body[9] !== 6)) {
        throw new Error(`unexpected PNG: depth ${body[8]}, colour type ${body[9]}, interlace ${body[12]}`);
      }
      channels = body[9] === 6 ? 4 : 3;
    } else if (type === 'IDAT') {
      compressed.push(body);
    }
    p += 12 + length;
  }
  const raw = inflateSync(Buffer.concat(compressed));
  const stride = width * channels;
  const rows = new Uint8Array(height * stride);
  for (let y = 0; y < height; ++y) {
    const filter = raw[y * (stride + 1)];
    const line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    const out = rows.subarray(y * stride, (y + 1) * stride);
    const up = y > 0 ? rows.subarray((y - 1) * stride, y * stride) : new Uint8Array(stride);
    for (let i = 0; i < stride; ++i) {
      const a = i >= channels ? out[i - channels] : 0;
      const b = up[i];
      const c = i >= channels ? up[i - channels] : 0;
      let v = line[i];
      if (filter === 1) v += a;
      else if (filter === 2) v += b;
      else if (filter === 3) v += (a + b) >> 1;
      else if (filter === 4) {
        const pa = Math.abs(b - c), pb = Math.abs(a - c), pc = Math.abs(a + b - 2 * c);
        v += pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      out[i] = v;
    }
  }
  const data = new Uint8Array(width * height * 4);
  for (let i = 0, j = 0; i < width * height; ++i, j += channels) {
    data[4 * i] = rows[j];
    data[4 * i + 1] = rows[j + 1];
    data[4 * i + 2] = rows[j + 2];
    data[4 * i + 3] = channels === 4 ? rows[j + 3] : 255;
  }
  return { width, height, data };
}

const litAt = (d, i) => d[i] | d[i + 1] | d[i + 2];

// What the screen shows of the field: lit pixels, those lit but with a
// channel below `minChannel` (dim), and aligned 2 x 2 cells with anything
// lit and with exactly one lit pixel.
export function fieldState(image, minChannel = 30) {
  const { width, height, data: d } = image;
  let lit = 0, dim = 0, single = 0, cells = 0;
  for (let i = 0; i < d.length; i += 4) {
    if (litAt(d, i)) {
      ++lit;
      if (d[i] < minChannel || d[i + 1] < minChannel || d[i + 2] < minChannel) ++dim;
    }
  }
  const at = (x, y) => (litAt(d, (y * width + x) * 4) ? 1 : 0);
  for (let y = 0; y + 1 < height; y += 2) {
    for (let x = 0; x + 1 < width; x += 2) {
      const n = at(x, y) + at(x + 1, y) + at(x, y + 1) + at(x + 1, y + 1);
      if (n > 0) ++cells;
      if (n === 1) ++single;
    }
  }
  return { lit, dim, single, cells, width, height };
}

// The share of lit aligned 2 x 2 cells with a single lit pixel that points
// of one pixel each, at independent uniform places, leave at `coverage`.
export function singleShareExpected(coverage) {
  return (4 * coverage * (1 - coverage) ** 3) / (1 - (1 - coverage) ** 4);
}

// The ring: the largest 8-connected group of white pixels that keeps clear of
// the image's edges (so none of it is cut off), with a lone white point
// touching it trimmed off. Gives its box and line thickness (the median of
// the runs of white going in from the middle of each side), or null.
export function findRing(image) {
  const { width, height, data: d } = image;
  const white = (x, y) => {
    const i = (y * width + x) * 4;
    return d[i] === 255 && d[i + 1] === 255 && d[i + 2] === 255;
  };
  const seen = new Uint8Array(width * height);
  let best = null;
  for (let y0 = 0; y0 < height; ++y0) {
    for (let x0 = 0; x0 < width; ++x0) {
      if (seen[y0 * width + x0] || !white(x0, y0)) continue;
      const group = [];
      const stack = [[x0, y0]];
      seen[y0 * width + x0] = 1;
      while (stack.length) {
        const [x, y] = stack.pop();
        group.push([x, y]);
        for (let dy = -1; dy <= 1; ++dy) {
          for (let dx = -1; dx <= 1; ++dx) {
            const nx = x + dx, ny = y + dy;
            if (nx < 0 || ny < 0 || nx >= width || ny >= height || seen[ny * width + nx] || !white(nx, ny)) continue;
            seen[ny * width + nx] = 1;
            stack.push([nx, ny]);
          }
        }
      }
      if (group.length >= 8 && (!best || group.length > best.length)) best = group;
    }
  }
  if (!best) return null;
  // Cut off by an edge, before a lone point is trimmed off, which could take
  // the cut column or row with it.
  const gx = best.map((p) => p[0]), gy = best.map((p) => p[1]);
  const touching = Math.min(...gx) === 0 || Math.min(...gy) === 0 ||
                   Math.max(...gx) === width - 1 || Math.max(...gy) === height - 1;
  // Rows and columns at the box's edges with at most two pixels are a point
  // beside the ring: every edge of the ring's own outline has more.
  let pixels = best;
  for (let pass = 0; pass < 4; ++pass) {
    const xs = pixels.map((p) => p[0]), ys = pixels.map((p) => p[1]);
    const [minX, maxX, minY, maxY] = [Math.min(...xs), Math.max(...xs), Math.min(...ys), Math.max(...ys)];
    const count = (pred) => pixels.filter(pred).length;
    if (count((p) => p[0] === minX) <= 2) pixels = pixels.filter((p) => p[0] !== minX);
    else if (count((p) => p[0] === maxX) <= 2) pixels = pixels.filter((p) => p[0] !== maxX);
    else if (count((p) => p[1] === minY) <= 2) pixels = pixels.filter((p) => p[1] !== minY);
    else if (count((p) => p[1] === maxY) <= 2) pixels = pixels.filter((p) => p[1] !== maxY);
    else break;
  }
  const xs = pixels.map((p) => p[0]), ys = pixels.map((p) => p[1]);
  const box = { x: Math.min(...xs), y: Math.min(...ys) };
  box.width = Math.max(...xs) - box.x + 1;
  box.height = Math.max(...ys) - box.y + 1;
  const midX = box.x + (box.width >> 1), midY = box.y + (box.height >> 1);
  const run = (x, y, dx, dy) => { let n = 0; while (white(x + n * dx, y + n * dy) && n < box.width) ++n; return n; };
  const runs = [run(box.x, midY, 1, 0), run(box.x + box.width - 1, midY, -1, 0),
                run(midX, box.y, 0, 1), run(midX, box.y + box.height - 1, 0, -1)].sort((a, b) => a - b);
  return { ...box, line: runs[1], runs, touching };
}

// Ticks of the spray that a field with `lit` of its `area` pixels lit has
// taken: each tick sprays 403 points over the window's outer size, of which
// the canvas (client area) is 14880 x 11115 of 15000 x 11520 twips, at
// independent uniform places.
export function ticksFromCoverage(lit, area) {
  const pointsPerTick = 403 * (14880 * 11115) / (15000 * 11520);
  const points = Math.log(1 - lit / area) / Math.log(1 - 1 / area);
  return points / pointsPerTick;
}
