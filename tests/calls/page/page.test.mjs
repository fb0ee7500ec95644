import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { sharedBrowser } from './support/browser.mjs';
import { FakeHost, Relay, PAGE_DIR, PALETTES, pageSources } from './support/host.mjs';
import { screen, control } from './support/probe.mjs';
import { shot } from './support/screenshots.mjs';

const shared = sharedBrowser();
const { skip } = shared;

const count = (text, part) => text.split(part).length - 1;
const offerFrom = (uid, name) => JSON.stringify({ v: 1, type: 'offer', from: uid, name,
  session: 'ring0000ring', sdp: 'v=0\r\n' });

test('the sources can be spliced into one script element', () => {
  const { js, html, css, catalina } = pageSources();
  for (const marker of ['%%CSS%%', '%%HTML%%', "'%%SETTINGS%%'", '//LOCALIZATION//']) {
    assert.equal(count(js, marker), 1, marker);
    for (const other of [html, css, catalina]) assert.equal(count(other, marker), 0, marker);
  }
  // The CSS and HTML sit in raw template literals inside a script element.
  for (const [name, text] of Object.entries({ html, css, catalina })) {
    for (const bad of ['`', '${', '</script', '<script', '<!--']) {
      assert.equal(count(text.toLowerCase(), bad), 0, `${name} holds ${bad}`);
    }
  }
  assert.equal(count(js.toLowerCase(), '</script'), 0);
  execFileSync(process.execPath, ['--check', path.join(PAGE_DIR, 'main.js')]);
  // Markup from text in exactly one place: the page's own HTML.
  for (const sink of ['eval(', 'new Function', 'document.write', 'outerHTML',
    'insertAdjacentHTML', 'setTimeout(\'', 'import(']) {
    assert.equal(count(js, sink), 0, sink);
  }
  assert.equal(count(js, '.innerHTML'), 1);
});

test('the page waits for the bridge, then reports in order', { skip, timeout: 120000 }, async () => {
  const host = new FakeHost(shared.browser, new Relay(), { uid: 'A100000001', name: 'Alice',
    installBridge: false });
  await host.open();
  await host.page.waitForTimeout(300);
  assert.deepEqual(host.posts, []);
  await host.installBridgeNow();
  await host.waitForPost('ready');
  assert.deepEqual(host.posts.map(([name]) => name), ['almostReady', 'minWidth', 'ready']);
  await host.poll(() => me.uid === 'A100000001' && me.name === 'Alice', null, 'uid and name');
  await host.close();
});

test('buttons work from the keyboard and not while the window is busy', { skip, timeout: 120000 },
  async () => {
    const host = new FakeHost(shared.browser, new Relay(), { uid: 'A100000001', name: 'Alice' });
    await host.open();
    host.callUser('A999999999');
    await host.poll(() => media.video && media.audio, null, 'camera and microphone');
    const p = host.page;
    await p.locator('#camera-control .toggle').focus();
    const order = [];
    for (let i = 0; i < 9; i++) {
      order.push(await p.evaluate(() => {
        const el = document.activeElement;
        return el.getAttribute('aria-label') || el.closest('.device').id;
      }));
      await p.keyboard.press('Tab');
    }
    assert.deepEqual(order, ['Stop Video', 'Select a Camera', 'Mute Mic', 'Select a Microphone',
      'Mute Speakers', 'Select Speakers', 'Invite', 'Show Conversation', 'Leave']);

    await p.locator('#invite-button').focus();
    await p.keyboard.press('Enter');
    await p.locator('#conversation-button').focus();
    await p.keyboard.press('Space');
    await p.locator('#leave-button').focus();
    await p.keyboard.press('Enter');
    await host.waitForPost('leave');
    assert.deepEqual(host.posts.map(([n]) => n).filter((n) =>
      ['invite', 'conversation', 'leave'].includes(n)), ['invite', 'conversation', 'leave']);

    // While a sheet is up on the window, the page takes no clicks and no keys.
    host.post('enableWindow', '0');
    await host.poll(() => document.body.classList.contains('disabled'), null, 'disabled');
    await p.locator('#invite-button').click({ force: true });
    await p.locator('#invite-button').press('Enter').catch(() => {});
    await p.waitForTimeout(200);
    assert.equal(host.postsNamed('invite').length, 1);
    host.post('enableWindow', '1');
    await host.poll(() => !document.body.classList.contains('disabled'), null, 'enabled');
    await p.locator('#invite-button').click();
    await host.waitFor(() => host.postsNamed('invite').length === 2, 'a second invite');

    // A chat line shows over the pictures and opens the conversation when clicked.
    host.post('message', 'A999999999\bZoe\bsee you at ten');
    await p.getByRole('button', { name: 'Zoe: see you at ten' }).click();
    await host.waitFor(() => host.postsNamed('conversation').length === 2, 'the conversation');
    host.post('message', 'A100000001\bAlice\bmy own line');
    await p.waitForTimeout(100);
    assert.equal(await p.locator('.chat-line').count(), 1, 'own lines are not repeated');
    assert.deepEqual(host.errors, []);
    await host.close();
  });

