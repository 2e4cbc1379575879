// A page on another origin (another port of 127.0.0.1) uploads to serve
// with --cors-origin: a multipart POST by fetch, whose JSON answer it reads,
// and a resumable upload by tus-js-client, which needs the preflight and the
// exposed tus headers. A page of an origin not listed is kept from the
// answers by the browser itself. Debian's headless Chromium, driven by
// playwright-core.
//
// Usage: node tests/browser/cors.test.mjs PARCELMOOR_BINARY
//   (CHROMIUM_PATH overrides /usr/bin/chromium)

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { CHROMIUM_ARGS, binaryContent, startServer } from './support.mjs';

const BINARY = process.argv[2] ?? process.env.PARCELMOOR_BIN;
const CHROMIUM = process.env.CHROMIUM_PATH ?? '/usr/bin/chromium';
const TUS = readFileSync(join(dirname(fileURLToPath(import.meta.url)), 'node_modules', 'tus-js-client', 'dist',
  'tus.min.js'));

const watchdog = setTimeout(() => {
  console.error('cors.test: gave up after 100 s');
  process.exit(1);
}, 100_000);
watchdog.unref();

const { chromium } = await import('playwright-core');
let browser;
let server;
const sites = [];
const dir = mkdtempSync(join(tmpdir(), 'parcelmoor-cors-'));

// A site of its own origin: an empty page and the tus client's script.
async function site() {
  const s = createServer((req, res) => {
    if (req.url === '/tus.min.js') {
      res.writeHead(200, { 'Content-Type': 'text/javascript' });
      return res.end(TUS);
    }
    res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    res.end('<!doctype html><title>app</title><script src="/tus.min.js"></script>');
  });
  await new Promise((resolve) => s.listen(0, '127.0.0.1', resolve));
  sites.push(s);
  return `http://127.0.0.1:${s.address().port}`;
}

let allowed;
let other;

before(async () => {
  assert.ok(BINARY, 'pass the parcelmoor binary as the first argument');
  allowed = await site();
  other = await site();
  server = startServer(BINARY, join(dir, 'uploads'), ['--cors-origin', allowed]);
  server.href = await server.url;
  browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS, timeout: 30_000 });
});

after(async () => {
  clearTimeout(watchdog);
  await browser?.close();
  for (const s of sites) s.close();
  server?.process.kill('SIGTERM');
  await server?.exited;
  rmSync(dir, { recursive: true, force: true });
});

// In the page: a multipart POST and a resumable upload of `bytes` (as a
// latin-1 string), each reporting what the page could read.
async function uploadFrom(origin, name, bytes) {
  const context = await browser.newContext();
  const page = await context.newPage();
  await page.goto(`${origin}/`);
  const result = await page.evaluate(async ({ target, name, text }) => {
    const bytes = Uint8Array.from(text, (c) => c.charCodeAt(0));
    const out = {};
    try {
      const form = new FormData();
      form.append('f', new Blob([bytes]), `${name}.form`);
      const res = await fetch(target, { method: 'POST', body: form, headers: { Accept: 'application/json' } });
      out.form = { status: res.status, stored: (await res.json()).filesStored };
    } catch (e) {
      out.form = { error: String(e) };
    }
    out.tus = await new Promise((resolve) => {
      const upload = new tus.Upload(new Blob([bytes]), {
        endpoint: `${target}files/`,
        chunkSize: 256 * 1024,
        retryDelays: [],
        metadata: { filename: `${name}.tus` },
        onError: (e) => resolve({ error: String(e) }),
        onSuccess: () => resolve({ url: upload.url }),
      });
      upload.start();
    });
    return out;
  }, { target: server.href, name, text: bytes.toString('latin1') });
  await context.close();
  return result;
}

test('a page of a listed origin uploads both ways; one of another origin cannot read the answers', async () => {
  const bytes = binaryContent(700 * 1024, 11);
  const listed = await uploadFrom(allowed, 'listed', bytes);
  assert.deepEqual(listed.form, { status: 200, stored: 1 });
  assert.match(listed.tus.url ?? JSON.stringify(listed.tus), /\/files\/[^/]+$/);
  for (const suffix of ['form', 'tus']) {
    assert.ok(readFileSync(join(dir, 'uploads', `listed.${suffix}`)).equals(bytes), `listed.${suffix} differs`);
  }
  const refused = await uploadFrom(other, 'other', bytes);
  assert.match(refused.form.error ?? '', /TypeError/);
  assert.ok(refused.tus.error, 'the resumable upload went through from an origin not listed');
});
