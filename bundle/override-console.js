// Forwards the page's console to the host: every line goes to the "logging" channel and to the
// "fileLogging" channel, whose handler keeps errors (and, when the host runs verbose, everything)
// in the file log. The original console keeps working, so the web inspector still sees each line.
(function () {
  'use strict';
  var handlers = (window.webkit && window.webkit.messageHandlers) || {};
  var prefixes = {
    error: '\u{1F4D5} JS error',
    warn: '\u{1F4D9} JS warning',
    info: '\u{1F4D8} JS info',
    debug: '\u{1F4D3} JS debug',
    log: '\u{1F4D7} JS log'
  };

  function describe(value) {
    if (typeof value === 'string') return value;
    if (value instanceof Error) return value.stack ? value.message + '\n' + value.stack : String(value);
    try {
      var text = JSON.stringify(value);
      return text === undefined ? String(value) : text;
    } catch (e) {
      return String(value);
    }
  }

  function post(text) {
    ['logging', 'fileLogging'].forEach(function (name) {
      var channel = handlers[name];
      if (!channel) return;
      try {
        channel.postMessage(text);
      } catch (e) {
        // A console line must never break the page.
      }
    });
  }

  function forward(kind, args) {
    post(prefixes[kind] + ': ' + Array.prototype.map.call(args, describe).join(' '));
  }

  Object.keys(prefixes).forEach(function (kind) {
    var original = console[kind] ? console[kind].bind(console) : function () {};
    console[kind] = function () {
      forward(kind, arguments);
      original.apply(null, arguments);
    };
  });

  window.addEventListener('error', function (event) {
    var where = event.filename ? ' (' + event.filename + ':' + event.lineno + ':' + event.colno + ')' : '';
    post(prefixes.error + ': ' + describe(event.error || event.message) + where);
  });
  window.addEventListener('unhandledrejection', function (event) {
    post(prefixes.error + ': unhandled rejection: ' + describe(event.reason));
  });
})();
