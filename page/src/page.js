// The upload page's script: the plain form (#upload-form) stays the page's
// frame and its fallback; with this script the file input gives way to the
// Dashboard of Uppy, and each chosen file is sent in a request of its own, so
// that each has its own progress, cancel and retry, and its own answer.
// Large files go resumably when the server takes them so (resumable.js).

import Uppy from '@uppy/core';
import Dashboard from '@uppy/dashboard';
import XHRUpload from '@uppy/xhr-upload';
import '@uppy/core/css/style.min.css';
import '@uppy/dashboard/css/style.min.css';
import './page.css';

import { describeAnswer, readAnswer } from './answer.js';
import { humanSize, parseLimits } from './limits.js';
import { ResultList } from './results.js';
import { fetchReport, isResumable, resumableUse, useSideBySide } from './resumable.js';

// The Uppy instance with its Dashboard in #uploader and its uploader.
// `refuse(line)` names a file the page will not take.
function createUppy(page, limits, refuse) {
  const uppy = new Uppy({
    autoProceed: false,
    restrictions: { maxFileSize: limits.maxFileSize },
    // The Dashboard's passing note in the page's words (its own sizes would
    // say "100 KB" beside the page's "100 KiB").
    locale: { strings: { exceedsSize: '%{file} is larger than this server takes' } },
    meta: { note: page.note.value },
    // The count is checked here rather than by Uppy's restriction, which
    // refuses a whole selection without naming the file that is one too many.
    onBeforeFileAdded: (file, files) => {
      if (Object.hasOwn(files, file.id)) return false;
      if (limits.maxFiles !== null && Object.keys(files).length >= limits.maxFiles) {
        refuse(`“${file.name}” was not added: this server takes at most ${limits.maxFiles} files in one upload.`);
        return false;
      }
      return true;
    },
  });
  uppy.use(Dashboard, {
    inline: true,
    target: '#uploader',
    width: '100%',
    height: 340,
    hideUploadButton: true,
    proudlyDisplayPoweredByUppy: false,
    disableThumbnailGenerator: true,
    showProgressDetails: true,
    fileManagerSelectionType: 'files',
  });
  // The endpoint is announced relative to the page, so that it follows the
  // page under whatever path a proxy serves it.
  const announced = page.form.dataset.resumableEndpoint;
  const resumable = announced ? new URL(announced, window.location.href).href : null;
  const multipart = [XHRUpload, {
    endpoint: page.form.action || window.location.href,
    fieldName: 'file',
    allowedMetaFields: ['note'],
    headers: { Accept: 'application/json' },
    limit: 2,
    // The server and the application have deadlines of their own; a retry
    // is the user's choice, never a silent second upload.
    timeout: 0,
    shouldRetry: () => false,
    getResponseData: (xhr) => readAnswer(xhr),
  }, (file) => !isResumable(resumable, file, limits)];
  useSideBySide(uppy, resumable ? [resumableUse(resumable, limits), multipart] : [multipart]);
  return uppy;
}

// "done" once every file sent was stored or accepted, "failed" otherwise.
function settle(page) {
  page.submit.disabled = false;
  const states = [...document.querySelectorAll('#result-files li.file')].map((li) => li.dataset.outcome);
  const failed = states.some((s) => s !== 'stored' && s !== 'cut' && s !== 'accepted by the application');
  page.result.dataset.state = failed ? 'failed' : 'done';
}

