// Debian's chromium, started headless through puppeteer-core: pages in tabs
// of their own with their workers, evaluation where the program runs,
// screenshots as pixels, waiting on conditions. Shared by the browser tests
// and scripts/measure-web.
import { createRequire } from 'node:module';
import { decodePng } from './field.mjs';

// puppeteer-core comes from the npm ci that tests/web/CMakeLists.txt (and
// scripts/measure-web) sets up; its folder is in NODE_PATH, which only
// require reads. It downloads no browser of its own.
const puppeteer = createRequire(import.meta.url)('puppeteer-core');

// Chromium's own defaults, not puppeteer's: those keep hidden pages and their
// timers from being throttled, and the tests judge the program as a browser
// runs it.
export function launch() {
  return puppeteer.launch({
    executablePath: process.env.GLIMMER_CHROMIUM || '/usr/bin/chromium',
    headless: true, pipe: true, ignoreDefaultArgs: true, defaultViewport: null,
    // Nothing waits for ever: a session that went away may never answer.
    protocolTimeout: 60000,
    args: ['--headless=new', '--no-sandbox', '--no-first-run', '--no-default-browser-check',
           '--window-size=1280,1024', 'about:blank'],
  });
}

const RUNNING = 'typeof Module === "object" && !!Module.glimmerHost.canvas';

// A page of puppeteer's with what the tests read of it: `console`, the
// console calls of the page and its workers ({ type, text, worker }), and
// `requests`, the addresses that they requested. `cdp` is a protocol session
// of its own for what puppeteer has no call for.
export class Page {
  // `scale` sets the device scale factor and `viewport` the visible size
  // before anything loads. `pageScript` runs in every document of the page
  // and `workerScript` in every worker it starts, before their own scripts.
  static async open(browser, { scale = 1, viewport = [1280, 1024], pageScript = null, workerScript = null } = {}) {
    const tab = await browser.newPage();
    const page = new Page(tab, await tab.createCDPSession());
    await page.setScale(scale, viewport);
    if (pageScript) await tab.evaluateOnNewDocument(pageScript);
    // The console as the program writes it: without the browser's own log.
    page.cdp.on('Runtime.consoleAPICalled', page.#log(false));
    await page.cdp.send('Runtime.enable');
    tab.on('request', (request) => page.requests.push(request.url()));
    // Puppeteer announces a worker before it lets it run (it waits for the
    // debugger at its start): what is sent to it now runs before its own code.
    tab.on('workercreated', (worker) => {
      worker.client.on('Runtime.consoleAPICalled', page.#log(true));
      if (!workerScript) return;
      worker.client.send('Runtime.evaluate', { expression: workerScript })
        .catch((e) => console.error(`worker ${worker.url()}: ${e.message}`));
    });
    return page;
  }

  constructor(tab, cdp) {
    this.tab = tab;
    this.cdp = cdp;
    this.console = [];
    this.requests = [];
  }

  #log(worker) {
    return ({ type, args }) => this.console.push({ type, text: args.map((a) => a.value).join(' '), worker });
  }

  // The device scale factor and viewport, at once or while the page runs.
  setScale(scale, viewport = [1280, 1024]) {
    return this.tab.setViewport({ width: viewport[0], height: viewport[1], deviceScaleFactor: scale });
  }

  // Loads `url` and waits for its load event.
  load(url) { return this.tab.goto(url, { waitUntil: 'load', timeout: 60000 }); }

  evaluate(expression) { return this.tab.evaluate(expression); }

  // Where the program runs: the worker that holds its Module, or this page;
  // null while neither does.
  async programRealm() {
    for (const worker of this.tab.workers()) {
      try {
        // A worker the page has just ended may never answer.
        if (await withTimeout(worker.evaluate(RUNNING), 3000, 'a worker')) return worker;
      } catch { /* the worker ended meanwhile */ }
    }
    return (await this.evaluate(RUNNING)) ? this : null;
  }

  // Evaluates `expression` where the program runs, once it has started.
  async program(expression) {
    const realm = await waitFor(() => this.programRealm(), 30000, 'the program started');
    return realm.evaluate(expression);
  }

  // The canvas as it shows on the screen, in device pixels: { width,
  // height, data } with RGBA bytes, from a screenshot of its box.
  async canvasImage() {
    const clip = await this.evaluate(`(() => { const r = document.getElementById('field').getBoundingClientRect();
      return { x: r.left + scrollX, y: r.top + scrollY, width: r.width, height: r.height }; })()`);
    const png = await this.tab.screenshot({ type: 'png', clip, captureBeyondViewport: true, fromSurface: true });
    return decodePng(Buffer.from(png));
  }

  bringToFront() { return this.tab.bringToFront(); }

  close() { return this.tab.close(); }

  // Waits for `n` animation frames of the page.
  frames(n) {
    return this.evaluate(`new Promise((done) => { let left = ${n};
      const f = () => (--left <= 0 ? done(performance.now()) : requestAnimationFrame(f));
      requestAnimationFrame(f); })`);
  }

  metrics() { return this.tab.metrics(); }
}

export function delay(ms) { return new Promise((r) => setTimeout(r, ms)); }

function withTimeout(promise, ms, what) {
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
