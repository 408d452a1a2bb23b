// Reporting to the test runner through qiravel-browser's test mode, and small helpers for pages
// that drive the plug-in.
'use strict';

// The plug-in's elements draw nothing themselves; a frame shows where they are.
document.documentElement.appendChild(document.createElement('style')).textContent =
    'embed, object { border: 1px dashed #4a7ab5; background: #eef4fb; margin: 4px; }';

const qv = {
  failures: [],
  params: new URLSearchParams(location.search),

  // Sends a line to the runner and shows it on the page, for screenshots.
  report(text) {
    window.webkit.messageHandlers.qiravelTest.postMessage(String(text));
    if (!document.body)
      return;
    let shown = document.getElementById('qv-reports');
    if (!shown) {
      shown = document.createElement('pre');
      shown.id = 'qv-reports';
      document.body.appendChild(shown);
    }
    shown.textContent += text + '\n';
  },

  check(condition, what) {
    if (!condition) {
      qv.failures.push(what);
      qv.report('check failed: ' + what);
    }
    return condition;
  },

  equal(actual, expected, what) {
    const a = JSON.stringify(actual);
    const e = JSON.stringify(expected);
    return qv.check(a === e, what + ': expected ' + e + ', got ' + a);
  },

  done() {
    qv.report(qv.failures.length ? 'fail: ' + qv.failures.join('; ') : 'pass');
  },

  // Resolves once predicate() holds; rejects after ms milliseconds.
  waitFor(predicate, what, ms = 15000) {
    return new Promise((resolve, reject) => {
      const start = Date.now();
      const poll = () => {
        if (predicate())
          resolve();
        else if (Date.now() - start > ms)
          reject(new Error('timed out waiting for ' + what));
        else
          setTimeout(poll, 20);
      };
      poll();
    });
  },

  // Runs the async test body and reports its verdict; an exception fails the run.
  run(body) {
    window.addEventListener('load', () => {
      body().then(qv.done, (error) => qv.report('fail: ' + error));
    });
  },

  // An element's centre in screen pixels (the browser window sits at the screen's origin).
  centre(element) {
    const box = element.getBoundingClientRect();
    return Math.round(box.left + box.width / 2) + ' ' + Math.round(box.top + box.height / 2);
  },

  // A plug-in whose notifications and log messages are collected as parsed JSON.
  attach(element) {
    const plugin = {element, notifications: [], logs: [], thisValues: []};
    plugin.response = element.Initialize(function (text) {
      'use strict';
      plugin.thisValues.push(this);
      plugin.notifications.push(JSON.parse(text));
    }, function (text) {
      plugin.logs.push(JSON.parse(text));
    });
    plugin.request = (code, members = {}) =>
      element.ExecuteRequest(JSON.stringify(Object.assign({type: 'Request', code}, members)));
    plugin.codes = () => plugin.notifications.map((n) => n.code);
    plugin.entries = () => plugin.notifications.filter((n) => n.code === 'FilesAddedToUploadList')
        .flatMap((n) => n.files_ul.map((f) => [f.file_path, f.relative_path]));
    return plugin;
  },
};
