// The upload page of `parcelmoor serve` in a real browser: Debian's headless
// Chromium, driven by playwright-core.
//
// Usage: node tests/browser/upload_page.test.mjs PARCELMOOR_BINARY
//   (or PARCELMOOR_BIN in the environment; CHROMIUM_PATH overrides /usr/bin/chromium,
//   SCREENSHOT_DIR the screenshots' folder, by default browser-screenshots in the build folder)
// Needs `npm ci` in tests/browser and page/, and Debian's chromium: scripts/setup-browser.sh.
//
// Servers on free loopback ports: one with default limits, one with small
// limits, one handing uploads to a tiny application (--forward). The page
// sends three files with a bar each and stores them byte for byte; names a
// file over the limits before any request; cancels a running upload and
// keeps nothing of it; shows a refusal's reason and retries; shows the
// application's accepting and refusing answers as they are; fits a 375 px
// screen with a 184-character name; and works as a plain form without
// scripts. A screenshot of each state is kept.

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import {
  CHOOSE, CHROMIUM_ARGS, SETTLED, assertStored, binaryContent, entries, recordAnswers, recordBars,
  screenshotter, startApplication, startServer, tabTo, throttle,
} from './support.mjs';

const BINARY = process.argv[2] ?? process.env.PARCELMOOR_BIN;
const CHROMIUM = process.env.CHROMIUM_PATH ?? '/usr/bin/chromium';
const ROOT = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
const shoot = screenshotter(process.env.SCREENSHOT_DIR ??
  resolve(dirname(BINARY ?? '.'), '..', 'browser-screenshots'));

// The second server's small limits: at most 3 files (and the note) in one post.
const LIMITS = ['--max-file-size', '100K', '--delete-max-file', '--max-field-size', '1K',
  '--max-request-size', '32M', '--max-parts', '4'];
const servers = {};
let application;
let browser;

// Hard stop for the whole run, whatever hangs.
const watchdog = setTimeout(() => {
  console.error('upload_page.test: gave up after 180 s');
  for (const s of Object.values(servers)) s.process.kill('SIGKILL');
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

function clear(server) {
  for (const name of readdirSync(server.dir)) rmSync(join(server.dir, name), { recursive: true, force: true });
}

before(async () => {
  assert.ok(BINARY, 'pass the parcelmoor binary as the first argument');
  application = await startApplication();
  const setups = { plain: [], limited: LIMITS, forward: ['--forward', application.url] };
  for (const [name, options] of Object.entries(setups)) {
    servers[name] = startServer(BINARY, mkdtempSync(join(tmpdir(), `parcelmoor-browser-${name}-`)), options);
  }
  for (const s of Object.values(servers)) s.href = await s.url;
  browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS, timeout: 30_000 });
});

after(async () => {
  clearTimeout(watchdog);
  await browser?.close();
  application?.close();
  for (const s of Object.values(servers)) {
    if (s.process.exitCode === null && s.process.signalCode === null) s.process.kill('SIGKILL');
    rmSync(s.dir, { recursive: true, force: true });
  }
});

// A fresh page on `server`, with the answers recorded, in a context of its own.
async function openPage(server, contextOptions = {}) {
  const context = await browser.newContext(contextOptions);
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.addInitScript(recordAnswers);
  await page.goto(server.href);
  await page.waitForSelector('#uploader .uppy-Dashboard');
  return { context, page, errors };
}

const answers = (page) => page.evaluate(() => window.__answers.map((a) => ({ status: a.status, json: JSON.parse(a.text) })));

