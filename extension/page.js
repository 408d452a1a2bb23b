// Runs in the page's own world before any page script: gives the plug-in elements their methods.
// Their calls travel over a private MessageChannel to the extension's content script, whose end
// is handed over once, now, before page script can listen; every call returns a Promise.
(function (bindElements) {
  'use strict';
  const apply = Reflect.apply;
  const PromiseOf = Promise;
  const mapGet = Map.prototype.get;
  const mapSet = Map.prototype.set;
  const push = Array.prototype.push;
  const shift = Array.prototype.shift;
  const portPost = MessagePort.prototype.postMessage;
  const channel = new MessageChannel();
  const port = channel.port1;
  const views = new Map();
  let lastView = 0;

  // A view: its callbacks, its calls waiting in the page's order and the one the host is running.
  function viewOf(number) {
    return typeof number === 'number' ? apply(mapGet, views, [number]) : undefined;
  }

  function call(view, message) {
    return new PromiseOf(resolve => {
      apply(push, view.queue, [{message, resolve}]);
      if (!view.running)
        next(view);
    });
  }

  function failure(message) {
    return message.call === 'Initialize' ? 'failed' : 0;
  }

  function next(view) {
    view.running = apply(shift, view.queue, []);
    if (!view.running)
      return;
    const message = view.running.message;
    if (view.ended) {
      finish(view, failure(message));
      return;
    }
    // Before the first Initialize, and for a request that is no text, nothing reaches the host.
    if (message.call === 'ExecuteRequest' && (!view.initialized || message.request === null)) {
      finish(view, 0);
      return;
    }
    if (message.call === 'Initialize')
      view.initialized = true;
    apply(portPost, port, [message]);
  }

  function finish(view, result) {
    const running = view.running;
    view.running = undefined;
    running.resolve(result);
    next(view);
  }

  function tell(callback, text) {
    if (typeof callback !== 'function')
      return;
    try {
      apply(callback, 0, [text]);
    } catch (error) {
      // The page's exception stays with the page; the plug-in carries on.
    }
  }

  port.onmessage = function (event) {
    const answer = event.data;
    const view = viewOf(answer && answer.view);
    if (!view)
      return;
    if (typeof answer.notify === 'string')
      tell(view.notify, answer.notify);
    else if (typeof answer.log === 'string')
      tell(view.log, answer.log);
    else if ('result' in answer && view.running)
      finish(view, answer.result);
    else if (answer.ended === true) {
      view.ended = true;
      if (view.running)
        finish(view, failure(view.running.message));
    }
  };

  function requestText(value) {
    if (value === undefined || value === null)
      return null;
    try {
      return '' + value;
    } catch (error) {
      return null;
    }
  }

  const native = {
    create() {
      const number = ++lastView;
      apply(mapSet, views, [number, {queue: [], running: undefined, initialized: false}]);
      return number;
    },
    initialize(number, notificationCallback, loggingCallback) {
      const view = viewOf(number);
      if (!view)
        return PromiseOf.resolve('failed');
      if (notificationCallback !== undefined && notificationCallback !== null)
        view.notify = notificationCallback;
      if (loggingCallback !== undefined && loggingCallback !== null)
        view.log = loggingCallback;
      return call(view, {view: number, call: 'Initialize'});
    },
    execute(number, request) {
      const view = viewOf(number);
      return view ? call(view, {view: number, call: 'ExecuteRequest', request: requestText(request)})
                  : PromiseOf.resolve(0);
    },
    empty() { return PromiseOf.resolve(0); },
    // The browser gives neither page nor extension the paths of dropped files: drops stay the page's.
    drag() { return 0; },
    drop() { return false; },
    unload() {},
  };

  window.postMessage({qiravelWebClient: 'bridge'}, '*', [channel.port2]);
  bindElements(native, 'application/x-qiravel-webclient', [['Initialize', 'initialize'], ['ExecuteRequest', 'execute']]);
})(/* PluginElements.js */);
