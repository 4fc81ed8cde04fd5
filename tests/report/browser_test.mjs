// Opens pages of obsquilt-report in Debian's chromium and checks what they show against the
// obsquilt.txt they come from, read here on its own: one lane per receiver, and for every choice
// of the type selector one bar per run of consecutive epochs where the receiver has a row and one
// gap mark per longer gap of that type; the systems each receiver tracked, "–" for types it never
// has, what the shares are of; for each receiver chosen, one tracking lane per satellite with a
// bar per run of epochs with a value, the clock jumps of its epoch stamps, the slips and
// satellites of the multipath view.
//   node browser_test.mjs REPORT_BINARY OUT_DIR OBSQUILT.TXT[:START:STOP]...
// START and STOP are given to the report as --window. With OBSQUILT_REPORT_SCREENSHOT set, the
// first page is also saved there as a picture.
// Exit 0 passed, 1 failed, 77 skipped (no chromium, no node_modules, an input absent).
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { basename, join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [binary, outDir, ...inputs] = process.argv.slice(2);
const chromiumPath = '/usr/bin/chromium';
function skip(why) { console.log(`SKIP: ${why}`); process.exit(77); }
if (!existsSync(chromiumPath)) skip(`${chromiumPath} not installed`);
// playwright-core as the build installed it (OUT_DIR/node_modules), else beside this script.
let chromium;
try {
  ({ chromium } = createRequire(join(outDir, 'package.json'))('playwright-core'));
} catch {
  try {
    ({ chromium } = await import('playwright-core'));
  } catch {
    skip('playwright-core not installed: the build installs it when npm is there (apt-get install npm; a build without network warns "npm ci failed")');
  }
}
for (const f of inputs) if (!existsSync(f.split(':')[0])) skip(`${f} absent`);

// For each type (and '*' for any type), per receiver, the intervals [start, end] in seconds of
// day of consecutive epochs where the receiver has a row.
function expectedRuns(path, window) {
  const lines = readFileSync(path, 'latin1').split('\r\n');
  const step = Number(lines[0].slice(14, 20));
  const tmin = Number(lines[0].slice(2, 8)), tmax = Number(lines[0].slice(8, 14));
  const markers = lines.filter((l) => l.startsWith('b ')).map((l) => l.slice(2, 6));
  const seen = { '*': markers.map(() => new Set()) };
  const sats = markers.map(() => new Map());  // per receiver: satellite -> seconds with a value
  const systems = markers.map(() => new Set());
  const values = markers.map(() => ({}));     // per receiver: type -> values present
  const stamps = markers.map(() => []);       // per receiver: [second, stamp]
  let second = 0, type = '', row = -1, rows = [], cols = [], obs = 0;
  const code = (c) => (c[0] === ' ' ? 'G' : c[0]) + (c[1] === ' ' ? '0' : c[1]) + c[2];
  for (const l of lines) {
    if (l[0] === 'e') second = 3600 * l.slice(12, 15) + 60 * l.slice(15, 18) + 1 * l.slice(18, 21);
    if (l[0] === 'f') { type = l.slice(2, 4); row = -1; rows = []; obs = 0; seen[type] ??= markers.map(() => new Set()); }
    if (l[0] === 't') {
      row = markers.findIndex((m, i) => i > row && m === l.slice(2, 6));
      rows.push(row);
      seen[type][row].add(second);
      seen['*'][row].add(second);
      if (stamps[row].at(-1)?.[0] !== second && !l.includes('no time')) stamps[row].push([second, Number(l.slice(6))]);
    }
    if (l[0] === 's') cols = Array.from({ length: (l.length - 1) / 4 }, (_, c) => code(l.slice(2 + 4 * c, 5 + 4 * c)));
    if (l[0] === 'o') {
      const r = rows[obs++];
      cols.forEach((sat, c) => {
        const v = l.slice(2 + 15 * c, 16 + 15 * c);
        if (v.includes('*') || !(Number(v) < 9999999999.99)) return;
        if (!sats[r].has(sat)) sats[r].set(sat, new Set());
        sats[r].get(sat).add(second);
        systems[r].add(sat[0]);
        values[r][type] = (values[r][type] ?? 0) + 1;
      });
    }
  }
  // Runs of consecutive seconds, as [first, last].
  const runsOf = (set) => {
    const out = [];
    for (const s of [...set].sort((a, b) => a - b)) {
      if (out.length && out.at(-1)[1] === s - step) out.at(-1)[1] = s;
      else out.push([s, s]);
    }
    return out;
  };
  const first = window ? Math.ceil(window[0] / step) * step : tmin;
  const last = window ? Math.floor(window[1] / step) * step : tmax;
  const runs = {}, gaps = {};
  for (const [t, perReceiver] of Object.entries(seen)) {
    runs[t] = perReceiver.map((set, r) => runsOf(set).map(([a, b]) => [r + 1, a, b])).flat().map((x) => x.join(' '));
    gaps[t] = perReceiver.map((set, r) => {
      const out = [];
      let next = first;
      for (const [a, b] of [...runsOf(set), [last + step, last + step]]) {
        if ((a - next) / step > 10) out.push(`${r + 1} ${next} ${a - step}`);
        next = b + step;
      }
      return out;
    }).flat();
  }
  const tracking = sats.map((m) => [...m.keys()].sort().map((sat) => runsOf(m.get(sat)).map(([a, b]) => `${sat} ${a} ${b}`)).flat());
  const jumps = stamps.map((st) => {
    let n = 0, prev = null;
    for (const [sec, stamp] of st) {
      let off = stamp - sec % 60;
      if (off >= 30) off -= 60;
      if (off < -30) off += 60;
      if (prev !== null && Math.abs(off - prev) >= 0.0005) n++;
      prev = off;
    }
    return st.length ? n : '–';
  });
  return { markers, runs, gaps, tracking, jumps, values,
    systems: systems.map((s) => [...s].sort().join('')), types: Object.keys(seen).filter((t) => t !== '*') };
}

let failures = 0;
function check(ok, what) {
  if (!ok) { failures++; console.log(`FAIL: ${what}`); }
}

const profile = mkdtempSync(join(tmpdir(), 'obsquilt-report-chromium-'));
const browser = await chromium.launchPersistentContext(profile, {
  executablePath: chromiumPath,
  headless: true,
  viewport: { width: 1440, height: 900 },
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  for (const entry of inputs) {
    const [input, start, stop] = entry.split(':');
    const window = start === undefined ? null : [Number(start), Number(stop)];
    let name = basename(input) === 'expected.obsquilt.txt' ? basename(join(input, '..')) : basename(input, '.obsquilt.txt');
    if (window) name += `-window-${start}-${stop}`;
    const html = join(outDir, `${name}.html`);
    const args = ['--force', '-o', html, input];
    if (window) args.unshift('--window', start, stop);
    const run = spawnSync(binary, args, { encoding: 'utf8' });
    check(run.status === 0 || run.status === 1, `${name}: obsquilt-report exit ${run.status}: ${run.stderr}`);
    const expected = expectedRuns(input, window);
    const page = await browser.newPage();
    const errors = [];
    page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
    page.on('pageerror', (e) => errors.push(e.message));
    page.on('request', (r) => { if (!r.url().startsWith('file:')) errors.push(`request ${r.url()}`); });
    await page.goto(pathToFileURL(html).href);
    check(await page.locator('#lanes g.bars').count() === expected.markers.length,
      `${name}: one lane per receiver`);
    check(await page.locator('#span-note').count() === (window ? 0 : 1),
      `${name}: the page says whether shares are of the span of the data`);
    const options = await page.locator('#type option').evaluateAll((os) => os.map((o) => [o.value, o.textContent]));
    check(options.length === Object.keys(expected.runs).length, `${name}: a choice per type and any`);
    for (const [value, label] of options) {
      await page.selectOption('#type', value);
      const bars = await page.locator('#lanes g.bars rect').evaluateAll((rs) =>
        rs.map((r) => `${r.dataset.receiver} ${r.dataset.start} ${r.dataset.end}`));
      const want = expected.runs[value === '0' ? '*' : label];
      check(JSON.stringify(bars) === JSON.stringify(want),
        `${name} ${label}: bars\n  got  ${bars.join(', ')}\n  want ${want && want.join(', ')}`);
      const marks = await page.locator('#lanes g.lane').evaluateAll((ls) => ls.map((l, r) =>
        Array.from(l.querySelectorAll('g.gaps rect'), (g) => `${r + 1} ${g.dataset.start} ${g.dataset.end}`)).flat());
      const wantGaps = expected.gaps[value === '0' ? '*' : label];
      check(JSON.stringify(marks) === JSON.stringify(wantGaps),
        `${name} ${label}: gap marks\n  got  ${marks.join(', ')}\n  want ${wantGaps.join(', ')}`);
    }
    await page.selectOption('#type', '0');
    // The table: systems tracked, "–" for the types a receiver never has, clock jumps.
    const table = await page.locator('#receivers tbody tr').evaluateAll((trs) => trs.map((tr) => ({
      systems: tr.querySelector('td.systems').textContent.replace('–', ''),
      types: Array.from(tr.querySelectorAll('td[data-t]'), (td) => td.textContent),
    })));
    table.forEach((row, r) => {
      check(row.systems === expected.systems[r], `${name} receiver ${r + 1}: systems ${row.systems}, want ${expected.systems[r]}`);
      expected.types.forEach((t, k) => check((row.types[k] === '–') === !expected.values[r][t],
        `${name} receiver ${r + 1}: ${t} shown as ${row.types[k]} with ${expected.values[r][t] ?? 0} values`));
    });
    // The views of one receiver, for each receiver in turn.
    check(/GLONASS is left out/.test(await page.locator('#mp-note').textContent()), `${name}: GLONASS left out of MP, said`);
    for (let r = 0; r < expected.markers.length; r++) {
      await page.selectOption('#receiver', String(r + 1));
      const lanes = await page.locator('#tracking g.satlane rect[data-start]').evaluateAll((rs) =>
        rs.map((x) => `${x.parentNode.dataset.sat} ${x.dataset.start} ${x.dataset.end}`));
      check(JSON.stringify(lanes) === JSON.stringify(expected.tracking[r]),
        `${name} receiver ${r + 1}: tracking\n  got  ${lanes.join(', ')}\n  want ${expected.tracking[r].join(', ')}`);
      const jumps = await page.locator('#clock').evaluate((svg) => svg.dataset.jumps);
      const listed = await page.locator(`#receivers tbody tr[data-receiver="${r + 1}"] td`).nth(-2).textContent();
      check(String(expected.jumps[r]) === listed && (expected.jumps[r] === '–' || Number(jumps) === expected.jumps[r]),
        `${name} receiver ${r + 1}: clock jumps ${listed} in the table, ${jumps} in the chart, want ${expected.jumps[r]}`);
      const mp = await page.evaluate((i) => JSON.parse(document.getElementById('quilt-data').textContent).mp[i], r);
      const slips = await page.locator('#multipath line.slip').count();
      const satRows = await page.locator('#mp-satellites tbody tr').count();
      check(slips === mp.slips.length && satRows === mp.sats.length,
        `${name} receiver ${r + 1}: ${slips} slip marks and ${satRows} satellites shown, data has ${mp.slips.length} and ${mp.sats.length}`);
    }
    await page.selectOption('#receiver', '1');
    await page.screenshot({ path: join(outDir, `${name}.png`), fullPage: true });
    if (process.env.OBSQUILT_REPORT_SCREENSHOT && entry === inputs[0])
      await page.screenshot({ path: process.env.OBSQUILT_REPORT_SCREENSHOT, fullPage: true });
    check(errors.length === 0, `${name}: console errors: ${errors.join('; ')}`);
    console.log(`${name}: ${expected.markers.length} receivers, ${options.length} choices checked`);
    await page.close();
  }
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
console.log(failures ? `${failures} checks failed` : 'all checks passed');
process.exit(failures ? 1 : 0);
