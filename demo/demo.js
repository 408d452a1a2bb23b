// The demo page: everything a page can do with the plug-in, kept in step from its notifications.
"use strict";

const plugin = document.getElementById("plugin");
const $ = id => document.getElementById(id);

// ---------------------------------------------------------------------------------------------
// Talking to the plug-in

// qiravel-browser answers at once, the browser extension with a Promise: awaiting works for both.
// Through the extension a request's notifications arrive over time, all before its answer.
let requestsRunning = 0;

async function request(code, members = {}) {
  const text = JSON.stringify(Object.assign({type: "Request", code}, members));
  let result = 0;
  ++requestsRunning;
  try {
    result = await plugin.ExecuteRequest(text);
  } catch (error) {
    showError("The plug-in is not available: " + error.message);
  } finally {
    --requestsRunning;
  }
  return result === 1;
}

function onNotification(text) {
  let message;
  try {
    message = JSON.parse(text);
  } catch (error) {
    log("WARNING", "Notification that is not JSON: " + text);
    return;
  }
  const handler = notificationHandlers[message.code];
  if (handler)
    handler(message);
  else
    log("INFO", "Notification " + message.code + ": " + text);
}

const notificationHandlers = {
  FilesAddedToUploadList: message => uploadList.add(message.files_ul || []),
  FilesDeletedFromUploadList: message => uploadList.remove(message.files_ul || []),
  Error: message => showError(message.text),
  TransferStarted: message => transfers.started(message),
  TransferProgress: message => transfers.progress(message),
  FileFailed: message => transfers.fileFailed(message),
  FileReceived: message => transfers.fileReceived(message),
  TransferComplete: message => transfers.finished(message, true),
  TransferFailed: message => transfers.finished(message, false),
};

// ---------------------------------------------------------------------------------------------
// The upload list: the page's copy, drawn as a virtual table so that 100,000 rows stay smooth.

// Two entries are one when their paths match without regard to ASCII letter case.
const asciiLower = text => text.replace(/[A-Z]+/g, letters => letters.toLowerCase());
const entryKey = entry => asciiLower(entry.file_path) + "\0" + asciiLower(entry.relative_path);

const uploadList = {
  entries: [],
  keys: new Set(),
  selected: new Set(),
  totalBytes: 0,

  add(entries) {
    for (const entry of entries) {
      const key = entryKey(entry);
      if (this.keys.has(key))
        continue;
      this.keys.add(key);
      this.entries.push({key, file_path: entry.file_path, relative_path: entry.relative_path, size: entry.size});
      this.totalBytes += entry.size;
    }
    table.changed();
  },

  remove(entries) {
    const gone = new Set(entries.map(entryKey));
    const kept = [];
    for (const entry of this.entries) {
      if (gone.has(entry.key)) {
        this.keys.delete(entry.key);
        this.selected.delete(entry.key);
        this.totalBytes -= entry.size;
      } else {
        kept.push(entry);
      }
    }
    this.entries = kept;
    table.changed();
  },

  clear() {
    this.entries = [];
    this.keys.clear();
    this.selected.clear();
    this.totalBytes = 0;
    table.changed();
  },
};

function readableSize(bytes) {
  const units = ["bytes", "KB", "MB", "GB", "TB"];
  let value = bytes;
  let unit = 0;
  while (value >= 1000 && unit < units.length - 1) {
    value /= 1000;
    unit++;
  }
  return unit === 0 ? bytes + (bytes === 1 ? " byte" : " bytes") : value.toFixed(value < 10 ? 2 : 1) + " " + units[unit];
}

