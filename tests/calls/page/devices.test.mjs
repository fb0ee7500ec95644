import { test } from 'node:test';
import assert from 'node:assert/strict';
import { sharedBrowser } from './support/browser.mjs';
import { FakeHost, Relay } from './support/host.mjs';
import { linksUp, screen, control, received, sending } from './support/probe.mjs';
import { shot } from './support/screenshots.mjs';

const shared = sharedBrowser();
const { skip } = shared;

// What arrives from a peer over a while: video frames and audio energy.
async function flow(host, uid, ms = 1500) {
  const start = await host.page.evaluate(received, uid);
  await host.page.waitForTimeout(ms);
  const end = await host.page.evaluate(received, uid);
  return { frames: end.frames - start.frames, energy: end.energy - start.energy };
}

// Measures what arrives from a peer, a second at a time, until `ok` holds for one such second:
// on a loaded machine sound and pictures take their time to start or stop.
async function flowUntil(host, uid, ok, what, timeout = 30000) {
  const until = Date.now() + timeout;
  for (;;) {
    const seen = await flow(host, uid, 1000);
    if (ok(seen)) return seen;
    if (Date.now() > until) throw new Error(`timed out waiting for ${what}; last ${JSON.stringify(seen)}`);
  }
}

// Waits until a peer's pictures keep coming (a new camera starts slowly: the sender ramps up).
async function framesGrow(host, uid, what, timeout = 20000) {
  const start = (await host.page.evaluate(received, uid)).frames;
  await host.poll(([id, from]) => peers.get(id).pc.getStats().then((report) => {
    let frames = 0;
    report.forEach((e) => {
      if (e.type === 'inbound-rtp' && e.kind === 'video') frames += e.framesDecoded || 0;
    });
    return frames > from + 10;
  }), [uid, start], what, timeout);
}

async function connectedPair(relay) {
  const alice = new FakeHost(shared.browser, relay, { uid: 'A100000001', name: 'Alice' });
  const bob = new FakeHost(shared.browser, relay, { uid: 'A200000002', name: 'Bob' });
  await alice.open();
  alice.callUser(bob.uid);
  await bob.waitFor(() => bob.page, 'the incoming call window');
  await bob.poll(() => phase === 'ringing', null, 'ringing');
  await bob.page.getByRole('button', { name: 'with your camera and microphone' }).click();
  await alice.poll(linksUp, [bob.uid], 'pictures from Bob');
  await bob.poll(linksUp, [alice.uid], 'pictures from Alice');
  return { alice, bob };
}

test('mute buttons stop what the peer gets and say so', { skip, timeout: 180000 }, async () => {
  const { alice, bob } = await connectedPair(new Relay());
  const a = alice.page;

  const loud = (await flowUntil(bob, alice.uid, (f) => f.energy > 0, 'sound from Alice before muting'))
    .energy;
  await a.locator('#microphone-control .toggle').click();
  assert.deepEqual(await a.evaluate(control, 'microphone'),
    { state: 'muted', label: 'Unmute Mic', text: 'Unmute Mic', pressed: 'true', open: false });
  assert.equal((await a.evaluate(sending, bob.uid)).audio.enabled, false);
  await bob.poll((uid) => peers.get(uid).tile.root.classList.contains('mic-off'), alice.uid,
    'the muted sign on Alice');
  await flowUntil(bob, alice.uid, (f) => f.energy < loud / 1000, 'silence from Alice while muted');
  assert.ok((await a.evaluate(screen)).notices
    .includes('Your microphone is off. Other users cannot hear you.'));

  await a.locator('#microphone-control .toggle').click();
  assert.equal((await a.evaluate(control, 'microphone')).label, 'Mute Mic');
  await flowUntil(bob, alice.uid, (f) => f.energy > 0, 'sound again');

  // Stopping the camera ends the frames and shows Alice's initial; starting it brings them back.
  await a.locator('#camera-control .toggle').click();
  assert.deepEqual(await a.evaluate(control, 'camera'),
    { state: 'off', label: 'Start Video', text: 'Start Video', pressed: 'true', open: false });
  assert.ok((await a.evaluate(screen)).notices.includes(
    'Your camera is off. Other users cannot see you, but they still CAN hear you.'));
  await bob.poll((uid) => peers.get(uid).tile.root.dataset.video === 'off', alice.uid,
    'Alice shown without picture');
  await a.locator('#microphone-control .toggle').click();
  await shot(a, 'call-page-camera-and-microphone-off');
  await a.locator('#microphone-control .toggle').click();
  await flowUntil(bob, alice.uid, (f) => f.frames === 0, 'no pictures from Alice');
  assert.equal(await a.evaluate(() => media.video), null, 'the camera is let go');
  await a.locator('#camera-control .toggle').click();
  await bob.poll((uid) => peers.get(uid).tile.root.dataset.video === 'on', alice.uid,
    'Alice shown with picture');
  await framesGrow(bob, alice.uid, 'pictures from Alice again');

  // Muting the speakers silences every peer here, and only here.
  await a.locator('#speakers-control .toggle').click();
  assert.equal((await a.evaluate(control, 'speakers')).label, 'Unmute Speakers');
  assert.equal(await a.evaluate((uid) => peers.get(uid).tile.video.muted, bob.uid), true);
  assert.ok((await a.evaluate(screen)).notices.includes(
    'Your speakers are off. You cannot hear other users, but they still CAN hear you.'));
  await flowUntil(bob, alice.uid, (f) => f.energy > 0, 'sound from Alice with her speakers off');
  await a.locator('#speakers-control .toggle').click();
  assert.equal(await a.evaluate((uid) => peers.get(uid).tile.video.muted, bob.uid), false);
  assert.deepEqual(alice.errors, []);
  await Promise.all([alice.close(), bob.close()]);
});

