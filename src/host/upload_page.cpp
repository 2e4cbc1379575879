#include "host/upload_page.h"

namespace parcelmoor {
namespace {

// The form has no action: it posts to the address it was served from. The
// script sends each selected file as its own field (file1, file2, ...) so
// that the result lists every file with its own name and size; without the
// script the browser sends them all under "files".
constexpr std::string_view kUploadPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>parcelmoor: upload files</title>
<style>
  body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 48em; padding: 0 1em; color: #222; }
  label { display: inline-block; min-width: 5em; }
  input[type=text] { width: 24em; }
  #progress-box { margin: 1em 0; }
  #progress { width: 24em; height: 1.2em; vertical-align: middle; }
  table { border-collapse: collapse; margin-top: .5em; }
  th, td { border: 1px solid #bbb; padding: .25em .6em; text-align: left; vertical-align: top; }
  td.size { text-align: right; }
  .error { color: #a00; }
  .notice { color: #850; white-space: pre-wrap; }
</style>
</head>
<body>
<h1>Upload files</h1>
<form id="upload-form" method="post" enctype="multipart/form-data">
  <p><label for="note">Note</label> <input id="note" name="note" type="text"></p>
  <p><label for="files">Files</label> <input id="files" name="files" type="file" multiple></p>
  <p><button id="submit" type="submit">Upload</button></p>
</form>
<div id="progress-box" hidden>
  <progress id="progress" max="100" value="0"></progress> <span id="progress-text">0 %</span>
</div>
<div id="result" aria-live="polite"></div>
<script>
(function () {
  "use strict";
  var form = document.getElementById("upload-form");
  if (!window.XMLHttpRequest || !window.FormData || !form.addEventListener) return;
  var note = document.getElementById("note");
  var files = document.getElementById("files");
  var submit = document.getElementById("submit");
  var progressBox = document.getElementById("progress-box");
  var progress = document.getElementById("progress");
  var progressText = document.getElementById("progress-text");
  var result = document.getElementById("result");

  function element(tag, text, className, id) {
    var e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = String(text);
    if (className) e.className = className;
    if (id) e.id = id;
    return e;
  }

  function setProgress(percent) {
    var p = Math.max(0, Math.min(100, Math.round(percent)));
    progress.value = p;
    progressText.textContent = p + " %";
  }

  function describeError(e) {
    return "Error " + e.number + (e.source ? " (" + e.source + ")" : "") + ": " + e.description;
  }

  // The component's notice is a fragment of HTML; show its text only.
  function textOf(html) {
    var doc = new DOMParser().parseFromString(html, "text/html");
    return (doc.body.textContent || "").trim();
  }

  function showResult(page, httpStatus) {
    result.textContent = "";
    var failed = !!(page.error || page.releaseError) || httpStatus !== 200;
    var files = 0;
    (page.form || []).forEach(function (item) { if (item.isFile) files++; });
    result.appendChild(element("p", failed ? "Upload failed." :
        "Upload complete: " + (page.form || []).length + " item(s), " + files + " file(s).",
        failed ? "error" : "ok", "result-status"));
    if (page.error) result.appendChild(element("p", describeError(page.error), "error", "result-error"));
    if (page.releaseError) result.appendChild(element("p", describeError(page.releaseError), "error"));
    if (page.response) result.appendChild(element("p", textOf(page.response), "notice", "result-notice"));
    var table = element("table", null, null, "result-items");
    var head = element("tr");
    ["Name", "Values", "File name", "Client path", "Size"].forEach(function (h) {
      head.appendChild(element("th", h));
    });
    table.appendChild(head);
    (page.form || []).forEach(function (item) {
      var row = element("tr", null, item.isFile ? "item file" : "item field");
      row.appendChild(element("td", item.name, "name"));
      var values = element("td", null, "values");
      (item.values || []).forEach(function (v, i) {
        if (i) values.appendChild(document.createElement("br"));
        values.appendChild(v === null ? element("i", "null") : document.createTextNode(v));
      });
      row.appendChild(values);
      row.appendChild(element("td", item.fileName, "file-name"));
      row.appendChild(element("td", item.clientPath, "client-path"));
      row.appendChild(element("td", item.isFile ? item.fileSize : "", "size"));
      table.appendChild(row);
    });
    result.appendChild(table);
    result.setAttribute("data-state", failed ? "failed" : "done");
  }

  function showFailure(text) {
    result.textContent = "";
    result.appendChild(element("p", text, "error", "result-status"));
    result.setAttribute("data-state", "failed");
  }

  form.addEventListener("submit", function (event) {
    event.preventDefault();
    var data = new FormData();
    data.append(note.name, note.value);
    for (var i = 0; i < files.files.length; i++) {
      data.append("file" + (i + 1), files.files[i], files.files[i].name);
    }
    var xhr = new XMLHttpRequest();
    xhr.open("POST", form.action || window.location.href);
    xhr.setRequestHeader("Accept", "application/json");
    xhr.upload.addEventListener("progress", function (e) {
      if (e.lengthComputable && e.total > 0) setProgress(100 * e.loaded / e.total);
    });
    xhr.upload.addEventListener("load", function () { setProgress(100); });
    xhr.addEventListener("load", function () {
      submit.disabled = false;
      var page = null;
      try { page = JSON.parse(xhr.responseText); } catch (e) { page = null; }
      if (page && page.form !== undefined) {
        setProgress(100);
        showResult(page, xhr.status);
      } else {
        showFailure("Upload failed: " + xhr.status + " " + xhr.statusText +
                    (page && page.error ? ": " + page.error : ""));
      }
    });
    xhr.addEventListener("error", function () {
      submit.disabled = false;
      showFailure("Upload failed: the connection was lost.");
    });
    submit.disabled = true;
    setProgress(0);
    progressBox.hidden = false;
    result.textContent = "";
    result.setAttribute("data-state", "uploading");
    xhr.send(data);
  });
})();
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string_view UploadPageHtml() { return kUploadPage; }

}  // namespace parcelmoor
