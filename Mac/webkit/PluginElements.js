// Gives every <embed> and <object> element of the plug-in's MIME type the methods in exposed, one
// view per element made on first use through native.create, and passes the browser's own drag
// events on. Runs before any page script; it keeps what it uses of the page's globals, so page
// script that replaces them later cannot reach the views or the native functions. The WebKit
// binding's native functions answer at once; the browser extension's answer with Promises.
(function (native, mimeType, exposed) {
  'use strict';
  const apply = Reflect.apply;
  const defineProperty = Object.defineProperty;
  const describe = Object.getOwnPropertyDescriptor;
  const weakMapGet = WeakMap.prototype.get;
  const weakMapSet = WeakMap.prototype.set;
  const tagName = describe(Element.prototype, 'tagName').get;
  const getAttribute = Element.prototype.getAttribute;
  const getAttributeNames = Element.prototype.getAttributeNames;
  const closest = Element.prototype.closest;
  const toLowerCase = String.prototype.toLowerCase;
  const trim = String.prototype.trim;
  const indexOf = Array.prototype.indexOf;
  const addEventListener = EventTarget.prototype.addEventListener;
  const preventDefault = Event.prototype.preventDefault;
  const eventTarget = describe(Event.prototype, 'target').get;
  const dataTransfer = describe(DragEvent.prototype, 'dataTransfer').get;
  const transferTypes = describe(DataTransfer.prototype, 'types').get;
  const setDropEffect = describe(DataTransfer.prototype, 'dropEffect').set;
  const NotAPlugin = TypeError;
  const prototypes = [HTMLEmbedElement.prototype, HTMLObjectElement.prototype];
  const views = new WeakMap();

  function isPlugin(element) {
    let tag, type;
    try {
      tag = apply(toLowerCase, apply(tagName, element, []), []);
      type = apply(getAttribute, element, ['type']);
    } catch (error) {
      return false;
    }
    return (tag === 'embed' || tag === 'object') && typeof type === 'string' &&
           apply(toLowerCase, apply(trim, type, []), []) === mimeType;
  }

  function viewOf(element, create) {
    let view = apply(weakMapGet, views, [element]);
    if (view === undefined && create) {
      const names = apply(getAttributeNames, element, []);
      const values = [];
      for (let i = 0; i < names.length; i++)
        defineProperty(values, i, {value: apply(getAttribute, element, [names[i]]), writable: true});
      view = native.create(names, values);
      apply(weakMapSet, views, [element, view]);
    }
    return view;
  }

  function makeMethod(name, kind) {
    const refuse = () => new NotAPlugin(name + ' can only be called on a plug-in element');
    if (kind === 'initialize') {
      return ({[name](notificationCallback, loggingCallback) {
        if (!isPlugin(this)) throw refuse();
        return native.initialize(viewOf(this, true), notificationCallback, loggingCallback);
      }})[name];
    }
    const call = kind === 'execute' ? native.execute : native.empty;
    return ({[name](requestText) {
      if (!isPlugin(this)) throw refuse();
      return call(viewOf(this, true), requestText);
    }})[name];
  }

  for (let i = 0; i < exposed.length; i++) {
    const method = makeMethod(exposed[i][0], exposed[i][1]);
    const descriptor = {get() { return isPlugin(this) ? method : undefined; }, configurable: true};
    for (let j = 0; j < prototypes.length; j++)
      defineProperty(prototypes[j], exposed[i][0], descriptor);
  }

  function viewUnder(event) {
    let element;
    try {
      element = apply(closest, apply(eventTarget, event, []), ['embed, object']);
    } catch (error) {
      return undefined;
    }
    return element && isPlugin(element) ? viewOf(element, false) : undefined;
  }

  function carriesFiles(transfer) {
    try {
      return apply(indexOf, apply(transferTypes, transfer, []), ['Files']) >= 0;
    } catch (error) {
      return false;
    }
  }

  function onDrag(phase) {
    return function (event) {
      const view = event.isTrusted ? viewUnder(event) : undefined;
      if (view === undefined)
        return;
      const transfer = apply(dataTransfer, event, []);
      if (native.drag(view, phase, carriesFiles(transfer)) !== 0) {
        apply(preventDefault, event, []);
        try { apply(setDropEffect, transfer, ['copy']); } catch (error) {}
      }
    };
  }

  apply(addEventListener, window, ['dragenter', onDrag(0), true]);
  apply(addEventListener, window, ['dragover', onDrag(1), true]);
  apply(addEventListener, window, ['drop', function (event) {
    const view = event.isTrusted ? viewUnder(event) : undefined;
    if (view !== undefined && native.drop(view, carriesFiles(apply(dataTransfer, event, []))))
      apply(preventDefault, event, []);
  }, true]);
  apply(addEventListener, window, ['pagehide', function (event) {
    if (event.isTrusted)
      native.unload();
  }, true]);
})