// What the user chooses, and what the page will not take.
function followChoices(uppy, page, limits, refuse) {
  uppy.on('file-added', (file) => page.results.add(file));
  // A file taken out before it was sent leaves the list; one taken out while
  // it was sent is listed as cancelled; one already answered (the
  // Dashboard's Done clears it) keeps its entry, the record of what became
  // of it.
  uppy.on('file-removed', (file) => {
    if (!file.progress?.uploadStarted) page.results.remove(file.id);
    else if (!file.progress.uploadComplete && !file.error) page.results.cancelled(file.id);
    setTimeout(() => {
      const running = uppy.getFiles().some((f) => f.progress.uploadStarted && !f.progress.uploadComplete && !f.error);
      if (page.result.dataset.state === 'uploading' && !running) settle(page);
    });
  });
  uppy.on('restriction-failed', (file, error) => {
    // Refusals of onBeforeFileAdded are named there already.
    if (!file || error?.isUserFacing === false) return;
    const tooLarge = limits.maxFileSize !== null && file.size > limits.maxFileSize;
    refuse(tooLarge
      ? `“${file.name}” (${humanSize(file.size)}) is larger than this server takes (${humanSize(limits.maxFileSize)}); it was not added.`
      : `“${file.name}” was not added: ${error.message}`);
  });
}

// Each request's progress and answer, into the result list.
function followUploads(uppy, page) {
  const { results } = page;
  // Reports of resumable uploads still being read: the page settles after.
  const reading = new Set();
  uppy.on('upload-progress', (file, p) => {
    if (file && p.bytesTotal) results.progress(file.id, (100 * p.bytesUploaded) / p.bytesTotal);
  });
  uppy.on('upload-success', async (file, response) => {
    if (!file) return;
    if (!response.uploadURL) {
      results.show(file.id, describeAnswer(response.body, true, page.hasApplication));
      return;
    }
    const read = fetchReport(response.uploadURL);
    reading.add(read);
    const report = await read;
    reading.delete(read);
    results.show(file.id, report
      ? describeAnswer(readAnswer(report), report.status < 300, page.hasApplication)
      : { outcome: 'stored', reason: 'Every byte arrived; the server\'s report could not be read.' });
  });
  uppy.on('upload-error', (file, error, answered) => {
    if (!file) return;
    // A multipart request hands its XMLHttpRequest; a resumable upload, the
    // last one's in a response.
    const request = answered?.body?.xhr ?? answered ?? error?.request;
    const view = request && request.status
      ? describeAnswer(readAnswer(request), false, page.hasApplication)
      : { outcome: 'not stored', reason: 'The connection was lost before an answer came.' };
    results.show(file.id, view);
    // The Dashboard's own note on the file says the same, not "Upload error".
    uppy.setFileState(file.id, { error: view.reason || view.outcome });
  });
  uppy.on('upload-retry', (file) => { if (file) results.retrying(file.id); });
  uppy.on('retry-all', (files) => { for (const f of files) results.retrying(f.id); });
  uppy.on('upload', () => {
    page.refusals.textContent = '';
    page.result.dataset.state = 'uploading';
    page.submit.disabled = true;
  });
  uppy.on('complete', () => Promise.all([...reading]).then(() => settle(page)));
}

function start() {
  const byId = (id) => document.getElementById(id);
  const page = {
    form: byId('upload-form'), note: byId('note'), submit: byId('submit'), result: byId('result'),
    refusals: byId('refusals'), limitsText: byId('limits')?.textContent ?? '',
    results: new ResultList(byId('result-files')),
  };
  // The server says whether an application answers uploads; without one,
  // an answer other than the server's report came from a proxy between.
  page.hasApplication = page.form.dataset.application === 'yes';
  const limits = parseLimits(page.limitsText);
  // Each file the page will not take is named on a line of its own.
  const refuse = (line) => { page.refusals.textContent += (page.refusals.textContent ? '\n' : '') + line; };
  const uppy = createUppy(page, limits, refuse);
  document.body.classList.add('scripted');
  followChoices(uppy, page, limits, refuse);
  followUploads(uppy, page);
  page.note.addEventListener('input', () => uppy.setMeta({ note: page.note.value }));
  page.form.addEventListener('submit', (event) => {
    event.preventDefault();
    uppy.setMeta({ note: page.note.value });
    if (!uppy.getFiles().some((f) => !f.progress.uploadComplete)) {
      refuse('Choose a file first.');
      return;
    }
    uppy.upload().catch(() => settle(page));
  });
}

if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
else start();
