// Browser end-to-end test of the KAVRO3 gateway.
//
// Starts the sample engine and lighttpd (scripts/site.sh) on 127.0.0.1 with
// ephemeral ports, then drives Debian's headless Chromium through
// playwright-core: opens the demo form, fills it (non-ASCII text, a
// multi-line comment, a checkbox), attaches a generated binary file, submits
// and checks the result page; follows the download link and compares the
// bytes with a direct fetch. A full-page screenshot of the result page is
// saved under the build tree.
//
// Environment:
//   KAVRO3_BUILD       build tree (default: <repo>/build)
//   KAVRO3_SCREENSHOT  screenshot path (default: <build>/browser/result.png)
//   KAVRO3_CHROMIUM    browser binary (default: /usr/bin/chromium)
//   KAVRO3_FILEMODE    passed through to scripts/site.sh
//   KAVRO3_SITE_KIND   the site scripts/site.sh starts (default: lighttpd, the
//                      gateway as a CGI program; lighttpd-fastcgi: as a
//                      FastCGI application)
//
// Exits 0 when every check passed, 1 with a message on the first failure.

import { spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const ROOT = path.resolve(HERE, '..', '..');
const SITE_SH = path.join(ROOT, 'scripts', 'site.sh');
const BUILD = path.resolve(ROOT, process.env.KAVRO3_BUILD || 'build');
const SCREENSHOT = path.resolve(
  process.env.KAVRO3_SCREENSHOT || path.join(BUILD, 'browser', 'result.png'));
const CHROMIUM = process.env.KAVRO3_CHROMIUM || '/usr/bin/chromium';
const SITE_KIND = process.env.KAVRO3_SITE_KIND || 'lighttpd';
const CHROMIUM_ARGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];
const STEP_TIMEOUT_MS = 30_000;
const SITE_TIMEOUT_MS = 90_000;
const RESULT_TITLE = 'KAVRO3 demo result';
const PNG_SIGNATURE = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);

// What the test types into the form.
const CUSTOMER = 'Zoë Ångström-Łukasiewicz (Ñandú, Москва, 東京)';
const COMMENT_LINES = [
  'First line of the comment',
  'Second line, after a line break',
  '',
  'Fourth line: über straße — ½ 🙂',
];
const UPLOAD_NAME = 'kavro3 payload.bin';

class CheckFailed extends Error {}

function check(condition, message) {
  if (!condition) throw new CheckFailed(message);
}

function checkEqual(actual, expected, what) {
  check(actual === expected,
    `${what}: expected ${JSON.stringify(expected)}, got ${JSON.stringify(actual)}`);
}

const started = Date.now();
function log(message) {
  const t = ((Date.now() - started) / 1000).toFixed(1).padStart(5);
  console.log(`[${t}s] ${message}`);
}

function sha256(bytes) {
  return createHash('sha256').update(bytes).digest('hex');
}

// A few hundred KB of bytes that are hard on a multipart parser: NULs, CR LF
// runs, "--" runs, lines that look like boundaries, bare CR and LF, and
// pseudo-random bytes in between (fixed seed, so every run sends the same).
function makeUploadBytes() {
  let state = 0x9e3779b9;
  const random = () => {
    state ^= state << 13; state >>>= 0;
    state ^= state >>> 17;
    state ^= state << 5; state >>>= 0;
    return state;
  };
  const pieces = [];
  let length = 0;
  const push = (buf) => { pieces.push(buf); length += buf.length; };
  const tricky = [
    Buffer.alloc(64, 0x00),
    Buffer.from('\r\n\r\n\r\n\r\n'),
    Buffer.from('--------------------------------'),
    Buffer.from('\r\n--'),
    Buffer.from('\r\n------WebKitFormBoundaryAbCdEfGh0123456789\r\n'),
    Buffer.from('\r\n------WebKitFormBoundaryAbCdEfGh0123456789--\r\n'),
    Buffer.from('Content-Disposition: form-data; name="customer"\r\n\r\n'),
    Buffer.from('\r\r\n\n\r-\r\n-\r\n--\r\n---\r\n'),
    Buffer.from([0x00, 0x0d, 0x0a, 0x2d, 0x2d, 0x00, 0xff, 0xfe, 0x0d, 0x0a, 0x00]),
  ];
  push(Buffer.from('\x00\r\n--')); // starts with NUL, CR LF and "--"
  let i = 0;
  while (length < 320 * 1024) {
    const size = 200 + (random() % 3000);
    const chunk = Buffer.alloc(size);
    for (let j = 0; j < size; j++) chunk[j] = random() & 0xff;
    push(chunk);
    push(tricky[i++ % tricky.length]);
  }
  push(Buffer.from('\r\n--\r\n')); // ends with CR LF "--" CR LF
  return Buffer.concat(pieces, length);
}

