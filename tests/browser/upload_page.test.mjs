// The upload page of `parcelmoor serve` in a real browser: Debian's headless
// Chromium, driven by playwright-core.
//
// Usage: node tests/browser/upload_page.test.mjs PARCELMOOR_BINARY
//   (or PARCELMOOR_BIN in the environment; CHROMIUM_PATH overrides /usr/bin/chromium)
// Needs `npm ci --prefix tests/browser` and Debian's chromium: scripts/setup-browser.sh.
//
// Starts the server on a free loopback port with a fresh upload directory,
// uploads two binary files (CR LF, lone CR and LF, "--" lines, a look-alike of
// Chromium's own boundary, NULs) with the scripted page and again as a plain
// form post with scripts off, and compares the stored files byte for byte.

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readdirSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const BINARY = process.argv[2] ?? process.env.PARCELMOOR_BIN;
const CHROMIUM = process.env.CHROMIUM_PATH ?? '/usr/bin/chromium';
// Without the networking flags Chromium keeps trying to reach outside hosts,
// which this machine refuses.
const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

let server;
let browser;
let dir;
let url;

// Hard stop for the whole run, whatever hangs.
const watchdog = setTimeout(() => {
  console.error('upload_page.test: gave up after 180 s');
  server?.process.kill('SIGKILL');
  process.exit(1);
}, 180_000);
watchdog.unref();

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  console.error('playwright-core is missing: run scripts/setup-browser.sh');
  process.exit(1);
}

// Deterministic bytes (xorshift32) with every hard case for a multipart parser.
function binaryContent(size, seed) {
  const tricky = ['\r\n', '\r', '\n', '\r\n--\r\n', '\r\n--', '--\r\n', '\r\n\r\n',
    '\r\n------WebKitFormBoundary0123456789abcdef\r\n', '\0\0', '\xff\xfe']
    .map((s) => Buffer.from(s, 'latin1'));
  const out = Buffer.alloc(size);
  let x = seed >>> 0 || 1;
  const next = () => { x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0; return x; };
  let at = 0;
  while (at < size) {
    const run = 1 + (next() % 3000);
    for (let i = 0; i < run && at < size; i++) out[at++] = next() & 0xff;
    at += tricky[next() % tricky.length].copy(out, at);
  }
  return out;
}

function startServer(dir) {
  const child = spawn(BINARY, ['serve', '--bind', '127.0.0.1', '--port', '0', '--dir', dir],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  let log = '';
  child.stderr.on('data', (d) => { log += d; });
  const url = new Promise((resolve, reject) => {
    let out = '';
    const timer = setTimeout(() => reject(new Error(`no URL within 20 s; stderr: ${log}`)), 20_000);
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/http:\/\/\S+/);
      if (m) { clearTimeout(timer); resolve(m[0]); }
    });
    child.on('exit', (code) => { clearTimeout(timer); reject(new Error(`serve exited ${code}: ${log}`)); });
  });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  return { process: child, url, exited, log: () => log };
}

before(async () => {
  assert.ok(BINARY, 'pass the parcelmoor binary as the first argument');
  dir = mkdtempSync(join(tmpdir(), 'parcelmoor-browser-'));
  server = startServer(dir);
  url = new URL(await server.url).href;
  browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS, timeout: 30_000 });
});

after(async () => {
  clearTimeout(watchdog);
  await browser?.close();
  if (server && server.process.exitCode === null && server.process.signalCode === null) {
    server.process.kill('SIGKILL');
  }
  if (dir) rmSync(dir, { recursive: true, force: true });
});

function clearUploads() {
  for (const name of readdirSync(dir)) rmSync(join(dir, name));
}

function assertStored(files) {
  assert.deepEqual(readdirSync(dir).sort(), files.map((f) => f.name).sort());
  for (const f of files) {
    const stored = readFileSync(join(dir, f.name));
    assert.equal(stored.length, f.buffer.length, `${f.name}: size`);
    assert.ok(stored.equals(f.buffer), `${f.name}: stored bytes differ`);
  }
}

// Records, at every upload progress event of every XHR, what the event says
// and the value the page's own progress listener has just put on the bar.
function recordUploadProgress() {
  window.__uploadProgress = [];
  const send = XMLHttpRequest.prototype.send;
  XMLHttpRequest.prototype.send = function (body) {
    this.upload.addEventListener('progress', (e) => {
      const bar = document.getElementById('progress');
      window.__uploadProgress.push({ loaded: e.loaded, total: e.total, bar: bar ? bar.value : null });
    });
    return send.call(this, body);
  };
}

