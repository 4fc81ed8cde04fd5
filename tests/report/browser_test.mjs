// Opens pages of obsquilt-report in Debian's chromium and checks what they show against the
// obsquilt.txt they come from, read here on its own: one lane per receiver, and for every choice
// of the type selector one bar per run of consecutive epochs where the receiver has a row.
//   node browser_test.mjs REPORT_BINARY OUT_DIR OBSQUILT.TXT...
// Exit 0 passed, 1 failed, 77 skipped (no chromium, no node_modules, an input absent).
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { basename, join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [binary, outDir, ...inputs] = process.argv.slice(2);
const chromiumPath = '/usr/bin/chromium';
function skip(why) { console.log(`SKIP: ${why}`); process.exit(77); }
if (!existsSync(chromiumPath)) skip(`${chromiumPath} not installed`);
let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch { skip('playwright-core not installed: run npm ci in tests/report'); }
for (const f of inputs) if (!existsSync(f)) skip(`${f} absent`);

// For each type (and '*' for any type), per receiver, the intervals [start, end] in seconds of
// day of consecutive epochs where the receiver has a row.
function expectedRuns(path) {
  const lines = readFileSync(path, 'latin1').split('\r\n');
  const step = Number(lines[0].slice(14, 20));
  const markers = lines.filter((l) => l.startsWith('b ')).map((l) => l.slice(2, 6));
  const seen = { '*': markers.map(() => new Set()) };
  let second = 0, type = '', row = -1;
  for (const l of lines) {
    if (l[0] === 'e') second = 3600 * l.slice(12, 15) + 60 * l.slice(15, 18) + 1 * l.slice(18, 21);
    if (l[0] === 'f') { type = l.slice(2, 4); row = -1; seen[type] ??= markers.map(() => new Set()); }
    if (l[0] === 't') {
      row = markers.findIndex((m, i) => i > row && m === l.slice(2, 6));
      seen[type][row].add(second);
      seen['*'][row].add(second);
    }
  }
  const runs = {};
  for (const [t, perReceiver] of Object.entries(seen)) {
    runs[t] = perReceiver.map((set, r) => {
      const out = [];
      for (const s of [...set].sort((a, b) => a - b)) {
        if (out.length && out.at(-1)[2] === s - step) out.at(-1)[2] = s;
        else out.push([r + 1, s, s]);
      }
      return out;
    }).flat().map((x) => x.join(' '));
  }
  return { markers, runs };
}

let failures = 0;
function check(ok, what) {
  if (!ok) { failures++; console.log(`FAIL: ${what}`); }
}

const profile = mkdtempSync(join(tmpdir(), 'obsquilt-report-chromium-'));
const browser = await chromium.launchPersistentContext(profile, {
  executablePath: chromiumPath,
  headless: true,
  viewport: { width: 1280, height: 900 },
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  for (const input of inputs) {
    const name = basename(input) === 'expected.obsquilt.txt' ? basename(join(input, '..')) : basename(input, '.obsquilt.txt');
    const html = join(outDir, `${name}.html`);
    const run = spawnSync(binary, ['--force', '-o', html, input], { encoding: 'utf8' });
    check(run.status === 0, `${name}: obsquilt-report exit ${run.status}: ${run.stderr}`);
    const expected = expectedRuns(input);
    const page = await browser.newPage();
    const errors = [];
    page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
    page.on('pageerror', (e) => errors.push(e.message));
    page.on('request', (r) => { if (!r.url().startsWith('file:')) errors.push(`request ${r.url()}`); });
    await page.goto(pathToFileURL(html).href);
    check(await page.locator('#lanes g.bars').count() === expected.markers.length,
      `${name}: one lane per receiver`);
    const options = await page.locator('#type option').evaluateAll((os) => os.map((o) => [o.value, o.textContent]));
    check(options.length === Object.keys(expected.runs).length, `${name}: a choice per type and any`);
    for (const [value, label] of options) {
      await page.selectOption('#type', value);
      const bars = await page.locator('#lanes g.bars rect').evaluateAll((rs) =>
        rs.map((r) => `${r.dataset.receiver} ${r.dataset.start} ${r.dataset.end}`));
      const want = expected.runs[value === '0' ? '*' : label];
      check(JSON.stringify(bars) === JSON.stringify(want),
        `${name} ${label}: bars\n  got  ${bars.join(', ')}\n  want ${want && want.join(', ')}`);
    }
    await page.selectOption('#type', '0');
    await page.screenshot({ path: join(outDir, `${name}.png`), fullPage: true });
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