const table = {
  rows: $("rows"),
  space: $("rows-space"),
  rowHeight: 24,
  pending: false,
  anchor: -1,

  changed() {
    if (this.pending)
      return;
    this.pending = true;
    requestAnimationFrame(() => {
      this.pending = false;
      this.draw();
    });
  },

  draw() {
    const entries = uploadList.entries;
    this.space.style.height = entries.length * this.rowHeight + "px";
    const first = Math.max(0, Math.floor(this.rows.scrollTop / this.rowHeight) - 5);
    const last = Math.min(entries.length, Math.ceil((this.rows.scrollTop + this.rows.clientHeight) / this.rowHeight) + 5);
    const fragment = document.createDocumentFragment();
    for (let index = first; index < last; index++) {
      const entry = entries[index];
      const row = document.createElement("div");
      row.className = uploadList.selected.has(entry.key) ? "row selected" : "row";
      row.setAttribute("role", "row");
      row.dataset.index = index;
      row.style.top = index * this.rowHeight + "px";
      const cells = [entry.file_path, entry.relative_path, readableSize(entry.size)];
      cells.forEach((text, column) => {
        const cell = document.createElement("span");
        cell.textContent = text;
        cell.title = text;
        if (column === 2)
          cell.className = "size";
        row.appendChild(cell);
      });
      fragment.appendChild(row);
    }
    this.space.replaceChildren(fragment);
    const count = entries.length;
    $("total-count").textContent = count === 0 ? "No files" : count.toLocaleString("en") + (count === 1 ? " file" : " files");
    $("total-size").textContent = count === 0 ? "" : readableSize(uploadList.totalBytes);
    $("delete").disabled = uploadList.selected.size === 0;
    document.body.dataset.listCount = count;
  },

  // Click selects one row, Ctrl-click toggles one, Shift-click selects a range.
  click(event) {
    const row = event.target.closest(".row");
    if (!row)
      return;
    const index = Number(row.dataset.index);
    const selected = uploadList.selected;
    if (event.shiftKey && this.anchor >= 0) {
      const [from, to] = this.anchor < index ? [this.anchor, index] : [index, this.anchor];
      for (let i = from; i <= to; i++)
        selected.add(uploadList.entries[i].key);
    } else {
      const key = uploadList.entries[index].key;
      if (event.ctrlKey || event.metaKey) {
        if (!selected.delete(key))
          selected.add(key);
      } else {
        selected.clear();
        selected.add(key);
      }
      this.anchor = index;
    }
    this.draw();
  },
};

$("rows").addEventListener("scroll", () => table.changed());
$("rows").addEventListener("click", event => table.click(event));

// ---------------------------------------------------------------------------------------------
// Transfers: one entry per job, with a bar for the job and one for the file moving now. The page
// names each job ("job" in the request), and the Assistant's notifications carry that name back.

const transfers = {
  jobs: new Map(),
  count: 0,

  nextJobName(kind) {
    return kind + " " + ++this.count;
  },

  start(name, files, bytes) {
    const item = $("job-template").content.firstElementChild.cloneNode(true);
    item.querySelector(".job-title").textContent = name;
    $("job-list").prepend(item);
    $("no-jobs").hidden = true;
    const job = {item, files, bytes};
    this.jobs.set(name, job);
    this.describe(job, "waiting for the Assistant", "");
    return job;
  },

  job(message) {
    const name = String(message.job);
    return this.jobs.get(name) || this.start(name, 0, 0);
  },

  describe(job, state, kind) {
    const label = job.item.querySelector(".job-state");
    label.textContent = state;
    label.className = "job-state " + kind;
  },

  started(message) {
    const job = this.job(message);
    job.files = message.file_count;
    job.bytes = message.byte_total;
    this.describe(job, "moving " + message.file_count + (message.file_count === 1 ? " file" : " files") +
        (message.byte_total ? " (" + readableSize(message.byte_total) + ")" : "") + " to " + message.destination, "");
  },

  progress(message) {
    const job = this.job(message);
    const bar = job.item.querySelector(".job-bar");
    bar.max = Math.max(message.bytes_total, 1);
    bar.value = message.bytes_done;
    const file = message.file_path || message.url;
    if (file) {
      job.item.querySelector(".file-name").textContent = file + " — " +
          readableSize(message.file_bytes_done) + " of " + readableSize(message.file_bytes_total);
      const fileBar = job.item.querySelector(".file-bar");
      fileBar.max = Math.max(message.file_bytes_total, 1);
      fileBar.value = message.file_bytes_done;
    }
  },

  fileFailed(message) {
    const failure = document.createElement("li");
    failure.textContent = (message.file_path || message.url) + ": " + message.reason;
    this.job(message).item.querySelector(".job-failures").appendChild(failure);
  },

  fileReceived(message) {
    this.job(message).item.querySelector(".file-name").textContent = "received " + message.path;
  },

  finished(message, complete) {
    const job = this.job(message);
    const done = message.files_sent !== undefined ? message.files_sent : message.files_received;
    const failed = message.files_failed || 0;
    for (const bar of job.item.querySelectorAll("progress")) {
      if (complete || bar.value >= bar.max)
        bar.value = bar.max;
    }
    if (complete) {
      job.item.querySelector(".file-name").textContent = "";
      this.describe(job, "done: " + done + (done === 1 ? " file" : " files") +
          (failed ? ", " + failed + " failed" : "") + " (" + readableSize(message.bytes_done) + ")",
          failed ? "failed" : "done");
    } else {
      this.describe(job, "failed: " + message.reason, "failed");
      showError(job.item.querySelector(".job-title").textContent + " failed: " + message.reason);
    }
    document.body.dataset.jobsDone = (Number(document.body.dataset.jobsDone) || 0) + 1;
  },
};

