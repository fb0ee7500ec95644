import { test } from 'node:test';
import assert from 'node:assert/strict';
import { sharedBrowser } from './support/browser.mjs';
import { FakeHost, Relay, LOCALIZATION_KEYS, jsString } from './support/host.mjs';
import { screen } from './support/probe.mjs';

const shared = sharedBrowser();
const { skip } = shared;

// Each would set window.pwned, open a dialog or add an element if it ever ran as code or markup.
const HOSTILE = 'Eve "double" \'single\' \\ $& $1\nnext line </script><script>window.pwned=1;' +
  'alert(1)</script><img src=x onerror="window.pwned=2"><!--';
const shown = (text) => text.replace(/[\u0000-\u001f\u007f]+/g, ' ').trim();

// Checked from inside the page: no flag, no extra element, the script elements still only ours.
function untouched() {
  return { pwned: typeof window.pwned, scripts: document.scripts.length,
    images: document.images.length, iframes: document.querySelectorAll('iframe').length };
}
const CLEAN = { pwned: 'undefined', scripts: 1, images: 0, iframes: 0 };

test('names, chat lines and signalling texts stay text', { skip, timeout: 180000 }, async () => {
  const relay = new Relay();
  const eve = new FakeHost(shared.browser, relay, { uid: 'A666000666', name: HOSTILE });
  const alice = new FakeHost(shared.browser, relay, { uid: 'A100000001', name: 'Alice' });
  await eve.open();
  eve.callUser(alice.uid);
  await alice.waitFor(() => alice.page, 'the incoming call window');
  await alice.poll(() => phase === 'ringing', null, 'ringing');
  const a = alice.page;
  assert.equal((await a.evaluate(screen)).joinTitle, `${shown(HOSTILE)} is calling.`);

  // Texts a careless host might pass on, and objects shaped to fool the page.
  await alice.run(`exeMsgReceived({message:'rtc_msg',data:${jsString('});alert(1);({')}});`);
  await alice.run(`exeMsgReceived({message:'rtc_msg',data:${jsString(
    '{"type":"offer","from":"A1","name":"x","session":"abcdefgh12","sdp":"</script><script>alert(1)</script>"}')}});`);
  assert.equal(alice.post('rtc_msg', '});alert(1);({'), false, 'the host drops what is no object');
  for (const from of ['leave', 'privacy', 'settings', 'invite', 'nameIn', 'A1\r\nx', '']) {
    alice.post('rtc_msg', JSON.stringify({ v: 1, type: 'offer', from, name: HOSTILE,
      session: 'abcdefgh12', sdp: 'v=0\r\n' }));
  }
  alice.post('rtc_msg', '{"type":"offer","__proto__":{"polluted":1},"constructor":{"x":1}}');
  alice.post('message', `${eve.uid}\b${HOSTILE}\b<img src=x onerror=alert(2)>${HOSTILE}`);
  alice.post('rename', `${eve.uid}\b${HOSTILE} (renamed)`);
  await alice.run('void 0');
  assert.equal((await a.evaluate(screen)).joinTitle, `${shown(HOSTILE)} (renamed) is calling.`);
  assert.deepEqual(await a.evaluate(() => Array.from(document.querySelectorAll('.chat-line'),
    (line) => line.textContent)), [`${shown(HOSTILE)}<img src=x onerror=alert(2)>${shown(HOSTILE)}`]);

  await a.getByRole('button', { name: 'with your microphone only' }).click();
  await alice.poll((uid) => peers.has(uid) && peers.get(uid).pc.connectionState === 'connected',
    eve.uid, 'connected to Eve');
  assert.equal(await a.evaluate((uid) => peers.get(uid).tile.nameLabel.textContent, eve.uid),
    `${shown(HOSTILE)} (renamed)`);
  assert.equal(await a.evaluate(() => peers.size), 1, 'no peer came of the forged offers');

  // Nothing ran, nothing was added, and no forged id reached the window as one of its own words.
  assert.deepEqual(await a.evaluate(untouched), CLEAN);
  assert.equal(await a.evaluate(() => ({}).polluted), undefined);
  assert.deepEqual(alice.dialogs, []);
  assert.deepEqual(alice.errors, []);
  const words = alice.posts.map(([name]) => name);
  for (const word of ['leave', 'privacy', 'invite']) assert.ok(!words.includes(word), word);
  assert.deepEqual(alice.postsNamed('settings'), []);
  assert.ok(words.every((w) => !w.includes('<')), 'no forged id posted');

  // Even markup that got in could not run: the page admits no script but its own.
  assert.deepEqual(await a.evaluate(() => {
    const script = document.createElement('script');
    let text = 'accepted';
    try {
      script.textContent = 'window.pwned = 3';
    } catch (error) {
      text = error.name;
    }
    script.appendChild(document.createTextNode('window.pwned = 3'));
    document.body.appendChild(script);
    let markup = 'accepted';
    try {
      document.body.insertAdjacentHTML('beforeend', '<img src=x onerror="window.pwned=4">');
    } catch (error) {
      markup = error.name;
    }
    script.remove();
    return { pwned: typeof window.pwned, text, markup };
  }), { pwned: 'undefined', text: 'TypeError', markup: 'TypeError' });
  await Promise.all([alice.close(), eve.close()]);
});

test('hostile translations and settings are spliced safely', { skip, timeout: 120000 },
  async () => {
    const translations = Object.fromEntries(LOCALIZATION_KEYS.map((key) =>
      [key, `${key} 'q' "dq" \\ </script><script>window.pwned=1</script>`]));
    translations['%s is calling.'] = `«%s» $& ' " \\ </script>`;
    for (const settings of ['\'; window.pwned = 1; //', '{"camera":{"id":"</script><script>' +
      'window.pwned=1</script>","label":"\\u2028\'"}}', '[1,2]']) {
      const relay = new Relay();
      const host = new FakeHost(shared.browser, relay, { uid: 'A100000001', name: 'Alice', translations,
        settings });
      const caller = new FakeHost(shared.browser, relay, { uid: 'A200000002', name: 'Bob $& "B"' });
      await caller.open();
      caller.callUser(host.uid);
      await host.waitFor(() => host.page, 'the incoming call window');
      await host.waitForPost('ready');
      await host.poll(() => phase === 'ringing', null, 'ringing');
      assert.equal((await host.page.evaluate(screen)).joinTitle,
        `«Bob $& "B"» $& ' " \\ </script>`);
      assert.equal(await host.page.locator('#camera-control .btn-text').textContent(),
        translations['Start Video']);
      assert.equal(await host.page.locator('[data-join="none"] span').textContent(),
        translations['without a camera or microphone']);
      assert.deepEqual(await host.page.evaluate(untouched), CLEAN);
      assert.deepEqual([host.dialogs, host.errors], [[], []]);
      await Promise.all([host.close(), caller.close()]);
    }
  });
