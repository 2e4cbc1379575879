// The one result list: an entry per chosen file, listed with its size before
// sending, then its own progress bar, then its outcome and reason. Names are
// shown exactly (text nodes, spaces kept by the style); a field the answer
// leaves empty stays empty.

import { humanSize } from './limits.js';

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}

// The application's answer as it is: HTML in a frame that may run nothing
// and reach nothing, anything else as text.
function applicationAnswer(app) {
  const box = element('div', 'application-answer');
  box.append(element('p', 'application-status', `The application answered ${app.status}.`));
  if (/^text\/html\b/i.test(app.type)) {
    const frame = element('iframe', 'application-frame');
    frame.setAttribute('sandbox', '');
    frame.title = `The application's answer (${app.status})`;
    frame.srcdoc = app.text;
    box.append(frame);
  } else {
    box.append(element('pre', 'application-text', app.text));
  }
  return box;
}

export class ResultList {
  constructor(list) {
    this.list = list;
    this.entries = new Map();
  }

  add(file) {
    const li = element('li', 'file');
    li.dataset.state = 'waiting';
    const name = element('span', 'file-name', file.name);
    const size = element('span', 'size', humanSize(file.size));
    size.dataset.bytes = String(file.size);
    const progress = element('progress', 'file-progress');
    progress.max = 100;
    progress.value = 0;
    progress.setAttribute('aria-label', `Upload of ${file.name}`);
    const outcome = element('span', 'outcome', 'waiting');
    const reason = element('p', 'reason');
    const line = element('p', 'file-line');
    line.append(size, outcome);
    li.append(name, line, progress, reason);
    this.list.append(li);
    this.entries.set(file.id, { li, progress, outcome, reason });
  }

  remove(id) {
    this.entries.get(id)?.li.remove();
    this.entries.delete(id);
  }

  // A file taken out of the page while it was being sent: its entry stays
  // and says so, so the list tells what became of every file.
  cancelled(id) {
    const e = this.entries.get(id);
    if (!e || e.li.dataset.state === 'settled') return;
    this.settle(e, 'cancelled', 'Cancelled while it was being sent.');
  }

  progress(id, percent) {
    const e = this.entries.get(id);
    if (!e) return;
    // The bar moves; the text changes once, so a screen reader hears
    // "sending" and then the outcome, not every percent.
    if (e.li.dataset.state !== 'uploading') e.outcome.textContent = 'sending';
    e.li.dataset.state = 'uploading';
    e.progress.value = Math.max(0, Math.min(100, Math.round(percent)));
  }

  settle(e, outcome, reason) {
    e.li.dataset.state = 'settled';
    e.li.dataset.outcome = outcome;
    e.outcome.textContent = outcome;
    e.reason.textContent = reason || '';
    e.li.querySelector('.detail, .application-answer')?.remove();
  }

  // `view` from describeAnswer, or { outcome, reason } for a lost connection.
  show(id, view) {
    const e = this.entries.get(id);
    if (!e) return;
    if (view.outcome === 'stored') e.progress.value = 100;
    this.settle(e, view.outcome, view.reason);
    if (view.application) e.li.append(applicationAnswer(view.application));
    if (view.details?.length) {
      const details = element('details', 'detail');
      details.append(element('summary', null, 'Details for scripts'));
      for (const line of view.details) details.append(element('p', 'notice', line));
      e.li.append(details);
    }
  }

  retrying(id) {
    const e = this.entries.get(id);
    if (!e) return;
    this.settle(e, 'waiting', '');
    e.li.dataset.state = 'waiting';
    delete e.li.dataset.outcome;
    e.progress.value = 0;
  }
}
