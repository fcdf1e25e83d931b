// The browser build in real headless Chromium, judged from outside through
// the DevTools protocol: node browser_test.mjs BUILD_WEB_DIR CHECK, CHECK one of
//   page    title, canvas size, black page, nothing fetched, no shrinking,
//           bright points at a spray rate of at least 500 ticks a second,
//           other points on another load
//   scale2  device scale factor 2: a canvas of device pixels, single-pixel points
//   hidden  a hidden page catches up under the lag rule
//   error   a run-time error shows its message and stops the loop
// Everything runs in real time: Chromium's virtual time does not advance
// animation frames steadily.
import assert from 'node:assert/strict';
import { resolve } from 'node:path';
import { pathToFileURL } from 'node:url';
import { Browser, FIELD_STATE, ticksFromCoverage, waitFor } from './cdp.mjs';

const [buildDir, check] = process.argv.slice(2);
const pageUrl = (name) => pathToFileURL(resolve(buildDir, name)).href;
const MIN_TICKS_PER_SECOND = 500;  // half the rate the timers ask for

// The field's state once the page's clock has passed `ms` since navigation.
async function fieldAt(page, ms) {
  await waitFor(() => page.evaluate(`performance.now() >= ${ms}`), ms + 60000, `page time ${ms} ms`);
  return page.evaluate(FIELD_STATE);
}

function ticksOf(state) {
  return ticksFromCoverage(state.lit, state.width * state.height);
}

// The spray's rate between two states of the field, in ticks a second.
function rateBetween(a, b) {
  return (ticksOf(b) - ticksOf(a)) / ((b.t - a.t) / 1000);
}

