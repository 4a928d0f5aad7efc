// The workers that extract: the clip worker, which lives as long as the
// page, and an extraction worker, started anew after Cancel, joined by a
// channel (messages.js). What they say is handed to onMessages in batches,
// once a frame (a large file sends much), or after 100 ms in a page out of
// sight, which is given no frames.

/**
 * @param {(messages: import('./messages.js').PageMessage[]) => void} onMessages
 * @param {(message: string) => void} onError  the extraction worker could not run
 */
export function createExtraction(onMessages, onError) {
  const clipWorker = new Worker(new URL('clips-worker.js', import.meta.url), { type: 'module' });
  let inbox = [];
  clipWorker.onmessage = (event) => {
    inbox.push(event.data);
    if (inbox.length > 1)
      return;
    const takeIn = () => {
      const messages = inbox;
      inbox = [];
      if (messages.length > 0)
        onMessages(messages);
    };
    requestAnimationFrame(takeIn);
    setTimeout(takeIn, 100);
  };

  let worker = null;
  const start = () => {
    const channel = new MessageChannel();
    /** @type {import('./messages.js').PortMessage} */
    const toClips = { type: 'port', port: channel.port2 };
    clipWorker.postMessage(toClips, [channel.port2]);
    worker = new Worker(new URL('worker.js', import.meta.url), { type: 'module' });
    worker.postMessage({ type: 'port', port: channel.port1 }, [channel.port1]);
    worker.onerror = (event) => {
      event.preventDefault();
      onError(event.message || 'the extraction worker could not start');
    };
  };
  start();

  return {
    /** Extracts file, after the files asked for before. */
    extract(id, file) {
      /** @type {import('./messages.js').ExtractMessage} */
      const message = { type: 'extract', id, file };
      worker.postMessage(message);
    },
    /** Ends every extraction under way or asked for, and starts afresh. */
    restart() {
      worker.terminate();
      start();
    },
    /** Frees the clips at urls. */
    revoke(urls) {
      if (urls.length > 0)
        clipWorker.postMessage({ type: 'revoke', urls });
    },
  };
}
