// The browser tests' judgement of what the screen shows: screenshots as
// pixels, the field's lit points, the ball, and the ticks a field's coverage
// stands for.
import { createRequire } from 'node:module';

// pngjs comes, as puppeteer-core does, from the npm ci of package-lock.json;
// its folder is in NODE_PATH, which only require reads.
const { PNG } = createRequire(import.meta.url)('pngjs');

// A PNG (Chromium's screenshots) as { width, height, data } with RGBA bytes.
export function decodePng(buf) {
  return PNG.sync.read(buf);
}

// Whether the RGBA pixel at byte `i` of `d` is lit, or white.
export const litAt = (d, i) => d[i] | d[i + 1] | d[i + 2];
export const whiteAt = (d, i) => d[i] === 255 && d[i + 1] === 255 && d[i + 2] === 255;

// Pixels lit in `before` (the ball's white aside, which moves) that are black
// in `after`, of the same size.
export function lostPoints(before, after) {
  let lost = 0;
  for (let i = 0; i < before.data.length; i += 4) {
    if (litAt(before.data, i) && !whiteAt(before.data, i) && !litAt(after.data, i)) ++lost;
  }
  return lost;
}

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

// The ball: the largest 8-connected group of white pixels that keeps clear of
// the image's edges (so none of it is cut off), with a lone white point
// touching it trimmed off. Gives its box and line thickness (the median of
// the runs of white going in from the middle of each side), or null.
export function findBall(image) {
  const { width, height, data: d } = image;
  const white = (x, y) => whiteAt(d, (y * width + x) * 4);
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
      // Only the ball's outline survives trimming whole; a few white points
      // side by side (a scale change makes each a 2 x 2 block) trim away.
      if (group.length < 8) continue;
      const pixels = trimmed(group);
      if (pixels.length >= 8 && (!best || pixels.length > best.pixels.length)) best = { group, pixels };
    }
  }
  if (!best) return null;
  // Cut off by an edge, judged before a lone point is trimmed off, which could
  // take the cut column or row with it.
  const gx = best.group.map((p) => p[0]), gy = best.group.map((p) => p[1]);
  const touching = Math.min(...gx) === 0 || Math.min(...gy) === 0 ||
                   Math.max(...gx) === width - 1 || Math.max(...gy) === height - 1;
  const xs = best.pixels.map((p) => p[0]), ys = best.pixels.map((p) => p[1]);
  const box = { x: Math.min(...xs), y: Math.min(...ys) };
  box.width = Math.max(...xs) - box.x + 1;
  box.height = Math.max(...ys) - box.y + 1;
  const midX = box.x + (box.width >> 1), midY = box.y + (box.height >> 1);
  const run = (x, y, dx, dy) => { let n = 0; while (white(x + n * dx, y + n * dy) && n < box.width) ++n; return n; };
  const runs = [run(box.x, midY, 1, 0), run(box.x + box.width - 1, midY, -1, 0),
                run(midX, box.y, 0, 1), run(midX, box.y + box.height - 1, 0, -1)].sort((a, b) => a - b);
  return { ...box, line: runs[1], runs, touching };
}

// `pixels` without the rows and columns at the box's edges that hold at most
// two of them: a point beside the ball, as every edge of the ball's own
// outline has more.
function trimmed(pixels) {
  for (let pass = 0; pass < 4 && pixels.length; ++pass) {
    const xs = pixels.map((p) => p[0]), ys = pixels.map((p) => p[1]);
    const [minX, maxX, minY, maxY] = [Math.min(...xs), Math.max(...xs), Math.min(...ys), Math.max(...ys)];
    const count = (pred) => pixels.filter(pred).length;
    if (count((p) => p[0] === minX) <= 2) pixels = pixels.filter((p) => p[0] !== minX);
    else if (count((p) => p[0] === maxX) <= 2) pixels = pixels.filter((p) => p[0] !== maxX);
    else if (count((p) => p[1] === minY) <= 2) pixels = pixels.filter((p) => p[1] !== minY);
    else if (count((p) => p[1] === maxY) <= 2) pixels = pixels.filter((p) => p[1] !== maxY);
    else break;
  }
  return pixels;
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