const checks = {
  async page(browser) {
    // A viewport smaller than the canvas: the page must scroll, not shrink it.
    const page = await browser.newPage({ viewport: [640, 480] });
    await page.send('Network.enable');
    await page.load(pageUrl('index.html'));
    assert.equal(await page.evaluate('document.title'), 'Glimmerfeld!');
    assert.equal(await page.evaluate('getComputedStyle(document.body).backgroundColor'), 'rgb(0, 0, 0)');
    const scroll = await page.evaluate('[document.scrollingElement.scrollWidth, document.scrollingElement.scrollHeight]');
    assert.ok(scroll[0] >= 992 && scroll[1] >= 741, `page scrolls over the whole canvas: ${scroll}`);

    const first = await fieldAt(page, 1000);
    const second = await fieldAt(page, 2000);
    for (const s of [first, second]) {
      assert.deepEqual([s.cssWidth, s.cssHeight, s.width, s.height], [992, 741, 992, 741]);
      assert.ok(s.lit > 0, 'points are plotted');
      assert.equal(s.dim, 0, `${s.dim} lit pixels have a channel below 30`);
    }
    const rate = rateBetween(first, second);
    console.log(`spray rate from coverage: ${rate.toFixed(0)} ticks/s ` +
                `(lit ${first.lit} at ${first.t.toFixed(0)} ms, ${second.lit} at ${second.t.toFixed(0)} ms)`);
    assert.ok(rate >= MIN_TICKS_PER_SECOND, `spray rate ${rate.toFixed(0)} ticks/s`);

    // The generator is seeded from the clock: a second load sprays other
    // points. The first lit pixels of this load, with their colours, would
    // all be found again in a load with the same seed.
    const sample = await page.evaluate(`(() => {
      const c = document.getElementById('field');
      const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      const out = [];
      for (let i = 0; i < d.length && out.length < 2000; i += 4) {
        // Lit, and not white like the ring.
        if ((d[i] | d[i + 1] | d[i + 2]) && (d[i] & d[i + 1] & d[i + 2]) !== 255) {
          out.push([i, d[i], d[i + 1], d[i + 2]]);
        }
      }
      return out; })()`);
    const again = await browser.newPage();
    await again.load(pageUrl('index.html'));
    await fieldAt(again, 2000);
    const same = await again.evaluate(`(() => {
      const c = document.getElementById('field');
      const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      return ${JSON.stringify(sample)}.filter(([i, r, g, b]) =>
        d[i] === r && d[i + 1] === g && d[i + 2] === b).length; })()`);
    console.log(`a second load has ${same} of the first load's first ${sample.length} lit pixels`);
    assert.ok(same < 0.05 * sample.length, 'two loads spray different points');

    const foreign = page.requests.filter((u) => !u.startsWith('file:') && !u.startsWith('data:'));
    assert.deepEqual(foreign, [], 'nothing is fetched');
    assert.deepEqual(page.console.filter((m) => m.type === 'error'), []);
  },

  async scale2(browser) {
    const page = await browser.newPage({ scale: 2 });
    await page.load(pageUrl('index.html'));
    assert.equal(await page.evaluate('devicePixelRatio'), 2);
    // Sparse enough that points rarely touch, dense enough to judge.
    const s = await waitFor(async () => {
      const state = await page.evaluate(FIELD_STATE);
      return state.lit >= 20000 ? state : null;
    }, 60000, 'points on the canvas');
    assert.deepEqual([s.cssWidth, s.cssHeight, s.width, s.height], [992, 741, 1984, 1482]);
    assert.equal(s.dim, 0, `${s.dim} lit pixels have a channel below 30`);
    // Points of one device pixel leave most lit aligned 2 x 2 cells with a
    // single lit pixel while the field is sparse; points drawn in CSS pixels
    // would fill every such cell whole.
    const coverage = s.lit / (s.width * s.height);
    const expected = (4 * coverage * (1 - coverage) ** 3) / (1 - (1 - coverage) ** 4);
    const share = s.single / s.cells;
    console.log(`scale 2: coverage ${(100 * coverage).toFixed(1)}%, cells with one lit pixel ` +
                `${(100 * share).toFixed(1)}% (${(100 * expected).toFixed(1)}% expected of single-pixel points)`);
    assert.ok(share > 0.5 * expected, 'points are single device pixels');
  },

  async hidden(browser) {
    const page = await browser.newPage();
    // Wake-ups of the page's timers while it is hidden, to say how the
    // browser throttles them.
    await page.send('Page.addScriptToEvaluateOnNewDocument', { source: `
      window.hiddenWakeUps = [];
      const setTimeoutOfPage = window.setTimeout;
      window.setTimeout = function (f, ms, ...rest) {
        return setTimeoutOfPage(function () {
          if (document.hidden) window.hiddenWakeUps.push(performance.now());
          return f.apply(this, arguments);
        }, ms, ...rest);
      };` });
    await page.load(pageUrl('index.html'));
    const before = await fieldAt(page, 1000);

    const other = await browser.newPage();
    await other.bringToFront();
    await waitFor(() => page.evaluate('document.visibilityState === "hidden"'), 30000, 'the page hidden');
    const hiddenAt = await page.evaluate('performance.now()');
    // Stay hidden until the browser has let the page's timers run a few times
    // and at least 4 s have passed.
    await waitFor(() => page.evaluate(
      `window.hiddenWakeUps.length >= 3 && performance.now() - ${hiddenAt} >= 4000`), 60000, 'hidden wake-ups');
    await page.bringToFront();
    await waitFor(() => page.evaluate('document.visibilityState === "visible"'), 30000, 'the page seen again');
    const shownAt = await page.evaluate('performance.now()');
    await page.frames(2);
    const after = await page.evaluate(FIELD_STATE);

    const wakeUps = await page.evaluate('window.hiddenWakeUps');
    const gaps = wakeUps.slice(1).map((t, i) => (t - wakeUps[i]).toFixed(0));
    console.log(`hidden for ${((shownAt - hiddenAt) / 1000).toFixed(1)} s: ${wakeUps.length} timer wake-ups, ` +
                `${gaps.join(', ')} ms apart`);
    // Less than the hidden cap of 10 s: the lag rule makes up all of it.
    const predicted = (after.t - before.t) / 1000 * 1000;
    const gained = ticksOf(after) - ticksOf(before);
    console.log(`ticks over ${((after.t - before.t) / 1000).toFixed(1)} s from coverage: ${gained.toFixed(0)}, ` +
                `${predicted.toFixed(0)} by the lag rule (lit ${before.lit} -> ${after.lit})`);
    assert.ok(gained >= 0.5 * predicted, 'the hidden time is made up');
    assert.equal(after.dim, 0);
  },

  async error(browser) {
    const page = await browser.newPage();
    await page.load(`${pageUrl('probe.html')}#overflow`);
    const message = 'Run-time error: floating-point fault in the ball\'s step';
    const shown = await waitFor(() => page.evaluate(
      `(document.getElementById('error') || {}).textContent`), 30000, 'the error shown');
    assert.equal(shown, message);
    const box = await page.evaluate(`(() => { const r = document.getElementById('error').getBoundingClientRect();
      return [r.left, r.top, r.width]; })()`);
    assert.deepEqual(box, [0, 0, 992], 'the message lies over the canvas');
    await waitFor(() => page.console.some((m) => m.type === 'error' && m.text === `glimmerfeld: ${message}`),
                  10000, 'the message in the console');
    // The loop has stopped: animation frames go on, the program's do not.
    const frames = await page.evaluate('Module._glimmer_probe(2)');
    await page.frames(20);
    assert.equal(await page.evaluate('Module._glimmer_probe(2)'), frames);
    assert.equal(await page.evaluate('Module._glimmer_probe(0)'), 0, 'no spray tick ran');
  },
};

if (!checks[check]) {
  console.error(`usage: browser_test.mjs BUILD_WEB_DIR ${Object.keys(checks).join('|')}`);
  process.exit(2);
}
const browser = await Browser.launch();
try {
  await checks[check](browser);
  console.log(`${check}: passed`);
} finally {
  await browser.close();
}
