// The browsers the tests drive, each behind the same few calls, so that one
// set of cases runs in every engine: Debian's chromium through
// playwright-core, firefox-esr through puppeteer-core over WebDriver BiDi,
// and WebKitGTK's MiniBrowser through its WebKitWebDriver and
// selenium-webdriver, under xvfb-run. ZUMRIP_ENGINES (say "chromium,firefox")
// picks some of them.
//
// A session is one browser with a profile and a download folder of its own,
// so that no test shares a download, a service worker or storage with
// another. Its calls:
//   goto(url), reload(), evaluate(fn, arg) (arg and result as JSON),
//   pick(paths, input = '#pick') (a file input's files), click(selector), play(selector)
//   (starts a player: from the page where the engine allows it, else by
//   its play button), press(key) ('Tab', 'Space'),
//   chooseWithKeyboard(paths) (Space on the focused input, the files given
//   to the chooser it opens; null where the driver cannot see the chooser),
//   download(selector) ({name, bytes} of what a click on it saves),
//   viewport(width, height), screenshot(path), close(),
//   and errors (console errors and uncaught exceptions) and requests (every
//   URL asked for, or null where the driver cannot see them).
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, statSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const LIMIT = 60000;   // how long any one state is waited for

const all = ['chromium', 'firefox', 'webkit'];
export const engines = (process.env.ZUMRIP_ENGINES || all.join(',')).split(',').filter((e) => all.includes(e));

const executables = {
  chromium: process.env.ZUMRIP_CHROMIUM || '/usr/bin/chromium',
  firefox: process.env.ZUMRIP_FIREFOX || '/usr/bin/firefox-esr',
  webkit: process.env.ZUMRIP_WEBKITDRIVER || '/usr/bin/WebKitWebDriver',
};

// Why an engine cannot run here, or null when it can: it is started once
// and closed.
export async function unavailable(engine) {
  if (!existsSync(executables[engine]))
    return `${executables[engine]} is not installed`;
  if (engine === 'webkit' && !existsSync('/usr/bin/xvfb-run'))
    return 'xvfb-run is not installed';
  let session;
  try {
    session = await open(engine);
    await session.goto('about:blank');
    return null;
  } catch (error) {
    return `${engine} does not start here: ${String(error.message || error).split('\n')[0]}`;
  } finally {
    await session?.close().catch(() => {});
  }
}

export async function open(engine) {
  const profile = mkdtempSync(join(tmpdir(), `zumrip-${engine}-`));
  const downloads = join(profile, 'downloads');
  const session = { engine, errors: [], requests: [], downloads };
  const made = { chromium: openChromium, firefox: openFirefox, webkit: openWebKit }[engine];
  const close = await made(session, profile, downloads);
  session.close = async () => {
    await close().catch(() => {});
    rmSync(profile, { recursive: true, force: true });
  };
  return session;
}

// A file the browser saved into the folder, once whole: the first name
// there that was not there before, with no partial download beside it,
// its name and size unchanged over two looks 100 ms apart. (Firefox writes
// a download under a name of its own and then renames it: a name may be
// gone by the time it is looked at.)
async function savedFile(folder, before) {
  const started = Date.now();
  let last = '';
  for (;;) {
    await new Promise((done) => setTimeout(done, last === '' ? 50 : 100));
    const names = existsSync(folder) ? readdirSync(folder) : [];
    const fresh = names.filter((name) => !before.includes(name) && !/\.(part|crdownload)$|^\.com\.google/.test(name));
    let seen = '';
    if (fresh.length > 0 && !names.some((name) => name.endsWith('.part') || name.endsWith('.crdownload'))) {
      const path = join(folder, fresh[0]);
      try {
        seen = `${fresh[0]}/${statSync(path).size}`;
        if (seen === last) {
          const bytes = readFileSync(path);
          rmSync(path);   // so that a later file of that name keeps it
          return { name: fresh[0], bytes };
        }
      } catch (error) {
        if (error.code !== 'ENOENT')
          throw error;
        seen = '';
      }
    }
    last = seen;
    if (Date.now() - started > LIMIT)
      throw new Error(`no download in ${LIMIT} ms`);
  }
}
const listed = (folder) => (existsSync(folder) ? readdirSync(folder) : []);