test('devices are chosen from the menus and remembered', { skip, timeout: 180000 }, async () => {
  const relay = new Relay();
  const { alice, bob } = await connectedPair(relay);
  const a = alice.page;

  // The camera, from the keyboard: the menu opens on the current one, arrows move, Enter takes.
  await a.locator('#camera-control .chooser').focus();
  await a.keyboard.press('Enter');
  await alice.poll(() => document.activeElement.classList.contains('device-item'), null,
    'focus in the camera menu');
  assert.deepEqual(await a.evaluate(() => Array.from(
    document.querySelectorAll('#camera-control .device-item'),
    (b) => [b.textContent, b.getAttribute('aria-checked')])),
  [['fake_device_0', 'true'], ['fake_device_1', 'false'], ['fake_device_2', 'false']]);
  await shot(a, 'call-page-camera-menu');
  await a.keyboard.press('End');
  await a.keyboard.press('Enter');
  await alice.poll(() => media.video && media.video.label === 'fake_device_2', null, 'camera 2');
  assert.deepEqual((await a.evaluate(sending, bob.uid)).video,
    { label: 'fake_device_2', same: true });
  assert.equal(await a.evaluate(() => document.activeElement.classList.contains('chooser')), true);
  await framesGrow(bob, alice.uid, 'Bob sees the other camera');

  // The microphone, with the mouse.
  await a.locator('#microphone-control .chooser').click();
  await a.getByRole('menuitemradio', { name: 'Fake Audio Input 2' }).click();
  await alice.poll(() => media.audio && media.audio.label === 'Fake Audio Input 2', null,
    'microphone 2');
  assert.deepEqual((await a.evaluate(sending, bob.uid)).audio,
    { label: 'Fake Audio Input 2', enabled: true, same: true });

  // The speakers: every peer's sound goes to the chosen output.
  await a.locator('#speakers-control .chooser').click();
  await a.getByRole('menuitemradio', { name: 'Fake Audio Output 1' }).click();
  const output = await a.evaluate(() => settings.speakers.id);
  await alice.poll(([uid, sink]) => peers.get(uid).tile.video.sinkId === sink, [bob.uid, output],
    'sound on output 1');

  // Escape closes a menu, and so does the window's call when it loses focus.
  const opened = (id) => !document.querySelector(`#${id}-control .dropdown`).hidden;
  await a.locator('#camera-control .chooser').click();
  await alice.poll(opened, 'camera', 'the camera menu');
  await a.keyboard.press('Escape');
  assert.equal((await a.evaluate(control, 'camera')).open, false);
  await a.locator('#microphone-control .chooser').click();
  await alice.poll(opened, 'microphone', 'the microphone menu');
  await alice.run('DeviceButton.hideAllDropdows();');
  assert.equal((await a.evaluate(control, 'microphone')).open, false);

  // The window stored the choice; a new call (another profile: other device ids) finds the
  // devices again by their names.
  const stored = JSON.parse(alice.settings);
  assert.deepEqual(Object.keys(stored).sort(), ['camera', 'microphone', 'speakers']);
  assert.equal(stored.camera.label, 'fake_device_2');
  const carol = new FakeHost(shared.browser, relay, { uid: 'A100000009', name: 'Alice again',
    settings: alice.settings });
  await carol.open();
  carol.callUser('A999999999');
  await carol.poll(() => media.video && media.audio, null, 'camera and microphone');
  assert.deepEqual(await carol.page.evaluate(() => [media.video.label, media.audio.label]),
    ['fake_device_2', 'Fake Audio Input 2']);
  for (const host of [alice, bob, carol]) assert.deepEqual(host.errors, []);
  await Promise.all([alice.close(), bob.close(), carol.close()]);
});
