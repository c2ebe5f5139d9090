// The browser test sends its native messages from this worker with chrome.runtime.sendNativeMessage;
// the worker itself only has to exist.
self.addEventListener('install', () => {});