async function openChromium(session, profile) {
  const { chromium } = await import('playwright-core');
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: executables.chromium,
    headless: true,
    args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--autoplay-policy=no-user-gesture-required'],
    acceptDownloads: true,
    viewport: { width: 1100, height: 800 },
  });
  context.setDefaultTimeout(LIMIT);
  // Chromium reports a request its security policy refused as failed with
  // 'csp', and on the console.
  session.refused = new Map();
  context.on('request', (request) => session.requests.push(request.url()));
  context.on('requestfailed', (request) => session.refused.set(request.url(), request.failure()?.errorText));
  context.on('console', (message) => {
    if (message.type() === 'error')
      session.errors.push(message.text());
  });
  context.on('weberror', (error) => session.errors.push(String(error.error())));
  const page = context.pages()[0] || await context.newPage();
  // File choosers are caught from the start: caught only once one is
  // awaited, the first may open before they are.
  const choosers = [];
  page.on('filechooser', (chooser) => choosers.push(chooser));
  Object.assign(session, {
    goto: (url) => page.goto(url),
    reload: () => page.reload(),
    evaluate: (fn, arg) => page.evaluate(fn, arg),
    pick: (paths, input = '#pick') => page.setInputFiles(input, paths),
    click: (selector) => page.click(selector),
    play: (selector) => page.evaluate((p) => {
      const player = document.querySelector(p);
      player.focus();   // reached first, as by a click
      player.play().catch(() => {});   // its error event tells
    }, selector),
    press: (key) => page.keyboard.press(key),
    chooseWithKeyboard: async (paths) => {
      const opened = choosers.length;
      await page.keyboard.press('Space');
      for (const started = Date.now(); choosers.length === opened;) {
        if (Date.now() - started > LIMIT)
          throw new Error(`no file chooser in ${LIMIT} ms`);
        await new Promise((done) => setTimeout(done, 50));
      }
      await choosers[opened].setFiles(paths);
    },
    download: async (selector) => {
      const [download] = await Promise.all([page.waitForEvent('download'), page.click(selector)]);
      return { name: download.suggestedFilename(), bytes: readFileSync(await download.path()) };
    },
    viewport: (width, height) => page.setViewportSize({ width, height }),
    screenshot: (path) => page.screenshot({ path }),
  });
  return () => context.close();
}

async function openFirefox(session, profile, downloads) {
  const { launch } = await import('puppeteer-core');
  const browser = await launch({
    browser: 'firefox',
    executablePath: executables.firefox,
    headless: true,
    userDataDir: profile,
    protocolTimeout: LIMIT,
    downloadBehavior: { policy: 'allow', downloadPath: downloads },
    // Plays with no sound device, as a machine without one has none.
    extraPrefsFirefox: { 'media.autoplay.default': 0, 'media.autoplay.blocking_policy': 0, 'media.cubeb.force_mock_context': true },
  });
  const page = (await browser.pages())[0] || await browser.newPage();
  page.setDefaultTimeout(LIMIT);
  await page.setViewport({ width: 1100, height: 800 });
  page.on('request', (request) => session.requests.push(request.url()));
  page.on('console', (message) => {
    if (message.type() === 'error')
      session.errors.push(message.text());
  });
  page.on('pageerror', (error) => session.errors.push(String(error.message || error)));
  Object.assign(session, {
    goto: (url) => page.goto(url),
    reload: () => page.reload(),
    evaluate: (fn, arg) => page.evaluate(fn, arg),
    pick: async (paths, input = '#pick') => (await page.$(input)).uploadFile(...paths),
    click: (selector) => page.locator(selector).click(),
    play: (selector) => page.evaluate((p) => {
      const player = document.querySelector(p);
      player.focus();   // reached first, as by a click
      player.play().catch(() => {});   // its error event tells
    }, selector),
    press: (key) => page.keyboard.press(key === 'Space' ? ' ' : key),
    chooseWithKeyboard: null,   // firefox-esr reports no file dialog over BiDi
    download: async (selector) => {
      const before = listed(downloads);
      await page.locator(selector).click();
      return savedFile(downloads, before);
    },
    viewport: (width, height) => page.setViewport({ width, height }),
    screenshot: (path) => page.screenshot({ path }),
  });
  return () => browser.close();
}

// A free port on 127.0.0.1.
function freePort() {
  return new Promise((done, fail) => {
    const server = createServer();
    server.on('error', fail);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => done(port));
    });
  });
}