test('a camera the system refused stays off and leads to the privacy settings',
  { skip, timeout: 120000 }, async () => {
    const host = new FakeHost(shared.browser, new Relay(), { uid: 'A100000001', name: 'Alice',
      cameraDenied: true });
    await host.open();
    host.callUser('A999999999');
    await host.poll(() => media.audio, null, 'the microphone');
    await host.page.waitForTimeout(300);
    assert.equal(await host.page.evaluate(() => media.video), null);
    assert.equal((await host.page.evaluate(control, 'camera')).state, 'denied');
    assert.ok((await host.page.evaluate(screen)).notices.includes(
      'Your camera is off. Other users cannot see you, but they still CAN hear you.'));
    await host.page.locator('#camera-control .toggle').click();
    await host.waitForPost('privacy');
    assert.deepEqual(host.postsNamed('privacy'), ['Camera']);
    await host.close();
  });

test('the posted minimum width holds every control; the dark palette applies',
  { skip, timeout: 120000 }, async () => {
    const host = new FakeHost(shared.browser, new Relay(), { uid: 'A100000001', name: 'Alice',
      palette: PALETTES.dark });
    await host.open();
    host.callUser('A999999999');
    await host.poll(() => media.video && media.audio, null, 'camera and microphone');
    const minWidth = Number(host.postsNamed('minWidth')[0]);
    assert.ok(minWidth >= 360 && minWidth <= 640, `minWidth ${minWidth}`);
    await host.page.setViewportSize({ width: minWidth, height: 420 });
    await host.page.waitForTimeout(200);
    assert.deepEqual(await host.page.evaluate(() => {
      const outside = Array.from(document.querySelectorAll('#toolbar .btn')).filter((b) => {
        const r = b.getBoundingClientRect();
        return r.left < 0 || r.right > window.innerWidth || r.width === 0;
      });
      return { outside: outside.length, compact: ui.toolbar.classList.contains('compact'),
        overflow: document.documentElement.scrollWidth > window.innerWidth };
    }), { outside: 0, compact: true, overflow: false });
    assert.equal(await host.page.evaluate(() => getComputedStyle(document.body).backgroundColor),
      'rgb(32, 35, 38)');
    await shot(host.page, 'call-page-min-width-dark');

    // The window re-sends the colours when the desktop switches appearance.
    for (const [name, value] of Object.entries(PALETTES.light)) {
      await host.run(`document.documentElement.style.setProperty('--${name}', '${value}')`);
    }
    await host.page.setViewportSize({ width: 960, height: 600 });
    assert.equal(await host.page.evaluate(() => getComputedStyle(document.body).backgroundColor),
      'rgb(239, 240, 241)');
    await host.close();
  });

test('a ring ends when the caller leaves before anyone joins', { skip, timeout: 120000 },
  async () => {
    const host = new FakeHost(shared.browser, new Relay(), { uid: 'A100000001', name: 'Alice',
      palette: PALETTES.dark });
    await host.open();
    await host.waitForPost('ready');
    host.post('rtc_msg', offerFrom('A200000002', 'Bob'));
    await host.poll(() => phase === 'ringing', null, 'ringing');
    await shot(host.page, 'call-page-incoming-dark');
    host.post('left', 'A200000002');
    await host.poll(() => phase === 'waiting', null, 'the ring gone');
    assert.deepEqual(await host.page.evaluate(screen),
      { phase: 'waiting', join: false, call: true, joinTitle: 'Bob is calling.', notices: [] });
    await host.close();
  });