test('three files go side by side, each with a bar of its own, and are stored byte for byte', { timeout: 60_000 },
  async () => {
    clear(servers.plain);
    const files = [
      { name: 'crlf dashes.bin', mimeType: 'application/octet-stream', buffer: binaryContent(3 * 1024 * 1024 + 17, 7) },
      { name: 'small.dat', mimeType: 'application/octet-stream', buffer: binaryContent(70_001, 11) },
      { name: 'two  spaces.txt', mimeType: 'text/plain', buffer: binaryContent(1_500_000, 13) },
    ];
    const { context, page, errors } = await openPage(servers.plain);
    try {
      await page.addInitScript(recordBars);
      await page.reload();
      await throttle(context, page, 2 * 1024 * 1024);
      let navigations = 0;
      page.on('framenavigated', (frame) => { if (frame === page.mainFrame()) navigations++; });
      await page.fill('#note', 'from <Chromium> & co');
      await page.setInputFiles(CHOOSE, files);
      // Listed with their sizes before anything is sent.
      assert.deepEqual((await entries(page)).map((e) => [e.name, e.bytes, e.outcome]),
        files.map((f) => [f.name, String(f.buffer.length), 'waiting']));
      await shoot(page, '1-three-files-chosen');
      await page.click('#submit');
      await page.waitForFunction(() => document.querySelectorAll('#result-files li[data-state="uploading"]').length >= 2);
      await shoot(page, '2-three-files-sending');
      await page.waitForSelector(SETTLED, { timeout: 45_000 });
      await shoot(page, '3-three-files-stored');
      assert.equal(await page.getAttribute('#result', 'data-state'), 'done', await page.innerText('#result'));
      assert.equal(navigations, 0, 'the page navigated away');
      assert.equal(await page.locator('#result-files progress.file-progress').count(), 3);
      const shown = await entries(page);
      assert.deepEqual(shown.map((e) => [e.name, e.bytes, e.outcome, e.reason, e.detail]),
        files.map((f) => [f.name, String(f.buffer.length), 'stored', '', null]));
      // The two larger files' bars went through their middle values, and
      // every bar only ever moved forward, ending full.
      const bars = await page.evaluate(() => window.__bars);
      for (const f of [files[0], files[2]]) {
        assert.ok(bars[f.name].some((v) => v > 0 && v < 100), `${f.name}: ${bars[f.name]}`);
      }
      for (const f of files) {
        for (let i = 1; i < bars[f.name].length; i++) assert.ok(bars[f.name][i] >= bars[f.name][i - 1], f.name);
      }
      // One request a file, each carrying the note beside it.
      const sent = await answers(page);
      assert.equal(sent.length, 3);
      for (const a of sent) {
        assert.equal(a.status, 200);
        assert.deepEqual(a.json.form.map((i) => [i.name, i.values[0]]).slice(0, 1), [['note', 'from <Chromium> & co']]);
      }
      assertStored(files, servers.plain.dir);
      assert.deepEqual(errors, []);
    } finally {
      await context.close();
    }
  });

test('a file over the stated limits is named before any request is sent', { timeout: 60_000 }, async () => {
  const cases = [
    { what: 'over the size limit', files: [{ name: 'over  the limit.bin', size: 150_000 }],
      refused: 'over  the limit.bin', says: /\(146\.5 KiB\) is larger than this server takes \(100 KiB\); it was not added/ },
    { what: 'one file more than the count', files: [1, 2, 3, 4].map((i) => ({ name: `f${i}.txt`, size: 10 })),
      refused: 'f4.txt', says: /was not added: this server takes at most 3 files in one upload/ },
  ];
  for (const c of cases) {
    const { context, page } = await openPage(servers.limited);
    try {
      const posts = [];
      page.on('request', (r) => { if (r.method() === 'POST') posts.push(r.url()); });
      await page.setInputFiles(CHOOSE, c.files.map((f) => ({ name: f.name, mimeType: 'application/octet-stream',
        buffer: Buffer.alloc(f.size) })));
      const refusal = await page.textContent('#refusals');
      assert.ok(refusal.includes(`“${c.refused}”`), `${c.what}: ${refusal}`);
      assert.match(refusal, c.says, c.what);
      assert.ok(!(await entries(page)).some((e) => e.name === c.refused), c.what);
      await shoot(page, `4-refused-before-sending-${c.what.replaceAll(' ', '-')}`);
      assert.deepEqual(posts, [], c.what);
    } finally {
      await context.close();
    }
  }
});

test('uploads cancelled while they run keep nothing: one file (the other goes on), or all', { timeout: 90_000 },
  async () => {
    const cases = [
      { cancel: 'one', click: (page) => page.locator('.uppy-Dashboard-Item', { hasText: 'running.bin' })
        .locator('.uppy-Dashboard-Item-action--remove').click(),
      expect: [['running.bin', 'cancelled'], ['kept.bin', 'stored']] },
      { cancel: 'all', click: (page) => page.getByRole('button', { name: 'Cancel', exact: true }).first().click(),
        expect: [['running.bin', 'cancelled'], ['kept.bin', 'cancelled']] },
    ];
    for (const c of cases) {
      clear(servers.plain);
      // kept.bin is large enough to be still running when all are cancelled,
      // and small enough to be stored soon when only the other one is.
      const kept = { name: 'kept.bin', mimeType: 'application/octet-stream', buffer: binaryContent(600_000, 41) };
      const { context, page } = await openPage(servers.plain);
      try {
        await throttle(context, page, 256 * 1024);
        await page.setInputFiles(CHOOSE, [
          { name: 'running.bin', mimeType: 'application/octet-stream', buffer: binaryContent(8 << 20, 43) }, kept]);
        await page.click('#submit');
        await page.waitForFunction(() => [...document.querySelectorAll('#result-files li.file')]
          .some((li) => li.querySelector('.file-name').textContent === 'running.bin' && li.querySelector('progress').value > 2));
        await c.click(page);
        await page.waitForSelector(SETTLED, { timeout: 45_000 });
        await shoot(page, `5-cancelled-${c.cancel}`);
        assert.deepEqual((await entries(page)).map((e) => [e.name, e.outcome]), c.expect, c.cancel);
        // The server notices the lost requests and removes what had come.
        const want = c.cancel === 'one' ? [kept] : [];
        const deadline = Date.now() + 10_000;
        while (readdirSync(servers.plain.dir).filter((n) => !n.startsWith('.')).length > want.length &&
               Date.now() < deadline) {
          await new Promise((r) => setTimeout(r, 100));
        }
        assertStored(want, servers.plain.dir);
      } finally {
        await context.close();
      }
    }
  });

