// Large files on the upload page go through serve's resumable endpoint: an
// upload whose server is killed and started again at 40 % goes on from what
// the server had kept, and so does one whose page is reloaded and the file
// chosen again; both end with the exact bytes stored and the server's
// report shown. Debian's headless Chromium, driven by playwright-core.
//
// Usage: node tests/browser/resumable_page.test.mjs PARCELMOOR_BINARY
//   (CHROMIUM_PATH overrides /usr/bin/chromium; SCREENSHOT_DIR the screenshots' folder)

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import {
  CHOOSE, CHROMIUM_ARGS, SETTLED, assertStored, binaryContent, entries, recordBars, screenshotter, startServer,
  throttle,
} from './support.mjs';

const BINARY = process.argv[2] ?? process.env.PARCELMOOR_BIN;
const CHROMIUM = process.env.CHROMIUM_PATH ?? '/usr/bin/chromium';
const shoot = screenshotter(process.env.SCREENSHOT_DIR ??
  resolve(dirname(BINARY ?? '.'), '..', 'browser-screenshots'));
// Three chunks of 8 MiB: at 40 % the first is acknowledged and the second
// is in flight.
const SIZE = 24 << 20;
const CHUNK_SHARE = 100 / 3;

let browser;
const started = [];
const watchdog = setTimeout(() => {
  console.error('resumable_page.test: gave up after 150 s');
  for (const s of started) s.process.kill('SIGKILL');
  process.exit(1);
}, 150_000);
watchdog.unref();

const { chromium } = await import('playwright-core');

before(async () => {
  assert.ok(BINARY, 'pass the parcelmoor binary as the first argument');
  browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS, timeout: 30_000 });
});

after(async () => {
  clearTimeout(watchdog);
  await browser?.close();
  for (const s of started) {
    if (s.process.exitCode === null && s.process.signalCode === null) s.process.kill('SIGKILL');
    rmSync(s.dir, { recursive: true, force: true });
  }
});

async function serve(dir, port = 0) {
  const server = startServer(BINARY, dir, [], port);
  started.push(server);
  server.href = await server.url;
  return server;
}

// The bar of the one file, as the user saw it move.
const barValues = (page) => page.evaluate(() => Object.values(window.__bars)[0] ?? []);
const passed = (page, percent) => page.waitForFunction(
  (p) => (document.querySelector('#result-files progress.file-progress')?.value ?? 0) > p, percent, { timeout: 60_000 });

async function openPage(server) {
  const context = await browser.newContext();
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.addInitScript(recordBars);
  await page.goto(server.href);
  await page.waitForSelector('#uploader .uppy-Dashboard');
  await throttle(context, page, 6 * 1024 * 1024);
  return { context, page, errors };
}

const cases = [
  { what: 'the server is killed and started again', interrupt: async ({ page, server }) => {
    await page.evaluate(() => { window.__bars = {}; });
    server.process.kill('SIGKILL');
    await server.exited;
    await serve(server.dir, new URL(server.href).port);
    return page;
  } },
  { what: 'the page is reloaded and the file chosen again', interrupt: async ({ page, file }) => {
    await page.reload();
    await page.waitForSelector('#uploader .uppy-Dashboard');
    await page.evaluate(() => { window.__bars = {}; });
    await page.setInputFiles(CHOOSE, [file.path]);
    await page.click('#submit');
    return page;
  } },
];

for (const c of cases) {
  test(`a large file goes on from where it stopped when ${c.what}`, { timeout: 100_000 }, async () => {
    const server = await serve(mkdtempSync(join(tmpdir(), 'parcelmoor-browser-resumable-')));
    // A file on disk, so that choosing it again after a reload gives the
    // page the same file (its modification time included).
    const file = { name: 'big resumable.bin', buffer: binaryContent(SIZE, 29) };
    file.path = join(mkdtempSync(join(tmpdir(), 'parcelmoor-browser-file-')), file.name);
    writeFileSync(file.path, file.buffer);
    const { context, page, errors } = await openPage(server);
    try {
      const sent = [];
      page.on('request', (r) => sent.push(`${r.method()} ${new URL(r.url()).pathname.replace(/[^/]+$/, 'ID')}`));
      await page.setInputFiles(CHOOSE, [file.path]);
      await page.click('#submit');
      await passed(page, 40);
      await shoot(page, `resumable-before-${c.what.split(' ')[1]}`);
      await c.interrupt({ page, server, file });
      await page.waitForSelector(SETTLED, { timeout: 60_000 });
      await shoot(page, `resumable-after-${c.what.split(' ')[1]}`);
      assert.equal(await page.getAttribute('#result', 'data-state'), 'done', await page.innerText('#result'));
      const [shown] = await entries(page);
      assert.deepEqual([shown.name, shown.outcome, shown.reason], [file.name, 'stored', '']);
      assertStored([file], server.dir);
      // Resumed, not started again: after the interruption the bar never
      // fell below the first chunk, which the server had acknowledged.
      const bars = await barValues(page);
      assert.ok(bars.length > 0 && Math.min(...bars.filter((v) => v > 0)) >= CHUNK_SHARE - 1, `bar: ${bars}`);
      // Through the resumable endpoint, not as a multipart post.
      assert.ok(sent.includes('POST /files/'), sent.join(', '));
      assert.ok(!sent.some((s) => s === 'POST /'), sent.join(', '));
      assert.deepEqual(errors, []);
    } finally {
      await context.close();
      rmSync(dirname(file.path), { recursive: true, force: true });
    }
  });
}