test('scripted upload shows progress up to 100 % and the result without leaving the page',
  { timeout: 60_000 }, async () => {
    clearUploads();
    const files = [
      { name: 'crlf dashes.bin', mimeType: 'application/octet-stream', buffer: binaryContent(3 * 1024 * 1024 + 17, 7) },
      { name: 'small.dat', mimeType: 'application/octet-stream', buffer: binaryContent(70_001, 11) },
    ];
    const context = await browser.newContext();
    try {
      const page = await context.newPage();
      await page.addInitScript(recordUploadProgress);
      // Loopback would finish the upload in one progress event: slow it to
      // about a second so the bar has to move through its middle values.
      const cdp = await context.newCDPSession(page);
      await cdp.send('Network.enable');
      await cdp.send('Network.emulateNetworkConditions',
        { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: 4 * 1024 * 1024 });
      await page.goto(url);
      let navigations = 0;
      page.on('framenavigated', (frame) => { if (frame === page.mainFrame()) navigations++; });

      await page.fill('#note', 'from <Chromium> & co');
      await page.setInputFiles('#files', files);
      await page.click('#submit');
      await page.waitForSelector('#result[data-state="done"], #result[data-state="failed"]', { timeout: 45_000 });

      assert.equal(await page.getAttribute('#result', 'data-state'), 'done',
        await page.textContent('#result'));
      assert.equal(navigations, 0, 'the page navigated away');
      assert.equal(page.url(), url);

      // The bar followed the upload progress events and ended at 100 %.
      const events = await page.evaluate(() => window.__uploadProgress);
      assert.ok(events.some((e) => e.bar > 0 && e.bar < 100), JSON.stringify(events));
      for (const [i, e] of events.entries()) {
        assert.equal(e.bar, Math.round((100 * e.loaded) / e.total));
        if (i) assert.ok(e.loaded >= events[i - 1].loaded);
      }
      const last = events[events.length - 1];
      assert.equal(last.loaded, last.total);
      assert.ok(last.total > files[0].buffer.length + files[1].buffer.length);
      assert.equal(await page.evaluate(() => document.getElementById('progress').value), 100);
      assert.equal((await page.textContent('#progress-text')).trim(), '100 %');
      assert.ok(await page.isVisible('#progress'));

      // One row per item: the note, then each file with its name and size.
      const rows = await page.$$eval('#result-items tr.item', (trs) => trs.map((tr) => ({
        name: tr.querySelector('.name').textContent,
        values: tr.querySelector('.values').textContent,
        fileName: tr.querySelector('.file-name').textContent,
        size: tr.querySelector('.size').dataset.bytes,
      })));
      assert.equal(rows.length, 3, JSON.stringify(rows));
      assert.equal(rows[0].values, 'from <Chromium> & co');
      for (const [i, f] of files.entries()) {
        assert.equal(rows[i + 1].fileName, f.name);
        assert.equal(rows[i + 1].size, String(f.buffer.length));
      }
      assertStored(files);
    } finally {
      await context.close();
    }
  });

test('without scripts the page is a plain form post that stores every file under its name', { timeout: 60_000 },
     async () => {
  clearUploads();
  // Names as browsers send them unchanged: a ';' inside the quoted file name,
  // UTF-8, a space.
  const files = [
    { name: 'first.bin', mimeType: 'application/octet-stream', buffer: binaryContent(200_000, 3) },
    { name: 'second.txt', mimeType: 'text/plain', buffer: binaryContent(65_536, 5) },
    { name: 'a;b.txt', mimeType: 'text/plain', buffer: binaryContent(1_000, 17) },
    { name: '\u00e9t\u00e9.txt', mimeType: 'text/plain', buffer: binaryContent(2_000, 19) },
    { name: 'x y.txt', mimeType: 'text/plain', buffer: binaryContent(3_000, 23) },
  ];
  const context = await browser.newContext({ javaScriptEnabled: false });
  try {
    const page = await context.newPage();
    await page.goto(url);
    await page.fill('#note', 'no script');
    await page.setInputFiles('#files', files);
    const [response] = await Promise.all([
      page.waitForResponse((r) => r.request().method() === 'POST', { timeout: 45_000 }),
      page.click('#submit'),
    ]);
    assert.equal(response.status(), 200);
    await page.waitForSelector('#upload-result', { timeout: 15_000 });
    const text = await page.textContent('#upload-result');
    assert.match(text, /no script/);
    for (const f of files) assert.ok(text.includes(f.name), `${f.name} missing from the result`);
    assertStored(files);
  } finally {
    await context.close();
  }
});

test('the server stops on SIGTERM', { timeout: 20_000 }, async () => {
  server.process.kill('SIGTERM');
  let timer;
  const outcome = await Promise.race([
    server.exited,
    new Promise((resolve) => { timer = setTimeout(() => resolve('timeout'), 15_000); }),
  ]);
  clearTimeout(timer);
  assert.notEqual(outcome, 'timeout', 'still running 15 s after SIGTERM');
  assert.equal(outcome.code, 0, server.log());
});