test('a refused upload shows the plain reason, no component notice, and is stored on retry',
  { timeout: 60_000 }, async () => {
    clear(servers.limited);
    const file = { name: 'small.bin', mimeType: 'application/octet-stream', buffer: binaryContent(50_000, 37) };
    const { context, page } = await openPage(servers.limited);
    try {
      await page.fill('#note', 'n'.repeat(2000));
      await page.setInputFiles(CHOOSE, [file]);
      await page.click('#submit');
      await page.waitForSelector(SETTLED, { timeout: 45_000 });
      await shoot(page, '6-refused-by-the-server');
      const [answer] = await answers(page);
      assert.equal(answer.status, 413);
      const [shown] = await entries(page);
      assert.equal(await page.getAttribute('#result', 'data-state'), 'failed');
      // The note comes before the file, so the upload stopped before it.
      assert.deepEqual(answer.json.files, []);
      assert.equal(shown.outcome, 'not stored');
      assert.equal(shown.reason, answer.json.reason);
      assert.match(shown.reason, /text field/);
      // The component's notice is for scripts (store --json): plain words here.
      assert.ok(!shown.reason.includes('Error'), shown.reason);
      assert.equal(answer.json.response, undefined);
      assert.ok(!/MaxFieldSize|occured/.test(shown.detail ?? ''), shown.detail);
      assert.deepEqual(readdirSync(servers.limited.dir).filter((n) => !n.startsWith('.')), []);
      // With a shorter note the same file goes again and is stored.
      await page.fill('#note', 'short');
      await page.locator('.uppy-StatusBar-actionBtn--retry').click();
      await page.waitForFunction(() => document.querySelector('#result-files li.file')?.dataset.outcome === 'stored');
      assertStored([file], servers.limited.dir);
    } finally {
      await context.close();
    }
  });

test('with --forward the application\'s answers are shown as they are, accepting and refusing', { timeout: 60_000 },
  async () => {
    const { context, page, errors } = await openPage(servers.forward);
    try {
      await page.setInputFiles(CHOOSE, ['keep me.txt', 'refuse me.txt'].map((name) =>
        ({ name, mimeType: 'text/plain', buffer: Buffer.from(`${name}\r\n`) })));
      await page.click('#submit');
      await page.waitForSelector(SETTLED, { timeout: 45_000 });
      const shown = await entries(page);
      const byName = Object.fromEntries(shown.map((e) => [e.name, e]));
      assert.deepEqual([byName['keep me.txt'].outcome, byName['keep me.txt'].answer.status],
        ['accepted by the application', 'The application answered 200 OK.']);
      assert.deepEqual(JSON.parse(byName['keep me.txt'].answer.text), { kept: 'keep me.txt', note: 'thank you' });
      const refused = byName['refuse me.txt'];
      assert.deepEqual([refused.outcome, refused.reason, refused.answer.status],
        ['refused by the application', 'The application refused it, so the server did not keep it.',
          'The application answered 403 Forbidden.']);
      assert.equal(refused.answer.frame.sandbox, '');
      assert.match(refused.answer.frame.html, /<h1>Not for us<\/h1>/);
      const frame = page.frames().find((f) => f !== page.mainFrame());
      assert.equal((await frame.textContent('h1')), 'Not for us');
      await shoot(page, '7-application-answers');
      assert.notEqual(await page.title(), 'script ran');
      assert.ok(!(await page.innerText('#result')).includes('Upload failed'));
      assert.deepEqual(readdirSync(servers.forward.dir).filter((n) => !n.startsWith('.')), ['keep me.txt']);
      assert.deepEqual(errors, []);
    } finally {
      await context.close();
    }
  });

