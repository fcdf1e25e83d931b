// Figures of the browser build in headless Chromium, for docs/PERFORMANCE.md:
//   node measure.mjs BUILD_WEB_DIR [--seconds N] [--runs N] [--json FILE]
// For device scale factors 1 and 2 it loads, one at a time and in turns:
//   program      probe.html, the program (in its worker) with counters read
//                at both ends
//   program-main the same made to run on the main thread, as where a browser
//                has no OffscreenCanvas
//   bare         a page that only puts an ImageData of the canvas's size at
//                every animation frame: the floor any canvas program pays
//   bare-worker  the same from a worker through an OffscreenCanvas
// and gives ticks/s, frames/s, the main thread's busy time per second
// (TaskDuration, ScriptDuration of Performance.getMetrics) and the worker's,
// as medians. The DevTools protocol has no such metrics for a worker, so its
// busy time is taken inside it: the time spent in its animation frame
// callbacks, where all of its drawing happens.
import { writeFileSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';
import { delay, launch, Page } from './browser.mjs';

const args = process.argv.slice(2);
const buildDir = args[0];
const option = (name, fallback) => {
  const i = args.indexOf(name);
  return i >= 0 ? args[i + 1] : fallback;
};
const seconds = Number(option('--seconds', 10));
const runs = Number(option('--runs', 3));
const jsonOut = option('--json', null);

const BARE = `<!doctype html><html><head><meta charset="utf-8"><title>bare</title></head>
<body style="margin:0;background:#000"><canvas id="field"></canvas><script>
const width = Math.round(992 * devicePixelRatio), height = Math.round(741 * devicePixelRatio);
const canvas = document.getElementById('field');
canvas.style.display = 'block';
canvas.style.width = '992px';
canvas.style.height = '741px';
window.framesShown = 0;
const worker = location.hash.includes('worker');
const options = '{alpha: false}';
const code = 'let context, image, frames = 0;' +
  'function frame() { context.putImageData(image, 0, 0); ++frames; requestAnimationFrame(frame); }' +
  'function start(target, w, h) {' +
  '  target.width = w; target.height = h;' +
  '  context = target.getContext("2d", ' + options + ');' +
  '  image = new ImageData(w, h);' +
  '  for (let i = 0; i < image.data.length; ++i) image.data[i] = (i & 3) === 3 ? 255 : Math.random() * 256;' +
  '  requestAnimationFrame(frame); }';
if (worker) {
  const offscreen = canvas.transferControlToOffscreen();
  const blob = new Blob([code + 'onmessage = (e) => { if (e.data.canvas) start(e.data.canvas, e.data.w, e.data.h);' +
    ' else postMessage(frames); };'], {type: 'text/javascript'});
  const w = new Worker(URL.createObjectURL(blob));
  w.onmessage = (e) => { window.framesShown = e.data; };
  w.postMessage({canvas: offscreen, w: width, h: height}, [offscreen]);
  setInterval(() => w.postMessage('count'), 250);
} else {
  eval(code + 'start(canvas, width, height); setInterval(() => { window.framesShown = frames; }, 250);');
}
</script></body></html>`;

const scratch = mkdtempSync(join(tmpdir(), 'glimmer-measure-'));
writeFileSync(join(scratch, 'bare.html'), BARE);
const urls = {
  program: pathToFileURL(resolve(buildDir, 'probe.html')).href,
  'program-main': pathToFileURL(resolve(buildDir, 'probe.html')).href,
  bare: pathToFileURL(join(scratch, 'bare.html')).href,
  'bare-worker': `${pathToFileURL(join(scratch, 'bare.html')).href}#worker`,
};
const PROBE = '[Module._glimmer_probe(0), Module._glimmer_probe(1), Module._glimmer_probe(2)]';
const counters = {
  program: (page) => page.program(PROBE),
  'program-main': (page) => page.program(PROBE),
  bare: (page) => page.evaluate('[0, 0, window.framesShown]'),
  'bare-worker': (page) => page.evaluate('[0, 0, window.framesShown]'),
};
// Where the program runs on the main thread instead.
const pageScripts = {
  'program-main': 'delete HTMLCanvasElement.prototype.transferControlToOffscreen;',
};
// Every worker times its animation frame callbacks.
const FRAME_TIMER = `(() => {
  self.frameBusyMs = 0;
  const requestFrame = self.requestAnimationFrame.bind(self);
  self.requestAnimationFrame = (callback) => requestFrame((t) => {
    const start = performance.now();
    try { callback(t); } finally { self.frameBusyMs += performance.now() - start; }
  });
})()`;
const workerBusy = async (page) => {
  for (const worker of page.tab.workers()) {
    const ms = await worker.evaluate('self.frameBusyMs');
    if (ms > 0) return ms;
  }
  return 0;
};

async function measure(browser, variant, scale) {
  const page = await Page.open(browser, { scale, pageScript: pageScripts[variant], workerScript: FRAME_TIMER });
  await page.load(urls[variant]);
  await delay(2000);  // past the start and the first full frames
  const sample = async () => ({
    t: await page.evaluate('performance.now()'),
    c: await counters[variant](page),
    w: await workerBusy(page),
    m: await page.metrics(),
  });
  const a = await sample();
  await delay(seconds * 1000);
  const b = await sample();
  await page.close();
  const s = (b.t - a.t) / 1000;
  return {
    ticks: (b.c[0] - a.c[0]) / s,
    dropped: (b.c[1] - a.c[1]) / s,
    frames: (b.c[2] - a.c[2]) / s,
    task: (b.m.TaskDuration - a.m.TaskDuration) / s,
    script: (b.m.ScriptDuration - a.m.ScriptDuration) / s,
    worker: (b.w - a.w) / 1000 / s,
  };
}

const median = (xs) => [...xs].sort((x, y) => x - y)[Math.floor(xs.length / 2)];
const results = {};
const browser = await launch();
try {
  for (let run = 0; run < runs; ++run) {
    for (const scale of [1, 2]) {
      for (const variant of Object.keys(urls)) {
        const r = await measure(browser, variant, scale);
        ((results[scale] ??= {})[variant] ??= []).push(r);
        console.error(`run ${run + 1} scale ${scale} ${variant}: ${JSON.stringify(r)}`);
      }
    }
  }
} finally {
  await browser.close();
  rmSync(scratch, { recursive: true, force: true });
}

const summary = {};
console.log(`headless ${process.env.GLIMMER_CHROMIUM || 'chromium'}, ${seconds} s windows, medians of ${runs} runs`);
console.log('scale  variant        ticks/s  dropped/s  frames/s  main thread busy (Task)  script  worker busy');
const ratio = (scale, a, b, key) => {
  const rs = results[scale][a].map((r, i) => r[key] / results[scale][b][i][key]);
  return { median: median(rs), runs: rs };
};
for (const scale of [1, 2]) {
  for (const variant of Object.keys(urls)) {
    const rs = results[scale][variant];
    const m = Object.fromEntries(['ticks', 'dropped', 'frames', 'task', 'script', 'worker']
      .map((k) => [k, median(rs.map((r) => r[k]))]));
    (summary[scale] ??= {})[variant] = m;
    console.log(`${String(scale).padEnd(6)} ${variant.padEnd(13)} ${m.ticks.toFixed(0).padStart(8)} ` +
                `${m.dropped.toFixed(0).padStart(10)} ${m.frames.toFixed(1).padStart(9)} ` +
                `${(100 * m.task).toFixed(1).padStart(23)}% ${(100 * m.script).toFixed(1).padStart(6)}% ` +
                `${(100 * m.worker).toFixed(1).padStart(11)}%`);
  }
  // Each run's program against the bare page loaded just after it.
  const say = (what, r, target) => console.log(`scale ${scale}: ${what}: ${r.median.toFixed(2)}x ` +
    `(runs: ${r.runs.map((x) => x.toFixed(2)).join(', ')}; target <= ${target}x)`);
  summary[scale].workerRatio = ratio(scale, 'program', 'bare-worker', 'worker');
  summary[scale].mainRatio = ratio(scale, 'program-main', 'bare', 'task');
  say('program / bare page drawing from a worker, worker busy', summary[scale].workerRatio, 1.25);
  say('program on the main thread / bare page, main thread busy', summary[scale].mainRatio, 1.25);
  console.log(`scale ${scale}: program in its worker, main thread busy ` +
              `${(100 * summary[scale].program.task).toFixed(2)}% (target <= 2%)`);
}
if (jsonOut) writeFileSync(jsonOut, JSON.stringify({ seconds, runs, results, summary }, null, 2));
