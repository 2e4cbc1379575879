// What the browser test of the upload page shares: servers on loopback, a
// tiny application for `serve --forward`, file contents that are hard for a
// multipart parser, and the page's own controls (Uppy's Dashboard).

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync, readdirSync, readFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { join } from 'node:path';

// Without the networking flags Chromium keeps trying to reach outside hosts,
// which this machine refuses.
export const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// Deterministic bytes (xorshift32) with every hard case for a multipart parser.
export function binaryContent(size, seed) {
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

// `port` 0: a free one (its URL tells which).
export function startServer(binary, dir, options = [], port = 0) {
  const child = spawn(binary, ['serve', '--bind', '127.0.0.1', '--port', String(port), '--dir', dir, ...options],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  let log = '';
  child.stderr.on('data', (d) => { log += d; });
  const url = new Promise((resolve, reject) => {
    let out = '';
    const timer = setTimeout(() => reject(new Error(`no URL within 20 s; stderr: ${log}`)), 20_000);
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/http:\/\/\S+/);
      if (m) { clearTimeout(timer); resolve(new URL(m[0]).href); }
    });
    child.on('exit', (code) => { clearTimeout(timer); reject(new Error(`serve exited ${code}: ${log}`)); });
  });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  return { process: child, url, exited, dir, log: () => log };
}

// An application on 127.0.0.1 for `serve --forward`: it accepts a file
// whose name has no "refuse" in it with JSON, and refuses the others with a
// page of HTML whose script must never run in the uploading page.
export async function startApplication() {
  const app = createServer((req, res) => {
    let body = '';
    req.setEncoding('utf8');
    req.on('data', (d) => { body += d; });
    req.on('end', () => {
      const name = JSON.parse(body).files?.[0]?.fileName ?? '';
      if (name.includes('refuse')) {
        res.writeHead(403, { 'Content-Type': 'text/html; charset=utf-8' });
        res.end('<h1>Not for us</h1><p>We take no files named like that.</p>' +
          '<script>parent.document.title = "script ran"</script>');
      } else {
        res.writeHead(200, { 'Content-Type': 'application/json' });
        res.end(JSON.stringify({ kept: name, note: 'thank you' }));
      }
    });
  });
  await new Promise((resolve) => app.listen(0, '127.0.0.1', resolve));
  return { url: `http://127.0.0.1:${app.address().port}/uploaded`, close: () => app.close() };
}

export function assertStored(files, into) {
  assert.deepEqual(readdirSync(into).filter((n) => !n.startsWith('.')).sort(), files.map((f) => f.name).sort());
  for (const f of files) {
    const stored = readFileSync(join(into, f.name));
    assert.equal(stored.length, f.buffer.length, `${f.name}: size`);
    assert.ok(stored.equals(f.buffer), `${f.name}: stored bytes differ`);
  }
}

// Screenshots of each state, kept as the test's artifacts.
export function screenshotter(dir) {
  mkdirSync(dir, { recursive: true });
  console.log(`upload_page.test: screenshots in ${dir}`);
  return (page, name) => page.screenshot({ path: join(dir, `${name}.png`), fullPage: true });
}

// The Dashboard's file input (its first: files, not folders).
export const CHOOSE = '#uploader input.uppy-Dashboard-input[type=file]';
export const SETTLED = '#result[data-state="done"], #result[data-state="failed"]';

// Each entry of the result list as the user reads it.
export function entries(page) {
  return page.$$eval('#result-files li.file', (lis) => lis.map((li) => ({
    name: li.querySelector('.file-name').textContent,
    bytes: li.querySelector('.size').dataset.bytes,
    outcome: li.dataset.outcome ?? li.querySelector('.outcome').textContent,
    reason: li.querySelector('.reason').textContent,
    detail: li.querySelector('details.detail')?.textContent ?? null,
    answer: li.querySelector('.application-answer') ? {
      status: li.querySelector('.application-status').textContent,
      text: li.querySelector('.application-text')?.textContent ?? null,
      frame: li.querySelector('iframe.application-frame') ? {
        sandbox: li.querySelector('iframe.application-frame').getAttribute('sandbox'),
        html: li.querySelector('iframe.application-frame').srcdoc,
      } : null,
    } : null,
  })));
}

// Keeps each upload answer's status and text in window.__answers.
export function recordAnswers() {
  window.__answers = [];
  const send = XMLHttpRequest.prototype.send;
  XMLHttpRequest.prototype.send = function (body) {
    this.addEventListener('load', () => { window.__answers.push({ status: this.status, text: this.responseText }); });
    return send.call(this, body);
  };
}

// Notes every value each file's bar shows, by file name, in window.__bars.
export function recordBars() {
  window.__bars = {};
  const look = () => {
    for (const li of document.querySelectorAll('#result-files li.file')) {
      const name = li.querySelector('.file-name').textContent;
      (window.__bars[name] ??= []).push(li.querySelector('progress.file-progress').value);
    }
    requestAnimationFrame(look);
  };
  requestAnimationFrame(look);
}

// Slows the page's uploads to `bytesPerSecond`, so bars pass through their
// middle values and a cancel finds its upload running.
export async function throttle(context, page, bytesPerSecond) {
  const cdp = await context.newCDPSession(page);
  await cdp.send('Network.enable');
  await cdp.send('Network.emulateNetworkConditions',
    { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: bytesPerSecond });
}

// Presses Tab until `reached` (run in the page) holds, a dozen times at most.
export async function tabTo(page, reached) {
  for (let i = 0; i < 12 && !(await page.evaluate(reached)); i++) await page.keyboard.press('Tab');
  assert.ok(await page.evaluate(reached), `not reached by Tab: ${reached}`);
}
