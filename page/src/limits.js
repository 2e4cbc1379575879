// The limits the server states on the page (#limits, written by the server
// into the page it serves), read back into numbers so that the page refuses
// what the server would refuse before any byte is sent. The sentence is the
// server's only statement of them; the browser test pins its form.

const UNITS = { bytes: 1, KiB: 1024, MiB: 1024 ** 2, GiB: 1024 ** 3, TiB: 1024 ** 4 };
const SIZE = '(\\d+) (bytes|KiB|MiB|GiB|TiB)';

function sizeAfter(text, prefix, suffix = '') {
  const m = new RegExp(prefix + SIZE + suffix).exec(text);
  return m ? Number(m[1]) * UNITS[m[2]] : null;
}

// Room a request needs besides the file's bytes: the boundaries, the part
// headers with the file's name, and the note.
export const REQUEST_OVERHEAD = 4096;

// { maxFileSize, maxFiles, cutAt } (null: no limit) from "Limits: files up
// to 100 KiB (larger ones are refused); text fields up to 1 KiB; at most 3
// fields and files; at most 32 MiB in all." A server that cuts larger files
// at the limit ("larger ones are cut at that size") takes them: the page
// refuses only what the request limit refuses, and says where a file will
// be cut (cutAt).
export function parseLimits(text) {
  const stated = sizeAfter(text, 'files up to ');
  const cuts = /larger ones are cut/.test(text);
  const fileLimit = cuts ? null : stated;
  const requestLimit = sizeAfter(text, 'at most ', ' in all');
  const parts = /at most (\d+) fields and files/.exec(text);
  const bounds = [fileLimit, requestLimit === null ? null : requestLimit - REQUEST_OVERHEAD]
    .filter((n) => n !== null);
  return {
    maxFileSize: bounds.length ? Math.max(0, Math.min(...bounds)) : null,
    // The note is one of the parts of the plain form's post.
    maxFiles: parts && Number(parts[1]) > 0 ? Math.max(1, Number(parts[1]) - 1) : null,
    cutAt: cuts ? stated : null,
  };
}

// 52311 -> "51.1 KiB", 102400 -> "100 KiB"
export function humanSize(bytes) {
  const units = ['bytes', 'KiB', 'MiB', 'GiB', 'TiB'];
  let value = Number(bytes);
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) { value /= 1024; unit++; }
  if (unit === 0) return `${value} bytes`;
  // A limit of 100 KiB reads as the server states it, not "100.0 KiB".
  return `${Number.isInteger(value) ? value : value.toFixed(value < 10 ? 2 : 1)} ${units[unit]}`;
}
