// The messages between the page and its workers, written down once: the
// modules name these types in their JSDoc; nothing here runs.
//
// The page (app.js) starts the clip worker (clips-worker.js), which lives as
// long as the page, and an extraction worker (worker.js), started anew after
// Cancel, and joins the two with a MessageChannel: the extraction worker
// sends everything through the clip worker, which adds each clip's Blob, URL
// and waveform and hands it all on to the page, in order.

/**
 * To either worker: the other end of the channel between them.
 * @typedef {{type: 'port', port: MessagePort}} PortMessage
 */

/**
 * Page to extraction worker: extract a file, after those asked for before.
 * @typedef {{type: 'extract', id: number, file: File}} ExtractMessage
 */

/**
 * Page to clip worker: URLs of clips the page no longer shows.
 * @typedef {{type: 'revoke', urls: string[]}} RevokeMessage
 */

/**
 * A clip as the tool wrote it: its file's name and bytes (a WAV file), as
 * the extraction worker took it out of the tool's folder.
 * @typedef {{name: string, bytes: Uint8Array}} WrittenClip
 */

/**
 * A clip as the page gets it: its file's name and size, the rate and count
 * of samples its WAV header gives, the lowest and highest sample of each of
 * the waveform's columns (pairs), and a Blob of its bytes with a URL.
 * @typedef {{name: string, size: number, rate: number, samples: number,
 *            peaks: Uint8Array, blob: Blob, url: string}} Clip
 */

/**
 * One finished line of the tool's for an entry: the line, and for a line
 * that reports a clip created, the clip's name as the line shows it (the
 * tool's filtered form) and the clip.
 * @template C
 * @typedef {{line: string, shown?: string, clip?: C}} Row
 */

/**
 * Extraction worker to clip worker (with WrittenClip rows) and on to the
 * page (with Clip rows): the console text since the last one, the rows
 * finished since, and the entries done of count (null until the tool has
 * said how many there are).
 * @template C
 * @typedef {{type: 'output', id: number, text: string, rows: Row<C>[],
 *            entries: number, count: number | null}} OutputMessage
 */

/**
 * The end of a file's extraction: the tool's exit status and the time its
 * main took, in milliseconds; or an error of the page's (id null when the
 * worker could not start).
 * @typedef {{type: 'end', id: number, status: number, took: number}} EndMessage
 * @typedef {{type: 'error', id: number | null, message: string}} ErrorMessage
 * @typedef {{type: 'ready'}} ReadyMessage
 */

/**
 * What the page gets from the clip worker.
 * @typedef {ReadyMessage | OutputMessage<Clip> | EndMessage | ErrorMessage} PageMessage
 */

/**
 * Page to zip worker, and back.
 * @typedef {{files: {path: string, blob: Blob}[]}} ZipRequest
 * @typedef {{zip: Uint8Array} | {error: string}} ZipReply
 */

/**
 * Page to pack worker, and back: the picked resource file and the WAV
 * files that replace clips, each by the clip's file name; the patched
 * resource, or zumpack's errors.
 * @typedef {{file: File, clips: {name: string, wav: Blob}[]}} PackRequest
 * @typedef {{resource: Uint8Array} | {error: string}} PackReply
 */

export {};
