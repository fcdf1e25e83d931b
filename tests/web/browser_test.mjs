// The browser build in real headless Chromium, driven through puppeteer-core
// and judged from outside by screenshots: node browser_test.mjs BUILD_WEB_DIR
// CHECK [ARG], CHECK one of
//   page       from disk: title, sizes, drawn from a worker, nothing fetched,
//              no shrinking, bright points at a spray rate of at least 500
//              ticks a second, other points on another load
//   display S  the display conformance cell at device scale S (a row of
//              tests/conformance/expected.tsv), or with S = 1to2 a change
//              from 1 to 2 while running
//   fallback   where OffscreenCanvas, or animation frames in workers, are
//              missing: the main thread draws, and the console says why
//   firstsight the first frame seen of the program, in a page loaded in
//              front and in one hidden at load, is the ball on black
//   hidden     a hidden page catches up under the lag rule and, shown again,
//              has lost no lit pixel
//   error      a run-time error shows its message and stops the loop
//   publish    the published folder over HTTP: installable, kept offline
// Everything runs in real time: Chromium's virtual time does not advance
// animation frames steadily.
import assert from 'node:assert/strict';
import { readFileSync, statSync } from 'node:fs';
import { createServer } from 'node:http';
import { extname, join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';
import { launch, Page, waitFor } from './browser.mjs';
import { decodePng, fieldState, findBall, litAt, lostPoints, singleShareExpected, ticksFromCoverage, whiteAt } from './field.mjs';

const [buildDir, check, arg] = process.argv.slice(2);
const pageUrl = (name) => pathToFileURL(resolve(buildDir, name)).href;
const MIN_TICKS_PER_SECOND = 500;  // half the rate the timers ask for
const CSS_SIZE = [992, 741];       // the client area at 96 dpi, in CSS pixels

// What a correct window looks like at each scale: the table every platform's
// conformance harness reads.
function readExpected() {
  const text = readFileSync(new URL('../conformance/expected.tsv', import.meta.url), 'utf8');
  const values = {};
  const rows = [];
  for (const line of text.split('\n')) {
    if (line.trim() === '' || line.startsWith('#')) continue;
    const f = line.split('\t');
    if (f.length === 2) {
      values[f[0]] = Number(f[1]);
    } else if (f.length === 5) {
      const [scale, w, h, ball, thickness] = f.map(Number);
      rows.push({ scale, client: [w, h], ball, line: thickness });
    } else {
      throw new Error(`expected.tsv: cannot read "${line}"`);
    }
  }
  assert.ok(values.min_channel > 0 && rows.length > 0, 'expected.tsv has its values');
  // A page names no frame: its outer size is its client area in twips, whole
  // device pixels, and the assumed frame.
  const frame = [values.frame_width_twips, values.frame_height_twips];
  assert.ok(frame.every((v) => v > 0), 'expected.tsv has the assumed frame in twips');
  const outer = (row) => row.client.map((px, i) => (px * 15) / row.scale + frame[i]);
  return { minChannel: values.min_channel, rows, outer };
}

// The outer size the program's handlers read, in twips, the same at every
// scale. Read through probe.html's counters.
async function checkOuterSize(page, row, outer) {
  const read = await page.program('[Module._glimmer_probe(3), Module._glimmer_probe(4)]');
  console.log(`scale ${row.scale}: outer size read ${read.join(' x ')} twips`);
  assert.deepEqual(read, outer(row), `scale ${row.scale}: the outer size in twips`);
}

// The field on the screen once the page's clock has passed `ms`.
async function fieldAt(page, ms) {
  await waitFor(() => page.evaluate(`performance.now() >= ${ms}`), ms + 60000, `page time ${ms} ms`);
  const t = await page.evaluate('performance.now()');
  const image = await page.canvasImage();
  return { t, image, ...fieldState(image) };
}

function ticksOf(state) {
  return ticksFromCoverage(state.lit, state.width * state.height);
}

// The spray's rate between two states of the field, in ticks a second.
function rateBetween(a, b) {
  return (ticksOf(b) - ticksOf(a)) / ((b.t - a.t) / 1000);
}

// The canvas's backing store, as the page sees it (a canvas handed to a
// worker keeps showing the size the worker gives it).
const BACKING = `(() => { const c = document.getElementById('field');
  const r = c.getBoundingClientRect(); return [c.width, c.height, r.width, r.height]; })()`;

async function waitForBacking(page, client, what, { render = false } = {}) {
  let seen = null;
  await waitFor(async () => {
    // Headless Chromium takes in an emulated change of scale, and reports
    // it to media queries, only at the next frame of the page's own: a
    // screenshot makes one, as a real screen keeps doing.
    if (render) await page.canvasImage();
    seen = await page.evaluate(BACKING);
    return seen[0] === client[0] && seen[1] === client[1];
  }, 20000, () => `${what}: backing store ${client.join(' x ')}, have ${seen && seen.slice(0, 2).join(' x ')}`);
  assert.deepEqual(seen.slice(2), CSS_SIZE, 'the canvas keeps its CSS size');
}

// Lit pixels that are new in `after` against `before` (same size): their
// share of aligned 2 x 2 cells, black in `before`, holding exactly one of them.
function newPoints(before, after) {
  const { width, height } = after;
  const lit = (d, x, y) => litAt(d, (y * width + x) * 4);
  let cells = 0, single = 0, fresh = 0, free = 0;
  for (let y = 0; y + 1 < height; y += 2) {
    for (let x = 0; x + 1 < width; x += 2) {
      let was = 0, now = 0;
      for (const [dx, dy] of [[0, 0], [1, 0], [0, 1], [1, 1]]) {
        if (lit(before.data, x + dx, y + dy)) ++was;
        else if (lit(after.data, x + dx, y + dy)) ++now;
      }
      if (was) continue;
      free += 4;
      fresh += now;
      if (now > 0) ++cells;
      if (now === 1) ++single;
    }
  }
  return { share: single / cells, coverage: fresh / free, cells };
}

// One cell of the display conformance suite, on a running page at `row`'s
// scale: backing store, ball, colours, single-pixel points. `since`, an
// earlier image of the same size, limits the points judged to those drawn
// after it.
async function checkDisplay(page, row, minChannel, since = null) {
  const what = `scale ${row.scale}`;
  await waitForBacking(page, row.client, what);

  // Points of one device pixel leave most lit aligned 2 x 2 cells with a
  // single lit pixel while the field is sparse; points of more than one
  // pixel fill such cells, or two of them, nearly always. Judged on the
  // first frame with points (with `since`, with new points), while sparse.
  let image = null, share, coverage;
  await waitFor(async () => {
    image = await page.canvasImage();
    if (since) {
      ({ share, coverage } = newPoints(since, image));
    } else {
      const s = fieldState(image, minChannel);
      [share, coverage] = [s.single / s.cells, s.lit / (s.width * s.height)];
    }
    return coverage > 0.002;
  }, 30000, `${what}: ${since ? 'new ' : ''}points`);
  assert.deepEqual([image.width, image.height], row.client, `${what}: the screen shows the client area`);

  // The ball, once a frame shows it whole.
  let ball = findBall(image);
  if (!ball || ball.touching) {
    await waitFor(async () => {
      image = await page.canvasImage();
      ball = findBall(image);
      return ball && !ball.touching;
    }, 30000, () => `${what}: the whole ball on the canvas, last seen ${JSON.stringify(ball)}`);
  }
  console.log(`${what}: canvas ${image.width} x ${image.height}, ball ${ball.width} x ${ball.height} at ` +
              `(${ball.x}, ${ball.y}), line ${ball.line} (runs ${ball.runs.join(', ')})`);
  assert.deepEqual([ball.width, ball.height, ball.line], [row.ball, row.ball, row.line],
                   `${what}: the ball's box and line`);

  // Lit pixels are bright; everything else is black, not a blend of both.
  const state = fieldState(image, minChannel);
  assert.ok(state.lit > 0, `${what}: points are plotted`);
  assert.equal(state.dim, 0, `${what}: ${state.dim} pixels are neither black nor bright`);

  const expected = singleShareExpected(coverage);
  console.log(`${what}: ${since ? 'new points' : 'points'} cover ${(100 * coverage).toFixed(1)}%, cells with ` +
              `one lit pixel ${(100 * share).toFixed(1)}% (${(100 * expected).toFixed(1)}% expected of ` +
              'single-pixel points)');
  assert.ok(share > 0.5 * expected, `${what}: points are single device pixels`);
  return image;
}

// The page's console, lines other than plain logs.
const complaints = (page) => page.console.filter((m) => m.type === 'error' || m.type === 'warning');

const checks = {
  async page(browser) {
    // A viewport smaller than the canvas: the page must scroll, not shrink it.
    const page = await Page.open(browser, { viewport: [640, 480] });
    await page.load(pageUrl('index.html'));
    assert.equal(await page.evaluate('document.title'), 'Glimmerfeld!');
    assert.equal(await page.evaluate('getComputedStyle(document.body).backgroundColor'), 'rgb(0, 0, 0)');
    await waitForBacking(page, CSS_SIZE, 'scale 1');
    const scroll = await page.evaluate('[document.scrollingElement.scrollWidth, document.scrollingElement.scrollHeight]');
    assert.ok(scroll[0] >= 992 && scroll[1] >= 741, `page scrolls over the whole canvas: ${scroll}`);

    // The program draws from a worker: the page's canvas went to it.
    const realm = await waitFor(() => page.programRealm(), 30000, 'the program started');
    assert.notEqual(realm, page, 'the program runs in a worker');
    assert.equal(await page.evaluate('typeof Module'), 'undefined', 'the page itself runs no program');
    assert.equal(await page.evaluate(`(() => { try { document.getElementById('field').getContext('2d'); return 'drawable'; }
      catch (e) { return e.name; } })()`), 'InvalidStateError', 'the page handed its canvas over');

    // From the first points on (the worker takes a while to start on a busy
    // machine), two seconds apart, so that the screenshots' own delays weigh
    // little.
    let first = null;
    await waitFor(async () => (first = await fieldAt(page, 0)).lit > 0, 30000, 'points');
    const second = await fieldAt(page, first.t + 2000);
    for (const s of [first, second]) {
      assert.deepEqual([s.width, s.height], CSS_SIZE);
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
    const sample = [];
    const d = second.image.data;
    for (let i = 0; i < d.length && sample.length < 2000; i += 4) {
      if (litAt(d, i) && !whiteAt(d, i)) sample.push(i);
    }
    const again = await Page.open(browser);
    await again.load(pageUrl('index.html'));
    let otherField = null;
    await waitFor(async () => (otherField = await fieldAt(again, 2000)).lit >= sample.length, 30000,
                  'points of the second load');
    const other = otherField.image.data;
    const same = sample.filter((i) => other[i] === d[i] && other[i + 1] === d[i + 1] && other[i + 2] === d[i + 2]);
    console.log(`a second load has ${same.length} of the first load's first ${sample.length} lit pixels`);
    assert.ok(same.length < 0.05 * sample.length, 'two loads spray different points');

    const foreign = page.requests.filter((u) => !/^(file|data|blob):/.test(u));
    assert.deepEqual(foreign, [], 'nothing is fetched');
    assert.ok(page.requests.some((u) => u.startsWith('data:')), 'the workers\' requests are seen');
    assert.deepEqual(complaints(page), []);
  },

  async display(browser) {
    const { minChannel, rows, outer } = readExpected();
    const at = (scale) => rows.find((r) => r.scale === scale) ?? assert.fail(`no row for scale ${scale}`);
    // probe.html is index.html with the program's counters.
    if (arg !== '1to2') {
      const row = at(Number(arg));
      const page = await Page.open(browser, { scale: row.scale });
      await page.load(pageUrl('probe.html'));
      assert.equal(await page.evaluate('devicePixelRatio'), row.scale);
      await checkDisplay(page, row, minChannel);
      await checkOuterSize(page, row, outer);
      assert.deepEqual(complaints(page), []);
      return;
    }
    // Page zoom, or a move to a screen of another density, while running.
    const page = await Page.open(browser, { scale: 1 });
    await page.load(pageUrl('probe.html'));
    await checkDisplay(page, at(1), minChannel);
    await checkOuterSize(page, at(1), outer);
    const before = await page.canvasImage();
    await page.setScale(2);
    assert.equal(await page.evaluate('devicePixelRatio'), 2);
    await waitForBacking(page, at(2).client, 'the canvas follows the change of scale', { render: true });
    const after = await page.canvasImage();
    assert.deepEqual([after.width, after.height], at(2).client);
    // Whatever was plotted keeps its place and size: each pixel, a 2 x 2 block.
    let kept = 0, lost = 0, recoloured = 0;
    for (let y = 0; y < before.height; ++y) {
      for (let x = 0; x < before.width; ++x) {
        const i = (y * before.width + x) * 4;
        if (!litAt(before.data, i) || whiteAt(before.data, i)) continue;
        for (const [dx, dy] of [[0, 0], [1, 0], [0, 1], [1, 1]]) {
          const j = ((2 * y + dy) * after.width + 2 * x + dx) * 4;
          if (!litAt(after.data, j)) ++lost;
          else if (after.data[j] !== before.data[i] || after.data[j + 1] !== before.data[i + 1] ||
                   after.data[j + 2] !== before.data[i + 2]) ++recoloured;
          else ++kept;
        }
      }
    }
    console.log(`after the change: of the earlier points' pixels, ${kept} kept, ${recoloured} drawn over, ${lost} lost`);
    // Points drawn since may cover some; a point moved or dropped would leave
    // black where it was.
    assert.ok(kept > 0, 'the earlier points are there');
    assert.equal(lost, 0, 'no plotted pixel is lost');
    await checkDisplay(page, at(2), minChannel, after);
    await checkOuterSize(page, at(2), outer);
    assert.deepEqual(complaints(page), []);
  },

  async fallback(browser) {
    const cases = [
      { why: 'no OffscreenCanvas', said: 'this browser has no OffscreenCanvas',
        pageScript: 'delete HTMLCanvasElement.prototype.transferControlToOffscreen; delete self.OffscreenCanvas;' },
      { why: 'no animation frames in workers', said: 'workers here have no animation frames',
        workerScript: 'self.requestAnimationFrame = undefined;' },
    ];
    for (const c of cases) {
      const page = await Page.open(browser, { pageScript: c.pageScript, workerScript: c.workerScript });
      // probe.html is index.html with the program's counters.
      await page.load(pageUrl('probe.html'));
      await waitFor(() => page.console.some((m) => m.type === 'warning' &&
                      m.text === `glimmerfeld: ${c.said}: drawing on the page's main thread`),
                    30000, `${c.why}: the console says so`);
      await waitFor(async () => (await page.programRealm()) === page, 30000,
                    `${c.why}: the program on the main thread`);
      await waitForBacking(page, CSS_SIZE, c.why);
      const ticks = `[performance.now(), Module._glimmer_probe(0), Module._glimmer_probe(1)]`;
      await waitFor(() => page.evaluate('Module._glimmer_probe(0) > 0'), 30000, `${c.why}: ticks`);
      const [t0, n0, d0] = await page.evaluate(ticks);
      await waitFor(() => page.evaluate(`performance.now() >= ${t0 + 2000}`), 60000, `${c.why}: 2 s more`);
      const [t1, n1, d1] = await page.evaluate(ticks);
      const rate = (n1 - n0) / ((t1 - t0) / 1000);
      const state = fieldState(await page.canvasImage());
      console.log(`${c.why}: main thread draws, ${rate.toFixed(0)} spray ticks/s (${((d1 - d0) / ((t1 - t0) / 1000)).toFixed(0)} ` +
                  `dropped/s), ${state.lit} lit pixels`);
      assert.ok(state.lit > 0, `${c.why}: points are plotted`);
      assert.equal(state.dim, 0);
      assert.ok(rate >= MIN_TICKS_PER_SECOND, `${c.why}: spray rate ${rate.toFixed(0)} ticks/s`);
      assert.deepEqual(page.console.filter((m) => m.type === 'error'), []);
      await page.close();
    }
  },

  async firstsight(browser) {
    // The page's background in a colour of its own, to tell a canvas not yet
    // drawn from one drawn black; and a pixel that changes every animation
    // frame, since the screencast sends frames only when the page itself
    // repaints, not when the worker's canvas does.
    const BG = [64, 0, 64];
    const pageScript = `document.addEventListener('DOMContentLoaded', () => {
      const s = document.createElement('style');
      s.textContent = 'html, body { background: rgb(${BG}) !important; }';
      document.head.appendChild(s);
      const pulse = document.createElement('div');
      pulse.style.cssText = 'position:fixed;right:0;bottom:0;width:1px;height:1px';
      document.body.appendChild(pulse);
      let n = 0;
      const f = () => { pulse.style.background = 'rgb(${BG[0]}, 0, ' + (${BG[2]} + (++n & 1)) + ')'; requestAnimationFrame(f); };
      requestAnimationFrame(f); });`;
    const [W, H] = CSS_SIZE;
    for (const hidden of [false, true]) {
      // The worker's animation frames at a tenth of their rate, so that each
      // of the program's frames stays long enough for the screencast, which
      // skips frames, to catch it.
      const workerScript = `const frame = self.requestAnimationFrame.bind(self);
        self.requestAnimationFrame = (f) => { let n = 0; const g = (t) => (++n < 10 ? frame(g) : f(t)); return frame(g); };`;
      const page = await Page.open(browser, { viewport: [W + 100, H + 60], pageScript, workerScript });
      const other = hidden ? await Page.open(browser) : null;
      if (other) await other.bringToFront();
      // Every frame the browser paints, from the load on.
      const frames = [];
      page.cdp.on('Page.screencastFrame', ({ data, sessionId }) => {
        frames.push(decodePng(Buffer.from(data, 'base64')));
        page.cdp.send('Page.screencastFrameAck', { sessionId }).catch(() => {});
      });
      await page.cdp.send('Page.startScreencast', { format: 'png', everyNthFrame: 1 });
      await page.load(pageUrl('index.html'));
      if (other) {
        assert.equal(await page.evaluate('document.visibilityState'), 'hidden');
        // Long enough for the program to open and its timers to run.
        await fieldAt(page, (await page.evaluate('performance.now()')) + 1500);
        await page.bringToFront();
      }
      // Which frames show the program: the page around the canvas has its
      // own colour (the program's page is black before it), and the canvas
      // something else.
      const isBg = (d, i) => d[i] === BG[0] && d[i + 1] === BG[1] && (d[i + 2] === BG[2] || d[i + 2] === BG[2] + 1);
      const shows = (img) => {
        const d = img.data;
        for (let x = 0; x < img.width; x += 7) if (!isBg(d, ((img.height - 1) * img.width + x) * 4)) return false;
        for (let y = 0; y < H; y += 7) if (isBg(d, (y * img.width) * 4)) return false;
        return true;
      };
      // Only the canvas, not the page beside it.
      const canvasOf = (img) => {
        const data = new Uint8Array(W * H * 4);
        for (let y = 0; y < H; ++y) data.set(img.data.subarray(y * img.width * 4, (y * img.width + W) * 4), y * W * 4);
        return { width: W, height: H, data };
      };
      const seen = () => frames.filter(shows);
      await waitFor(() => seen().some((img) => fieldState(canvasOf(img)).lit > 1000), 30000,
                    () => `a frame with points (${frames.length} frames so far)`);
      await page.cdp.send('Page.stopScreencast');
      const shown = seen();
      const what = hidden ? 'hidden at load' : 'loaded in front';
      const states = shown.map((img) => fieldState(canvasOf(img)));
      let white = 0;
      const first = canvasOf(shown[0]).data;
      for (let i = 0; i < first.length; i += 4) if (whiteAt(first, i)) ++white;
      console.log(`${what}: ${frames.length} frames painted, ${shown.length} show the program; the first has ` +
                  `${white} white pixels and ${states[0].lit - white} others lit`);
      assert.ok(states.every((st) => st.lit > 0), `${what}: no frame shows a bare black canvas`);
      assert.ok(findBall(canvasOf(shown[0])), `${what}: the first frame seen shows the ball`);
      assert.equal(states[0].lit, white, `${what}: the first frame seen shows no point`);
      await page.close();
      if (other) await other.close();
    }
  },

  async hidden(browser) {
    const page = await Page.open(browser);
    await page.load(pageUrl('index.html'));
    // Wake-ups of the program's timers, to say how the browser throttles
    // them while the page is hidden.
    await page.program(`(() => {
      self.timerWakeUps = [];
      const setTimeoutOfProgram = self.setTimeout;
      self.setTimeout = function (f, ms, ...rest) {
        return setTimeoutOfProgram(function () {
          self.timerWakeUps.push(performance.now());
          return f.apply(this, arguments);
        }, ms, ...rest);
      }; })()`);
    const before = await fieldAt(page, 1000);
    const wakeUpsBefore = await page.program('timerWakeUps.length');

    const other = await Page.open(browser);
    await other.bringToFront();
    await waitFor(() => page.evaluate('document.visibilityState === "hidden"'), 30000, 'the page hidden');
    const hiddenAt = await page.evaluate('performance.now()');
    // Stay hidden until the program's timers have run a few times and at
    // least 4 s have passed.
    await waitFor(async () => (await page.program('timerWakeUps.length')) >= wakeUpsBefore + 3 &&
                              (await page.evaluate(`performance.now() - ${hiddenAt} >= 4000`)), 60000, 'hidden wake-ups');
    await page.bringToFront();
    await waitFor(() => page.evaluate('document.visibilityState === "visible"'), 30000, 'the page seen again');
    const shownAt = await page.evaluate('performance.now()');
    await page.frames(2);
    const afterImage = await page.canvasImage();
    const after = { t: await page.evaluate('performance.now()'), ...fieldState(afterImage) };
    // Shown again, the page loses no lit pixel (the ball aside, which moved).
    const lost = lostPoints(before.image, afterImage);
    assert.equal(lost, 0, `${lost} pixels lit before the page was hidden are black after`);

    const wakeUps = (await page.program('timerWakeUps')).slice(wakeUpsBefore);
    const gaps = wakeUps.slice(1).map((t, i) => (t - wakeUps[i]).toFixed(0));
    console.log(`hidden for ${((shownAt - hiddenAt) / 1000).toFixed(1)} s: ${wakeUps.length} timer wake-ups, ` +
                `${gaps.slice(0, 12).join(', ')}${gaps.length > 12 ? ', ...' : ''} ms apart`);
    // Less than the hidden cap of 10 s: the lag rule makes up all of it.
    const predicted = (after.t - before.t) / 1000 * 1000;
    const gained = ticksOf(after) - ticksOf(before);
    console.log(`ticks over ${((after.t - before.t) / 1000).toFixed(1)} s from coverage: ${gained.toFixed(0)}, ` +
                `${predicted.toFixed(0)} by the lag rule (lit ${before.lit} -> ${after.lit})`);
    assert.ok(gained >= 0.5 * predicted, 'the hidden time is made up');
    assert.equal(after.dim, 0);
  },

  async error(browser) {
    const page = await Page.open(browser);
    await page.load(`${pageUrl('probe.html')}#overflow`);
    const message = 'Run-time error: floating-point fault in the ball\'s step';
    const shown = await waitFor(() => page.evaluate(
      `(document.getElementById('error') || {}).textContent`), 30000, 'the error shown');
    assert.equal(shown, message);
    const box = await page.evaluate(`(() => { const r = document.getElementById('error').getBoundingClientRect();
      return [r.left, r.top, r.width]; })()`);
    assert.deepEqual(box, [0, 0, 992], 'the message lies over the canvas');
    await waitFor(() => page.console.some((m) => m.type === 'error' && m.text === `glimmerfeld: ${message}` && !m.worker),
                  10000, 'the message in the page\'s console');
    // The loop has stopped: animation frames go on, the program's do not.
    const frames = await page.program('Module._glimmer_probe(2)');
    await page.frames(20);
    assert.equal(await page.program('Module._glimmer_probe(2)'), frames);
    assert.equal(await page.program('Module._glimmer_probe(0)'), 0, 'no spray tick ran');
  },

  async publish(browser) {
    const site = resolve(buildDir, 'site');
    const types = { '.html': 'text/html', '.js': 'text/javascript', '.webmanifest': 'application/manifest+json',
                    '.png': 'image/png', '.svg': 'image/svg+xml' };
    const served = [];
    const server = createServer((req, res) => {
      const path = decodeURIComponent(new URL(req.url, 'http://localhost').pathname);
      const file = join(site, path.endsWith('/') ? `${path}index.html` : path);
      served.push(path);
      try {
        if (!file.startsWith(site) || !statSync(file).isFile()) throw new Error('not a file');
        res.writeHead(200, { 'Content-Type': types[extname(file)] ?? 'application/octet-stream' });
        res.end(readFileSync(file));
      } catch {
        res.writeHead(404);
        res.end();
      }
    });
    await new Promise((r) => server.listen(0, '127.0.0.1', r));
    const url = `http://localhost:${server.address().port}/`;
    const page = await Page.open(browser);
    try {
      await page.load(url);
      // The first load installs the service worker, which keeps the page.
      await waitFor(() => page.evaluate('navigator.serviceWorker.ready.then((r) => !!r.active)'), 30000,
                    'the service worker active');
      const { errors } = await page.cdp.send('Page.getAppManifest');
      assert.deepEqual(errors, [], 'the manifest reads without errors');
      const { installabilityErrors } = await page.cdp.send('Page.getInstallabilityErrors');
      console.log(`installability errors: ${JSON.stringify(installabilityErrors)}; served ${[...new Set(served)].join(' ')}`);
      assert.deepEqual(installabilityErrors, [], 'Chromium would install it');
      assert.equal((await fieldAt(page, 1000)).dim, 0);
    } finally {
      server.closeAllConnections();
      await new Promise((r) => server.close(r));
    }
    // With no server at all, a reload still shows the animation.
    served.length = 0;
    const reloaded = page.load(url);
    await reloaded;
    assert.deepEqual(served, [], 'the server is gone');
    await waitForBacking(page, CSS_SIZE, 'offline');
    let first = null;
    await waitFor(async () => (first = await fieldAt(page, 0)).lit > 0, 30000, 'offline, points');
    const second = await fieldAt(page, first.t + 500);
    console.log(`offline: lit ${first.lit} -> ${second.lit}`);
    assert.ok(second.lit > first.lit, 'offline, the animation runs');
    assert.equal(await page.evaluate('!!navigator.serviceWorker.controller'), true, 'the service worker served it');
  },
};

if (!checks[check]) {
  console.error(`usage: browser_test.mjs BUILD_WEB_DIR ${Object.keys(checks).join('|')} [ARG]`);
  process.exit(2);
}
const browser = await launch();
try {
  await checks[check](browser);
  console.log(`${check}${arg ? ` ${arg}` : ''}: passed`);
} finally {
  await browser.close();
}
