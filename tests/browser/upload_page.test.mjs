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
// A second server with small limits shows its limits on the page, refuses
// uploads with 413 and deletes a file over its size limit, which the page's
// per-file list and summary report; files dropped on the page are uploaded
// like chosen ones.

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
// A second server with small limits, for the refusals.
const LIMITS = ['--max-file-size', '100K', '--delete-max-file', '--max-field-size', '1K',
  '--max-request-size', '32M'];
let limited;
let limitedDir;
let limitedUrl;

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

function startServer(dir, options = []) {
  const child = spawn(BINARY, ['serve', '--bind', '127.0.0.1', '--port', '0', '--dir', dir, ...options],
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
  limitedDir = mkdtempSync(join(tmpdir(), 'parcelmoor-browser-limited-'));
  limited = startServer(limitedDir, LIMITS);
  limitedUrl = new URL(await limited.url).href;
  browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS, timeout: 30_000 });
});

after(async () => {
  clearTimeout(watchdog);
  await browser?.close();
  for (const s of [server, limited]) {
    if (s && s.process.exitCode === null && s.process.signalCode === null) s.process.kill('SIGKILL');
  }
  for (const d of [dir, limitedDir]) if (d) rmSync(d, { recursive: true, force: true });
});

function clearUploads() {
  for (const name of readdirSync(dir)) rmSync(join(dir, name));
}

function assertStored(files, into = dir) {
  assert.deepEqual(readdirSync(into).sort(), files.map((f) => f.name).sort());
  for (const f of files) {
    const stored = readFileSync(join(into, f.name));
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

// Keeps the status and text of the page's upload answer in window.__answer
// (DevTools drops the answer to a request with a large body).
function recordAnswer() {
  const send = XMLHttpRequest.prototype.send;
  XMLHttpRequest.prototype.send = function (body) {
    this.addEventListener('load', () => { window.__answer = { status: this.status, text: this.responseText }; });
    return send.call(this, body);
  };
}

const SETTLED = '#result[data-state="done"], #result[data-state="failed"]';

// Drops files made in the page on the drop zone's hint line, as a file
// manager's drag would. Each is { name, base64 } or { name, size } (zeros).
async function dropFiles(page, files) {
  await page.evaluate((files) => {
    const data = new DataTransfer();
    for (const f of files) {
      const bytes = f.base64 === undefined ? new Uint8Array(f.size)
        : Uint8Array.from(atob(f.base64), (c) => c.charCodeAt(0));
      data.items.add(new File([bytes], f.name));
    }
    const hint = document.getElementById('drop-hint');
    for (const type of ['dragenter', 'dragover', 'drop']) {
      hint.dispatchEvent(new DragEvent(type, { dataTransfer: data, bubbles: true, cancelable: true }));
    }
  }, files);
}

test('files dropped on the drop zone are uploaded, and the form is cleared once they are stored',
  { timeout: 60_000 }, async () => {
    clearUploads();
    const files = [
      { name: 'dropped.bin', buffer: binaryContent(300_000, 29) },
      { name: 'dropped too.txt', buffer: binaryContent(4_000, 31) },
    ];
    const context = await browser.newContext();
    try {
      const page = await context.newPage();
      await page.goto(url);
      await page.fill('#note', 'dropped');
      await dropFiles(page, files.map((f) => ({ name: f.name, base64: f.buffer.toString('base64') })));
      await page.click('#submit');
      await page.waitForSelector(SETTLED, { timeout: 45_000 });
      assert.equal(await page.getAttribute('#result', 'data-state'), 'done', await page.textContent('#result'));
      assertStored(files);
      assert.deepEqual(await page.evaluate(() =>
        [document.getElementById('note').value, document.getElementById('files').files.length]), ['', 0]);
    } finally {
      await context.close();
    }
  });

test('the page states its server\'s limits before upload, in KiB and MiB', { timeout: 30_000 }, async () => {
  const cases = [
    { server: () => url, text: 'Limits: files of any size; text fields up to 1 MiB; at most 10000 fields and files.' },
    { server: () => limitedUrl, text: 'Limits: files up to 100 KiB (larger ones are deleted); text fields up to 1 KiB; ' +
        'at most 10000 fields and files; at most 32 MiB in all.' },
  ];
  const page = await browser.newPage();
  try {
    for (const c of cases) {
      await page.goto(c.server());
      assert.ok(await page.isVisible('#limits'));
      assert.equal((await page.textContent('#limits')).trim(), c.text);
    }
  } finally {
    await page.close();
  }
});

test('an upload refused with 413 stops the bar where it was and shows the reason the answer gives',
  { timeout: 90_000 }, async () => {
    // Bodies larger than the loopback socket buffers, so the answer comes
    // while most of the body is still unsent.
    const cases = [
      { what: 'a field over --max-field-size', note: 'n'.repeat(2000), size: 24 << 20, why: (answer) => answer.reason },
      { what: 'a body over --max-request-size', note: 'x', size: 48 << 20, why: (answer) => answer.error },
    ];
    for (const c of cases) {
      const page = await browser.newPage();
      try {
        await page.addInitScript(recordAnswer);
        await page.goto(limitedUrl);
        await page.fill('#note', c.note);
        await dropFiles(page, [{ name: 'big.bin', size: c.size }]);
        await page.click('#submit');
        await page.waitForSelector(SETTLED, { timeout: 45_000 });
        const answer = await page.evaluate(() => window.__answer);
        assert.equal(answer.status, 413, c.what);
        const why = c.why(JSON.parse(answer.text));
        assert.match(why, /\w/, c.what);
        assert.equal(await page.getAttribute('#result', 'data-state'), 'failed', c.what);
        const bar = await page.$eval('#progress', (p) => p.value);
        assert.ok(bar < 100, `${c.what}: the bar went on to ${bar} %`);
        assert.equal((await page.textContent('#progress-text')).trim(), `${bar} % (stopped)`, c.what);
        const shown = await page.innerText('#result');
        assert.ok(shown.includes(why), `${c.what}: "${why}" not in ${shown}`);
        assert.deepEqual(readdirSync(limitedDir), [], c.what);
      } finally {
        await page.close();
      }
    }
  });

test('each file\'s outcome is listed and the summary counts the stored ones: one stored, one deleted over the limit',
  { timeout: 60_000 }, async () => {
    for (const name of readdirSync(limitedDir)) rmSync(join(limitedDir, name));
    const small = { name: 'small.bin', buffer: binaryContent(50_000, 37) };
    const page = await browser.newPage();
    try {
      await page.addInitScript(recordAnswer);
      await page.goto(limitedUrl);
      await dropFiles(page, [{ name: small.name, base64: small.buffer.toString('base64') },
        { name: 'over.bin', size: 150_000 }]);
      await page.click('#submit');
      await page.waitForSelector(SETTLED, { timeout: 45_000 });
      const answer = JSON.parse(await page.evaluate(() => window.__answer.text));
      assert.deepEqual(answer.files.map((f) => f.outcome), ['stored', 'deleted']);
      assert.match(await page.textContent('#result-status'), /: 1 of 2 files stored\.$/);
      const rows = await page.$$eval('#result-files tr.file-record', (trs) => trs.map((tr) =>
        [...tr.querySelectorAll('.file-name, .size, .outcome, .reason')].map((td) => td.dataset.bytes ?? td.textContent)));
      assert.deepEqual(rows, [
        ['small.bin', String(small.buffer.length), 'stored', ''],
        ['over.bin', '0', 'deleted', answer.files[1].reason],
      ]);
      assert.match(answer.files[1].reason, /\w/);
      assertStored([small], limitedDir);
    } finally {
      await page.close();
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
