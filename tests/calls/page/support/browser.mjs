// Starts Debian's Chromium for the call-page tests: headless, fake camera and microphone, a fresh
// empty profile (Playwright makes one per launch), and its own network namespace holding only a
// loopback interface, so no packet of a test can leave this machine.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { before, after } from 'node:test';
import { chromium } from 'playwright-core';

export const CHROMIUM = process.env.MURNAVELL_CHROMIUM || '/usr/bin/chromium';

const FLAGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  // Three fake cameras (the second gives 16-bit depth frames, which no encoder takes); microphones and outputs come in threes.
  '--use-fake-device-for-media-stream=device-count=3',
  '--use-fake-ui-for-media-stream',
  // Inside the namespace loopback is the only interface; let WebRTC use it and name it plainly.
  '--allow-loopback-in-peer-connection',
  '--disable-features=WebRtcHideLocalIpsWithMdns',
  // The call window lets the page play remote sound without a click; so does this browser.
  '--autoplay-policy=no-user-gesture-required',
];

// How to enter a namespace of our own: as root directly, otherwise through a user namespace.
function namespaceCommand() {
  for (const args of [['-n'], ['-r', '-n']]) {
    try {
      execFileSync('unshare', [...args, 'true'], { stdio: 'ignore' });
      return args;
    } catch {
      // try the next way
    }
  }
  return null;
}

export function canRun() {
  if (!fs.existsSync(CHROMIUM)) return `no browser at ${CHROMIUM}`;
  if (!namespaceCommand()) return 'cannot make a network namespace (unshare -n)';
  return '';
}

export async function launchBrowser() {
  const args = namespaceCommand();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'murnavell-chromium-'));
  const wrapper = path.join(dir, 'chromium');
  fs.writeFileSync(wrapper, '#!/bin/sh\n' +
    `exec unshare ${args.join(' ')} sh -c 'ip link set lo up && exec "$0" "$@"' ` +
    `${CHROMIUM} "$@"\n`, { mode: 0o755 });
  const browser = await chromium.launch({ executablePath: wrapper, headless: true, args: FLAGS,
    timeout: 30000 });
  browser.on('disconnected', () => fs.rmSync(dir, { recursive: true, force: true }));
  return browser;
}

// One browser for the tests of a file: `skip` says why they cannot run here, if they cannot.
export function sharedBrowser() {
  const shared = { skip: canRun() || false, browser: null };
  before(async () => {
    if (!shared.skip) shared.browser = await launchBrowser();
  });
  after(async () => {
    if (shared.browser) await shared.browser.close();
  });
  return shared;
}