function runSite(command, siteDir) {
  const result = spawnSync('bash', [SITE_SH, command, siteDir, ...(command === 'start' ? [SITE_KIND] : [])], {
    cwd: ROOT,
    env: { ...process.env, KAVRO3_BUILD: BUILD },
    encoding: 'utf8',
    timeout: SITE_TIMEOUT_MS,
    killSignal: 'SIGKILL',
  });
  return result;
}

let tmp = null;
let siteDir = null;
let siteStarted = false;
function stopSite() {
  if (!siteStarted) return;
  siteStarted = false;
  const r = runSite('stop', siteDir);
  if (r.error || r.status !== 0) {
    console.error(`scripts/site.sh stop failed: ${r.error || `exit ${r.status}`}\n${r.stdout}${r.stderr}`);
  } else {
    log('site stopped');
  }
}

function removeTmp() {
  if (tmp) fs.rmSync(tmp, { recursive: true, force: true });
  tmp = null;
}

// However the process ends (an uncaught error, a CTest timeout, Ctrl-C, a
// closed stdout), the servers are stopped and the temporary files removed.
process.on('exit', () => {
  stopSite();
  removeTmp();
});
for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
  process.on(signal, () => {
    console.error(`received ${signal}: stopping the site`);
    process.exit(1);
  });
}
process.stdout.on('error', () => {});

function dumpSiteLogs() {
  if (!siteDir) return;
  for (const dir of [siteDir, path.join(siteDir, 'logs')]) {
    if (!fs.existsSync(dir)) continue;
    for (const name of fs.readdirSync(dir)) {
      if (!/\.(log|err|out)$|^sanitizer/.test(name)) continue;
      const file = path.join(dir, name);
      if (!fs.statSync(file).isFile()) continue;
      const tail = fs.readFileSync(file, 'utf8').split('\n').slice(-40).join('\n');
      console.error(`----- ${path.relative(siteDir, file)} (last lines) -----\n${tail}`);
    }
  }
}

// Rows of a table as arrays of cell texts (header rows without <td> skipped).
async function tableRows(page, selector) {
  return page.$$eval(`${selector} tr`, (rows) => rows
    .map((row) => Array.from(row.querySelectorAll('td'), (td) => td.textContent))
    .filter((cells) => cells.length > 0));
}

