import { test } from 'node:test';
import assert from 'node:assert/strict';
import { sharedBrowser } from './support/browser.mjs';
import { FakeHost, Relay } from './support/host.mjs';
import { linksUp } from './support/probe.mjs';
import { shot } from './support/screenshots.mjs';

const shared = sharedBrowser();
const { skip } = shared;

const joinWithCamera = (host) =>
  host.page.getByRole('button', { name: 'with your camera and microphone' }).click();

// Both join at once: each learns of the other from Alice and they call each other. Their answers
// either reach Alice as they come, or together, so that her two connections come up side by side.
for (const together of [false, true]) {
  const how = together ? 'with both answers arriving together' : 'with the answers as they come';
  test(`a three-way call connects every pair, ${how}`, { skip, timeout: 240000 }, async () => {
    await threeWayCall(together);
  });
}

async function threeWayCall(together) {
  const relay = new Relay();
  const alice = new FakeHost(shared.browser, relay, { uid: 'A100000001', name: 'Alice Archer' });
  const bob = new FakeHost(shared.browser, relay, { uid: 'A200000002', name: 'Bob Brown' });
  const carol = new FakeHost(shared.browser, relay, { uid: 'A300000003', name: 'Carol Clark' });
  await alice.open();
  alice.callUser(bob.uid);
  alice.callUser(carol.uid);

  for (const host of [bob, carol]) await host.waitForPost('ready');
  await Promise.all([bob, carol].map((host) => host.poll(() => phase === 'ringing', null, 'ringing')));
  if (together) relay.hold();
  await Promise.all([bob, carol].map(joinWithCamera));
  if (together) {
    await Promise.all([bob, carol].map((host) => host.waitForPost(alice.uid)));
    relay.release();
  }

  await alice.poll(linksUp, [bob.uid, carol.uid], 'pictures from Bob and Carol', 40000);
  await bob.poll(linksUp, [alice.uid, carol.uid], 'pictures from Alice and Carol', 40000);
  await carol.poll(linksUp, [alice.uid, bob.uid], 'pictures from Alice and Bob', 40000);

  // Bob and Carol met without their windows adding each other: each says so once.
  assert.deepEqual(bob.postsNamed('nameIn').map((d) => d.split('\r\n')[0]).sort(),
    [alice.uid, carol.uid].sort());
  assert.deepEqual(carol.postsNamed('nameIn').map((d) => d.split('\r\n')[0]).sort(),
    [alice.uid, bob.uid].sort());
  await alice.page.waitForTimeout(500);
  if (!together) await shot(alice.page, 'call-page-three-way');

  // Carol leaves; the others keep their pictures and drop her tile.
  await carol.close();
  await alice.poll(() => peers.size === 1, null, 'Carol gone');
  await bob.poll(() => peers.size === 1, null, 'Carol gone');
  await alice.poll(linksUp, [bob.uid], 'Bob still there');
  for (const host of [alice, bob, carol]) assert.deepEqual(host.errors, []);
  await Promise.all([alice.close(), bob.close()]);
}

test('two pages that call each other at once end up with one connection', { skip, timeout: 120000 },
  async () => {
    const relay = new Relay();
    const dana = new FakeHost(shared.browser, relay, { uid: 'A400000004', name: 'Dana' });
    const eric = new FakeHost(shared.browser, relay, { uid: 'A500000005', name: 'Eric' });
    await Promise.all([dana.open(), eric.open()]);
    await Promise.all([dana.waitForPost('ready'), eric.waitForPost('ready')]);
    relay.hold();
    dana.callUser(eric.uid);
    eric.callUser(dana.uid);
    const offered = (host) => host.posts.some(([, d]) => d.includes('"type":"offer"'));
    await dana.waitFor(() => offered(dana), 'an offer from Dana');
    await eric.waitFor(() => offered(eric), 'an offer from Eric');
    relay.release();

    await dana.poll(linksUp, [eric.uid], 'pictures from Eric');
    await eric.poll(linksUp, [dana.uid], 'pictures from Dana');
    // The smaller user id (Dana's) kept its offer; Eric dropped his and answered hers.
    const sessions = await Promise.all([dana, eric].map((host, i) =>
      host.page.evaluate((uid) => peers.get(uid).session, [eric.uid, dana.uid][i])));
    const danasOffer = JSON.parse(dana.posts.find(([n]) => n === eric.uid)[1]);
    assert.deepEqual(sessions, [danasOffer.session, danasOffer.session]);
    assert.equal(await dana.page.evaluate((uid) => peers.size === 1 && peers.get(uid).offerer,
      eric.uid), true);
    await Promise.all([dana.close(), eric.close()]);
  });