test('on a 375 px screen, by keyboard alone, a 184-character name wraps, exactly as given, with no sideways scroll', { timeout: 60_000 },
  async () => {
    clear(servers.plain);
    const name = `${'long  name '.repeat(16)}end-of-it.txt`.slice(0, 184);
    assert.equal(name.length, 184);
    const { context, page } = await openPage(servers.plain, { viewport: { width: 375, height: 740 } });
    try {
      // By keyboard alone: Tab to the Dashboard's "browse files", Enter opens
      // the file chooser; Tab on to Upload, Enter sends.
      // Waiting starts first: the browser's chooser is intercepted only once
      // Playwright has asked for it, which a quick key press can outrun.
      const chosen = page.waitForEvent('filechooser');
      await tabTo(page, () => document.activeElement?.tagName === 'BUTTON' && /browse/i.test(document.activeElement.textContent));
      await page.keyboard.press('Enter');
      const chooser = await chosen;
      await chooser.setFiles([{ name, mimeType: 'text/plain', buffer: Buffer.from('x') }]);
      await tabTo(page, () => document.activeElement?.id === 'submit');
      await page.keyboard.press('Enter');
      await page.waitForSelector(SETTLED, { timeout: 45_000 });
      await shoot(page, '8-narrow-screen-long-name');
      const [shown] = await entries(page);
      assert.deepEqual([shown.name, shown.outcome], [name, 'stored']);
      const width = await page.evaluate(() => document.scrollingElement.scrollWidth);
      assert.ok(width <= 375, `the page is ${width} px wide`);
    } finally {
      await context.close();
    }
  });

test('without scripts the page is a plain form post that stores every file under its name', { timeout: 60_000 },
  async () => {
    clear(servers.plain);
    // Names as browsers send them unchanged: a ';' inside the quoted file
    // name, UTF-8, a space.
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
      await page.goto(servers.plain.href);
      await shoot(page, '9-no-script-form');
      await page.fill('#note', 'no script');
      await page.setInputFiles('#files', files);
      const [response] = await Promise.all([
        page.waitForResponse((r) => r.request().method() === 'POST', { timeout: 45_000 }),
        page.click('#submit'),
      ]);
      assert.equal(response.status(), 200);
      await page.waitForSelector('#upload-result', { timeout: 15_000 });
      await shoot(page, '10-no-script-result');
      const text = await page.textContent('#upload-result');
      assert.match(text, /no script/);
      for (const f of files) assert.ok(text.includes(f.name), `${f.name} missing from the result`);
      assertStored(files, servers.plain.dir);
    } finally {
      await context.close();
    }
  });

test('the page states its server\'s limits, and its script and style are current and kept for good',
  { timeout: 60_000 }, async () => {
    const cases = [
      { server: 'plain', text: 'Limits: files of any size; text fields up to 1 MiB; at most 10000 fields and files.' },
      { server: 'limited', text: 'Limits: files up to 100 KiB (larger ones are refused); text fields up to 1 KiB; ' +
          'at most 4 fields and files; at most 32 MiB in all.' },
    ];
    const page = await browser.newPage();
    try {
      for (const c of cases) {
        await page.goto(servers[c.server].href);
        assert.ok(await page.isVisible('#limits'));
        assert.equal((await page.textContent('#limits')).trim(), c.text);
      }
      const assets = await page.$$eval('script[src], link[rel=stylesheet]', (es) => es.map((e) => e.src || e.href));
      assert.equal(assets.length, 2);
      for (const asset of assets) {
        assert.match(new URL(asset).pathname, /^\/assets\/[0-9a-f]{16}\/page\.(js|css)$/);
        const built = readFileSync(join(ROOT, 'page/dist', asset.slice(asset.lastIndexOf('/') + 1)));
        for (const encoding of ['gzip', 'identity']) {
          const response = await page.request.get(asset, { headers: { 'accept-encoding': encoding } });
          assert.equal(response.status(), 200);
          assert.equal(response.headers()['cache-control'], 'public, max-age=31536000, immutable');
          assert.equal(response.headers()['content-encoding'], encoding === 'gzip' ? 'gzip' : undefined);
          assert.ok((await response.body()).equals(built), `${asset} (${encoding}) is not page/dist's`);
        }
        // An earlier version's address is no asset.
        const stale = new URL(asset);
        stale.pathname = stale.pathname.replace(/[0-9a-f]{16}/, '0'.repeat(16));
        assert.equal((await page.request.get(stale.href)).status(), 404);
      }
    } finally {
      await page.close();
    }
    // The bundle compiled in is the one page/src and the lock file make.
    execFileSync(process.execPath, [join(ROOT, 'page/build.mjs'), '--check'], { stdio: 'inherit' });
  });

test('the server stops on SIGTERM', { timeout: 20_000 }, async () => {
  const server = servers.plain;
  server.process.kill('SIGTERM');
  let timer;
  const outcome = await Promise.race([
    server.exited,
    new Promise((r) => { timer = setTimeout(() => r('timeout'), 15_000); }),
  ]);
  clearTimeout(timer);
  assert.notEqual(outcome, 'timeout', 'still running 15 s after SIGTERM');
  assert.equal(outcome.code, 0, server.log());
});
