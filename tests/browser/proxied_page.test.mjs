// The upload page behind nginx under a path prefix (location /up/), as
// people deploy it: its assets, its multipart posts and its resumable
// uploads all go under the prefix; the page breaks no rule of the server's
// Content-Security-Policy; and when the proxy itself answers (a body over
// its own limit) the page says so rather than blaming an application.
//
// Usage: node tests/browser/proxied_page.test.mjs PARCELMOOR_BINARY
//   (CHROMIUM_PATH overrides /usr/bin/chromium; NGINX_PATH /usr/sbin/nginx)

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { CHOOSE, CHROMIUM_ARGS, SETTLED, assertStored, binaryContent, entries, startServer } from './support.mjs';

const BINARY = process.argv[2] ?? process.env.PARCELMOOR_BIN;
const CHROMIUM = process.env.CHROMIUM_PATH ?? '/usr/bin/chromium';
const NGINX = process.env.NGINX_PATH ?? '/usr/sbin/nginx';

const work = mkdtempSync(join(tmpdir(), 'parcelmoor-browser-proxied-'));
let browser;
let server;
let nginx;
const watchdog = setTimeout(() => {
  console.error('proxied_page.test: gave up after 150 s');
  server?.process.kill('SIGKILL');
  nginx?.kill('SIGKILL');
  process.exit(1);
}, 150_000);
watchdog.unref();

const { chromium } = await import('playwright-core');

function freePort() {
  return new Promise((resolve) => {
    const probe = createServer();
    probe.listen(0, '127.0.0.1', () => { const { port } = probe.address(); probe.close(() => resolve(port)); });
  });
}

// /up/ passes everything through unbuffered; /small/ is the same server
// behind a proxy that takes bodies of 64 KiB at most.
function nginxConfig(port, upstream) {
  const location = (path, limit) => `
    location ${path} {
      proxy_pass http://${upstream}/;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_request_buffering off;
      proxy_buffering off;
      client_max_body_size ${limit};
    }`;
  return `daemon off; master_process off; worker_processes 1; pid ${work}/nginx.pid;
error_log ${work}/nginx-error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path ${work}/body; proxy_temp_path ${work}/proxy;
  fastcgi_temp_path ${work}/fcgi; uwsgi_temp_path ${work}/uwsgi; scgi_temp_path ${work}/scgi;
  server {
    listen 127.0.0.1:${port};
    ${location('/up/', '0')}
    ${location('/small/', '64k')}
  }
}
`;
}

async function startNginx(upstream) {
  const port = await freePort();
  writeFileSync(join(work, 'nginx.conf'), nginxConfig(port, upstream));
  nginx = spawn(NGINX, ['-c', join(work, 'nginx.conf'), '-p', work], { stdio: 'ignore' });
  const base = `http://127.0.0.1:${port}`;
  for (let i = 0; i < 100; i++) {
    try {
      if ((await fetch(`${base}/up/`)).status === 200) return base;
    } catch { /* not listening yet */ }
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error('nginx did not come up');
}

before(async () => {
  assert.ok(BINARY, 'pass the parcelmoor binary as the first argument');
  if (!existsSync(NGINX)) return;
  mkdirSync(join(work, 'uploads'));
  server = startServer(BINARY, join(work, 'uploads'));
  const upstream = new URL(await server.url).host;
  server.base = await startNginx(upstream);
  browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS, timeout: 30_000 });
});

after(async () => {
  clearTimeout(watchdog);
  await browser?.close();
  nginx?.kill('SIGTERM');
  server?.process.kill('SIGTERM');
  await server?.exited;
  rmSync(work, { recursive: true, force: true });
});

// Opens `path` under the proxy; `problems` collects page errors and every
// console error (a Content-Security-Policy violation is one).
async function openPage(path) {
  const context = await browser.newContext();
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') problems.push(m.text()); });
  const sent = [];
  page.on('request', (r) => sent.push(`${r.method()} ${new URL(r.url()).pathname}`));
  await page.goto(`${server.base}${path}`);
  await page.waitForSelector('#uploader .uppy-Dashboard');
  return { context, page, problems, sent };
}

test('behind a path prefix a large and a small file are stored, all requests under the prefix', { timeout: 100_000 },
  async (t) => {
    if (!browser) return t.skip('nginx is not installed');
    const files = [
      { name: 'large.bin', mimeType: 'application/octet-stream', buffer: binaryContent(20 << 20, 31) },
      { name: 'small.txt', mimeType: 'text/plain', buffer: Buffer.from('a small file\n') },
    ];
    const { context, page, problems, sent } = await openPage('/up/');
    try {
      await page.setInputFiles(CHOOSE, files);
      await page.click('#submit');
      await page.waitForSelector(SETTLED, { timeout: 90_000 });
      assert.equal(await page.getAttribute('#result', 'data-state'), 'done', await page.innerText('#result'));
      const shown = await entries(page);
      assert.deepEqual(shown.map((e) => [e.name, e.outcome]).sort(), [['large.bin', 'stored'], ['small.txt', 'stored']]);
      assertStored(files, join(work, 'uploads'));
      // The large file went resumably, the small one as a post, all under /up/.
      assert.ok(sent.some((s) => s === 'POST /up/files/'), sent.join(', '));
      assert.ok(sent.some((s) => /^PATCH \/up\/files\/[0-9a-f]{32}$/.test(s)), sent.join(', '));
      assert.ok(sent.some((s) => s === 'POST /up/'), sent.join(', '));
      assert.deepEqual(sent.filter((s) => !s.includes(' /up/')), []);
      assert.deepEqual(problems, []);
    } finally {
      await context.close();
    }
  });

test('an answer of the proxy is told as the proxy\'s, not as an application\'s refusal', { timeout: 60_000 },
  async (t) => {
    if (!browser) return t.skip('nginx is not installed');
    const file = { name: 'over the proxy limit.bin', mimeType: 'application/octet-stream', buffer: binaryContent(200_000, 7) };
    const { context, page } = await openPage('/small/');
    try {
      await page.setInputFiles(CHOOSE, [file]);
      await page.click('#submit');
      await page.waitForSelector(SETTLED, { timeout: 45_000 });
      const [shown] = await entries(page);
      assert.equal(shown.outcome, 'not stored');
      assert.match(shown.reason, /413 .*did not come from the upload server/);
      assert.equal(shown.answer, null);
    } finally {
      await context.close();
    }
  });
