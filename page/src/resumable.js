// Large files go through the server's resumable endpoint (tus) when the page
// names one, so that a dropped connection costs at most the chunk in flight
// and a file chosen again after a reload goes on from where it stopped. The
// other files stay one multipart request each, with the note beside them.

import Tus from '@uppy/tus';

// From this size on a file is sent resumably: below it a retry from the
// start costs less than the resumable upload's extra requests.
export const RESUMABLE_FROM = 8 * 1024 * 1024;
// The bytes of one PATCH: what a dropped connection can cost.
const CHUNK_BYTES = 8 * 1024 * 1024;

// Uppy hands every file to every uploader, one uploader after the other.
// This installs each plugin of `uses` ([Plugin, options, takes]) so that its
// uploader is handed only the files its `takes` accepts, and runs them side
// by side: a small file does not wait for a large one. (The page never
// removes an uploader, so the wrapped ones need no way back.)
export function useSideBySide(uppy, uses) {
  const addUploader = uppy.addUploader;
  const uploaders = [];
  try {
    for (const [Plugin, options, takes] of uses) {
      uppy.addUploader = (upload) => uploaders.push({ upload, takes });
      uppy.use(Plugin, options);
    }
  } finally {
    uppy.addUploader = addUploader;
  }
  uppy.addUploader((fileIDs) => Promise.all(uploaders.map(({ upload, takes }) =>
    upload(fileIDs.filter((id) => takes(uppy.getFile(id)))))));
}

// A file the server cuts at its limit (limits.cutAt) goes as one multipart
// request, where the cut is made: a resumable upload is taken whole or not.
export function isResumable(endpoint, file, limits) {
  const cut = limits?.cutAt != null && file.size > limits.cutAt;
  return Boolean(endpoint) && file.size >= RESUMABLE_FROM && !cut;
}

// [Plugin, options, takes] for the resumable uploads through `endpoint`.
export function resumableUse(endpoint, limits) {
  return [Tus, {
    endpoint,
    chunkSize: CHUNK_BYTES,
    limit: 2,
    // A dropped connection or a restarting server is waited out a while
    // before the file is shown as failed (then Retry goes on from there).
    retryDelays: [500, 1000, 2000, 4000, 8000],
    allowedMetaFields: ['name', 'type', 'note'],
    // A file stored is not offered for resuming again.
    removeFingerprintOnSuccess: true,
  }, (file) => isResumable(endpoint, file, limits)];
}

// After its last byte, the upload's report (the same as a multipart
// upload's answer, for its one file) is read at its own address.
export async function fetchReport(uploadURL) {
  try {
    const response = await fetch(uploadURL, {
      headers: { 'Tus-Resumable': '1.0.0', Accept: 'application/json' },
      cache: 'no-store',
    });
    return {
      status: response.status,
      statusText: response.statusText,
      getResponseHeader: (name) => response.headers.get(name),
      responseText: await response.text(),
    };
  } catch {
    return null;
  }
}