async function main() {
  check(fs.existsSync(SITE_SH), `${SITE_SH} is missing`);
  check(fs.existsSync(CHROMIUM), `${CHROMIUM} is missing (install Debian's chromium package)`);

  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'kavro3-browser-'));
  // The web server runs the gateway as an unprivileged user: it must be able
  // to reach the site directory.
  fs.chmodSync(tmp, 0o755);
  siteDir = path.join(tmp, 'site');
  fs.mkdirSync(siteDir);
  let browser = null;
  let ok = false;
  try {
    // The file the browser uploads.
    const upload = makeUploadBytes();
    const uploadPath = path.join(tmp, UPLOAD_NAME);
    fs.writeFileSync(uploadPath, upload);
    const uploadSha = sha256(upload);
    log(`upload file: ${upload.length} bytes, sha256 ${uploadSha}`);

    // The site: sample engine + lighttpd on ephemeral ports.
    siteStarted = true; // stop even if start fails half-way
    const start = runSite('start', siteDir);
    check(!start.error && start.status === 0,
      `scripts/site.sh start ${siteDir} ${SITE_KIND} failed: ${start.error || `exit ${start.status}`}\n` +
      `${start.stdout}${start.stderr}`);
    const urlFile = path.join(siteDir, 'url');
    check(fs.existsSync(urlFile), `scripts/site.sh start wrote no ${urlFile}`);
    const url = fs.readFileSync(urlFile, 'utf8').trim();
    check(/^http:\/\/127\.0\.0\.1:\d+\//.test(url), `unexpected gateway URL ${JSON.stringify(url)}`);
    log(`site up: ${url} (build tree ${BUILD})`);

    browser = await chromium.launch({
      executablePath: CHROMIUM,
      headless: true,
      args: CHROMIUM_ARGS,
      timeout: STEP_TIMEOUT_MS,
    });
    log(`chromium ${browser.version()} launched`);
    const context = await browser.newContext({ viewport: { width: 1000, height: 800 } });
    const page = await context.newPage();
    page.setDefaultTimeout(STEP_TIMEOUT_MS);
    page.setDefaultNavigationTimeout(STEP_TIMEOUT_MS);
    const pageErrors = [];
    page.on('pageerror', (e) => pageErrors.push(String(e)));

    // ---- The form.
    const formResponse = await page.goto(url, { waitUntil: 'load' });
    check(formResponse, `no response for ${url}`);
    checkEqual(formResponse.status(), 200, `status of the form page ${url}`);
    for (const selector of ['form[method="post" i][enctype="multipart/form-data" i]',
      'input[type="text"][name="customer"]', 'textarea[name="comment"]',
      'input[type="checkbox"][name="gift"][value="yes"]', 'input[type="file"][name="attachment"]',
      'button[type="submit"]#send', 'a#download']) {
      checkEqual(await page.locator(selector).count(), 1, `elements matching ${selector} on the form page`);
    }
    log(`form page loaded: "${await page.title()}"`);

    const comment = COMMENT_LINES.join('\n');
    await page.fill('input[name="customer"]', CUSTOMER);
    await page.fill('textarea[name="comment"]', comment);
    await page.check('input[name="gift"]');
    await page.setInputFiles('input[name="attachment"]', uploadPath);
    checkEqual(await page.inputValue('input[name="customer"]'), CUSTOMER, 'customer as typed in the form');

    // ---- Submit and wait for the result page.
    const isResult = (r) => r.request().method() === 'POST' && r.request().resourceType() === 'document';
    const [resultResponse] = await Promise.all([
      page.waitForResponse(isResult),
      page.click('#send'),
    ]);
    await page.waitForLoadState('load');
    checkEqual(resultResponse.status(), 200, `status of the result page ${resultResponse.url()}`);
    check(new URL(resultResponse.url()).pathname.endsWith('/result'),
      `form posted to ${resultResponse.url()}, expected a URL ending in /result`);
    checkEqual(await page.title(), RESULT_TITLE, 'title of the result page');
    log(`result page loaded: ${page.url()}`);

    // Fields, in the order the browser sent them.
    const fields = await tableRows(page, '#fields');
    check(fields.length > 0, 'table #fields has no rows');
    for (const row of fields) check(row.length >= 2, `#fields row with ${row.length} cells: ${JSON.stringify(row)}`);
    // The form's text fields come first, in form order; the gateway then adds
    // the file's entries (attachment, attachment.length, .filename, ...).
    const names = fields.map((r) => r[0]);
    checkEqual(JSON.stringify(names.slice(0, 3)), JSON.stringify(['customer', 'comment', 'gift']),
      'first field names in #fields');
    const extra = names.slice(3);
    check(extra.every((n) => n === 'attachment' || n.startsWith('attachment.')),
      `unexpected names in #fields after the form's text fields: ${JSON.stringify(extra)}`);
    check(extra.includes('attachment'), `no "attachment" entry in #fields: ${JSON.stringify(names)}`);
    const value = (name) => fields.find((r) => r[0] === name)?.[1];
    checkEqual(value('customer'), CUSTOMER, 'customer in #fields');
    checkEqual(value('gift'), 'yes', 'gift in #fields');
    if (extra.includes('attachment.length')) {
      checkEqual(value('attachment.length'), String(upload.length), 'attachment.length in #fields');
    }
    if (extra.includes('attachment.filename')) {
      checkEqual(value('attachment.filename'), UPLOAD_NAME, 'attachment.filename in #fields');
    }

    // The browser sends a textarea's line breaks as CR LF, and that is what the
    // engine gets. The HTML parser turns a literal CR LF of the page source
    // into LF, so the DOM shows CR LF only where the page escapes the CR; a
    // DOM with bare LF is accepted when the page source carries the CR.
    const commentCrLf = COMMENT_LINES.join('\r\n');
    const shownComment = value('comment');
    if (shownComment !== commentCrLf) {
      checkEqual(shownComment, comment, 'comment in #fields (line breaks as LF in the DOM)');
      const source = (await resultResponse.body()).toString('utf8');
      const cr = '(?:\\r|&#13;|&#0*13;|&#x0*d;)';
      const lf = '(?:\\n|&#10;|&#0*10;|&#x0*a;)';
      const escaped = (s) => s.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
      const pattern = new RegExp(escaped(COMMENT_LINES[0]) + cr + lf + escaped(COMMENT_LINES[1]) + cr + lf + cr + lf, 'i');
      check(pattern.test(source),
        'comment: the result page source does not show CR LF line breaks between the comment lines ' +
        '(the engine should have received the CR LF the browser sent)');
      log('comment: CR LF line breaks in the page source, LF in the DOM');
    } else {
      log('comment: CR LF line breaks in the DOM');
    }

    // The uploaded file, as the engine read it from the spool file.
    const files = await page.$$eval('#files tr.file', (rows) => rows.map((row) => {
      const cell = (cls) => { const td = row.querySelector(`td.${cls}`); return td ? td.textContent.trim() : null; };
      return { field: cell('field'), name: cell('file-name'), size: cell('file-size'), sha256: cell('file-sha256') };
    }));
    checkEqual(files.length, 1, 'number of tr.file rows in #files');
    const [file] = files;
    checkEqual(file.field, 'attachment', 'td.field of the file row');
    checkEqual(file.name, UPLOAD_NAME, 'td.file-name of the file row');
    // What the engine can read of the file depends on the gateway's FileMode:
    // 1 and 2 spool it to disk, 3 sends it inline as text up to its first
    // zero byte, anything else skips it.
    const fileMode = (process.env.KAVRO3_FILEMODE || '1')[0];
    if (fileMode === '1' || fileMode === '2' || fileMode === '3') {
      const seen = fileMode === '3' ? upload.subarray(0, Math.max(0, upload.indexOf(0))) : upload;
      checkEqual(file.size, String(seen.length), `td.file-size of the file row (FileMode ${fileMode})`);
      checkEqual(file.sha256, sha256(seen), `td.file-sha256 of the file row (FileMode ${fileMode})`);
      log(`file row: ${file.field} "${file.name}" ${file.size} bytes, sha256 matches (FileMode ${fileMode})`);
    } else {
      log(`file row: ${file.field} "${file.name}"; FileMode ${fileMode} sends no content, size and sha256 not checked`);
    }

    const cgiRows = await tableRows(page, '#rows');
    check(cgiRows.length > 0, 'table #rows has no rows');

    // Screenshot of the whole result page, kept in the build tree.
    fs.mkdirSync(path.dirname(SCREENSHOT), { recursive: true });
    await page.screenshot({ path: SCREENSHOT, fullPage: true });
    const shot = fs.readFileSync(SCREENSHOT);
    check(shot.subarray(0, 8).equals(PNG_SIGNATURE) && shot.length > 1000, `bad screenshot ${SCREENSHOT}`);
    log(`screenshot: ${SCREENSHOT} (${shot.length} bytes)`);

    // ---- Back to the form, then the download link.
    await page.goBack({ waitUntil: 'load' });
    if ((await page.locator('a#download').count()) !== 1) {
      log(`back led to ${page.url()} without the download link: opening the form again`);
      await page.goto(url, { waitUntil: 'load' });
    }
    checkEqual(await page.locator('a#download').count(), 1, 'download link on the form page');
    const href = await page.locator('a#download').evaluate((a) => a.href);
    check(new URL(href).pathname.endsWith('/download'), `download link points to ${href}`);

    // The browser either shows the image (a navigation) or downloads it.
    const isDownload = (r) => r.request().resourceType() === 'document' && new URL(r.url()).pathname.endsWith('/download');
    const viaResponse = page.waitForResponse(isDownload).then((r) => ({ kind: 'response', r }));
    const viaDownload = page.waitForEvent('download').then((d) => ({ kind: 'download', d }));
    viaResponse.catch(() => {});
    viaDownload.catch(() => {});
    await page.click('a#download');
    let got = await Promise.race([viaResponse, viaDownload]);
    if (got.kind === 'response' && /^\s*attachment/i.test(got.r.headers()['content-disposition'] || '')) {
      got = await viaDownload; // an attachment: the body goes to the download
    }
    let browserBytes;
    if (got.kind === 'response') {
      checkEqual(got.r.status(), 200, `status of ${got.r.url()}`);
      const type = (got.r.headers()['content-type'] || '').split(';')[0].trim();
      checkEqual(type, 'image/png', 'Content-Type of the download in the browser');
      browserBytes = await got.r.body();
      log(`download link: the browser showed ${got.r.url()} (${browserBytes.length} bytes)`);
    } else {
      const saved = await got.d.path();
      browserBytes = fs.readFileSync(saved);
      log(`download link: the browser downloaded "${got.d.suggestedFilename()}" (${browserBytes.length} bytes)`);
    }
    check(browserBytes.subarray(0, 8).equals(PNG_SIGNATURE),
      `the download does not start with the PNG signature: ${browserBytes.subarray(0, 8).toString('hex')}`);

    const direct = await fetch(`${url}/download`, { signal: AbortSignal.timeout(STEP_TIMEOUT_MS) });
    checkEqual(direct.status, 200, `status of a direct GET ${url}/download`);
    checkEqual((direct.headers.get('content-type') || '').split(';')[0].trim(), 'image/png',
      'Content-Type of a direct GET /download');
    const directBytes = Buffer.from(await direct.arrayBuffer());
    checkEqual(directBytes.length, browserBytes.length, 'size of the download: direct GET vs browser');
    check(directBytes.equals(browserBytes), 'the bytes of the download differ between the browser and a direct GET');
    log(`download: ${directBytes.length} bytes of PNG, sha256 ${sha256(directBytes)}, same in browser and direct GET`);

    check(pageErrors.length === 0, `JavaScript errors on the pages: ${pageErrors.join('; ')}`);
    ok = true;
  } finally {
    if (browser) await browser.close().catch((e) => console.error(`closing the browser: ${e}`));
    if (!ok) dumpSiteLogs();
    stopSite();
    removeTmp();
  }
}

try {
  await main();
  log('PASS: browser form upload and download');
} catch (e) {
  console.error(`FAIL: ${e instanceof CheckFailed ? e.message : (e && e.stack) || e}`);
  process.exitCode = 1;
}
