// The Node peer: http + busboy, each file part streamed to its file in DIR;
// the answer once every file is written.
// Usage: node server.js PORT DIR
'use strict';
const http = require('http');
const fs = require('fs');
const path = require('path');
const busboy = require('busboy');

const [port, dir] = process.argv.slice(2);

http.createServer((req, res) => {
  const bb = busboy({ headers: req.headers, limits: { files: Infinity, parts: Infinity } });
  const writes = [];
  let failed = null;
  bb.on('file', (name, file, info) => {
    const out = fs.createWriteStream(path.join(dir, path.basename(info.filename)));
    writes.push(new Promise((resolve, reject) => { out.on('finish', resolve); out.on('error', reject); }));
    file.pipe(out);
  });
  bb.on('error', (e) => { failed = e; });
  bb.on('close', () => {
    Promise.all(writes).then(() => {
      res.writeHead(failed ? 400 : 200, { 'Content-Type': 'text/plain' });
      res.end(failed ? String(failed) : 'ok');
    }, (e) => { res.writeHead(500); res.end(String(e)); });
  });
  req.pipe(bb);
}).listen(Number(port), '127.0.0.1');