async function openWebKit(session, profile, downloads) {
  const { Builder, By, Key } = await import('selenium-webdriver');
  const port = await freePort();
  const driverProcess = spawn('xvfb-run', ['-a', '-s', '-screen 0 1280x1024x24', executables.webkit,
                                          `--port=${port}`, '--host=127.0.0.1'],
                              { stdio: 'ignore', detached: true, env: { ...process.env, HOME: profile } });
  const stop = () => { try { process.kill(-driverProcess.pid); } catch {} };
  let driver;
  try {
    const started = Date.now();
    for (;;) {
      try {
        driver = await new Builder().usingServer(`http://127.0.0.1:${port}`).withCapabilities({
          browserName: 'MiniBrowser',
          'webkitgtk:browserOptions': {
            binary: '/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser',
            args: ['--automation', '--geometry=1100x800'],
          },
        }).build();
        break;
      } catch (error) {
        if (Date.now() - started > LIMIT || driverProcess.exitCode !== null)
          throw error;
        await new Promise((done) => setTimeout(done, 200));
      }
    }
  } catch (error) {
    stop();
    throw error;
  }
  await driver.manage().setTimeouts({ script: LIMIT, pageLoad: LIMIT });
  session.requests = null;
  // WebDriver classic reports no console: the page's own errors are
  // gathered in it from the moment it is loaded.
  const listen = () => driver.executeScript(() => {
    globalThis.zumripErrors = [];
    addEventListener('error', (e) => zumripErrors.push(String(e.message || e)));
    addEventListener('unhandledrejection', (e) => zumripErrors.push(String(e.reason)));
    const error = console.error;
    console.error = (...args) => { zumripErrors.push(args.join(' ')); error(...args); };
  });
  const gather = async () => {
    const got = await driver.executeScript(() => globalThis.zumripErrors?.splice(0) || []).catch(() => []);
    session.errors.push(...got);
  };
  const evaluate = async (fn, arg) => {
    if (typeof fn === 'string')   // a script
      return driver.executeScript(fn);
    const result = await driver.executeAsyncScript(
      `const done = arguments[arguments.length - 1];
       Promise.resolve().then(() => (${fn})(arguments[0])).then(
         (value) => done({ value: value === undefined ? null : value }),
         (error) => done({ error: String(error) }));`, arg === undefined ? null : arg);
    if (result.error !== undefined)
      throw new Error(result.error);
    return result.value;
  };
  const keys = { Tab: Key.TAB, Space: Key.SPACE };
  Object.assign(session, {
    goto: async (url) => { await gather(); await driver.get(url); await listen(); },
    reload: async () => { await gather(); await driver.navigate().refresh(); await listen(); },
    evaluate,
    pick: async (paths, input = '#pick') => driver.findElement(By.css(input)).sendKeys(paths.join('\n')),
    // Clicked once scrolled to and still: rows coming into view are laid
    // out only then (content-visibility), which moves what follows them,
    // and a click at where the element was would miss it.
    click: async (selector) => {
      await evaluate((s) => new Promise((done) => {
        const element = document.querySelector(s);
        element.scrollIntoView({ block: 'center' });
        let last = '';
        const look = () => {
          const { x, y, width, height } = element.getBoundingClientRect();
          const now = `${x} ${y} ${width} ${height}`;
          if (now === last)
            done();
          else
            requestAnimationFrame(look);
          last = now;
        };
        requestAnimationFrame(look);
      }), selector);
      await (await driver.findElement(By.css(selector))).click();
    },
    // WebKit lets a page play nothing before a gesture: its player's play
    // button, at the left end, is clicked.
    play: async (selector) => {
      const target = await driver.findElement(By.css(selector));
      await driver.executeScript((e) => e.scrollIntoView({ block: 'center' }), target);
      const { width } = await target.getRect();
      await driver.actions().move({ origin: target, x: Math.round(24 - width / 2), y: 0 }).click().perform();
    },
    press: async (key) => driver.actions().sendKeys(keys[key]).perform(),
    chooseWithKeyboard: null,
    // The page saves a download through a link to a blob: URL; WebKit's
    // driver neither reports nor saves one. What the link gives is read
    // from a frame of the page's origin without its security policy.
    download: null,
    viewport: (width, height) => driver.manage().window().setRect({ width, height }),
    screenshot: async (path) => {
      const { writeFileSync } = await import('node:fs');
      writeFileSync(path, Buffer.from(await driver.takeScreenshot(), 'base64'));
    },
    gather,
  });
  return async () => {
    await driver.quit().catch(() => {});
    stop();
  };
}
