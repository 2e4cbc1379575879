// Bundles the page's script and style into dist/page.js and dist/page.css,
// the files the build compiles into the binary (src/CMakeLists.txt). Run
// `npm ci && npm run build` here after changing src/ or the lock file, and
// commit dist/: the server's build needs neither Node.js nor the network.
// The output depends only on src/ and the locked packages, so the browser
// test can check that dist/ is current (`node build.mjs --check`).
import { build } from 'esbuild';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const check = process.argv.includes('--check');
const outdir = check ? mkdtempSync(join(tmpdir(), 'parcelmoor-page-')) : join(here, 'dist');

await build({
  entryPoints: { page: join(here, 'src/page.js') },
  bundle: true,
  minify: true,
  format: 'iife',
  target: ['es2020'],
  outdir,
  legalComments: 'eof',
  banner: { js: '/* parcelmoor upload page; bundles Uppy, Preact and their dependencies (MIT), see page/package-lock.json */' },
  logLevel: 'warning',
});

if (check) {
  const stale = ['page.js', 'page.css'].filter((name) =>
    !readFileSync(join(outdir, name)).equals(readFileSync(join(here, 'dist', name))));
  rmSync(outdir, { recursive: true, force: true });
  if (stale.length) {
    console.error(`page/dist is not current (${stale.join(', ')}): run npm run build in page/ and commit dist/`);
    process.exit(1);
  }
}
