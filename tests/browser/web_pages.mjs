// Drives Debian's chromium through the program's web pages as a user would:
// the webcast page with its stylesheet, the link that starts the webcast, the
// player that plays it, and the channel step.
//
//   node web_pages.mjs <web server port> [chromium path]
//
// Prints one line "FAIL: ..." per failed check and exits non-zero when any
// check failed. Before it clicks "next >" it prints "BEFORE-NEXT" and waits
// for one line on its standard input, so that the caller can read the
// program's channel first; after the step it prints "AFTER-NEXT".
import { chromium } from 'playwright-core';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';

const kStep_ms = 15000;       // one page load or one element to appear
const kPlayback_ms = 20000;   // the player to play past one second
const kGoAhead_ms = 15000;    // the caller to answer "BEFORE-NEXT"

const port = Number(process.argv[2]);
const executablePath = process.argv[3] || '/usr/bin/chromium';
if (!Number.isInteger(port) || port <= 0) {
  console.log('FAIL: usage: node web_pages.mjs <port> [chromium path]');
  process.exit(2);
}
const base = `http://127.0.0.1:${port}`;

let failures = 0;
function fail(text) {
  failures += 1;
  console.log(`FAIL: ${text}`);
}
function check(condition, text) {
  if (!condition) fail(text);
  return condition;
}

const lines = createInterface({ input: process.stdin });
const nextLine = () =>
  new Promise((resolve) => {
    const timer = setTimeout(() => resolve(null), kGoAhead_ms);
    lines.once('line', (line) => {
      clearTimeout(timer);
      resolve(line);
    });
  });

const profile = mkdtempSync(join(tmpdir(), 'qeltv-browser-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath,
  headless: true,
  timeout: kStep_ms,
  args: [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--autoplay-policy=no-user-gesture-required',
  ],
});
context.setDefaultTimeout(kStep_ms);

try {
  const page = context.pages()[0] ?? (await context.newPage());

  // 1. The page comes with its stylesheet applied: the heading in the
  // program's blue and the menu at its fixed width.
  const response = await page.goto(`${base}/index.html`, { waitUntil: 'load' });
  check(response && response.status() === 200,
        `index.html answered ${response ? response.status() : 'nothing'}`);
  const h1Colour = await page.locator('h1').first().evaluate((e) => getComputedStyle(e).color);
  check(h1Colour === 'rgb(0, 126, 178)', `H1 colour is ${h1Colour}, not rgb(0, 126, 178)`);
  const menuWidth = await page.locator('table.menu').first().evaluate(
      (e) => getComputedStyle(e).width);
  check(menuWidth === '180px', `menu table is ${menuWidth} wide, not 180px`);

  // 2. The "here" link starts the webcast, and the player on the page that
  // follows plays it.
  const status = page.locator('p', { hasText: 'Webcast is not active. Click here to activate.' });
  if (check(await status.count() === 1, 'no "Webcast is not active. Click here to activate."')) {
    await Promise.all([page.waitForNavigation({ waitUntil: 'load' }),
                       status.getByRole('link', { name: 'here', exact: true }).click()]);
  }
  check(await page.getByText('Webcast is active.', { exact: true }).count() === 1,
        'no "Webcast is active." after the click');
  const player = page.locator('video#WMPlay');
  if (check(await player.count() === 1, 'no <video id="WMPlay"> after the click')) {
    const played = await page
        .waitForFunction(() => document.getElementById('WMPlay').currentTime > 1, null,
                         { timeout: kPlayback_ms })
        .then(() => true, () => false);
    const state = await player.evaluate((v) => ({
      currentTime: v.currentTime, videoWidth: v.videoWidth, readyState: v.readyState,
      error: v.error ? v.error.message || String(v.error.code) : null, src: v.currentSrc,
    }));
    check(played, `player did not pass 1 s: ${JSON.stringify(state)}`);
    check(state.videoWidth === 320, `player's video is ${state.videoWidth} wide, not 320`);
  }

  // 3. "next >" steps the channel; the caller reads the program's channel
  // on either side of the click.
  console.log('BEFORE-NEXT');
  if (check(await nextLine() !== null, 'no answer to BEFORE-NEXT')) {
    const next = page.getByRole('link', { name: 'next >', exact: true });
    if (check(await next.count() === 1, 'no "next >" link')) {
      await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), next.click()]);
      check(page.url().endsWith('/index.html?action=nextchannel'),
            `"next >" led to ${page.url()}`);
    }
  }
  console.log('AFTER-NEXT');
} catch (e) {
  fail(`${e.name}: ${e.message.split('\n')[0]}`);
} finally {
  lines.close();
  await context.close().catch(() => {});
  rmSync(profile, { recursive: true, force: true });
}
process.exit(failures === 0 ? 0 : 1);