// ---------------------------------------------------------------------------------------------
// Errors and the log

function showError(text) {
  $("banner-text").textContent = text;
  $("banner").hidden = false;
}
$("banner-close").addEventListener("click", () => { $("banner").hidden = true; });

const kLogLinesKept = 2000;
let logLineCount = 0;

function log(level, text, timestamp = "") {
  const line = document.createElement("div");
  line.className = level;
  line.textContent = (timestamp ? timestamp + "  " : "") + level.padEnd(8) + text;
  const lines = $("log-lines");
  lines.appendChild(line);
  if (lines.childElementCount > kLogLinesKept)
    lines.firstElementChild.remove();
  ++logLineCount;
  $("log-count").textContent = "(" + logLineCount.toLocaleString("en") + (logLineCount === 1 ? " line)" : " lines)");
}

function onLogLine(text) {
  try {
    const message = JSON.parse(text);
    log(message.code, message.text, message.timestamp);
  } catch (error) {
    log("WARNING", text);
  }
}

// ---------------------------------------------------------------------------------------------
// Buttons

$("pick").addEventListener("click", async () => { await request("SelectFilesToUpload"); });

$("delete").addEventListener("click", async () => {
  const files_ul = uploadList.entries.filter(entry => uploadList.selected.has(entry.key))
      .map(entry => ({file_path: entry.file_path, relative_path: entry.relative_path, size: entry.size}));
  if (files_ul.length > 0)
    await request("DeleteFilesFromUploadList", {files_ul});
});

$("reset").addEventListener("click", async () => {
  await request("Reset");
  uploadList.clear();
  $("limit").value = "";
  $("folder-state").textContent = "No folder chosen";
});

$("set-limit").addEventListener("click", async () => {
  const value = Number($("limit").value);
  if (!Number.isInteger(value) || value < 1 || value > 2147483647) {
    showError("The most files must be a whole number from 1 to 2147483647.");
    return;
  }
  if (await request("SetParameter", {name: "FileTransferLimit", value}))
    log("INFO", "The list now takes at most " + value.toLocaleString("en") + " files.");
});

$("start-upload").addEventListener("click", async () => {
  if (uploadList.entries.length === 0) {
    showError("The upload list is empty: choose or drop files first.");
    return;
  }
  const members = {job: transfers.nextJobName("Upload")};
  const url = $("upload-url").value.trim();
  if (url)
    members.upload_url = url;
  if (await request("StartUpload", members))
    transfers.start(members.job, uploadList.entries.length, uploadList.totalBytes);
});

$("choose-folder").addEventListener("click", async () => {
  if (await request("SelectDownloadLocation"))
    $("folder-state").textContent = "Folder chosen";
});

$("start-download").addEventListener("click", async () => {
  const files_dl = $("download-urls").value.split("\n").map(line => line.trim()).filter(line => line)
      .map(line => {
        const [url, relative_path = ""] = line.split(/\s+/, 2);
        return {url, relative_path};
      });
  if (files_dl.length === 0) {
    showError("Enter at least one address to download.");
    return;
  }
  const job = transfers.nextJobName("Download");
  if (await request("StartDownload", {job, files_dl})) {
    transfers.start(job, files_dl.length, 0);
    $("folder-state").textContent = "No folder chosen";
  } else if ($("folder-state").textContent === "No folder chosen") {
    showError("Choose a download folder first.");
  }
});

// ---------------------------------------------------------------------------------------------
// Start

async function initialize() {
  let response;
  try {
    response = JSON.parse(await plugin.Initialize(onNotification, onLogLine));
  } catch (error) {
    $("plugin-info").textContent = "The plug-in did not start: open this page in qiravel-browser.";
    showError("The Qiravel Web Client plug-in is not available in this browser.");
    document.body.dataset.ready = "no";
    return;
  }
  $("plugin-info").textContent = "Plug-in " + response.version +
      (response.support_dragdrop ? " · drop files and folders on the dashed area" : "");
  $("drop-zone").classList.toggle("ready", !!response.support_dragdrop);
  $("drop-zone").hidden = !response.support_dragdrop;
  document.body.dataset.ready = "yes";
  table.draw();
}

const started = initialize();

if (new URLSearchParams(location.search).has("walkthrough")) {
  const script = document.createElement("script");
  script.src = "walkthrough.js";
  document.body.appendChild(script);
}
