// What one file's request came back with, told in the page's words: the
// server's own report (its per-file record), a refusal of the server, or an
// application's answer passed through with `serve --forward`, which the page
// shows as it is.

// The server's JSON: an upload report (form and files), a refusal
// ({status, error}) or a short answer ({status, filesStored, answerCut}).
function ownReport(doc) {
  if (!doc || typeof doc !== 'object' || Array.isArray(doc) || typeof doc.status !== 'number') return null;
  const keys = Object.keys(doc);
  if (Array.isArray(doc.form) && Array.isArray(doc.files)) return doc;
  if (keys.length === 2 && typeof doc.error === 'string') return doc;
  if (doc.answerCut === true) return doc;
  return null;
}

// The component's error record as one line, for the details.
function describeError(e) {
  if (!e || typeof e !== 'object') return '';
  return `Error ${e.number}${e.source ? ` (${e.source})` : ''}: ${e.description ?? ''}`;
}

// The component's notice is a fragment of HTML: its text only.
function textOf(html) {
  return (new DOMParser().parseFromString(html, 'text/html').body.textContent || '').trim();
}

// Reads a finished request (an XMLHttpRequest) once: never throws.
export function readAnswer(xhr) {
  const type = xhr.getResponseHeader('Content-Type') || '';
  const text = xhr.responseText || '';
  let doc = null;
  if (/^application\/json\b/i.test(type)) {
    try { doc = JSON.parse(text); } catch { doc = null; }
  }
  return { status: xhr.status, statusText: xhr.statusText, type, text, report: ownReport(doc) };
}

// An answer that is not the server's own report, from a server that hands
// no upload to an application: something between the page and the server
// (a proxy, a gateway) answered, or the server was not reached at all.
function describeOtherAnswer(status, ok) {
  return {
    outcome: ok ? 'sent' : 'not stored',
    reason: ok
      ? `The answer (${status}) did not come from the upload server, so whether the file was stored is not known.`
      : `The answer ${status} did not come from the upload server: something between them (a proxy, say) ` +
        'refused the request or could not pass it on.',
    details: [],
    application: null,
  };
}

// { outcome, reason, details: [text], application: {status, type, text} | null }
// for one file sent alone; `ok` tells whether the request succeeded (2xx).
// `hasApplication`: the server hands uploads to an application, whose
// answers the page shows as they are.
export function describeAnswer(answer, ok, hasApplication = true) {
  const status = `${answer.status} ${answer.statusText}`.trim();
  const report = answer.report;
  if (!report && !hasApplication) return describeOtherAnswer(status, ok);
  if (!report) {
    return {
      outcome: ok ? 'accepted by the application' : 'refused by the application',
      // Files the application refuses are deleted by the server.
      reason: ok ? '' : 'The application refused it, so the server did not keep it.',
      details: [],
      application: { status, type: answer.type, text: answer.text },
    };
  }
  const record = Array.isArray(report.files) && report.files.length ? report.files[0] : null;
  const details = [];
  if (record?.error) details.push(describeError(record.error));
  if (report.error && typeof report.error === 'object') details.push(describeError(report.error));
  if (report.releaseError) details.push(describeError(report.releaseError));
  if (typeof report.response === 'string' && report.response) details.push(textOf(report.response));
  const why = record?.reason ?? report.reason ?? (typeof report.error === 'string' ? report.error : null);
  return {
    outcome: record ? record.outcome : (ok ? 'stored' : 'not stored'),
    reason: why ?? (ok ? '' : `The server answered ${status}.`),
    details: [...new Set(details.filter(Boolean))],
    application: null,
    bytesStored: record ? record.bytesStored : null,
  };
}
